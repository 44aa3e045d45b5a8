// Scalar models of the arithmetic and logic kernels, sample by sample.
//
// Each model takes the destination descriptor pointed at the expected twin of
// the destination buffer and writes the expected value of every selected
// sample inside the rectangle; everything else is left as it is, and a call
// the kernel declines writes nothing.
#pragma once

#include "kl.h"

namespace ref {

enum class Op2 { Add, Sub, Mpy, Max, Min, And, Or, Xor };
enum class OpK { Add, Sub, KSub, And, Or, Xor };

void arith2_8(Op2 op, int band_mask, const kl_image &dst, const kl_image &src1, const kl_image &src2);
void arith2_16(Op2 op, int band_mask, const kl_image &dst, const kl_image &src1, const kl_image &src2);
void arithk_8(OpK op, int band_mask, const kl_image &dst, const kl_image &src, const short *k);
void arithk_16(OpK op, int band_mask, const kl_image &dst, const kl_image &src, const short *k);
// Also applies the kernel's replacement of negative constants to k.
void mpyk_8(int band_mask, const kl_image &dst, const kl_image &src, short *k, int shift, int round);
void abs_16(int band_mask, const kl_image &dst, const kl_image &src);

}  // namespace ref
