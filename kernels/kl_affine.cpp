// Affine warp: the dispatcher, its feasibility test, the seventeen pixel
// kernels and the filter tables they read.
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
// rounding amount and both are part of the result.
#include "kl.h"
#include "kl_impl.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int32_t kMaxSide = 32767;  // larger sources do not fit 16.16 positions

// float or double to a 32-bit integer, truncating toward zero, saturating;
// NaN gives 0.
int32_t trunc32(double v) {
    if (!(v == v)) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// trunc(v * 65536) exactly while |v| < 2^46; beyond, +-kFar (NaN gives 0).
constexpr int64_t kFar = int64_t{1} << 62;
int64_t fix(float v) {
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

// Row r of dst; o and k are the filter's margins (0/0, 0.5/1, 1.5/3). The
// ends are found in 128 bits: (n - 1) steps of up to 2^62 overflow 64.
bool row_span(const kl_image *dst, const kl_image *src, int r, float a, float b, float c, float d, float txo,
              float tyo, int k, Span &s) {
    using i128 = __int128;
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
        L = std::max(L, q(-i128{ys}, dy));
        T = std::max(T, q(ye - H, dy));
    } else if (dy < 0) {
        L = std::max(L, q(H - i128{ys}, dy));
        T = std::max(T, q(ye, dy));
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
void rows(const kl_image *dst, const kl_image *src, float a, float b, float c, float d, float tx, float ty, double o,
          int k, F &&f) {
    if (dst->w <= 0 || dst->h <= 0) return;
    const float txo = static_cast<float>(static_cast<double>(tx) - o);
    const float tyo = static_cast<float>(static_cast<double>(ty) - o);
    for (int r = 0; r < dst->h; ++r) {
        Span s;
        if (!row_span(dst, src, r, a, b, c, d, txo, tyo, k, s)) continue;
        f(dst->data + static_cast<ptrdiff_t>(r) * dst->lb + static_cast<ptrdiff_t>(s.first) * dst->bpp, s);
    }
}

// ---- Layout conditions -------------------------------------------------------

enum Kind { NN, BL, BC, NONE };

Kind kind_of(const char *interp) {
    if (!interp) return NONE;
    if (std::strcmp(interp, "nearest") == 0) return NN;
    if (std::strcmp(interp, "bilinear") == 0) return BL;
    if (std::strcmp(interp, "bicubic") == 0) return BC;
    return NONE;
}

bool at0or4(const kl_image *i) { return reinterpret_cast<uintptr_t>(i->data) % 4 == 0; }
bool at0(const kl_image *i) { return reinterpret_cast<uintptr_t>(i->data) % 8 == 0; }

enum Layout { L_1_1, L_3_3, L_3_4, L_4_4, L_NONE };

// The selection table's row for these images, or L_NONE.
Layout layout_of(const kl_image *dst, const kl_image *src, Kind kind) {
    if (!dst || !src || !dst->data || !src->data || dst->type != src->type || kind == NONE) return L_NONE;
    if (src->w > kMaxSide || src->h > kMaxSide) return L_NONE;
    const bool m77 = src->bmask == 7 && dst->bmask == 7, mff = src->bmask == 15 && dst->bmask == 15;
    if (src->type == KL_BYTE) {
        if (src->bpp == 1 && dst->bpp == 1) return L_1_1;
        if (src->bpp == 3 && dst->bpp == 3 && m77) return L_3_3;
        if (src->bpp == 3 && dst->bpp == 4 && m77 && at0or4(dst) && dst->lb % 4 == 0) return L_3_4;
        if (kind == NN && src->bpp == 4 && dst->bpp == 4 && mff && at0or4(src) && at0or4(dst) && src->lb % 4 == 0 &&
            dst->lb % 4 == 0)
            return L_4_4;
    } else if (src->type == KL_SHORT) {
        if (src->bpp == 2 && dst->bpp == 2) return L_1_1;
        if (src->bpp == 6 && dst->bpp == 6 && m77) return L_3_3;
        if (kind == NN && src->bpp == 8 && dst->bpp == 8 && mff && at0(src) && at0(dst) && src->lb % 8 == 0 &&
            dst->lb % 8 == 0)
            return L_4_4;
    }
    return L_NONE;
}

bool ok(const kl_image *dst, const kl_image *src, Kind kind, Layout l, int type, const int *ro, const void *table) {
    return ro && (kind == NN || table) && layout_of(dst, src, kind) == l && src->type == type;
}

// ---- Nearest -------------------------------------------------------------------

// Copies n bytes of the source pixel to destination byte `at` of each pixel.
template <int SB, int DB, int N, int AT>
void nearest(kl_image *dst, kl_image *src, const int *ro, float a, float b, float c, float d, float tx, float ty) {
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

// The table paths over n pixels (the kl_affine_run_fn of the portable
// implementation).
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

// An 8-bit filter kernel: SB source bytes per pixel, NB bands, written to
// destination bytes AT.. of DB-byte pixels. Pixels are computed singly (exact
// formula) until the destination address is a multiple of ALIGN, then in
// groups of G by the table path, then singly again. The table path is the
// active implementation's run RUN.
template <bool CUBIC, int SB, int DB, int NB, int AT, int ALIGN, int G, int RUN = 0>
void filter8(kl_image *dst, kl_image *src, const int *ro, const void *table, float a, float b, float c, float d,
             float tx, float ty) {
    const unsigned char *sd = src->data;
    const int16_t *tw = words(table);
    const kl_affine_run_fn table_run = (CUBIC ? kl_impl_active().affine_bc8 : kl_impl_active().affine_bl8)[RUN];
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
        table_run(dp, m, x, y, dx, dy, sd, ro, tw);
        dp += static_cast<ptrdiff_t>(m) * DB;
        x += m * dx;
        y += m * dy;
        exact(mid_end, s.count);
    });
}

// ---- 16-bit filters ------------------------------------------------------------

// NB bands of SB-byte pixels; Q15 weights, products summed in 32 bits and
// rounded, then saturated to the signed 16-bit range.
template <bool CUBIC, int SB, int NB>
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

// ---- Tables --------------------------------------------------------------------

void put(int16_t *t, int word, int64_t l0, int64_t l1, int64_t l2, int64_t l3) {
    int16_t *w = t + 4 * word;
    w[0] = static_cast<int16_t>(l0);
    w[1] = static_cast<int16_t>(l1);
    w[2] = static_cast<int16_t>(l2);
    w[3] = static_cast<int16_t>(l3);
}

uint64_t word_of(int l0, int l1, int l2, int l3) {
    int16_t w[4] = {static_cast<int16_t>(l0), static_cast<int16_t>(l1), static_cast<int16_t>(l2),
                    static_cast<int16_t>(l3)};
    uint64_t r;
    std::memcpy(&r, w, 8);
    return r;
}

int bl8a(int f) { return (256 - f) * 64; }
int bl16a(int f) { return f == 0 ? 32767 : (256 - f) * 128; }

// The four bicubic weights of phase t, scaled by s and truncated; exact gets
// the scaled values before truncation.
void cubic(double alpha, double t, double s, int64_t w[4], double exact[4]) {
    const double t2 = t * t, t3 = t2 * t;
    const double v[4] = {alpha * (t3 - 2 * t2 + t), (alpha + 2) * t3 - (alpha + 3) * t2 + 1,
                         -(alpha + 2) * t3 + (2 * alpha + 3) * t2 - alpha * t, alpha * (t2 - t3)};
    for (int i = 0; i < 4; ++i) {
        exact[i] = v[i] * s;
        w[i] = trunc32(exact[i]);
    }
}

}  // namespace

void kl_portable_affine(kl_impl &t) {
    t.affine_bl8[0] = bl8_run<1, 1, 1, 0>;
    t.affine_bl8[1] = bl8_run<3, 3, 3, 0>;
    t.affine_bl8[2] = bl8_run<3, 4, 3, 1>;
    t.affine_bc8[0] = bc8_run<1, 1, 1, 0>;
    t.affine_bc8[1] = bc8_run<3, 3, 3, 0>;
    t.affine_bc8[2] = bc8_run<3, 4, 3, 1>;
}

extern "C" {

// ---- Kernels -------------------------------------------------------------------

#define KL_NN(name, T, L, SB, DB, N, AT)                                                                    \
    void name(kl_image *dst, kl_image *src, int *ro, float a, float b, float c, float d, float tx, float ty) { \
        if (!ok(dst, src, NN, L, T, ro, nullptr)) return;                                                    \
        nearest<SB, DB, N, AT>(dst, src, ro, a, b, c, d, tx, ty);                                            \
    }
KL_NN(kl_affine_nn_8_1_1, KL_BYTE, L_1_1, 1, 1, 1, 0)
KL_NN(kl_affine_nn_8_3_3, KL_BYTE, L_3_3, 3, 3, 3, 0)
KL_NN(kl_affine_nn_8_3_4, KL_BYTE, L_3_4, 3, 4, 3, 1)
KL_NN(kl_affine_nn_8_4_4, KL_BYTE, L_4_4, 4, 4, 4, 0)
KL_NN(kl_affine_nn_16_1_1, KL_SHORT, L_1_1, 2, 2, 2, 0)
KL_NN(kl_affine_nn_16_3_3, KL_SHORT, L_3_3, 6, 6, 6, 0)
KL_NN(kl_affine_nn_16_4_4, KL_SHORT, L_4_4, 8, 8, 8, 0)
#undef KL_NN

#define KL_F(name, KIND, T, L, body)                                                                      \
    void name(kl_image *dst, kl_image *src, int *ro, void *table, float a, float b, float c, float d, float tx, \
              float ty) {                                                                                 \
        if (!ok(dst, src, KIND, L, T, ro, table)) return;                                                 \
        body(dst, src, ro, table, a, b, c, d, tx, ty);                                                    \
    }
KL_F(kl_affine_bl_8_1_1, BL, KL_BYTE, L_1_1, (filter8<false, 1, 1, 1, 0, 8, 4, 0>))
KL_F(kl_affine_bl_8_3_3, BL, KL_BYTE, L_3_3, (filter8<false, 3, 3, 3, 0, 4, 4, 1>))
KL_F(kl_affine_bl_8_3_4, BL, KL_BYTE, L_3_4, (filter8<false, 3, 4, 3, 1, 8, 2, 2>))
KL_F(kl_affine_bc_8_1_1, BC, KL_BYTE, L_1_1, (filter8<true, 1, 1, 1, 0, 4, 4, 0>))
KL_F(kl_affine_bc_8_3_3, BC, KL_BYTE, L_3_3, (filter8<true, 3, 3, 3, 0, 4, 4, 1>))
KL_F(kl_affine_bc_8_3_4, BC, KL_BYTE, L_3_4, (filter8<true, 3, 4, 3, 1, 4, 1, 2>))
KL_F(kl_affine_bl_16_1_1, BL, KL_SHORT, L_1_1, (filter16<false, 2, 1>))
KL_F(kl_affine_bl_16_3_3, BL, KL_SHORT, L_3_3, (filter16<false, 6, 3>))
KL_F(kl_affine_bc_16_1_1, BC, KL_SHORT, L_1_1, (filter16<true, 2, 1>))
KL_F(kl_affine_bc_16_3_3, BC, KL_SHORT, L_3_3, (filter16<true, 6, 3>))
#undef KL_F

int kl_affine_possible(kl_image *dst, kl_image *src, const char *interp) {
    return layout_of(dst, src, kind_of(interp)) != L_NONE;
}

void kl_affine(kl_image *dst, kl_image *src, const char *interp, int *ro, void *table, float a, float b, float c,
               float d, float tx, float ty) {
    const Kind kind = kind_of(interp);
    const Layout l = layout_of(dst, src, kind);
    if (l == L_NONE) return;
    const bool bytes = src->type == KL_BYTE;
    if (kind == NN) {
        using Fn = void (*)(kl_image *, kl_image *, int *, float, float, float, float, float, float);
        static const Fn b8[] = {kl_affine_nn_8_1_1, kl_affine_nn_8_3_3, kl_affine_nn_8_3_4, kl_affine_nn_8_4_4};
        static const Fn b16[] = {kl_affine_nn_16_1_1, kl_affine_nn_16_3_3, nullptr, kl_affine_nn_16_4_4};
        if (const Fn f = (bytes ? b8 : b16)[l]) f(dst, src, ro, a, b, c, d, tx, ty);
        return;
    }
    using Fn = void (*)(kl_image *, kl_image *, int *, void *, float, float, float, float, float, float);
    static const Fn bl8[] = {kl_affine_bl_8_1_1, kl_affine_bl_8_3_3, kl_affine_bl_8_3_4, nullptr};
    static const Fn bc8[] = {kl_affine_bc_8_1_1, kl_affine_bc_8_3_3, kl_affine_bc_8_3_4, nullptr};
    static const Fn bl16[] = {kl_affine_bl_16_1_1, kl_affine_bl_16_3_3, nullptr, nullptr};
    static const Fn bc16[] = {kl_affine_bc_16_1_1, kl_affine_bc_16_3_3, nullptr, nullptr};
    const Fn *set = kind == BL ? (bytes ? bl8 : bl16) : (bytes ? bc8 : bc16);
    if (const Fn f = set[l]) f(dst, src, ro, table, a, b, c, d, tx, ty);
}

// ---- Tables --------------------------------------------------------------------

uint64_t bilinear_x_filter(int f) {
    f &= 0xff;
    return word_of(bl8a(f), f * 64, bl8a(f), f * 64);
}
uint64_t bilinear_y_filter(int f) {
    f &= 0xff;
    return word_of(bl8a(f), bl8a(f), f * 64, f * 64);
}
uint64_t bilinear_x_filter_16(int f) {
    f &= 0xff;
    return word_of(bl16a(f), bl16a(f), f * 128, f * 128);
}
uint64_t bilinear_y_filter_16(int f) {
    f &= 0xff;
    return word_of(bl16a(f), f * 128, bl16a(f), f * 128);
}

void *kl_affine_create_bilinear(void) {
    auto *t = static_cast<int16_t *>(std::malloc(4096));
    if (!t) return nullptr;
    for (int f = 0; f < 256; ++f) {
        put(t, f, bl8a(f), f * 64, bl8a(f), f * 64);
        put(t, 256 + f, bl8a(f), bl8a(f), f * 64, f * 64);
    }
    return t;
}

void *kl_affine_create_bilinear_16(void) {
    auto *t = static_cast<int16_t *>(std::malloc(4096));
    if (!t) return nullptr;
    for (int f = 0; f < 256; ++f) {
        put(t, f, bl16a(f), bl16a(f), f * 128, f * 128);
        put(t, 256 + f, bl16a(f), f * 128, bl16a(f), f * 128);
    }
    return t;
}

void *kl_affine_create_bicubic_given_alpha_8(float alpha) {
    auto *t = static_cast<int16_t *>(std::malloc(10240));
    if (!t) return nullptr;
    const double S = 16387.0;
    double ph = 0;
    for (int f = 0; f < 256; ++f, ph += 0.00390625) {
        int64_t w[4];
        double ex[4];
        cubic(alpha, ph, S, w, ex);
        const int64_t sum = w[0] + w[1] + w[2] + w[3];
        if (sum != 16387) {
            int j = 0;
            for (int i = 1; i < 4; ++i) {
                const double ei = static_cast<double>(w[i]) - ex[i], ej = static_cast<double>(w[j]) - ex[j];
                if (sum > 16387 ? ei > ej : ei < ej) j = i;
            }
            w[j] += sum > 16387 ? -1 : 1;
        }
        put(t, f, w[0], w[1], w[2], w[3]);
        for (int k = 0; k < 4; ++k) put(t, 256 + 4 * f + k, w[k], w[k], w[k], w[k]);
    }
    return t;
}

void *kl_affine_create_bicubic_given_alpha_16(float alpha) {
    auto *t = static_cast<int16_t *>(std::malloc(8192));
    if (!t) return nullptr;
    double ph = 0;
    for (int f = 0; f < 256; ++f, ph += 0.00390625) {
        int64_t w[4];
        double ex[4];
        cubic(alpha, ph, 32768.0, w, ex);
        if (f == 0) w[0] = 0, w[1] = 32767, w[2] = 0, w[3] = 0;
        put(t, f, w[0], w[1], w[2], w[3]);
        int16_t *v = t + 4 * 256 + 12 * f;
        for (int i = 0; i < 12; ++i) v[i] = static_cast<int16_t>(w[i / 3]);
    }
    return t;
}

void *kl_affine_create_bicubic(void) { return kl_affine_create_bicubic_given_alpha_8(-0.5f); }
void *kl_affine_create_bicubic_16(void) { return kl_affine_create_bicubic_given_alpha_16(-0.5f); }

}  // extern "C"
