// Kernels combining one source with one constant per band.
//
// The constants are laid out once per row offset in the words of a 24-byte
// cycle (24 bytes hold a whole number of pixels for 1 to 4 bands of 8 or 16
// bits), so that sample j of a row always takes the constant of band j mod
// bands, whatever the row's alignment.
#include "kl.h"
#include "kl_arith_frame.h"
#include "lane.h"

namespace {

using namespace kl_arith;

enum class Arith { Add, Sub, KSub };
enum class Logic { And, Or, Xor };

// Per-band constants put in the layout of the three destination words of the
// cycle: for 8-bit samples the 16-bit lane p of half h holds the value of the
// band of byte 4h + p; for 16-bit samples lane p holds the value of sample p.
struct Layout {
    unsigned bands;
    int32_t k[4];

    // Lane p (0..3) of half h (8-bit) for word t at row offset r.
    uint64_t half8(unsigned t, unsigned h, unsigned r) const {
        uint64_t w = 0;
        for (unsigned p = 0; p < 4; ++p) {
            long q = static_cast<long>(4 * h + p) - static_cast<long>(r) + 8 * static_cast<long>(t);
            w |= lane_put16(k[band_of_byte(q, 1, bands)], p);
        }
        return w;
    }
    // Byte p (0..7) for word t.
    uint64_t bytes8(unsigned t, unsigned r) const {
        uint64_t w = 0;
        for (unsigned p = 0; p < 8; ++p) {
            long q = static_cast<long>(p) - static_cast<long>(r) + 8 * static_cast<long>(t);
            w |= static_cast<uint64_t>(static_cast<uint8_t>(k[band_of_byte(q, 1, bands)])) << (8 * p);
        }
        return w;
    }
    // 16-bit lane p (0..3) for word t.
    uint64_t lanes16(unsigned t, unsigned r) const {
        uint64_t w = 0;
        for (unsigned p = 0; p < 4; ++p) {
            long q = static_cast<long>(2 * p) - static_cast<long>(r) + 8 * static_cast<long>(t);
            w |= lane_put16(k[band_of_byte(q, 2, bands)], p);
        }
        return w;
    }
};

// 8-bit add, subtract and subtract-from: the constant lane is k * 16 against
// the expanded source. Constants are first limited to -256..511, which leaves
// clamp(a + k), clamp(a - k) and clamp(k - a) unchanged for every byte a and
// keeps the lane sums inside the 16-bit range.
template <Arith A>
struct ArithK8 : ConstRows<ArithK8<A>> {
    Layout lay;
    uint64_t c[3][2];
    void build(unsigned r) {
        for (unsigned t = 0; t < 3; ++t)
            for (unsigned h = 0; h < 2; ++h) c[t][h] = lay.half8(t, h, r);
    }
    uint64_t operator()(uint64_t a, uint64_t, unsigned t) const {
        uint32_t out[2];
        for (unsigned h = 0; h < 2; ++h) {
            const uint64_t ea = lane_expand(static_cast<uint32_t>(a >> (32 * h)));
            const uint64_t v = A == Arith::Add ? lane_add16(ea, c[t][h])
                               : A == Arith::Sub ? lane_sub16(ea, c[t][h])
                                                 : lane_sub16(c[t][h], ea);
            out[h] = lane_pack16(v, 3);
        }
        return lane_join(out[0], out[1]);
    }
};

// Bitwise with one byte (8-bit) or one lane (16-bit) per sample.
template <Logic L, bool W16>
struct LogicK : ConstRows<LogicK<L, W16>> {
    Layout lay;
    uint64_t c[3];
    void build(unsigned r) {
        for (unsigned t = 0; t < 3; ++t) c[t] = W16 ? lay.lanes16(t, r) : lay.bytes8(t, r);
    }
    uint64_t operator()(uint64_t a, uint64_t, unsigned t) const {
        return L == Logic::And ? a & c[t] : L == Logic::Or ? a | c[t] : a ^ c[t];
    }
};

// 16-bit add, subtract and subtract-from in 32-bit lanes with eight fraction
// bits, the constant widened like a sample.
template <Arith A>
struct ArithK16 : ConstRows<ArithK16<A>> {
    Layout lay;
    uint64_t c[3][2];
    void build(unsigned r) {
        for (unsigned t = 0; t < 3; ++t) {
            const uint64_t w = lay.lanes16(t, r);
            c[t][0] = lane_muld8sux16(kl_scale_16_8, lane_half0(w));
            c[t][1] = lane_muld8sux16(kl_scale_16_8, lane_half1(w));
        }
    }
    uint64_t operator()(uint64_t a, uint64_t, unsigned t) const {
        uint32_t out[2];
        for (unsigned h = 0; h < 2; ++h) {
            const uint64_t wa = lane_muld8sux16(kl_scale_16_8, static_cast<uint32_t>(a >> (32 * h)));
            const uint64_t v = A == Arith::Add ? lane_add32(wa, c[t][h])
                               : A == Arith::Sub ? lane_sub32(wa, c[t][h])
                                                 : lane_sub32(c[t][h], wa);
            out[h] = lane_packfix(v, 8);
        }
        return lane_join(out[0], out[1]);
    }
};

// Multiply by a fixed-point constant: rounded product with eight fraction
// bits dropped, plus the rounding lane, packed at pack scale 15 - shift.
struct MpyK8 : ConstRows<MpyK8> {
    Layout lay;
    uint64_t round;
    unsigned s;
    uint64_t c[3][2];
    void build(unsigned r) {
        for (unsigned t = 0; t < 3; ++t)
            for (unsigned h = 0; h < 2; ++h) c[t][h] = lay.half8(t, h, r);
    }
    uint64_t operator()(uint64_t a, uint64_t, unsigned t) const {
        uint32_t out[2];
        for (unsigned h = 0; h < 2; ++h) {
            const uint64_t v = lane_mul8x16(static_cast<uint32_t>(a >> (32 * h)), c[t][h]);
            out[h] = lane_pack16(lane_add16(v, round), s);
        }
        return lane_join(out[0], out[1]);
    }
};

// Checks shared by the constant kernels.
template <bool W16>
unsigned accept_k(int band_mask, const kl_image *dst, const kl_image *src, const short *k) {
    if (!k) return 0;
    return accept<W16>(band_mask, dst, src, nullptr);
}

// Constants limited to lo..hi and multiplied by scale, then the row walk.
template <bool W16, class Op>
void constant_kernel(int band_mask, kl_image *dst, kl_image *src, short *constants, unsigned control,
                     int lo, int hi, int scale, Op op) {
    lane_control.set(control);
    const unsigned m = accept_k<W16>(band_mask, dst, src, constants);
    if (!m) return;
    op.lay.bands = static_cast<unsigned>(dst->bands);
    for (int b = 0; b < 4; ++b) {
        int v = b < dst->bands ? constants[b] : 0;
        op.lay.k[b] = (v < lo ? lo : (v > hi ? hi : v)) * scale;
    }
    run<W16>(m, dst, src, nullptr, op);
}

}  // namespace

extern "C" {

void kl_addk_8(int band_mask, kl_image *dst, kl_image *src, short *constants) {
    constant_kernel<false>(band_mask, dst, src, constants, 0x18, -256, 511, 16, ArithK8<Arith::Add>{});
}

void kl_subk_8(int band_mask, kl_image *dst, kl_image *src, short *constants) {
    constant_kernel<false>(band_mask, dst, src, constants, 0x18, -256, 511, 16, ArithK8<Arith::Sub>{});
}

void kl_ksub_8(int band_mask, kl_image *dst, kl_image *src, short *constants) {
    constant_kernel<false>(band_mask, dst, src, constants, 0x18, -256, 511, 16, ArithK8<Arith::KSub>{});
}

void kl_andk_8(int band_mask, kl_image *dst, kl_image *src, short *constants) {
    constant_kernel<false>(band_mask, dst, src, constants, 0x18, 0, 255, 1, LogicK<Logic::And, false>{});
}

void kl_ork_8(int band_mask, kl_image *dst, kl_image *src, short *constants) {
    constant_kernel<false>(band_mask, dst, src, constants, 0x18, 0, 255, 1, LogicK<Logic::Or, false>{});
}

void kl_xork_8(int band_mask, kl_image *dst, kl_image *src, short *constants) {
    constant_kernel<false>(band_mask, dst, src, constants, 0x18, 0, 255, 1, LogicK<Logic::Xor, false>{});
}

void kl_addk_16(int band_mask, kl_image *dst, kl_image *src, short *constants) {
    constant_kernel<true>(band_mask, dst, src, constants, 0x40, -32768, 32767, 1, ArithK16<Arith::Add>{});
}

void kl_subk_16(int band_mask, kl_image *dst, kl_image *src, short *constants) {
    constant_kernel<true>(band_mask, dst, src, constants, 0x40, -32768, 32767, 1, ArithK16<Arith::Sub>{});
}

void kl_ksub_16(int band_mask, kl_image *dst, kl_image *src, short *constants) {
    constant_kernel<true>(band_mask, dst, src, constants, 0x40, -32768, 32767, 1, ArithK16<Arith::KSub>{});
}

void kl_andk_16(int band_mask, kl_image *dst, kl_image *src, short *constants) {
    constant_kernel<true>(band_mask, dst, src, constants, 0x40, -32768, 32767, 1, LogicK<Logic::And, true>{});
}

void kl_ork_16(int band_mask, kl_image *dst, kl_image *src, short *constants) {
    constant_kernel<true>(band_mask, dst, src, constants, 0x40, -32768, 32767, 1, LogicK<Logic::Or, true>{});
}

void kl_xork_16(int band_mask, kl_image *dst, kl_image *src, short *constants) {
    constant_kernel<true>(band_mask, dst, src, constants, 0x40, -32768, 32767, 1, LogicK<Logic::Xor, true>{});
}

void kl_mpyk_8(int band_mask, kl_image *dst, kl_image *src, short *constants, int shift, int round) {
    if (!constants || !dst || dst->bands < 1 || dst->bands > 4) return;
    // Negative factors become 0, in the caller's array too.
    for (int b = 0; b < dst->bands; ++b)
        if (constants[b] < 0) constants[b] = 0;
    if (shift < 0 || shift > 15) return;
    const unsigned s = static_cast<unsigned>(15 - shift);
    lane_control.set(s * 8);
    const unsigned m = accept_k<false>(band_mask, dst, src, constants);
    if (!m) return;
    MpyK8 op;
    op.lay.bands = static_cast<unsigned>(dst->bands);
    for (int b = 0; b < 4; ++b) op.lay.k[b] = b < dst->bands ? constants[b] : 0;
    const uint64_t R = round && shift >= 9 ? uint64_t{1} << (shift - 9) : 0;
    op.round = R * 0x0001000100010001ull;
    op.s = s;
    run<false>(m, dst, src, nullptr, op);
}

uint32_t kl_s16_to_kl_f32(short v) { return static_cast<uint32_t>(static_cast<uint16_t>(v)) << 16; }

}  // extern "C"
