// Scalar models of the threshold and pixel-mapping feed kernels, sample by
// sample from the rules.
#pragma once

#include "kl.h"

namespace ref {

// For every pixel of the dst->w x dst->h area and every band b that mask,
// dst.bmask and src.bmask select: dst = map[b] if low[b] <= src <= high[b],
// else src (8-bit values clamped to 0..255 first, 16-bit samples signed).
// Nothing for band counts outside 1..4, different band counts, or mask 0.
void threshold(int sb, int mask, const kl_image &dst, const kl_image &src, const short *low, const short *high,
               const short *map);

// The word each feed kernel writes for a sample: s << 20, (s << 12) ^ 0x8000000.
unsigned map_word8(unsigned char s);
unsigned map_word16(short s);

// Writes the words for the dst->w x dst->h samples of a one-band src into the
// slots of the mapping space at dst.data (8 bytes per pixel, rows 16384 apart).
void rescale_feed(int sb, const kl_image &dst, const kl_image &src);

}  // namespace ref
