// Lookup kernels: 8- or 16-bit sources through byte tables into 8-bit
// destinations (a window's frame buffer or a scratch image).
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
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kl.h"
#include "lane.h"

namespace {

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

// What the kernels agree on before writing: sample types, band counts, a
// destination at least as large as the source area; false writes nothing.
inline bool usable(const kl_image *dst, const kl_image *src, bool is_short, int src_bands) {
    return dst && src && dst->data && src->data && dst->type == KL_BYTE &&
           src->type == (is_short ? KL_SHORT : KL_BYTE) && src->bands == src_bands && src->w > 0 && src->h > 0 &&
           dst->w >= src->w && dst->h >= src->h;
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

// Single lookup into N-band pixels; the one-band form writes every pixel.
template <bool Short, int N>
void lookup(int mask, kl_image *dst, kl_image *src, const u8 *table) {
    if (!table || !usable(dst, src, Short, 1) || dst->bands != N) return;
    const int m = N == 1 ? 1 : mask & dst->bmask & ((1 << N) - 1);
    if (!m) return;
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

// Multi lookup into N-band pixels from N-band sources.
template <bool Short, int N>
void mlookup(int mask, kl_image *dst, kl_image *src, u8 **tables) {
    if (!tables || !usable(dst, src, Short, N) || dst->bands != N) return;
    const int m = mask & dst->bmask & ((1 << N) - 1);
    if (!m) return;
    for (int b = 0; b < N; ++b)
        if (((m >> (N - 1 - b)) & 1) && !tables[b]) return;
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

}  // namespace

extern "C" {

void kl_lookup8_8_1(int mask, kl_image *dst, kl_image *src, unsigned char *table) {
    lookup<false, 1>(mask, dst, src, table);
}
void kl_lookup8_8_2(int mask, kl_image *dst, kl_image *src, unsigned char *table) {
    lookup<false, 2>(mask, dst, src, table);
}
void kl_lookup8_8_3(int mask, kl_image *dst, kl_image *src, unsigned char *table) {
    lookup<false, 3>(mask, dst, src, table);
}
void kl_lookup8_8_4(int mask, kl_image *dst, kl_image *src, unsigned char *table) {
    lookup<false, 4>(mask, dst, src, table);
}

void kl_lookup8_8(int mask, kl_image *dst, kl_image *src, unsigned char *table) {
    if (!dst) return;
    switch (dst->bands) {
    case 1: kl_lookup8_8_1(mask, dst, src, table); break;
    case 2: kl_lookup8_8_2(mask, dst, src, table); break;
    case 3: kl_lookup8_8_3(mask, dst, src, table); break;
    case 4: kl_lookup8_8_4(mask, dst, src, table); break;
    default: break;
    }
}

void kl_lookup16_8(int mask, kl_image *dst, kl_image *src, unsigned char *table) {
    if (!dst) return;
    switch (dst->bands) {
    case 1: lookup<true, 1>(mask, dst, src, table); break;
    case 2: lookup<true, 2>(mask, dst, src, table); break;
    case 3: lookup<true, 3>(mask, dst, src, table); break;
    case 4: lookup<true, 4>(mask, dst, src, table); break;
    default: break;
    }
}

void kl_mlookup8_8_2(int mask, kl_image *dst, kl_image *src, unsigned char **tables) {
    mlookup<false, 2>(mask, dst, src, tables);
}
void kl_mlookup8_8_3(int mask, kl_image *dst, kl_image *src, unsigned char **tables) {
    mlookup<false, 3>(mask, dst, src, tables);
}
void kl_mlookup8_8_4(int mask, kl_image *dst, kl_image *src, unsigned char **tables) {
    mlookup<false, 4>(mask, dst, src, tables);
}
void kl_mlookup16_8_2(int mask, kl_image *dst, kl_image *src, unsigned char **tables) {
    mlookup<true, 2>(mask, dst, src, tables);
}
void kl_mlookup16_8_3(int mask, kl_image *dst, kl_image *src, unsigned char **tables) {
    mlookup<true, 3>(mask, dst, src, tables);
}
void kl_mlookup16_8_4(int mask, kl_image *dst, kl_image *src, unsigned char **tables) {
    mlookup<true, 4>(mask, dst, src, tables);
}

void kl_mlookup8_8(int mask, kl_image *dst, kl_image *src, unsigned char **tables) {
    if (!dst) return;
    switch (dst->bands) {
    case 1:
        if (tables) kl_lookup8_8_1(mask, dst, src, tables[0]);
        break;
    case 2: kl_mlookup8_8_2(mask, dst, src, tables); break;
    case 3: kl_mlookup8_8_3(mask, dst, src, tables); break;
    case 4: kl_mlookup8_8_4(mask, dst, src, tables); break;
    default: break;
    }
}

void kl_mlookup16_8(int mask, kl_image *dst, kl_image *src, unsigned char **tables) {
    if (!dst) return;
    switch (dst->bands) {
    case 1:
        if (tables) kl_lookup16_8(mask, dst, src, tables[0]);
        break;
    case 2: kl_mlookup16_8_2(mask, dst, src, tables); break;
    case 3: kl_mlookup16_8_3(mask, dst, src, tables); break;
    case 4: kl_mlookup16_8_4(mask, dst, src, tables); break;
    default: break;
    }
}

}  // extern "C"
