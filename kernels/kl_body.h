// What every family's body header (kl_<family>_body.h) starts from: the body
// policies, the band cycle and the row walk of the arithmetic, logic and
// threshold kernels.
//
// A body policy V names an implementation and how it computes the body of a
// row: V::isa, V::W (the word or vector the body computes in), V::bytes its
// size. Words (below, the portable implementation) computes one 8-byte word
// at a time with the primitives of lane.h; the vector policies (kl_avx2.cpp,
// kl_avx512.cpp) in V::bytes vectors, either with word-masked loads and
// stores (AVX2: their vectors take the body when the band pattern is full,
// its first and last vector under a mask of whole 8-byte words; 8-byte words
// elsewhere) or with byte-masked ones (V::masked), covering the whole body. A policy that streams (V::streams) writes the whole vectors
// of large calls with non-temporal stores and drains them before the kernel
// returns.
//
// The row walk (run): every destination byte is computed from the source
// bytes under it and stored once, under its edge mask and its band enables.
// Sources are read strictly inside their rows: whole words or vectors in the
// body, and bounded loads of just the row's bytes for the head and tail words
// (hosts do not pad their images). Bytes outside the row read as 0; they only
// ever land in destination bytes that are not stored.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kl.h"
#include "kl_impl.h"
#include "lane.h"

namespace {

// The portable body policy: 8-byte words, no masked or non-temporal stores.
struct Words {
    static constexpr kl_isa isa = kl_isa::portable;
    using W = uint64_t;
    static constexpr size_t bytes = 8;
    static constexpr bool masked = false, streams = false;
    static void store(uintptr_t a, W w) { lane_store(reinterpret_cast<void *>(a), w); }
    static void stream(uintptr_t a, W w) { store(a, w); }
    static void drain() {}
    // One 64-byte destination block from 64 source bytes, all loaded first.
    static void block(uintptr_t d, const unsigned char *s, bool) {
        uint64_t w[8];
        std::memcpy(w, s, 64);
        block_store(reinterpret_cast<void *>(d), w);
    }
    // Four blocks, all loaded first.
    static void blocks4(uintptr_t d, const unsigned char *s, bool) {
        uint64_t w[32];
        std::memcpy(w, s, 256);
        for (int i = 0; i < 4; ++i) block_store(reinterpret_cast<void *>(d + 64 * i), w + 8 * i);
    }
};

// Effective band mask after the common checks, or 0 when the kernel declines:
// missing descriptors, band counts outside 1..4 or different from the
// destination's, pixel sizes that do not match the sample size, an empty mask
// or rectangle, and (16-bit) a destination not on 2-byte sample boundaries.
template <bool W16>
inline unsigned accept(int band_mask, const kl_image *d, const kl_image *s1, const kl_image *s2) {
    if (!d || !s1 || !d->data || !s1->data) return 0;
    const int n = d->bands;
    if (n < 1 || n > 4 || s1->bands != n) return 0;
    const int bpp = n * (W16 ? 2 : 1);
    if (d->bpp != bpp || s1->bpp != bpp) return 0;
    unsigned m = static_cast<unsigned>(band_mask & d->bmask & s1->bmask);
    if (s2) {
        if (!s2->data || s2->bands != n || s2->bpp != bpp) return 0;
        m &= static_cast<unsigned>(s2->bmask);
    }
    m &= 0xfu;
    if (m == 0 || d->w <= 0 || d->h <= 0) return 0;
    if (W16 && ((reinterpret_cast<uintptr_t>(d->data) | static_cast<uintptr_t>(d->lb)) & 1)) return 0;
    return m;
}

// Band of cycle byte o (0..23) for sb-byte samples and n bands.
constexpr unsigned band_of_byte(unsigned o, unsigned sb, unsigned n) { return o / sb % n; }

// Calls that touch more than this many bytes (sources and destination; the
// second-level cache of current cores) write whole aligned vectors with
// non-temporal stores (V::streams): the destination would not stay in the
// caches anyway, it would push the sources out, and the stores skip reading
// each line for ownership first.
constexpr size_t kStreamBytes = size_t{2} << 20;

// Values per element of the 24-byte band cycle (a byte for 8-bit samples, a
// sample for 16-bit ones), repeated far enough that a 64-byte vector's worth
// can be read from any cycle offset.
template <class T, bool W16>
struct Cycle {
    static constexpr unsigned sb = W16 ? 2 : 1, N = 24 / sb;
    T v[N + 64 / sb];
    template <class F>
    void fill(F f) {
        for (unsigned i = 0; i < sizeof v / sizeof v[0]; ++i) v[i] = static_cast<T>(f(i % N * sb));
    }
    void fill(const int32_t *k, unsigned bands) {
        fill([&](unsigned o) { return k[band_of_byte(o, sb, bands)]; });
    }
    // The elements from cycle byte o, e elements further on.
    const T *at(unsigned o, unsigned e = 0) const { return v + o / sb + e; }
    uint64_t word(unsigned o, unsigned e = 0) const { return lane_load(at(o, e)); }
};

// Runs op over the destination rectangle: op(a, b, o) is the result for the
// source words or vectors a and b (b is 0 for one source) of the destination
// bytes from cycle offset o.
template <class V, bool W16, class Op>
inline void run(unsigned m, const kl_image *d, const kl_image *s1, const kl_image *s2, const Op &op) {
    using W = typename V::W;
    const uint32_t P = (W16 ? kl_masks_16b : kl_masks_8)[d->bands][m];
    const bool full = P == 0xffffffu;
    size_t n = static_cast<size_t>(d->w) * static_cast<size_t>(d->bpp);
    const bool nt = V::streams && n * static_cast<size_t>(d->h) * (s2 ? 3 : 2) > kStreamBytes;
    // Rows without gaps between them in every image are one row: a byte's
    // band, and so its enables and constants, do not change.
    const auto packed = [n](const kl_image *i) { return !i || static_cast<size_t>(i->lb) == n; };
    int rows = d->h;
    if (rows > 1 && packed(d) && packed(s1) && packed(s2)) {
        n *= static_cast<size_t>(rows);
        rows = 1;
    }
    const auto put = [nt](uintptr_t A, W r) {
        if (nt) V::stream(A, r);
        else V::store(A, r);
    };
    Cycle<uint8_t, false> en;  // 0xff for the enabled bytes of the cycle
    if constexpr (V::bytes > 8) {
        if (!full) en.fill([P](unsigned o) { return lane_band8(P, o) & 0x80u ? 0xff : 0; });  // read only under a partial mask
    }
    for (int y = 0; y < rows; ++y) {
        const unsigned char *a = s1->data + static_cast<ptrdiff_t>(y) * s1->lb;
        const unsigned char *b = s2 ? s2->data + static_cast<ptrdiff_t>(y) * s2->lb : nullptr;
        const uintptr_t F = reinterpret_cast<uintptr_t>(d->data + static_cast<ptrdiff_t>(y) * d->lb);
        const auto word = [&](uintptr_t, ptrdiff_t p) {
            return op(lane_load(a + p), b ? lane_load(b + p) : 0, lane_phase(p));
        };
        lane_row<false>(
            F, n,
            [&](uintptr_t A, ptrdiff_t q, unsigned edge) {
                const unsigned o = lane_phase(q);
                const uint64_t w = op(lane_load_row(a, q, n), b ? lane_load_row(b, q, n) : 0, o);
                partial_store(reinterpret_cast<void *>(A), w, edge & lane_band8(P, o));
            },
            [&](uintptr_t A, ptrdiff_t q, size_t k) {
                if constexpr (V::bytes > 8) {
                    // Whole aligned vectors from X while three fit before
                    // B: the cycle offsets repeat every three vectors (24
                    // divides 96 and 192), so they are found once.
                    const auto whole3 = [&](uintptr_t X, uintptr_t B) {
                        constexpr size_t vb = V::bytes;
                        const ptrdiff_t p0 = q + static_cast<ptrdiff_t>(X - A);
                        const unsigned o0 = lane_phase(p0), o1 = (o0 + vb) % 24, o2 = (o0 + 2 * vb) % 24;
                        const unsigned char *x = a + p0, *y = b ? b + p0 : nullptr;
                        const auto step = [&](auto store) {
                            for (; X + 3 * vb <= B; X += 3 * vb, x += 3 * vb) {
                                if (y) {
                                    store(X, op(V::load(x), V::load(y), o0));
                                    store(X + vb, op(V::load(x + vb), V::load(y + vb), o1));
                                    store(X + 2 * vb, op(V::load(x + 2 * vb), V::load(y + 2 * vb), o2));
                                    y += 3 * vb;
                                } else {
                                    store(X, op(V::load(x), W{}, o0));
                                    store(X + vb, op(V::load(x + vb), W{}, o1));
                                    store(X + 2 * vb, op(V::load(x + 2 * vb), W{}, o2));
                                }
                            }
                        };
                        if (nt) step([](uintptr_t Y, W r) { V::stream(Y, r); });
                        else step([](uintptr_t Y, W r) { V::store(Y, r); });
                        return X;
                    };
                    if constexpr (V::masked) {
                        // Destination blocks aligned to the vector size; the
                        // first and last under a mask of the body's bytes.
                        const uintptr_t B = A + 8 * k;
                        const auto one = [&](uintptr_t X) {
                            const ptrdiff_t p = q + static_cast<ptrdiff_t>(X - A);
                            const unsigned o = lane_phase(p);
                            const unsigned lo = X < A ? static_cast<unsigned>(A - X) : 0;
                            const unsigned hi = X + V::bytes > B ? static_cast<unsigned>(B - X) : V::bytes;
                            if (lo == 0 && hi == V::bytes && full) {
                                put(X, op(V::load(a + p), b ? V::load(b + p) : W{}, o));
                                return;
                            }
                            const auto mk = V::range(lo, hi) & (full ? V::range(0, V::bytes) : V::enables(en.at(o)));
                            const W r = op(V::load(a + p, mk), b ? V::load(b + p, mk) : W{}, o);
                            V::store(X, r, mk);
                        };
                        uintptr_t X = A & ~(V::bytes - 1);
                        if (full && X < A) one(X), X += V::bytes;
                        if (full) X = whole3(X, B);
                        for (; X < B; X += V::bytes) one(X);
                        return;
                    } else {
                        if (full) {
                            // Words [A, A + 8 n) of the vector at X, under a word mask.
                            const auto words = [&](uintptr_t X, size_t n) {
                                const unsigned lo = static_cast<unsigned>(A - X), hi = lo + 8 * static_cast<unsigned>(n);
                                const auto mk = V::words(lo, hi);
                                const uintptr_t x = reinterpret_cast<uintptr_t>(a + q) - lo;
                                const uintptr_t y = b ? reinterpret_cast<uintptr_t>(b + q) - lo : 0;
                                V::store(X, op(V::load(x, mk), b ? V::load(y, mk) : W{}, lane_phase(q - lo)), mk);
                                A += 8 * n, q += static_cast<ptrdiff_t>(8 * n), k -= n;
                            };
                            if (const uintptr_t X = A & ~(V::bytes - 1); k && X != A)
                                words(X, std::min<size_t>(k, (X + V::bytes - A) / 8));
                            const uintptr_t B = A + 8 * k, X = whole3(A, B);
                            k = (B - X) / 8;
                            q += static_cast<ptrdiff_t>(X - A);
                            A = X;
                            for (; k >= V::bytes / 8; k -= V::bytes / 8, A += V::bytes, q += static_cast<ptrdiff_t>(V::bytes))
                                put(A, op(V::load(a + q), b ? V::load(b + q) : W{}, lane_phase(q)));
                            if (k) words(A, k);
                        }
                    }
                }
                lane_words<false>(A, q, k, P, word);
            });
    }
    if (nt) V::drain();
}

}  // namespace
