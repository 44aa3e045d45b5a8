// Three one-band images interleaved into the 4-byte pixels of a 24-bit
// window: each pixel is written whole as 0, band 1, band 2, band 3, so the
// frame buffer sees one pass of word stores instead of three band inserts.
// The checks, then the active implementation's body (kl_combine_body.h).
#include "kl.h"
#include "kl_impl.h"

namespace {

bool band_of(const kl_image *s, const kl_image *dst) {
    return s && s->data && s->type == KL_BYTE && s->bands == 1 && s->bpp == 1 && s->w >= dst->w && s->h >= dst->h;
}

}  // namespace

extern "C" void kl_combine_wren(kl_image *dst, kl_image *band1, kl_image *band2, kl_image *band3) {
    if (!dst || !dst->data || dst->type != KL_BYTE || dst->bands != 4 || dst->bpp != 4 || dst->w <= 0 ||
        dst->h <= 0)
        return;
    if (!band_of(band1, dst) || !band_of(band2, dst) || !band_of(band3, dst)) return;
    kl_impl_active().combine_wren(dst, band1, band2, band3);
}
