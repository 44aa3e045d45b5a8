// Draws and tables the kernel property harness and the checksum families
// share: templates over their case types, which give r(lo, hi), one_in(n)
// and u(lo, hi).
#pragma once

#include "kl.h"

#include <cstdlib>

namespace draws {

// An interval end or replacement value of a threshold: at the 8-bit clamps
// and the signed 16-bit extremes, or anywhere.
template <class C>
short threshold_value(C &c, bool wide) {
    static const short e8[] = {-300, -1, 0, 1, 9, 10, 20, 21, 127, 128, 254, 255, 256, 1000};
    static const short e16[] = {-32768, -32767, -256, -1, 0, 1, 255, 256, 32766, 32767};
    if (c.one_in(2)) return wide ? e16[c.r(0, 9)] : e8[c.r(0, 13)];
    return static_cast<short>(wide ? c.r(-32768, 32767) : c.r(-20, 280));
}

// Coefficients up to a drawn largest magnitude (at the shift and precision
// boundaries, small, or large enough for the sums to leave 16 bits), a
// quarter zero.
template <class C>
void coefficients(C &c, float *k, int n, float m) {
    for (int i = 0; i < n; ++i) k[i] = c.one_in(4) ? 0.0f : c.u(-m, m);
    const int at = c.r(0, n - 1);
    k[at] = c.one_in(2) ? m : -m;
}
template <class C>
float magnitude(C &c) {
    static const float m[] = {1.0f,  2.0f,  3.0f,  3.0001f, 3.5f,  5.0f,     7.99f,  8.0f,    8.01f,   15.0f,
                              16.0f, 30.0f, 31.0f, 0.125f,  0.01f, 1.0f / 9, 200.0f, 3000.0f, 40000.0f};
    return m[c.r(0, 18)];
}
// A convolution case's coefficients: the n x n kernel k, then the separable
// pair hv (the second at the first's magnitude half the time).
template <class C>
void convolution_coefficients(C &c, float *k, float (&hv)[2][7], int n) {
    coefficients(c, k, n * n, magnitude(c));
    const float m = magnitude(c);
    coefficients(c, hv[0], n, m);
    coefficients(c, hv[1], n, c.one_in(2) ? m : 1.0f);
}

// The quick zoom's forms: factor, source sample bytes, the plain or the
// lookup kernel, and whether it takes the 16-bit table's base moved to the
// entry for 0.
struct ZoomForm {
    int f, sb;
    void (*plain)(kl_image *, kl_image *, int, int, void *);
    void (*lut)(kl_image *, kl_image *, const unsigned char *, int, int, void *);
    bool moved;
};
inline constexpr ZoomForm kZoomForms[] = {
    {2, 1, klqdx_scale2x_8, nullptr, false},
    {2, 1, klqdx_scale2x_8_0, nullptr, false},
    {2, 1, klqdx_scale2x_8_1, nullptr, false},
    {4, 1, klqdx_scale4x_8, nullptr, false},
    {2, 1, nullptr, klqdx_scale2x_8_lookup_8_8, false},
    {2, 1, nullptr, kl_scale_2x_bilinear_8_1_lookup_8_8_1_E, false},
    {2, 1, nullptr, kl_scale_2x_bilinear_8_1_lookup_8_8_1_O, false},
    {4, 1, nullptr, klqdx_scale4x_8_lookup_8_8, false},
    {2, 2, nullptr, klqdx_scale2x_16_lookup_16_8, false},
    {2, 2, nullptr, kl_scale_2x_bilinear_16_1_lookup_16_8_1_E, true},
    {2, 2, nullptr, kl_scale_2x_bilinear_16_1_lookup_16_8_1_O, true},
    {4, 2, nullptr, klqdx_scale4x_16_lookup_16_8, false},
};

// Affine filter tables from the builders, made once and freed at exit (the
// bicubic ones also for another alpha).
struct AffineTables {
    void *bl8 = kl_affine_create_bilinear(), *bl16 = kl_affine_create_bilinear_16();
    void *bc8[2] = {kl_affine_create_bicubic(), kl_affine_create_bicubic_given_alpha_8(-0.75f)};
    void *bc16[2] = {kl_affine_create_bicubic_16(), kl_affine_create_bicubic_given_alpha_16(-1.0f)};
    ~AffineTables() {
        for (void *p : {bl8, bl16, bc8[0], bc8[1], bc16[0], bc16[1]}) std::free(p);
    }
};

}  // namespace draws
