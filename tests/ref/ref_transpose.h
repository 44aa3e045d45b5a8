// Scalar model of the flips: flip writes, into a twin of the real
// destination, exactly the samples the flip kernels write, pixel by pixel
// from the mirrored source positions; everything else is left alone.
#pragma once


#include "kl.h"

namespace ref {

// Mirrored copy for sample size sb (1 or 2): dst (w x h) from the source
// pixel at src.data and the pixels before it (type 1: leftwards in the row,
// rows going down; 0: rows going up; 5: both). Type 0 copies rows as the copy
// kernel does under mask -1; types 1 and 5 write the samples selected by
// dst.bmask AND src.bmask. Anything else writes nothing.
void flip(int sb, const kl_image &dst, const kl_image &src, int type);

}  // namespace ref
