// The frame shared by the arithmetic and logic kernels: argument checks, the
// row walk with edge masks and rotated band patterns, source words brought to
// the destination's alignment, and one partial store per destination word.
//
// Sources are read strictly inside their rows: whole aligned words where the
// word lies within the row, and bounded loads of just the row's bytes for the
// first and last word (hosts do not pad their images). Bytes outside the row
// read as 0; they only ever land in destination bytes that are not stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kl.h"
#include "lane.h"

namespace kl_arith {

// One source row, delivered as the 8-byte words that lie under consecutive
// aligned destination words.
class SrcRow {
public:
    // Row bytes s .. s + len - 1; the first destination word starts r bytes
    // before the destination row's first byte.
    void start(const unsigned char *s, size_t len, unsigned r) {
        lo_ = reinterpret_cast<uintptr_t>(s);
        hi_ = lo_ + len;
        next_ = lane_setalign(lo_, -static_cast<ptrdiff_t>(r));
        k_ = lane_control.align_offset();
        cur_ = load(next_);
        next_ += 8;
    }

    uint64_t word() {
        uint64_t n = load(next_);
        next_ += 8;
        uint64_t w = lane_align(cur_, n, k_);
        cur_ = n;
        return w;
    }

private:
    // The aligned word at a, with the bytes outside the row as 0.
    uint64_t load(uintptr_t a) const {
        if (a >= lo_ && a + 8 <= hi_) return lane_load(reinterpret_cast<const void *>(a));
        uintptr_t b = a > lo_ ? a : lo_;
        uintptr_t e = a + 8 < hi_ ? a + 8 : hi_;
        uint64_t w = 0;
        if (b < e) std::memcpy(reinterpret_cast<unsigned char *>(&w) + (b - a), reinterpret_cast<const void *>(b), e - b);
        return w;
    }

    uintptr_t lo_ = 0, hi_ = 0, next_ = 0;
    unsigned k_ = 0;
    uint64_t cur_ = 0;
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

// The 24-bit pattern p rotated right by r bits.
constexpr uint32_t rotr24(uint32_t p, unsigned r) {
    return r ? (((p << (24 - r)) & 0xffffffu) | (p >> r)) : p;
}

// Band of row byte q (q may be negative: bytes before the row's first pixel
// continue the pixel pattern backwards) for sb-byte samples and n bands.
constexpr unsigned band_of_byte(long q, unsigned sb, unsigned n) {
    long m = ((q % 24) + 24) % 24;
    return static_cast<unsigned>(m / sb) % n;
}

// Runs op over the destination rectangle. op.row(r) is called at the start of
// every row with the row's offset within its first word; op(a, b, t) returns
// the result word for source words a and b (b is 0 for one source) and the
// destination word index t mod 3 within the row.
template <bool W16, class Op>
inline void run(unsigned m, const kl_image *d, const kl_image *s1, const kl_image *s2, Op &op) {
    const uint32_t P = (W16 ? kl_masks_16 : kl_masks_8)[d->bands][m];
    const size_t len = static_cast<size_t>(d->w) * static_cast<size_t>(d->bpp);
    uintptr_t drow = reinterpret_cast<uintptr_t>(d->data);
    uintptr_t r1 = reinterpret_cast<uintptr_t>(s1->data);
    uintptr_t r2 = s2 ? reinterpret_cast<uintptr_t>(s2->data) : 0;
    SrcRow a, b;
    for (int y = 0; y < d->h; ++y) {
        const uintptr_t F = drow, E = F + len - 1;
        uintptr_t A = F & ~static_cast<uintptr_t>(7);
        const unsigned r = static_cast<unsigned>(F - A);
        const size_t n = (E >> 3) - (F >> 3) + 1;
        unsigned edge = W16 ? lane_edge16(F, E) : lane_edge8(F, E);
        uint32_t Q = rotr24(P, W16 ? r / 2 : r);
        a.start(reinterpret_cast<const unsigned char *>(r1), len, r);
        if (s2) b.start(reinterpret_cast<const unsigned char *>(r2), len, r);
        op.row(r);
        unsigned t3 = 0;
        for (size_t t = 0; t < n; ++t) {
            const uint64_t wa = a.word();
            const uint64_t wb = s2 ? b.word() : 0;
            const uint64_t res = op(wa, wb, t3);
            if constexpr (W16) {
                partial_store16(reinterpret_cast<void *>(A), res, edge & Q & 0xfu);
                Q = ((Q << 4) & 0xffffffu) | (Q >> 20);
            } else {
                partial_store(reinterpret_cast<void *>(A), res, edge & Q & 0xffu);
                Q = ((Q << 8) & 0xffffffu) | (Q >> 16);
            }
            A += 8;
            edge = W16 ? lane_edge16(A, E) : lane_edge8(A, E);
            t3 = t3 == 2 ? 0 : t3 + 1;
        }
        drow += static_cast<uintptr_t>(static_cast<intptr_t>(d->lb));
        r1 += static_cast<uintptr_t>(static_cast<intptr_t>(s1->lb));
        if (s2) r2 += static_cast<uintptr_t>(static_cast<intptr_t>(s2->lb));
    }
}

// Ops without per-row state.
struct Stateless {
    void row(unsigned) {}
};

// Per-row constant words for the constant kernels: for each of the three
// destination words of the 24-byte band cycle, fill(t, p) builds the word whose
// byte (or lane) p lines up with row byte p - r + 8t. Rebuilt only when the
// row's offset within its first word changes.
template <class Derived>
struct ConstRows {
    unsigned last_r = ~0u;
    void row(unsigned r) {
        if (r == last_r) return;
        last_r = r;
        static_cast<Derived *>(this)->build(r);
    }
};

}  // namespace kl_arith
