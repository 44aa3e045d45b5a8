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
// (24-bit windows) bands are filtered one by one through one-band scratch
// images: the source band with up to r real pixels around the rectangle, the
// target band prefilled with the window's band in the border strips (no
// write) or zeros (zero fill). A 24-bit window whose visible region is one
// rectangle gets all three bands at once through the combine kernel; else
// each band is inserted.
#include "driver_frame.h"
#include "wren_device.h"

#include <cmath>
#include <cstdlib>
#include <memory>

using wren::DriverCall;
using wren::Placed;
using wren::Rect;

namespace {

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using Floats = std::unique_ptr<float[], FreeDeleter>;

struct ImageDeleter {
    void operator()(kl_image *k) const { kl_destroyimage(k); }
};
using Image = std::unique_ptr<kl_image, ImageDeleter>;

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
int strips(int w, int h, int r, Rect out[4]) {
    const int a = r < w ? r : w, b = r < h ? r : h;
    out[0] = Rect{0, 0, a, h};
    out[1] = Rect{w - a, 0, a, h};
    out[2] = Rect{0, 0, w, b};
    out[3] = Rect{0, h - b, w, b};
    return 4;
}

kl_image part(const kl_image &k, const Rect &p) {
    kl_image q = k;
    q.data = k.data + static_cast<std::ptrdiff_t>(p.y) * k.lb + static_cast<std::ptrdiff_t>(p.x) * k.bpp;
    q.w = p.w;
    q.h = p.h;
    return q;
}

// A w x h one-band view at the start of scratch image t.
kl_image view(const kl_image &t, int w, int h) {
    kl_image q = t;
    q.w = w;
    q.h = h;
    return q;
}

using Filter = void (*)(int mask, kl_image *dst, kl_image *src, const void *ctx);

// Everything after the kernel checks, both drivers: adaption, layout checks,
// region, clip, raster setup and the rectangle walk.
int convolve(DriverCall &call, ZorOp *op, ZorImage *src, ZorImage *other, int r, int edge, Filter filter,
             const void *ctx) {
    const wren::Window *win = call.window(op->getDst());
    Placed s;
    if (!win || !call.source(src, s)) {
        return ZOR_FAILURE;
    }
    const kl_image &D = win->k, &S = s.k;
    if (num_bits[S.bmask & 15] != num_bits[D.bmask & 15] || S.type != D.type || S.type != KL_BYTE) {
        return call.decline(WREN_LAYOUT, "source of %d band(s), type %d, into %d window band(s), type %d",
                            num_bits[S.bmask & 15], S.type, num_bits[D.bmask & 15], D.type);
    }
    if (D.w <= 8) {
        return call.decline(WREN_LAYOUT, "window %d pixels wide: more than 8 needed", D.w);
    }
    ZorRoi *roi = nullptr;
    if (ZoriGetRoiList(&roi, op->getDst(), src, other, nullptr) != ZOR_SUCCESS || !call.region(roi)) {
        return call.decline(WREN_REGION, "no region to compute");
    }
    const wren::Visible *vis = call.clip({{&s}});
    if (!vis || !call.raster_setup()) {
        return ZOR_FAILURE;
    }
    static const short zero[4] = {0, 0, 0, 0};
    Rect st[4];

    if (S.bands == 1 && D.bands == 1) {
        const int mask = S.bmask | D.bmask;
        for (const Rect &rc : vis->rects) {
            kl_image wd = vis->at(rc), ws = wren::at(s, rc);
            if (edge == KL_EDGE_ZERO_FILL) {
                for (int i = 0, n = strips(rc.w, rc.h, r, st); i < n; ++i) {
                    kl_image p = part(wd, st[i]);
                    kl_setval_8(1, &p, zero);
                }
            }
            filter(mask, &wd, &ws, ctx);
        }
        return call.computed();
    }

    // Band by band. The rounds pair the source's and the window's bands from
    // their lowest set bits up; a bit its image does not select is skipped
    // (its band would be taken from nothing).
    int sbit[4], dbit[4], rounds = 0;
    for (int sb = S.bmask & -S.bmask, db = D.bmask & -D.bmask, i = 0; i < num_bits[D.bmask & 15];
         ++i, sb <<= 1, db <<= 1) {
        if ((sb & S.bmask) && (db & D.bmask)) {
            sbit[rounds] = sb;
            dbit[rounds++] = db;
        }
    }
    int maxw = 1, maxh = 1;
    for (const Rect &rc : vis->rects) {
        maxw = rc.w > maxw ? rc.w : maxw;
        maxh = rc.h > maxh ? rc.h : maxh;
    }
    Image t1(kl_createimage(KL_BYTE, 1, maxw + 2 * r, maxh + 2 * r, nullptr, 8));
    Image t[3];
    t[0].reset(t1 ? kl_createimage(KL_BYTE, 1, maxw, maxh, nullptr, 8) : nullptr);
    if (!t1 || !t[0]) {
        return call.decline(WREN_SCRATCH, "no memory for one-band images of %dx%d pixels", maxw + 2 * r, maxh + 2 * r);
    }
    bool combine = D.bands == 4 && (D.bmask & 15) == 7 && vis->rects.size() == 1 && rounds == 3;
    if (combine) {
        t[1].reset(kl_copyimage(t[0].get(), 1));
        t[2].reset(t[1] ? kl_copyimage(t[0].get(), 1) : nullptr);
        combine = t[1] && t[2];
    }
    call.note("%d band(s) %s", rounds, combine ? "combined" : "inserted");
    for (const Rect &rc : vis->rects) {
        kl_image wd = vis->at(rc), ws = wren::at(s, rc);
        // The source rectangle with the real pixels around it, up to r.
        const auto upto = [r](long v) { return static_cast<int>(v < 0 ? 0 : v > r ? r : v); };
        const int l = upto(ws.x), tp = upto(ws.y), rr = upto(ws.padx), b = upto(ws.pady);
        kl_image around = ws;
        around.data = ws.data - static_cast<std::ptrdiff_t>(tp) * ws.lb - static_cast<std::ptrdiff_t>(l) * ws.bpp;
        around.w = rc.w + l + rr;
        around.h = rc.h + tp + b;
        kl_image whole = view(*t1, around.w, around.h), inner = part(whole, Rect{l, tp, rc.w, rc.h});
        inner.x = l;
        inner.y = tp;
        inner.padx = rr;
        inner.pady = b;
        for (int k = 0; k < rounds; ++k) {
            kl_band_extract_8(sbit[k], &whole, &around);
            kl_image target = view(*t[combine ? k : 0], rc.w, rc.h);
            for (int i = 0, n = strips(rc.w, rc.h, r, st); i < n; ++i) {
                kl_image p = part(target, st[i]), w = part(wd, st[i]);
                if (edge == KL_EDGE_ZERO_FILL) {
                    kl_setval_8(1, &p, zero);
                } else {
                    kl_band_extract_8(dbit[k], &p, &w);
                }
            }
            filter(target.bmask | inner.bmask, &target, &inner, ctx);
            if (!combine) kl_band_insert_8(dbit[k], &wd, &target);
        }
        if (combine) {
            kl_image b1 = view(*t[2], rc.w, rc.h), b2 = view(*t[1], rc.w, rc.h), b3 = view(*t[0], rc.w, rc.h);
            kl_combine_wren(&wd, &b1, &b2, &b3);
        }
    }
    return call.computed();
}

struct General {
    float *k;
    int edge;
};
struct Separable {
    float *h, *v;
    int edge;
};

template <int N>
void general(int mask, kl_image *d, kl_image *s, const void *ctx) {
    const General &g = *static_cast<const General *>(ctx);
    (N == 3 ? kl_convolve3x3_8 : N == 5 ? kl_convolve5x5_8 : kl_convolve7x7_8)(mask, d, s, g.k, g.edge, 1);
}
template <int N>
void separable(int mask, kl_image *d, kl_image *s, const void *ctx) {
    const Separable &g = *static_cast<const Separable *>(ctx);
    (N == 3 ? kl_sconvolve3x3_8 : N == 5 ? kl_sconvolve5x5_8 : kl_sconvolve7x7_8)(mask, d, s, g.h, g.v, g.edge);
}

// Edge modes the kernels act on: no write and zero fill (extend is declined,
// and any other value would write nothing yet report success).
bool edge_ok(long e) { return e == KL_EDGE_NO_WRITE || e == KL_EDGE_ZERO_FILL; }

}  // namespace

int ZorDeviceComputeTypeWren::ConvolveWren(ZorOp *op, int count) {
    constexpr const char *kUnit = "ConvolveWren";
    DriverCall call(op, count, kUnit);
    ZorOp *conv = op ? op->getOp1() : nullptr;
    if (!conv) {
        return call.decline(WREN_CHAIN, "no operation feeds the display");
    }
    const ZorKernel *kernel = dynamic_cast<ZorKernel *>(conv->getObjParam(1));
    if (!kernel) {
        return call.decline(WREN_PARAMETER, "no kernel");
    }
    const unsigned w = kernel->getWidth(), h = kernel->getHeight();
    if (w != h || (w != 3 && w != 5 && w != 7) || !centred(kernel)) {
        return call.decline(WREN_PARAMETER, "%ux%u kernel keyed at (%d, %d): 3x3, 5x5 or 7x7 keyed at the centre",
                            w, h, kernel->getKeyX(), kernel->getKeyY());
    }
    const long edge = conv->getLongParam(2);
    if (!edge_ok(edge)) {
        return call.decline(WREN_PARAMETER, "edge mode %ld: the device computes no write (0) and zero fill (1); the host computes extend (2)", edge);
    }
    const unsigned n = w * h;
    Floats copy = reversed(kernel, n, 116, kUnit);
    if (!copy) {
        return call.decline(WREN_SCRATCH, "no memory for the coefficients");
    }
    for (unsigned i = 0; i < n; ++i) {
        const float a = std::fabs(copy[i]);
        if (!(a <= 30.0f) || (a > 0.0f && a < 1.0f / 1024)) {
            return call.decline(WREN_PARAMETER, "coefficient %g outside 1/1024 .. 30", static_cast<double>(copy[i]));
        }
    }
    if (conv->getOp() == ZorLookupOpNumber("convolve8")) {
        // The fixed-point sum of the coefficients must fit 16 bits.
        float sum = 0.0f;
        for (unsigned i = 0; i < n; ++i) sum = static_cast<float>(static_cast<double>(sum) + copy[i] * 256.0);
        if (sum > 32767.0f) {
            return call.decline(WREN_PARAMETER, "coefficient sum x 256 = %g exceeds 32767", static_cast<double>(sum));
        }
    }
    const General g{copy.get(), static_cast<int>(edge)};
    const Filter f = w == 3 ? general<3> : w == 5 ? general<5> : general<7>;
    return convolve(call, op, conv->getSrc1(), nullptr, static_cast<int>(w / 2), static_cast<int>(edge), f, &g);
}

int ZorDeviceComputeTypeWren::ConvolveSPWren(ZorOp *op, int count) {
    constexpr const char *kUnit = "ConvolveSPWren";
    DriverCall call(op, count, kUnit);
    ZorOp *outer = op ? op->getOp1() : nullptr;
    ZorOp *inner = outer ? outer->getOp1() : nullptr;
    if (!inner) {
        return call.decline(WREN_CHAIN, "two convolutions must feed the display");
    }
    const ZorKernel *ki = dynamic_cast<ZorKernel *>(inner->getObjParam(1));
    const ZorKernel *ko = dynamic_cast<ZorKernel *>(outer->getObjParam(1));
    if (!ki || !ko) {
        return call.decline(WREN_PARAMETER, "no kernel");
    }
    const long ei = inner->getLongParam(2), eo = outer->getLongParam(2);
    if (ei != eo || !edge_ok(ei)) {
        return call.decline(WREN_PARAMETER, "edge modes %ld and %ld: the device computes no write (0) or zero fill (1), the same for both; the host computes extend (2)", ei, eo);
    }
    const unsigned iw = ki->getWidth(), ih = ki->getHeight(), ow = ko->getWidth(), oh = ko->getHeight();
    const unsigned N = iw > ih ? iw : ih;
    const bool paired = (N == 3 || N == 5 || N == 7) && iw * ih == N && ow == ih && oh == iw;
    if (!paired || !centred(ki) || !centred(ko)) {
        return call.decline(WREN_PARAMETER, "%ux%u then %ux%u: N x 1 and 1 x N (N = 3, 5, 7) keyed at the centre", iw,
                            ih, ow, oh);
    }
    const ZorKernel *kv = iw == 1 ? ki : ko, *kh = iw == 1 ? ko : ki;
    Floats v = reversed(kv, N, 166, kUnit);
    if (!v) {
        return call.decline(WREN_SCRATCH, "no memory for the coefficients");
    }
    Floats h = reversed(kh, N, 183, kUnit);
    if (!h) {
        return call.decline(WREN_SCRATCH, "no memory for the coefficients");
    }
    const float limit = N == 3 ? 31.0f : 15.0f;
    for (unsigned i = 0; i < N; ++i) {
        if (!(std::fabs(v[i]) <= limit) || !(std::fabs(h[i]) <= limit)) {
            return call.decline(WREN_PARAMETER, "coefficient beyond %g", static_cast<double>(limit));
        }
    }
    const Separable g{h.get(), v.get(), static_cast<int>(ei)};
    const Filter f = N == 3 ? separable<3> : N == 5 ? separable<5> : separable<7>;
    return convolve(call, op, inner->getSrc1(), outer->getSrc1(), static_cast<int>(N / 2), static_cast<int>(ei), f,
                    &g);
}
