// The convolution bodies, after the checks and coefficients of the exported
// functions (kl_convolve.cpp): one-band workers written once in the
// compiler's generic vectors and compiled per kernel implementation, where
// the compiler keeps the 16-bit lanes of the row loops in the target's
// registers, and the walk that filters several bands one by one through
// them. Every instantiation writes the same bytes.
//
// Lane arithmetic in 16 bits. A tap floor((P * Q + 128) / 256) with P an
// unsigned byte and Q = 256 Qh + Ql (Qh = Q >> 8 signed, Ql = Q & 255) is
// P Qh + ((P Ql + 128) >> 8): both products and the sum fit 16-bit lanes,
// and the sums wrap there. The separable low-precision products split H the
// same way (see across_low).
//
// Wrapping sums give the filtered value only while the exact sum stays in
// range. Each worker bounds its sums once per call from the coefficients
// (samples are 0..255, so every sum lies between the taps of the negative
// coefficients at 255 and those of the positive ones at 255, partial sums
// included) and, when a sum could leave the range, takes a wide path that
// adds the same taps in 32 (or 64) bits: the exact sum, clamped. Both paths
// give the same bytes wherever the narrow sums stay in range.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kl.h"
#include "kl_body.h"
#include "kl_impl.h"

namespace {
namespace conv {

using conv_u8 = unsigned char;

// 16 pixels at a time in generic vectors: the compiler maps them onto the
// target's registers (two SSE2 halves, one AVX2 register, ...). The loops
// then finish pixel by pixel, so nothing is read beyond the pixels needed.
typedef conv_u8 conv_vb __attribute__((vector_size(16)));
typedef uint16_t conv_vu __attribute__((vector_size(32)));
typedef int16_t conv_vs __attribute__((vector_size(32)));
typedef int32_t conv_vi __attribute__((vector_size(64)));
typedef uint32_t conv_vw __attribute__((vector_size(64)));
constexpr int kConvLanes = 16;

inline conv_vu conv_load(const conv_u8 *p) {
    conv_vb b;
    __builtin_memcpy(&b, p, sizeof b);
    return __builtin_convertvector(b, conv_vu);
}
inline conv_vs conv_loads(const int16_t *p) {
    conv_vs v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
// The tap of 16 pixels from widened samples (P << kConvPre). With AVX2 one
// rounding multiply gives it whole: (P * 128 * Q + 2^14) >> 15 =
// floor((P * Q + 128) / 256), P * 128 < 2^15.
#if defined(KL_AVX2)
constexpr int kConvPre = 7;
inline conv_vu conv_tapw(conv_vu w, uint16_t qh, uint16_t ql) {
    const short q = static_cast<short>(static_cast<uint16_t>(qh << 8) | ql);
    return (conv_vu)_mm256_mulhrs_epi16((__m256i)w, _mm256_set1_epi16(q));
}
#else
constexpr int kConvPre = 0;
inline conv_vu conv_tapw(conv_vu w, uint16_t qh, uint16_t ql) { return w * qh + ((w * ql + 128) >> 8); }
#endif
inline conv_vu conv_tapv(conv_vu p, uint16_t qh, uint16_t ql) { return conv_tapw(p << kConvPre, qh, ql); }

// Signed 16-bit lanes clamped to 0..255 and stored as bytes.
inline void conv_store(conv_u8 *d, conv_vs v) {
    v = v < 0 ? 0 : v;
    v = v > 255 ? 255 : v;
    const conv_vb b = __builtin_convertvector(v, conv_vb);
    __builtin_memcpy(d, &b, sizeof b);
}

constexpr int kConvStrip = 256;  // pixels per strip of a separable row

// The computable part of a w x h destination area for radius r: rows
// [y0, y1), columns [x0, x1). False when nothing is computable or the
// descriptors cannot be filtered into each other.
struct ConvArea {
    int x0, x1, y0, y1;
};

inline bool conv_computable(const kl_image *dst, const kl_image *src, int r, ConvArea &a) {
    if (!dst || !src || !dst->data || !src->data || dst->type != KL_BYTE || src->type != KL_BYTE) return false;
    if (dst->bands != 1 || src->bands != 1 || dst->bpp != 1 || src->bpp != 1) return false;
    if (dst->w <= 0 || dst->h <= 0 || src->w < dst->w || src->h < dst->h) return false;
    const long left = src->x > 0 ? src->x : 0, above = src->y > 0 ? src->y : 0;
    const long right = static_cast<long>(src->w - dst->w) + (src->padx > 0 ? src->padx : 0);
    const long below = static_cast<long>(src->h - dst->h) + (src->pady > 0 ? src->pady : 0);
    a.x0 = left >= r ? 0 : r - static_cast<int>(left);
    a.y0 = above >= r ? 0 : r - static_cast<int>(above);
    a.x1 = right >= r ? dst->w : dst->w - (r - static_cast<int>(right));
    a.y1 = below >= r ? dst->h : dst->h - (r - static_cast<int>(below));
    return a.x0 < a.x1 && a.y0 < a.y1;
}

inline const conv_u8 *conv_src(const kl_image *s, int x, int y) {
    return s->data + static_cast<ptrdiff_t>(y) * s->lb + x;
}

inline uint16_t conv_tap(uint16_t p, uint16_t qh, uint16_t ql) {
    return static_cast<uint16_t>(static_cast<uint16_t>(p * qh) + (static_cast<uint16_t>(static_cast<uint16_t>(p * ql) + 128) >> 8));
}

// Destination bytes [0, n) of one row: the N x N tap sum of each pixel from
// start, packed at pack_scale ps (clamp(floor(S * 2^ps / 128), 0, 255)).
// Strips of kConvStrip pixels; each tap row adds its N taps to the strip's
// sums in one pass, which keeps the loops short enough to vectorise.
// Destination bytes [0, n) of one row: the N x N tap sum of each pixel from
// start, packed at pack_scale ps (clamp(floor(S * 2^ps / 128), 0, 255)).
// Strip by strip, the N source rows are widened once into 16-bit lanes and
// every tap reads them there.
template <int N>
void conv_row(const conv_u8 *const *rows, conv_u8 *d, int n, const uint16_t *qh, const uint16_t *ql, uint16_t start,
              int ps) {
    const int up = ps >= 7 ? ps - 7 : 0, down = ps >= 7 ? 0 : 7 - ps;
    uint16_t W[N][kConvStrip + N - 1];
    int i = 0;
    for (int base = 0; base + kConvLanes <= n; base += kConvStrip) {
        const int m = (n - base < kConvStrip ? n - base : kConvStrip) / kConvLanes * kConvLanes;
        for (int ti = 0; ti < N; ++ti)
            for (int c = 0; c < m + N - 1; ++c) W[ti][c] = static_cast<uint16_t>(rows[ti][base + c] << kConvPre);
        for (int k = 0; k < m; k += kConvLanes) {
            conv_vu s = conv_vu{} + start;
            for (int ti = 0; ti < N; ++ti)
                for (int tj = 0; tj < N; ++tj) {
                    conv_vu w;
                    __builtin_memcpy(&w, &W[ti][k + tj], sizeof w);
                    s += conv_tapw(w, qh[ti * N + tj], ql[ti * N + tj]);
                }
            // Lanes that would reach 2^15 when shifted up give 255; negative ones 0.
            const conv_vs sv = (conv_vs)s;
            const conv_vs big = (s >> (15 - up)) != 0;
            conv_vs v = (conv_vs)((s << up) >> down);
            v = big ? 255 : v;
            v = sv < 0 ? 0 : v;
            conv_store(d + base + k, v);
        }
        i = base + m;
    }
    for (; i < n; ++i) {
        uint16_t s = start;
        for (int ti = 0; ti < N; ++ti)
            for (int tj = 0; tj < N; ++tj) s = static_cast<uint16_t>(s + conv_tap(rows[ti][i + tj], qh[ti * N + tj], ql[ti * N + tj]));
        int32_t v = static_cast<int16_t>(s);
        v = v < 0 ? 0 : v;
        v = (v << up) >> down;
        d[i] = static_cast<conv_u8>(v > 255 ? 255 : v);
    }
}

// floor((P * q + 128) / 256) at P = 255: the largest tap of a positive
// coefficient, the smallest of a negative one.
inline long conv_tap255(int q) { return (255L * q + 128) >> 8; }

// Whether every sum of the taps of Q[0..n) from start stays within signed 16 bits.
inline bool conv_fits16(const short *Q, int n, long start) {
    long hi = start, lo = start;
    for (int i = 0; i < n; ++i) (Q[i] > 0 ? hi : lo) += conv_tap255(Q[i]);
    return hi <= 32767 && lo >= -32768;
}

// conv_row with exact 32-bit sums: a sum beyond 16 bits gives 0 or 255, as
// its packed value would be far outside 0..255.
template <int N>
void conv_row_wide(const conv_u8 *const *rows, conv_u8 *d, int n, const short *Q, int32_t start, int ps) {
    const int up = ps >= 7 ? ps - 7 : 0, down = ps >= 7 ? 0 : 7 - ps;
    int32_t acc[kConvStrip];
    for (int base = 0; base < n; base += kConvStrip) {
        const int m = n - base < kConvStrip ? n - base : kConvStrip;
        for (int i = 0; i < m; ++i) acc[i] = start;
        for (int ti = 0; ti < N; ++ti)
            for (int tj = 0; tj < N; ++tj) {
                const int32_t q = Q[ti * N + tj];
                const conv_u8 *p = rows[ti] + base + tj;
                for (int i = 0; i < m; ++i) acc[i] += (p[i] * q + 128) >> 8;
            }
        for (int i = 0; i < m; ++i) {
            int32_t v = acc[i] < 0 ? 0 : acc[i] > 32767 ? 32767 : acc[i];
            v = (v << up) >> down;
            d[base + i] = static_cast<conv_u8>(v > 255 ? 255 : v);
        }
    }
}

template <class P, int N>
void conv_general(int mask, kl_image *dst, kl_image *src, const float *k, const short *Q, int ps) {
    constexpr int r = N / 2;
    ConvArea a;
    if (!conv_computable(dst, src, r, a) || !(mask & dst->bmask & 1)) return;
    ps &= 15;
    const uint16_t start = N == 3 ? 0 : static_cast<uint16_t>(round_8[ps]);
    const bool wide = !conv_fits16(Q, N * N, start);
    uint16_t qh[N * N], ql[N * N];
    for (int i = 0; i < N * N; ++i) {
        qh[i] = static_cast<uint16_t>(Q[i] >> 8);
        ql[i] = static_cast<uint16_t>(Q[i] & 0xff);
    }
    const conv_u8 *rows[N];
    for (int y = a.y0; y < a.y1; ++y) {
        conv_u8 *drow = dst->data + static_cast<ptrdiff_t>(y) * dst->lb;
        int x = a.x0, end = a.x1;
        if (N == 3) {
            // Lead-in up to the first aligned destination word, tail after the
            // last whole group of eight: floating point.
            const int n = end - x, mis = static_cast<int>(reinterpret_cast<uintptr_t>(drow + x) & 7);
            const int lead = 8 - mis < n ? 8 - mis : n;
            const int head = lead < 8 ? lead : 0;
            const int tail = (n - head) % 8;
            for (int i = 0; i < head; ++i) drow[x + i] = kl_conv_float3x3(src, x + i, y, k);
            for (int i = end - tail; i < end; ++i) drow[i] = kl_conv_float3x3(src, i, y, k);
            x += head;
            end -= tail;
        }
        if (x >= end) continue;
        for (int ti = 0; ti < N; ++ti) rows[ti] = conv_src(src, x - r, y - r + ti);
        if (wide) {
            conv_row_wide<N>(rows, drow + x, end - x, Q, start, ps);
        } else {
            conv_row<N>(rows, drow + x, end - x, qh, ql, start, ps);
        }
    }
}

// Horizontal pass of the low-precision form over n pixels from the column
// sums T (T[0] is r columns left of the first pixel): per column, the signed
// upper byte hi and unsigned lower byte lo of T times h, each product rounded
// as the multiply primitives do, in wrapping 16-bit sums:
//   floor((hi h + 128) / 256) = hi hh + ((hi hl + 128) >> 8),
//   floor((lo h + 32768) / 65536) = (lo hh + ((lo hl) >> 8) + 128) >> 8,
// with h = 256 hh + hl; every intermediate fits a 16-bit lane.
template <int N>
void across_low(const int16_t *T, conv_u8 *d, int n, const short *H) {
    int16_t hh[N], hl[N];
    for (int j = 0; j < N; ++j) {
        hh[j] = static_cast<int16_t>(H[j] >> 8);
        hl[j] = static_cast<int16_t>(H[j] & 0xff);
    }
    int i = 0;
    for (; i + kConvLanes <= n; i += kConvLanes) {
        conv_vu acc = conv_vu{};  // wrapping sums
        for (int j = 0; j < N; ++j) {
            const conv_vs t = conv_loads(T + i + j);
            const conv_vs hi = t >> 8, lo = t & 0xff;
            const conv_vs su = (hi * hl[j] + 128) >> 8;
            const conv_vs ul = (lo * hh[j] + (conv_vs)(((conv_vu)lo * static_cast<uint16_t>(hl[j])) >> 8) + 128) >> 8;
            acc += (conv_vu)(hi * hh[j]) + (conv_vu)su + (conv_vu)ul;
        }
        conv_store(d + i, (conv_vs)acc);
    }
    for (; i < n; ++i) {
        uint16_t acc = 0;
        for (int j = 0; j < N; ++j) {
            const int16_t t = T[i + j];
            const int16_t hi = static_cast<int16_t>(t >> 8), lo = static_cast<int16_t>(t & 0xff);
            const int16_t su = static_cast<int16_t>(static_cast<int16_t>(hi * hl[j]) + 128) >> 8;
            const int16_t ul = static_cast<int16_t>(
                static_cast<int16_t>(lo * hh[j]) + (static_cast<uint16_t>(lo * hl[j]) >> 8) + 128) >> 8;
            acc = static_cast<uint16_t>(acc + static_cast<uint16_t>(hi * hh[j]) + static_cast<uint16_t>(su) +
                                        static_cast<uint16_t>(ul));
        }
        const int16_t s = static_cast<int16_t>(acc);
        d[i] = static_cast<conv_u8>(s <= 0 ? 0 : s > 255 ? 255 : s);
    }
}

// High precision: exact 32-bit sums of T * H, divided by 2^(23 - ps).
template <int N>
void across_high(const int16_t *T, conv_u8 *d, int n, const short *H, int ps) {
    const int shift = 23 - ps;
    int i = 0;
    for (; i + kConvLanes <= n; i += kConvLanes) {
        conv_vw sum = conv_vw{};  // wrapping sums
        for (int j = 0; j < N; ++j)
            sum += (conv_vw)(__builtin_convertvector(conv_loads(T + i + j), conv_vi) * static_cast<int32_t>(H[j]));
        conv_vi acc = (conv_vi)sum >> shift;
        acc = acc < 0 ? 0 : acc;
        acc = acc > 255 ? 255 : acc;
        const conv_vb b = __builtin_convertvector(acc, conv_vb);
        __builtin_memcpy(d + i, &b, sizeof b);
    }
    for (; i < n; ++i) {
        uint32_t sum = 0;
        for (int j = 0; j < N; ++j) sum += static_cast<uint32_t>(static_cast<int32_t>(T[i + j]) * H[j]);
        const int32_t v = static_cast<int32_t>(sum) >> shift;
        d[i] = static_cast<conv_u8>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
}

// Whether the column sums of V and the row sums of H over them stay in the
// lanes the narrow path adds them in: 16 bits for the column sums and the
// low-precision row sums, 32 bits for the high-precision ones. A column sum
// T lies in [tlo, thi]; a low-precision column term lies within
// T * H / 65536 - 1 .. + 1, a high-precision one is T * H.
template <int N>
bool conv_separable_fits(const short *H, const short *V, int low) {
    long thi = 0, tlo = 0;
    for (int i = 0; i < N; ++i) (V[i] > 0 ? thi : tlo) += conv_tap255(V[i]);
    if (thi > 32767 || tlo < -32768) return false;
    double rhi = 0, rlo = 0;
    for (int j = 0; j < N; ++j) {
        const double a = static_cast<double>(thi) * H[j], b = static_cast<double>(tlo) * H[j];
        rhi += (a > b ? a : b) / (low ? 65536.0 : 1.0) + (low ? 1 : 0);
        rlo += (a < b ? a : b) / (low ? 65536.0 : 1.0) - (low ? 1 : 0);
    }
    return low ? rhi <= 32767 && rlo >= -32768 : rhi <= 2147483647.0 && rlo >= -2147483648.0;
}

// One strip of n pixels with exact sums: column sums of the n + 2r columns
// from rows[i] in 32 bits, low-precision row sums in 32 bits (|T| < 2^18),
// high-precision ones in 64, clamped to 0..255.
template <int N>
void separable_wide(const conv_u8 *const *rows, conv_u8 *d, int n, const short *H, const short *V, int ps, int low) {
    constexpr int r = N / 2;
    int32_t T[kConvStrip + 2 * r];
    const int cols = n + 2 * r;
    for (int c = 0; c < cols; ++c) T[c] = 0;
    for (int i = 0; i < N; ++i) {
        const int32_t v = V[i];
        for (int c = 0; c < cols; ++c) T[c] += (rows[i][c] * v + 128) >> 8;
    }
    if (low) {
        int32_t R[kConvStrip] = {};
        for (int j = 0; j < N; ++j) {
            const int32_t h = H[j];
            for (int x = 0; x < n; ++x) {
                const int32_t t = T[x + j];
                R[x] += (((t >> 8) * h + 128) >> 8) + (((t & 0xff) * h + 32768) >> 16);
            }
        }
        for (int x = 0; x < n; ++x) d[x] = static_cast<conv_u8>(R[x] < 0 ? 0 : R[x] > 255 ? 255 : R[x]);
        return;
    }
    int64_t R[kConvStrip] = {};
    for (int j = 0; j < N; ++j) {
        const int64_t h = H[j];
        for (int x = 0; x < n; ++x) R[x] += T[x + j] * h;
    }
    const int shift = 23 - ps;
    for (int x = 0; x < n; ++x) {
        const int64_t v = R[x] >> shift;
        d[x] = static_cast<conv_u8>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
}

template <class P, int N>
void conv_separable(int mask, kl_image *dst, kl_image *src, const short *H, const short *V, int ps, int low) {
    constexpr int r = N / 2;
    ConvArea a;
    if (!conv_computable(dst, src, r, a) || !(mask & dst->bmask & 1)) return;
    ps &= 15;
    const bool wide = !conv_separable_fits<N>(H, V, low);
    uint16_t vh[N], vl[N];
    for (int i = 0; i < N; ++i) {
        vh[i] = static_cast<uint16_t>(V[i] >> 8);
        vl[i] = static_cast<uint16_t>(V[i] & 0xff);
    }
    // Column sums of one strip of the row and r more on each side, on the
    // stack, so the worker cannot fail half way.
    int16_t T[kConvStrip + 2 * r];
    const conv_u8 *rows[N];
    for (int y = a.y0; y < a.y1; ++y) {
        for (int x = a.x0; x < a.x1; x += kConvStrip) {
            const int n = a.x1 - x < kConvStrip ? a.x1 - x : kConvStrip, cols = n + 2 * r;
            for (int i = 0; i < N; ++i) rows[i] = conv_src(src, x - r, y - r + i);
            conv_u8 *d = dst->data + static_cast<ptrdiff_t>(y) * dst->lb + x;
            if (wide) {
                separable_wide<N>(rows, d, n, H, V, ps, low);
                continue;
            }
            int c = 0;
            for (; c + kConvLanes <= cols; c += kConvLanes) {
                conv_vu u = conv_vu{};
                for (int i = 0; i < N; ++i) u += conv_tapv(conv_load(rows[i] + c), vh[i], vl[i]);
                __builtin_memcpy(T + c, &u, sizeof u);
            }
            for (; c < cols; ++c) {
                uint16_t u = 0;
                for (int i = 0; i < N; ++i) u = static_cast<uint16_t>(u + conv_tap(rows[i][c], vh[i], vl[i]));
                T[c] = static_cast<int16_t>(u);
            }
            if (low) {
                across_low<N>(T, d, n, H);
            } else {
                across_high<N>(T, d, n, H, ps);
            }
        }
    }
}

// ---- Several bands ---------------------------------------------------------

inline int lowest_bit(int m) { return m & -m; }

// Filters each band that both walking bits select through one-band scratch
// images: the source band with the real pixels around the area (up to r on
// each side) so that the computable part is the same as for one band, and the
// destination band so that pixels the filter does not write come back
// unchanged.
template <class Filter>
inline void by_bands(int mask, kl_image *dst, kl_image *src, int r, Filter &&filter) {
    if (!dst || !src || !dst->data || !src->data || dst->type != KL_BYTE || src->type != KL_BYTE) return;
    if (dst->bands < 1 || dst->bands > 4 || src->bands < 1 || src->bands > 4) return;
    if (dst->w <= 0 || dst->h <= 0 || src->w < dst->w || src->h < dst->h) return;
    // Only bits naming bands the images have: a round on any other bit would
    // filter a band taken from nothing.
    const int sm = src->bmask & ((1 << src->bands) - 1), dm = dst->bmask & ((1 << dst->bands) - 1);
    if (!sm || !dm) return;  // no band to start from
    const auto avail = [r](long v) { return static_cast<int>(v < 0 ? 0 : v > r ? r : v); };
    const int l = avail(src->x), t = avail(src->y);
    const int rr = avail(static_cast<long>(src->w - dst->w) + src->padx);
    const int b = avail(static_cast<long>(src->h - dst->h) + src->pady);
    const int w = dst->w, h = dst->h;
    kl_image *t1 = kl_createimage(KL_BYTE, 1, w + l + rr, h + t + b, nullptr, 8);
    kl_image *t2 = t1 ? kl_createimage(KL_BYTE, 1, w, h, nullptr, 8) : nullptr;
    if (!t1 || !t2) {
        kl_destroyimage(t1);
        return;
    }
    kl_image around = *src;
    around.data = src->data - static_cast<ptrdiff_t>(t) * src->lb - static_cast<ptrdiff_t>(l) * src->bpp;
    around.w = w + l + rr;
    around.h = h + t + b;
    kl_image inner = *t1;
    inner.data = t1->data + static_cast<ptrdiff_t>(t) * t1->lb + l;
    inner.w = w;
    inner.h = h;
    inner.x = l;
    inner.y = t;
    inner.padx = rr;
    inner.pady = b;
    int sbit = lowest_bit(sm), dbit = lowest_bit(dm);
    for (int round = 0; round < num_bits[dm]; ++round, sbit <<= 1, dbit <<= 1) {
        if (!(sbit & mask) || !(dbit & mask)) continue;
        if (!(sbit & sm) || !(dbit & dm)) continue;
        kl_band_extract_8(sbit, t1, &around);
        kl_band_extract_8(dbit, t2, dst);
        filter(t2, &inner);
        kl_band_insert_8(dbit, dst, t2);
    }
    kl_destroyimage(t2);
    kl_destroyimage(t1);
}

// The entries (P the body policy): one band straight to the worker, several
// band by band.
template <class P, int N>
void general(int mask, kl_image *dst, kl_image *src, const float *k, const short *Q, int ps) {
    if (dst && src && dst->bands == 1 && src->bands == 1) return conv_general<P, N>(mask, dst, src, k, Q, ps);
    by_bands(mask, dst, src, N / 2, [&](kl_image *d, kl_image *s) { conv_general<P, N>(d->bmask, d, s, k, Q, ps); });
}

template <class P, int N>
void separable(int mask, kl_image *dst, kl_image *src, const short *H, const short *V, int ps, int low) {
    if (dst && src && dst->bands == 1 && src->bands == 1) return conv_separable<P, N>(mask, dst, src, H, V, ps, low);
    by_bands(mask, dst, src, N / 2,
             [&](kl_image *d, kl_image *s) { conv_separable<P, N>(d->bmask, d, s, H, V, ps, low); });
}

template <class P>
void entries(kl_impl &t) {
    t.convolve[0] = general<P, 3>;
    t.convolve[1] = general<P, 5>;
    t.convolve[2] = general<P, 7>;
    t.sconvolve[0] = separable<P, 3>;
    t.sconvolve[1] = separable<P, 5>;
    t.sconvolve[2] = separable<P, 7>;
}

}  // namespace conv
}  // namespace
