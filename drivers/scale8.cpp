// Scaling of an 8-bit image in memory into the window by (xscale, yscale):
// nearest neighbour, bilinear, bicubic, or the filter of two interpolation
// tables, with kl_scale per visible rectangle.
//
// Geometry. Window image-space pixel X shows the source at image-space
// position (X + 0.5) / xscale, the centre of the destination pixel, source
// pixel k covering [k, k + 1) from its origin on, fraction included (rows
// likewise). The region drawn is every window pixel whose centre shows a
// pixel of the source's region; the tables do not write a destination pixel
// whose filter footprint leaves the source, so every read lies inside the
// source whatever the rectangle.
//
// Exact 2x and 4x bilinear zooms of one band go to the quick zoom when its
// grid samples where this path does (see quick_zoom). A 3-sample
// source into a 4-sample window is scaled into 3-band scratch rows (holding
// the window's samples first), then widened into the window. Everything a
// rectangle needs is allocated before the first one is drawn, so a decline
// leaves the window as it was.
#include "driver_frame.h"
#include "kept.h"
#include "wren_device.h"

#include <cmath>
#include <memory>
#include <new>
#include <vector>

using wren::Rect;

namespace {

using wren::Masks;

constexpr wren::Layout layouts[] = {
    {1, 0, 1, Masks::any},
    {4, 0, 4, Masks::any},
    {3, 0, 4, Masks::any, wren::Stage::expand, 3},
};

// The process-wide nearest (0), bilinear (1) and bicubic (2) tables, each
// made on first use (kept.h).
template <int Which>
struct ScaleTable : wren::TableCache<wren::Once, kl_resample_table> {};

template <int Which>
std::shared_ptr<kl_resample_table> fixed_table() noexcept {
    return wren::kept<ScaleTable<Which>>().get({}, [] {
        return wren::share(Which == 0   ? kl_resample_create_nearest(KL_EDGE_NO_WRITE)
                           : Which == 1 ? kl_resample_create_bilinear(256, 256, 8, KL_EDGE_NO_WRITE)
                                        : kl_resample_create_bicubic(256, 256, 8, KL_EDGE_NO_WRITE),
                           kl_resample_destroy);
    });
}

// The general table of the operation's two interpolation tables.
kl_resample_table *general(ZorOp *sc) {
    auto *h = dynamic_cast<ZorInterpolationTable *>(sc->getObjParam(3));
    auto *v = dynamic_cast<ZorInterpolationTable *>(sc->getObjParam(4));
    if (!h || !v) return nullptr;
    return kl_resample_create_general(h->getData(), v->getData(), h->getSubsamples(), v->getSubsamples(),
                                      h->getKernelSize(), v->getKernelSize(), 8, KL_EDGE_NO_WRITE, KL_EDGE_NO_WRITE);
}

struct Geometry {
    float xs, ys;
    float sox, soy;  // source origin
};

struct Params {
    std::shared_ptr<kl_resample_table> table;  // held for the call
    Geometry g{};
    void *work = nullptr;  // the resampler's workspace
};

// kl_scale's translation for a rectangle at image-space (x, y), row `row` on.
float xtrans_of(const Geometry &g, int x) { return static_cast<float>((-g.sox * g.xs - x) - 0.5); }
float ytrans_of(const Geometry &g, int y) { return static_cast<float>((-g.soy * g.ys - y) - 0.5); }

// An exact 2x or 4x bilinear zoom of one band into a one-band window that
// the quick zoom draws at this path's sample positions. Its grid shows
// source pixel k (counted from the origin rounded to a whole pixel) at
// window column f k, this path at the window pixel whose centre lies at
// source position k + 0.5 from the origin as given: the same positions only
// when the origin lies (f - 1) / (2 f) past the whole number it rounds to.
bool quick_zoom(ZorOp *op, ZorOp *sc) {
    if (!sc || sc->getOp() != ZorLookupOpNumber("scale8bilinear") || !sc->getSrc1() || !op->getDst()) return false;
    const float xs = sc->getFloatParam(1), ys = sc->getFloatParam(2);
    if (sc->getSrc1()->getBands() != 1 || op->getDst()->getBands() != 1 || xs != ys || (xs != 2.0f && xs != 4.0f))
        return false;
    float sox = 0, soy = 0;
    int ox = 0, oy = 0;
    sc->getSrc1()->getOrigin(&sox, &soy);
    sc->getSrc1()->getOrigin(&ox, &oy);
    const double past = (xs - 1.0) / (2.0 * xs);
    return static_cast<double>(sox) - ox == past && static_cast<double>(soy) - oy == past;
}

// Window pixels [*b0, *b1) whose centres fall in [e0, e1), widened by a
// hair so that no pixel the resampler writes (its translation is rounded
// to single precision) is left out; false beyond the host's coordinates.
bool centres(double e0, double e1, int *b0, int *b1) {
    const double lo = std::ceil(e0 - 0.5 - 1e-6 * (1 + std::fabs(e0)));
    const double hi = std::ceil(e1 - 0.5 + 1e-6 * (1 + std::fabs(e1)));
    if (!(std::fabs(lo) <= ZOR_COORD_LIMIT) || !(std::fabs(hi) <= ZOR_COORD_LIMIT)) return false;
    *b0 = static_cast<int>(lo);
    *b1 = static_cast<int>(hi);
    return true;
}

// The window image-space pixels whose centres show a pixel of the source's
// region: its rectangles placed at the source origin as given (the host's
// image-space region rounds it to a whole pixel) and scaled about (0, 0).
// Null when it cannot be made.
ZorRoi *scaled_region(ZorImage *src, const Geometry &g) {
    ZorRoi *roi = src->getImageSpaceRoi();
    ZorHandle<ZorRectList> list(roi ? roi->getRectList() : nullptr);
    if (!list) return nullptr;
    int ox = 0, oy = 0;
    src->getOrigin(&ox, &oy);
    const double dx = ox - static_cast<double>(g.sox), dy = oy - static_cast<double>(g.soy);
    try {
        std::vector<ZorRect> rects;
        rects.reserve(list->size());
        ZorRect r;
        while (list->getNext(&r.x, &r.y, &r.w, &r.h)) {
            int x0, x1, y0, y1;
            if (!centres((r.x + dx) * g.xs, (r.x + dx + r.w) * g.xs, &x0, &x1) ||
                !centres((r.y + dy) * g.ys, (r.y + dy + r.h) * g.ys, &y0, &y1))
                return nullptr;
            if (x1 > x0 && y1 > y0) rects.push_back({x0, y0, x1 - x0, y1 - y0});
        }
        return rects.empty() ? ZorRoi::create() : ZorRoi::create(rects.data(), rects.size());
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

bool parse(wren::Ctx &c) {
    Params &p = c.p<Params>();
    const int which = c.op->getOp();
    if (which == ZorLookupOpNumber("scale8general")) {
        if (!(p.table = wren::share(general(c.op), kl_resample_destroy))) {
            return c.refuse(WREN_PARAMETER, "no filter of 1 to 8 taps from the interpolation tables");
        }
    } else {
        p.table = which == ZorLookupOpNumber("scale8nearest")    ? fixed_table<0>()
                  : which == ZorLookupOpNumber("scale8bilinear") ? fixed_table<1>()
                  : which == ZorLookupOpNumber("scale8bicubic")  ? fixed_table<2>()
                                                                 : nullptr;
        if (!p.table) return c.refuse(WREN_SCRATCH, "no resample table for operation %d", which);
    }
    Geometry &g = p.g;
    g = {c.op->getFloatParam(1), c.op->getFloatParam(2), 0.0f, 0.0f};
    c.op->getSrc1()->getOrigin(&g.sox, &g.soy);
    // Compared with the float nearest 0.0001, so that a factor given as
    // 0.0001 is accepted.
    if (!(g.xs >= 0.0001f) || !(g.ys >= 0.0001f) || !std::isfinite(g.xs) || !std::isfinite(g.ys)) {
        return c.refuse(WREN_PARAMETER, "scale %g, %g below 0.0001", static_cast<double>(g.xs),
                        static_cast<double>(g.ys));
    }
    return true;
}

wren::Region region(wren::Ctx &c) {
    ZorRoi *roid = c.image->getImageSpaceRoi();
    ZorHandle<ZorRoi> scaled(scaled_region(c.op->getSrc1(), c.p<Params>().g));
    return {roid && scaled ? scaled->intersect(roid) : nullptr};
}

// The workspace of the largest rectangle, before anything is drawn.
bool workspace(wren::Ctx &c) {
    Params &p = c.p<Params>();
    const bool widen = c.layout->stage == wren::Stage::expand;
    long most = 0;
    for (const Rect &r : c.rects) {
        kl_image wd = c.at(r), staged = wd;
        if (widen) kl_initimage(&staged, KL_BYTE, 3, r.w, r.h, wd.data, 0);
        kl_image src = c.src[0].k;
        const long n = kl_scale_worksize(-1, widen ? &staged : &wd, &src, p.g.xs, p.g.ys, xtrans_of(p.g, r.x),
                                         ytrans_of(p.g, r.y), p.table.get());
        if (n < 0) return c.refuse(WREN_PARAMETER, "rectangle (%d, %d, %d, %d) cannot be scaled", r.x, r.y, r.w, r.h);
        most = n > most ? n : most;
    }
    return !most || (p.work = c.line_buffer(static_cast<std::size_t>(most)));
}

// Pixels the table does not write keep the window's samples.
void kernel(wren::Job &j) {
    Params &p = j.c.p<Params>();
    kl_image src = j.c.src[0].k;
    if (!kl_scale_work(-1, &j.dst, &src, p.g.xs, p.g.ys, xtrans_of(p.g, j.r.x), ytrans_of(p.g, j.r.y + j.row),
                       p.table.get(), p.work))
        j.c.walk_failed = "a rectangle could not be scaled";
}

}  // namespace

// No source read to check: the tables never read outside the source.
const wren::DriverPlan wren::scale8_plan{.layouts = layouts,
                                         .region = region,
                                         .reads = Reads::kernel,
                                         .planes = Planes::all,
                                         .partial = true,
                                         .parse = parse,
                                         .visible = workspace,
                                         .kernel = kernel};

int ZorDeviceComputeTypeWren::Scale8Wren(ZorOp *op, int count) {
    // The quick zoom records its own outcome.
    if (op && quick_zoom(op, op->getOp1())) return qdx_Scale8Wren(op);
    return wren::run<Params>(wren::scale8_plan, op, count);
}
