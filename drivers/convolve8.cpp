// Convolution into a window: a square 3x3, 5x5 or 7x7 kernel (ConvolveWren),
// or an N x 1 and a 1 x N kernel chained, computed as one separable N x N
// convolution (ConvolveSPWren).
//
// The kernels correlate, so each driver hands them its own reversed copy of
// the coefficients. Each rectangle's source copy carries the real pixels
// around it (the frame's narrowing), so only pixels at the source image's
// edges are left out; with zero fill the border strips of the rectangle are
// cleared first and the kernel overwrites what it can compute.
//
// One band each side: the kernel runs on the window directly. Otherwise
// (24-bit windows) the frame takes bands one by one through one-band images,
// the source band with up to r real pixels around the rectangle.
#include "driver_frame.h"
#include "wren_device.h"

#include <cmath>
#include <cstdlib>
#include <memory>

using wren::Rect;

namespace {

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using Floats = std::unique_ptr<float[], FreeDeleter>;

// The coefficients reversed into memory of the driver's own; null (reported
// as "di-1" at line) when it cannot be allocated.
Floats reversed(const ZorKernel *k, unsigned n, int line, const char *unit) {
    Floats c(static_cast<float *>(std::malloc(n * sizeof(float))));
    if (!c) {
        ZorSystemState::notifyError(k->getSystemState(), 1, "di-1", 1, line, unit, nullptr);
        return c;
    }
    const float *v = k->getValue();
    for (unsigned i = 0; i < n; ++i) c[n - 1 - i] = v[i];
    return c;
}

bool centred(const ZorKernel *k) {
    return static_cast<int16_t>(k->getKeyX()) == static_cast<int>(k->getWidth() / 2) &&
           static_cast<int16_t>(k->getKeyY()) == static_cast<int>(k->getHeight() / 2);
}

// The four border strips of a w x h area for radius r, as areas (x, y, w, h).
void strips(int w, int h, int r, Rect out[4]) {
    const int a = r < w ? r : w, b = r < h ? r : h;
    out[0] = Rect{0, 0, a, h};
    out[1] = Rect{w - a, 0, a, h};
    out[2] = Rect{0, 0, w, b};
    out[3] = Rect{0, h - b, w, b};
}

// One band each side runs on the window directly; any other layout with as
// many selected bands each side goes band by band.
constexpr wren::Layout layouts[] = {
    {1, 0, 1, wren::Masks::count},
    {0, 0, 0, wren::Masks::count, wren::Stage::by_band},
};

struct Params {
    Floats k, h, v;  // the reversed coefficients: general, or horizontal and vertical
    int n = 0;       // taps each way
    long edge = 0;
};

// With zero fill the rectangle's border strips are cleared first; the kernel
// overwrites what it can compute.
void kernel(wren::Job &j) {
    const Params &p = j.c.p<Params>();
    if (p.edge == KL_EDGE_ZERO_FILL) {
        static const short zero[4] = {0, 0, 0, 0};
        Rect st[4];
        strips(j.r.w, j.r.h, p.n / 2, st);
        for (const Rect &r : st) {
            kl_image q = wren::narrow(j.dst, 0, 0, r, 0, r.h);
            kl_setval_8(1, &q, zero);
        }
    }
    const int mask = j.dst.bmask | j.src[0].bmask, e = static_cast<int>(p.edge);
    if (p.k) {
        (p.n == 3 ? kl_convolve3x3_8 : p.n == 5 ? kl_convolve5x5_8 : kl_convolve7x7_8)(mask, &j.dst, &j.src[0], p.k.get(), e, 1);
    } else {
        (p.n == 3 ? kl_sconvolve3x3_8 : p.n == 5 ? kl_sconvolve5x5_8 : kl_sconvolve7x7_8)(mask, &j.dst, &j.src[0], p.h.get(),
                                                                                        p.v.get(), e);
    }
}

// The region the host makes from the destination and its sources (and, for
// the chain, the intermediate image).
wren::Region region(wren::Ctx &c) {
    ZorRoi *roi = nullptr;
    ZorImage *other = c.op == c.ops[0] ? nullptr : c.ops[0]->getSrc1();
    return {ZoriGetRoiList(&roi, c.display->getDst(), c.op->getSrc1(), other, nullptr) == ZOR_SUCCESS ? roi : nullptr};
}

// Checks both drivers make once the images are known.
bool images(wren::Ctx &c, int n) {
    Params &p = c.p<Params>();
    if (c.win.k.w <= 8) return c.refuse(WREN_LAYOUT, "window %d pixels wide: more than 8 needed", c.win.k.w);
    p.n = n;
    c.margin = n / 2;
    return true;
}

// Edge modes the kernels act on: no write and zero fill (extend is declined,
// and any other value would write nothing yet report success).
bool edge_ok(long e) { return e == KL_EDGE_NO_WRITE || e == KL_EDGE_ZERO_FILL; }

constexpr const char *kEdges = "the device computes no write (0) and zero fill (1)";

bool general(wren::Ctx &c) {
    Params &p = c.p<Params>();
    const ZorKernel *kernel = dynamic_cast<ZorKernel *>(c.op->getObjParam(1));
    if (!kernel) return c.refuse(WREN_PARAMETER, "no kernel");
    const unsigned w = kernel->getWidth(), h = kernel->getHeight();
    if (w != h || (w != 3 && w != 5 && w != 7) || !centred(kernel)) {
        return c.refuse(WREN_PARAMETER, "%ux%u kernel keyed at (%d, %d): 3x3, 5x5 or 7x7 keyed at the centre", w, h,
                        kernel->getKeyX(), kernel->getKeyY());
    }
    p.edge = c.op->getLongParam(2);
    if (!edge_ok(p.edge)) return c.refuse(WREN_PARAMETER, "edge mode %ld: %s; the host computes extend (2)", p.edge, kEdges);
    const unsigned n = w * h;
    if (!(p.k = reversed(kernel, n, 116, c.plan.name))) return c.refuse(WREN_SCRATCH, "no memory for the coefficients");
    for (unsigned i = 0; i < n; ++i) {
        const float a = std::fabs(p.k[i]);
        if (!(a <= 30.0f) || (a > 0.0f && a < 1.0f / 1024)) {
            return c.refuse(WREN_PARAMETER, "coefficient %g outside 1/1024 .. 30", static_cast<double>(p.k[i]));
        }
    }
    if (c.op->getOp() == ZorLookupOpNumber("convolve8")) {
        // The fixed-point sum of the coefficients must fit 16 bits.
        float sum = 0.0f;
        for (unsigned i = 0; i < n; ++i) sum = static_cast<float>(static_cast<double>(sum) + p.k[i] * 256.0);
        if (sum > 32767.0f) return c.refuse(WREN_PARAMETER, "coefficient sum x 256 = %g exceeds 32767", static_cast<double>(sum));
    }
    return images(c, static_cast<int>(w));
}

// The inner operation reads the source, the outer the inner's result.
bool separable(wren::Ctx &c) {
    Params &p = c.p<Params>();
    ZorOp *outer = c.ops[0], *inner = c.ops[1];
    const ZorKernel *ki = dynamic_cast<ZorKernel *>(inner->getObjParam(1));
    const ZorKernel *ko = dynamic_cast<ZorKernel *>(outer->getObjParam(1));
    if (!ki || !ko) return c.refuse(WREN_PARAMETER, "no kernel");
    const long ei = inner->getLongParam(2), eo = outer->getLongParam(2);
    if (ei != eo || !edge_ok(ei)) {
        return c.refuse(WREN_PARAMETER, "edge modes %ld and %ld: %s, the same for both; the host computes extend (2)", ei,
                        eo, kEdges);
    }
    p.edge = ei;
    const unsigned iw = ki->getWidth(), ih = ki->getHeight(), ow = ko->getWidth(), oh = ko->getHeight();
    const unsigned N = iw > ih ? iw : ih;
    const bool paired = (N == 3 || N == 5 || N == 7) && iw * ih == N && ow == ih && oh == iw;
    if (!paired || !centred(ki) || !centred(ko)) {
        return c.refuse(WREN_PARAMETER, "%ux%u then %ux%u: N x 1 and 1 x N (N = 3, 5, 7) keyed at the centre", iw, ih,
                        ow, oh);
    }
    const ZorKernel *kv = iw == 1 ? ki : ko, *kh = iw == 1 ? ko : ki;
    if (!(p.v = reversed(kv, N, 166, c.plan.name)) || !(p.h = reversed(kh, N, 183, c.plan.name))) {
        return c.refuse(WREN_SCRATCH, "no memory for the coefficients");
    }
    const float limit = N == 3 ? 31.0f : 15.0f;
    for (unsigned i = 0; i < N; ++i) {
        if (!(std::fabs(p.v[i]) <= limit) || !(std::fabs(p.h[i]) <= limit)) {
            return c.refuse(WREN_PARAMETER, "coefficient beyond %g", static_cast<double>(limit));
        }
    }
    return images(c, static_cast<int>(N));
}

}  // namespace

const wren::DriverPlan wren::convolve8_plan{
    .name = "ConvolveWren", .layouts = layouts, .region = region, .parse = general, .kernel = kernel};
const wren::DriverPlan wren::convolve_sp_plan{
    .name = "ConvolveSPWren", .depth = 2, .layouts = layouts, .region = region, .parse = separable, .kernel = kernel};

int ZorDeviceComputeTypeWren::ConvolveWren(ZorOp *op, int count) {
    return wren::run<Params>(wren::convolve8_plan, op, count);
}

int ZorDeviceComputeTypeWren::ConvolveSPWren(ZorOp *op, int count) {
    return wren::run<Params>(wren::convolve_sp_plan, op, count);
}
