// The lookup bodies: 8- or 16-bit sources through byte tables into 8-bit
// destinations (a window's frame buffer or a scratch image), after the checks
// of the exported functions (kl_lookup.cpp).
//
// Single lookup: one table whose entries hold one output byte per destination
// band (entries of 1, 2 or 4 bytes; a 3-band entry keeps its outputs in bytes
// 1-3 and byte 0 is never read). Multi lookup: one one-byte table per band,
// band b of the source through table b into band b of the destination.
//
// The portable body walks each destination row as the aligned 8-byte words
// that hold it (lane_row): every word is assembled in a register and written once, whole
// when all its bytes belong to the row and are selected, otherwise by a
// partial store under the row's edge mask AND the band enables of the word's
// offset in the 24-byte band cycle. The destination is never read. Only
// selected bytes are looked up, so the table of an unselected band is never
// touched, and the source is read only at the samples of the pixels written.
// 16-bit tables are addressed at the entry of -32768: sample v selects entry
// v + 32768.
//
// The vector bodies keep those rules: byte permutes (AVX-512) under byte
// masks for 8-bit samples, byte shuffles (AVX2) for one band; with every
// band written, gathers of whole entries whose loads stay inside the table,
// and byte stores for multi lookups.
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

// Entry v of a single table of N-band entries as an integer whose byte k is
// band k (a 3-band entry's bytes 1-3; its byte 0 is never read, so entry 0
// is taken from e0, the value read once without it).
template <int N>
inline uint32_t entry(const u8 *table, size_t v, uint32_t e0) {
    if constexpr (N == 1) return table[v];
    if constexpr (N == 2) return load16(table + 2 * v);
    if constexpr (N == 4) return lane_load32(table + 4 * v);
    return v ? lane_load32(table + 4 * v) >> 8 : e0;
}

// Bytes q .. q + 7 (all inside the row, q >= 0) of a single lookup into
// N-band pixels: the entries of the pixels they cover, each shifted to its
// place in the word.
template <bool Short, int N>
inline uint64_t entries_word(const u8 *s, const u8 *table, size_t q, uint32_t e0) {
    const size_t p0 = q / N;
    const int phi = static_cast<int>(q % N);
    uint64_t w = 0;
#pragma GCC unroll 8
    for (int k = 0; k * N < 8 + N - 1; ++k) {
        const int off = k * N - phi;  // byte of the word where pixel p0 + k starts
        if (off >= 8) break;
        const uint64_t e = entry<N>(table, sample<Short>(s, p0 + static_cast<size_t>(k)), e0);
        w |= off >= 0 ? e << (8 * off) : e >> (-8 * off);
    }
    return w;
}

// Single lookup into N-band pixels under the band mask m (1 for one band:
// every pixel).
template <class V, bool Short, int N>
void single_words(const kl_image *dst, const kl_image *src, int m, const u8 *table) {
    const uint32_t pat = kl_masks_8[N][m];
    constexpr int E = N == 3 ? 4 : N;  // entry size
    constexpr int C = N == 3 ? 1 : 0;  // column of band 0 in an entry
    const uint32_t e0 = N == 3 ? static_cast<uint32_t>(table[1] | table[2] << 8 | table[3] << 16) : 0;
    const size_t n = static_cast<size_t>(src->w) * N;
    auto value = [table](const u8 *s, size_t x, int b) -> unsigned {
        return table[static_cast<size_t>(sample<Short>(s, x)) * E + C + b];
    };
    rows(dst, src, N, pat, [&](const u8 *s, ptrdiff_t q, unsigned en) -> uint64_t {
        // A word inside the row: whole entries; the row's ends byte by byte.
        if (q >= 0 && static_cast<size_t>(q) + 8 <= n) return entries_word<Short, N>(s, table, static_cast<size_t>(q), e0);
        return bytes<N>(s, q, en, value);
    });
}

// Multi lookup into N-band pixels from N-band sources under the band mask
// m; the tables of the bands m selects are there.
template <class V, bool Short, int N>
void multi_words(const kl_image *dst, const kl_image *src, int m, const u8 *const *tables) {
    const uint32_t pat = kl_masks_8[N][m];
    // Per byte of the cycle, the table of its band; an unselected band's
    // bytes are not stored, so they look up the table of a selected one.
    const u8 *any = nullptr;
    for (int b = 0; b < N; ++b)
        if ((m >> (N - 1 - b)) & 1) any = tables[b];
    const u8 *t[8 + N];
    for (int j = 0; j < 8 + N; ++j) {
        const int b = j % N;
        t[j] = (m >> (N - 1 - b)) & 1 ? tables[b] : any;
    }
    const size_t n = static_cast<size_t>(src->w) * N;
    // Source sample (x, b) is sample x * N + b of the row: the byte's own index.
    rows(dst, src, N, pat, [&](const u8 *s, ptrdiff_t q, unsigned en) -> uint64_t {
        if (q >= 0 && static_cast<size_t>(q) + 8 <= n) {
            const u8 *const *tb = t + q % N;
            uint64_t w = 0;
#pragma GCC unroll 8
            for (unsigned j = 0; j < 8; ++j)
                w |= static_cast<uint64_t>(tb[j][sample<Short>(s, static_cast<size_t>(q) + j)]) << (8 * j);
            return w;
        }
        return bytes<N>(s, q, en, [&](const u8 *row, size_t x, int b) -> unsigned {
            return tables[b][sample<Short>(row, x * N + static_cast<size_t>(b))];
        });
    });
}

#if defined(KL_AVX512)

// A 256-entry byte table in four registers: 64 lookups are two two-source
// byte permutes (entries 0-127 and 128-255 by the low seven index bits) and
// a blend on bit 7.
struct Table512 {
    __m512i t[4];
    void load(const u8 *p) {
        for (int i = 0; i < 4; ++i) t[i] = _mm512_loadu_si512(p + 64 * i);
    }
    // Byte col of each of the 256 entries of E (2 or 4) bytes at p; the
    // table's bytes are read in 64-byte pieces, the first without byte 0
    // when col > 0 (a 3-band entry's byte 0 may not be readable).
    void plane(const u8 *p, int E, int col) {
        // Entry i of a 64-entry group sits at byte E * i + col of the group's
        // bytes; a permute of two 64-byte pieces reaches 128 / E entries.
        alignas(64) uint8_t at[64];
        for (int i = 0; i < 64; ++i) at[i] = static_cast<uint8_t>(E * (i % (128 / E)) + col);
        const __m512i idx = _mm512_load_si512(at);
        const int group = 64 * E;  // table bytes per 64 entries
        for (int g = 0; g < 4; ++g) {
            const u8 *q = p + static_cast<ptrdiff_t>(g) * group;
            const __m512i c0 = g == 0 && col > 0 ? _mm512_maskz_loadu_epi8(~__mmask64{1}, q) : _mm512_loadu_si512(q);
            const __m512i c1 = _mm512_loadu_si512(q + 64);
            __m512i v = _mm512_permutex2var_epi8(c0, idx, c1);
            if (E == 4) {
                const __m512i c2 = _mm512_loadu_si512(q + 128), c3 = _mm512_loadu_si512(q + 192);
                v = _mm512_mask_blend_epi8(~__mmask64{0} << 32, v, _mm512_permutex2var_epi8(c2, idx, c3));
            }
            t[g] = v;
        }
    }
    __m512i operator()(__m512i x) const {
        const __m512i lo = _mm512_permutex2var_epi8(t[0], x, t[1]), hi = _mm512_permutex2var_epi8(t[2], x, t[3]);
        return _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), lo, hi);
    }
};

// Lookups of 8-bit samples into N-band pixels through per-band tables
// (tabs[b] filled for the bands m selects), 64 destination bytes at a time:
// the destination in 64-byte aligned blocks, the first and last under a mask
// of the row's bytes, each under the enables of the selected bands. Expand:
// a single lookup, whose source has one sample per pixel (each spread over
// the pixel's N bytes by a byte permute); otherwise the source has the
// destination's layout.
template <int N, bool Expand>
void blocks512(const kl_image *dst, const kl_image *src, int m, const Table512 *tabs) {
    // Per phase r (the block's first byte is band r of its pixel): the bytes
    // of each band, the selected bytes, and the source pixel of each byte.
    __mmask64 band[N][N], sel[N];
    __m512i spread[N];
    for (int r = 0; r < N; ++r) {
        alignas(64) uint8_t at[64];
        sel[r] = 0;
        for (int b = 0; b < N; ++b) band[r][b] = 0;
        for (int t = 0; t < 64; ++t) {
            const int b = (r + t) % N;
            band[r][b] |= __mmask64{1} << t;
            at[t] = static_cast<uint8_t>((r + t) / N);
        }
        for (int b = 0; b < N; ++b)
            if ((m >> (N - 1 - b)) & 1) sel[r] |= band[r][b];
        spread[r] = _mm512_load_si512(at);
    }
    const ptrdiff_t w = src->w, n = w * N;
    for (int j = 0; j < src->h; ++j) {
        const uintptr_t D = reinterpret_cast<uintptr_t>(dst->data + static_cast<ptrdiff_t>(j) * dst->lb);
        const u8 *s = src->data + static_cast<ptrdiff_t>(j) * src->lb;
        for (uintptr_t X = D & ~uintptr_t{63}; X < D + static_cast<uintptr_t>(n); X += 64) {
            const ptrdiff_t q = static_cast<ptrdiff_t>(X - D);
            const unsigned lo = q < 0 ? static_cast<unsigned>(-q) : 0;
            const unsigned hi = n - q < 64 ? static_cast<unsigned>(n - q) : 64;
            const __mmask64 rows = (hi >= 64 ? ~__mmask64{0} : (__mmask64{1} << hi) - 1) & ~((__mmask64{1} << lo) - 1);
            const int r = static_cast<int>(((q % N) + N) % N);
            __m512i x;
            if constexpr (Expand) {
                // Pixels P .. P + 63 of the source, those inside the row.
                const ptrdiff_t P = (q - r) / N;
                const ptrdiff_t a = P < 0 ? -P : 0, e = w - P < 64 ? w - P : 64;
                const __mmask64 k = (e >= 64 ? ~__mmask64{0} : (__mmask64{1} << e) - 1) & ~((__mmask64{1} << a) - 1);
                x = _mm512_permutexvar_epi8(spread[r], _mm512_maskz_loadu_epi8(k, s + P));
            } else {
                x = _mm512_maskz_loadu_epi8(rows, s + q);
            }
            __m512i y = _mm512_setzero_si512();
            if constexpr (N == 1) {
                y = tabs[0](x);
            } else {
                for (int b = 0; b < N; ++b)
                    if ((m >> (N - 1 - b)) & 1) y = _mm512_mask_blend_epi8(band[r][b], y, tabs[b](x));
            }
            _mm512_mask_storeu_epi8(reinterpret_cast<void *>(X), rows & sel[r], y);
        }
    }
}

template <int N>
void single512(const kl_image *dst, const kl_image *src, int m, const u8 *table) {
    Table512 tabs[N];
    if constexpr (N == 1) {
        tabs[0].load(table);
    } else {
        for (int b = 0; b < N; ++b)
            if ((m >> (N - 1 - b)) & 1) tabs[b].plane(table, N == 3 ? 4 : N, (N == 3 ? 1 : 0) + b);
    }
    blocks512<N, N != 1>(dst, src, m, tabs);
}

template <int N>
void multi512(const kl_image *dst, const kl_image *src, int m, const u8 *const *tables) {
    Table512 tabs[N];
    for (int b = 0; b < N; ++b)
        if ((m >> (N - 1 - b)) & 1) tabs[b].load(tables[b]);
    blocks512<N, false>(dst, src, m, tabs);
}

#endif  // KL_AVX512

// Multi lookup of all N bands, one byte at a time: byte stores keep the
// loads of sample and table entry as the only work per byte, which beats
// assembling words where there is no byte permute.
template <bool Short, int N>
void multi_bytes(const kl_image *dst, const kl_image *src, const u8 *const *tables) {
    const u8 *t[4] = {tables[0], tables[N > 1 ? 1 : 0], tables[N > 2 ? 2 : 0], tables[N > 3 ? 3 : 0]};
    const size_t w = static_cast<size_t>(src->w);
    for (int j = 0; j < src->h; ++j) {
        u8 *d = dst->data + static_cast<ptrdiff_t>(j) * dst->lb;
        const u8 *s = src->data + static_cast<ptrdiff_t>(j) * src->lb;
        for (size_t x = 0; x < w; ++x, d += N) {
#pragma GCC unroll 4
            for (int b = 0; b < N; ++b) d[b] = t[b][sample<Short>(s, x * N + static_cast<size_t>(b))];
        }
    }
}

#if defined(KL_AVX2)

// A 256-entry byte table as sixteen 16-entry slices, 32 lookups at a time.
// A byte shuffle answers from a slice by the index's low four bits, or 0
// when the index's bit 7 is set. Within each half of the table, slice k is
// stored XORed with slice k - 1: on the index's low seven bits, stepped down
// by 16 per slice, the slices 0 .. h of a half answer (h the index's bits
// 4-6; the later ones see bit 7 set) and their XOR telescopes to slice h's
// entry. Both halves share the stepped indices; bit 7 picks the half.
struct Table256 {
    __m256i t[16];
    void load(const u8 *p) {
        for (int k = 0; k < 16; ++k) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * k));
            if (k % 8) v = _mm_xor_si128(v, _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * k - 16)));
            t[k] = _mm256_broadcastsi128_si256(v);
        }
    }
    __m256i operator()(__m256i x) const {
        const __m256i sixteen = _mm256_set1_epi8(16);
        __m256i j = _mm256_and_si256(x, _mm256_set1_epi8(0x7f));
        __m256i lo = _mm256_shuffle_epi8(t[0], j), hi = _mm256_shuffle_epi8(t[8], j);
#pragma GCC unroll 8
        for (int k = 1; k < 8; ++k) {
            j = _mm256_sub_epi8(j, sixteen);
            lo = _mm256_xor_si256(lo, _mm256_shuffle_epi8(t[k], j));
            hi = _mm256_xor_si256(hi, _mm256_shuffle_epi8(t[k + 8], j));
        }
        return _mm256_blendv_epi8(lo, hi, x);
    }
};

// One-band lookup of 8-bit samples: aligned 32-byte vectors, the bytes
// before the first and after the last one by one.
inline void single256(const kl_image *dst, const kl_image *src, const u8 *table) {
    Table256 tab;
    tab.load(table);
    const size_t n = static_cast<size_t>(src->w);
    for (int j = 0; j < src->h; ++j) {
        u8 *d = dst->data + static_cast<ptrdiff_t>(j) * dst->lb;
        const u8 *s = src->data + static_cast<ptrdiff_t>(j) * src->lb;
        size_t i = 0;
        for (; i < n && (reinterpret_cast<uintptr_t>(d + i) & 31); ++i) d[i] = table[s[i]];
        for (; i + 32 <= n; i += 32) {
            const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i));
            _mm256_store_si256(reinterpret_cast<__m256i *>(d + i), tab(x));
        }
        for (; i < n; ++i) d[i] = table[s[i]];
    }
}

// Table entries of E bytes (E = 3: bytes 1-3 of 4) for the indices in 32-bit
// lanes, gathered as 32-bit words that stay inside the table, each lane
// returning its entry in its low bytes (above them 0). A one-byte entry is
// read as the last byte of the word that ends with it (the first word for
// the first three), a two-byte entry likewise; a three-byte entry with the
// byte before it, except entry 0, whose byte 0 may not be readable (its
// lanes are masked off and take e0).
template <int E>
inline __m256i gather256(const u8 *t, __m256i idx, uint32_t e0) {
    const int *base = reinterpret_cast<const int *>(t);
    if constexpr (E == 1) {
        const __m256i three = _mm256_set1_epi32(3);
        const __m256i g = _mm256_i32gather_epi32(reinterpret_cast<const int *>(t - 3), _mm256_max_epi32(idx, three), 1);
        return _mm256_and_si256(_mm256_srlv_epi32(g, _mm256_slli_epi32(_mm256_min_epi32(idx, three), 3)),
                                _mm256_set1_epi32(0xff));
    } else if constexpr (E == 2) {
        const __m256i one = _mm256_set1_epi32(1);
        const __m256i g = _mm256_i32gather_epi32(reinterpret_cast<const int *>(t - 2), _mm256_max_epi32(idx, one), 2);
        return _mm256_and_si256(_mm256_srlv_epi32(g, _mm256_slli_epi32(_mm256_min_epi32(idx, one), 4)),
                                _mm256_set1_epi32(0xffff));
    } else if constexpr (E == 3) {
        const __m256i g = _mm256_mask_i32gather_epi32(_mm256_set1_epi32(static_cast<int>(e0 << 8)), base, idx,
                                                      _mm256_cmpgt_epi32(idx, _mm256_setzero_si256()), 4);
        return _mm256_srli_epi32(g, 8);
    } else {
        return _mm256_i32gather_epi32(base, idx, 4);
    }
}

// Table indices of 8 samples from sample x of a row, in 32-bit lanes.
template <bool Short>
inline __m256i indices256(const u8 *s, size_t x) {
    if constexpr (Short)
        return _mm256_add_epi32(_mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 2 * x))),
                                _mm256_set1_epi32(32768));
    else
        return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(s + x)));
}

// Single lookup into N-band pixels, every band written: 8 pixels' entries
// gathered, packed to their N bytes each and stored (4 x 8 bytes for 16-bit
// samples into one band); the last pixels through whole entries.
template <bool Short, int N>
void gathered256(const kl_image *dst, const kl_image *src, const u8 *table) {
    const uint32_t e0 = N == 3 ? static_cast<uint32_t>(table[1] | table[2] << 8 | table[3] << 16) : 0;
    const size_t w = static_cast<size_t>(src->w);
    // Per 128-bit half: the N bytes of each lane's entry, first.
    const __m256i pack =
        N == 1 ? _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4, 8, 12, -1, -1,
                                  -1, -1, -1, -1, -1, -1, -1, -1, -1, -1)
        : N == 2 ? _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1, 0, 1, 4, 5, 8, 9, 12, 13,
                                    -1, -1, -1, -1, -1, -1, -1, -1)
                 : _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4, 5, 6, 8, 9, 10,
                                    12, 13, 14, -1, -1, -1, -1);
    // Both halves' bytes together.
    const __m256i join = N == 1   ? _mm256_setr_epi32(0, 4, 1, 2, 3, 5, 6, 7)
                         : N == 2 ? _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7)
                                  : _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    for (int j = 0; j < src->h; ++j) {
        u8 *d = dst->data + static_cast<ptrdiff_t>(j) * dst->lb;
        const u8 *s = src->data + static_cast<ptrdiff_t>(j) * src->lb;
        size_t x = 0;
        for (; x + 8 <= w; x += 8) {
            __m256i v = gather256<N>(table, indices256<Short>(s, x), e0);
            u8 *o = d + x * N;
            if constexpr (N == 4) {
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(o), v);
            } else {
                v = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(v, pack), join);
                if constexpr (N == 1) {
                    _mm_storel_epi64(reinterpret_cast<__m128i *>(o), _mm256_castsi256_si128(v));
                } else if constexpr (N == 2) {
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(o), _mm256_castsi256_si128(v));
                } else {
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(o), _mm256_castsi256_si128(v));
                    _mm_storel_epi64(reinterpret_cast<__m128i *>(o + 16), _mm256_extracti128_si256(v, 1));
                }
            }
        }
        for (; x < w; ++x) {
            const uint32_t e = entry<N>(table, sample<Short>(s, x), e0);
            std::memcpy(d + x * N, &e, N);
        }
    }
}

#endif  // KL_AVX2

// The entries: byte permutes for 8-bit samples where the policy has them;
// gathered entries, or bytes stored one by one, for every band written;
// whole entries or table bytes assembled into words otherwise.
template <class V, bool Short, int N>
void single(const kl_image *dst, const kl_image *src, int m, const u8 *table) {
#if defined(KL_AVX2)
    if constexpr (V::isa != kl_isa::portable) {
#if defined(KL_AVX512)
        if constexpr (V::isa == kl_isa::avx512 && !Short && N == 1) return single512<1>(dst, src, m, table);
#endif
        if constexpr (V::isa == kl_isa::avx2 && !Short && N == 1) return single256(dst, src, table);
        if (m == (1 << N) - 1) return gathered256<Short, N>(dst, src, table);
#if defined(KL_AVX512)
        if constexpr (V::isa == kl_isa::avx512 && !Short) return single512<N>(dst, src, m, table);
#endif
    }
#endif
    single_words<V, Short, N>(dst, src, m, table);
}

template <class V, bool Short, int N>
void multi(const kl_image *dst, const kl_image *src, int m, const u8 *const *tables) {
#if defined(KL_AVX512)
    if constexpr (V::isa == kl_isa::avx512 && !Short) return multi512<N>(dst, src, m, tables);
#endif
    if constexpr (V::isa != kl_isa::portable)
        if (m == (1 << N) - 1) return multi_bytes<Short, N>(dst, src, tables);
    multi_words<V, Short, N>(dst, src, m, tables);
}

template <class V>
void entries(kl_impl &t) {
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

}  // namespace lookup
}  // namespace
