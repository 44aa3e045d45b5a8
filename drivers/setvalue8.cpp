// Set value: the visible part of the window's region filled with one pixel
// value by the accelerator's fast fill; no pixel kernel runs.
//
// Region, clip-list and chain failures are reported to the host through
// notifyError as well as declined.
#include "driver_frame.h"
#include "wren_device.h"
#include "wren_fill.h"
#include "wren_regs.h"

#include <cstdint>
#include <cstring>

using wren::DriverCall;
using wren::Rect;

namespace {

constexpr const char *kUnit = "SetValue8Wren";

void report(const char *id, int flag, int line) {
    ZorSystemState::notifyError(nullptr, 0, id, flag, line, kUnit, nullptr);
}

// A value rounded half away from zero and clamped to a byte.
uint8_t value_byte(float v) {
    const float t = static_cast<float>(v >= 0 ? static_cast<double>(v) + 0.5 : static_cast<double>(v) - 0.5);
    if (t >= 255.0f) {
        return 255;
    }
    if (t > 0.0f) {
        return static_cast<uint8_t>(t);
    }
    return 0;
}

}  // namespace

int ZorDeviceComputeTypeWren::SetValue8Wren(ZorOp *op, int count) {
    DriverCall call(op, count, kUnit);
    if (!op || !op->getOp1()) {
        return call.decline(WREN_CHAIN, "no operation feeds the display");
    }
    const wren::Window *win = call.window(op->getDst());
    if (!win) {
        return ZOR_FAILURE;
    }
    ZorOp *set = op->getOp1();
    const bool chained = set->getOp() == ZorLookupOpNumber("copy8");
    if (chained) {
        if (count <= 0) {
            report("di-95", 1, 65);
            return call.decline(WREN_CHAIN, "chained through copy8 with count %d", count);
        }
        set = set->getOp1();
        if (!set) {
            return call.decline(WREN_CHAIN, "nothing feeds the copy");
        }
    }

    // The fill word holds the value of pixel byte k in byte k (byte 0 most
    // significant); the plane mask word enables the bytes written.
    const kl_image &kd = win->k;
    const int wanted = kd.bands == 4 ? __builtin_popcount(static_cast<unsigned>(kd.bmask & 0xf)) : 1;
    const float *values = static_cast<const float *>(set->getPtrParam(1));
    ZorImage *vimg = set->getDst() ? set->getDst() : win->image;
    int have = 0;
    vimg->getDimensions(nullptr, nullptr, &have);
    if (!values || have < wanted) {
        return call.decline(WREN_PARAMETER, "%d value(s) given for %d byte(s)", values ? have : 0, wanted);
    }
    uint32_t fill = 0, mask = 0;
    if (kd.bands == 4) {
        int next = 0;
        for (int bit = 3; bit >= 0; --bit) {
            const int byte = 3 - bit;
            if ((kd.bmask >> bit) & 1) {
                fill |= static_cast<uint32_t>(value_byte(values[next++])) << (8 * (3 - byte));
                mask |= 0xffu << (8 * (3 - byte));
            }
        }
    } else {
        fill = value_byte(values[0]);
        mask = 0xff;
    }

    // Region: in a chain, the set-value result's region within the window's.
    ZorRoi *roid = win->image->getImageSpaceRoi();
    ZorRoi *region = nullptr;
    if (chained) {
        ZorRoi *roiv = set->getDst() ? set->getDst()->getImageSpaceRoi() : nullptr;
        region = roiv && roid ? roiv->intersect(roid) : nullptr;
    } else {
        region = roid;
    }
    if (!region) {
        report("di-6", 0, chained ? 73 : 79);
        return call.decline(WREN_REGION, "no region to fill");
    }
    call.region(region, chained);
    // An empty region is nothing to do.
    if (call.region_empty()) {
        return call.computed();
    }

    const wren::Visible *vis = call.clip();
    if (!vis) {
        switch (call.last_reason()) {
        case WREN_CLIP: report("di-7", 0, 113); break;
        case WREN_RECT_LIST: report("di-8", 0, 124); break;
        default: break;
        }
        return ZOR_FAILURE;
    }
    // Fill coordinates come from each rectangle's offset in the frame buffer.
    ZorDisplayIO *dio = win->dio;
    std::uint8_t *const base = dio->fbBase;
    for (const Rect &r : vis->rects) {
        const kl_image wd = vis->at(r);
        if (wd.data < base) {
            return call.decline(WREN_BOUNDS, "rectangle (%d, %d) lies before the frame buffer", r.x, r.y);
        }
    }
    if (dio->depth == 8 || dio->depth == 24) {
        if (!call.raster_setup(mask)) {
            return ZOR_FAILURE;
        }
    }

    if (!call.device()) {
        return ZOR_FAILURE;
    }
    void *regs = dio->regs;
    int board[64];
    std::memcpy(board, dio->board, sizeof board);
    long credit = static_cast<long>(wren_reg_read(regs, wren_reg::status) & wren_val::status_free_mask);
    const bool depth8 = dio->depth == 8;
    for (const Rect &r : vis->rects) {
        const long o = static_cast<long>(vis->at(r).data - base);
        const long lb = depth8 ? wren_fb::line_bytes8 : wren_fb::line_bytes24;
        const int x = static_cast<int>(o % lb / (depth8 ? 1 : wren_fb::pixel_bytes24));
        const int y = static_cast<int>(o / lb);
        wren_credit(regs, &credit, 6);
        wren_reg_write(regs, wren_reg::group_control, depth8 ? wren_val::group_fill8 : wren_val::group_7);
        wren_reg_write(regs, wren_reg::raster_mode, wren_val::mode_fill);
        wren_reg_write(regs, wren_reg::raster_op, wren_val::rop_copy);
        wren_reg_write(regs, wren_reg::plane_mask_lo, mask & 0xffffffu);
        wren_reg_write(regs, wren_reg::plane_mask_hi, 0u);
        wren_reg_write(regs, wren_reg::fill_color, fill);
        wren_wait_idle(regs);
        wren_fast_fill(WREN_FILL_BLOCK, regs, &credit, dio->stereo, dio->highRes, board, x, y, r.w, r.h);
    }
    return call.computed();
}
