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

struct Named {
    WrenConstKernel kernel;
    const char *driver;
    bool integer;
};

const Named const_drivers[] = {
    {kl_addk_8, "AddConst8Wren", false},        {kl_andk_8, "AndConst8Wren", true},
    {kl_ork_8, "OrConst8Wren", true},           {kl_subk_8, "SubtractConst8Wren", false},
    {kl_ksub_8, "SubtractFromConst8Wren", false}, {kl_xork_8, "XorConst8Wren", true},
};

const Named *named(WrenConstKernel k) {
    for (const Named &n : const_drivers) {
        if (n.kernel == k) {
            return &n;
        }
    }
    return nullptr;
}

// The window pixel's samples k = 0 .. bands - 1; sample k is selected when bit
// bands - 1 - k of the band mask is set.
bool selected(const kl_image &kd, int k) { return (kd.bmask >> (kd.bands - 1 - k)) & 1; }

// Steps shared by the monadic drivers up to the constants: the window, the
// source and the band layout. Sets *staged.
bool prepare(DriverCall &call, ZorOp *op, Placed &s, bool *staged) {
    ZorOp *mon = op ? op->getOp1() : nullptr;
    if (!mon) {
        call.decline(WREN_CHAIN, "no operation feeds the display");
        return false;
    }
    if (!call.window(op->getDst()) || !call.source(mon->getSrc1(), s)) {
        return false;
    }
    const kl_image &kd = call.kd;
    if (s.k.type != KL_BYTE) {
        call.decline(WREN_LAYOUT, "source is not 8-bit");
        return false;
    }
    if (s.k.bmask != kd.bmask) {
        call.decline(WREN_BAND_MASK, "band mask %#x differs from the window's %#x", s.k.bmask, kd.bmask);
        return false;
    }
    if (s.k.bands == kd.bands) {
        *staged = false;
    } else if (s.k.bands == 3 && kd.bands == 4) {
        *staged = true;
    } else {
        call.decline(WREN_LAYOUT, "band layout %d into %d not handled", s.k.bands, kd.bands);
        return false;
    }
    return true;
}

// The rest of the skeleton: region, scratch, window, raster setup and the
// walk; apply(wd, src) runs the kernel on one rectangle or chunk.
template <class Apply>
int run(DriverCall &call, ZorOp *op, Placed &s, bool staged, Apply &&apply) {
    ZorRoi *roi1 = op->getOp1()->getSrc1()->getImageSpaceRoi();
    ZorRoi *roid = call.dst->getImageSpaceRoi();
    if (!roi1 || !roid || !call.region(roi1->intersect(roid))) {
        return call.decline(WREN_REGION, "no region where the source meets the window");
    }
    if (staged && !call.scratch(4, s.k.w > call.kd.w ? s.k.w : call.kd.w)) {
        return ZOR_FAILURE;
    }
    if (!call.clip({&s}) || !call.raster_setup()) {
        return ZOR_FAILURE;
    }
    const int bmask = call.kd.bmask;
    for (const Rect &r : call.rects()) {
        if (!staged) {
            kl_image wd = call.window_at(r), ws = DriverCall::at(s, r);
            apply(bmask, wd, ws);
            continue;
        }
        call.chunks(r, [&](int row, int n, kl_image &scratch) {
            kl_image wd = call.window_at(r, row, n), ws = DriverCall::at(s, r, row, n);
            kl_copy8_3_4(bmask, &scratch, &ws);
            apply(bmask, wd, scratch);
        });
    }
    return call.computed(static_cast<int>(call.rects().size()));
}

}  // namespace

int ZorDeviceComputeTypeWren::AluConst8Wren(ZorOp *op, int count) { return AluConst8Wren(op, count, nullptr); }

int ZorDeviceComputeTypeWren::AluConst8Wren(ZorOp *op, int count, WrenConstKernel kernel) {
    const Named *n = named(kernel);
    DriverCall call(n ? n->driver : "AluConst8Wren", op, count);
    if (!kernel) {
        return call.decline(WREN_NO_KERNEL, "no kernel given");
    }
    Placed s;
    bool staged = false;
    if (!prepare(call, op, s, &staged)) {
        return ZOR_FAILURE;
    }
    const void *param = op->getOp1()->getPtrParam(1);
    if (!param) {
        return call.decline(WREN_PARAMETER, "no constants");
    }
    // Integer constants for the logic kernels, float constants otherwise.
    const bool integer = n ? n->integer : false;
    short constants[4] = {0, 0, 0, 0};
    const kl_image &kd = call.kd;
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
    return run(call, op, s, staged,
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
    DriverCall call("MultiplyConst8Wren", op, count);
    Placed s;
    bool staged = false;
    if (!prepare(call, op, s, &staged)) {
        return ZOR_FAILURE;
    }
    const float *param = static_cast<const float *>(op->getOp1()->getPtrParam(1));
    if (!param) {
        return call.decline(WREN_PARAMETER, "no constants");
    }
    const kl_image &kd = call.kd;
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
    return run(call, op, s, staged, [&](int bmask, kl_image &wd, kl_image &ws) {
        kl_mpyk_8(bmask, &wd, &ws, constants, shift, 1);
    });
}

int ZorDeviceComputeTypeWren::Not8Wren(ZorOp *op, int count) {
    DriverCall call("Not8Wren", op, count);
    Placed s;
    bool staged = false;
    if (!prepare(call, op, s, &staged)) {
        return ZOR_FAILURE;
    }
    short constants[4] = {255, 255, 255, 255};
    return run(call, op, s, staged,
               [&](int bmask, kl_image &wd, kl_image &ws) { kl_xork_8(bmask, &wd, &ws, constants); });
}
