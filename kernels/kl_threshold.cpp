// Threshold kernels and the pixel-mapping feeders.
//
// kl_threshold_8 / kl_threshold_16 replace, per selected band, the samples
// that lie in the closed interval [low, high] by map and copy the others.
// They run on the row walk of the arithmetic kernels (kl_arith_frame.h): each
// destination word is built from the source word under it and written once,
// under the row's edge mask and the band enables; the destination is never
// read. Their bodies (kl_threshold_ops.h) go through the implementation table.
//
// kl_rescale_wren_8 / kl_rescale_wren_16 compute nothing: they write each
// source sample as a 32-bit word at the start of its 8-byte slot in the
// accelerator's pixel-mapping space, whose rows are 16384 bytes apart
// whatever the descriptor's lb says; the accelerator applies the map.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kl.h"
#include "kl_threshold_ops.h"
#include "lane.h"
#include "wren_regmap.h"

namespace {

// One-band source and destination, the source covering the destination.
bool feedable(const kl_image *dst, const kl_image *src, int sb) {
    return dst && src && dst->data && src->data && dst->bands == 1 && src->bands == 1 && src->bpp == sb &&
           dst->w > 0 && dst->h > 0 && src->w >= dst->w && src->h >= dst->h;
}

constexpr ptrdiff_t kSlot = 8, kPitch = wren_fb::map_line_bytes;

}  // namespace

void kl_portable_threshold(kl_impl &t) { threshold_entries<Words>(t); }

extern "C" {

void kl_threshold_8(int mask, kl_image *dst, kl_image *src, const short *low, const short *high, const short *map) {
    kl_impl_active().threshold_8(mask, dst, src, low, high, map);
}

void kl_threshold_16(int mask, kl_image *dst, kl_image *src, const short *low, const short *high, const short *map) {
    kl_impl_active().threshold_16(mask, dst, src, low, high, map);
}

void kl_rescale_wren_8(kl_image *dst, kl_image *src) {
    if (!feedable(dst, src, 1)) return;
    const int w = dst->w;
    for (int y = 0; y < dst->h; ++y) {
        unsigned char *d = dst->data + y * kPitch;
        const unsigned char *s = src->data + static_cast<ptrdiff_t>(y) * src->lb;
        for (int x = 0; x < w; ++x) lane_store32(d + x * kSlot, static_cast<uint32_t>(s[x]) << 20);
    }
}

void kl_rescale_wren_16(kl_image *dst, kl_image *src) {
    if (!feedable(dst, src, 2)) return;
    const int w = dst->w;
    const auto word = [](const unsigned char *p) {
        int16_t v;
        std::memcpy(&v, p, 2);
        return (static_cast<uint32_t>(static_cast<int32_t>(v)) << 12) ^ 0x8000000u;
    };
    for (int y = 0; y < dst->h; ++y) {
        unsigned char *d = dst->data + y * kPitch;
        const unsigned char *s = src->data + static_cast<ptrdiff_t>(y) * src->lb;
        int x = 0;
        for (; x + 8 <= w; x += 8)
            for (int i = 0; i < 8; ++i) lane_store32(d + (x + i) * kSlot, word(s + 2 * (x + i)));
        for (; x < w; ++x) lane_store32(d + x * kSlot, word(s + 2 * x));
    }
}

}  // extern "C"
