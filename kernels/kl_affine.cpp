// Affine warp: the dispatcher, its feasibility test, the seventeen exported
// pixel kernels (their checks, then the active implementation's body,
// kl_affine_body.h) and the filter tables they read.
#include "kl.h"
#include "kl_impl.h"

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

// ---- Layout conditions -------------------------------------------------------

// Kind and layout are the indices of the implementation table's affine entries.
enum Kind { NN = KL_AFFINE_NEAREST, BL = KL_AFFINE_BILINEAR, BC = KL_AFFINE_BICUBIC, NONE };

Kind kind_of(const char *interp) {
    if (!interp) return NONE;
    if (std::strcmp(interp, "nearest") == 0) return NN;
    if (std::strcmp(interp, "bilinear") == 0) return BL;
    if (std::strcmp(interp, "bicubic") == 0) return BC;
    return NONE;
}

bool at0or4(const kl_image *i) { return reinterpret_cast<uintptr_t>(i->data) % 4 == 0; }
bool at0(const kl_image *i) { return reinterpret_cast<uintptr_t>(i->data) % 8 == 0; }

enum Layout { L_1_1 = KL_AFFINE_1_1, L_3_3 = KL_AFFINE_3_3, L_3_4 = KL_AFFINE_3_4, L_4_4 = KL_AFFINE_4_4, L_NONE };

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

// The active implementation's kernel for these arguments, or null when they
// have none; the arguments are then those the kernel takes.
kl_affine_fn kernel(const kl_image *dst, const kl_image *src, Kind kind, Layout l, int type, const int *ro,
                    const void *table) {
    if (!ok(dst, src, kind, l, type, ro, table)) return nullptr;
    return kl_impl_active().affine[kind][type == KL_SHORT][l];
}

}  // namespace

extern "C" {

// ---- Kernels -------------------------------------------------------------------

#define KL_NN(name, T, L)                                                                                   \
    void name(kl_image *dst, kl_image *src, int *ro, float a, float b, float c, float d, float tx, float ty) { \
        if (const kl_affine_fn f = kernel(dst, src, NN, L, T, ro, nullptr))                                \
            f(dst, src, ro, nullptr, a, b, c, d, tx, ty);                                                   \
    }
KL_NN(kl_affine_nn_8_1_1, KL_BYTE, L_1_1)
KL_NN(kl_affine_nn_8_3_3, KL_BYTE, L_3_3)
KL_NN(kl_affine_nn_8_3_4, KL_BYTE, L_3_4)
KL_NN(kl_affine_nn_8_4_4, KL_BYTE, L_4_4)
KL_NN(kl_affine_nn_16_1_1, KL_SHORT, L_1_1)
KL_NN(kl_affine_nn_16_3_3, KL_SHORT, L_3_3)
KL_NN(kl_affine_nn_16_4_4, KL_SHORT, L_4_4)
#undef KL_NN

#define KL_F(name, KIND, T, L)                                                                            \
    void name(kl_image *dst, kl_image *src, int *ro, void *table, float a, float b, float c, float d, float tx, \
              float ty) {                                                                                 \
        if (const kl_affine_fn f = kernel(dst, src, KIND, L, T, ro, table))                                \
            f(dst, src, ro, table, a, b, c, d, tx, ty);                                                     \
    }
KL_F(kl_affine_bl_8_1_1, BL, KL_BYTE, L_1_1)
KL_F(kl_affine_bl_8_3_3, BL, KL_BYTE, L_3_3)
KL_F(kl_affine_bl_8_3_4, BL, KL_BYTE, L_3_4)
KL_F(kl_affine_bc_8_1_1, BC, KL_BYTE, L_1_1)
KL_F(kl_affine_bc_8_3_3, BC, KL_BYTE, L_3_3)
KL_F(kl_affine_bc_8_3_4, BC, KL_BYTE, L_3_4)
KL_F(kl_affine_bl_16_1_1, BL, KL_SHORT, L_1_1)
KL_F(kl_affine_bl_16_3_3, BL, KL_SHORT, L_3_3)
KL_F(kl_affine_bc_16_1_1, BC, KL_SHORT, L_1_1)
KL_F(kl_affine_bc_16_3_3, BC, KL_SHORT, L_3_3)
#undef KL_F

int kl_affine_possible(kl_image *dst, kl_image *src, const char *interp) {
    return layout_of(dst, src, kind_of(interp)) != L_NONE;
}

void kl_affine(kl_image *dst, kl_image *src, const char *interp, int *ro, void *table, float a, float b, float c,
               float d, float tx, float ty) {
    const Kind kind = kind_of(interp);
    const Layout l = layout_of(dst, src, kind);
    if (l == L_NONE) return;
    if (const kl_affine_fn f = kernel(dst, src, kind, l, src->type, ro, table))
        f(dst, src, ro, table, a, b, c, d, tx, ty);
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
