// Byte moves that write exactly the enabled bytes of a destination, for an
// instruction set without byte-masked stores (AVX2).
//
// A layout whose destination bytes are not all written (a band pattern, the
// fourth sample of a 3 -> 4 conversion, one band of several) repeats with a
// period: a group of pixels, or 24 bytes of a band pattern. A plan lists the
// moves of one period: each copies 1, 2, 4, 8, 16 or 32 contiguous bytes from
// a source offset to a destination offset, and together they cover the
// enabled bytes and nothing else. A run of enabled bytes whose length is not
// a power of two is two moves of the largest power of two below it, the
// second ending on the run's last byte; the bytes both cover are written
// twice with the same value. Plans made at compile time are applied as
// straight-line loads and stores; a pattern known only at run time has its
// plan made per call and applied by a loop over the moves.
//
// The destination is never read, and a move reads only source bytes of the
// period it copies, so a caller that applies plans to whole periods of a row
// reads nothing outside the row. Source and destination must not overlap (a
// move's store could change the source of a later move).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lane.h"

#if defined(KL_AVX2)

namespace {
namespace runs {
using u8 = unsigned char;

struct Move {
    uint16_t d, s;
    uint8_t n;
};

struct Plan {
    unsigned count = 0, sbytes = 0;  // moves, source bytes of the period
    Move m[128] = {};
    // Every move reads at most 8 bytes of a period of whole 8-byte words.
    constexpr bool in_words() const {
        if (sbytes % 8 || sbytes > 128) return false;
        for (unsigned i = 0; i < count; ++i)
            if (m[i].n > 8) return false;
        return true;
    }
    // The moves of n >= 1 contiguous bytes.
    constexpr void span(unsigned d, unsigned s, unsigned n) {
        while (n) {
            unsigned k = 32;
            while (k > n) k >>= 1;
            if (n == k || n < 2 * k) {
                m[count++] = {static_cast<uint16_t>(d), static_cast<uint16_t>(s), static_cast<uint8_t>(k)};
                if (n != k)
                    m[count++] = {static_cast<uint16_t>(d + n - k), static_cast<uint16_t>(s + n - k),
                                  static_cast<uint8_t>(k)};
                return;
            }
            m[count++] = {static_cast<uint16_t>(d), static_cast<uint16_t>(s), static_cast<uint8_t>(k)};
            d += k, s += k, n -= k;
        }
    }
};

template <unsigned n>
[[gnu::always_inline]] inline void move(u8 *d, const u8 *s) {
    if constexpr (n == 32) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(d), _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s)));
    } else if constexpr (n == 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d), _mm_loadu_si128(reinterpret_cast<const __m128i *>(s)));
    } else {
        std::memcpy(d, s, n);
    }
}

// The moves of a compile-time plan, in order: from the period's source read
// as whole words where the moves allow (one load per 8 source bytes, each
// move's bytes shifted out of one or two words), else each move from its own
// load.
template <const Plan &P, unsigned I = 0>
[[gnu::always_inline]] inline void apply_loads(u8 *d, const u8 *s) {
    if constexpr (I < P.count) {
        move<P.m[I].n>(d + P.m[I].d, s + P.m[I].s);
        apply_loads<P, I + 1>(d, s);
    }
}

template <const Plan &P, unsigned I = 0>
[[gnu::always_inline]] inline void apply_words(u8 *d, const uint64_t *w) {
    if constexpr (I < P.count) {
        constexpr Move m = P.m[I];
        constexpr unsigned k = m.s / 8, b = m.s % 8;
        uint64_t v = w[k] >> (8 * b);
        if constexpr (b + m.n > 8) v |= w[k + 1] << (64 - 8 * b);
        std::memcpy(d + m.d, &v, m.n);
        apply_words<P, I + 1>(d, w);
    }
}

template <const Plan &P>
[[gnu::always_inline]] inline void apply(u8 *d, const u8 *s) {
    if constexpr (P.in_words()) {
        uint64_t w[P.sbytes / 8];
#pragma GCC unroll 16
        for (unsigned i = 0; i < P.sbytes / 8; ++i) w[i] = lane_load(s + 8 * i);
        apply_words<P>(d, w);
    } else {
        apply_loads<P>(d, s);
    }
}

// The moves of a plan made at run time.
inline void apply(const Plan &p, u8 *d, const u8 *s) {
    for (unsigned i = 0; i < p.count; ++i) {
        const Move &m = p.m[i];
        switch (m.n) {
        case 1: move<1>(d + m.d, s + m.s); break;
        case 2: move<2>(d + m.d, s + m.s); break;
        case 4: move<4>(d + m.d, s + m.s); break;
        case 8: move<8>(d + m.d, s + m.s); break;
        case 16: move<16>(d + m.d, s + m.s); break;
        default: move<32>(d + m.d, s + m.s); break;
        }
    }
}

// n >= 1 contiguous bytes of any length.
inline void span(u8 *d, const u8 *s, size_t n) {
    for (; n > 32; n -= 32, d += 32, s += 32) move<32>(d, s);
    if (n >= 16) {
        move<16>(d, s), move<16>(d + n - 16, s + n - 16);
    } else if (n >= 8) {
        move<8>(d, s), move<8>(d + n - 8, s + n - 8);
    } else if (n >= 4) {
        move<4>(d, s), move<4>(d + n - 4, s + n - 4);
    } else if (n >= 2) {
        move<2>(d, s), move<2>(d + n - 2, s + n - 2);
    } else {
        move<1>(d, s);
    }
}

// ---- Pixel layouts ---------------------------------------------------------

// The moves of G pixels: sample k of source pixel i (ns samples of E bytes)
// to sample at(k) of destination pixel i (nd samples) for every k that sel(k)
// selects; samples contiguous on both sides are one span.
template <class At, class Sel>
constexpr Plan pixel_plan(unsigned G, unsigned E, unsigned nd, unsigned ns, At at, Sel sel) {
    Plan p;
    p.sbytes = G * ns * E;
    for (unsigned i = 0; i < G; ++i) {
        for (unsigned k = 0; k < ns;) {
            if (!sel(k)) {
                ++k;
                continue;
            }
            unsigned e = k + 1;
            while (e < ns && sel(e) && at(e) == at(e - 1) + 1) ++e;
            p.span((i * nd + at(k)) * E, (i * ns + k) * E, (e - k) * E);
            k = e;
        }
    }
    return p;
}

// Rows of w pixels: G pixels at a time by Group, then one at a time by One;
// pd and ps bytes per destination and source pixel.
template <const Plan &Group, const Plan &One, unsigned G, unsigned pd, unsigned ps>
void pixel_rows(u8 *d0, ptrdiff_t dlb, const u8 *s0, ptrdiff_t slb, int w, int h) {
    for (int j = 0; j < h; ++j) {
        u8 *d = d0 + j * dlb;
        const u8 *s = s0 + j * slb;
        int i = 0;
        for (; i + static_cast<int>(G) <= w; i += G, d += G * pd, s += G * ps) apply<Group>(d, s);
        for (; i < w; ++i, d += pd, s += ps) apply<One>(d, s);
    }
}

// ---- Band patterns ---------------------------------------------------------

// Row byte j is enabled under the 24-bit pattern p (bit 7 - j mod 24).
constexpr bool on(uint32_t p, size_t j) { return (p >> ((7 + 24 - j % 24) % 24)) & 1; }

// The pattern of the bands m selects (bit n - 1 - b for band b) of n-band
// pixels of E-byte samples.
constexpr uint32_t band_pattern(unsigned E, unsigned n, unsigned m) {
    uint32_t p = 0;
    for (unsigned j = 0; j < 24; ++j)
        if ((m >> (n - 1 - j / E % n)) & 1) p |= uint32_t{1} << ((7 + 24 - j) % 24);
    return p;
}

// First cycle offset whose byte the pattern leaves alone (p not full).
constexpr unsigned gap(uint32_t p) {
    unsigned z = 0;
    while (z < 24 && on(p, z)) ++z;
    return z;
}

// The moves of R cycles of the pattern from cycle offset z, which starts a
// gap so that no run crosses from one cycle into the next.
constexpr Plan cycle_plan(uint32_t p, unsigned R) {
    Plan pl;
    const unsigned z = gap(p), n = 24 * R;
    pl.sbytes = n;
    for (unsigned j = 0; j < n;) {
        if (!on(p, z + j)) {
            ++j;
            continue;
        }
        unsigned e = j + 1;
        while (e < n && on(p, z + e)) ++e;
        pl.span(j, j, e - j);
        j = e;
    }
    return pl;
}

// The enabled bytes of row bytes lo .. hi - 1.
inline void clipped(u8 *d, const u8 *s, uint32_t p, size_t lo, size_t hi) {
    for (size_t j = lo; j < hi;) {
        if (!on(p, j)) {
            ++j;
            continue;
        }
        size_t e = j + 1;
        while (e < hi && on(p, e)) ++e;
        span(d + j, s + j, e - j);
        j = e;
    }
}

// A row of n bytes under a pattern that is not full: the bytes before the
// first gap one by one, whole periods of R cycles by plan, the rest clipped.
template <class Apply>
inline void pattern_row(u8 *d, const u8 *s, size_t n, uint32_t p, unsigned R, Apply &&apply_at) {
    const size_t z = gap(p), period = 24 * R;
    if (n <= z) return clipped(d, s, p, 0, n);
    clipped(d, s, p, 0, z);
    size_t j = z;
    for (; j + period <= n; j += period) apply_at(d + j, s + j);
    clipped(d, s, p, j, n);
}

template <uint32_t P>
struct Cycles {
    static constexpr unsigned R = 4;
    static constexpr Plan plan = cycle_plan(P, R);
};

}  // namespace runs
}  // namespace

#endif  // KL_AVX2
