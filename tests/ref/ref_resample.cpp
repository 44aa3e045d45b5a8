#include "ref_resample.h"

#include <cmath>
#include <cstring>

namespace {

int w_of(const int16_t *f, int layout, int phase, int k) {
    return layout == KL_BYTE ? f[phase * 16 + k] : f[phase * 16 + 2 * k];
}

struct Tap {
    long long first;  // first source pixel / row of the footprint
    int phase;
    double frac;
};

Tap tap(int i, double t, double s, int fw, int subs) {
    const double pos = (i - t) / s - (fw - 1) * 0.5;
    const double f = std::floor(pos);
    return {static_cast<long long>(f), fw > 1 ? static_cast<int>(subs * (pos - f)) : 0, pos - f};
}

// The weights of a tap: the table's phase, or on the bilinear 2x grid the
// quarter weights whatever the table's subsamples.
void weights(int *w, const int16_t *f, int layout, const Tap &t, int fw, bool quarter) {
    for (int k = 0; k < fw && fw > 1; ++k)
        w[k] = !quarter ? w_of(f, layout, t.phase, k) : (t.frac < 0.5) == (k == 0) ? 12288 : 4096;
}

int pass8(const int *v, const int *w, int n) {
    if (n == 1) return v[0];
    int acc = 0;
    for (int k = 0; k < n; ++k) acc += (v[k] * w[k] + 128) >> 8;
    const int x = static_cast<int16_t>(static_cast<uint16_t>((acc + 32) & 0xffff));
    return x < 0 ? 0 : (x >> 6) > 255 ? 255 : x >> 6;
}

int pass16(const int *v, const int *w, int n) {
    if (n == 1) return v[0];
    uint32_t acc = 8192;
    for (int k = 0; k < n; ++k) acc += static_cast<uint32_t>(v[k] * w[k]);
    const int x = static_cast<int32_t>(acc) >> 14;
    return x < -32768 ? -32768 : x > 32767 ? 32767 : x;
}

}  // namespace

void ref_scale(int mask, const kl_image &dst, const kl_image &src, float xscale, float yscale, float xtrans,
               float ytrans, const kl_resample_table &t, bool special) {
    const bool sh = src.type == KL_SHORT;
    const int spp = sh ? src.bpp / 2 : src.bpp, esz = sh ? 2 : 1;
    const int m = dst.bmask & mask & ((1 << spp) - 1);
    if (dst.w < 1 || dst.h < 1 || m == 0) return;
    const bool full = m == (1 << spp) - 1 || (dst.fb && spp == 4 && m == 7);
    double tx = xtrans, ty = ytrans;
    bool quarter = false;
    if (special && t.kind == 1 && xscale == 2.0f && yscale == 2.0f && !sh && spp == 1 && dst.lb % 8 == 0) {
        const double fx = tx + 0.5 - std::floor(tx + 0.5), fy = ty + 0.5 - std::floor(ty + 0.5);
        if (fx <= 0.01 && fy <= 0.01) {
            tx = std::floor(tx + 0.5) - 0.5;
            ty = std::floor(ty + 0.5) - 0.5;
            quarter = true;
        }
    }
    const int fwH = t.filterwidthH, fwV = t.filterwidthV;
    // A source sample, or -1 for "outside and zero".
    auto sample = [&](long long x, long long y, int b, int edgeH, int edgeV) -> int {
        const long long xlo = -src.x, xhi = static_cast<long long>(src.w) + src.padx;
        const long long ylo = -src.y, yhi = static_cast<long long>(src.h) + src.pady;
        if (x < xlo || x >= xhi) {
            if (edgeH != KL_EDGE_EXTEND) return 0;
            x = x < xlo ? xlo : xhi - 1;
        }
        if (y < ylo || y >= yhi) {
            if (edgeV != KL_EDGE_EXTEND) return 0;
            y = y < ylo ? ylo : yhi - 1;
        }
        const unsigned char *p = src.data + y * src.lb + x * src.bpp + b * esz;
        if (!sh) return *p;
        int16_t v;
        std::memcpy(&v, p, 2);
        return v;
    };
    for (int j = 0; j < dst.h; ++j) {
        const Tap tv = tap(j, ty, yscale, fwV, t.subsamplesV);
        if (t.edgeV == KL_EDGE_NO_WRITE && (tv.first < 0 || tv.first + fwV > src.h)) continue;
        int wv[8] = {};
        weights(wv, t.filterV, t.layout, tv, fwV, quarter);
        for (int i = 0; i < dst.w; ++i) {
            const Tap th = tap(i, tx, xscale, fwH, t.subsamplesH);
            if (t.edgeH == KL_EDGE_NO_WRITE && (th.first < 0 || th.first + fwH > src.w)) continue;
            int wh[8] = {};
            weights(wh, t.filterH, t.layout, th, fwH, quarter);
            for (int b = 0; b < spp; ++b) {
                if (!full && !(m >> (spp - 1 - b) & 1)) continue;
                int rows[8];
                for (int l = 0; l < fwV; ++l) {
                    int v[8];
                    for (int k = 0; k < fwH; ++k) v[k] = sample(th.first + k, tv.first + l, b, t.edgeH, t.edgeV);
                    rows[l] = sh ? pass16(v, wh, fwH) : pass8(v, wh, fwH);
                }
                const int out = sh ? pass16(rows, wv, fwV) : pass8(rows, wv, fwV);
                unsigned char *d = dst.data + static_cast<long long>(j) * dst.lb + static_cast<long long>(i) * dst.bpp +
                                   b * esz;
                if (sh) {
                    const int16_t o = static_cast<int16_t>(out);
                    std::memcpy(d, &o, 2);
                } else {
                    *d = static_cast<unsigned char>(out);
                }
            }
        }
    }
}
