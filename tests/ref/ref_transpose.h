// Scalar models of the flips and the block transposition helpers.
//
// flip writes, into a twin of the real destination, exactly the samples the
// flip kernels write, pixel by pixel from the mirrored source positions;
// everything else is left alone. The block models index rows and positions
// directly.
#pragma once

#include <cstdint>
#include <vector>

#include "kl.h"

namespace ref {

// Mirrored copy for sample size sb (1 or 2): dst (w x h) from the source
// pixel at src.data and the pixels before it (type 1: leftwards in the row,
// rows going down; 0: rows going up; 5: both). Type 0 copies rows as the copy
// kernel does under mask -1; types 1 and 5 write the samples selected by
// dst.bmask AND src.bmask. Anything else writes nothing.
void flip(int sb, const kl_image &dst, const kl_image &src, int type);

// Column-major block of count positions of up to 8 rows of bytes: byte r of
// word i is rows[r][i], 0 for rows r >= nrows.
std::vector<uint64_t> block_8(const std::vector<const unsigned char *> &rows, int count);
// The same for up to 4 rows of 16-bit samples: lane r of word i is rows[r][i].
std::vector<uint64_t> block_16(const std::vector<const int16_t *> &rows, int count);

}  // namespace ref
