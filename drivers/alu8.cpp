// Dyadic arithmetic and logic: two 8-bit sources combined into the window.
//
// All eight drivers name a kernel and hand it to Alu8Wren, which accepts
// (first, second, window) band counts (1, 1, 1) and (4, 4, 4) directly; a
// 3-band source beside a 4-band one is expanded to 4 bands in the scratch
// image; two 3-band sources are combined into a 3-band scratch image that is
// then expanded into the window. All band masks must be equal.
#include "driver_frame.h"
#include "wren_device.h"

namespace {

using wren::DriverCall;
using wren::Placed;
using wren::Rect;

enum class Layout { direct, stage_second, stage_first, compute_then_expand };

// Accepted (first, second, window) band counts, most common first.
struct Accepted {
    int b1, b2, bd;
    Layout layout;
};
constexpr Accepted accepted[] = {
    {1, 1, 1, Layout::direct},       {4, 4, 4, Layout::direct},
    {4, 3, 4, Layout::stage_second}, {3, 4, 4, Layout::stage_first},
    {3, 3, 4, Layout::compute_then_expand},
};

}  // namespace

int ZorDeviceComputeTypeWren::Alu8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, nullptr); }

int ZorDeviceComputeTypeWren::Alu8Wren(ZorOp *op, int count, WrenDyadicKernel kernel) {
    DriverCall call(op, count);
    if (!kernel) {
        return call.decline(WREN_NO_KERNEL, "the dyadic worker needs a kernel from a driver such as add8");
    }
    ZorOp *alu = op ? op->getOp1() : nullptr;
    if (!alu) {
        return call.decline(WREN_CHAIN, "no operation feeds the display");
    }
    const wren::Window *win = call.window(op->getDst());
    Placed s1, s2;
    if (!win || !call.source(alu->getSrc1(), s1) || !call.source(alu->getSrc2(), s2)) {
        return ZOR_FAILURE;
    }
    const kl_image &kd = win->k;
    if (s1.k.type != KL_BYTE || s2.k.type != KL_BYTE) {
        return call.decline(WREN_LAYOUT, "sources are not 8-bit");
    }
    if (s1.k.bmask != kd.bmask || s2.k.bmask != kd.bmask) {
        return call.decline(WREN_BAND_MASK,
                            "band masks %#x, %#x and window %#x differ (an RGB source needs a 24-bit window, a grey "
                            "one an 8-bit window)",
                            s1.k.bmask, s2.k.bmask, kd.bmask);
    }
    const Accepted *a = nullptr;
    for (const Accepted &c : accepted) {
        if (c.b1 == s1.k.bands && c.b2 == s2.k.bands && c.bd == kd.bands) {
            a = &c;
            break;
        }
    }
    if (!a) {
        return call.decline(WREN_LAYOUT, "band layout %d, %d into %d not handled", s1.k.bands, s2.k.bands, kd.bands);
    }
    const Layout layout = a->layout;

    ZorRoi *roi1 = alu->getSrc1()->getImageSpaceRoi();
    ZorRoi *roid = win->image->getImageSpaceRoi();
    if (!roi1 || !roid || !call.region(roi1->intersect(roid))) {
        return call.decline(WREN_REGION, "no region where the first source meets the window");
    }
    const wren::Scratch *scratch = nullptr;
    if (layout != Layout::direct) {
        int maxw = s1.k.w > s2.k.w ? s1.k.w : s2.k.w;
        maxw = maxw > kd.w ? maxw : kd.w;
        if (!(scratch = call.scratch(layout == Layout::compute_then_expand ? 3 : 4, maxw))) {
            return ZOR_FAILURE;
        }
    }
    const wren::Visible *vis = call.clip({{&s1}, {&s2}});
    if (!vis || !call.raster_setup()) {
        return ZOR_FAILURE;
    }

    const int bmask = kd.bmask;
    for (const Rect &r : vis->rects) {
        if (layout == Layout::direct) {
            kl_image wd = vis->at(r), w1 = wren::at(s1, r), w2 = wren::at(s2, r);
            kernel(bmask, &wd, &w1, &w2);
            continue;
        }
        call.chunks(*scratch, r, [&](int row, int n, kl_image &tmp) {
            kl_image wd = vis->at(r, row, n);
            kl_image w1 = wren::at(s1, r, row, n), w2 = wren::at(s2, r, row, n);
            switch (layout) {
            case Layout::stage_second:
                kl_copy8_3_4(bmask, &tmp, &w2);
                kernel(bmask, &wd, &w1, &tmp);
                break;
            case Layout::stage_first:
                kl_copy8_3_4(bmask, &tmp, &w1);
                kernel(bmask, &wd, &tmp, &w2);
                break;
            case Layout::compute_then_expand:
                kernel(bmask, &tmp, &w1, &w2);
                kl_copy8_3_4(bmask, &wd, &tmp);
                break;
            case Layout::direct:
                break;
            }
        });
    }
    return call.computed();
}

int ZorDeviceComputeTypeWren::Add8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_add_8); }
int ZorDeviceComputeTypeWren::And8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_and_8); }
int ZorDeviceComputeTypeWren::Max8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_max_8); }
int ZorDeviceComputeTypeWren::Min8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_min_8); }
int ZorDeviceComputeTypeWren::Multiply8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_mpy_8); }
int ZorDeviceComputeTypeWren::Or8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_or_8); }
int ZorDeviceComputeTypeWren::Subtract8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_sub_8); }
int ZorDeviceComputeTypeWren::Xor8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_xor_8); }
