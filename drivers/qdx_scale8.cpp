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
#include <cstdint>
#include <cstdlib>
#include <memory>

using wren::DriverCall;
using wren::Placed;
using wren::Rect;

namespace {

int floor_div(int n, int d) { return n >= 0 ? n / d : -((-n + d - 1) / d); }

struct Zoom {
    int f;
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

Rect footprint(const Rect &r, const Placed &s, const void *ctx) {
    return grid_of(static_cast<const Zoom *>(ctx)->f, r, s).area;
}

// The table one lookup-zoom driver keeps between calls: 256 bytes for input
// values 0..255, or 65536 for -32768..32767, made from the lookup of the
// recorded version and data, or that lookup's own data when it already
// covers every input value.
struct ZoomKey {
    std::uint64_t version = 0;
    const unsigned char *data = nullptr;
    bool operator==(const ZoomKey &) const = default;
};
template <bool Short>
struct ZoomTable : wren::TableCache<ZoomKey, const unsigned char> {
    static constexpr long first = Short ? -32768 : 0;
    static constexpr long count = Short ? 65536 : 256;
};

// The table for lut, from cache, in place or made (held in keep for the
// call); null (declined) when the lookup is unusable or memory runs out.
template <bool Short>
const unsigned char *zoom_table(DriverCall &call, ZorLookup &lut, std::shared_ptr<const unsigned char> &keep) {
    using T = ZoomTable<Short>;
    ZorVersionNumber v;
    lut.getVersion(v);
    const unsigned char *data = lut.getData();
    const long o = static_cast<int16_t>(lut.getOffset()), n = lut.getNumEntries();
    if (!data || n < 1) {
        call.decline(WREN_PARAMETER, "lookup without entries");
        return nullptr;
    }
    const bool full = o == T::first && n == T::count;
    bool built = false;
    keep = wren::kept<T>().get(ZoomKey{v.value(), data}, [&]() -> std::shared_ptr<const unsigned char> {
        if (full) return wren::share(data, [](const unsigned char *) {});  // the lookup's own
        auto *t = static_cast<unsigned char *>(std::malloc(T::count));
        // Inputs below the first entry take the first entry, above the last the last.
        for (long i = 0; t && i < T::count; ++i) {
            const long e = T::first + i - o;
            t[i] = data[e < 0 ? 0 : e >= n ? n - 1 : e];
        }
        return wren::share(t, [](const unsigned char *p) { std::free(const_cast<unsigned char *>(p)); });
    }, &built);
    if (!keep) {
        call.decline(WREN_SCRATCH, "no memory for a lookup table of %ld entries", T::count);
        return nullptr;
    }
    call.note(!built ? "cache hit" : full ? "table used in place" : "table built");
    return keep.get();
}

}  // namespace

namespace wren {

// The zoom common to the three quick-zoom drivers, once the factor, the
// source and the window are known: regions, line buffer (per_column bytes per
// window column), clip, raster setup and kernel(src', dst', xphase, yphase,
// line buffer) per visible rectangle.
template <class Kernel>
int quick_zoom(DriverCall &call, const Window &win, ZorImage *src, const Placed &s, int f, std::size_t per_column,
               Kernel &&kernel) {
    const int depth = win.dio->depth;
    if (depth != 8 && depth != 24) {
        return call.decline(WREN_NO_WINDOW, "window of depth %d", depth);
    }
    void *line = call.line_buffer(static_cast<std::size_t>(win.k.w) * per_column);
    if (!line) {
        return ZOR_FAILURE;
    }
    // The scaled source region within the window's, cut to the zoomed image.
    ZorRoi *roi1 = src->getImageSpaceRoi();
    ZorRoi *roid = win.image->getImageSpaceRoi();
    const Zoom z{f};
    ZorHandle<ZorRoi> scaled(roi1 ? roi1->scale(f, f, 0.0, 0.0) : nullptr);
    ZorHandle<ZorRoi> grid(ZorRoi::create(-f * s.ox, -f * s.oy, (s.k.w - 1) * f + 1, (s.k.h - 1) * f + 1));
    ZorHandle<ZorRoi> inside(scaled && grid ? scaled->intersect(grid.get()) : nullptr);
    if (!roid || !inside || !call.region(inside->intersect(roid))) {
        return call.decline(WREN_REGION, "no region where the zoomed source meets the window");
    }
    const Visible *vis = call.clip({{&s, footprint, &z}});
    if (!vis || !call.raster_setup(depth == 8 ? 0xffUL : 0xffffffUL)) {
        return ZOR_FAILURE;
    }
    for (const Rect &r : vis->rects) {
        const Grid g = grid_of(f, r, s);
        kl_image wd = vis->at(r), ws = wren::at(s, g.area);
        kernel(&ws, &wd, g.xphase, g.yphase, line);
    }
    return call.computed();
}

}  // namespace wren

int ZorDeviceComputeTypeWren::qdx_Scale8Wren(ZorOp *op) {
    DriverCall call(op, 2, "qdx_Scale8Wren");
    ZorOp *sc = op ? op->getOp1() : nullptr;
    if (!sc) {
        return call.decline(WREN_CHAIN, "no operation feeds the display");
    }
    // The factor is xscale truncated; the caller has required equal factors.
    const float xs = sc->getFloatParam(1);
    const int f = std::isfinite(xs) && xs >= 2.0f && xs < 3.0f ? 2 : std::isfinite(xs) && xs >= 4.0f && xs < 5.0f ? 4 : 0;
    if (!f) {
        return call.decline(WREN_PARAMETER, "zoom factor %g is not 2 or 4", static_cast<double>(xs));
    }
    Placed s;
    const wren::Window *win = call.window(op->getDst());
    if (!win || !call.source(sc->getSrc1(), s)) {
        return ZOR_FAILURE;
    }
    if (s.k.type != KL_BYTE || sc->getSrc1()->getBands() != 1 || win->image->getBands() != 1) {
        return call.decline(WREN_LAYOUT, "%u source band(s) of type %d into %u window band(s): one 8-bit band needed",
                            sc->getSrc1()->getBands(), s.k.type, win->image->getBands());
    }
    void (*kernel)(kl_image *, kl_image *, int, int, void *) = f == 2 ? klqdx_scale2x_8 : klqdx_scale4x_8;
    return wren::quick_zoom(call, *win, sc->getSrc1(), s, f, 8, kernel);
}

namespace {

// "lookup8_8" / "scale8bilinear" and "lookup16_8" / "scale16bilinear": the
// zoom's values pass through a one-band lookup into a one-band window.
template <bool Short>
int lookup_zoom(ZorOp *op, int count, const char *name) {
    DriverCall call(op, count, name);
    ZorOp *lk = op ? op->getOp1() : nullptr;
    ZorLookup *lut = lk ? dynamic_cast<ZorLookup *>(lk->getObjParam(1)) : nullptr;
    ZorOp *sc = lk ? lk->getOp1() : nullptr;
    if (!lut || !sc || !sc->getSrc1()) {
        return call.decline(WREN_CHAIN, "no lookup of a zoom feeds the display");
    }
    const wren::Window *win = call.window(op->getDst());
    if (!win) {
        return ZOR_FAILURE;
    }
    ZorImage *src = sc->getSrc1();
    if (src->getBands() != 1 || win->image->getBands() != 1 || lut->getInputNBands() != 1 || lut->getNBands() != 1) {
        return call.decline(WREN_LAYOUT, "%u source band(s), %u window band(s), lookup %u to %u: one band needed",
                            src->getBands(), win->image->getBands(), lut->getInputNBands(), lut->getNBands());
    }
    const float xs = sc->getFloatParam(1), ys = sc->getFloatParam(2);
    const int f = xs == 2.0f && ys == 2.0f ? 2 : xs == 4.0f && ys == 4.0f ? 4 : 0;
    if (!f) {
        return call.decline(WREN_PARAMETER, "zoom factors %g, %g are not both 2 or both 4", static_cast<double>(xs),
                            static_cast<double>(ys));
    }
    Placed s;
    if (!call.source(src, s)) {
        return ZOR_FAILURE;
    }
    if (s.k.type != (Short ? KL_SHORT : KL_BYTE)) {
        return call.decline(WREN_LAYOUT, "source samples of type %d: %s samples needed", s.k.type,
                            Short ? "16-bit" : "8-bit");
    }
    std::shared_ptr<const unsigned char> kept_table;
    const unsigned char *table = zoom_table<Short>(call, *lut, kept_table);
    if (!table) {
        return ZOR_FAILURE;
    }
    using Kernel = void (*)(kl_image *, kl_image *, const unsigned char *, int, int, void *);
    const Kernel k = Short ? (f == 2 ? klqdx_scale2x_16_lookup_16_8 : klqdx_scale4x_16_lookup_16_8)
                           : (f == 2 ? klqdx_scale2x_8_lookup_8_8 : klqdx_scale4x_8_lookup_8_8);
    return wren::quick_zoom(call, *win, src, s, f, f == 4 ? 16 : 8,
                            [&](kl_image *ws, kl_image *wd, int xp, int yp, void *line) { k(ws, wd, table, xp, yp, line); });
}

}  // namespace

int ZorDeviceComputeTypeWren::qdx_Scale8Lookup8_8Wren(ZorOp *op, int count) {
    return lookup_zoom<false>(op, count, "qdx_Scale8Lookup8_8Wren");
}

int ZorDeviceComputeTypeWren::qdx_Scale16Lookup16_8Wren(ZorOp *op, int count) {
    return lookup_zoom<true>(op, count, "qdx_Scale16Lookup16_8Wren");
}
