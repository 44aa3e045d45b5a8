#include "ref_qdx.h"

#include <cstring>

namespace ref {
namespace {

int32_t px(const kl_image &s, int x, int y) {
    int k = 0;
    while (k < s.bands && !((s.bmask >> (s.bands - 1 - k)) & 1)) ++k;
    const int sb = s.type == KL_SHORT ? 2 : 1;
    const unsigned char *p = s.data + static_cast<long>(y) * s.lb + (static_cast<long>(x) * s.bands + k) * sb;
    if (sb == 1) return *p;
    int16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

int32_t floor_div(int32_t n, int32_t d) { return n >= 0 ? n / d : -((-n + d - 1) / d); }

}  // namespace

int32_t zoom_value(int f, const kl_image &src, int u, int v) {
    const int k = u / f, a = u % f, m = v / f, b = v % f;
    int32_t sum = (f - a) * (f - b) * px(src, k, m);
    if (a) sum += a * (f - b) * px(src, k + 1, m);
    if (b) sum += (f - a) * b * px(src, k, m + 1);
    if (a && b) sum += a * b * px(src, k + 1, m + 1);
    return floor_div(sum, f * f);
}

void zoom(int f, const kl_image &dst, const kl_image &src, const unsigned char *table, int xphase, int yphase) {
    for (int j = 0; j < dst.h; ++j) {
        for (int i = 0; i < dst.w; ++i) {
            const int32_t v = zoom_value(f, src, xphase + i, yphase + j);
            const unsigned char out =
                table ? table[src.type == KL_SHORT ? v + 32768 : v] : static_cast<unsigned char>(v);
            for (int k = 0; k < dst.bands; ++k)
                if ((dst.bmask >> (dst.bands - 1 - k)) & 1) dst.data[static_cast<long>(j) * dst.lb + i * dst.bands + k] = out;
        }
    }
}

}  // namespace ref
