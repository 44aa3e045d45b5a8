// Scalar models of the copy and band kernels and the block copy engine.
//
// Each model writes, into a destination that the caller set up as a twin of
// the real one, exactly the bytes the kernel is to write, sample by sample;
// every other byte is left alone. Sources are read from their own memory,
// so callers modelling an overlapping copy pass a snapshot of the source.
#pragma once

#include "kl.h"

namespace ref {

// Row k of dst receives the nbytes bytes of row k of src.
void gcopy(unsigned char *dst, int dst_lb, int nbytes, int h, const unsigned char *src, int src_lb);

// Byte j of each row is copied when bit (7 - j) mod 24 of the pattern is set.
void mcopy(unsigned pattern, unsigned char *dst, int dst_lb, int nbytes, int h,
           const unsigned char *src, int src_lb);

// The kernels, for sample size sb (1 for the _8 forms, 2 for the _16 forms).
void copy(int sb, int band_mask, const kl_image &dst, const kl_image &src);
void band_extract(int sb, int band_mask, const kl_image &dst, const kl_image &src);
void band_insert(int sb, int band_mask, const kl_image &dst, const kl_image &src);
void copy_3_4(int sb, int band_mask, const kl_image &dst, const kl_image &src);
void copy_4_3(int sb, int band_mask, const kl_image &dst, const kl_image &src);

}  // namespace ref
