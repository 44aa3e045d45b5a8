// Flipped copy of an 8-bit image in memory into the window: top to bottom
// (type 0), left to right (1) or both (5, the half turn), with kl_transpose_8
// per visible rectangle.
//
// Geometry. The source's region, in its pixel coordinates, is flipped about
// the source's centre by the host's region flip; window pixel p then shows the
// mirrored source pixel (W - 1 - px for types 1 and 5, H - 1 - py for types 0
// and 5, the other coordinate unchanged). Each rectangle hands the kernel the
// source pixel that lands on its first pixel, and the frame checks the
// rectangle's mirrored footprint against the source before anything is drawn.
//
// A 3-sample source into a 4-sample window is flipped into a 3-band staging
// buffer row chunk by row chunk, then widened into the window.
#include "driver_frame.h"
#include "wren_device.h"

using wren::DriverCall;
using wren::Placed;
using wren::Rect;

namespace {

struct Flip {
    int type;
    int W, H;      // source size
    int dox, doy;  // window origin: rectangles are in the window's image space
};

struct Start {
    int sx, sy;
};

// The source pixel (pixel coordinates) shown at the rectangle's first pixel.
Start start_of(const Flip &f, const Rect &r) {
    const int px = r.x + f.dox, py = r.y + f.doy;
    return {f.type == 0 ? px : f.W - 1 - px, f.type == 1 ? py : f.H - 1 - py};
}

// The source area a rectangle reads, in the source's image space.
Rect footprint(const Rect &r, const Placed &s, const void *ctx) {
    const Flip &f = *static_cast<const Flip *>(ctx);
    const Start st = start_of(f, r);
    const int x0 = f.type == 0 ? st.sx : st.sx - (r.w - 1);
    const int y0 = f.type == 1 ? st.sy : st.sy - (r.h - 1);
    return {x0 - s.ox, y0 - s.oy, r.w, r.h};
}

// The source descriptor starting at the pixel that lands on row `row` of the
// rectangle's first column, for n rows.
kl_image source_at(const Placed &s, const Flip &f, const Rect &r, int row, int n) {
    const Start st = start_of(f, r);
    const int sy = f.type == 1 ? st.sy + row : st.sy - row;
    return wren::narrow(s.k, 0, 0, Rect{st.sx, sy, r.w, n}, 0, n);
}

}  // namespace

int ZorDeviceComputeTypeWren::Transpose8Wren(ZorOp *op, int count) {
    DriverCall call(op, count);
    ZorOp *tr = op ? op->getOp1() : nullptr;
    if (!tr) {
        return call.decline(WREN_CHAIN, "no operation feeds the display");
    }
    Placed s;
    const wren::Window *win = call.window(op->getDst());
    if (!win || !call.source(tr->getSrc1(), s)) {
        return ZOR_FAILURE;
    }
    const kl_image &kd = win->k, &ks = s.k;
    if (ks.type != KL_BYTE) {
        return call.decline(WREN_LAYOUT, "source is not 8-bit");
    }
    if (ks.bmask != kd.bmask) {
        return call.decline(WREN_BAND_MASK, "source band mask %#x, window %#x", ks.bmask, kd.bmask);
    }
    const bool widen = ks.bands == 3 && kd.bands == 4;
    if (ks.bands != kd.bands && !widen) {
        return call.decline(WREN_LAYOUT, "%d source bands into %d not handled", ks.bands, kd.bands);
    }
    if (ks.w <= 8) {
        return call.decline(WREN_LAYOUT, "source %d pixels wide; more than 8 needed", ks.w);
    }
    const long type = tr->getLongParam(1);
    if (type != 0 && type != 1 && type != 5) {
        return call.decline(WREN_PARAMETER, "flip type %ld not handled", type);
    }
    if (type != 0 && ks.bmask != (1 << ks.bands) - 1) {
        return call.decline(WREN_BAND_MASK, "flip type %ld needs every band of the source (mask %#x of %d bands)",
                            type, ks.bmask, ks.bands);
    }
    if (win->dio->depth != 8 && win->dio->depth != 24) {
        return call.decline(WREN_NO_WINDOW, "window of depth %d", win->dio->depth);
    }

    unsigned W = 0, H = 0, nb = 0;
    tr->getSrc1()->getDimensions(&W, &H, &nb);
    const Flip f{static_cast<int>(type), static_cast<int>(W), static_cast<int>(H), win->ox, win->oy};

    // The flipped source region in pixel coordinates meets the window's; the
    // result goes back to the window's image space for the frame.
    ZorRoi *roi1 = tr->getSrc1()->getImageSpaceRoi();
    ZorRoi *roid = win->image->getImageSpaceRoi();
    ZorHandle<ZorRoi> moved(roi1 ? roi1->translate(s.ox, s.oy) : nullptr);
    ZorHandle<ZorRoi> flipped(
        moved ? moved->flip(f.type, (static_cast<double>(W) - 1) * 0.5, (static_cast<double>(H) - 1) * 0.5) : nullptr);
    ZorHandle<ZorRoi> wpx(roid ? roid->translate(win->ox, win->oy) : nullptr);
    ZorHandle<ZorRoi> both(flipped && wpx ? flipped->intersect(wpx.get()) : nullptr);
    if (!both || !call.region(both->translate(-win->ox, -win->oy))) {
        return call.decline(WREN_REGION, "no region where the flipped source meets the window");
    }
    const wren::Scratch *scr = nullptr;
    if (widen && !(scr = call.scratch(3, kd.w))) {
        return ZOR_FAILURE;
    }
    const wren::Visible *vis = call.clip({{&s, footprint, &f}});
    if (!vis || !call.raster_setup()) {
        return ZOR_FAILURE;
    }
    for (const Rect &r : vis->rects) {
        if (!widen) {
            kl_image wd = vis->at(r), ws = source_at(s, f, r, 0, r.h);
            kl_transpose_8(&wd, &ws, f.type);
            continue;
        }
        call.chunks(*scr, r, [&](int row, int n, kl_image &k) {
            kl_image wd = vis->at(r, row, n), ws = source_at(s, f, r, row, n);
            kl_transpose_8(&k, &ws, f.type);
            kl_copy8_3_4(wd.bmask, &wd, &k);
        });
    }
    return call.computed();
}
