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

using wren::Rect;

namespace {

constexpr const char *kUnit = "SetValue8Wren";

// A value rounded half away from zero and clamped to a byte.
uint8_t value_byte(float v) {
    const float t = static_cast<float>(v >= 0 ? static_cast<double>(v) + 0.5 : static_cast<double>(v) - 0.5);
    return t >= 255.0f ? 255 : t > 0.0f ? static_cast<uint8_t>(t) : 0;  // NaN: 0
}

constexpr wren::Layout layouts[] = {{0, 0, 0, wren::Masks::any}};

struct Params {
    bool chained = false;
    uint32_t fill = 0;   // the value of pixel byte k in byte k (byte 0 most significant)
    long credit = 0;     // command-queue credit
    int board[64] = {};  // the board block, copied once per call
};

// Chained through "copy8", the driver works on the copy: the set-value
// operation is the one feeding it.
bool parse(wren::Ctx &c) {
    Params &p = c.p<Params>();
    if (c.op->getOp() == ZorLookupOpNumber("copy8")) {
        if (c.count <= 0) {
            ZorSystemState::notifyError(nullptr, 0, "di-95", 1, 65, kUnit, nullptr);
            return c.refuse(WREN_CHAIN, "chained through copy8 with count %d", c.count);
        }
        if (!(c.op = c.op->getOp1())) return c.refuse(WREN_CHAIN, "nothing feeds the copy");
        p.chained = true;
    }
    c.reports.region = p.chained ? 73 : 79;
    // The plane mask word enables the bytes written.
    const kl_image &kd = c.win.k;
    const int wanted = kd.bands == 4 ? __builtin_popcount(static_cast<unsigned>(kd.bmask & 0xf)) : 1;
    const float *values = static_cast<const float *>(c.op->getPtrParam(1));
    int have = 0;
    (c.op->getDst() ? c.op->getDst() : c.image)->getDimensions(nullptr, nullptr, &have);
    if (!values || have < wanted) {
        return c.refuse(WREN_PARAMETER, "%d value(s) given for %d byte(s)", values ? have : 0, wanted);
    }
    uint32_t mask = 0xff;
    p.fill = value_byte(values[0]);
    if (kd.bands == 4) {
        p.fill = mask = 0;
        wren::each_selected(kd, [&](int i, int k) {
            p.fill |= static_cast<uint32_t>(value_byte(values[i])) << (8 * (3 - k));
            mask |= 0xffu << (8 * (3 - k));
            return true;
        });
    }
    c.planes = mask;
    return true;
}

// In a chain, the set-value result's region within the window's.
wren::Region region(wren::Ctx &c) {
    ZorRoi *roid = c.image->getImageSpaceRoi();
    if (!c.p<Params>().chained) return {roid, false};
    ZorRoi *roiv = c.op->getDst() ? c.op->getDst()->getImageSpaceRoi() : nullptr;
    return {roiv && roid ? roiv->intersect(roid) : nullptr};
}

// Fill coordinates come from each rectangle's offset in the frame buffer.
bool in_frame_buffer(wren::Ctx &c) {
    for (const Rect &r : c.rects) {
        if (c.at(r).data < c.dio->fbBase) {
            return c.refuse(WREN_BOUNDS, "rectangle (%d, %d) lies before the frame buffer", r.x, r.y);
        }
    }
    return true;
}

void seed_credit(wren::Ctx &c) {
    Params &p = c.p<Params>();
    std::memcpy(p.board, c.dio->board, sizeof p.board);
    p.credit = static_cast<long>(wren_reg_read(c.dio->regs, wren_reg::status) & wren_val::status_free_mask);
}

void fill(wren::Job &j) {
    Params &p = j.c.p<Params>();
    ZorDisplayIO *dio = j.c.dio;
    void *regs = dio->regs;
    const bool depth8 = dio->depth == 8;
    const long o = static_cast<long>(j.dst.data - dio->fbBase);
    const long lb = depth8 ? wren_fb::line_bytes8 : wren_fb::line_bytes24;
    const int x = static_cast<int>(o % lb / (depth8 ? 1 : wren_fb::pixel_bytes24));
    const int y = static_cast<int>(o / lb);
    wren_credit(regs, &p.credit, 6);
    wren_reg_write(regs, wren_reg::group_control, depth8 ? wren_val::group_fill8 : wren_val::group_7);
    wren_reg_write(regs, wren_reg::raster_mode, wren_val::mode_fill);
    wren_reg_write(regs, wren_reg::raster_op, wren_val::rop_copy);
    wren_reg_write(regs, wren_reg::plane_mask_lo, static_cast<uint32_t>(j.c.planes) & 0xffffffu);
    wren_reg_write(regs, wren_reg::plane_mask_hi, 0u);
    wren_reg_write(regs, wren_reg::fill_color, p.fill);
    wren_wait_idle(regs);
    wren_fast_fill(WREN_FILL_BLOCK, regs, &p.credit, dio->stereo, dio->highRes, p.board, x, y, j.r.w, j.r.h);
}

}  // namespace

const wren::DriverPlan wren::setvalue8_plan{.name = kUnit,
                                            .sources = 0,
                                            .layouts = layouts,
                                            .region = region,
                                            .reports = {0, 113, 124},
                                            .parse = parse,
                                            .visible = in_frame_buffer,
                                            .program = seed_credit,
                                            .kernel = fill};

int ZorDeviceComputeTypeWren::SetValue8Wren(ZorOp *op, int count) {
    return wren::run<Params>(wren::setvalue8_plan, op, count);
}
