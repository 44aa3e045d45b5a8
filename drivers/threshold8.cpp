// Threshold of an 8-bit image into the window: samples in [low, high] become
// map, per band, by kl_threshold_8. A 3-band source into a 24-bit window is
// widened to 4 bands in strips of a scratch buffer first.
#include <cmath>
#include <cstdint>

#include "driver_frame.h"
#include "wren_device.h"

using wren::DriverCall;
using wren::Placed;
using wren::Rect;

namespace {

// rint, truncated to 16 bits; false for a value with no integer.
bool value16(float v, short *out) {
    const double r = std::rint(static_cast<double>(v));
    if (!std::isfinite(r) || std::fabs(r) >= 2147483648.0) return false;
    *out = static_cast<short>(static_cast<int16_t>(static_cast<int32_t>(r)));
    return true;
}

}  // namespace

int ZorDeviceComputeTypeWren::Threshold8Wren(ZorOp *op, int count) {
    DriverCall call(op, count);
    ZorOp *th = op ? op->getOp1() : nullptr;
    if (!th) {
        return call.decline(WREN_CHAIN, "no operation feeds the display");
    }
    Placed s;
    const wren::Window *win = call.window(op->getDst());
    if (!win || !call.source(th->getSrc1(), s)) {
        return ZOR_FAILURE;
    }
    const kl_image &kd = win->k, &ks = s.k;
    if (ks.type != KL_BYTE) {
        return call.decline(WREN_LAYOUT, "source is not 8-bit");
    }
    const bool staged = ks.bands == 3 && kd.bands == 4 && ks.bmask == kd.bmask;
    if (!staged && (ks.bands != kd.bands || ks.bmask != kd.bmask)) {
        return call.decline(WREN_LAYOUT, "band layout %d (mask %#x) into %d (mask %#x) not handled", ks.bands,
                            ks.bmask, kd.bands, kd.bmask);
    }

    // Selected window band b takes the next element of each array; the
    // arrays hold one element per band of the threshold's image.
    const auto *low = static_cast<const float *>(th->getPtrParam(1));
    const auto *high = static_cast<const float *>(th->getPtrParam(2));
    const auto *map = static_cast<const float *>(th->getPtrParam(3));
    int have = 0;
    (th->getDst() ? th->getDst() : th->getSrc1())->getDimensions(nullptr, nullptr, &have);
    short lo[4] = {}, hi[4] = {}, mp[4] = {};
    for (int b = 0, k = 0; b < kd.bands; ++b) {
        if (!((kd.bmask >> (kd.bands - 1 - b)) & 1)) continue;
        if (!low || !high || !map || k >= have) {
            return call.decline(WREN_PARAMETER, "%d threshold value(s) for more selected bands", have);
        }
        if (!value16(low[k], &lo[b]) || !value16(high[k], &hi[b]) || !value16(map[k], &mp[b])) {
            return call.decline(WREN_PARAMETER, "threshold value %d is not a number", k);
        }
        ++k;
    }

    ZorRoi *roi1 = th->getSrc1()->getImageSpaceRoi();
    ZorRoi *roid = win->image->getImageSpaceRoi();
    if (!roi1 || !roid || !call.region(roi1->intersect(roid))) {
        return call.decline(WREN_REGION, "no region where the source meets the window");
    }
    if (call.region_empty()) {
        return call.decline(WREN_REGION, "the source's region does not meet the window's");
    }
    const wren::Scratch *scratch = nullptr;
    if (staged && !(scratch = call.scratch(4, ks.w > kd.w ? ks.w : kd.w))) {
        return ZOR_FAILURE;
    }
    const wren::Visible *vis = call.clip({{&s}});
    if (!vis || !call.raster_setup()) {
        return ZOR_FAILURE;
    }
    const int m = kd.bmask;
    for (const Rect &r : vis->rects) {
        if (!staged) {
            kl_image wd = vis->at(r), ws = wren::at(s, r);
            kl_threshold_8(m, &wd, &ws, lo, hi, mp);
            continue;
        }
        call.chunks(*scratch, r, [&](int row, int n, kl_image &tmp) {
            kl_image wd = vis->at(r, row, n), ws = wren::at(s, r, row, n);
            tmp.bmask = ks.bmask;
            kl_copy8_3_4(ks.bmask, &tmp, &ws);
            kl_threshold_8(m, &wd, &tmp, lo, hi, mp);
        });
    }
    return call.computed();
}
