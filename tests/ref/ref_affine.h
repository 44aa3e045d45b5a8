// Scalar model of the affine warp kernels, pixel by pixel.
#pragma once

#include <cstdint>

#include "kl.h"

namespace ref {

enum class Interp { Nearest, Bilinear, Bicubic };

// Destination pixel i of row r (X = dst.x + i, Y = dst.y + r) samples the
// source at position P = trunc(65536 (a X + c Y + (t - o))) in float, plus
// i times the step trunc(65536 a) (b, d, ty likewise), o = 0, 0.5 or 1.5.
// It is written when 0 <= P < (size - k) * 65536 in both directions, k = 0,
// 1 or 3, and gets, per band:
//  - nearest: the source sample at (Px >> 16, Py >> 16);
//  - 8-bit filters: of the written pixels of a row, those before the first
//    whose address is a multiple of `align` and those after the last whole
//    group of `group` pixels take the exact integer formula, the groups the
//    table weights in 16-bit lanes (align/group: bilinear 1 band 8/4, 3 bands
//    4/4, 3 into 4 bands 8/2; bicubic 4/4, 4/4 and 4/1);
//  - 16-bit filters: Q15 table weights, rounded, saturated.
// Layout from type and pixel sizes (1/3/4 bytes, 2/6/8 for shorts); a 3-byte
// source into 4-byte pixels writes bytes 1-3.
void affine(const kl_image &dst, const kl_image &src, Interp interp, const int *row_offsets, const void *table,
            float a, float b, float c, float d, float tx, float ty);

}  // namespace ref
