// Scalar model of the quick zoom: the bilinear grid of an exact 2x or 4x
// enlargement, value by value.
#pragma once

#include <cstdint>

#include "kl.h"

namespace ref {

// Value of the zoomed image at column u, row v counted from src.data's pixel
// (f = 2 or 4): with k = u / f, a = u % f, m = v / f, b = v % f, the weighted
// sum (f-a)(f-b) p(k,m) + a(f-b) p(k+1,m) + (f-a)b p(k,m+1) + ab p(k+1,m+1)
// divided by f * f and rounded down. Samples are the first selected sample
// of src's pixels, 8-bit or signed 16-bit by src.type; taps of weight 0 are
// not read.
int32_t zoom_value(int f, const kl_image &src, int u, int v);

// The kernels: every selected sample of dst pixel (i, j) receives
// zoom_value(xphase + i, yphase + j), or table[value] (the 16-bit forms:
// table[value + 32768]) when a table is given.
void zoom(int f, const kl_image &dst, const kl_image &src, const unsigned char *table, int xphase, int yphase);

}  // namespace ref
