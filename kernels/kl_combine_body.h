// Three one-band images interleaved into the 4-byte pixels of a 24-bit
// window: each pixel is written whole as 0, band 1, band 2, band 3, so the
// frame buffer sees one pass of word stores instead of three band inserts.
// The body, after the checks of the exported function (kl_combine.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kl.h"
#include "kl_body.h"
#include "kl_impl.h"

namespace {
namespace combine {

template <class V>
void kernel(const kl_image *dst, const kl_image *band1, const kl_image *band2, const kl_image *band3) {
    for (int y = 0; y < dst->h; ++y) {
        unsigned char *d = dst->data + static_cast<ptrdiff_t>(y) * dst->lb;
        const unsigned char *a = band1->data + static_cast<ptrdiff_t>(y) * band1->lb;
        const unsigned char *b = band2->data + static_cast<ptrdiff_t>(y) * band2->lb;
        const unsigned char *c = band3->data + static_cast<ptrdiff_t>(y) * band3->lb;
        for (int x = 0; x < dst->w; ++x) {
            // Byte 0 (lowest address) 0, then the three bands.
            const uint32_t px = (uint32_t{a[x]} << 8) | (uint32_t{b[x]} << 16) | (uint32_t{c[x]} << 24);
            std::memcpy(d + 4 * x, &px, 4);
        }
    }
}

template <class V>
void entries(kl_impl &t) {
    if constexpr (V::isa == kl_isa::portable) t.combine_wren = kernel<V>;
}

}  // namespace combine
}  // namespace
