#include "ref_lookup.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ref {

namespace {

// Table index of sample k of pixel x in row y.
long index_of(int sb, const kl_image &src, int x, int y, int k) {
    const unsigned char *p = src.data + static_cast<std::ptrdiff_t>(y) * src.lb +
                             static_cast<std::ptrdiff_t>(x) * src.bands * sb + k * sb;
    if (sb == 1) return *p;
    int16_t v;
    std::memcpy(&v, p, 2);
    return static_cast<long>(v) + 32768;
}

unsigned char &out(const kl_image &dst, int x, int y, int b) {
    return dst.data[static_cast<std::ptrdiff_t>(y) * dst.lb + static_cast<std::ptrdiff_t>(x) * dst.bands + b];
}

bool selected(int n, int m, int b) { return (m >> (n - 1 - b)) & 1; }

}  // namespace

void lookup(int sb, int mask, const kl_image &dst, const kl_image &src, const unsigned char *table) {
    const int n = dst.bands;
    if (n < 1 || n > 4) return;
    const int m = n == 1 ? 1 : mask & dst.bmask;
    const int entry = n == 3 ? 4 : n, first = n == 3 ? 1 : 0;
    for (int y = 0; y < src.h; ++y)
        for (int x = 0; x < src.w; ++x)
            for (int b = 0; b < n; ++b)
                if (selected(n, m, b)) out(dst, x, y, b) = table[index_of(sb, src, x, y, 0) * entry + first + b];
}

void mlookup(int sb, int mask, const kl_image &dst, const kl_image &src, unsigned char *const *tables) {
    const int n = dst.bands;
    if (n == 1) {
        lookup(sb, mask, dst, src, tables[0]);
        return;
    }
    if (n < 2 || n > 4) return;
    const int m = mask & dst.bmask;
    for (int y = 0; y < src.h; ++y)
        for (int x = 0; x < src.w; ++x)
            for (int b = 0; b < n; ++b)
                if (selected(n, m, b)) out(dst, x, y, b) = tables[b][index_of(sb, src, x, y, b)];
}

}  // namespace ref
