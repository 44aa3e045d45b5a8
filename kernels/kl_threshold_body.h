// The threshold kernels, generic over the body policy of the arithmetic row
// walk (kl_body.h). The word form is the definition of the bytes: 8-bit
// samples widened by lane_expand and compared in 16-bit lanes against low
// and high widened the same way; 16-bit samples compared directly. The vector
// form, for implementations that include this file after defining their lane
// vocabulary (max/min and the equality masks eq_u8 / eq_s16), selects with
// low <= a  <=>  max(a, low) == a  and  a <= high  <=>  min(a, high) == a.
#pragma once

#include <cstdint>
#include <type_traits>

#include "kl.h"
#include "kl_body.h"
#include "kl_impl.h"
#include "lane.h"

namespace {
namespace threshold {

inline int thr_clamp8(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

struct Threshold8 {
    Cycle<int16_t, false> lo, hi;              // value * 16 per byte of the cycle
    Cycle<uint8_t, false> lo8, hi8, map;       // the values themselves
    uint64_t operator()(uint64_t a, uint64_t, unsigned o) const {
        unsigned in = 0;
        for (unsigned h = 0; h < 2; ++h) {
            const uint64_t e = lane_expand(static_cast<uint32_t>(a >> (32 * h)));
            const unsigned m = lane_cmp16_le(lo.word(o, 4 * h), e) & lane_cmp16_le(e, hi.word(o, 4 * h));
            in |= m << (4 * (1 - h));
        }
        const uint64_t sel = lane_bytemask8(in);
        return (map.word(o) & sel) | (a & ~sel);
    }
    template <class W>
    W operator()(W a, W, unsigned o) const {
        const W l = vload(lo8.at(o), W{}), h = vload(hi8.at(o), W{}), v = vload(map.at(o), W{});
        const W in = eq_u8(max_u8(a, l), a) & eq_u8(min_u8(a, h), a);
        return (v & in) | (a & ~in);
    }
};

struct Threshold16 {
    Cycle<int16_t, true> lo, hi, map;
    uint64_t operator()(uint64_t a, uint64_t, unsigned o) const {
        const uint64_t sel = lane_lanemask16(lane_cmp16_le(lo.word(o), a) & lane_cmp16_le(a, hi.word(o)));
        return (map.word(o) & sel) | (a & ~sel);
    }
    template <class W>
    W operator()(W a, W, unsigned o) const {
        const W l = vload(lo.at(o), W{}), h = vload(hi.at(o), W{}), v = vload(map.at(o), W{});
        const W in = eq_s16(max_s16(a, l), a) & eq_s16(min_s16(a, h), a);
        return (v & in) | (a & ~in);
    }
};

// An operation whose every band is a clamp, min(max(a, lo), hi): the one-sided
// thresholds (samples from t up mapped to t, or up to t mapped to t), an
// empty interval (every sample kept) and a whole one (every sample mapped).
// Vectors take the clamp; words the threshold itself, which gives the same
// bytes.
template <class Op, bool W16>
struct Clamp {
    Op exact;
    Cycle<std::conditional_t<W16, int16_t, uint8_t>, W16> lo, hi;
    uint64_t operator()(uint64_t a, uint64_t b, unsigned o) const { return exact(a, b, o); }
    template <class W>
    W operator()(W a, W, unsigned o) const {
        const W l = vload(lo.at(o), W{}), h = vload(hi.at(o), W{});
        if constexpr (W16) return min_s16(max_s16(a, l), h);
        else return min_u8(max_u8(a, l), h);
    }
};

// The clamp bounds of band values l, h, v (clamped to the sample range) when
// they make one; false otherwise.
template <bool W16>
inline bool clamp_of(int32_t l, int32_t h, int32_t v, int32_t &lo, int32_t &hi) {
    const int32_t bottom = W16 ? -32768 : 0, top = W16 ? 32767 : 255;
    if (l > h) lo = bottom, hi = top;          // nothing in the interval
    else if (l == bottom && h == top) lo = hi = v;  // everything
    else if (h == top && v == l) lo = bottom, hi = l;
    else if (l == bottom && v == h) lo = h, hi = top;
    else return false;
    return true;
}

template <class V, bool W16>
void kernel(int mask, kl_image *dst, kl_image *src, const short *low, const short *high, const short *map) {
    if (!low || !high || !map) return;
    const unsigned m = accept<W16>(mask, dst, src, nullptr);
    if (!m || dst->type != (W16 ? KL_SHORT : KL_BYTE) || src->type != dst->type) return;
    const unsigned n = static_cast<unsigned>(dst->bands);
    int32_t l[4] = {}, h[4] = {}, v[4] = {};
    for (unsigned b = 0; b < n; ++b) {
        l[b] = W16 ? low[b] : thr_clamp8(low[b]);
        h[b] = W16 ? high[b] : thr_clamp8(high[b]);
        v[b] = W16 ? map[b] : thr_clamp8(map[b]);
    }
    std::conditional_t<W16, Threshold16, Threshold8> op;
    if constexpr (W16) {
        op.lo.fill(l, n);
        op.hi.fill(h, n);
    } else {
        op.lo8.fill(l, n);
        op.hi8.fill(h, n);
        op.lo.fill([&](unsigned o) { return 16 * l[band_of_byte(o, 1, n)]; });
        op.hi.fill([&](unsigned o) { return 16 * h[band_of_byte(o, 1, n)]; });
    }
    op.map.fill(v, n);
    if constexpr (V::isa != kl_isa::portable) {
        int32_t cl[4] = {}, ch[4] = {};
        bool clamps = true;
        for (unsigned b = 0; b < n; ++b) clamps = clamps && clamp_of<W16>(l[b], h[b], v[b], cl[b], ch[b]);
        if (clamps) {
            Clamp<decltype(op), W16> c{op, {}, {}};
            c.lo.fill(cl, n);
            c.hi.fill(ch, n);
            return run<V, W16>(m, dst, src, nullptr, c);
        }
    }
    run<V, W16>(m, dst, src, nullptr, op);
}

template <class V>
void entries(kl_impl &t) {
    t.threshold_8 = kernel<V, false>;
    t.threshold_16 = kernel<V, true>;
}

}  // namespace threshold
}  // namespace
