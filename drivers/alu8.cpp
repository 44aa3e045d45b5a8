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

struct Named {
    WrenDyadicKernel kernel;
    const char *driver;
};

const Named dyadic_drivers[] = {
    {kl_add_8, "Add8Wren"}, {kl_and_8, "And8Wren"},           {kl_max_8, "Max8Wren"},
    {kl_min_8, "Min8Wren"}, {kl_mpy_8, "Multiply8Wren"},      {kl_or_8, "Or8Wren"},
    {kl_sub_8, "Subtract8Wren"}, {kl_xor_8, "Xor8Wren"},
};

const char *driver_of(WrenDyadicKernel k) {
    for (const Named &n : dyadic_drivers) {
        if (n.kernel == k) {
            return n.driver;
        }
    }
    return "Alu8Wren";
}

enum class Layout { direct, stage_second, stage_first, compute_then_expand };

}  // namespace

int ZorDeviceComputeTypeWren::Alu8Wren(ZorOp *op, int count) {
    return Alu8Wren(op, count, nullptr);
}

int ZorDeviceComputeTypeWren::Alu8Wren(ZorOp *op, int count, WrenDyadicKernel kernel) {
    DriverCall call(driver_of(kernel), op, count);
    if (!kernel) {
        return call.decline(WREN_NO_KERNEL, "no kernel given");
    }
    ZorOp *alu = op ? op->getOp1() : nullptr;
    if (!alu) {
        return call.decline(WREN_CHAIN, "no operation feeds the display");
    }
    if (!call.window(op->getDst())) {
        return ZOR_FAILURE;
    }
    Placed s1, s2;
    if (!call.source(alu->getSrc1(), s1) || !call.source(alu->getSrc2(), s2)) {
        return ZOR_FAILURE;
    }
    const kl_image &kd = call.kd;
    if (s1.k.type != KL_BYTE || s2.k.type != KL_BYTE) {
        return call.decline(WREN_LAYOUT, "sources are not 8-bit");
    }
    if (s1.k.bmask != kd.bmask || s2.k.bmask != kd.bmask) {
        return call.decline(WREN_BAND_MASK, "band masks %#x, %#x and window %#x differ", s1.k.bmask, s2.k.bmask,
                            kd.bmask);
    }
    Layout layout;
    const int b1 = s1.k.bands, b2 = s2.k.bands, bd = kd.bands;
    if ((b1 == 1 && b2 == 1 && bd == 1) || (b1 == 4 && b2 == 4 && bd == 4)) {
        layout = Layout::direct;
    } else if (b1 == 4 && b2 == 3 && bd == 4) {
        layout = Layout::stage_second;
    } else if (b1 == 3 && b2 == 4 && bd == 4) {
        layout = Layout::stage_first;
    } else if (b1 == 3 && b2 == 3 && bd == 4) {
        layout = Layout::compute_then_expand;
    } else {
        return call.decline(WREN_LAYOUT, "band layout %d, %d into %d not handled", b1, b2, bd);
    }

    ZorRoi *roi1 = alu->getSrc1()->getImageSpaceRoi();
    ZorRoi *roid = call.dst->getImageSpaceRoi();
    if (!roi1 || !roid || !call.region(roi1->intersect(roid))) {
        return call.decline(WREN_REGION, "no region where the first source meets the window");
    }
    if (layout != Layout::direct) {
        int maxw = s1.k.w > s2.k.w ? s1.k.w : s2.k.w;
        maxw = maxw > kd.w ? maxw : kd.w;
        if (!call.scratch(layout == Layout::compute_then_expand ? 3 : 4, maxw)) {
            return ZOR_FAILURE;
        }
    }
    if (!call.clip({&s1, &s2}) || !call.raster_setup()) {
        return ZOR_FAILURE;
    }

    const int bmask = call.kd.bmask;
    for (const Rect &r : call.rects()) {
        if (layout == Layout::direct) {
            kl_image wd = call.window_at(r), w1 = DriverCall::at(s1, r), w2 = DriverCall::at(s2, r);
            kernel(bmask, &wd, &w1, &w2);
            continue;
        }
        call.chunks(r, [&](int row, int n, kl_image &scratch) {
            kl_image wd = call.window_at(r, row, n);
            kl_image w1 = DriverCall::at(s1, r, row, n), w2 = DriverCall::at(s2, r, row, n);
            switch (layout) {
            case Layout::stage_second:
                kl_copy8_3_4(bmask, &scratch, &w2);
                kernel(bmask, &wd, &w1, &scratch);
                break;
            case Layout::stage_first:
                kl_copy8_3_4(bmask, &scratch, &w1);
                kernel(bmask, &wd, &scratch, &w2);
                break;
            case Layout::compute_then_expand:
                kernel(bmask, &scratch, &w1, &w2);
                kl_copy8_3_4(bmask, &wd, &scratch);
                break;
            case Layout::direct:
                break;
            }
        });
    }
    return call.computed(static_cast<int>(call.rects().size()));
}

int ZorDeviceComputeTypeWren::Add8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_add_8); }
int ZorDeviceComputeTypeWren::And8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_and_8); }
int ZorDeviceComputeTypeWren::Max8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_max_8); }
int ZorDeviceComputeTypeWren::Min8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_min_8); }
int ZorDeviceComputeTypeWren::Multiply8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_mpy_8); }
int ZorDeviceComputeTypeWren::Or8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_or_8); }
int ZorDeviceComputeTypeWren::Subtract8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_sub_8); }
int ZorDeviceComputeTypeWren::Xor8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_xor_8); }
