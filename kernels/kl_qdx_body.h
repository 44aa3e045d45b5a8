// Quick zoom: exact 2x and 4x bilinear enlargement of one band, optionally
// through a lookup table. The bodies, after the checks of the exported
// functions (kl_qdx.cpp).
//
// Destination column X of the zoomed image lies at source position X / f, so
// with u = xphase + i (i the column in the rectangle), k = u div f and
// a = u mod f, and likewise v, m, b for rows, the output is
//     ((f - a)(f - b) p(k, m) + a(f - b) p(k + 1, m)
//      + (f - a) b p(k, m + 1) + a b p(k + 1, m + 1)) >> (2 log2 f)
// (floor; for 2x this is the average of the 1, 2 or 4 grid neighbours).
// Each source line is interpolated horizontally once into the line buffer,
// as 32-bit sums, and reused for the f output rows that need it; the
// vertical step combines two such lines.
//
// A tap whose weight is 0 is not read, so a rectangle reads source columns
// 0 .. ceil((xphase + w - 1) / f) and rows 0 .. ceil((yphase + h - 1) / f)
// from the descriptor's first pixel: nothing past the last grid position it
// covers. Sums are formed in 32 bits, so 16-bit samples of any value give
// their exact interpolation (a weighted mean, always within -32768..32767).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kl.h"
#include "kl_body.h"
#include "kl_impl.h"
#include "kl_lookup_body.h"

namespace {
namespace zoom {

using u8 = unsigned char;

template <class S>
inline int32_t sample(const u8 *p) {
    S v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Byte offset of the first selected sample of a pixel of n samples of sb bytes.
inline int first_selected(int n, int m, int sb) {
    for (int k = 0; k < n; ++k)
        if ((m >> (n - 1 - k)) & 1) return k * sb;
    return -1;
}

// One output row of one-band samples from two lines of horizontal sums.
inline void row_words(unsigned char *d, const int32_t *a, const int32_t *b, int wa, int wb, int shift,
                      const unsigned char *table, int w) {
    if (table) {
        for (int i = 0; i < w; ++i) d[i] = table[(wa * a[i] + wb * b[i]) >> shift];
    } else {
        for (int i = 0; i < w; ++i) d[i] = static_cast<u8>((wa * a[i] + wb * b[i]) >> shift);
    }
}

#if defined(KL_AVX512)

// One row of 8-bit values: 64 outputs per step, their sums narrowed to bytes
// and, with a table, looked up 128 entries at a time (bit 7 picks the half).
inline void row_avx512(unsigned char *d, const int32_t *a, const int32_t *b, int wa, int wb, int shift,
                       const unsigned char *table, int w) {
    const __m512i va = _mm512_set1_epi32(wa), vb = _mm512_set1_epi32(wb);
    const __m128i sh = _mm_cvtsi32_si128(shift);
    __m512i t0 = _mm512_setzero_si512(), t1 = t0, t2 = t0, t3 = t0;
    if (table) {
        t0 = _mm512_loadu_si512(table);
        t1 = _mm512_loadu_si512(table + 64);
        t2 = _mm512_loadu_si512(table + 128);
        t3 = _mm512_loadu_si512(table + 192);
    }
    auto quarter = [&](int at, int n) {
        const __mmask16 k = n >= 16 ? __mmask16(0xffff) : n <= 0 ? __mmask16(0) : __mmask16((1u << n) - 1);
        const __m512i x = _mm512_maskz_loadu_epi32(k, a + at), y = _mm512_maskz_loadu_epi32(k, b + at);
        return _mm512_cvtepi32_epi8(
            _mm512_sra_epi32(_mm512_add_epi32(_mm512_mullo_epi32(x, va), _mm512_mullo_epi32(y, vb)), sh));
    };
    for (int i = 0; i < w; i += 64) {
        const int n = w - i;
        __m512i v = _mm512_castsi128_si512(quarter(i, n));
        v = _mm512_inserti32x4(v, quarter(i + 16, n - 16), 1);
        v = _mm512_inserti32x4(v, quarter(i + 32, n - 32), 2);
        v = _mm512_inserti32x4(v, quarter(i + 48, n - 48), 3);
        if (table) {
            const __m512i lo = _mm512_permutex2var_epi8(t0, v, t1), hi = _mm512_permutex2var_epi8(t2, v, t3);
            v = _mm512_mask_blend_epi8(_mm512_movepi8_mask(v), lo, hi);
        }
        _mm512_mask_storeu_epi8(d + i, n >= 64 ? ~__mmask64(0) : (__mmask64(1) << n) - 1, v);
    }
}

#endif  // KL_AVX512

#if defined(KL_AVX2)

// One row of 8-bit values: 32 outputs per step, their sums narrowed to bytes
// and, with a table, looked up by sixteen byte shuffles (lookup::Table256);
// the last outputs one by one.
inline void row_avx2(unsigned char *d, const int32_t *a, const int32_t *b, int wa, int wb, int shift,
                     const unsigned char *table, int w) {
    const __m256i va = _mm256_set1_epi32(wa), vb = _mm256_set1_epi32(wb);
    const __m128i sh = _mm_cvtsi32_si128(shift);
    lookup::Table256 tab;
    if (table) tab.load(table);
    const auto eight = [&](int at) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + at));
        const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + at));
        return _mm256_sra_epi32(_mm256_add_epi32(_mm256_mullo_epi32(x, va), _mm256_mullo_epi32(y, vb)), sh);
    };
    int i = 0;
    for (; i + 32 <= w; i += 32) {
        // The packs interleave the 128-bit halves; the permute puts them back.
        const __m256i lo = _mm256_packs_epi32(eight(i), eight(i + 8)), hi = _mm256_packs_epi32(eight(i + 16), eight(i + 24));
        __m256i v = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(lo, hi), _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
        if (table) v = tab(v);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + i), v);
    }
    row_words(d + i, a + i, b + i, wa, wb, shift, table, w - i);
}

#endif  // KL_AVX2

// The row of the policy: 8-bit values only, as 16-bit ones index a table
// around its middle.
template <class V, class S>
inline void row(unsigned char *d, const int32_t *a, const int32_t *b, int wa, int wb, int shift,
                const unsigned char *table, int w) {
#if defined(KL_AVX512)
    if constexpr (V::isa == kl_isa::avx512 && sizeof(S) == 1) return row_avx512(d, a, b, wa, wb, shift, table, w);
#endif
#if defined(KL_AVX2)
    if constexpr (V::isa == kl_isa::avx2 && sizeof(S) == 1) return row_avx2(d, a, b, wa, wb, shift, table, w);
#endif
    row_words(d, a, b, wa, wb, shift, table, w);
}

// F: 2 or 4; S: uint8_t or int16_t samples; the byte stored for value v is
// table[v], or v itself without a table (8-bit samples only).
template <class V, int F, class S>
void kernel(const kl_image *src, const kl_image *dst, int xphase, int yphase, void *linebuf, const u8 *table) {
    constexpr int shift = F == 2 ? 2 : 4;
    const int soff = first_selected(src->bands, src->bmask, static_cast<int>(sizeof(S)));
    // The destination samples written: every selected one of each pixel.
    int doff[4], nd = 0;
    for (int k = 0; k < dst->bands; ++k)
        if ((dst->bmask >> (dst->bands - 1 - k)) & 1) doff[nd++] = k;

    const int w = dst->w;
    const ptrdiff_t sbpp = static_cast<ptrdiff_t>(src->bands) * static_cast<ptrdiff_t>(sizeof(S));
    const ptrdiff_t dbpp = dst->bands;
    int32_t *lines[2] = {static_cast<int32_t *>(linebuf), static_cast<int32_t *>(linebuf) + w};

    // Horizontal sums of source row m for the rectangle's columns (weight f):
    // the columns before the first grid position, whole grid periods, then
    // the last partial period; a tap of weight 0 is not read.
    auto across = [&](int m, int32_t *H) {
        const u8 *row = src->data + static_cast<ptrdiff_t>(m) * src->lb + soff;
        auto p = [&](int k) { return sample<S>(row + k * sbpp); };
        int i = 0, k = 0, a = xphase;
        if (a != 0) {
            const int32_t p0 = p(0), p1 = p(1);
            for (; i < w && a < F; ++i, ++a) H[i] = (F - a) * p0 + a * p1;
            k = 1;
        }
        for (; i + F <= w; i += F, ++k) {
            const int32_t p0 = p(k), p1 = p(k + 1);
            for (int t = 0; t < F; ++t) H[i + t] = (F - t) * p0 + t * p1;
        }
        if (i < w) {
            const int32_t p0 = p(k);
            H[i] = F * p0;
            if (i + 1 < w) {
                const int32_t p1 = p(k + 1);
                for (int t = 1; i + t < w; ++t) H[i + t] = (F - t) * p0 + t * p1;
            }
        }
    };

    int held0 = -1, held1 = -1;  // source rows in lines[0], lines[1]
    for (int j = 0; j < dst->h; ++j) {
        const int v = yphase + j, m = v / F, b = v % F;
        if (held0 != m) {
            if (held1 == m) {
                int32_t *t = lines[0];
                lines[0] = lines[1];
                lines[1] = t;
                held1 = -1;
            } else {
                across(m, lines[0]);
            }
            held0 = m;
        }
        if (b != 0 && held1 != m + 1) {
            across(m + 1, lines[1]);
            held1 = m + 1;
        }
        // Row b == 0 has weight 0 for the second line: any line gives its bytes.
        const int32_t *A = lines[0], *B = b == 0 ? lines[0] : lines[1];
        u8 *d = dst->data + static_cast<ptrdiff_t>(j) * dst->lb;
        const int32_t wa = F - b, wb = b;
        if (nd == 1 && dbpp == 1) {
            row<V, S>(d, A, B, wa, wb, shift, table, w);
        } else {
            const auto put = [&](auto value) {
                for (int i = 0; i < w; ++i) {
                    const u8 v = value((wa * A[i] + wb * B[i]) >> shift);
                    for (int t = 0; t < nd; ++t) d[i * dbpp + doff[t]] = v;
                }
            };
            if (table) put([table](int32_t v) { return table[v]; });
            else put([](int32_t v) { return static_cast<u8>(v); });
        }
    }
}

template <class V>
void entries(kl_impl &t) {
    if constexpr (V::isa == kl_isa::portable) {
        t.zoom8[0] = kernel<V, 2, uint8_t>;
        t.zoom8[1] = kernel<V, 4, uint8_t>;
        t.zoom16[0] = kernel<V, 2, int16_t>;
        t.zoom16[1] = kernel<V, 4, int16_t>;
    }
#if defined(KL_AVX2)
    if constexpr (V::isa != kl_isa::portable) {
        t.zoom8[0] = kernel<V, 2, uint8_t>;
        t.zoom8[1] = kernel<V, 4, uint8_t>;
    }
#endif
}

}  // namespace zoom
}  // namespace
