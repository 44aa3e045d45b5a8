// Two-source arithmetic and logic kernels on 8-bit samples.
#include "kl.h"
#include "kl_arith_frame.h"
#include "kl_impl.h"
#include "lane.h"

namespace {

using namespace kl_arith;

// Saturating add or subtract: expanded bytes (four fraction bits) are added
// or subtracted in 16-bit lanes and packed back at pack scale 3.
template <bool Sub>
struct AddSub8 {
    static constexpr unsigned s = 3;
    static uint32_t half(uint32_t a, uint32_t b) {
        const uint64_t ea = lane_expand(a), eb = lane_expand(b);
        return lane_pack16(Sub ? lane_sub16(ea, eb) : lane_add16(ea, eb), s);
    }
    uint64_t operator()(uint64_t a, uint64_t b, unsigned) const {
        return lane_join(half(lane_half0(a), lane_half0(b)), half(lane_half1(a), lane_half1(b)));
    }
};

// Product clamped to 255: exact products 256ab of the expanded lanes, gathered
// by four pack32 steps (even bytes in the first half, odd bytes in the second)
// and interleaved back into memory order.
struct Mpy8 {
    static constexpr unsigned s = 15;
    uint64_t operator()(uint64_t a, uint64_t b, unsigned) const {
        uint64_t acc = 0;
        for (unsigned h = 0; h < 2; ++h) {
            const uint64_t ea = lane_expand(static_cast<uint32_t>(a >> (32 * h)));
            const uint64_t eb = lane_expand(static_cast<uint32_t>(b >> (32 * h)));
            for (unsigned p = 0; p < 2; ++p) {
                const uint32_t x = static_cast<uint32_t>(ea >> (32 * p));
                const uint32_t y = static_cast<uint32_t>(eb >> (32 * p));
                acc = lane_pack32(acc, lane_add32(lane_muld8sux16(x, y), lane_muld8ulx16(x, y)), s);
            }
        }
        return lane_merge(lane_half0(acc), lane_half1(acc));
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
};

enum class Logic { And, Or, Xor };

template <Logic L>
struct Logic2 {
    uint64_t operator()(uint64_t a, uint64_t b, unsigned) const {
        return L == Logic::And ? a & b : L == Logic::Or ? a | b : a ^ b;
    }
};

// The kernel: lane control set at entry, checks, then the row walk.
template <unsigned Control, class Op>
void two_source(int band_mask, kl_image *dst, kl_image *src1, kl_image *src2) {
    lane_control.set(Control);
    const unsigned m = accept<false>(band_mask, dst, src1, src2);
    if (!m || !src2) return;
    run<false>(m, dst, src1, src2, Op{});
}

}  // namespace

void kl_portable_arith8(kl_impl &t) {
    t.add_8 = two_source<0x18, AddSub8<false>>;
    t.sub_8 = two_source<0x18, AddSub8<true>>;
    t.mpy_8 = two_source<0x78, Mpy8>;
    t.max_8 = two_source<0x18, Select8<true>>;
    t.min_8 = two_source<0x18, Select8<false>>;
    t.and_8 = two_source<0x18, Logic2<Logic::And>>;
    t.or_8 = two_source<0x18, Logic2<Logic::Or>>;
    t.xor_8 = two_source<0x18, Logic2<Logic::Xor>>;
}
