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
// A 3-sample source into a 4-sample window is flipped into 3-band scratch
// rows, then widened into the window.
#include "driver_frame.h"
#include "wren_device.h"

using wren::Placed;
using wren::Rect;

namespace {

using wren::Masks;

constexpr wren::Layout layouts[] = {
    {1, 0, 1, Masks::equal},
    {4, 0, 4, Masks::equal},
    {3, 0, 4, Masks::equal, wren::Stage::expand, 3},
};

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
Rect footprint(const wren::Ctx &c, const Rect &r, const Placed &s) {
    const Flip &f = c.p<Flip>();
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

bool parse(wren::Ctx &c) {
    const kl_image &ks = c.src[0].k;
    if (ks.w <= 8) return c.refuse(WREN_LAYOUT, "source %d pixels wide; more than 8 needed", ks.w);
    const long type = c.op->getLongParam(1);
    if (type != 0 && type != 1 && type != 5) return c.refuse(WREN_PARAMETER, "flip type %ld not handled", type);
    if (type != 0 && ks.bmask != (1 << ks.bands) - 1) {
        return c.refuse(WREN_BAND_MASK, "flip type %ld needs every band of the source (mask %#x of %d bands)", type,
                        ks.bmask, ks.bands);
    }
    unsigned W = 0, H = 0, nb = 0;
    c.op->getSrc1()->getDimensions(&W, &H, &nb);
    c.p<Flip>() = Flip{static_cast<int>(type), static_cast<int>(W), static_cast<int>(H), c.win.ox, c.win.oy};
    return true;
}

// The flipped source region in pixel coordinates meets the window's; the
// result goes back to the window's image space.
wren::Region region(wren::Ctx &c) {
    const Flip &f = c.p<Flip>();
    ZorRoi *roi1 = c.op->getSrc1()->getImageSpaceRoi();
    ZorRoi *roid = c.image->getImageSpaceRoi();
    ZorHandle<ZorRoi> moved(roi1 ? roi1->translate(c.src[0].ox, c.src[0].oy) : nullptr);
    ZorHandle<ZorRoi> flipped(moved ? moved->flip(f.type, (static_cast<double>(f.W) - 1) * 0.5,
                                                  (static_cast<double>(f.H) - 1) * 0.5)
                                    : nullptr);
    ZorHandle<ZorRoi> wpx(roid ? roid->translate(f.dox, f.doy) : nullptr);
    ZorHandle<ZorRoi> both(flipped && wpx ? flipped->intersect(wpx.get()) : nullptr);
    return {both ? both->translate(-f.dox, -f.doy) : nullptr};
}

void kernel(wren::Job &j) {
    const Flip &f = j.c.p<Flip>();
    kl_image ws = source_at(j.c.src[0], f, j.r, j.row, j.n);
    kl_transpose_8(&j.dst, &ws, f.type);
}

}  // namespace

const wren::DriverPlan wren::transpose8_plan{.layouts = layouts,
                                             .region = region,
                                             .reads = Reads::mapped,
                                             .footprint = footprint,
                                             .parse = parse,
                                             .kernel = kernel};

int ZorDeviceComputeTypeWren::Transpose8Wren(ZorOp *op, int count) {
    return wren::run<Flip>(wren::transpose8_plan, op, count);
}
