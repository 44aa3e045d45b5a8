// Threshold of an 8-bit image into the window: samples in [low, high] become
// map, per band, by kl_threshold_8. A 3-band source into a 24-bit window is
// widened to 4 bands in scratch rows first.
#include <cmath>
#include <cstdint>

#include "driver_frame.h"
#include "wren_device.h"

namespace {

using wren::Masks;

constexpr wren::Layout layouts[] = {
    {1, 0, 1, Masks::equal},
    {4, 0, 4, Masks::equal},
    {3, 0, 4, Masks::equal, wren::Stage::widen1, 4},
};

struct Params {
    short lo[4], hi[4], map[4];
};

// rint, truncated to 16 bits; false for a value with no integer.
bool value16(float v, short *out) {
    const double r = std::rint(static_cast<double>(v));
    if (!std::isfinite(r) || std::fabs(r) >= 2147483648.0) return false;
    *out = static_cast<short>(static_cast<int16_t>(static_cast<int32_t>(r)));
    return true;
}

// Selected window band b takes the next element of each array; the arrays
// hold one element per band of the threshold's image.
bool parse(wren::Ctx &c) {
    Params &p = c.p<Params>();
    const auto *low = static_cast<const float *>(c.op->getPtrParam(1));
    const auto *high = static_cast<const float *>(c.op->getPtrParam(2));
    const auto *map = static_cast<const float *>(c.op->getPtrParam(3));
    int have = 0;
    (c.op->getDst() ? c.op->getDst() : c.op->getSrc1())->getDimensions(nullptr, nullptr, &have);
    return wren::each_selected(c.win.k, [&](int k, int b) {
        if (!low || !high || !map || k >= have) {
            return c.refuse(WREN_PARAMETER, "%d threshold value(s) for more selected bands", have);
        }
        if (!value16(low[k], &p.lo[b]) || !value16(high[k], &p.hi[b]) || !value16(map[k], &p.map[b])) {
            return c.refuse(WREN_PARAMETER, "threshold value %d is not a number", k);
        }
        return true;
    });
}

void kernel(wren::Job &j) {
    Params &p = j.c.p<Params>();
    kl_threshold_8(j.bmask, &j.dst, &j.src[0], p.lo, p.hi, p.map);
}

}  // namespace

const wren::DriverPlan wren::threshold8_plan{.layouts = layouts, .parse = parse, .kernel = kernel};

int ZorDeviceComputeTypeWren::Threshold8Wren(ZorOp *op, int count) {
    return wren::run<Params>(wren::threshold8_plan, op, count);
}
