// Threshold kernels.
//
// kl_threshold_8 / kl_threshold_16 replace, per selected band, the samples
// that lie in the closed interval [low, high] by map and copy the others.
// They run on the row walk of the arithmetic kernels (kl_body.h): each
// destination word is built from the source word under it and written once,
// under the row's edge mask and the band enables; the destination is never
// read. Their bodies (kl_threshold_body.h) go through the implementation table.
#include "kl.h"
#include "kl_impl.h"

extern "C" {

void kl_threshold_8(int mask, kl_image *dst, kl_image *src, const short *low, const short *high, const short *map) {
    kl_impl_active().threshold_8(mask, dst, src, low, high, map);
}

void kl_threshold_16(int mask, kl_image *dst, kl_image *src, const short *low, const short *high, const short *map) {
    kl_impl_active().threshold_16(mask, dst, src, low, high, map);
}

}  // extern "C"
