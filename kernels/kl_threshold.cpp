// Threshold kernels and the pixel-mapping feeders.
//
// kl_threshold_8 / kl_threshold_16 replace, per selected band, the samples
// that lie in the closed interval [low, high] by map and copy the others.
// They run on the row walk of the arithmetic kernels (kl_arith_frame.h): each
// destination word is built from the source word under it and written once,
// under the row's edge mask and the band enables; the destination is never
// read. The 8-bit form widens bytes with lane_expand and compares the 16-bit
// lanes against low and high widened the same way; the 16-bit form compares
// the signed samples directly.
//
// kl_rescale_wren_8 / kl_rescale_wren_16 compute nothing: they write each
// source sample as a 32-bit word at the start of its 8-byte slot in the
// accelerator's pixel-mapping space, whose rows are 16384 bytes apart
// whatever the descriptor's lb says; the accelerator applies the map.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kl.h"
#include "kl_arith_frame.h"
#include "lane.h"
#include "wren_regmap.h"

namespace {

int clamp8(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

// 8-bit: lanes of low and high hold value * 16, as lane_expand leaves a byte.
struct Threshold8 {
    Cycle<int16_t, false> lo, hi;
    Cycle<uint8_t, false> map;
    uint64_t operator()(uint64_t a, uint64_t, unsigned o) const {
        unsigned in = 0;
        for (unsigned h = 0; h < 2; ++h) {
            const uint64_t e = lane_expand(static_cast<uint32_t>(a >> (32 * h)));
            const unsigned m = lane_cmp16_le(lo.word(o, 4 * h), e) & lane_cmp16_le(e, hi.word(o, 4 * h));
            in |= m << (4 * (1 - h));
        }
        const uint64_t sel = lane_bytemask8(in);
        return (map.word(o) & sel) | (a & ~sel);
    }
};

struct Threshold16 {
    Cycle<int16_t, true> lo, hi, map;
    uint64_t operator()(uint64_t a, uint64_t, unsigned o) const {
        const uint64_t sel = lane_lanemask16(lane_cmp16_le(lo.word(o), a) & lane_cmp16_le(a, hi.word(o)));
        return (map.word(o) & sel) | (a & ~sel);
    }
};

template <bool W16>
void threshold(int mask, kl_image *dst, kl_image *src, const short *low, const short *high, const short *map) {
    lane_control.set(0);
    if (!low || !high || !map) return;
    const unsigned m = accept<W16>(mask, dst, src, nullptr);
    if (!m || dst->type != (W16 ? KL_SHORT : KL_BYTE) || src->type != dst->type) return;
    const unsigned n = static_cast<unsigned>(dst->bands);
    int32_t l[4] = {}, h[4] = {}, v[4] = {};
    for (unsigned b = 0; b < n; ++b) {
        l[b] = W16 ? low[b] : 16 * clamp8(low[b]);
        h[b] = W16 ? high[b] : 16 * clamp8(high[b]);
        v[b] = W16 ? map[b] : clamp8(map[b]);
    }
    std::conditional_t<W16, Threshold16, Threshold8> op;
    op.lo.fill(l, n);
    op.hi.fill(h, n);
    op.map.fill(v, n);
    run<Words, W16>(m, dst, src, nullptr, op);
}

// One-band source and destination, the source covering the destination.
bool feedable(const kl_image *dst, const kl_image *src, int sb) {
    return dst && src && dst->data && src->data && dst->bands == 1 && src->bands == 1 && src->bpp == sb &&
           dst->w > 0 && dst->h > 0 && src->w >= dst->w && src->h >= dst->h;
}

constexpr ptrdiff_t kSlot = 8, kPitch = wren_fb::map_line_bytes;

}  // namespace

extern "C" {

void kl_threshold_8(int mask, kl_image *dst, kl_image *src, const short *low, const short *high, const short *map) {
    threshold<false>(mask, dst, src, low, high, map);
}

void kl_threshold_16(int mask, kl_image *dst, kl_image *src, const short *low, const short *high, const short *map) {
    threshold<true>(mask, dst, src, low, high, map);
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
