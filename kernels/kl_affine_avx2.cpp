// AVX2 bodies of the 8-bit affine table paths: the partitioned multiplies as
// rounding high multiplies in 16-bit lanes, lane sums wrapping to 16 bits as
// in the portable path. Bilinear takes four pixels' four taps per vector,
// bicubic the sixteen taps of one band of a pixel. Compiled for the AVX2 target function by function; kl_avx2_affine is
// called only after the CPU check.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "kl_impl.h"

#if defined(__x86_64__)

#pragma GCC push_options
#pragma GCC target("avx2")

namespace {

inline uint32_t ld32(const unsigned char *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Sum of the sixteen taps of a band, wrapped to 16 bits: t holds the bytes
// r[k][i] at lane 4k + i, xw the horizontal weights in every 64-bit group,
// yw the sixteen vertical weights.
inline int taps(__m128i t, __m256i xw, __m256i yw) {
    const __m256i a = _mm256_slli_epi16(_mm256_cvtepu8_epi16(t), 7);
    const __m256i h = _mm256_mulhrs_epi16(a, xw);  // (r * xw + 128) >> 8
    // ((h >> 8) * yw + 128) >> 8
    const __m256i hi = _mm256_mulhrs_epi16(_mm256_and_si256(_mm256_srai_epi16(h, 1), _mm256_set1_epi16(-128)), yw);
    // ((h & 0xff) * yw + 32768) >> 16
    const __m256i l8 = _mm256_and_si256(h, _mm256_set1_epi16(0xff));
    const __m256i lo = _mm256_add_epi16(_mm256_mulhi_epi16(l8, yw), _mm256_srli_epi16(_mm256_mullo_epi16(l8, yw), 15));
    const __m256i s = _mm256_madd_epi16(_mm256_add_epi16(hi, lo), _mm256_set1_epi16(1));
    __m128i v = _mm_add_epi32(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0x4e));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0xb1));
    return _mm_cvtsi128_si32(v);
}

inline uint8_t pack3(int v) {
    v = static_cast<int16_t>(static_cast<uint16_t>(v));
    return static_cast<uint8_t>(v < 0 ? 0 : v >= 4096 ? 255 : v >> 4);
}

template <int SB, int DB, int NB, int AT>
void bc8_run(unsigned char *dp, int n, int64_t x, int64_t y, int64_t dx, int64_t dy, const unsigned char *sd,
             const int *ro, const int16_t *tw) {
    for (int i = 0; i < n; ++i, dp += DB, x += dx, y += dy) {
        const int ix = static_cast<int>(x >> 16), iy = static_cast<int>(y >> 16);
        const int fx = static_cast<int>(x >> 8) & 0xff, fy = static_cast<int>(y >> 8) & 0xff;
        int64_t xq;
        std::memcpy(&xq, tw + 4 * fx, 8);
        const __m256i xw = _mm256_set1_epi64x(xq);
        const __m256i yw = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(tw + 4 * (256 + 4 * fy)));
        const unsigned char *r0 = sd + ro[iy] + ix * SB, *r1 = sd + ro[iy + 1] + ix * SB;
        const unsigned char *r2 = sd + ro[iy + 2] + ix * SB, *r3 = sd + ro[iy + 3] + ix * SB;
        if constexpr (SB == 1) {
            const __m128i t = _mm_setr_epi32(static_cast<int>(ld32(r0)), static_cast<int>(ld32(r1)),
                                             static_cast<int>(ld32(r2)), static_cast<int>(ld32(r3)));
            dp[AT] = pack3(taps(t, xw, yw) + 7);
        } else {
            // Twelve bytes of each row: four pixels of three bands.
            const auto row = [](const unsigned char *p) {
                return _mm_insert_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)),
                                        static_cast<int>(ld32(p + 8)), 2);
            };
            const __m128i b0 = row(r0), b1 = row(r1), b2 = row(r2), b3 = row(r3);
            for (int k = 0; k < NB; ++k) {
                // Band k of each row's four pixels into its 32-bit group.
                const __m128i sel = _mm_setr_epi8(static_cast<char>(k), static_cast<char>(k + 3),
                                                  static_cast<char>(k + 6), static_cast<char>(k + 9), -1, -1, -1, -1,
                                                  -1, -1, -1, -1, -1, -1, -1, -1);
                const __m128i c0 = _mm_shuffle_epi8(b0, sel), c1 = _mm_shuffle_epi8(b1, sel);
                const __m128i c2 = _mm_shuffle_epi8(b2, sel), c3 = _mm_shuffle_epi8(b3, sel);
                const __m128i t = _mm_unpacklo_epi64(_mm_unpacklo_epi32(c0, c1), _mm_unpacklo_epi32(c2, c3));
                dp[AT + k] = pack3(taps(t, xw, yw) + 7);
            }
        }
    }
}

inline uint16_t ld16u(const unsigned char *p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

// Bilinear table path, four pixels a vector (the last group repeats its first
// pixel in the lanes past n and stores only n).
template <int SB, int DB, int NB, int AT>
void bl8_run(unsigned char *dp, int n, int64_t x, int64_t y, int64_t dx, int64_t dy, const unsigned char *sd,
             const int *ro, const int16_t *tw) {
    const __m256i ones = _mm256_set1_epi16(1);
    for (int i = 0; i < n; i += 4) {
        const int m = n - i < 4 ? n - i : 4;
        const unsigned char *p[4], *q[4];
        int64_t xq[4], yq[4];
        for (int j = 0; j < 4; ++j) {
            const int64_t xj = j < m ? x + j * dx : x, yj = j < m ? y + j * dy : y;
            const int ix = static_cast<int>(xj >> 16), iy = static_cast<int>(yj >> 16);
            const int fx = static_cast<int>(xj >> 8) & 0xff, fy = static_cast<int>(yj >> 8) & 0xff;
            p[j] = sd + ro[iy] + ix * SB;
            q[j] = sd + ro[iy + 1] + ix * SB;
            std::memcpy(&xq[j], tw + 4 * fx, 8);
            std::memcpy(&yq[j], tw + 4 * (256 + fy), 8);
        }
        x += m * dx;
        y += m * dy;
        const __m256i xw = _mm256_setr_epi64x(xq[0], xq[1], xq[2], xq[3]);
        const __m256i yw = _mm256_setr_epi64x(yq[0], yq[1], yq[2], yq[3]);
        // Combined weights: mul8sux16 + mul8ulx16 of x and y weights.
        const __m256i hi = _mm256_mulhrs_epi16(_mm256_and_si256(_mm256_srai_epi16(xw, 1), _mm256_set1_epi16(-128)), yw);
        const __m256i l8 = _mm256_and_si256(xw, _mm256_set1_epi16(0xff));
        const __m256i c = _mm256_add_epi16(
            hi, _mm256_add_epi16(_mm256_mulhi_epi16(l8, yw), _mm256_srli_epi16(_mm256_mullo_epi16(l8, yw), 15)));
        alignas(16) int32_t out[NB][4];
        for (int k = 0; k < NB; ++k) {
            __m128i t;
            if constexpr (SB == 1) {
                t = _mm_setr_epi16(static_cast<short>(ld16u(p[0])), static_cast<short>(ld16u(q[0])),
                                   static_cast<short>(ld16u(p[1])), static_cast<short>(ld16u(q[1])),
                                   static_cast<short>(ld16u(p[2])), static_cast<short>(ld16u(q[2])),
                                   static_cast<short>(ld16u(p[3])), static_cast<short>(ld16u(q[3])));
            } else {
                const auto b = [&](const unsigned char *r, int o) { return static_cast<char>(r[k + o]); };
                t = _mm_setr_epi8(b(p[0], 0), b(p[0], SB), b(q[0], 0), b(q[0], SB), b(p[1], 0), b(p[1], SB),
                                  b(q[1], 0), b(q[1], SB), b(p[2], 0), b(p[2], SB), b(q[2], 0), b(q[2], SB),
                                  b(p[3], 0), b(p[3], SB), b(q[3], 0), b(q[3], SB));
            }
            const __m256i v = _mm256_mulhrs_epi16(_mm256_slli_epi16(_mm256_cvtepu8_epi16(t), 7), c);
            const __m256i s2 = _mm256_madd_epi16(v, ones);  // pairs
            const __m256i s4 = _mm256_hadd_epi32(s2, s2);   // pixels 0, 1 | 2, 3
            const __m128i r = _mm_unpacklo_epi64(_mm256_castsi256_si128(s4), _mm256_extracti128_si256(s4, 1));
            _mm_store_si128(reinterpret_cast<__m128i *>(out[k]), r);
        }
        for (int j = 0; j < m; ++j, dp += DB)
            for (int k = 0; k < NB; ++k) dp[AT + k] = pack3(out[k][j] + 1);
    }
}

}  // namespace

void kl_avx2_affine(kl_impl &t) {
    t.affine_bl8[0] = bl8_run<1, 1, 1, 0>;
    t.affine_bl8[1] = bl8_run<3, 3, 3, 0>;
    t.affine_bl8[2] = bl8_run<3, 4, 3, 1>;
    t.affine_bc8[0] = bc8_run<1, 1, 1, 0>;
    t.affine_bc8[1] = bc8_run<3, 3, 3, 0>;
    t.affine_bc8[2] = bc8_run<3, 4, 3, 1>;
}

#pragma GCC pop_options

#else

void kl_avx2_affine(kl_impl &) {}

#endif
