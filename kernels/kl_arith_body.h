// The arithmetic, logic and constant kernels, generic over the body policy.
//
// Every op has its 8-byte word form, built from the partitioned primitives:
// this is the definition of the kernel's bytes. Its vector form is written
// once against a small vocabulary of lane operations (saturating sums,
// clamped products, minimum, maximum, ...) that each vector implementation
// defines for its vector type before including this file; the vector forms
// give the same bytes as the word forms for every input.
#pragma once

#include <cstdint>

#include "kl.h"
#include "kl_body.h"
#include "kl_impl.h"
#include "lane.h"

namespace {
namespace arith {

enum class Logic { And, Or, Xor };
enum class Arith { Add, Sub, KSub };

template <Logic L, class W>
inline W logic(W a, W b) {
    return L == Logic::And ? a & b : L == Logic::Or ? a | b : a ^ b;
}

// ---- Two sources, 8-bit ----------------------------------------------------

// Saturating add or subtract: expanded bytes (four fraction bits) are added
// or subtracted in 16-bit lanes and packed back at pack scale 3.
template <bool Sub>
struct AddSub8 {
    static uint32_t half(uint32_t a, uint32_t b) {
        const uint64_t ea = lane_expand(a), eb = lane_expand(b);
        return lane_pack16(Sub ? lane_sub16(ea, eb) : lane_add16(ea, eb), 3);
    }
    uint64_t operator()(uint64_t a, uint64_t b, unsigned) const {
        return lane_join(half(lane_half0(a), lane_half0(b)), half(lane_half1(a), lane_half1(b)));
    }
    template <class W>
    W operator()(W a, W b, unsigned) const {
        return Sub ? subs_u8(a, b) : adds_u8(a, b);
    }
};

// Product clamped to 255: exact products 256ab of the expanded lanes, gathered
// by four pack32 steps (even bytes in the first half, odd bytes in the second)
// and interleaved back into memory order.
struct Mpy8 {
    uint64_t operator()(uint64_t a, uint64_t b, unsigned) const {
        uint64_t acc = 0;
        for (unsigned h = 0; h < 2; ++h) {
            const uint64_t ea = lane_expand(static_cast<uint32_t>(a >> (32 * h)));
            const uint64_t eb = lane_expand(static_cast<uint32_t>(b >> (32 * h)));
            for (unsigned p = 0; p < 2; ++p) {
                const uint32_t x = static_cast<uint32_t>(ea >> (32 * p));
                const uint32_t y = static_cast<uint32_t>(eb >> (32 * p));
                acc = lane_pack32(acc, lane_add32(lane_muld8sux16(x, y), lane_muld8ulx16(x, y)), 15);
            }
        }
        return lane_merge(lane_half0(acc), lane_half1(acc));
    }
    template <class W>
    W operator()(W a, W b, unsigned) const {
        return mul_u8(a, b);
    }
};

// Maximum (Gt) or minimum: src1 where the comparison of the expanded lanes
// holds, src2 elsewhere.
template <bool Gt>
struct Select8 {
    uint64_t operator()(uint64_t a, uint64_t b, unsigned) const {
        const uint64_t a0 = lane_expand(lane_half0(a)), a1 = lane_expand(lane_half1(a));
        const uint64_t b0 = lane_expand(lane_half0(b)), b1 = lane_expand(lane_half1(b));
        const unsigned m = Gt ? (lane_cmp16_gt(a0, b0) << 4) | lane_cmp16_gt(a1, b1)
                              : (lane_cmp16_le(a0, b0) << 4) | lane_cmp16_le(a1, b1);
        const uint64_t sel = lane_bytemask8(m);
        return (a & sel) | (b & ~sel);
    }
    template <class W>
    W operator()(W a, W b, unsigned) const {
        return Gt ? max_u8(a, b) : min_u8(a, b);
    }
};

// Bitwise, any word type.
template <Logic L>
struct Logic2 {
    template <class W>
    W operator()(W a, W b, unsigned) const {
        return logic<L>(a, b);
    }
};

// ---- Two sources, 16-bit ---------------------------------------------------

// Sample lanes of a 4-byte half widened to 32-bit lanes with eight fraction bits.
inline uint64_t widen(uint32_t h) { return lane_muld8sux16(kl_scale_16_8, h); }

// Saturating add or subtract in 32-bit lanes, narrowed at pack scale 8.
template <bool Sub>
struct AddSub16 {
    static uint32_t half(uint32_t a, uint32_t b) {
        const uint64_t wa = widen(a), wb = widen(b);
        return lane_packfix(Sub ? lane_sub32(wa, wb) : lane_add32(wa, wb), 8);
    }
    uint64_t operator()(uint64_t a, uint64_t b, unsigned) const {
        return lane_join(half(lane_half0(a), lane_half0(b)), half(lane_half1(a), lane_half1(b)));
    }
    template <class W>
    W operator()(W a, W b, unsigned) const {
        return Sub ? subs_s16(a, b) : adds_s16(a, b);
    }
};

// Exact 32-bit products narrowed with saturation; pack scale 16 keeps the value.
struct Mpy16 {
    static uint32_t half(uint32_t a, uint32_t b) {
        return lane_packfix(lane_add32(lane_muld8sux16(a, b), lane_muld8ulx16(a, b)), 16);
    }
    uint64_t operator()(uint64_t a, uint64_t b, unsigned) const {
        return lane_join(half(lane_half0(a), lane_half0(b)), half(lane_half1(a), lane_half1(b)));
    }
    template <class W>
    W operator()(W a, W b, unsigned) const {
        return mul_s16(a, b);
    }
};

template <bool Gt>
struct Select16 {
    uint64_t operator()(uint64_t a, uint64_t b, unsigned) const {
        const uint64_t sel = lane_lanemask16(Gt ? lane_cmp16_gt(a, b) : lane_cmp16_le(a, b));
        return (a & sel) | (b & ~sel);
    }
    template <class W>
    W operator()(W a, W b, unsigned) const {
        return Gt ? max_s16(a, b) : min_s16(a, b);
    }
};

// The source where it is positive, its saturated negation elsewhere.
struct Abs16 {
    uint64_t operator()(uint64_t a, uint64_t, unsigned) const {
        const uint64_t neg = lane_join(lane_packfix(lane_sub32(uint64_t{0}, widen(lane_half0(a))), 8),
                                       lane_packfix(lane_sub32(uint64_t{0}, widen(lane_half1(a))), 8));
        const uint64_t sel = lane_lanemask16(lane_cmp16_le(a, 0));
        return (neg & sel) | (a & ~sel);
    }
    template <class W>
    W operator()(W a, W, unsigned) const {
        return abs_s16(a);
    }
};

// ---- One source and a constant per band ------------------------------------
//
// Each op lays the caller's constants (already limited to the kernel's range)
// over the 24-byte band cycle once per call, in the forms its word and vector
// code read at a destination word's or vector's cycle offset o.

// 8-bit add, subtract and subtract-from. Word form: the constant lane is
// k * 16 against the expanded source; the constants' range -256..511 leaves
// clamp(a + k), clamp(a - k) and clamp(k - a) unchanged for every byte a and
// keeps the lane sums inside the 16-bit range. Vector form: x and y bytes
// with adds(subs(a, x), y) (subs(x, a) for subtract-from): for add x = -k
// and y = k limited to 0..255, for subtract the reverse, for subtract-from
// x = k and y = k - 255 limited to 0..255.
template <Arith A>
struct ArithK8 {
    Cycle<int16_t, false> c;
    Cycle<uint8_t, false> x, y;
    void fill(const int32_t *k, unsigned bands) {
        const auto lim = [](int32_t v) { return v < 0 ? 0 : v > 255 ? 255 : v; };
        c.fill([&](unsigned o) { return 16 * k[band_of_byte(o, 1, bands)]; });
        x.fill([&](unsigned o) {
            const int32_t v = k[band_of_byte(o, 1, bands)];
            return lim(A == Arith::Add ? -v : v);
        });
        y.fill([&](unsigned o) {
            const int32_t v = k[band_of_byte(o, 1, bands)];
            return lim(A == Arith::Add ? v : A == Arith::Sub ? -v : v - 255);
        });
    }
    uint64_t operator()(uint64_t a, uint64_t, unsigned o) const {
        uint32_t out[2];
        for (unsigned h = 0; h < 2; ++h) {
            const uint64_t ea = lane_expand(static_cast<uint32_t>(a >> (32 * h))), k = c.word(o, 4 * h);
            const uint64_t v = A == Arith::Add ? lane_add16(ea, k) : A == Arith::Sub ? lane_sub16(ea, k) : lane_sub16(k, ea);
            out[h] = lane_pack16(v, 3);
        }
        return lane_join(out[0], out[1]);
    }
    template <class W>
    W operator()(W a, W, unsigned o) const {
        const W kx = vload(x.at(o), W{}), ky = vload(y.at(o), W{});
        return adds_u8(A == Arith::KSub ? subs_u8(kx, a) : subs_u8(a, kx), ky);
    }
};

// Bitwise with one byte (8-bit) or one lane (16-bit) per sample.
template <Logic L, bool W16>
struct LogicK {
    Cycle<std::conditional_t<W16, int16_t, uint8_t>, W16> c;
    void fill(const int32_t *k, unsigned bands) { c.fill(k, bands); }
    uint64_t operator()(uint64_t a, uint64_t, unsigned o) const { return logic<L>(a, c.word(o)); }
    template <class W>
    W operator()(W a, W, unsigned o) const {
        return logic<L>(a, vload(c.at(o), W{}));
    }
};

// 16-bit add, subtract and subtract-from. Word form: 32-bit lanes with eight
// fraction bits, the constant widened like a sample (k * 256). Vector form:
// saturating 16-bit lanes against k.
template <Arith A>
struct ArithK16 {
    Cycle<int32_t, true> c;
    Cycle<int16_t, true> v;
    void fill(const int32_t *k, unsigned bands) {
        c.fill([&](unsigned o) { return 256 * k[band_of_byte(o, 2, bands)]; });
        v.fill(k, bands);
    }
    uint64_t operator()(uint64_t a, uint64_t, unsigned o) const {
        uint32_t out[2];
        for (unsigned h = 0; h < 2; ++h) {
            const uint64_t wa = widen(static_cast<uint32_t>(a >> (32 * h))), k = c.word(o, 2 * h);
            const uint64_t r = A == Arith::Add ? lane_add32(wa, k) : A == Arith::Sub ? lane_sub32(wa, k) : lane_sub32(k, wa);
            out[h] = lane_packfix(r, 8);
        }
        return lane_join(out[0], out[1]);
    }
    template <class W>
    W operator()(W a, W, unsigned o) const {
        const W k = vload(v.at(o), W{});
        return A == Arith::Add ? adds_s16(a, k) : A == Arith::Sub ? subs_s16(a, k) : subs_s16(k, a);
    }
};

// Multiply by a fixed-point constant: rounded product with eight fraction
// bits dropped, plus the rounding lane, packed at pack scale s = 15 - shift.
struct MpyK8 {
    Cycle<int16_t, false> c;
    int16_t round = 0;
    unsigned s = 0;
    void fill(const int32_t *k, unsigned bands) { c.fill(k, bands); }
    uint64_t operator()(uint64_t a, uint64_t, unsigned o) const {
        const uint64_t r = static_cast<uint16_t>(round) * 0x0001000100010001ull;
        uint32_t out[2];
        for (unsigned h = 0; h < 2; ++h) {
            const uint64_t v = lane_mul8x16(static_cast<uint32_t>(a >> (32 * h)), c.word(o, 4 * h));
            out[h] = lane_pack16(lane_add16(v, r), s);
        }
        return lane_join(out[0], out[1]);
    }
    template <class W>
    W operator()(W a, W, unsigned o) const {
        return mulk_u8(a, c.at(o), round, s);
    }
};

// ---- Kernels ---------------------------------------------------------------

// Two sources (or one, Two false): checks, then the walk.
template <class V, bool W16, class Op, bool Two = true>
void two_source(int band_mask, kl_image *dst, kl_image *src1, kl_image *src2) {
    const unsigned m = accept<W16>(band_mask, dst, src1, Two ? src2 : nullptr);
    if (!m || (Two && !src2)) return;
    run<V, W16>(m, dst, src1, Two ? src2 : nullptr, Op{});
}

template <class V>
void abs16(int band_mask, kl_image *dst, kl_image *src) {
    two_source<V, true, Abs16, false>(band_mask, dst, src, nullptr);
}

// Constants limited to Lo..Hi, laid out by the op, then the row walk.
template <class V, bool W16, class Op, int Lo, int Hi>
void constant_kernel(int band_mask, kl_image *dst, kl_image *src, short *constants) {
    if (!constants) return;
    const unsigned m = accept<W16>(band_mask, dst, src, nullptr);
    if (!m) return;
    int32_t k[4];
    for (int b = 0; b < 4; ++b) {
        const int v = b < dst->bands ? constants[b] : 0;
        k[b] = v < Lo ? Lo : (v > Hi ? Hi : v);
    }
    Op op;
    op.fill(k, static_cast<unsigned>(dst->bands));
    run<V, W16>(m, dst, src, nullptr, op);
}

template <class V>
void mpyk8(int band_mask, kl_image *dst, kl_image *src, short *constants, int shift, int round) {
    if (!constants || !dst || dst->bands < 1 || dst->bands > 4) return;
    // Negative factors become 0, in the caller's array too.
    for (int b = 0; b < dst->bands; ++b)
        if (constants[b] < 0) constants[b] = 0;
    if (shift < 0 || shift > 15) return;
    const unsigned s = static_cast<unsigned>(15 - shift);
    const unsigned m = accept<false>(band_mask, dst, src, nullptr);
    if (!m) return;
    MpyK8 op;
    int32_t k[4];
    for (int b = 0; b < 4; ++b) k[b] = b < dst->bands ? constants[b] : 0;
    op.fill(k, static_cast<unsigned>(dst->bands));
    op.round = static_cast<int16_t>(round && shift >= 9 ? 1 << (shift - 9) : 0);
    op.s = s;
    run<V, false>(m, dst, src, nullptr, op);
}

// The arithmetic, logic and constant entries of an implementation.
template <class V>
void entries(kl_impl &t) {
    t.add_8 = two_source<V, false, AddSub8<false>>;
    t.sub_8 = two_source<V, false, AddSub8<true>>;
    t.mpy_8 = two_source<V, false, Mpy8>;
    t.max_8 = two_source<V, false, Select8<true>>;
    t.min_8 = two_source<V, false, Select8<false>>;
    t.and_8 = two_source<V, false, Logic2<Logic::And>>;
    t.or_8 = two_source<V, false, Logic2<Logic::Or>>;
    t.xor_8 = two_source<V, false, Logic2<Logic::Xor>>;
    t.add_16 = two_source<V, true, AddSub16<false>>;
    t.sub_16 = two_source<V, true, AddSub16<true>>;
    t.mpy_16 = two_source<V, true, Mpy16>;
    t.max_16 = two_source<V, true, Select16<true>>;
    t.min_16 = two_source<V, true, Select16<false>>;
    t.and_16 = two_source<V, true, Logic2<Logic::And>>;
    t.or_16 = two_source<V, true, Logic2<Logic::Or>>;
    t.xor_16 = two_source<V, true, Logic2<Logic::Xor>>;
    t.abs_16 = abs16<V>;
    t.addk_8 = constant_kernel<V, false, ArithK8<Arith::Add>, -256, 511>;
    t.subk_8 = constant_kernel<V, false, ArithK8<Arith::Sub>, -256, 511>;
    t.ksub_8 = constant_kernel<V, false, ArithK8<Arith::KSub>, -256, 511>;
    t.andk_8 = constant_kernel<V, false, LogicK<Logic::And, false>, 0, 255>;
    t.ork_8 = constant_kernel<V, false, LogicK<Logic::Or, false>, 0, 255>;
    t.xork_8 = constant_kernel<V, false, LogicK<Logic::Xor, false>, 0, 255>;
    t.addk_16 = constant_kernel<V, true, ArithK16<Arith::Add>, -32768, 32767>;
    t.subk_16 = constant_kernel<V, true, ArithK16<Arith::Sub>, -32768, 32767>;
    t.ksub_16 = constant_kernel<V, true, ArithK16<Arith::KSub>, -32768, 32767>;
    t.andk_16 = constant_kernel<V, true, LogicK<Logic::And, true>, -32768, 32767>;
    t.ork_16 = constant_kernel<V, true, LogicK<Logic::Or, true>, -32768, 32767>;
    t.xork_16 = constant_kernel<V, true, LogicK<Logic::Xor, true>, -32768, 32767>;
    t.mpyk_8 = mpyk8<V>;
}

}  // namespace arith
}  // namespace
