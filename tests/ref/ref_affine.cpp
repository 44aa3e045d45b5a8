#include "ref_affine.h"

#include <cmath>
#include <cstring>

namespace ref {
namespace {

// trunc(v * 65536), exact up to 2^46 pixels; beyond, +-kFar (NaN 0).
constexpr int64_t kFar = int64_t{1} << 62;
int64_t to_fix(float v) {
    const double s = static_cast<double>(v) * 65536.0;
    if (std::isnan(s)) return 0;
    if (std::fabs(s) >= 0x1p62) return s > 0 ? kFar : -kFar;
    return static_cast<int64_t>(std::trunc(s));
}

int wrap16(int64_t v) { return static_cast<int16_t>(static_cast<uint16_t>(v & 0xffff)); }

int sample16(const unsigned char *p) {
    int16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

int lane(const void *table, int word, int l) { return static_cast<const int16_t *>(table)[4 * word + l]; }

// Byte x byte-lane multiply of the partitioned arithmetic: (a * b + 128) >> 8.
int m8x16(int a, int b) { return wrap16((a * b + 128) >> 8); }
// (a * b) / 65536 as the two partial products of the upper and lower byte.
int m16x16(int a, int b) {
    const int hi = wrap16(((a >> 8) * b + 128) >> 8), lo = wrap16(((a & 255) * b + 32768) >> 16);
    return wrap16(hi + lo);
}
int pack(int v) {
    v = wrap16(v);
    if (v < 0) return 0;
    return v >> 4 > 255 ? 255 : v >> 4;
}

struct Ctx {
    const kl_image &src;
    const int *ro;
    const void *t;
    int sb;
    const unsigned char *px(int x, int y, int band) const { return src.data + ro[y] + x * sb + band; }
};

int bl8(const Ctx &c, int ix, int iy, int fx, int fy, int band, bool exact) {
    const int p[4] = {*c.px(ix, iy, band), *c.px(ix + 1, iy, band), *c.px(ix, iy + 1, band),
                      *c.px(ix + 1, iy + 1, band)};
    if (exact) {
        const long v = static_cast<long>(p[0]) * (256 - fx) * (256 - fy) + static_cast<long>(p[1]) * fx * (256 - fy) +
                       static_cast<long>(p[2]) * (256 - fx) * fy + static_cast<long>(p[3]) * fx * fy;
        return static_cast<int>(v >> 16);
    }
    int sum = 0;
    for (int i = 0; i < 4; ++i) sum += m8x16(p[i], m16x16(lane(c.t, fx, i), lane(c.t, 256 + fy, i)));
    return pack(sum + 1);
}

int bc8(const Ctx &c, int ix, int iy, int fx, int fy, int band, bool exact) {
    if (exact) {
        long acc = 0;
        for (int k = 0; k < 4; ++k) {
            long r = 0;
            for (int i = 0; i < 4; ++i) r += *c.px(ix + i, iy + k, band) * lane(c.t, fx, i);
            acc += (r >> 8) * lane(c.t, 256 + 4 * fy + k, 0);
        }
        acc >>= 20;
        return acc < 0 ? 0 : acc > 255 ? 255 : static_cast<int>(acc);
    }
    int sum = 0;
    for (int k = 0; k < 4; ++k)
        for (int i = 0; i < 4; ++i)
            sum += m16x16(m8x16(*c.px(ix + i, iy + k, band), lane(c.t, fx, i)), lane(c.t, 256 + 4 * fy + k, i));
    return pack(sum + 7);
}

int sat16(long v) { return v < -32768 ? -32768 : v > 32767 ? 32767 : static_cast<int>(v); }

int bl16(const Ctx &c, int ix, int iy, int fx, int fy, int band) {
    const int xa = lane(c.t, fx, 0), xb = lane(c.t, fx, 2), ya = lane(c.t, 256 + fy, 0), yb = lane(c.t, 256 + fy, 1);
    long h[2];
    for (int k = 0; k < 2; ++k)
        h[k] = (static_cast<long>(sample16(c.px(ix, iy + k, 2 * band))) * xa +
                static_cast<long>(sample16(c.px(ix + 1, iy + k, 2 * band))) * xb + 16384) >> 15;
    return sat16((h[0] * ya + h[1] * yb + 16384) >> 15);
}

int bc16(const Ctx &c, int ix, int iy, int fx, int fy, int band) {
    const int16_t *vert = static_cast<const int16_t *>(c.t) + 1024 + 12 * fy;
    long acc = 0;
    for (int k = 0; k < 4; ++k) {
        long r = 0;
        for (int i = 0; i < 4; ++i) r += static_cast<long>(sample16(c.px(ix + i, iy + k, 2 * band))) * lane(c.t, fx, i);
        acc += ((r + 16384) >> 15) * vert[3 * k + band];
    }
    return sat16((acc + 16384) >> 15);
}

}  // namespace

void affine(const kl_image &dst, const kl_image &src, Interp interp, const int *row_offsets, const void *table,
            float a, float b, float c, float d, float tx, float ty) {
    const bool shorts = src.type == KL_SHORT;
    const int unit = shorts ? 2 : 1;
    const int sb = src.bpp, db = dst.bpp;
    const int bands = sb / unit == 1 ? 1 : 3;
    const int nb = sb / unit == 4 ? 4 : bands;      // samples copied by nearest
    const int at = sb == 3 && db == 4 ? 1 : 0;      // first destination byte
    const double o = interp == Interp::Nearest ? 0.0 : interp == Interp::Bilinear ? 0.5 : 1.5;
    const int k = interp == Interp::Nearest ? 0 : interp == Interp::Bilinear ? 1 : 3;
    int align = 1, group = 1;
    if (!shorts && interp == Interp::Bilinear) {
        align = sb == 1 ? 8 : db == 3 ? 4 : 8;
        group = sb == 1 ? 4 : db == 3 ? 4 : 2;
    } else if (!shorts && interp == Interp::Bicubic) {
        align = 4;
        group = db == 4 ? 1 : 4;
    }
    const float txo = static_cast<float>(static_cast<double>(tx) - o), tyo = static_cast<float>(static_cast<double>(ty) - o);
    const int64_t W = static_cast<int64_t>(src.w - k) * 65536, H = static_cast<int64_t>(src.h - k) * 65536;
    const Ctx ctx{src, row_offsets, table, sb};
    for (int r = 0; r < dst.h; ++r) {
        const float X = static_cast<float>(dst.x), Y = static_cast<float>(dst.y + r);
        const float ax = a * X, cy = c * Y, bx = b * X, dy_ = d * Y;
        const int64_t x0 = to_fix(ax + cy + txo), y0 = to_fix(bx + dy_ + tyo), sx = to_fix(a), sy = to_fix(b);
        // A first position beyond 2^46 pixels is not known exactly: the row is not drawn.
        if (x0 == kFar || x0 == -kFar || y0 == kFar || y0 == -kFar) continue;
        // The written pixels: those inside, a run (the span is a line segment);
        // positions exact, in 128 bits.
        int first = -1, n = 0;
        for (int i = 0; i < dst.w; ++i) {
            const __int128 x = x0 + static_cast<__int128>(i) * sx, y = y0 + static_cast<__int128>(i) * sy;
            if (x >= 0 && x < W && y >= 0 && y < H) {
                if (first < 0) first = i;
                ++n;
            }
        }
        if (n == 0) continue;
        unsigned char *row = dst.data + static_cast<long>(r) * dst.lb;
        int lead = 0;
        while (lead < n && (reinterpret_cast<uintptr_t>(row + (first + lead) * db)) % align != 0) ++lead;
        const int groups_end = lead + (n - lead) / group * group;
        for (int j = 0; j < n; ++j) {
            const int i = first + j;
            const int64_t x = x0 + i * sx, y = y0 + i * sy;
            const int ix = static_cast<int>(x >> 16), iy = static_cast<int>(y >> 16);
            const int fx = static_cast<int>((x >> 8) & 255), fy = static_cast<int>((y >> 8) & 255);
            unsigned char *out = row + i * db;
            if (interp == Interp::Nearest) {
                std::memcpy(out + at, ctx.px(ix, iy, 0), static_cast<size_t>(nb * unit));
                continue;
            }
            const bool exact = j < lead || j >= groups_end;
            for (int band = 0; band < bands; ++band) {
                if (shorts) {
                    const int v = interp == Interp::Bilinear ? bl16(ctx, ix, iy, fx, fy, band) : bc16(ctx, ix, iy, fx, fy, band);
                    const int16_t s = static_cast<int16_t>(v);
                    std::memcpy(out + 2 * band, &s, 2);
                } else {
                    out[at + band] = static_cast<unsigned char>(
                        interp == Interp::Bilinear ? bl8(ctx, ix, iy, fx, fy, band, exact) : bc8(ctx, ix, iy, fx, fy, band, exact));
                }
            }
        }
    }
}

}  // namespace ref
