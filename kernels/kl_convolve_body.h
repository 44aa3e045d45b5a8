// The convolution bodies, after the checks and coefficients of the exported
// functions (kl_convolve.cpp), compiled once per kernel implementation over
// the lanes below (16-bit lanes: the compiler's generic vectors in the
// portable build, AVX2 and AVX-512 registers in the vector builds). Every
// instantiation writes the same bytes.
//
// Samples, not pixels: a row of an image of B interleaved bands is a row of
// samples whose taps step by B, so one pass filters every band of a pixel at
// once; bands the call does not select are computed and not stored.
//
// Lane arithmetic in 16 bits. A tap floor((P * Q + 128) / 256) is one
// rounding multiply of P * 128 and Q on AVX2 and AVX-512 ((P * 128 * Q +
// 2^14) >> 15, P * 128 < 2^15); the portable lanes take it as P Qh + ((P Ql
// + 128) >> 8) with Q = 256 Qh + Ql. The sums wrap in their lanes.
//
// Wrapping sums give the filtered value only while the exact sum stays in
// range. Each worker bounds its sums once per call from the coefficients
// (samples are 0..255, so every sum lies between the taps of the negative
// coefficients at 255 and those of the positive ones at 255, partial sums
// included) and, when a sum could leave the range, takes a wide path that
// adds the same taps in 32 (or 64) bits: the exact sum, clamped. Both paths
// give the same bytes wherever the narrow sums stay in range.
//
// The walk is the same in every implementation (strips of the same widths,
// rows in the same order), so that even a destination that overlaps its
// source comes out the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kl.h"
#include "kl_body.h"
#include "kl_impl.h"

namespace {
namespace conv {

using conv_u8 = unsigned char;

// ---- Lanes -----------------------------------------------------------------
// V: L signed 16-bit lanes. Q: a coefficient as tap() takes it. widen: L
// samples as tap() takes them (P << 7 on the vector builds, P on the
// portable one); widen_part reads only the first n < L of them. split: a
// column sum T as the low-precision row pass takes it (A from T's signed
// upper byte, Lo its lower byte); hterm: one column's term of that pass,
// floor((hi H + 128) / 256) + floor((lo H + 32768) / 65536). shape: a general
// sum brought to its pack scale, to be clamped by out2. out2: lanes of a then
// b clamped to 0..255, the first n (<= 2L) stored as bytes.

#if defined(KL_AVX512)

struct Lanes {
    using V = __m512i;
    using Q = __m512i;
    static constexpr int L = 32;
    static V zero() { return _mm512_setzero_si512(); }
    static V widen(const conv_u8 *p) {
        return _mm512_slli_epi16(_mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p))), 7);
    }
    static V widen_part(const conv_u8 *p, int n) {
        return _mm512_slli_epi16(_mm512_cvtepu8_epi16(_mm256_maskz_loadu_epi8((1u << n) - 1, p)), 7);
    }
    static V load(const int16_t *p) { return _mm512_loadu_si512(p); }
    static void put(int16_t *p, V v) { _mm512_storeu_si512(p, v); }
    static V add(V a, V b) { return _mm512_add_epi16(a, b); }
    static Q coef(int16_t q) { return _mm512_set1_epi16(q); }
    static V tap(V w, Q q) { return _mm512_mulhrs_epi16(w, q); }
    static void split(V t, V &a, V &lo) {
        a = _mm512_slli_epi16(_mm512_srai_epi16(t, 8), 7);
        lo = _mm512_and_si512(t, _mm512_set1_epi16(0xff));
    }
    static Q hcoef(int16_t h) { return _mm512_set1_epi16(h); }
    static V hterm(V a, V lo, Q h) {
        const V up = _mm512_mulhrs_epi16(a, h);
        const V low = _mm512_add_epi16(_mm512_mulhi_epi16(lo, h), _mm512_srli_epi16(_mm512_mullo_epi16(lo, h), 15));
        return _mm512_add_epi16(up, low);
    }
    template <bool Up>
    static V shape(V s, __m128i count) {
        if constexpr (Up) {
            const V top = _mm512_set1_epi16(255);
            const V t = _mm512_min_epi16(_mm512_max_epi16(s, zero()), top);
            return _mm512_min_epu16(_mm512_sll_epi16(t, count), top);
        } else {
            return _mm512_sra_epi16(s, count);
        }
    }
    static void out2(conv_u8 *d, V a, V b, int n) {
        const V p = _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7), _mm512_packus_epi16(a, b));
        if (n >= 2 * L) {
            _mm512_storeu_si512(d, p);
        } else {
            _mm512_mask_storeu_epi8(d, (__mmask64{1} << n) - 1, p);
        }
    }
};

#elif defined(KL_AVX2)

struct Lanes {
    using V = __m256i;
    using Q = __m256i;
    static constexpr int L = 16;
    static V zero() { return _mm256_setzero_si256(); }
    static V widen(const conv_u8 *p) {
        return _mm256_slli_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p))), 7);
    }
    static V widen_part(const conv_u8 *p, int n) {
        alignas(16) conv_u8 b[16] = {};
        __builtin_memcpy(b, p, static_cast<size_t>(n));
        return widen(b);
    }
    static V load(const int16_t *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
    static void put(int16_t *p, V v) { _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v); }
    static V add(V a, V b) { return _mm256_add_epi16(a, b); }
    static Q coef(int16_t q) { return _mm256_set1_epi16(q); }
    static V tap(V w, Q q) { return _mm256_mulhrs_epi16(w, q); }
    static void split(V t, V &a, V &lo) {
        a = _mm256_slli_epi16(_mm256_srai_epi16(t, 8), 7);
        lo = _mm256_and_si256(t, _mm256_set1_epi16(0xff));
    }
    static Q hcoef(int16_t h) { return _mm256_set1_epi16(h); }
    static V hterm(V a, V lo, Q h) {
        const V up = _mm256_mulhrs_epi16(a, h);
        const V low = _mm256_add_epi16(_mm256_mulhi_epi16(lo, h), _mm256_srli_epi16(_mm256_mullo_epi16(lo, h), 15));
        return _mm256_add_epi16(up, low);
    }
    template <bool Up>
    static V shape(V s, __m128i count) {
        if constexpr (Up) {
            const V top = _mm256_set1_epi16(255);
            const V t = _mm256_min_epi16(_mm256_max_epi16(s, zero()), top);
            return _mm256_min_epu16(_mm256_sll_epi16(t, count), top);
        } else {
            return _mm256_sra_epi16(s, count);
        }
    }
    static void out2(conv_u8 *d, V a, V b, int n) {
        const V p = _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xd8);
        if (n >= 2 * L) {
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(d), p);
        } else {
            alignas(32) conv_u8 t[32];
            _mm256_store_si256(reinterpret_cast<__m256i *>(t), p);
            __builtin_memcpy(d, t, static_cast<size_t>(n));
        }
    }
};

#else

typedef conv_u8 conv_vb __attribute__((vector_size(8)));
typedef uint16_t conv_vu __attribute__((vector_size(16)));
typedef int16_t conv_vs __attribute__((vector_size(16)));

struct Lanes {
    using V = conv_vs;
    struct Q {
        conv_vu h, l;
    };
    static constexpr int L = 8;
    static V zero() { return V{}; }
    static V widen(const conv_u8 *p) {
        conv_vb b;
        __builtin_memcpy(&b, p, sizeof b);
        return (V)__builtin_convertvector(b, conv_vu);
    }
    static V widen_part(const conv_u8 *p, int n) {
        conv_u8 b[8] = {};
        __builtin_memcpy(b, p, static_cast<size_t>(n));
        return widen(b);
    }
    static V load(const int16_t *p) {
        V v;
        __builtin_memcpy(&v, p, sizeof v);
        return v;
    }
    static void put(int16_t *p, V v) { __builtin_memcpy(p, &v, sizeof v); }
    static V add(V a, V b) { return (V)((conv_vu)a + (conv_vu)b); }
    static Q coef(int16_t q) {
        return {conv_vu{} + static_cast<uint16_t>(q >> 8), conv_vu{} + static_cast<uint16_t>(q & 0xff)};
    }
    static V tap(V w, const Q &q) {
        const conv_vu u = (conv_vu)w;
        return (V)(u * q.h + ((u * q.l + 128) >> 8));
    }
    static void split(V t, V &a, V &lo) {
        a = t >> 8;
        lo = t & 0xff;
    }
    static Q hcoef(int16_t h) {
        return {conv_vu{} + static_cast<uint16_t>(h >> 8), conv_vu{} + static_cast<uint16_t>(h & 0xff)};
    }
    // hi h = 256 hi hh + hi hl and lo h = 256 lo hh + lo hl (h = 256 hh + hl),
    // every intermediate within a 16-bit lane.
    static V hterm(V a, V lo, const Q &h) {
        const V hh = (V)h.h, hl = (V)h.l;
        const V su = (a * hl + 128) >> 8;
        const V ul = (lo * hh + (V)(((conv_vu)lo * h.l) >> 8) + 128) >> 8;
        return (V)((conv_vu)(a * hh) + (conv_vu)su + (conv_vu)ul);
    }
    template <bool Up>
    static V shape(V s, int count) {
        if constexpr (Up) {
            V t = s < 0 ? 0 : s;
            t = t > 255 ? 255 : t;
            const conv_vu u = (conv_vu)t << count;
            return (V)(u > 255 ? 255 : u);
        } else {
            return s >> count;
        }
    }
    static void store8(conv_u8 *d, V v, int n) {
        v = v < 0 ? 0 : v;
        v = v > 255 ? 255 : v;
        const conv_vb b = __builtin_convertvector(v, conv_vb);
        __builtin_memcpy(d, &b, static_cast<size_t>(n < 8 ? n : 8));
    }
    static void out2(conv_u8 *d, V a, V b, int n) {
        store8(d, a, n);
        if (n > 8) store8(d + 8, b, n - 8);
    }
};

#endif

#if defined(KL_AVX2)
using Count = __m128i;
inline Count shift_count(int s) { return _mm_cvtsi32_si128(s); }
#else
using Count = int;
inline int shift_count(int s) { return s; }
#endif

// ---- Geometry --------------------------------------------------------------

// Samples a strip of a row holds at most: the general workers keep N widened
// source rows of a strip; the separable ones N widened rows and a row of
// column terms per distinct coefficient, in narrower strips so that both stay
// in the first-level cache. The same in every implementation.
constexpr int kStrip = 2048;
constexpr int kSepStrip = 2048;
constexpr int kPad = 6 * 4 + 4 * Lanes::L;  // room for the taps' reach and the last vectors

// What one call filters: pixels [x0, x1) x [y0, y1) of the destination, of
// B samples each (the tap step); sel the samples of a pixel written (bit i:
// sample i), all B of them or some.
struct Area {
    const kl_image *dst, *src;
    int B, x0, x1, y0, y1;
    unsigned sel;
    bool scratch;  // the 3x3 lead-in placed as on a one-band scratch image of the destination's size
    bool full() const { return sel == (1u << B) - 1; }
    conv_u8 *drow(int y) const { return dst->data + static_cast<ptrdiff_t>(y) * dst->lb; }
    const conv_u8 *srow(int y) const { return src->data + static_cast<ptrdiff_t>(y) * src->lb; }
};

// One band: the computable part of the destination for radius r.
inline bool one_band_area(int mask, kl_image *dst, kl_image *src, int r, Area &a) {
    if (!dst || !src || !dst->data || !src->data || dst->type != KL_BYTE || src->type != KL_BYTE) return false;
    if (dst->bands != 1 || src->bands != 1 || dst->bpp != 1 || src->bpp != 1) return false;
    if (dst->w <= 0 || dst->h <= 0 || src->w < dst->w || src->h < dst->h) return false;
    if (!(mask & dst->bmask & 1)) return false;
    const long left = src->x > 0 ? src->x : 0, above = src->y > 0 ? src->y : 0;
    const long right = static_cast<long>(src->w - dst->w) + (src->padx > 0 ? src->padx : 0);
    const long below = static_cast<long>(src->h - dst->h) + (src->pady > 0 ? src->pady : 0);
    a = Area{dst, src, 1, 0, dst->w, 0, dst->h, 1u, false};
    a.x0 = left >= r ? 0 : r - static_cast<int>(left);
    a.y0 = above >= r ? 0 : r - static_cast<int>(above);
    a.x1 = right >= r ? dst->w : dst->w - (r - static_cast<int>(right));
    a.y1 = below >= r ? dst->h : dst->h - (r - static_cast<int>(below));
    return a.x0 < a.x1 && a.y0 < a.y1;
}

inline int lowest_bit(int m) { return m & -m; }

// Several bands. The rounds pair the source band of a bit walking up from the
// lowest of its mask with the destination band of a bit walking up from the
// lowest of its; a round filters when mask and both masks have its bits.
// When both images have B interleaved samples per pixel and the walks start
// at the same bit, every round pairs a sample with the one at the same
// offset: then one pass filters them all (1). Otherwise the bands go one by
// one through scratch images (-1); 0 when there is nothing to do.
inline int bands_area(int mask, kl_image *dst, kl_image *src, int r, Area &a) {
    if (!dst || !src || !dst->data || !src->data || dst->type != KL_BYTE || src->type != KL_BYTE) return 0;
    if (dst->bands < 1 || dst->bands > 4 || src->bands < 1 || src->bands > 4) return 0;
    if (dst->w <= 0 || dst->h <= 0 || src->w < dst->w || src->h < dst->h) return 0;
    // Only bits naming bands the images have: a round on any other bit would
    // filter a band taken from nothing.
    const int sm = src->bmask & ((1 << src->bands) - 1), dm = dst->bmask & ((1 << dst->bands) - 1);
    if (!sm || !dm) return 0;
    const int B = dst->bands;
    if (src->bands != B || dst->bpp != B || src->bpp != B || lowest_bit(sm) != lowest_bit(dm)) return -1;
    unsigned sel = 0;
    for (int i = 0, bit = lowest_bit(dm); i < num_bits[dm]; ++i, bit <<= 1)
        if (bit & mask & sm & dm) sel |= 1u << (B - 1 - __builtin_ctz(static_cast<unsigned>(bit)));
    if (!sel) return 0;
    // Real pixels around the area, up to r on each side, as the scratch
    // images of the band-by-band walk hold them.
    const auto avail = [r](long v) { return static_cast<int>(v < 0 ? 0 : v > r ? r : v); };
    const int l = avail(src->x), t = avail(src->y);
    const int rr = avail(static_cast<long>(src->w - dst->w) + src->padx);
    const int b = avail(static_cast<long>(src->h - dst->h) + src->pady);
    a = Area{dst, src, B, l >= r ? 0 : r - l, rr >= r ? dst->w : dst->w - (r - rr),
             t >= r ? 0 : r - t, b >= r ? dst->h : dst->h - (r - b), sel, true};
    return a.x0 < a.x1 && a.y0 < a.y1 ? 1 : 0;
}

// Writes n samples of a row from pixel x through put(d, n), which stores
// them at d: straight into the destination when every sample of a pixel is
// selected, else through tmp (kStrip bytes) and only the selected ones.
template <class Put>
inline void emit(const Area &a, int y, int x, int n, conv_u8 *tmp, Put &&put) {
    conv_u8 *d = a.drow(y) + static_cast<ptrdiff_t>(x) * a.B;
    if (a.full()) {
        put(d, n);
        return;
    }
    put(tmp, n);
    for (int i = 0, b = 0; i < n; ++i, b = b + 1 == a.B ? 0 : b + 1)
        if (a.sel >> b & 1) d[i] = tmp[i];
}

// ---- The 3x3 lead-in and tail ----------------------------------------------

// Pixels of row y computed in floating point: the head before the first
// 8-aligned destination byte (when fewer than 8) and the tail after the last
// whole group of 8. Several bands are placed as the band-by-band walk places
// them: on a page-aligned scratch image whose rows are w bytes long.
inline void lead_tail(const Area &a, int y, int &head, int &tail) {
    const int n = a.x1 - a.x0;
    const int mis = a.scratch ? static_cast<int>((static_cast<long>(y) * a.dst->w + a.x0) & 7)
                              : static_cast<int>(reinterpret_cast<uintptr_t>(a.drow(y) + a.x0) & 7);
    const int lead = 8 - mis < n ? 8 - mis : n;
    head = lead < 8 ? lead : 0;
    tail = (n - head) % 8;
}

typedef float conv_vf __attribute__((vector_size(32)));
typedef int32_t conv_vi8 __attribute__((vector_size(32)));
typedef conv_u8 conv_vb8 __attribute__((vector_size(8)));

// Samples [0, n) (n <= 28) of pixels from x of row y in single precision:
// sum of k * P over the 9 taps in row-major order, negative (or NaN) 0, above
// 255 255, else truncated. Eight samples per vector, each lane adding its
// products in the same order as one pixel at a time would.
inline void float_run(const Area &a, int y, int x, int n, const float *k, conv_u8 *out) {
    const int B = a.B;
    conv_u8 buf[3][56] = {};
    for (int ti = 0; ti < 3; ++ti)
        __builtin_memcpy(buf[ti], a.srow(y - 1 + ti) + static_cast<ptrdiff_t>(x - 1) * B, static_cast<size_t>(n + 2 * B));
    for (int c = 0; c < n; c += 8) {
        conv_vf sum = conv_vf{};
        for (int ti = 0; ti < 3; ++ti)
            for (int tj = 0; tj < 3; ++tj) {
                conv_vb8 p;
                __builtin_memcpy(&p, buf[ti] + c + tj * B, sizeof p);
                sum += k[ti * 3 + tj] * __builtin_convertvector(p, conv_vf);
            }
        sum = sum > 0.0f ? sum : 0.0f;
        sum = sum > 255.0f ? 255.0f : sum;
        const conv_vi8 v = __builtin_convertvector(sum, conv_vi8);
        for (int i = 0; i < 8 && c + i < n; ++i) out[c + i] = static_cast<conv_u8>(v[i]);
    }
}

inline void float_pixels(const Area &a, const float *k, conv_u8 *tmp) {
    for (int y = a.y0; y < a.y1; ++y) {
        int head, tail;
        lead_tail(a, y, head, tail);
        const auto run = [&](int x, int n) {
            if (n > 0) emit(a, y, x, n * a.B, tmp, [&](conv_u8 *d, int m) { float_run(a, y, x, m, k, d); });
        };
        run(a.x0, head);
        run(a.x1 - tail, tail);
    }
}

// ---- General kernels -------------------------------------------------------

// floor((P * q + 128) / 256) at P = 255: the largest tap of a positive
// coefficient, the smallest of a negative one.
inline long conv_tap255(int q) { return (255L * q + 128) >> 8; }

// Whether every sum of the taps of Q[0..n) from start stays within signed 16 bits.
inline bool conv_fits16(const short *Q, int n, long start) {
    long hi = start, lo = start;
    for (int i = 0; i < n; ++i) (Q[i] > 0 ? hi : lo) += conv_tap255(Q[i]);
    return hi <= 32767 && lo >= -32768;
}

// Samples [0, m) of a source row widened as tap() takes them, then two
// vectors of zeros past the last one written (the row passes read that far).
inline void widen_row(int16_t *R, const conv_u8 *p, int m) {
    using C = Lanes;
    constexpr int L = C::L;
    int i = 0;
    for (; i + L <= m; i += L) C::put(R + i, C::widen(p + i));
    if (i < m) {
        C::put(R + i, C::widen_part(p + i, m - i));
        i += L;
    }
    C::put(R + i, C::zero());
    C::put(R + i + L, C::zero());
}

// Pixels [x, x + np) of the fixed-point body of every row, with the rows of
// the body ranges [bx0[y], bx1[y]) given by range(y, b0, b1).
// The N widened source rows of a strip stay in a ring; each source row is
// widened once per strip. Two vectors of outputs per step.
template <int N, bool Up, class Range>
void general_narrow(const Area &a, const short *Qs, int16_t start, int ps, Range &&range) {
    using C = Lanes;
    constexpr int r = N / 2, L = C::L;
    const int B = a.B, spx = kStrip / B;
    const int up = ps >= 7 ? ps - 7 : 0, down = ps >= 7 ? 0 : 7 - ps;
    const Count count = shift_count(Up ? up : down);
    typename C::Q q[N * N];
    for (int i = 0; i < N * N; ++i) q[i] = C::coef(Qs[i]);
    alignas(64) int16_t ring[N][kStrip + kPad];
    alignas(64) conv_u8 tmp[kStrip];
    typename C::V vstart;
    {
        alignas(64) int16_t st[L];
        for (int i = 0; i < L; ++i) st[i] = start;
        vstart = C::load(st);
    }
    for (int X = a.x0; X < a.x1; X += spx) {
        const int np = a.x1 - X < spx ? a.x1 - X : spx, m = (np + 2 * r) * B;
        int16_t *rows[N];
        for (int i = 0; i < N; ++i) rows[i] = ring[i];
        const auto src_at = [&](int y) { return a.srow(y) + static_cast<ptrdiff_t>(X - r) * B; };
        for (int i = 0; i < N - 1; ++i) widen_row(rows[i], src_at(a.y0 - r + i), m);
        for (int y = a.y0; y < a.y1; ++y) {
            widen_row(rows[N - 1], src_at(y + r), m);
            int b0, b1;
            range(y, b0, b1);
            b0 = b0 > X ? b0 : X;
            b1 = b1 < X + np ? b1 : X + np;
            if (b0 < b1) {
                const int off = (b0 - X) * B;
                emit(a, y, b0, (b1 - b0) * B, tmp, [&](conv_u8 *d, int n) {
                    for (int i = 0; i < n; i += 2 * L) {
                        typename C::V s = vstart, t = vstart;
                        for (int ti = 0; ti < N; ++ti) {
                            const int16_t *p = rows[ti] + off + i;
                            for (int tj = 0; tj < N; ++tj) {
                                s = C::add(s, C::tap(C::load(p + tj * B), q[ti * N + tj]));
                                t = C::add(t, C::tap(C::load(p + tj * B + L), q[ti * N + tj]));
                            }
                        }
                        C::out2(d + i, C::template shape<Up>(s, count), C::template shape<Up>(t, count),
                                n - i < 2 * L ? n - i : 2 * L);
                    }
                });
            }
            int16_t *first = rows[0];
            for (int i = 0; i + 1 < N; ++i) rows[i] = rows[i + 1];
            rows[N - 1] = first;
        }
    }
}

// The same taps with exact 32-bit sums, row by row: a sum beyond 16 bits
// gives 0 or 255, as its packed value would be far outside 0..255.
template <int N, class Range>
void general_wide(const Area &a, const short *Q, int32_t start, int ps, Range &&range) {
    constexpr int r = N / 2, S = 256;
    const int B = a.B;
    const int up = ps >= 7 ? ps - 7 : 0, down = ps >= 7 ? 0 : 7 - ps;
    int32_t acc[S];
    conv_u8 tmp[kStrip];
    for (int y = a.y0; y < a.y1; ++y) {
        int b0, b1;
        range(y, b0, b1);
        for (int x = b0; x < b1;) {
            const int np = b1 - x < S / B ? b1 - x : S / B, n = np * B;
            emit(a, y, x, n, tmp, [&](conv_u8 *d, int) {
                for (int i = 0; i < n; ++i) acc[i] = start;
                for (int ti = 0; ti < N; ++ti)
                    for (int tj = 0; tj < N; ++tj) {
                        const int32_t q = Q[ti * N + tj];
                        const conv_u8 *p = a.srow(y - r + ti) + static_cast<ptrdiff_t>(x - r + tj) * B;
                        for (int i = 0; i < n; ++i) acc[i] += (p[i] * q + 128) >> 8;
                    }
                for (int i = 0; i < n; ++i) {
                    int32_t v = acc[i] < 0 ? 0 : acc[i] > 32767 ? 32767 : acc[i];
                    v = (v << up) >> down;
                    d[i] = static_cast<conv_u8>(v > 255 ? 255 : v);
                }
            });
            x += np;
        }
    }
}

template <int N>
void general_area(const Area &a, const float *k, const short *Q, int ps) {
    ps &= 15;
    const int16_t start = N == 3 ? 0 : static_cast<int16_t>(round_8[ps]);
    const bool wide = !conv_fits16(Q, N * N, start);
    const auto range = [&a](int y, int &b0, int &b1) {
        b0 = a.x0;
        b1 = a.x1;
        if (N == 3) {
            int head, tail;
            lead_tail(a, y, head, tail);
            b0 += head;
            b1 -= tail;
        }
    };
    if (wide) {
        general_wide<N>(a, Q, start, ps, range);
    } else if (ps > 7) {
        general_narrow<N, true>(a, Q, start, ps, range);
    } else {
        general_narrow<N, false>(a, Q, start, ps, range);
    }
    if (N == 3) {
        alignas(64) conv_u8 tmp[kStrip];
        float_pixels(a, k, tmp);
    }
}

// ---- Separable kernels -----------------------------------------------------

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

typedef int16_t conv_vs16 __attribute__((vector_size(32)));
typedef int32_t conv_vi __attribute__((vector_size(64)));
typedef uint32_t conv_vw __attribute__((vector_size(64)));
typedef conv_u8 conv_vb16 __attribute__((vector_size(16)));

// High precision: exact 32-bit sums of T * H (taps B samples apart), divided
// by 2^(23 - ps).
template <int N>
void across_high(const int16_t *T, conv_u8 *d, int n, int B, const short *H, int ps) {
    const int shift = 23 - ps;
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        conv_vw sum = conv_vw{};  // wrapping sums
        for (int j = 0; j < N; ++j) {
            conv_vs16 t;
            __builtin_memcpy(&t, T + i + j * B, sizeof t);
            sum += (conv_vw)(__builtin_convertvector(t, conv_vi) * static_cast<int32_t>(H[j]));
        }
        conv_vi acc = (conv_vi)sum >> shift;
        acc = acc < 0 ? 0 : acc;
        acc = acc > 255 ? 255 : acc;
        const conv_vb16 b = __builtin_convertvector(acc, conv_vb16);
        __builtin_memcpy(d + i, &b, sizeof b);
    }
    for (; i < n; ++i) {
        uint32_t sum = 0;
        for (int j = 0; j < N; ++j) sum += static_cast<uint32_t>(static_cast<int32_t>(T[i + j * B]) * H[j]);
        const int32_t v = static_cast<int32_t>(sum) >> shift;
        d[i] = static_cast<conv_u8>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
}

// Row by row, strip by strip: the column sums of the strip's samples and r
// pixels more on each side (the vertical pass), then the row sums over them.
// A low-precision column term depends only on the column sum and the
// coefficient, so the vertical pass makes each column's term once per
// distinct coefficient (a symmetric 7-tap row has 4) and the row pass adds N
// of them: equal coefficients share the multiplies.
template <int N>
void separable_narrow(const Area &a, const short *H, const short *Vc, int ps, int low) {
    using C = Lanes;
    constexpr int r = N / 2, L = C::L;
    const int B = a.B, spx = kSepStrip / B;
    typename C::Q vq[N], hq[N];
    int16_t hd[N];
    int which[N], nd = 0;
    for (int i = 0; i < N; ++i) {
        vq[i] = C::coef(Vc[i]);
        int k = 0;
        while (k < nd && hd[k] != H[i]) ++k;
        if (k == nd) hd[nd++] = H[i];
        which[i] = k;
    }
    for (int k = 0; k < nd; ++k) hq[k] = C::hcoef(hd[k]);
    // U[k]: the terms of coefficient hd[k] (high precision: U[0], the sums);
    // from 5 taps, rows of one strip keep the N widened source rows in a
    // ring, each row widened once. 3 taps, and rows of several strips (the
    // ring would walk the source strip by strip, against its row order),
    // widen the rows as they read them.
    constexpr bool kRing = N > 3;
    const bool ring = kRing && a.x1 - a.x0 <= spx;
    alignas(64) int16_t U[N][kSepStrip + kPad], ringbuf[kRing ? N : 1][kRing ? kSepStrip + kPad : 1];
    alignas(64) conv_u8 tmp[kSepStrip];
    const int16_t *terms[N];
    for (int j = 0; j < N; ++j) terms[j] = U[which[j]] + j * B;
    const int planes = low ? nd : 1;
    int16_t *rows[N] = {};
    // Row y of the strip of np pixels from X: column terms, then row sums.
    const auto strip_row = [&](int X, int np, int y) {
        const int n = np * B, m = n + 2 * r * B;
        const auto src_at = [&](int yy) { return a.srow(yy) + static_cast<ptrdiff_t>(X - r) * B; };
        if (ring) widen_row(rows[N - 1], src_at(y + r), m);
        const conv_u8 *srcs[N];
        for (int i = 0; i < N; ++i) srcs[i] = src_at(y - r + i);
        const auto column = [&](int c, auto in) {
            typename C::V t = C::tap(in(0), vq[0]);
            for (int i = 1; i < N; ++i) t = C::add(t, C::tap(in(i), vq[i]));
            if (low) {
                typename C::V hi, lo;
                C::split(t, hi, lo);
                for (int k = 0; k < nd; ++k) C::put(U[k] + c, C::hterm(hi, lo, hq[k]));
            } else {
                C::put(U[0] + c, t);
            }
        };
        int c = 0;
        if (ring) {
            for (; c < m; c += L) column(c, [&](int i) { return C::load(rows[i] + c); });
        } else {
            for (; c + L <= m; c += L) column(c, [&](int i) { return C::widen(srcs[i] + c); });
            if (c < m) {
                column(c, [&](int i) { return C::widen_part(srcs[i] + c, m - c); });
                c += L;
            }
        }
        for (int e = 0; e < 2; ++e, c += L)
            for (int k = 0; k < planes; ++k) C::put(U[k] + c, C::zero());
        emit(a, y, X, n, tmp, [&](conv_u8 *d, int) {
            if (!low) {
                across_high<N>(U[0], d, n, B, H, ps);
                return;
            }
            for (int i = 0; i < n; i += 2 * L) {
                typename C::V s = C::load(terms[0] + i), t = C::load(terms[0] + i + L);
                for (int j = 1; j < N; ++j) {
                    s = C::add(s, C::load(terms[j] + i));
                    t = C::add(t, C::load(terms[j] + i + L));
                }
                C::out2(d + i, s, t, n - i < 2 * L ? n - i : 2 * L);
            }
        });
    };
    if (!ring) {
        // Row by row, strip by strip: the source streams in row order.
        for (int y = a.y0; y < a.y1; ++y)
            for (int X = a.x0; X < a.x1; X += spx) strip_row(X, a.x1 - X < spx ? a.x1 - X : spx, y);
        return;
    }
    // One strip, the ring following it down.
    for (int X = a.x0; X < a.x1; X += spx) {
        const int np = a.x1 - X < spx ? a.x1 - X : spx, m = (np + 2 * r) * B;
        for (int i = 0; i < N; ++i) rows[i] = ringbuf[i];
        for (int i = 0; i < N - 1; ++i) widen_row(rows[i], a.srow(a.y0 - r + i) + static_cast<ptrdiff_t>(X - r) * B, m);
        for (int y = a.y0; y < a.y1; ++y) {
            strip_row(X, np, y);
            int16_t *first = rows[0];
            for (int i = 0; i + 1 < N; ++i) rows[i] = rows[i + 1];
            rows[N - 1] = first;
        }
    }
}

// Exact sums: column sums of the n + 2r pixels' samples in 32 bits,
// low-precision row sums in 32 bits (|T| < 2^18), high-precision ones in 64,
// clamped to 0..255.
template <int N>
void separable_wide(const Area &a, const short *H, const short *V, int ps, int low) {
    constexpr int r = N / 2, S = 256;
    const int B = a.B;
    int32_t T[S + 2 * r * 4];
    conv_u8 tmp[kStrip];
    for (int y = a.y0; y < a.y1; ++y) {
        for (int x = a.x0; x < a.x1;) {
            const int np = a.x1 - x < S / B ? a.x1 - x : S / B, n = np * B, cols = n + 2 * r * B;
            emit(a, y, x, n, tmp, [&](conv_u8 *d, int) {
                for (int c = 0; c < cols; ++c) T[c] = 0;
                for (int i = 0; i < N; ++i) {
                    const int32_t v = V[i];
                    const conv_u8 *p = a.srow(y - r + i) + static_cast<ptrdiff_t>(x - r) * B;
                    for (int c = 0; c < cols; ++c) T[c] += (p[c] * v + 128) >> 8;
                }
                if (low) {
                    int32_t R[S] = {};
                    for (int j = 0; j < N; ++j) {
                        const int32_t h = H[j];
                        for (int i = 0; i < n; ++i) {
                            const int32_t t = T[i + j * B];
                            R[i] += (((t >> 8) * h + 128) >> 8) + (((t & 0xff) * h + 32768) >> 16);
                        }
                    }
                    for (int i = 0; i < n; ++i) d[i] = static_cast<conv_u8>(R[i] < 0 ? 0 : R[i] > 255 ? 255 : R[i]);
                    return;
                }
                int64_t R[S] = {};
                for (int j = 0; j < N; ++j) {
                    const int64_t h = H[j];
                    for (int i = 0; i < n; ++i) R[i] += T[i + j * B] * h;
                }
                const int shift = 23 - ps;
                for (int i = 0; i < n; ++i) {
                    const int64_t v = R[i] >> shift;
                    d[i] = static_cast<conv_u8>(v < 0 ? 0 : v > 255 ? 255 : v);
                }
            });
            x += np;
        }
    }
}

template <int N>
void separable_area(const Area &a, const short *H, const short *V, int ps, int low) {
    ps &= 15;
    if (conv_separable_fits<N>(H, V, low)) {
        separable_narrow<N>(a, H, V, ps, low);
    } else {
        separable_wide<N>(a, H, V, ps, low);
    }
}

// ---- Several bands one by one ----------------------------------------------

// Filters each band that both walking bits select through one-band scratch
// images: the source band with the real pixels around the area (up to r on
// each side) so that the computable part is the same as for one band, and the
// destination band so that pixels the filter does not write come back
// unchanged. For layouts one pass cannot take (bands_area).
template <class Filter>
inline void by_bands(int mask, kl_image *dst, kl_image *src, int r, Filter &&filter) {
    const int sm = src->bmask & ((1 << src->bands) - 1), dm = dst->bmask & ((1 << dst->bands) - 1);
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
        Area a;
        if (one_band_area(t2->bmask, t2, &inner, r, a)) filter(a);
        kl_band_insert_8(dbit, dst, t2);
    }
    kl_destroyimage(t2);
    kl_destroyimage(t1);
}

// The entries (P the body policy; the lanes come with the instruction set the
// file is compiled for): one band straight to the worker, several bands in
// one pass over their interleaved samples where the layout allows, else band
// by band.
template <class Filter>
inline void filter_call(int mask, kl_image *dst, kl_image *src, int r, Filter &&filter) {
    Area a;
    if (dst && src && dst->bands == 1 && src->bands == 1) {
        if (one_band_area(mask, dst, src, r, a)) filter(a);
        return;
    }
    const int how = bands_area(mask, dst, src, r, a);
    if (how > 0) {
        filter(a);
    } else if (how < 0) {
        by_bands(mask, dst, src, r, filter);
    }
}

template <class P, int N>
void general(int mask, kl_image *dst, kl_image *src, const float *k, const short *Q, int ps) {
    filter_call(mask, dst, src, N / 2, [&](const Area &a) { general_area<N>(a, k, Q, ps); });
}

template <class P, int N>
void separable(int mask, kl_image *dst, kl_image *src, const short *H, const short *V, int ps, int low) {
    filter_call(mask, dst, src, N / 2, [&](const Area &a) { separable_area<N>(a, H, V, ps, low); });
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
