// Set value: one constant per band into the selected samples of an area,
// without reading the destination. The bodies, after the checks of the
// exported functions (kl_setval.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kl.h"
#include "kl_body.h"
#include "kl_impl.h"

namespace {
namespace setval {

// S: uint8_t (values clamped to 0..255) or int16_t (values as they are); m
// the bands to write.
template <class V, class S>
void kernel(const kl_image *dst, int m, const short *values) {
    const int n = dst->bands;
    // One pixel's samples and which of them are written.
    S px[4];
    bool on[4];
    for (int b = 0; b < n; ++b) {
        int v = values[b];
        if (sizeof(S) == 1) v = v < 0 ? 0 : v > 255 ? 255 : v;
        px[b] = static_cast<S>(v);
        on[b] = (m >> (n - 1 - b)) & 1;
    }
    const bool all = m == (1 << n) - 1;
    const size_t row = static_cast<size_t>(dst->w) * static_cast<size_t>(dst->bpp);
    for (int y = 0; y < dst->h; ++y) {
        unsigned char *d = dst->data + static_cast<ptrdiff_t>(y) * dst->lb;
        if (all && n == 1 && sizeof(S) == 1) {
            std::memset(d, static_cast<unsigned char>(px[0]), row);
            continue;
        }
        for (int x = 0; x < dst->w; ++x, d += dst->bpp) {
            if (all) {
                std::memcpy(d, px, static_cast<size_t>(dst->bpp));
                continue;
            }
            for (int b = 0; b < n; ++b)
                if (on[b]) std::memcpy(d + b * sizeof(S), &px[b], sizeof(S));
        }
    }
}

template <class V>
void entries(kl_impl &t) {
    if constexpr (V::isa == kl_isa::portable) {
        t.setval_8 = kernel<V, uint8_t>;
        t.setval_16 = kernel<V, int16_t>;
    }
}

}  // namespace setval
}  // namespace
