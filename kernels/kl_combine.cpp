// Three one-band images interleaved into the 4-byte pixels of a 24-bit
// window: each pixel is written whole as 0, band 1, band 2, band 3, so the
// frame buffer sees one pass of word stores instead of three band inserts.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kl.h"

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
    for (int y = 0; y < dst->h; ++y) {
        unsigned char *d = dst->data + static_cast<ptrdiff_t>(y) * dst->lb;
        const unsigned char *a = band1->data + static_cast<ptrdiff_t>(y) * band1->lb;
        const unsigned char *b = band2->data + static_cast<ptrdiff_t>(y) * band2->lb;
        const unsigned char *c = band3->data + static_cast<ptrdiff_t>(y) * band3->lb;
        for (int x = 0; x < dst->w; ++x) {
            // Byte 0 (lowest address) 0, then the three bands.
            const uint32_t px = (uint32_t{a[x]} << 8) | (uint32_t{b[x]} << 16) | (uint32_t{c[x]} << 24);
            std::memcpy(d + 4 * x, &px, 4);
        }
    }
}
