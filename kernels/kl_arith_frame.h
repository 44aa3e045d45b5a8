// The frame shared by the arithmetic and logic kernels: argument checks and
// the row walk. Every destination word is computed from the source bytes
// under it and stored once, under its edge mask and its band enables.
//
// Sources are read strictly inside their rows: whole words in the body, and
// bounded loads of just the row's bytes for the head and tail words (hosts do
// not pad their images). Bytes outside the row read as 0; they only ever land
// in destination bytes that are not stored.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kl.h"
#include "kl_impl.h"
#include "lane.h"

namespace kl_arith {

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

// Runs op over the destination rectangle: op(a, b, o) is the result word for
// the source words a and b (b is 0 for one source) of a destination word at
// cycle offset o.
template <bool W16, class Op>
inline void run(unsigned m, const kl_image *d, const kl_image *s1, const kl_image *s2, const Op &op) {
    const uint32_t P = (W16 ? kl_masks_16b : kl_masks_8)[d->bands][m];
    const size_t n = static_cast<size_t>(d->w) * static_cast<size_t>(d->bpp);
    for (int y = 0; y < d->h; ++y) {
        const unsigned char *a = s1->data + static_cast<ptrdiff_t>(y) * s1->lb;
        const unsigned char *b = s2 ? s2->data + static_cast<ptrdiff_t>(y) * s2->lb : nullptr;
        const uintptr_t F = reinterpret_cast<uintptr_t>(d->data + static_cast<ptrdiff_t>(y) * d->lb);
        lane_row<false>(
            F, n,
            [&](uintptr_t A, ptrdiff_t q, unsigned edge) {
                const unsigned o = lane_phase(q);
                const uint64_t w = op(lane_load_row(a, q, n), b ? lane_load_row(b, q, n) : 0, o);
                partial_store(reinterpret_cast<void *>(A), w, edge & lane_band8(P, o));
            },
            [&](uintptr_t A, ptrdiff_t q, size_t k) {
                lane_words<false>(A, q, k, P, [&](uintptr_t, ptrdiff_t p) {
                    return op(lane_load(a + p), b ? lane_load(b + p) : 0, lane_phase(p));
                });
            });
    }
}

}  // namespace kl_arith
