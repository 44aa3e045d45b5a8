// The rescale path's feed into the accelerator's pixel-mapping space.
//
// kl_rescale_wren_8 / kl_rescale_wren_16 compute nothing: they write each
// one-band source sample as a 32-bit word at the start of its 8-byte slot,
// rows wren_fb::map_line_bytes apart whatever the descriptor's lb says:
// s << 20 (8-bit), (s << 12) ^ 0x8000000 (signed 16-bit); the accelerator
// applies the map. Nothing is written unless both images have one band and
// the source covers the destination.
#pragma once

#include "kl.h"

#ifdef __cplusplus
extern "C" {
#endif

void kl_rescale_wren_8(kl_image *dst, kl_image *src);
void kl_rescale_wren_16(kl_image *dst, kl_image *src);

#ifdef __cplusplus
}
#endif
