// Quick zoom: an exact 2x or 4x bilinear enlargement of a one-band image into
// the window with the quick-zoom kernels.
//
// Geometry. The source's region is scaled by f about (0, 0): window
// image-space column Z shows source image-space position Z / f. The zoomed
// image covers (W - 1) f + 1 columns from the source's first pixel (and
// (H - 1) f + 1 rows); the region is cut to it, so a rectangle never reaches
// past the last grid position. Each rectangle hands the kernel the source
// pixel at or before its first column and row and its phase on the grid; the
// frame checks the pixels the kernel reads (those of nonzero weight) against
// the source before anything is drawn.
#include "driver_frame.h"
#include "kept.h"
#include "wren_device.h"

#include <cmath>
#include <memory>

using wren::Placed;
using wren::Rect;

namespace {

// One band each side (a band of a wider source or window).
constexpr wren::Layout layouts[] = {{0, 0, 0, wren::Masks::one}};

int floor_div(int n, int d) { return n >= 0 ? n / d : -((-n + d - 1) / d); }

struct Zoom {
    int f = 0;
    unsigned char *table[4] = {};  // the lookup forms' in table[0]
    std::shared_ptr<void> kept;    // held for the call
    void *line = nullptr;
};

// Position of the rectangle on the zoomed grid counted from the source's
// first pixel, and the source area its kernel call reads (source image space).
struct Grid {
    int k0, m0;          // first source column and row read (pixel coordinates)
    int xphase, yphase;  // 0 .. f - 1
    Rect area;
};

Grid grid_of(int f, const Rect &r, const Placed &s) {
    const int u0 = r.x + f * s.ox, v0 = r.y + f * s.oy;
    Grid g;
    g.k0 = floor_div(u0, f);
    g.m0 = floor_div(v0, f);
    g.xphase = u0 - g.k0 * f;
    g.yphase = v0 - g.m0 * f;
    const int cols = floor_div(g.xphase + r.w - 1 + f - 1, f) + 1, rows = floor_div(g.yphase + r.h - 1 + f - 1, f) + 1;
    g.area = Rect{g.k0 - s.ox, g.m0 - s.oy, cols, rows};
    return g;
}

Rect footprint(const wren::Ctx &c, const Rect &r, const Placed &s) { return grid_of(c.p<Zoom>().f, r, s).area; }

// The scaled source region within the window's, cut to the zoomed image.
wren::Region region(wren::Ctx &c) {
    const int f = c.p<Zoom>().f;
    const Placed &s = c.src[0];
    ZorRoi *roi1 = c.op->getSrc1()->getImageSpaceRoi();
    ZorRoi *roid = c.image->getImageSpaceRoi();
    ZorHandle<ZorRoi> scaled(roi1 ? roi1->scale(f, f, 0.0, 0.0) : nullptr);
    ZorHandle<ZorRoi> grid(ZorRoi::create(-f * s.ox, -f * s.oy, (s.k.w - 1) * f + 1, (s.k.h - 1) * f + 1));
    ZorHandle<ZorRoi> inside(scaled && grid ? scaled->intersect(grid.get()) : nullptr);
    return {roid && inside ? inside->intersect(roid) : nullptr};
}

// The line buffer: 8 bytes per window column, 16 for the 4x lookup forms.
bool line_buffer(wren::Ctx &c, std::size_t per_column) {
    Zoom &z = c.p<Zoom>();
    return (z.line = c.line_buffer(static_cast<std::size_t>(c.win.k.w) * per_column)) != nullptr;
}

// The factor is xscale truncated; the caller has required equal factors.
bool plain(wren::Ctx &c) {
    const float xs = c.op->getFloatParam(1);
    const int f = std::isfinite(xs) && xs >= 2.0f && xs < 3.0f ? 2 : std::isfinite(xs) && xs >= 4.0f && xs < 5.0f ? 4 : 0;
    if (!f) return c.refuse(WREN_PARAMETER, "zoom factor %g is not 2 or 4", static_cast<double>(xs));
    c.p<Zoom>().f = f;
    return line_buffer(c, 8);
}

// "lookup8_8" / "scale8bilinear" and "lookup16_8" / "scale16bilinear": the
// zoom's values pass through a one-band lookup into a one-band window.
template <bool Short>
bool with_lookup(wren::Ctx &c) {
    Zoom &z = c.p<Zoom>();
    ZorLookup *lut = dynamic_cast<ZorLookup *>(c.ops[0]->getObjParam(1));
    if (!lut) return c.refuse(WREN_PARAMETER, "no lookup");
    if (lut->getInputNBands() != 1 || lut->getNBands() != 1) {
        return c.refuse(WREN_LAYOUT, "lookup of %u to %u bands: one band needed", lut->getInputNBands(), lut->getNBands());
    }
    const float xs = c.op->getFloatParam(1), ys = c.op->getFloatParam(2);
    z.f = xs == 2.0f && ys == 2.0f ? 2 : xs == 4.0f && ys == 4.0f ? 4 : 0;
    if (!z.f) {
        return c.refuse(WREN_PARAMETER, "zoom factors %g, %g are not both 2 or both 4", static_cast<double>(xs),
                        static_cast<double>(ys));
    }
    kl_image one{};  // the zoom's result: one band
    one.bands = 1;
    one.bmask = 1;
    return wren::lookup_tables<Short>(c, *lut, true, one, z.table, z.kept) && line_buffer(c, z.f == 4 ? 16 : 8);
}

void plain_kernel(wren::Job &j) {
    Zoom &z = j.c.p<Zoom>();
    const Grid g = grid_of(z.f, j.r, j.c.src[0]);
    kl_image ws = wren::at(j.c.src[0], g.area);
    (z.f == 2 ? klqdx_scale2x_8 : klqdx_scale4x_8)(&ws, &j.dst, g.xphase, g.yphase, z.line);
}

template <bool Short>
void lookup_kernel(wren::Job &j) {
    Zoom &z = j.c.p<Zoom>();
    const Grid g = grid_of(z.f, j.r, j.c.src[0]);
    kl_image ws = wren::at(j.c.src[0], g.area);
    const auto k = Short ? (z.f == 2 ? klqdx_scale2x_16_lookup_16_8 : klqdx_scale4x_16_lookup_16_8)
                         : (z.f == 2 ? klqdx_scale2x_8_lookup_8_8 : klqdx_scale4x_8_lookup_8_8);
    k(&ws, &j.dst, z.table[0], g.xphase, g.yphase, z.line);
}

// The plain zoom (under a scale), or the lookup forms (under a lookup of a
// scale) of 8- or 16-bit samples.
template <int Form>
constexpr wren::DriverPlan zoom_plan(const char *name) {
    return {.name = name,
            .depth = Form ? 2 : 1,
            .sample = Form == 16 ? KL_SHORT : KL_BYTE,
            .layouts = layouts,
            .region = region,
            .reads = wren::Reads::mapped,
            .footprint = footprint,
            .planes = wren::Planes::all,
            .parse = Form == 0 ? plain : Form == 8 ? with_lookup<false> : with_lookup<true>,
            .kernel = Form == 0 ? plain_kernel : Form == 8 ? lookup_kernel<false> : lookup_kernel<true>};
}

}  // namespace

const wren::DriverPlan wren::zoom8_plan = zoom_plan<0>("qdx_Scale8Wren"),
                       wren::zoom_lookup8_plan = zoom_plan<8>("qdx_Scale8Lookup8_8Wren"),
                       wren::zoom_lookup16_plan = zoom_plan<16>("qdx_Scale16Lookup16_8Wren");

int ZorDeviceComputeTypeWren::qdx_Scale8Wren(ZorOp *op) { return wren::run<Zoom>(wren::zoom8_plan, op, 2); }

int ZorDeviceComputeTypeWren::qdx_Scale8Lookup8_8Wren(ZorOp *op, int count) {
    return wren::run<Zoom>(wren::zoom_lookup8_plan, op, count);
}

int ZorDeviceComputeTypeWren::qdx_Scale16Lookup16_8Wren(ZorOp *op, int count) {
    return wren::run<Zoom>(wren::zoom_lookup16_plan, op, count);
}
