// Two-source arithmetic and logic kernels on signed 16-bit samples, and the
// absolute value.
#include "kl.h"
#include "kl_arith_frame.h"
#include "kl_impl.h"
#include "lane.h"

namespace {

using namespace kl_arith;

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
};

// Exact 32-bit products narrowed with saturation; pack scale 16 keeps the value.
struct Mpy16 {
    static uint32_t half(uint32_t a, uint32_t b) {
        return lane_packfix(lane_add32(lane_muld8sux16(a, b), lane_muld8ulx16(a, b)), 16);
    }
    uint64_t operator()(uint64_t a, uint64_t b, unsigned) const {
        return lane_join(half(lane_half0(a), lane_half0(b)), half(lane_half1(a), lane_half1(b)));
    }
};

template <bool Gt>
struct Select16 {
    uint64_t operator()(uint64_t a, uint64_t b, unsigned) const {
        const uint64_t sel = lane_lanemask16(Gt ? lane_cmp16_gt(a, b) : lane_cmp16_le(a, b));
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

// The source where it is positive, its saturated negation elsewhere.
struct Abs16 {
    uint64_t operator()(uint64_t a, uint64_t, unsigned) const {
        const uint64_t neg = lane_join(lane_packfix(lane_sub32(uint64_t{0}, widen(lane_half0(a))), 8),
                                       lane_packfix(lane_sub32(uint64_t{0}, widen(lane_half1(a))), 8));
        const uint64_t sel = lane_lanemask16(lane_cmp16_le(a, 0));
        return (neg & sel) | (a & ~sel);
    }
};

// The kernel: lane control set at entry, checks, then the row walk.
template <unsigned Control, class Op, bool Two = true>
void two_source(int band_mask, kl_image *dst, kl_image *src1, kl_image *src2) {
    lane_control.set(Control);
    const unsigned m = accept<true>(band_mask, dst, src1, Two ? src2 : nullptr);
    if (!m || (Two && !src2)) return;
    run<true>(m, dst, src1, Two ? src2 : nullptr, Op{});
}

}  // namespace

void kl_portable_arith16(kl_impl &t) {
    t.add_16 = two_source<0x40, AddSub16<false>>;
    t.sub_16 = two_source<0x40, AddSub16<true>>;
    t.mpy_16 = two_source<0x80, Mpy16>;
    t.max_16 = two_source<0x40, Select16<true>>;
    t.min_16 = two_source<0x40, Select16<false>>;
    t.and_16 = two_source<0x40, Logic2<Logic::And>>;
    t.or_16 = two_source<0x40, Logic2<Logic::Or>>;
    t.xor_16 = two_source<0x40, Logic2<Logic::Xor>>;
    t.abs_16 = [](int band_mask, kl_image *dst, kl_image *src) {
        two_source<0x40, Abs16, false>(band_mask, dst, src, nullptr);
    };
}
