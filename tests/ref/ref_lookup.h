// Scalar models of the lookup kernels, sample by sample from the rule: for
// every pixel x < src.w of every row y < src.h and every selected destination
// band b, destination byte (x, y, b) takes the table value of the source
// sample (single lookup: byte of band b of the entry of the one sample; multi
// lookup: table b of sample b). Nothing else is written.
#pragma once

#include "kl.h"

namespace ref {

// Single lookup; sb is the source sample size (1: 8-bit, 2: signed 16-bit,
// table at the entry of -32768). Entries of 1, 2, 4, 4 bytes for 1 to 4
// destination bands; 3 bands in bytes 1-3. One band writes every pixel.
void lookup(int sb, int mask, const kl_image &dst, const kl_image &src, const unsigned char *table);

// Multi lookup: tables[b] for destination band b. One band is the single
// lookup through tables[0].
void mlookup(int sb, int mask, const kl_image &dst, const kl_image &src, unsigned char *const *tables);

}  // namespace ref
