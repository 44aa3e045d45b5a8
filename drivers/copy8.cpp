// Copy of an 8-bit image into the window.
//
// kl_copy_8 converts the layouts itself (one band extracted or inserted,
// 3-sample memory pixels into 4-sample window pixels), so there is no scratch
// image; the driver only refuses the layouts the kernel would not write.
#include "driver_frame.h"
#include "wren_device.h"

using wren::DriverCall;
using wren::Placed;
using wren::Rect;

int ZorDeviceComputeTypeWren::Copy8Wren(ZorOp *op, int count) {
    DriverCall call(op, count);
    ZorOp *copy = op ? op->getOp1() : nullptr;
    if (!copy) {
        return call.decline(WREN_CHAIN, "no operation feeds the display");
    }
    Placed s;
    const wren::Window *win = call.window(op->getDst());
    if (!win || !call.source(copy->getSrc1(), s)) {
        return ZOR_FAILURE;
    }
    const kl_image &kd = win->k, &ks = s.k;
    // A source of another sample type would be declined by the kernel after
    // the host was told the copy was done.
    if (ks.type != KL_BYTE) {
        return call.decline(WREN_LAYOUT, "source is not 8-bit");
    }
    const bool same = kd.bands == ks.bands && kd.bmask == ks.bmask;
    const bool one_band = kd.bands == 1 || ks.bands == 1;
    const bool packed = ((ks.bands == 3 && kd.bands == 4) || (ks.bands == 4 && kd.bands == 3)) && kd.bmask == ks.bmask;
    if (!same && !one_band && !packed) {
        return call.decline(WREN_LAYOUT, "band layout %d (mask %#x) into %d (mask %#x) not handled", ks.bands,
                            ks.bmask, kd.bands, kd.bmask);
    }

    ZorRoi *roi1 = copy->getSrc1()->getImageSpaceRoi();
    ZorRoi *roid = win->image->getImageSpaceRoi();
    if (!roi1 || !roid || !call.region(roi1->intersect(roid))) {
        return call.decline(WREN_REGION, "no region where the source meets the window");
    }
    if (call.region_empty()) {
        return call.decline(WREN_REGION, "the source's region does not meet the window's");
    }
    const wren::Visible *vis = call.clip({{&s}});
    if (!vis || !call.raster_setup()) {
        return ZOR_FAILURE;
    }
    for (const Rect &r : vis->rects) {
        kl_image wd = vis->at(r), ws = wren::at(s, r);
        kl_copy_8(wd.bmask | ws.bmask, &wd, &ws);
    }
    return call.computed();
}
