// The pixel-mapping feed (wren_feed.h).
#include "wren_feed.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "wren_regmap.h"

namespace {

// One-band source and destination, the source covering the destination.
bool feedable(const kl_image *dst, const kl_image *src, int sb) {
    return dst && src && dst->data && src->data && dst->bands == 1 && src->bands == 1 && src->bpp == sb &&
           dst->w > 0 && dst->h > 0 && src->w >= dst->w && src->h >= dst->h;
}

constexpr ptrdiff_t kSlot = 8, kPitch = wren_fb::map_line_bytes;

inline void put32(unsigned char *p, uint32_t v) { std::memcpy(p, &v, 4); }

}  // namespace

extern "C" {

void kl_rescale_wren_8(kl_image *dst, kl_image *src) {
    if (!feedable(dst, src, 1)) return;
    const int w = dst->w;
    for (int y = 0; y < dst->h; ++y) {
        unsigned char *d = dst->data + y * kPitch;
        const unsigned char *s = src->data + static_cast<ptrdiff_t>(y) * src->lb;
        for (int x = 0; x < w; ++x) put32(d + x * kSlot, static_cast<uint32_t>(s[x]) << 20);
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
            for (int i = 0; i < 8; ++i) put32(d + (x + i) * kSlot, word(s + 2 * (x + i)));
        for (; x < w; ++x) put32(d + x * kSlot, word(s + 2 * x));
    }
}

}  // extern "C"
