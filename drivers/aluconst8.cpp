// Constant and monadic drivers: one 8-bit source and one constant per band.
//
// AluConst8Wren serves add, subtract, subtract-from (float constants, rounded
// halves to even and clamped to -1024..1024) and and, or, xor (integer
// constants cut to their low 16 bits). MultiplyConst8Wren scales its float
// constants to fixed point; Not8Wren is xor with 255. All three accept a
// source whose band count and mask equal the window's, or a 3-band source
// into a 4-band window with equal masks, widened to 4 bands per chunk of rows.
#include "driver_frame.h"
#include "wren_device.h"

#include <cmath>
#include <cstdint>

namespace {

using wren::Masks;

constexpr wren::Layout layouts[] = {
    {1, 0, 1, Masks::equal},
    {4, 0, 4, Masks::equal},
    {3, 0, 4, Masks::equal, wren::Stage::widen1, 4},
};

struct Params {
    WrenConstKernel kernel = nullptr;
    short k[4] = {255, 255, 255, 255};
    int shift = -1;  // multiply: constants scaled by 2^shift
};

bool constants(wren::Ctx &c) {
    Params &p = c.p<Params>();
    const void *param = c.op->getPtrParam(1);
    if (!param) return c.refuse(WREN_PARAMETER, "no constants");
    // Integer constants for the logic kernels, float constants otherwise.
    const bool integer = p.kernel == kl_andk_8 || p.kernel == kl_ork_8 || p.kernel == kl_xork_8;
    for (short &v : p.k) v = 0;  // unselected samples
    return wren::each_selected(c.win.k, [&](int i, int k) {
        if (integer) {
            p.k[k] = static_cast<short>(static_cast<uint16_t>(static_cast<uint32_t>(static_cast<const int32_t *>(param)[i]) & 0xffff));
            return true;
        }
        const float v = static_cast<const float *>(param)[i];
        if (std::isnan(v)) return c.refuse(WREN_PARAMETER, "constant %d is not a number", i);
        const float t = std::nearbyint(v);
        p.k[k] = static_cast<short>(t < -1024.0f ? -1024.0f : t > 1024.0f ? 1024.0f : t);
        return true;
    });
}

// Fixed point: the largest exponent that keeps the largest constant within
// 16 bits (constants above 63 are refused).
bool multiply(wren::Ctx &c) {
    Params &p = c.p<Params>();
    const float *param = static_cast<const float *>(c.op->getPtrParam(1));
    if (!param) return c.refuse(WREN_PARAMETER, "no constants");
    float m = 0;
    bool any = false;
    if (!wren::each_selected(c.win.k, [&](int i, int) {
            if (!(param[i] <= 63.0f)) return c.refuse(WREN_PARAMETER, "constant %g above 63", static_cast<double>(param[i]));
            m = !any || param[i] > m ? param[i] : m;
            return any = true;
        }))
        return false;
    p.shift = 15;
    while (p.shift > 5 && m >= 0 && std::ldexp(m, p.shift) > 32767.0f) --p.shift;
    for (short &v : p.k) v = 0;
    return wren::each_selected(c.win.k, [&](int i, int k) {
        const float t = std::nearbyint(param[i] * std::ldexp(1.0f, p.shift));
        if (!(t >= -32768.0f && t <= 32767.0f)) {
            return c.refuse(WREN_PARAMETER, "constant %g scaled by 2^%d leaves 16 bits", static_cast<double>(param[i]),
                                  p.shift);
        }
        p.k[k] = static_cast<short>(t);
        return true;
    });
}

void kernel(wren::Job &j) {
    Params &p = j.c.p<Params>();
    if (p.shift >= 0) {
        kl_mpyk_8(j.bmask, &j.dst, &j.src[0], p.k, p.shift, 1);
    } else {
        p.kernel(j.bmask, &j.dst, &j.src[0], p.k);
    }
}

}  // namespace

const wren::DriverPlan wren::aluconst8_plan{.layouts = layouts, .parse = constants, .kernel = kernel};
const wren::DriverPlan wren::multiplyconst8_plan{.layouts = layouts, .parse = multiply, .kernel = kernel};
const wren::DriverPlan wren::not8_plan{.layouts = layouts, .kernel = kernel};

int ZorDeviceComputeTypeWren::AluConst8Wren(ZorOp *op, int count) { return AluConst8Wren(op, count, nullptr); }

int ZorDeviceComputeTypeWren::AluConst8Wren(ZorOp *op, int count, WrenConstKernel kernel) {
    if (!kernel) {
        return wren::refuse(op, count, WREN_NO_KERNEL, "the constant worker needs a kernel from a driver such as addconst8");
    }
    return wren::run(wren::aluconst8_plan, op, count, Params{kernel});
}

int ZorDeviceComputeTypeWren::AddConst8Wren(ZorOp *op, int count) { return AluConst8Wren(op, count, kl_addk_8); }
int ZorDeviceComputeTypeWren::AndConst8Wren(ZorOp *op, int count) { return AluConst8Wren(op, count, kl_andk_8); }
int ZorDeviceComputeTypeWren::OrConst8Wren(ZorOp *op, int count) { return AluConst8Wren(op, count, kl_ork_8); }
int ZorDeviceComputeTypeWren::SubtractConst8Wren(ZorOp *op, int count) { return AluConst8Wren(op, count, kl_subk_8); }
int ZorDeviceComputeTypeWren::SubtractFromConst8Wren(ZorOp *op, int count) { return AluConst8Wren(op, count, kl_ksub_8); }
int ZorDeviceComputeTypeWren::XorConst8Wren(ZorOp *op, int count) { return AluConst8Wren(op, count, kl_xork_8); }
int ZorDeviceComputeTypeWren::MultiplyConst8Wren(ZorOp *op, int count) { return wren::run<Params>(wren::multiplyconst8_plan, op, count); }
int ZorDeviceComputeTypeWren::Not8Wren(ZorOp *op, int count) { return wren::run(wren::not8_plan, op, count, Params{kl_xork_8}); }
