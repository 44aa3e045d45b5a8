// The lookup bodies: 8- or 16-bit sources through byte tables into 8-bit
// destinations (a window's frame buffer or a scratch image), after the checks
// of the exported functions (kl_lookup.cpp).
//
// Single lookup: one table whose entries hold one output byte per destination
// band (entries of 1, 2 or 4 bytes; a 3-band entry keeps its outputs in bytes
// 1-3 and byte 0 is never read). Multi lookup: one one-byte table per band,
// band b of the source through table b into band b of the destination.
//
// Each destination row is walked as the aligned 8-byte words that hold it
// (lane_row): every word is assembled in a register and written once, whole
// when all its bytes belong to the row and are selected, otherwise by a
// partial store under the row's edge mask AND the band enables of the word's
// offset in the 24-byte band cycle. The destination is never read. Only
// selected bytes are looked up, so the table of an unselected band is never
// touched, and the source is read only at the samples of the pixels written.
// 16-bit tables are addressed at the entry of -32768: sample v selects entry
// v + 32768.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kl.h"
#include "kl_body.h"
#include "kl_impl.h"
#include "lane.h"

namespace {
namespace lookup {

using u8 = unsigned char;

// Table index of source sample i of a row (samples counted over all bands).
template <bool Short>
inline unsigned sample(const u8 *row, size_t i) {
    if constexpr (Short) {
        int16_t v;
        std::memcpy(&v, row + 2 * i, 2);
        return static_cast<unsigned>(v + 32768);
    } else {
        return row[i];
    }
}

// Walks the rows: n destination bytes per row; word(q, en) returns the 8 bytes
// from row offset q, only those enabled in en being defined (q + j >= 0 and
// < n for each of them); pat is the 24-bit band pattern.
template <class Word>
inline void rows(const kl_image *dst, const kl_image *src, int N, uint32_t pat, Word &&word) {
    const size_t n = static_cast<size_t>(src->w) * static_cast<size_t>(N);
    for (int j = 0; j < src->h; ++j) {
        u8 *d = dst->data + static_cast<ptrdiff_t>(j) * dst->lb;
        const u8 *s = src->data + static_cast<ptrdiff_t>(j) * src->lb;
        lane_row<false>(
            reinterpret_cast<uintptr_t>(d), n,
            [&](uintptr_t A, ptrdiff_t q, unsigned edge) {
                const unsigned en = edge & lane_band8(pat, lane_phase(q));
                if (en) partial_store(reinterpret_cast<void *>(A), word(s, q, en), en);
            },
            [&](uintptr_t A, ptrdiff_t q, size_t k) {
                for (; k; --k, A += 8, q += 8) {
                    const unsigned en = lane_band8(pat, lane_phase(q));
                    if (en) partial_store(reinterpret_cast<void *>(A), word(s, q, en), en);
                }
            });
    }
}

// Byte by byte: byte q + j of the row, when enabled, is value(s, pixel, band).
template <int N, class Value>
inline uint64_t bytes(const u8 *s, ptrdiff_t q, unsigned en, Value &&value) {
    uint64_t w = 0;
    for (unsigned j = 0; j < 8; ++j) {
        if (!((en >> (7 - j)) & 1)) continue;
        const size_t r = static_cast<size_t>(q + static_cast<ptrdiff_t>(j));
        w |= static_cast<uint64_t>(value(s, r / N, static_cast<int>(r % N))) << (8 * j);
    }
    return w;
}

inline uint16_t load16(const u8 *p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

// Single lookup into N-band pixels under the band mask m (1 for one band:
// every pixel).
template <class V, bool Short, int N>
void single(const kl_image *dst, const kl_image *src, int m, const u8 *table) {
    const uint32_t pat = kl_masks_8[N][m];
    constexpr int E = N == 3 ? 4 : N;  // entry size
    constexpr int C = N == 3 ? 1 : 0;  // column of band 0 in an entry
    auto value = [table](const u8 *s, size_t x, int b) -> unsigned {
        return table[static_cast<size_t>(sample<Short>(s, x)) * E + C + b];
    };
    rows(dst, src, N, pat, [&](const u8 *s, ptrdiff_t q, unsigned en) -> uint64_t {
        if (en == 0xffu) {
            // A whole word lies inside the row: whole entries.
            if constexpr (N == 1) {
                uint64_t w = 0;
                for (unsigned k = 0; k < 8; ++k)
                    w |= static_cast<uint64_t>(table[sample<Short>(s, static_cast<size_t>(q) + k)]) << (8 * k);
                return w;
            } else if constexpr (N == 2) {
                // Pixels start at even addresses, so the word holds four of them.
                if (q % 2) return bytes<N>(s, q, en, value);
                const size_t x = static_cast<size_t>(q) / 2;
                uint64_t w = 0;
                for (unsigned k = 0; k < 4; ++k)
                    w |= static_cast<uint64_t>(load16(table + 2 * static_cast<size_t>(sample<Short>(s, x + k))))
                         << (16 * k);
                return w;
            } else if constexpr (N == 4) {
                // Pixels start at multiples of 4: two whole entries.
                if (q % 4) return bytes<N>(s, q, en, value);
                const size_t x = static_cast<size_t>(q) / 4;
                return lane_join(lane_load32(table + 4 * static_cast<size_t>(sample<Short>(s, x))),
                                 lane_load32(table + 4 * static_cast<size_t>(sample<Short>(s, x + 1))));
            }
        }
        return bytes<N>(s, q, en, value);
    });
}

// Multi lookup into N-band pixels from N-band sources under the band mask
// m; the tables of the bands m selects are there.
template <class V, bool Short, int N>
void multi(const kl_image *dst, const kl_image *src, int m, const u8 *const *tables) {
    const uint32_t pat = kl_masks_8[N][m];
    const u8 *t[4] = {tables[0], N > 1 ? tables[1] : nullptr, N > 2 ? tables[2] : nullptr,
                      N > 3 ? tables[3] : nullptr};
    // Source sample (x, b) is sample x * N + b of the row: the byte's own index.
    rows(dst, src, N, pat, [&](const u8 *s, ptrdiff_t q, unsigned en) -> uint64_t {
        return bytes<N>(s, q, en, [&](const u8 *row, size_t x, int b) -> unsigned {
            return t[b][sample<Short>(row, x * N + static_cast<size_t>(b))];
        });
    });
}

template <class V>
void entries(kl_impl &t) {
    if constexpr (V::isa == kl_isa::portable) {
        t.lookup8[0] = single<V, false, 1>;
        t.lookup8[1] = single<V, false, 2>;
        t.lookup8[2] = single<V, false, 3>;
        t.lookup8[3] = single<V, false, 4>;
        t.lookup16[0] = single<V, true, 1>;
        t.lookup16[1] = single<V, true, 2>;
        t.lookup16[2] = single<V, true, 3>;
        t.lookup16[3] = single<V, true, 4>;
        t.mlookup8[0] = multi<V, false, 2>;
        t.mlookup8[1] = multi<V, false, 3>;
        t.mlookup8[2] = multi<V, false, 4>;
        t.mlookup16[0] = multi<V, true, 2>;
        t.mlookup16[1] = multi<V, true, 3>;
        t.mlookup16[2] = multi<V, true, 4>;
    }
}

}  // namespace lookup
}  // namespace
