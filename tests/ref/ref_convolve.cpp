#include "ref_convolve.h"

#include <cmath>
#include <cstring>

namespace ref {

namespace {

// One band of an image: sample (x, y) relative to the area's first pixel.
struct Band {
    const kl_image *im;
    int off;
    int at(int x, int y) const { return im->data[static_cast<long>(y) * im->lb + static_cast<long>(x) * im->bpp + off]; }
    unsigned char *ptr(int x, int y) const {
        return im->data + static_cast<long>(y) * im->lb + static_cast<long>(x) * im->bpp + off;
    }
};

int clamp255(long v) { return v < 0 ? 0 : v > 255 ? 255 : static_cast<int>(v); }

// floor(a / 2^k) for any sign.
long floordiv(long a, int k) { return static_cast<long>(std::floor(static_cast<double>(a) / std::ldexp(1.0, k))); }

int16_t wrap16(long v) { return static_cast<int16_t>(static_cast<uint16_t>(v & 0xffff)); }

// Pixels [x0, x1) x [y0, y1) whose footprint of radius r lies in the source.
bool area(const kl_image &dst, const kl_image &src, int r, int &x0, int &x1, int &y0, int &y1) {
    const long left = src.x < 0 ? 0 : src.x, above = src.y < 0 ? 0 : src.y;
    const long right = (src.w - dst.w) + (src.padx < 0 ? 0 : src.padx);
    const long below = (src.h - dst.h) + (src.pady < 0 ? 0 : src.pady);
    x0 = 0;
    y0 = 0;
    x1 = dst.w;
    y1 = dst.h;
    while (x0 < dst.w && x0 - r < -left) ++x0;
    while (y0 < dst.h && y0 - r < -above) ++y0;
    while (x1 > 0 && (x1 - 1) + r > (dst.w - 1) + right) --x1;
    while (y1 > 0 && (y1 - 1) + r > (dst.h - 1) + below) --y1;
    return x0 < x1 && y0 < y1;
}

// Pairs of (source sample, destination sample) the kernel filters.
template <class F>
void pairs(int mask, const kl_image &dst, const kl_image &src, F &&f) {
    if (dst.bands == 1 && src.bands == 1) {
        if (mask & dst.bmask & 1) f(0, 0, false);
        return;
    }
    // Mask bits past an image's bands name nothing.
    const int sm = src.bmask & ((1 << src.bands) - 1), dm = dst.bmask & ((1 << dst.bands) - 1);
    if (!sm || !dm) return;
    int sb = sm & -sm, db = dm & -dm;
    const int rounds = __builtin_popcount(dm);
    for (int i = 0; i < rounds; ++i, sb <<= 1, db <<= 1) {
        if (!(sb & mask) || !(db & mask) || !(sb & sm) || !(db & dm)) continue;
        f(src.bands - 1 - __builtin_ctz(sb), dst.bands - 1 - __builtin_ctz(db), true);
    }
}

}  // namespace

int16_t fixed16(float v) {
    if (std::isnan(v)) return 0;
    double t = std::trunc(static_cast<double>(v));
    if (t > 2147483647.0) t = 2147483647.0;
    if (t < -2147483648.0) t = -2147483648.0;
    return wrap16(static_cast<long>(t));
}

int general_shift(const float *k, int n) {
    float m = 0;
    for (int i = 0; i < n; ++i) m = std::fmax(m, std::fabs(k[i]));
    const float q = 32767.0f / m;
    if (q >= 4096.0f) return 12;
    for (int s = 11; s >= 1; --s)
        if (std::ldexp(1.0f, s) <= q) return s;
    return 0;
}

int separable_precision(int n, const float *h, const float *v, int *t, int *low) {
    float m = 0;
    for (int i = 0; i < n; ++i) m = std::fmax(m, std::fmax(std::fabs(h[i]), std::fabs(v[i])));
    *t = 0;
    *low = m <= 3.0f;
    if (*low) return 7;
    const double q = std::trunc((n == 3 ? 31.0 : 15.0) / m);
    if (q > 1) {
        int e = 1;
        while (std::pow(2.0, e) < q) ++e;
        *t = e - 1;
    }
    return 15 - 2 * *t;
}

void convolve(int n, int mask, const kl_image &dst, const kl_image &src, const float *k, int edge) {
    if (edge != 0 && edge != 1) return;
    const int r = n / 2, s = general_shift(k, n * n), ps = 15 - s;
    int16_t Q[49];
    for (int i = 0; i < n * n; ++i) Q[i] = fixed16(k[i] * std::ldexp(1.0f, s));
    int x0, x1, y0, y1;
    if (!area(dst, src, r, x0, x1, y0, y1)) return;
    pairs(mask, dst, src, [&](int so, int dof, bool scratch) {
        const Band S{&src, so}, D{&dst, dof};
        for (int y = y0; y < y1; ++y) {
            // 3x3: the row's lead-in (before the first 8-aligned destination
            // byte, when fewer than 8) and tail (after whole groups of 8) use
            // floating point. Several bands go through a page-aligned one-band
            // scratch image of the destination's size: rows w bytes apart.
            const long at = scratch ? static_cast<long>(y) * dst.w + x0
                                    : static_cast<long>(reinterpret_cast<uintptr_t>(D.ptr(x0, y)) & 7);
            const int len = x1 - x0, lead0 = static_cast<int>(8 - (at & 7)) < len ? static_cast<int>(8 - (at & 7)) : len;
            const int lead = lead0 < 8 ? lead0 : 0, tail = (len - lead) % 8;
            for (int x = x0; x < x1; ++x) {
                const bool fl = n == 3 && (x - x0 < lead || x >= x1 - tail);
                int out;
                if (fl) {
                    float sum = 0;
                    for (int i = 0; i < 3; ++i)
                        for (int j = 0; j < 3; ++j) sum += k[i * 3 + j] * static_cast<float>(S.at(x - 1 + j, y - 1 + i));
                    out = sum > 255.0f ? 255 : sum > 0.0f ? static_cast<int>(sum) : 0;
                } else {
                    long sum = n == 3 ? 0 : (ps <= 6 ? 1L << (6 - ps) : 0);
                    for (int i = 0; i < n; ++i)
                        for (int j = 0; j < n; ++j)
                            sum += floordiv(static_cast<long>(S.at(x - r + j, y - r + i)) * Q[i * n + j] + 128, 8);
                    out = clamp255(ps >= 8 ? sum * (1L << (ps - 7)) : floordiv(sum, 7 - ps));
                }
                *D.ptr(x, y) = static_cast<unsigned char>(out);
            }
        }
    });
}

void sconvolve(int n, int mask, const kl_image &dst, const kl_image &src, const float *h, const float *v, int edge) {
    if (edge < 0 || edge > 2) return;
    const int r = n / 2;
    int t, low;
    const int ps = separable_precision(n, h, v, &t, &low);
    int16_t H[7], V[7];
    for (int i = 0; i < n; ++i) {
        H[i] = low ? fixed16(h[i] * 4096.0f) : fixed16((h[i] * std::ldexp(1.0f, t)) * 256.0f);
        V[i] = low ? fixed16(v[i] * 4096.0f) : fixed16((v[i] * std::ldexp(1.0f, t)) * 256.0f);
    }
    int x0, x1, y0, y1;
    if (!area(dst, src, r, x0, x1, y0, y1)) return;
    pairs(mask, dst, src, [&](int so, int dof, bool) {
        const Band S{&src, so}, D{&dst, dof};
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) {
                long R = 0;
                for (int j = 0; j < n; ++j) {
                    long T = 0;
                    for (int i = 0; i < n; ++i)
                        T += floordiv(static_cast<long>(S.at(x - r + j, y - r + i)) * V[i] + 128, 8);
                    if (low) {
                        const long hi = floordiv(T, 8), lo = T & 0xff;
                        R += floordiv(hi * H[j] + 128, 8) + floordiv(lo * H[j] + 32768, 16);
                    } else {
                        R += T * H[j];
                    }
                }
                const int out = low ? clamp255(R) : clamp255(floordiv(R, 23 - ps));
                *D.ptr(x, y) = static_cast<unsigned char>(out);
            }
    });
}

void setval(int mask, const kl_image &dst, const short *values, bool sixteen) {
    const int nb = dst.bands, sb = sixteen ? 2 : 1;
    for (int y = 0; y < dst.h; ++y)
        for (int x = 0; x < dst.w; ++x)
            for (int b = 0; b < nb; ++b) {
                if (!((mask & dst.bmask) >> (nb - 1 - b) & 1)) continue;
                unsigned char *p = dst.data + static_cast<long>(y) * dst.lb + static_cast<long>(x) * dst.bpp + b * sb;
                if (sixteen) {
                    std::memcpy(p, &values[b], 2);
                } else {
                    *p = static_cast<unsigned char>(clamp255(values[b]));
                }
            }
}

void combine(const kl_image &dst, const kl_image &b1, const kl_image &b2, const kl_image &b3) {
    for (int y = 0; y < dst.h; ++y)
        for (int x = 0; x < dst.w; ++x) {
            unsigned char *p = dst.data + static_cast<long>(y) * dst.lb + 4L * x;
            p[0] = 0;
            p[1] = b1.data[static_cast<long>(y) * b1.lb + x];
            p[2] = b2.data[static_cast<long>(y) * b2.lb + x];
            p[3] = b3.data[static_cast<long>(y) * b3.lb + x];
        }
}

}  // namespace ref
