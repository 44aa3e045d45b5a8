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

using wren::Rect;

namespace {

using wren::Masks;

// Variants 0, 1, 2: nearest, bilinear, bicubic; only nearest has a kernel
// for 4-sample pixels.
constexpr wren::Layout layouts[] = {
    {1, 0, 1, Masks::any},
    {3, 0, 4, Masks::full},
    {4, 0, 4, Masks::full, wren::Stage::direct, 0, 1},
};
const char *const interps[3] = {"nearest", "bilinear", "bicubic"};

// The bilinear (1) and bicubic (2) tables of each driver, made on first use.
template <bool Rotate, int Which>
struct WarpTable : wren::TableCache<wren::Once, void> {};

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

template <bool Rotate>
int variant(ZorOp *const *ops) {
    static const char *const names[2][2] = {{"affine8nearest", "affine8bilinear"}, {"rotate8nearest", "rotate8bilinear"}};
    for (int i = 0; i < 2; ++i)
        if (ZorLookupOpNumber(names[Rotate][i]) == ops[0]->getOp()) return i;
    return 2;
}

struct Params {
    std::shared_ptr<void> table;  // bilinear and bicubic, held for the call
    std::vector<Rect> srcs;       // the source's rectangles, cut to the image
    bool have_roi = false;
    int *ro = nullptr;            // row offsets of the source
    Inverse inv{};
};

template <bool Rotate>
bool parse(wren::Ctx &c) {
    Params &p = c.p<Params>();
    const char *interp = interps[c.variant];
    const kl_image &ks = c.src[0].k;
    if (c.variant) {
        bool built = false;
        const auto make = [&] {
            return wren::share(c.variant == 1 ? kl_affine_create_bilinear() : kl_affine_create_bicubic(), std::free);
        };
        p.table = c.variant == 1 ? wren::kept<WarpTable<Rotate, 1>>().get({}, make, &built)
                                 : wren::kept<WarpTable<Rotate, 2>>().get({}, make, &built);
        if (!p.table) {
            return c.refuse(WREN_SCRATCH, "no memory for the %s filter table", interp);
        }
        if (built) c.note("%s table built", interp);
    }
    kl_image kd = c.win.k, src = ks;
    if (!kl_affine_possible(&kd, &src, interp)) {
        return c.refuse(WREN_LAYOUT, "no %s kernel for %d-byte source pixels (mask %#x) into %d-byte (mask %#x)",
                        interp, ks.bpp, ks.bmask, kd.bpp, kd.bmask);
    }
    if (static_cast<long long>(ks.lb) * ks.h > INT32_MAX || ks.lb < 0) {
        return c.refuse(WREN_LAYOUT, "source rows %d bytes apart too far for row offsets", ks.lb);
    }
    if (Rotate) {
        if (!rotate_inverse(c.op->getFloatParam(1), c.src[0].ox, c.src[0].oy, c.win.ox, c.win.oy, p.inv)) {
            return c.refuse(WREN_PARAMETER, "angle is not a finite number");
        }
    } else {
        const float *m = static_cast<const float *>(c.op->getPtrParam(1));
        if (!m) return c.refuse(WREN_PARAMETER, "no matrix");
        if (!affine_inverse(m, c.src[0].ox, c.src[0].oy, c.win.ox, c.win.oy, p.inv)) {
            return c.refuse(WREN_PARAMETER, "matrix (%g %g %g %g %g %g) is nearly singular or not finite", m[0], m[1],
                            m[2], m[3], m[4], m[5]);
        }
    }
    if (ZorRoi *roi = c.op->getSrc1()->getRoi()) {
        p.have_roi = true;
        ZorHandle<ZorRectList> list(roi->getRectList());
        if (!list) return c.refuse(WREN_RECT_LIST, "no rectangle list of the source region");
        try {
            p.srcs.reserve(list->size());
            Rect r;
            while (list->getNext(&r.x, &r.y, &r.w, &r.h)) {
                const int x0 = r.x < 0 ? 0 : r.x, y0 = r.y < 0 ? 0 : r.y;
                const long long x1 = std::min<long long>(static_cast<long long>(r.x) + r.w, ks.w);
                const long long y1 = std::min<long long>(static_cast<long long>(r.y) + r.h, ks.h);
                if (x1 > x0 && y1 > y0) p.srcs.push_back({x0, y0, static_cast<int>(x1 - x0), static_cast<int>(y1 - y0)});
            }
        } catch (const std::bad_alloc &) {
            return c.refuse(WREN_RECT_LIST, "no memory for the source rectangles");
        }
    }
    if (!(p.ro = static_cast<int *>(c.line_buffer(sizeof(int) * static_cast<std::size_t>(ks.h))))) return false;
    for (int i = 0; i < ks.h; ++i) p.ro[i] = i * ks.lb;
    return true;
}

wren::Region window_region(wren::Ctx &c) { return {c.image->getImageSpaceRoi(), false}; }

void kernel(wren::Job &j) {
    Params &p = j.c.p<Params>();
    const char *interp = interps[j.c.variant];
    const Inverse &v = p.inv;
    // Window pixels by their coordinates in the window image.
    j.dst.x = j.r.x + j.c.win.ox;
    j.dst.y = j.r.y + j.c.win.oy;
    kl_image s = j.c.src[0].k;
    if (!p.have_roi) {
        kl_affine(&j.dst, &s, interp, p.ro, p.table.get(), v.a, v.b, v.c, v.d, v.tx, v.ty);
        return;
    }
    for (const Rect &q : p.srcs) {
        kl_image ws = wren::narrow(s, 0, 0, q, 0, q.h);
        kl_affine(&j.dst, &ws, interp, p.ro, p.table.get(), v.a, v.b, v.c, v.d, v.tx - static_cast<float>(q.x),
                  v.ty - static_cast<float>(q.y));
    }
}

template <bool Rotate>
constexpr wren::DriverPlan warp_plan() {
    return {.layouts = layouts,
            .region = window_region,
            .reads = wren::Reads::kernel,
            .variant = variant<Rotate>,
            .parse = parse<Rotate>,
            .kernel = kernel};
}

}  // namespace

const wren::DriverPlan wren::affine8_plan = warp_plan<false>(), wren::rotate8_plan = warp_plan<true>();

int ZorDeviceComputeTypeWren::Affine8Wren(ZorOp *op, int count) {
    return wren::run<Params>(wren::affine8_plan, op, count);
}

int ZorDeviceComputeTypeWren::Rotate8Wren(ZorOp *op, int count) {
    return wren::run<Params>(wren::rotate8_plan, op, count);
}
