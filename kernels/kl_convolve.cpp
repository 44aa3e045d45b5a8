// Convolution of one 8-bit band with a square N x N kernel (N = 3, 5, 7),
// general or separable, in 16-bit (or, for the high-precision separable
// form, 32-bit) fixed point.
//
// The kernel is applied as a correlation: coefficient (i, j) multiplies the
// source pixel at (x - r + j, y - r + i). Only the computable pixels are
// written: those whose whole footprint lies in the source area extended by
// the descriptor's x, y, padx and pady. Every other destination pixel keeps
// its value.
//
// General form: Q = trunc(k * 2^s) with s the largest shift (at most 12) that
// keeps 32767 / max|k| >= 2^s; each tap gives floor((P * Q + 128) / 256) and
// the taps add in 16-bit lanes; the sum is packed with the scale 15 - s
// (times 2^(8 - s), clamped to 0..255) after round_8 is added (5x5, 7x7).
// The 3x3 body truncates instead, and its lead-in and tail pixels (the pixels
// before the first aligned destination word and after the last whole group
// of eight) are computed in single-precision floating point.
//
// Separable form: a vertical pass makes T = sum floor((P * V + 128) / 256) per
// column in 16-bit lanes, a horizontal pass combines N columns of T with H.
// Low precision (every |coefficient| <= 3) splits T into its signed upper and
// unsigned lower byte and adds 16-bit rounded products; high precision adds
// 32-bit products T * H and divides by 2^(2t + 8).
//
// Weights large enough for a sum to leave its lanes (a box of ones already
// does at shift 12) would wrap it; the workers then add the same taps wider
// and clamp the exact sum (kl_convolve_body.h).
//
// The bodies live in kl_convolve_body.h, compiled once per kernel
// implementation; this file checks the arguments and makes the coefficients.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kl.h"
#include "kl_impl.h"

extern "C" {

const uint32_t round_8[16] = {0x00400040u, 0x00200020u, 0x00100010u, 0x00080008u, 0x00040004u, 0x00020002u,
                              0x00010001u, 0, 0, 0, 0, 0, 0, 0, 0, 0};

const int32_t num_bits[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};

}  // extern "C"

namespace {

using u8 = unsigned char;

// trunc(v) as a 32-bit value, saturated for values beyond its range (NaN
// gives 0), then its low 16 bits.
int16_t fixed16(float v) {
    if (!(v == v)) return 0;
    const double t = std::trunc(static_cast<double>(v));
    const int64_t i = t >= 2147483647.0 ? 2147483647 : t <= -2147483648.0 ? INT32_MIN : static_cast<int64_t>(t);
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(i)));
}

// Shift and fixed-point coefficients of a general kernel; returns pack_scale.
int general_coefficients(const float *k, int n, int16_t *Q) {
    float m = 0.0f;
    for (int i = 0; i < n; ++i) {
        const float v = std::fabs(k[i]);
        if (v > m) m = v;
    }
    const float q = 32767.0f / m;
    int s = 0;
    if (4096.0f <= q) {
        s = 12;
    } else {
        for (int t = 11; t >= 1; --t)
            if (static_cast<float>(1 << t) <= q) {
                s = t;
                break;
            }
    }
    const float scale = static_cast<float>(1 << s);
    for (int i = 0; i < n; ++i) Q[i] = fixed16(k[i] * scale);
    return 15 - s;
}

// ---- Separable kernels -----------------------------------------------------

// Precision and fixed-point coefficients of a separable kernel; returns
// pack_scale and sets low.
int separable_coefficients(int n, const float *h, const float *v, int16_t *H, int16_t *V, int *low) {
    float m = 0.0f;
    for (int i = 0; i < n; ++i) {
        if (std::fabs(h[i]) > m) m = std::fabs(h[i]);
        if (std::fabs(v[i]) > m) m = std::fabs(v[i]);
    }
    if (m <= 3.0f) {
        for (int i = 0; i < n; ++i) {
            H[i] = fixed16(h[i] * 4096.0f);
            V[i] = fixed16(v[i] * 4096.0f);
        }
        *low = 1;
        return 7;
    }
    const double A = n == 3 ? 31.0 : 15.0;
    const double q = std::trunc(A / static_cast<double>(m));
    int t = 0;
    if (q > 1.0) {
        int e = 1;
        while (std::ldexp(1.0, e) < q) ++e;
        t = e - 1;
    }
    const float scale = static_cast<float>(1 << t);
    for (int i = 0; i < n; ++i) {
        H[i] = fixed16((h[i] * scale) * 256.0f);
        V[i] = fixed16((v[i] * scale) * 256.0f);
    }
    *low = 0;
    return 15 - 2 * t;
}

// The one-band workers take one-band images only.
bool one_band(const kl_image *dst, const kl_image *src) { return dst && src && dst->bands == 1 && src->bands == 1; }

template <int N>
void general_entry(int mask, kl_image *dst, kl_image *src, float *k, int edge) {
    if (!k || (edge != KL_EDGE_NO_WRITE && edge != KL_EDGE_ZERO_FILL)) return;
    int16_t Q[N * N];
    const int ps = general_coefficients(k, N * N, Q);
    kl_impl_active().convolve[N / 2 - 1](mask, dst, src, k, Q, ps);
}

template <int N>
void separable_entry(int mask, kl_image *dst, kl_image *src, float *h, float *v, int edge) {
    if (!h || !v || edge < KL_EDGE_NO_WRITE || edge > KL_EDGE_EXTEND) return;
    int16_t H[N], V[N];
    int low = 0;
    const int ps = separable_coefficients(N, h, v, H, V, &low);
    kl_impl_active().sconvolve[N / 2 - 1](mask, dst, src, H, V, ps, low);
}

}  // namespace

extern "C" {

void kl_convolve3x3_nwzf_8(int mask, kl_image *dst, kl_image *src, float *k, short *Q, int pack_scale) {
    if (k && Q && one_band(dst, src)) kl_impl_active().convolve[0](mask, dst, src, k, Q, pack_scale);
}
void kl_convolve5x5_nwzf_8(int mask, kl_image *dst, kl_image *src, short *Q, int pack_scale) {
    if (Q && one_band(dst, src)) kl_impl_active().convolve[1](mask, dst, src, nullptr, Q, pack_scale);
}
void kl_convolve7x7_nwzf_8(int mask, kl_image *dst, kl_image *src, short *Q, int pack_scale) {
    if (Q && one_band(dst, src)) kl_impl_active().convolve[2](mask, dst, src, nullptr, Q, pack_scale);
}
void kl_sconvolve3x3_nwzf_8(int mask, kl_image *dst, kl_image *src, short *H, short *V, int pack_scale, int low) {
    if (H && V && one_band(dst, src)) kl_impl_active().sconvolve[0](mask, dst, src, H, V, pack_scale, low);
}
void kl_sconvolve5x5_nwzf_8(int mask, kl_image *dst, kl_image *src, short *H, short *V, int pack_scale, int low) {
    if (H && V && one_band(dst, src)) kl_impl_active().sconvolve[1](mask, dst, src, H, V, pack_scale, low);
}
void kl_sconvolve7x7_nwzf_8(int mask, kl_image *dst, kl_image *src, short *H, short *V, int pack_scale, int low) {
    if (H && V && one_band(dst, src)) kl_impl_active().sconvolve[2](mask, dst, src, H, V, pack_scale, low);
}

void kl_convolve3x3_8(int mask, kl_image *dst, kl_image *src, float *k, int edge, int) {
    general_entry<3>(mask, dst, src, k, edge);
}
void kl_convolve5x5_8(int mask, kl_image *dst, kl_image *src, float *k, int edge, int) {
    general_entry<5>(mask, dst, src, k, edge);
}
void kl_convolve7x7_8(int mask, kl_image *dst, kl_image *src, float *k, int edge, int) {
    general_entry<7>(mask, dst, src, k, edge);
}
void kl_sconvolve3x3_8(int mask, kl_image *dst, kl_image *src, float *h, float *v, int edge) {
    separable_entry<3>(mask, dst, src, h, v, edge);
}
void kl_sconvolve5x5_8(int mask, kl_image *dst, kl_image *src, float *h, float *v, int edge) {
    separable_entry<5>(mask, dst, src, h, v, edge);
}
void kl_sconvolve7x7_8(int mask, kl_image *dst, kl_image *src, float *h, float *v, int edge) {
    separable_entry<7>(mask, dst, src, h, v, edge);
}

}  // extern "C"

unsigned char kl_conv_float3x3(const kl_image *src, int x, int y, const float *k) {
    float sum = 0.0f;
    for (int ti = 0; ti < 3; ++ti) {
        const unsigned char *row = src->data + static_cast<ptrdiff_t>(y - 1 + ti) * src->lb + (x - 1);
        for (int tj = 0; tj < 3; ++tj) sum += k[ti * 3 + tj] * static_cast<float>(row[tj]);
    }
    if (!(sum > 0.0f)) return 0;
    if (sum > 255.0f) return 255;
    return static_cast<unsigned char>(static_cast<int>(sum));
}
