// Scalar model of the convolution, set-value and combine kernels, pixel by
// pixel from the fixed-point rules. Convolution sums are exact: where a
// kernel's 16-bit (or 32-bit) lanes would wrap, the result is the exact sum
// clamped to 0..255.
#pragma once

#include <cstdint>

#include "kl.h"

namespace ref {

// trunc(v) as a 32-bit value (saturated; NaN 0), low 16 bits.
int16_t fixed16(float v);
// Shift s of the general coefficients (0..12).
int general_shift(const float *k, int n);
// Separable precision: *t and *low; returns pack_scale.
int separable_precision(int n, const float *h, const float *v, int *t, int *low);

// The entry functions kl_convolveNxN_8 / kl_sconvolveNxN_8 applied to dst
// (written in place: only computable samples of paired bands change).
void convolve(int n, int mask, const kl_image &dst, const kl_image &src, const float *k, int edge);
void sconvolve(int n, int mask, const kl_image &dst, const kl_image &src, const float *h, const float *v, int edge);

void setval(int mask, const kl_image &dst, const short *values, bool sixteen);
void combine(const kl_image &dst, const kl_image &b1, const kl_image &b2, const kl_image &b3);

}  // namespace ref
