// Set value: one constant per band into the selected samples of an area,
// without reading the destination.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kl.h"

namespace {

// S: uint8_t (values clamped to 0..255) or int16_t (values as they are).
template <class S>
void setval(int mask, kl_image *dst, const short *values) {
    const int type = sizeof(S) == 1 ? KL_BYTE : KL_SHORT;
    if (!dst || !dst->data || !values || dst->type != type || dst->w <= 0 || dst->h <= 0) return;
    const int n = dst->bands;
    if (n < 1 || n > 4 || dst->bpp != n * static_cast<int>(sizeof(S))) return;
    const int m = mask & dst->bmask & ((1 << n) - 1);
    if (!m) return;
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

}  // namespace

extern "C" {

void kl_setval_8(int mask, kl_image *dst, const short *values) { setval<uint8_t>(mask, dst, values); }
void kl_setval_16(int mask, kl_image *dst, const short *values) { setval<int16_t>(mask, dst, values); }

}  // extern "C"
