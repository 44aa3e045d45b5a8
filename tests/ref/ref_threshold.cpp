#include "ref_threshold.h"

#include <cstdint>
#include <cstring>

namespace ref {

namespace {
int clamp8(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }
}  // namespace

void threshold(int sb, int mask, const kl_image &dst, const kl_image &src, const short *low, const short *high,
               const short *map) {
    const int n = dst.bands;
    if (n < 1 || n > 4 || src.bands != n) return;
    const int m = mask & dst.bmask & src.bmask & 0xf;
    for (int y = 0; y < dst.h; ++y)
        for (int x = 0; x < dst.w; ++x)
            for (int b = 0; b < n; ++b) {
                if (!((m >> (n - 1 - b)) & 1)) continue;
                unsigned char *d = dst.data + static_cast<long>(y) * dst.lb + (x * n + b) * sb;
                const unsigned char *s = src.data + static_cast<long>(y) * src.lb + (x * n + b) * sb;
                if (sb == 1) {
                    const int v = *s;
                    *d = static_cast<unsigned char>(clamp8(low[b]) <= v && v <= clamp8(high[b]) ? clamp8(map[b]) : v);
                } else {
                    int16_t v;
                    std::memcpy(&v, s, 2);
                    const int16_t r = low[b] <= v && v <= high[b] ? map[b] : v;
                    std::memcpy(d, &r, 2);
                }
            }
}

unsigned map_word8(unsigned char s) { return static_cast<unsigned>(s) * (1u << 20); }

unsigned map_word16(short s) {
    // (s + 32768) in bits 12..27, the sign of s extended above them.
    const unsigned field = static_cast<unsigned>(s + 32768) << 12;
    return field | (s < 0 ? 0xf0000000u : 0u);
}

void rescale_feed(int sb, const kl_image &dst, const kl_image &src) {
    if (dst.bands != 1 || src.bands != 1) return;
    for (int y = 0; y < dst.h; ++y)
        for (int x = 0; x < dst.w; ++x) {
            const unsigned char *s = src.data + static_cast<long>(y) * src.lb + x * sb;
            short v16 = 0;
            if (sb == 2) std::memcpy(&v16, s, 2);
            const unsigned w = sb == 1 ? map_word8(*s) : map_word16(v16);
            std::memcpy(dst.data + static_cast<long>(y) * 16384 + x * 8, &w, 4);
        }
}

}  // namespace ref
