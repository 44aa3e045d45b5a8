#include "ref_transpose.h"

#include <cstring>

#include "ref_copy.h"

namespace ref {

void flip(int sb, const kl_image &dst, const kl_image &src, int type) {
    const int want = sb == 1 ? KL_BYTE : KL_SHORT;
    const int n = dst.bands, m = dst.bmask & src.bmask & 0xf;
    if (dst.type != want || src.type != want || src.bands != n || n < 1 || n > 4 || m == 0) return;
    if ((type != 0 && type != 1 && type != 5) || dst.w <= 0 || dst.h <= 0) return;
    const long bpp = static_cast<long>(n) * sb;
    for (int j = 0; j < dst.h; ++j) {
        unsigned char *d = dst.data + static_cast<long>(j) * dst.lb;
        if (type == 0) {
            kl_image dr = dst, sr = src;
            dr.data = d;
            sr.data = src.data - static_cast<long>(j) * src.lb;
            dr.h = sr.h = 1;
            sr.w = dr.w;
            copy(sb, -1, dr, sr);
            continue;
        }
        const unsigned char *s = src.data + (type == 1 ? 1L : -1L) * j * src.lb;
        for (int i = 0; i < dst.w; ++i) {
            for (int k = 0; k < n; ++k) {
                if (!((m >> (n - 1 - k)) & 1)) continue;
                std::memcpy(d + i * bpp + k * sb, s - i * bpp + k * sb, static_cast<size_t>(sb));
            }
        }
    }
}

}  // namespace ref
