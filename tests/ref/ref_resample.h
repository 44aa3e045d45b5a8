// Scalar model of kl_scale, written per destination sample from the
// resampling rules: footprint and phase of each column and row, the edge
// modes with the source's margins, the two fixed-point passes (8-bit: Q14
// products rounded to 1/64, plus 32, >> 6, clamped after each pass; 16-bit:
// 32-bit sums plus 8192, >> 14, clamped), band masks.
#pragma once

#include "kl.h"

// Writes into dst what kl_scale writes (dst describes the expected buffer).
// special: the 2x paths are enabled (they snap a bilinear 2x translation
// within 0.01 of the grid onto it and weigh the quarter phases themselves).
void ref_scale(int mask, const kl_image &dst, const kl_image &src, float xscale, float yscale, float xtrans,
               float ytrans, const kl_resample_table &table, bool special);
