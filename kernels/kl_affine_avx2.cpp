// AVX2 body of the 8-bit bicubic affine table path: the sixteen taps of a
// band in the 16-bit lanes of one vector, the partitioned multiplies as
// rounding high multiplies, lane sums wrapping to 16 bits as in the portable
// path. Compiled for the AVX2 target function by function; kl_avx2_affine is
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

}  // namespace

void kl_avx2_affine(kl_impl &t) {
    t.affine_bc8[0] = bc8_run<1, 1, 1, 0>;
    t.affine_bc8[1] = bc8_run<3, 3, 3, 0>;
    t.affine_bc8[2] = bc8_run<3, 4, 3, 1>;
}

#pragma GCC pop_options

#else

void kl_avx2_affine(kl_impl &) {}

#endif
