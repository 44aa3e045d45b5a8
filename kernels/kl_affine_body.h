// Affine warp: the seventeen pixel kernels, after the checks of the exported
// functions (kl_affine.cpp, which also makes the filter tables).
//
// Every kernel walks the destination rows the same way: the row's first
// position and its steps in 16.16 fixed point (floating point once per row),
// a whole-row rejection, an estimate by division of the pixels to skip at
// both ends, then an exact trim, so that the per-pixel loop needs no bounds
// test. Positions and steps are exact 64-bit 16.16 values (a first position
// beyond 32768 pixels is not cut to the 32-bit range, so a far start still
// walks onto the right columns), and the span's ends are found in 128 bits,
// so no transform, however extreme, overflows; within the source's range the
// values are those of 32-bit arithmetic. A row whose first position lies
// beyond 2^46 pixels, where a 64-bit position is no longer exact, is not
// drawn.
//
// The 8-bit bilinear and bicubic kernels compute the pixels around their
// aligned middle with an exact integer formula and the middle, a group of
// pixels at a time, with table weights in 16-bit lanes; the two differ by a
// rounding amount and both are part of the result. The vector bodies compute
// the middle with the partitioned multiplies as rounding high multiplies in
// 16-bit lanes (AVX2 intrinsics), the lane sums wrapping to 16 bits as in
// the portable path: bilinear eight pixels a step with positions, row
// offsets, taps and weight words gathered (one band, and three into 4-byte
// pixels; otherwise four pixels' four taps per vector), bicubic the sixteen
// taps of one band of a pixel per vector, the sums of eight at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kl.h"
#include "kl_body.h"
#include "kl_impl.h"

namespace {
namespace affine {
// trunc(v * 65536) exactly while |v| < 2^46; beyond, +-kFar (NaN gives 0).
constexpr int64_t kFar = int64_t{1} << 62;
inline int64_t fix(float v) {
    const double s = static_cast<double>(v) * 65536.0;
    if (!(s == s)) return 0;
    if (s >= static_cast<double>(kFar)) return kFar;
    if (s <= -static_cast<double>(kFar)) return -kFar;
    return static_cast<int64_t>(s);
}

inline int s16(int64_t v) { return static_cast<int16_t>(static_cast<uint16_t>(v)); }

// One lane of the partitioned multiplies.
inline int mul8sux16(int a, int b) { return s16(((a >> 8) * b + 128) >> 8); }
inline int mul8ulx16(int a, int b) { return s16(((a & 0xff) * b + 32768) >> 16); }
// lane_pack16 at pack_scale 3.
inline uint8_t pack3(int v) {
    v = s16(v);
    return static_cast<uint8_t>(v < 0 ? 0 : v >= 4096 ? 255 : v >> 4);
}
inline int16_t clamp16(int64_t v) { return static_cast<int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v); }
inline int ld16(const unsigned char *p) {
    int16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
inline void st16(unsigned char *p, int v) {
    const int16_t s = static_cast<int16_t>(v);
    std::memcpy(p, &s, 2);
}

// The pixels of one destination row that map inside the source.
struct Span {
    int first, count;
    int64_t xs, ys;  // position of pixel `first`
    int64_t dx, dy;
};

using i128 = __int128;

// Row r of dst; o and k are the filter's margins (0/0, 0.5/1, 1.5/3). The
// ends are found in 128 bits: (n - 1) steps of up to 2^62 overflow 64.
inline i128 imax(i128 a, i128 b) { return a > b ? a : b; }

inline bool row_span(const kl_image *dst, const kl_image *src, int r, float a, float b, float c, float d, float txo,
              float tyo, int k, Span &s) {
    const float X = static_cast<float>(dst->x), Y = static_cast<float>(dst->y + r);
    const float fx = a * X, fy = c * Y, gx = b * X, gy = d * Y;
    const int64_t xs = fix(fx + fy + txo), ys = fix(gx + gy + tyo);
    if (xs == kFar || xs == -kFar || ys == kFar || ys == -kFar) return false;
    const int64_t dx = fix(a), dy = fix(b);
    const int64_t W = static_cast<int64_t>(src->w - k) * 65536, H = static_cast<int64_t>(src->h - k) * 65536;
    if ((xs < 0 && dx < 1) || (ys < 0 && dy < 1) || (xs >= W && dx >= 0) || (ys >= H && dy >= 0)) return false;
    const i128 n = dst->w, xe = xs + (n - 1) * dx, ye = ys + (n - 1) * dy;
    const auto q = [](i128 num, i128 den) {
        const i128 v = num / den - 1;
        return v < 0 ? i128{0} : v;
    };
    i128 L = 0, T = 0;
    if (dx > 0) {
        L = q(-i128{xs}, dx);
        T = q(xe - W, dx);
    } else if (dx < 0) {
        L = q(W - i128{xs}, dx);
        T = q(xe, dx);
    }
    if (dy > 0) {
        L = imax(L, q(-i128{ys}, dy));
        T = imax(T, q(ye - H, dy));
    } else if (dy < 0) {
        L = imax(L, q(H - i128{ys}, dy));
        T = imax(T, q(ye, dy));
    }
    i128 first = L, count = n - L - T;
    const auto inside = [&](i128 i) {
        const i128 x = xs + i * dx, y = ys + i * dy;
        return x >= 0 && x < W && y >= 0 && y < H;
    };
    while (count >= 0 && !inside(first)) {
        ++first;
        --count;
    }
    while (count >= 0 && !inside(first + count - 1)) --count;
    if (count <= 0) return false;
    // Both ends lie inside the source, so the positions between fit 64 bits.
    s = Span{static_cast<int>(first), static_cast<int>(count), static_cast<int64_t>(xs + first * dx),
             static_cast<int64_t>(ys + first * dy), dx, dy};
    return true;
}

// f(destination pixel address, span) for every row that writes something.
template <class F>
inline void rows(const kl_image *dst, const kl_image *src, float a, float b, float c, float d, float tx, float ty,
                 double o, int k, F &&f) {
    if (dst->w <= 0 || dst->h <= 0) return;
    const float txo = static_cast<float>(static_cast<double>(tx) - o);
    const float tyo = static_cast<float>(static_cast<double>(ty) - o);
    for (int r = 0; r < dst->h; ++r) {
        Span s;
        if (!row_span(dst, src, r, a, b, c, d, txo, tyo, k, s)) continue;
        f(dst->data + static_cast<ptrdiff_t>(r) * dst->lb + static_cast<ptrdiff_t>(s.first) * dst->bpp, s);
    }
}

// ---- Nearest -------------------------------------------------------------------

// Copies n bytes of the source pixel to destination byte `at` of each pixel.
template <class V, int SB, int DB, int N, int AT>
void nearest(kl_image *dst, kl_image *src, const int *ro, const void *, float a, float b, float c, float d, float tx,
             float ty) {
    const unsigned char *sd = src->data;
    rows(dst, src, a, b, c, d, tx, ty, 0.0, 0, [&](unsigned char *dp, const Span &s) {
        int64_t x = s.xs, y = s.ys;
        for (int i = 0; i < s.count; ++i, dp += DB, x += s.dx, y += s.dy) {
            const unsigned char *p = sd + ro[y >> 16] + (x >> 16) * SB;
            if constexpr (N == 1) {
                dp[AT] = p[0];
            } else {
                std::memcpy(dp + AT, p, N);
            }
        }
    });
}

// ---- 8-bit filters -------------------------------------------------------------

inline const int16_t *words(const void *table) { return static_cast<const int16_t *>(table); }

// Bilinear sample from the taps p (row iy) and q (row iy + 1), pixel stride sb.
inline uint8_t bl8_exact(const unsigned char *p, const unsigned char *q, int sb, int fx, int fy) {
    const int gx = 256 - fx, gy = 256 - fy;
    return static_cast<uint8_t>((p[0] * gx * gy + p[sb] * fx * gy + q[0] * gx * fy + q[sb] * fx * fy) >> 16);
}
// The four combined tap weights of a pixel (about wx * wy / 65536, 4096 = 1.0).
inline void bl8_weights(const int16_t *xw, const int16_t *yw, int c[4]) {
    for (int i = 0; i < 4; ++i) c[i] = s16(mul8sux16(xw[i], yw[i]) + mul8ulx16(xw[i], yw[i]));
}
// The lane sums wrap to 16 bits in pack3, so the products are summed unwrapped.
inline uint8_t bl8_table(const unsigned char *p, const unsigned char *q, int sb, const int c[4]) {
    return pack3(((p[0] * c[0] + 128) >> 8) + ((p[sb] * c[1] + 128) >> 8) + ((q[0] * c[2] + 128) >> 8) +
                 ((q[sb] * c[3] + 128) >> 8) + 1);
}

// Bicubic sample from rows r[0..3] (first tap of each), pixel stride sb.
inline uint8_t bc8_exact(const unsigned char *const r[4], int sb, const int16_t *xw, const int16_t *yv) {
    int64_t acc = 0;
    for (int k = 0; k < 4; ++k) {
        int64_t h = 0;
        for (int i = 0; i < 4; ++i) h += r[k][i * sb] * xw[i];
        acc += (h >> 8) * yv[4 * k];
    }
    acc >>= 20;
    return static_cast<uint8_t>(acc < 0 ? 0 : acc > 255 ? 255 : acc);
}
// Each tap's horizontal product is wrapped to 16 bits (its halves feed the
// vertical multiplies); the rest wraps in pack3.
inline uint8_t bc8_table(const unsigned char *const r[4], int sb, const int16_t *xw, const int16_t *yv) {
    int sum = 0;
    for (int k = 0; k < 4; ++k) {
        const int16_t *yw = yv + 4 * k;
        for (int i = 0; i < 4; ++i) {
            const int h = s16((r[k][i * sb] * xw[i] + 128) >> 8);
            sum += (((h >> 8) * yw[i] + 128) >> 8) + (((h & 0xff) * yw[i] + 32768) >> 16);
        }
    }
    return pack3(sum + 7);
}

// The table paths over n pixels.
template <int SB, int DB, int NB, int AT>
void bl8_run(unsigned char *dp, int n, int64_t x, int64_t y, int64_t dx, int64_t dy, const unsigned char *sd,
             const int *ro, const int16_t *tw) {
    for (int i = 0; i < n; ++i, dp += DB, x += dx, y += dy) {
        const int ix = static_cast<int>(x >> 16), iy = static_cast<int>(y >> 16);
        const int fx = static_cast<int>(x >> 8) & 0xff, fy = static_cast<int>(y >> 8) & 0xff;
        const unsigned char *p = sd + ro[iy] + ix * SB, *q = sd + ro[iy + 1] + ix * SB;
        int cw[4];
        bl8_weights(tw + 4 * fx, tw + 4 * (256 + fy), cw);
        for (int k = 0; k < NB; ++k) dp[AT + k] = bl8_table(p + k, q + k, SB, cw);
    }
}
template <int SB, int DB, int NB, int AT>
void bc8_run(unsigned char *dp, int n, int64_t x, int64_t y, int64_t dx, int64_t dy, const unsigned char *sd,
             const int *ro, const int16_t *tw) {
    for (int i = 0; i < n; ++i, dp += DB, x += dx, y += dy) {
        const int ix = static_cast<int>(x >> 16), iy = static_cast<int>(y >> 16);
        const int fx = static_cast<int>(x >> 8) & 0xff, fy = static_cast<int>(y >> 8) & 0xff;
        const int16_t *xw = tw + 4 * fx, *yv = tw + 4 * (256 + 4 * fy);
        const unsigned char *r[4];
        for (int j = 0; j < 4; ++j) r[j] = sd + ro[iy + j] + ix * SB;
        for (int k = 0; k < NB; ++k) {
            const unsigned char *rk[4] = {r[0] + k, r[1] + k, r[2] + k, r[3] + k};
            dp[AT + k] = bc8_table(rk, SB, xw, yv);
        }
    }
}

#if defined(KL_AVX2)


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

// The table paths in 16-bit lanes: bicubic takes the sixteen taps of one band
// of a pixel per vector.
template <int SB, int DB, int NB, int AT>
void bc8_run_avx2(unsigned char *dp, int n, int64_t x, int64_t y, int64_t dx, int64_t dy, const unsigned char *sd,
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

// One band of a pixel as in taps(), left as the eight 32-bit pair sums of
// its sixteen rounded products (summed with seven others by hsum8).
inline __m256i bc8_item(__m128i t, __m256i xw, __m256i yw) {
    const __m256i h = _mm256_mulhrs_epi16(_mm256_slli_epi16(_mm256_cvtepu8_epi16(t), 7), xw);
    const __m256i hi = _mm256_mulhrs_epi16(_mm256_and_si256(_mm256_srai_epi16(h, 1), _mm256_set1_epi16(-128)), yw);
    const __m256i l8 = _mm256_and_si256(h, _mm256_set1_epi16(0xff));
    const __m256i lo = _mm256_add_epi16(_mm256_mulhi_epi16(l8, yw), _mm256_srli_epi16(_mm256_mullo_epi16(l8, yw), 15));
    return _mm256_madd_epi16(_mm256_add_epi16(hi, lo), _mm256_set1_epi16(1));
}

// The lane sums of eight vectors, in their order.
inline __m256i hsum8(const __m256i *m) {
    const __m256i a = _mm256_hadd_epi32(m[0], m[1]), b = _mm256_hadd_epi32(m[2], m[3]);
    const __m256i c = _mm256_hadd_epi32(m[4], m[5]), d = _mm256_hadd_epi32(m[6], m[7]);
    const __m256i e = _mm256_hadd_epi32(a, b), f = _mm256_hadd_epi32(c, d);
    return _mm256_add_epi32(_mm256_permute2x128_si256(e, f, 0x20), _mm256_permute2x128_si256(e, f, 0x31));
}

// Bicubic table path, eight pixels a step: each band's sixteen products as
// in bc8_run_avx2, the sums of eight bands of pixels at once and pack3 in
// 32-bit lanes; the last pixels take bc8_run_avx2.
template <int SB, int DB, int NB, int AT>
void bc8_run_batch(unsigned char *dp, int n, int64_t x, int64_t y, int64_t dx, int64_t dy, const unsigned char *sd,
                   const int *ro, const int16_t *tw) {
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256i m[8 * NB];
        for (int j = 0; j < 8; ++j, x += dx, y += dy) {
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
                m[j] = bc8_item(t, xw, yw);
            } else {
                const auto row = [](const unsigned char *p) {
                    return _mm_insert_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)),
                                            static_cast<int>(ld32(p + 8)), 2);
                };
                const __m128i b0 = row(r0), b1 = row(r1), b2 = row(r2), b3 = row(r3);
                for (int k = 0; k < NB; ++k) {
                    const __m128i sel = _mm_setr_epi8(static_cast<char>(k), static_cast<char>(k + 3),
                                                      static_cast<char>(k + 6), static_cast<char>(k + 9), -1, -1, -1,
                                                      -1, -1, -1, -1, -1, -1, -1, -1, -1);
                    const __m128i c0 = _mm_shuffle_epi8(b0, sel), c1 = _mm_shuffle_epi8(b1, sel);
                    const __m128i c2 = _mm_shuffle_epi8(b2, sel), c3 = _mm_shuffle_epi8(b3, sel);
                    m[NB * j + k] = bc8_item(_mm_unpacklo_epi64(_mm_unpacklo_epi32(c0, c1), _mm_unpacklo_epi32(c2, c3)), xw, yw);
                }
            }
        }
        alignas(32) int32_t res[8 * NB];
        for (int g = 0; g < NB; ++g) {
            __m256i v = _mm256_add_epi32(hsum8(m + 8 * g), _mm256_set1_epi32(7));
            v = _mm256_srai_epi32(_mm256_slli_epi32(v, 16), 16);
            v = _mm256_srli_epi32(_mm256_min_epi32(_mm256_max_epi32(v, _mm256_setzero_si256()), _mm256_set1_epi32(4095)), 4);
            _mm256_store_si256(reinterpret_cast<__m256i *>(res + 8 * g), v);
        }
        for (int j = 0; j < 8; ++j, dp += DB)
            for (int k = 0; k < NB; ++k) dp[AT + k] = static_cast<uint8_t>(res[NB * j + k]);
    }
    if (i < n) bc8_run_avx2<SB, DB, NB, AT>(dp, n - i, x, y, dx, dy, sd, ro, tw);
}

inline uint16_t ld16u(const unsigned char *p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

// Bilinear table path, four pixels a vector (the last group repeats its first
// pixel in the lanes past n and stores only n).
template <int SB, int DB, int NB, int AT>
void bl8_run_avx2(unsigned char *dp, int n, int64_t x, int64_t y, int64_t dx, int64_t dy, const unsigned char *sd,
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


// The combined bilinear weights of four pixels (mul8sux16 + mul8ulx16 of
// their x and y weight words).
inline __m256i bl8_combine(__m256i xw, __m256i yw) {
    const __m256i hi = _mm256_mulhrs_epi16(_mm256_and_si256(_mm256_srai_epi16(xw, 1), _mm256_set1_epi16(-128)), yw);
    const __m256i l8 = _mm256_and_si256(xw, _mm256_set1_epi16(0xff));
    return _mm256_add_epi16(
        hi, _mm256_add_epi16(_mm256_mulhi_epi16(l8, yw), _mm256_srli_epi16(_mm256_mullo_epi16(l8, yw), 15)));
}

// pack3(v + 1) in 32-bit lanes: wrapped to 16 bits, then clamped.
inline __m256i bl8_finish(__m256i v) {
    v = _mm256_add_epi32(v, _mm256_set1_epi32(1));
    v = _mm256_srai_epi32(_mm256_slli_epi32(v, 16), 16);
    return _mm256_srli_epi32(_mm256_min_epi32(_mm256_max_epi32(v, _mm256_setzero_si256()), _mm256_set1_epi32(4095)), 4);
}

// Bilinear table path, eight pixels a step in 32-bit lanes: the positions by
// stepping the lanes (16.16 sums are exact, and within the span every
// position fits 31 bits), then the row offsets, the taps (one 32-bit word a
// row for one band, 64 bits for three) and both weight words gathered. A
// step with a tap word reaching past its row's end (the source's last
// columns) goes pixel by pixel. One band (SB 1) or three into bytes 1..3 of
// 4-byte pixels (SB 3); other layouts and the last pixels take bl8_run_avx2.
template <int SB, int DB, int NB, int AT>
void bl8_run_gather(unsigned char *dp, int n, int64_t x, int64_t y, int64_t dx, int64_t dy, const unsigned char *sd,
                    const int *ro, const int16_t *tw, int sw) {
    int i = 0;
    if constexpr ((SB == 1 && DB == 1) || (SB == 3 && DB == 4 && AT == 1)) {
        const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        const __m256i ddx = _mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(dx)));
        const __m256i ddy = _mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(dy)));
        __m256i X = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(x))), _mm256_mullo_epi32(lane, ddx));
        __m256i Y = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(y))), _mm256_mullo_epi32(lane, ddy));
        const __m256i X8 = _mm256_slli_epi32(ddx, 3), Y8 = _mm256_slli_epi32(ddy, 3);
        const __m256i last = _mm256_set1_epi32(sw - (SB == 1 ? 4 : 3));  // largest column whose tap word is in the row
        const __m256i ff = _mm256_set1_epi32(0xff), ones = _mm256_set1_epi16(1);
        const __m256i order = _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);
        for (; i + 8 <= n; i += 8, X = _mm256_add_epi32(X, X8), Y = _mm256_add_epi32(Y, Y8)) {
            const __m256i ix = _mm256_srli_epi32(X, 16), iy = _mm256_srli_epi32(Y, 16);
            if (!_mm256_testz_si256(_mm256_cmpgt_epi32(ix, last), _mm256_cmpgt_epi32(ix, last))) {
                bl8_run_avx2<SB, DB, NB, AT>(dp + static_cast<ptrdiff_t>(i) * DB, 8, x + i * dx, y + i * dy, dx, dy, sd,
                                             ro, tw);
                continue;
            }
            const __m256i fx = _mm256_and_si256(_mm256_srli_epi32(X, 8), ff);
            const __m256i fy = _mm256_add_epi32(_mm256_and_si256(_mm256_srli_epi32(Y, 8), ff), _mm256_set1_epi32(256));
            const __m256i col = SB == 1 ? ix : _mm256_add_epi32(ix, _mm256_add_epi32(ix, ix));
            const __m256i op = _mm256_add_epi32(_mm256_i32gather_epi32(ro, iy, 4), col);
            const __m256i oq = _mm256_add_epi32(_mm256_i32gather_epi32(ro + 1, iy, 4), col);
            const auto *w64 = reinterpret_cast<const long long *>(tw);
            const __m256i c0 = bl8_combine(_mm256_i32gather_epi64(w64, _mm256_castsi256_si128(fx), 8),
                                           _mm256_i32gather_epi64(w64, _mm256_castsi256_si128(fy), 8));
            const __m256i c1 = bl8_combine(_mm256_i32gather_epi64(w64, _mm256_extracti128_si256(fx, 1), 8),
                                           _mm256_i32gather_epi64(w64, _mm256_extracti128_si256(fy, 1), 8));
            // sum of the four rounded tap products of each pixel of a group of four
            const auto taps4 = [&](__m256i t, __m256i c) {
                return _mm256_madd_epi16(_mm256_mulhrs_epi16(_mm256_slli_epi16(t, 7), c), ones);
            };
            if constexpr (SB == 1) {
                const auto *s32 = reinterpret_cast<const int *>(sd);
                const __m256i P = _mm256_i32gather_epi32(s32, op, 1), Q = _mm256_i32gather_epi32(s32, oq, 1);
                const __m256i T = _mm256_blend_epi16(P, _mm256_slli_epi32(Q, 16), 0xaa);  // p0 p1 q0 q1
                const __m256i s0 = taps4(_mm256_cvtepu8_epi16(_mm256_castsi256_si128(T)), c0);
                const __m256i s1 = taps4(_mm256_cvtepu8_epi16(_mm256_extracti128_si256(T, 1)), c1);
                const __m256i r = bl8_finish(_mm256_permutevar8x32_epi32(_mm256_hadd_epi32(s0, s1), order));
                const __m256i b = _mm256_packus_epi16(_mm256_packus_epi32(r, r), _mm256_setzero_si256());
                const __m128i v = _mm_unpacklo_epi32(_mm256_castsi256_si128(b), _mm256_extracti128_si256(b, 1));
                _mm_storel_epi64(reinterpret_cast<__m128i *>(dp + i), v);
            } else {
                const auto *s64 = reinterpret_cast<const long long *>(sd);
                // Per 128-bit lane two pixels: band k's taps p[k], p[k + 3], q[k], q[k + 3] in 16-bit lanes.
                const auto band = [&](__m256i P, __m256i Q, int k) {
                    const char z = -128;
                    const char a = static_cast<char>(k), b = static_cast<char>(k + 3);
                    const char a8 = static_cast<char>(k + 8), b8 = static_cast<char>(k + 11);
                    const __m256i cp = _mm256_setr_epi8(a, z, b, z, z, z, z, z, a8, z, b8, z, z, z, z, z, a, z, b, z, z,
                                                        z, z, z, a8, z, b8, z, z, z, z, z);
                    const __m256i cq = _mm256_setr_epi8(z, z, z, z, a, z, b, z, z, z, z, z, a8, z, b8, z, z, z, z, z, a,
                                                        z, b, z, z, z, z, z, a8, z, b8, z);
                    return _mm256_or_si256(_mm256_shuffle_epi8(P, cp), _mm256_shuffle_epi8(Q, cq));
                };
                // Bytes b0 b1 b2 of pixels 0, 1 | 2, 3 to bytes 1..3 of each 4-byte pixel.
                const __m256i place = _mm256_setr_epi8(-128, 0, 2, 4, -128, 1, 3, 5, -128, -128, -128, -128, -128, -128,
                                                       -128, -128, -128, 0, 2, 4, -128, 1, 3, 5, -128, -128, -128, -128,
                                                       -128, -128, -128, -128);
                const __m128i keep = _mm_set1_epi32(0xff);
                for (int h = 0; h < 2; ++h) {
                    const __m128i oph = h ? _mm256_extracti128_si256(op, 1) : _mm256_castsi256_si128(op);
                    const __m128i oqh = h ? _mm256_extracti128_si256(oq, 1) : _mm256_castsi256_si128(oq);
                    const __m256i P = _mm256_i32gather_epi64(s64, oph, 1), Q = _mm256_i32gather_epi64(s64, oqh, 1);
                    const __m256i c = h ? c1 : c0;
                    const __m256i b0 = taps4(band(P, Q, 0), c), b1 = taps4(band(P, Q, 1), c), b2 = taps4(band(P, Q, 2), c);
                    const __m256i r01 = bl8_finish(_mm256_hadd_epi32(b0, b1)), r2 = bl8_finish(_mm256_hadd_epi32(b2, b2));
                    const __m256i bytes = _mm256_shuffle_epi8(_mm256_packus_epi16(_mm256_packus_epi32(r01, r2), _mm256_setzero_si256()), place);
                    const __m128i v = _mm_unpacklo_epi64(_mm256_castsi256_si128(bytes), _mm256_extracti128_si256(bytes, 1));
                    auto *o = reinterpret_cast<__m128i *>(dp + static_cast<ptrdiff_t>(i + 4 * h) * 4);
                    _mm_storeu_si128(o, _mm_or_si128(_mm_and_si128(_mm_loadu_si128(o), keep), v));
                }
            }
        }
    }
    if (i < n)
        bl8_run_avx2<SB, DB, NB, AT>(dp + static_cast<ptrdiff_t>(i) * DB, n - i, x + i * dx, y + i * dy, dx, dy, sd, ro,
                                     tw);
}
#endif  // KL_AVX2

// The table path of the policy over n pixels.
template <class V, bool CUBIC, int SB, int DB, int NB, int AT>
inline void table_run(unsigned char *dp, int n, int64_t x, int64_t y, int64_t dx, int64_t dy,
                      const unsigned char *sd, const int *ro, const int16_t *tw, int sw) {
#if defined(KL_AVX2)
    if constexpr (V::isa != kl_isa::portable) {
        if constexpr (CUBIC) bc8_run_batch<SB, DB, NB, AT>(dp, n, x, y, dx, dy, sd, ro, tw);
        else bl8_run_gather<SB, DB, NB, AT>(dp, n, x, y, dx, dy, sd, ro, tw, sw);
        return;
    }
#endif
    (void)sw;
    if constexpr (CUBIC) bc8_run<SB, DB, NB, AT>(dp, n, x, y, dx, dy, sd, ro, tw);
    else bl8_run<SB, DB, NB, AT>(dp, n, x, y, dx, dy, sd, ro, tw);
}

// An 8-bit filter kernel: SB source bytes per pixel, NB bands, written to
// destination bytes AT.. of DB-byte pixels. Pixels are computed singly (exact
// formula) until the destination address is a multiple of ALIGN, then in
// groups of G by the table path, then singly again.
template <class V, bool CUBIC, int SB, int DB, int NB, int AT, int ALIGN, int G>
void filter8(kl_image *dst, kl_image *src, const int *ro, const void *table, float a, float b, float c, float d,
             float tx, float ty) {
    const unsigned char *sd = src->data;
    const int16_t *tw = words(table);
    rows(dst, src, a, b, c, d, tx, ty, CUBIC ? 1.5 : 0.5, CUBIC ? 3 : 1, [&](unsigned char *dp, const Span &s) {
        int lead = 0;
        while (lead < ALIGN && (reinterpret_cast<uintptr_t>(dp) + static_cast<uintptr_t>(lead) * DB) % ALIGN) ++lead;
        if (lead == ALIGN) lead = s.count;  // never aligned: every pixel singly
        if (lead > s.count) lead = s.count;
        const int mid_end = lead + (s.count - lead) / G * G;
        int64_t x = s.xs, y = s.ys;
        const int64_t dx = s.dx, dy = s.dy;
        // Pixels [from, to) by the exact formula.
        const auto exact = [&](int from, int to) {
            for (int i = from; i < to; ++i, dp += DB, x += dx, y += dy) {
                const int ix = static_cast<int>(x >> 16), iy = static_cast<int>(y >> 16);
                const int fx = static_cast<int>(x >> 8) & 0xff, fy = static_cast<int>(y >> 8) & 0xff;
                if constexpr (!CUBIC) {
                    const unsigned char *p = sd + ro[iy] + ix * SB, *q = sd + ro[iy + 1] + ix * SB;
                    for (int k = 0; k < NB; ++k) dp[AT + k] = bl8_exact(p + k, q + k, SB, fx, fy);
                } else {
                    const int16_t *xw = tw + 4 * fx, *yv = tw + 4 * (256 + 4 * fy);
                    const unsigned char *r[4];
                    for (int j = 0; j < 4; ++j) r[j] = sd + ro[iy + j] + ix * SB;
                    for (int k = 0; k < NB; ++k) {
                        const unsigned char *rk[4] = {r[0] + k, r[1] + k, r[2] + k, r[3] + k};
                        dp[AT + k] = bc8_exact(rk, SB, xw, yv);
                    }
                }
            }
        };
        exact(0, lead);
        const int m = mid_end - lead;
        table_run<V, CUBIC, SB, DB, NB, AT>(dp, m, x, y, dx, dy, sd, ro, tw, src->w);
        dp += static_cast<ptrdiff_t>(m) * DB;
        x += m * dx;
        y += m * dy;
        exact(mid_end, s.count);
    });
}

// ---- 16-bit filters ------------------------------------------------------------

// NB bands of SB-byte pixels; Q15 weights, products summed in 32 bits and
// rounded, then saturated to the signed 16-bit range.
template <class V, bool CUBIC, int SB, int NB>
void filter16(kl_image *dst, kl_image *src, const int *ro, const void *table, float a, float b, float c, float d,
              float tx, float ty) {
    const unsigned char *sd = src->data;
    const int16_t *tw = words(table);
    rows(dst, src, a, b, c, d, tx, ty, CUBIC ? 1.5 : 0.5, CUBIC ? 3 : 1, [&](unsigned char *dp, const Span &s) {
        int64_t x = s.xs, y = s.ys;
        for (int i = 0; i < s.count; ++i, dp += SB, x += s.dx, y += s.dy) {
            const int ix = static_cast<int>(x >> 16), iy = static_cast<int>(y >> 16);
            const int fx = static_cast<int>(x >> 8) & 0xff, fy = static_cast<int>(y >> 8) & 0xff;
            const int16_t *xw = tw + 4 * fx;
            for (int k = 0; k < NB; ++k) {
                int64_t v;
                if constexpr (!CUBIC) {
                    const unsigned char *p = sd + ro[iy] + ix * SB + 2 * k, *q = sd + ro[iy + 1] + ix * SB + 2 * k;
                    const int16_t *yw = tw + 4 * (256 + fy);
                    const int64_t h0 = (int64_t{ld16(p)} * xw[0] + int64_t{ld16(p + SB)} * xw[2] + 16384) >> 15;
                    const int64_t h1 = (int64_t{ld16(q)} * xw[0] + int64_t{ld16(q + SB)} * xw[2] + 16384) >> 15;
                    v = (h0 * yw[0] + h1 * yw[1] + 16384) >> 15;
                } else {
                    const int16_t *yw = tw + 4 * 256 + 12 * fy + k;
                    int64_t acc = 0;
                    for (int j = 0; j < 4; ++j) {
                        const unsigned char *p = sd + ro[iy + j] + ix * SB + 2 * k;
                        int64_t h = 0;
                        for (int t = 0; t < 4; ++t) h += int64_t{ld16(p + t * SB)} * xw[t];
                        acc += ((h + 16384) >> 15) * yw[3 * j];
                    }
                    v = (acc + 16384) >> 15;
                }
                st16(dp + 2 * k, clamp16(v));
            }
        }
    });
}

template <class V>
void entries(kl_impl &t) {
    auto &nn = t.affine[KL_AFFINE_NEAREST], &bl = t.affine[KL_AFFINE_BILINEAR], &bc = t.affine[KL_AFFINE_BICUBIC];
    if constexpr (V::isa == kl_isa::portable) {
        nn[0][KL_AFFINE_1_1] = nearest<V, 1, 1, 1, 0>;
        nn[0][KL_AFFINE_3_3] = nearest<V, 3, 3, 3, 0>;
        nn[0][KL_AFFINE_3_4] = nearest<V, 3, 4, 3, 1>;
        nn[0][KL_AFFINE_4_4] = nearest<V, 4, 4, 4, 0>;
        nn[1][KL_AFFINE_1_1] = nearest<V, 2, 2, 2, 0>;
        nn[1][KL_AFFINE_3_3] = nearest<V, 6, 6, 6, 0>;
        nn[1][KL_AFFINE_4_4] = nearest<V, 8, 8, 8, 0>;
        bl[1][KL_AFFINE_1_1] = filter16<V, false, 2, 1>;
        bl[1][KL_AFFINE_3_3] = filter16<V, false, 6, 3>;
        bc[1][KL_AFFINE_1_1] = filter16<V, true, 2, 1>;
        bc[1][KL_AFFINE_3_3] = filter16<V, true, 6, 3>;
    }
    bl[0][KL_AFFINE_1_1] = filter8<V, false, 1, 1, 1, 0, 8, 4>;
    bl[0][KL_AFFINE_3_3] = filter8<V, false, 3, 3, 3, 0, 4, 4>;
    bl[0][KL_AFFINE_3_4] = filter8<V, false, 3, 4, 3, 1, 8, 2>;
    bc[0][KL_AFFINE_1_1] = filter8<V, true, 1, 1, 1, 0, 4, 4>;
    bc[0][KL_AFFINE_3_3] = filter8<V, true, 3, 3, 3, 0, 4, 4>;
    bc[0][KL_AFFINE_3_4] = filter8<V, true, 3, 4, 3, 1, 4, 1>;
}

}  // namespace affine
}  // namespace
