// Rescale by the accelerator's pixel-mapping unit: "rescale8" alone or under
// one or two "threshold8" clamps, and "convert16_8" / "threshold16" /
// "threshold16" / "rescale16" from a signed 16-bit source.
//
// Nothing is computed in software. The driver turns the scale, offset and
// clamps into the unit's registers (slope code, output clamps, input
// thresholds), arms it, and then only feeds source samples: into the mapping
// space (mode 1, kl_rescale_wren_8/16) or into a direct view (mode 2,
// kl_copy_8/16); the unit writes clamp(s x + o, lo, hi) into the window.
//
// A threshold above the rescale is taken as one side of the clamp: with high
// at the top of the sample range and low = map it caps the result at map;
// with low at the bottom and high = map it floors it at map. Any other
// threshold, or two thresholds on the same side, declines.
//
// Region, clip-list and rectangle-list failures are reported to the host
// through notifyError as well as declined.
#include <cmath>
#include <cstdint>

#include "driver_frame.h"
#include "wren_device.h"
#include "wren_feed.h"
#include "wren_regs.h"

using wren::Rect;

namespace {

struct Kind {
    const char *unit;
    bool wide;  // 16-bit source
    int line_clip, line_rects;
    int sample_lo, sample_hi;  // the sample range: input thresholds lie in it, thresholds at its ends clamp one side
};
constexpr Kind k8{"Rescale8Wren", false, 236, 245, 0, 255};
constexpr Kind k16{"Rescale16Wren", true, 237, 246, -32768, 32767};

// The clamp pair the chain keeps.
struct Clamp {
    float lo = 0.0f, hi = 255.0f;
    bool lo_set = false, hi_set = false;
};

// An integer from a float parameter, truncated; false when it has none.
bool truncated(float v, long *out) {
    if (!std::isfinite(v) || std::fabs(v) >= 2147483648.0f) return false;
    *out = static_cast<long>(v);
    return true;
}

// Takes threshold t as one side of the clamp; false when it is not one.
bool take_threshold(const Kind &k, ZorOp *t, Clamp &c) {
    const float *v[3] = {static_cast<const float *>(t->getPtrParam(1)), static_cast<const float *>(t->getPtrParam(2)),
                         static_cast<const float *>(t->getPtrParam(3))};
    long n[3];  // low, high, map
    for (int i = 0; i < 3; ++i) {
        if (!v[i] || !truncated(v[i][0], &n[i])) return false;
        n[i] = k.wide ? static_cast<long>(static_cast<int16_t>(n[i])) : (n[i] & 0xff);
    }
    const bool top = n[1] == k.sample_hi && n[0] == n[2], bottom = n[0] == k.sample_lo && n[1] == n[2];
    bool &set = top ? c.hi_set : c.lo_set;
    if ((!top && !bottom) || set) return false;
    (top ? c.hi : c.lo) = static_cast<float>(n[2]);
    return set = true;
}

// The pixel-mapping unit's registers, in the order they are written.
struct MapRegs {
    uint32_t slope, out_lo, out_hi, in_lo, in_hi;
};

// Slope code of g: a 9-bit magnitude (10-bit signed field at bits 22-31) and
// an exponent e in bits 0-4 with |g| ~ mantissa * 2^(e - 8). False when |g| is
// below 2^-8 (no code).
bool slope_code(float g, bool saturate, uint32_t *code) {
    if (g == 0.0f && !saturate) {
        *code = 0;
        return true;
    }
    int mant, ex;
    int e2 = 0;
    const float f = saturate || !std::isfinite(g) ? 0.75f : std::frexp(std::fabs(g), &e2);  // |g| = f * 2^e2
    const int e = e2 - 1;
    const int32_t M = static_cast<int32_t>(std::ldexp(f, 24));  // 24-bit significand, leading 1
    if (saturate || !std::isfinite(g) || e > 19) {
        mant = 0x1ff;
        ex = 19;
    } else if (e < -8) {
        return false;
    } else if (e < 0) {
        mant = M >> (15 - e);
        ex = 0;
    } else {
        mant = M >> 15;
        ex = e;
    }
    if (std::signbit(g)) mant = -mant;
    *code = ((static_cast<uint32_t>(mant) << 22) & 0xffc00000u) | (static_cast<uint32_t>(ex) & 0x1fu);
    return true;
}

// Why map_registers refuses clamps that map back outside the sample range.
constexpr const char *kOutside = "outside";

// Register values for y = s x + o clamped to c; false (with why) when the
// unit cannot take them.
bool map_registers(const Kind &k, float s, float o, const Clamp &c, MapRegs *r, const char **why) {
    if (!(c.hi >= c.lo)) return *why = "the clamp's top lies below its bottom", false;
    if (k.wide && (c.hi > 255.0f || c.lo < 0.0f)) return *why = "the clamp leaves 0..255", false;
    if (!std::isfinite(s) || !std::isfinite(o)) return *why = "scale or offset is not a number", false;
    if (s == 0.0f) return *why = "scale 0", false;
    const float xlo = (c.lo - o) / s, xhi = (c.hi - o) / s;
    const auto inside = [&](float x) { return x >= static_cast<float>(k.sample_lo) && x <= static_cast<float>(k.sample_hi); };
    if (!inside(xlo) || !inside(xhi)) return *why = kOutside, false;
    float x0 = xlo, y0 = c.lo, x1 = xhi, y1 = c.hi;
    if (s < 0.0f) x0 = xhi, y0 = c.hi, x1 = xlo, y1 = c.lo;

    // Input thresholds of 16-bit samples, rounded to the nearest sample
    // (x + 0.5 truncated would move every negative one a sample up).
    const int32_t X0 = static_cast<int16_t>(static_cast<int32_t>(std::floor(x0 + 0.5f)));
    const int32_t X1 = static_cast<int16_t>(static_cast<int32_t>(std::floor(x1 + 0.5f)));
    float g = 0.0f;
    bool saturate = false;
    if (x0 != x1) {
        if (!k.wide) {
            g = -(y1 - y0) / (x1 - x0);
        } else if (X1 != X0) {
            g = -(y1 - y0) * 256.0f / static_cast<float>(X1 - X0);
        } else if (y1 != y0) {
            // The whole output range within one input sample: the steepest code.
            saturate = true;
            g = -(y1 - y0);
        }
    }
    if (!slope_code(g, saturate, &r->slope)) return *why = "slope below the unit's smallest", false;
    if (!k.wide) {
        r->out_lo = static_cast<uint32_t>(y0);
        r->out_hi = static_cast<uint32_t>(y1);
        r->in_lo = static_cast<uint32_t>(262143.0 * static_cast<double>(x0) / 255.0);
        r->in_hi = static_cast<uint32_t>(static_cast<int32_t>(static_cast<double>(x1) / 255.0 * 268435455.0)) &
                   0x0ff00000u;
    } else {
        r->out_lo = static_cast<uint32_t>(y0) + 1;
        r->out_hi = static_cast<uint32_t>(y1) + 1;
        r->in_lo = (static_cast<uint32_t>(X0) << 12) ^ 0x8000000u;
        r->in_hi = (static_cast<uint32_t>(X1) << 12) ^ 0x8000000u;
    }
    return true;
}

// Arms the unit: 13 writes after waiting for room, then until idle.
void program(void *regs, const MapRegs &m) {
    using namespace wren_reg;
    wren_wait_room(regs, 13);
    wren_reg_write(regs, map_slope, m.slope);
    wren_reg_write(regs, map_out_lo, m.out_lo);
    wren_reg_write(regs, map_out_hi, m.out_hi);
    wren_reg_write(regs, map_in_lo, m.in_lo);
    wren_reg_write(regs, map_in_hi, m.in_hi);
    wren_reg_write(regs, fill_color, 0xffffffu);
    wren_reg_write(regs, map_aux0, 0u);
    wren_reg_write(regs, map_aux1, 0u);
    wren_reg_write(regs, raster_mode, wren_val::mode_map);
    wren_reg_write(regs, group_control, wren_val::group_map8);
    wren_reg_write(regs, raster_op, wren_val::rop_copy);
    wren_reg_write(regs, plane_mask_lo, 0xffu);
    wren_reg_write(regs, plane_mask_hi, 0u);
    wren_wait_idle(regs);
}

constexpr wren::Layout layouts[] = {{1, 0, 1, wren::Masks::equal}};

struct Params {
    Clamp clamp;
    MapRegs regs{};
    uint8_t *space = nullptr;  // where samples are fed
    long space_lb = 0;
    int slot = 1;              // bytes per pixel there
};

// Thresholds above the rescale, by the count of the matched chain.
template <bool Wide>
int thresholds(int count) {
    return Wide ? (count == 5 ? 2 : count == 4 ? 1 : 0) : (count == 4 ? 2 : count == 3 ? 1 : 0);
}

// The chain from the display down: [convert,] thresholds, rescale.
template <bool Wide>
ZorOp *bottom(const wren::Ctx &c) {
    const int at = (Wide && c.ops[0]->getOp() == ZorLookupOpNumber("convert16_8") ? 1 : 0) + thresholds<Wide>(c.count);
    return at < 4 ? c.ops[at] : nullptr;
}

template <bool Wide>
bool parse(wren::Ctx &c) {
    const Kind &k = Wide ? k16 : k8;
    Params &p = c.p<Params>();
    const int at = Wide && c.ops[0]->getOp() == ZorLookupOpNumber("convert16_8") ? 1 : 0;
    if (Wide && !at && c.count >= 4) return c.refuse(WREN_CHAIN, "the chain does not start with convert16_8");
    const int n = thresholds<Wide>(c.count);
    const int tnum = ZorLookupOpNumber(Wide ? "threshold16" : "threshold8");
    for (int i = 0; i < n; ++i) {
        ZorOp *t = c.ops[at + i];
        if (!t || t->getOp() != tnum) return c.refuse(WREN_CHAIN, "threshold %d of the chain is missing", i + 1);
        if (!take_threshold(k, t, p.clamp)) return c.refuse(WREN_PARAMETER, "threshold %d is not one side of a clamp", i + 1);
    }
    if (n == 2 && !(p.clamp.lo_set && p.clamp.hi_set)) return c.refuse(WREN_PARAMETER, "the thresholds do not clamp both sides");
    if (c.op->getOp() != ZorLookupOpNumber(Wide ? "rescale16" : "rescale8")) {
        return c.refuse(WREN_CHAIN, "no rescale at the bottom of the chain");
    }
    const auto *scale = static_cast<const float *>(c.op->getPtrParam(1));
    const auto *offset = static_cast<const float *>(c.op->getPtrParam(2));
    if (!scale || !offset) return c.refuse(WREN_PARAMETER, "no scale or offset");
    const char *why = "";
    if (!map_registers(k, scale[0], offset[0], p.clamp, &p.regs, &why)) {
        if (why != kOutside) return c.refuse(WREN_PARAMETER, "%s", why);
        // Both clamps must map back to samples; the host rescales any other way.
        return c.refuse(WREN_PARAMETER,
                        "the device computes rescale only for (lo-o)/s, (hi-o)/s in %s (here %.3g, %.3g); the host "
                        "computes the rest",
                        Wide ? "-32768..32767" : "0..255", static_cast<double>((p.clamp.lo - offset[0]) / scale[0]),
                        static_cast<double>((p.clamp.hi - offset[0]) / scale[0]));
    }
    const ZorDisplayIO *d = c.dio;
    p.space = d->mapMode == 1 ? d->mapBase : d->mapMode == 2 ? (Wide ? d->view16Base : d->view8Base) : nullptr;
    p.space_lb = d->mapMode == 1 ? d->mapLineBytes : Wide ? d->view16LineBytes : d->view8LineBytes;
    p.slot = d->mapMode == 1 ? 8 : Wide ? 2 : 1;
    return true;
}

// The unit is armed only for a mode it can be fed in: a space whose rows are
// as far apart as the kernels write them and hold every rectangle.
bool feedable(wren::Ctx &c) {
    const Params &p = c.p<Params>();
    const ZorDisplayIO *dio = c.dio;
    if (!p.space || (dio->mapMode == 1 ? p.space_lb != wren_fb::map_line_bytes : p.space_lb <= 0)) {
        return c.refuse(WREN_LAYOUT, "pixel-mapping mode %d cannot be fed", dio->mapMode);
    }
    if (dio->depth != 8 || dio->fbLineBytes <= 0) {
        return c.refuse(WREN_LAYOUT, "the pixel-mapping unit draws into the 8-bit frame buffer only");
    }
    for (const Rect &r : c.rects) {
        const long off = static_cast<long>(c.at(r).data - dio->fbBase);
        if (off < 0 || (off % dio->fbLineBytes + r.w) * p.slot > p.space_lb) {
            return c.refuse(WREN_BOUNDS, "rectangle (%d, %d) leaves the pixel-mapping space", r.x, r.y);
        }
    }
    return true;
}

void arm(wren::Ctx &c) { program(c.dio->regs, c.p<Params>().regs); }

// The rectangle's place on the screen, from its offset in the frame buffer,
// in the space the samples are fed to.
template <bool Wide>
void feed(wren::Job &j) {
    const Params &p = j.c.p<Params>();
    const ZorDisplayIO *dio = j.c.dio;
    const long off = static_cast<long>(j.dst.data - dio->fbBase);
    kl_image &wd = j.dst;
    wd.data = p.space + off / dio->fbLineBytes * p.space_lb + off % dio->fbLineBytes * p.slot;
    wd.lb = static_cast<int>(p.space_lb);
    if (dio->mapMode == 1) {
        wd.bpp = 8;
        (Wide ? kl_rescale_wren_16 : kl_rescale_wren_8)(&wd, &j.src[0]);
    } else {
        wd.type = Wide ? KL_SHORT : KL_BYTE;
        wd.bpp = Wide ? 2 : 1;
        (Wide ? kl_copy_16 : kl_copy_8)(1, &wd, &j.src[0]);
    }
}

template <bool Wide>
constexpr wren::DriverPlan rescale_plan() {
    const Kind &k = Wide ? k16 : k8;
    return {.name = k.unit,
            .sample = Wide ? KL_SHORT : KL_BYTE,
            .layouts = layouts,
            .layout_note = "rescale maps one band into an 8-bit window",
            .planes = wren::Planes::none,
            .reports = {0, k.line_clip, k.line_rects},
            .source_op = bottom<Wide>,
            .parse = parse<Wide>,
            .visible = feedable,
            .program = arm,
            .kernel = feed<Wide>};
}

}  // namespace

const wren::DriverPlan wren::rescale8_plan = rescale_plan<false>(), wren::rescale16_plan = rescale_plan<true>();

int ZorDeviceComputeTypeWren::Rescale8Wren(ZorOp *op, int count) {
    return wren::run<Params>(wren::rescale8_plan, op, count);
}

int ZorDeviceComputeTypeWren::Rescale16Wren(ZorOp *op, int count) {
    return wren::run<Params>(wren::rescale16_plan, op, count);
}
