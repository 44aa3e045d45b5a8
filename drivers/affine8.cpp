// Affine warp and rotation of an 8-bit image in memory into the window, by
// nearest neighbour, bilinear or bicubic interpolation (chosen by the
// operation's number), with kl_affine for every pair of source rectangle and
// visible destination rectangle.
//
// Geometry. The forward map takes source pixel coordinates relative to the
// source's origin to window coordinates relative to the window's origin:
// x' = m0 x + m2 y + m4, y' = m1 x + m3 y + m5 (rotation by theta: m0 = m3 =
// cos theta, m2 = -m1 = sin theta, no offset). It is inverted once per call;
// half a pixel is taken off the offset so that each window pixel samples at
// its centre. The kernels see window pixels by their coordinates in the window
// image, never by their place on the screen, so moving the window does not
// move the picture.
//
// A source region of interest is taken as its rectangles (cut to the image):
// each is warped on its own, so that only window pixels mapping into one of
// them are written. The bilinear and bicubic tables are built on first use
// and kept, one pair per driver, until the device object is deleted (kept.h).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "driver_frame.h"
#include "kept.h"
#include "wren_device.h"

using wren::DriverCall;
using wren::Placed;
using wren::Rect;

namespace {

struct WarpTables {
    wren::TableCache<wren::Once, void> bilinear, bicubic;
    void release() noexcept {
        bilinear.release();
        bicubic.release();
    }
};
struct AffineTables : WarpTables {};
struct RotateTables : WarpTables {};

struct Inverse {
    float a, b, c, d, tx, ty;
};

float half_off(float v) { return static_cast<float>(static_cast<double>(v) - 0.5); }

// The warp's inverse map from the six floats of the affine parameter; false
// when the matrix is nearly singular or not finite.
bool affine_inverse(const float *m, int sox, int soy, int dox, int doy, Inverse &inv) {
    for (int i = 0; i < 6; ++i)
        if (!std::isfinite(m[i])) return false;
    const float fsx = static_cast<float>(sox), fsy = static_cast<float>(soy);
    const float txp = half_off(m[4] + ((-m[0] * fsx - m[2] * fsy) + static_cast<float>(dox)));
    const float typ = half_off(m[5] + ((-m[1] * fsx - m[3] * fsy) + static_cast<float>(doy)));
    const float det = m[0] * m[3] - m[1] * m[2];
    // The limit as a float: a determinant of 1e-5, which a float holds as a
    // little less, is accepted.
    if (!(std::fabs(static_cast<double>(det)) >= static_cast<double>(1e-5f))) return false;
    inv = {m[3] / det, -m[1] / det, -m[2] / det, m[0] / det, (m[2] * typ - m[3] * txp) / det,
           (m[1] * txp - m[0] * typ) / det};
    for (float v : {inv.a, inv.b, inv.c, inv.d, inv.tx, inv.ty})
        if (!std::isfinite(v)) return false;
    return true;
}

bool rotate_inverse(float theta, int sox, int soy, int dox, int doy, Inverse &inv) {
    if (!std::isfinite(theta)) return false;
    const float cs = static_cast<float>(std::cos(static_cast<double>(theta)));
    const float sn = static_cast<float>(std::sin(static_cast<double>(theta)));
    const float fsx = static_cast<float>(sox), fsy = static_cast<float>(soy);
    const float txp = half_off((-cs * fsx - sn * fsy) + static_cast<float>(dox));
    const float typ = half_off((sn * fsx - cs * fsy) + static_cast<float>(doy));
    inv = {cs, sn, -sn, cs, sn * typ - cs * txp, -sn * txp - cs * typ};
    return true;
}

// The table of the bilinear (which = 1) or bicubic (2) interpolation, built
// on first use; null when it cannot be.
std::shared_ptr<void> table_for(int which, WarpTables &t, bool &built) {
    return (which == 1 ? t.bilinear : t.bicubic).get({}, [which] {
        return wren::share(which == 1 ? kl_affine_create_bilinear() : kl_affine_create_bicubic(), std::free);
    }, &built);
}

int warp(ZorOp *op, int count, bool rotate, WarpTables &tables) {
    DriverCall call(op, count);
    ZorOp *w = op ? op->getOp1() : nullptr;
    if (!w) {
        return call.decline(WREN_CHAIN, "no operation feeds the display");
    }
    static const char *const names[2][3] = {{"affine8nearest", "affine8bilinear", "affine8bicubic"},
                                            {"rotate8nearest", "rotate8bilinear", "rotate8bicubic"}};
    const char *const interps[3] = {"nearest", "bilinear", "bicubic"};
    int which = 2;
    for (int i = 0; i < 2; ++i) {
        if (ZorLookupOpNumber(names[rotate][i]) == w->getOp()) {
            which = i;
            break;
        }
    }
    const char *interp = interps[which];
    bool built = false;
    const std::shared_ptr<void> kept_table = which ? table_for(which, tables, built) : nullptr;
    void *table = kept_table.get();
    if (which && !table) {
        return call.decline(WREN_SCRATCH, "no memory for the %s filter table", interp);
    }
    if (built) call.note("%s table built", interp);

    Placed s;
    const wren::Window *win = call.window(op->getDst());
    if (!win || !call.source(w->getSrc1(), s)) {
        return ZOR_FAILURE;
    }
    if (win->dio->depth != 8 && win->dio->depth != 24) {
        return call.decline(WREN_NO_WINDOW, "window of depth %d", win->dio->depth);
    }
    kl_image kd = win->k;
    if (!kl_affine_possible(&kd, &s.k, interp)) {
        return call.decline(WREN_LAYOUT, "no %s kernel for %d-byte source pixels (mask %#x) into %d-byte (mask %#x)",
                            interp, s.k.bpp, s.k.bmask, kd.bpp, kd.bmask);
    }
    if (static_cast<long long>(s.k.lb) * s.k.h > INT32_MAX || s.k.lb < 0) {
        return call.decline(WREN_LAYOUT, "source rows %d bytes apart too far for row offsets", s.k.lb);
    }

    // The source's rectangles, cut to the image; none when it has no region.
    std::vector<Rect> srcs;
    bool have_roi = false;
    if (ZorRoi *roi = w->getSrc1()->getRoi()) {
        have_roi = true;
        ZorHandle<ZorRectList> list(roi->getRectList());
        if (!list) {
            return call.decline(WREN_RECT_LIST, "no rectangle list of the source region");
        }
        try {
            srcs.reserve(list->size());
            Rect r;
            while (list->getNext(&r.x, &r.y, &r.w, &r.h)) {
                const int x0 = r.x < 0 ? 0 : r.x, y0 = r.y < 0 ? 0 : r.y;
                const long long x1 = std::min<long long>(static_cast<long long>(r.x) + r.w, s.k.w);
                const long long y1 = std::min<long long>(static_cast<long long>(r.y) + r.h, s.k.h);
                if (x1 > x0 && y1 > y0) srcs.push_back({x0, y0, static_cast<int>(x1 - x0), static_cast<int>(y1 - y0)});
            }
        } catch (const std::bad_alloc &) {
            return call.decline(WREN_RECT_LIST, "no memory for the source rectangles");
        }
    }
    auto *ro = static_cast<int *>(call.line_buffer(sizeof(int) * static_cast<std::size_t>(s.k.h)));
    if (!ro) {
        return ZOR_FAILURE;
    }
    for (int i = 0; i < s.k.h; ++i) ro[i] = i * s.k.lb;

    if (!call.region(win->image->getImageSpaceRoi(), false)) {
        return ZOR_FAILURE;
    }
    const wren::Visible *vis = call.clip();
    if (!vis || !call.raster_setup()) {
        return ZOR_FAILURE;
    }
    Inverse inv{};
    if (rotate) {
        if (!rotate_inverse(w->getFloatParam(1), s.ox, s.oy, win->ox, win->oy, inv)) {
            return call.decline(WREN_PARAMETER, "angle is not a finite number");
        }
    } else {
        const float *m = static_cast<const float *>(w->getPtrParam(1));
        if (!m) {
            return call.decline(WREN_PARAMETER, "no matrix");
        }
        if (!affine_inverse(m, s.ox, s.oy, win->ox, win->oy, inv)) {
            return call.decline(WREN_PARAMETER, "matrix (%g %g %g %g %g %g) is nearly singular or not finite", m[0],
                                m[1], m[2], m[3], m[4], m[5]);
        }
    }

    for (const Rect &r : vis->rects) {
        kl_image wd = vis->at(r);
        // Window pixels by their coordinates in the window image.
        wd.x = r.x + win->ox;
        wd.y = r.y + win->oy;
        if (!have_roi) {
            kl_affine(&wd, &s.k, interp, ro, table, inv.a, inv.b, inv.c, inv.d, inv.tx, inv.ty);
            continue;
        }
        for (const Rect &q : srcs) {
            kl_image ws = wren::narrow(s.k, 0, 0, q, 0, q.h);
            kl_affine(&wd, &ws, interp, ro, table, inv.a, inv.b, inv.c, inv.d, inv.tx - static_cast<float>(q.x),
                      inv.ty - static_cast<float>(q.y));
        }
    }
    return call.computed();
}

}  // namespace

int ZorDeviceComputeTypeWren::Affine8Wren(ZorOp *op, int count) {
    return warp(op, count, false, wren::kept<AffineTables>());
}

int ZorDeviceComputeTypeWren::Rotate8Wren(ZorOp *op, int count) {
    return warp(op, count, true, wren::kept<RotateTables>());
}
