// Kernels combining one source with one constant per band.
//
// The constants are laid out once per call over the 24-byte band cycle (24
// bytes hold a whole number of pixels for 1 to 4 bands of 8 or 16 bits), and
// each destination word reads them at its cycle offset, so that sample j of a
// row always takes the constant of band j mod bands, whatever the row's
// alignment.
#include <type_traits>

#include "kl.h"
#include "kl_arith_frame.h"
#include "kl_impl.h"
#include "lane.h"

namespace {

using namespace kl_arith;

enum class Arith { Add, Sub, KSub };
enum class Logic { And, Or, Xor };

// Per-band constants k[] laid out over the 24-byte band cycle, with a word's
// worth of repeat so that a word can be read at any cycle offset o: per byte
// (8-bit samples, T per byte) or per sample (16-bit samples, T per sample).
template <class T, bool W16>
struct Cycle {
    static constexpr unsigned N = W16 ? 12 : 24;
    T v[N + (W16 ? 4 : 8)];
    void fill(const int32_t *k, unsigned bands) {
        for (unsigned i = 0; i < sizeof v / sizeof v[0]; ++i)
            v[i] = static_cast<T>(k[band_of_byte(i % N * (W16 ? 2 : 1), W16 ? 2 : 1, bands)]);
    }
    // The word at cycle offset o (bytes), element e further on.
    uint64_t word(unsigned o, unsigned e = 0) const { return lane_load(v + o / (W16 ? 2 : 1) + e); }
};

// 8-bit add, subtract and subtract-from: the constant lane is k * 16 against
// the expanded source. Constants are first limited to -256..511, which leaves
// clamp(a + k), clamp(a - k) and clamp(k - a) unchanged for every byte a and
// keeps the lane sums inside the 16-bit range.
template <Arith A>
struct ArithK8 {
    Cycle<int16_t, false> c;
    uint64_t operator()(uint64_t a, uint64_t, unsigned o) const {
        uint32_t out[2];
        for (unsigned h = 0; h < 2; ++h) {
            const uint64_t ea = lane_expand(static_cast<uint32_t>(a >> (32 * h))), k = c.word(o, 4 * h);
            const uint64_t v = A == Arith::Add ? lane_add16(ea, k) : A == Arith::Sub ? lane_sub16(ea, k) : lane_sub16(k, ea);
            out[h] = lane_pack16(v, 3);
        }
        return lane_join(out[0], out[1]);
    }
};

// Bitwise with one byte (8-bit) or one lane (16-bit) per sample.
template <Logic L, bool W16>
struct LogicK {
    Cycle<std::conditional_t<W16, int16_t, uint8_t>, W16> c;
    uint64_t operator()(uint64_t a, uint64_t, unsigned o) const {
        const uint64_t k = c.word(o);
        return L == Logic::And ? a & k : L == Logic::Or ? a | k : a ^ k;
    }
};

// 16-bit add, subtract and subtract-from in 32-bit lanes with eight fraction
// bits, the constant widened like a sample (k * 256).
template <Arith A>
struct ArithK16 {
    Cycle<int32_t, true> c;
    uint64_t operator()(uint64_t a, uint64_t, unsigned o) const {
        uint32_t out[2];
        for (unsigned h = 0; h < 2; ++h) {
            const uint64_t wa = lane_muld8sux16(kl_scale_16_8, static_cast<uint32_t>(a >> (32 * h)));
            const uint64_t k = c.word(o, 2 * h);
            const uint64_t v = A == Arith::Add ? lane_add32(wa, k) : A == Arith::Sub ? lane_sub32(wa, k) : lane_sub32(k, wa);
            out[h] = lane_packfix(v, 8);
        }
        return lane_join(out[0], out[1]);
    }
};

// Multiply by a fixed-point constant: rounded product with eight fraction
// bits dropped, plus the rounding lane, packed at pack scale 15 - shift.
struct MpyK8 {
    Cycle<int16_t, false> c;
    uint64_t round;
    unsigned s;
    uint64_t operator()(uint64_t a, uint64_t, unsigned o) const {
        uint32_t out[2];
        for (unsigned h = 0; h < 2; ++h) {
            const uint64_t v = lane_mul8x16(static_cast<uint32_t>(a >> (32 * h)), c.word(o, 4 * h));
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
template <bool W16, class Op, unsigned Control, int Lo, int Hi, int Scale>
void constant_kernel(int band_mask, kl_image *dst, kl_image *src, short *constants) {
    lane_control.set(Control);
    const unsigned m = accept_k<W16>(band_mask, dst, src, constants);
    if (!m) return;
    int32_t k[4];
    for (int b = 0; b < 4; ++b) {
        const int v = b < dst->bands ? constants[b] : 0;
        k[b] = (v < Lo ? Lo : (v > Hi ? Hi : v)) * Scale;
    }
    Op op;
    op.c.fill(k, static_cast<unsigned>(dst->bands));
    run<W16>(m, dst, src, nullptr, op);
}

template <class Op>
constexpr kl_const_fn k8 = constant_kernel<false, Op, 0x18, 0, 255, 1>;
template <class Op>
constexpr kl_const_fn k16 = constant_kernel<true, Op, 0x40, -32768, 32767, 1>;
template <Arith A>
constexpr kl_const_fn arith8 = constant_kernel<false, ArithK8<A>, 0x18, -256, 511, 16>;
template <Arith A>
constexpr kl_const_fn arith16 = constant_kernel<true, ArithK16<A>, 0x40, -32768, 32767, 256>;

void mpyk_8(int band_mask, kl_image *dst, kl_image *src, short *constants, int shift, int round) {
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
    int32_t k[4];
    for (int b = 0; b < 4; ++b) k[b] = b < dst->bands ? constants[b] : 0;
    op.c.fill(k, static_cast<unsigned>(dst->bands));
    const uint64_t R = round && shift >= 9 ? uint64_t{1} << (shift - 9) : 0;
    op.round = R * 0x0001000100010001ull;
    op.s = s;
    run<false>(m, dst, src, nullptr, op);
}

}  // namespace

void kl_portable_constant(kl_impl &t) {
    t.addk_8 = arith8<Arith::Add>;
    t.subk_8 = arith8<Arith::Sub>;
    t.ksub_8 = arith8<Arith::KSub>;
    t.andk_8 = k8<LogicK<Logic::And, false>>;
    t.ork_8 = k8<LogicK<Logic::Or, false>>;
    t.xork_8 = k8<LogicK<Logic::Xor, false>>;
    t.addk_16 = arith16<Arith::Add>;
    t.subk_16 = arith16<Arith::Sub>;
    t.ksub_16 = arith16<Arith::KSub>;
    t.andk_16 = k16<LogicK<Logic::And, true>>;
    t.ork_16 = k16<LogicK<Logic::Or, true>>;
    t.xork_16 = k16<LogicK<Logic::Xor, true>>;
    t.mpyk_8 = mpyk_8;
}

extern "C" uint32_t kl_s16_to_kl_f32(short v) { return static_cast<uint32_t>(static_cast<uint16_t>(v)) << 16; }
