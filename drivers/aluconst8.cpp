// Constant and monadic drivers: one 8-bit source and one constant per band.
//
// AluConst8Wren serves add, subtract, subtract-from (float constants, rounded
// halves to even and clamped to -1024..1024) and and, or, xor (integer
// constants cut to their low 16 bits). MultiplyConst8Wren scales its float
// constants to fixed point; Not8Wren is xor with 255. All three accept a
// source whose band count and mask equal the window's, or a 3-band source
// into a 4-band window with equal masks, staged to 4 bands per chunk of rows.
#include "driver_frame.h"
#include "wren_device.h"

#include <cmath>
#include <cstdint>

namespace {

using wren::DriverCall;
using wren::Placed;
using wren::Rect;

// The logic kernels take integer constants, the others floats.
bool integer_constants(WrenConstKernel k) { return k == kl_andk_8 || k == kl_ork_8 || k == kl_xork_8; }

// The window pixel's samples k = 0 .. bands - 1; sample k is selected when bit
// bands - 1 - k of the band mask is set.
bool selected(const kl_image &kd, int k) { return (kd.bmask >> (kd.bands - 1 - k)) & 1; }

// Steps shared by the monadic drivers up to the constants: the window, the
// source and the band layout (the same bands, or 3 staged to 4). Null when
// declined.
const wren::Window *prepare(DriverCall &call, ZorOp *op, Placed &s, bool *staged) {
    ZorOp *mon = op ? op->getOp1() : nullptr;
    if (!mon) {
        call.decline(WREN_CHAIN, "no operation feeds the display");
        return nullptr;
    }
    const wren::Window *win = call.window(op->getDst());
    if (!win || !call.source(mon->getSrc1(), s)) {
        return nullptr;
    }
    const kl_image &kd = win->k;
    if (s.k.type != KL_BYTE) {
        call.decline(WREN_LAYOUT, "source is not 8-bit");
        return nullptr;
    }
    if (s.k.bmask != kd.bmask) {
        call.decline(WREN_BAND_MASK,
                     "band mask %#x differs from the window's %#x (an RGB source needs a 24-bit window, a grey one "
                     "an 8-bit window)",
                     s.k.bmask, kd.bmask);
        return nullptr;
    }
    *staged = s.k.bands != kd.bands;
    if (*staged && !(s.k.bands == 3 && kd.bands == 4)) {
        call.decline(WREN_LAYOUT, "band layout %d into %d not handled", s.k.bands, kd.bands);
        return nullptr;
    }
    return win;
}

// The rest of the skeleton: region, scratch, clip, raster setup and the
// walk; apply(bmask, wd, src) runs the kernel on one rectangle or chunk.
template <class Apply>
int run(DriverCall &call, const wren::Window &win, ZorOp *op, Placed &s, bool staged, Apply &&apply) {
    ZorRoi *roi1 = op->getOp1()->getSrc1()->getImageSpaceRoi();
    ZorRoi *roid = win.image->getImageSpaceRoi();
    if (!roi1 || !roid || !call.region(roi1->intersect(roid))) {
        return call.decline(WREN_REGION, "no region where the source meets the window");
    }
    const wren::Scratch *scratch = nullptr;
    if (staged && !(scratch = call.scratch(4, s.k.w > win.k.w ? s.k.w : win.k.w))) {
        return ZOR_FAILURE;
    }
    const wren::Visible *vis = call.clip({{&s}});
    if (!vis || !call.raster_setup()) {
        return ZOR_FAILURE;
    }
    const int bmask = win.k.bmask;
    for (const Rect &r : vis->rects) {
        if (!staged) {
            kl_image wd = vis->at(r), ws = wren::at(s, r);
            apply(bmask, wd, ws);
            continue;
        }
        call.chunks(*scratch, r, [&](int row, int n, kl_image &tmp) {
            kl_image wd = vis->at(r, row, n), ws = wren::at(s, r, row, n);
            kl_copy8_3_4(bmask, &tmp, &ws);
            apply(bmask, wd, tmp);
        });
    }
    return call.computed();
}

}  // namespace

int ZorDeviceComputeTypeWren::AluConst8Wren(ZorOp *op, int count) { return AluConst8Wren(op, count, nullptr); }

int ZorDeviceComputeTypeWren::AluConst8Wren(ZorOp *op, int count, WrenConstKernel kernel) {
    DriverCall call(op, count);
    if (!kernel) {
        return call.decline(WREN_NO_KERNEL, "the constant worker needs a kernel from a driver such as addconst8");
    }
    Placed s;
    bool staged = false;
    const wren::Window *win = prepare(call, op, s, &staged);
    if (!win) {
        return ZOR_FAILURE;
    }
    const void *param = op->getOp1()->getPtrParam(1);
    if (!param) {
        return call.decline(WREN_PARAMETER, "no constants");
    }
    // Integer constants for the logic kernels, float constants otherwise.
    const bool integer = integer_constants(kernel);
    short constants[4] = {0, 0, 0, 0};
    const kl_image &kd = win->k;
    int next = 0;
    for (int k = 0; k < kd.bands; ++k) {
        if (!selected(kd, k)) {
            continue;
        }
        if (integer) {
            const int32_t v = static_cast<const int32_t *>(param)[next++];
            constants[k] = static_cast<short>(static_cast<uint16_t>(static_cast<uint32_t>(v) & 0xffff));
        } else {
            const float v = static_cast<const float *>(param)[next++];
            if (std::isnan(v)) {
                return call.decline(WREN_PARAMETER, "constant %d is not a number", next - 1);
            }
            float t = std::nearbyint(v);
            t = t < -1024.0f ? -1024.0f : t > 1024.0f ? 1024.0f : t;
            constants[k] = static_cast<short>(t);
        }
    }
    return run(call, *win, op, s, staged,
               [&](int bmask, kl_image &wd, kl_image &ws) { kernel(bmask, &wd, &ws, constants); });
}

int ZorDeviceComputeTypeWren::AddConst8Wren(ZorOp *op, int count) { return AluConst8Wren(op, count, kl_addk_8); }
int ZorDeviceComputeTypeWren::AndConst8Wren(ZorOp *op, int count) { return AluConst8Wren(op, count, kl_andk_8); }
int ZorDeviceComputeTypeWren::OrConst8Wren(ZorOp *op, int count) { return AluConst8Wren(op, count, kl_ork_8); }
int ZorDeviceComputeTypeWren::SubtractConst8Wren(ZorOp *op, int count) {
    return AluConst8Wren(op, count, kl_subk_8);
}
int ZorDeviceComputeTypeWren::SubtractFromConst8Wren(ZorOp *op, int count) {
    return AluConst8Wren(op, count, kl_ksub_8);
}
int ZorDeviceComputeTypeWren::XorConst8Wren(ZorOp *op, int count) { return AluConst8Wren(op, count, kl_xork_8); }

int ZorDeviceComputeTypeWren::MultiplyConst8Wren(ZorOp *op, int count) {
    DriverCall call(op, count);
    Placed s;
    bool staged = false;
    const wren::Window *win = prepare(call, op, s, &staged);
    if (!win) {
        return ZOR_FAILURE;
    }
    const float *param = static_cast<const float *>(op->getOp1()->getPtrParam(1));
    if (!param) {
        return call.decline(WREN_PARAMETER, "no constants");
    }
    const kl_image &kd = win->k;
    float c[4] = {0, 0, 0, 0};
    bool any = false;
    float m = 0;
    int next = 0;
    for (int k = 0; k < kd.bands; ++k) {
        if (!selected(kd, k)) {
            continue;
        }
        c[k] = param[next++];
        if (!(c[k] <= 63.0f)) {
            return call.decline(WREN_PARAMETER, "constant %g above 63", static_cast<double>(c[k]));
        }
        if (!any || c[k] > m) {
            m = c[k];
        }
        any = true;
    }
    // The largest exponent that keeps the largest constant within 16 bits.
    int shift = 15;
    while (shift > 5 && m >= 0 && std::ldexp(m, shift) > 32767.0f) {
        --shift;
    }
    short constants[4] = {0, 0, 0, 0};
    for (int k = 0; k < kd.bands; ++k) {
        if (!selected(kd, k)) {
            continue;
        }
        const float t = std::nearbyint(c[k] * std::ldexp(1.0f, shift));
        if (!(t >= -32768.0f && t <= 32767.0f)) {
            return call.decline(WREN_PARAMETER, "constant %g scaled by 2^%d leaves 16 bits", static_cast<double>(c[k]),
                                shift);
        }
        constants[k] = static_cast<short>(t);
    }
    return run(call, *win, op, s, staged, [&](int bmask, kl_image &wd, kl_image &ws) {
        kl_mpyk_8(bmask, &wd, &ws, constants, shift, 1);
    });
}

int ZorDeviceComputeTypeWren::Not8Wren(ZorOp *op, int count) {
    DriverCall call(op, count);
    Placed s;
    bool staged = false;
    const wren::Window *win = prepare(call, op, s, &staged);
    if (!win) {
        return ZOR_FAILURE;
    }
    short constants[4] = {255, 255, 255, 255};
    return run(call, *win, op, s, staged,
               [&](int bmask, kl_image &wd, kl_image &ws) { kl_xork_8(bmask, &wd, &ws, constants); });
}
