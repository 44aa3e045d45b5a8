// The convolution, set-value and combine kernels against their scalar
// models: 3x3, 5x5, 7x7, general and separable, coefficients around every
// shift and precision boundary, widths 1-300, destination alignments mod 64
// with canaries, 0 to r + 2 real source pixels on each side of the area with
// the source ending against a guard page, 1-4 bands and every mask.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "kbuf.h"
#include "kl.h"
#include "ref_convolve.h"

namespace {

using General = void (*)(int, kl_image *, kl_image *, float *, int, int);
using Separable = void (*)(int, kl_image *, kl_image *, float *, float *, int);
const General kGeneral[3] = {kl_convolve3x3_8, kl_convolve5x5_8, kl_convolve7x7_8};
const Separable kSeparable[3] = {kl_sconvolve3x3_8, kl_sconvolve5x5_8, kl_sconvolve7x7_8};

// Coefficients of a chosen largest magnitude: near the shift and precision
// boundaries, small, or past the drivers' limits (sums then leave 16 bits).
float magnitude(std::mt19937 &g) {
    static const float m[] = {1.0f, 2.0f, 3.0f, 3.0001f, 3.5f, 5.0f, 7.99f, 8.0f, 8.01f, 15.0f, 16.0f,
                              30.0f, 31.0f, 0.125f, 0.01f, 1.0f / 9, 200.0f, 3000.0f, 40000.0f};
    return m[g() % (sizeof m / sizeof m[0])];
}

void coefficients(std::mt19937 &g, float *k, int n, float m) {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int i = 0; i < n; ++i) k[i] = g() % 4 == 0 ? 0.0f : u(g) * m;
    k[g() % n] = g() % 2 ? m : -m;
}

struct Case {
    int n;  // 3, 5, 7
    bool sep;
    int w, h, bands, sbands, dmask, smask, mask, da;
    int l, t, rr, b;  // real source pixels around the area
    int edge;
    kbuf::Guard side;
};

std::ostream &operator<<(std::ostream &o, const Case &c) {
    return o << c.n << "x" << c.n << (c.sep ? " separable" : " general") << " w " << c.w << " h " << c.h
             << " bands " << c.bands << "/" << c.sbands << " dmask " << c.dmask << " smask " << c.smask << " mask "
             << c.mask << " dst mod 64 " << c.da << " border " << c.l << "," << c.t << "," << c.rr << "," << c.b
             << " edge " << c.edge;
}

void run(const Case &c, const float *k, const float *h, const float *v, std::mt19937 &g) {
    const int sw = c.w + c.l + c.rr, sh = c.h + c.t + c.b;
    const size_t srow = static_cast<size_t>(sw) * c.sbands;
    kbuf::GuardImage s(srow, sh, srow + g() % 16, c.side, g());
    const std::vector<unsigned char> before = s.bytes();
    kl_image si = s.image(KL_BYTE, c.sbands, c.smask, c.w);
    si.data = s.row(c.t) + static_cast<size_t>(c.l) * c.sbands;
    si.h = c.h;
    si.x = c.l;
    si.y = c.t;
    si.padx = c.rr;
    si.pady = c.b;
    const size_t drow = static_cast<size_t>(c.w) * c.bands;
    kbuf::DstBuf d(drow, c.h, c.da, drow + g() % 16, g());
    kl_image di = d.image(KL_BYTE, c.bands, c.dmask, c.w, 1);
    kl_image de = di;
    de.data = d.exp_data();
    std::vector<float> kk(k, k + c.n * c.n), hh(h, h + c.n), vv(v, v + c.n);
    const int i = c.n / 2 - 1;
    if (c.sep) {
        ref::sconvolve(c.n, c.mask, de, si, h, v, c.edge);
        kSeparable[i](c.mask, &di, &si, hh.data(), vv.data(), c.edge);
    } else {
        ref::convolve(c.n, c.mask, de, si, k, c.edge);
        kGeneral[i](c.mask, &di, &si, kk.data(), c.edge, 1);
    }
    ASSERT_TRUE(d.check()) << c;
    ASSERT_TRUE(s.bytes() == before) << "source changed: " << c;
}

TEST(Convolve, AgainstTheFixedPointModel) {
    std::mt19937 g(1410);
    for (int rep = 0; rep < 1800; ++rep) {
        Case c{};
        c.n = 3 + 2 * static_cast<int>(g() % 3);
        c.sep = rep % 2;
        const int r = c.n / 2;
        c.w = rep % 7 == 0 ? 1 + static_cast<int>(g() % 2600) : 1 + static_cast<int>(g() % 40);
        c.h = 1 + static_cast<int>(g() % 9);
        c.da = static_cast<int>(g() % 64);
        c.l = static_cast<int>(g() % (r + 3));
        c.t = static_cast<int>(g() % (r + 3));
        c.rr = static_cast<int>(g() % (r + 3));
        c.b = static_cast<int>(g() % (r + 3));
        c.bands = c.sbands = 1;
        c.dmask = c.smask = c.mask = 1;
        if (rep % 4 == 3) {
            c.bands = 1 + static_cast<int>(g() % 4);
            c.sbands = 1 + static_cast<int>(g() % 4);
            // Now and then masks with bits past the bands, which select nothing.
            c.dmask = static_cast<int>(g() % 16) & (g() % 4 ? (1 << c.bands) - 1 : 15);
            c.smask = static_cast<int>(g() % 16) & (g() % 4 ? (1 << c.sbands) - 1 : 15);
            c.mask = g() % 3 ? 15 : static_cast<int>(g() % 16);
        } else if (rep % 9 == 5) {
            c.mask = 0;  // nothing selected
        }
        c.edge = rep % 17 == 0 ? static_cast<int>(g() % 8) : static_cast<int>(g() % 2);
        c.side = g() % 2 ? kbuf::Guard::After : kbuf::Guard::Before;
        float k[49], h[7], v[7];
        coefficients(g, k, c.n * c.n, magnitude(g));
        const float m = magnitude(g);
        coefficients(g, h, c.n, m);
        coefficients(g, v, c.n, g() % 2 ? m : 1.0f);
        run(c, k, h, v, g);
        if (HasFatalFailure()) return;
    }
}

// A centre 1.0 reproduces the source in the fixed-point body and in the
// floating-point lead-in and tail; with a full border every pixel is written.
TEST(Convolve, IdentityReproducesTheSource) {
    std::mt19937 g(7);
    for (int n = 3; n <= 7; n += 2) {
        for (int da = 0; da < 8; ++da) {
            const int r = n / 2, w = 29, hgt = 4;
            kbuf::GuardImage s(static_cast<size_t>(w + 2 * r), hgt + 2 * r, static_cast<size_t>(w + 2 * r), kbuf::Guard::After, g());
            kl_image si = s.image(KL_BYTE, 1, 1, w);
            si.data = s.row(r) + r;
            si.h = hgt;
            si.x = si.y = si.padx = si.pady = r;
            kbuf::DstBuf d(w, hgt, da, w, g());
            kl_image di = d.image(KL_BYTE, 1, 1, w);
            std::vector<float> k(static_cast<size_t>(n * n), 0.0f), one(static_cast<size_t>(n), 0.0f);
            k[static_cast<size_t>(n * n / 2)] = 1.0f;
            one[static_cast<size_t>(r)] = 1.0f;
            kGeneral[r - 1](1, &di, &si, k.data(), KL_EDGE_NO_WRITE, 1);
            for (int y = 0; y < hgt; ++y)
                for (int x = 0; x < w; ++x) ASSERT_EQ(d.row(y)[x], si.data[y * si.lb + x]) << n << " " << x << "," << y;
            std::memset(d.data(), 0, static_cast<size_t>(d.lb()) * hgt);
            kSeparable[r - 1](1, &di, &si, one.data(), one.data(), KL_EDGE_EXTEND);
            for (int y = 0; y < hgt; ++y)
                for (int x = 0; x < w; ++x) ASSERT_EQ(d.row(y)[x], si.data[y * si.lb + x]) << n << " sep " << x;
        }
    }
}

// A uniform area of 255. Nine 1/9 (truncated to 455) give 254 in the body;
// weights whose sums leave 16 bits (a box of ones, 1..9, a 7x7 of -0.5, the
// separable taps at 3 whose column sums pass 32767) give the exact value
// clamped, not a wrapped sum. No border leaves the r-pixel frame untouched.
TEST(Convolve, UniformWhite) {
    alignas(8) unsigned char src[24 * 8], dst[24 * 8];
    std::memset(src, 255, sizeof src);
    const struct {
        int n;
        bool sep;
        float k, step, v;  // coefficient i = k + step * i; separable vertical taps v
        int body;
    } rows[] = {{3, false, 1.0f / 9, 0, 0, 254}, {3, false, 1, 0, 0, 255}, {3, false, 1, 1, 0, 255},
                {3, false, -1, 0, 0, 0},          {5, false, 1, 0, 0, 255}, {7, false, -0.5f, 0, 0, 0},
                {3, true, 3, 0, 3, 255},          {7, true, 3, 0, -3, 0},   {5, true, 2.5f, 0, 2.5f, 255}};
    for (const auto &row : rows) {
        const int r = row.n / 2;
        std::vector<float> k(static_cast<size_t>(row.n * row.n)), v(static_cast<size_t>(row.n), row.v);
        for (size_t i = 0; i < k.size(); ++i) k[i] = row.k + row.step * static_cast<float>(i);
        std::memset(dst, 7, sizeof dst);
        kl_image s = kbuf::make_image(KL_BYTE, 1, 1, src, 24, 24, 8), d = kbuf::make_image(KL_BYTE, 1, 1, dst, 24, 24, 8);
        if (row.sep) {
            kSeparable[r - 1](1, &d, &s, k.data(), v.data(), KL_EDGE_ZERO_FILL);
        } else {
            kGeneral[r - 1](1, &d, &s, k.data(), KL_EDGE_ZERO_FILL, 1);
        }
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 24; ++x) {
                if (x < r || y < r || x >= 24 - r || y >= 8 - r) {
                    ASSERT_EQ(dst[y * 24 + x], 7) << row.n << " " << row.k << " at " << x << "," << y;
                } else if (x >= 8 && x < 16) {
                    ASSERT_EQ(dst[y * 24 + x], row.body) << row.n << (row.sep ? " sep " : " ") << row.k << " at " << x << "," << y;
                }
            }
    }
    float k[9];
    for (float &v : k) v = 1.0f / 9;
    kl_image s = kbuf::make_image(KL_BYTE, 1, 1, src, 24, 24, 6), d = kbuf::make_image(KL_BYTE, 1, 1, dst, 24, 24, 6);
    // A 5-wide area at 3 mod 8 is all lead-in: floating point, the same as the model.
    std::memset(dst, 7, sizeof dst);
    kl_image s5 = s, d5 = d;
    d5.data = dst + 3;
    d5.w = s5.w = 5;
    s5.x = s5.y = s5.padx = s5.pady = 1;
    s5.data = src + 24 + 3;
    d5.data = dst + 24 + 3;
    d5.h = s5.h = 1;
    std::vector<unsigned char> exp(dst, dst + sizeof dst);
    kl_image e5 = d5;
    e5.data = exp.data() + 24 + 3;
    ref::convolve(3, 1, e5, s5, k, 0);
    kl_convolve3x3_8(1, &d5, &s5, k, 0, 1);
    EXPECT_EQ(std::vector<unsigned char>(dst, dst + sizeof dst), exp);
}

// Shift and precision choices at their boundaries.
TEST(Convolve, CoefficientFormats) {
    const struct {
        float m;
        int s;
    } shifts[] = {{1.0f, 12}, {7.999f, 12}, {8.0f, 11}, {15.99f, 11}, {16.0f, 10}, {30.0f, 10},
                  {32767.0f, 0}, {16383.0f, 1}, {0.0f, 12}};
    for (const auto &c : shifts) {
        float k[9] = {0, 0, 0, 0, c.m, 0, 0, 0, -0.5f};
        EXPECT_EQ(ref::general_shift(k, 9), c.s) << c.m;
    }
    const struct {
        int n;
        float big;
        int low, t;
    } prec[] = {{3, 3.0f, 1, 0}, {3, 3.5f, 0, 2}, {3, -5.0f, 0, 2}, {5, -5.0f, 0, 1}, {7, 15.0f, 0, 0},
                {3, 31.0f, 0, 0}, {5, 7.5f, 0, 0}, {5, 4.9f, 0, 1}};
    for (const auto &c : prec) {
        float h[7] = {0.25f, 0.5f, 0.25f, 0.1f, 0.1f, 0.1f, 0.1f}, v[7] = {0.2f, 0.2f, 0.2f, 0.2f, 0.2f, 0.2f, 0.2f};
        h[1] = c.big;
        int t, low;
        const int ps = ref::separable_precision(c.n, h, v, &t, &low);
        EXPECT_EQ(low, c.low) << c.n << " " << c.big;
        if (!low) {
            EXPECT_EQ(t, c.t) << c.n << " " << c.big;
        }
        EXPECT_EQ(ps, low ? 7 : 15 - 2 * c.t);
    }
    EXPECT_EQ(ref::fixed16(1.0f / 9 * 4096.0f), 455);
    EXPECT_EQ(ref::fixed16(-2.5f), -2);
    EXPECT_EQ(ref::fixed16(65536.0f + 3.0f), 3);  // low 16 bits
    EXPECT_EQ(round_8[3], 0x00080008u);
    EXPECT_EQ(round_8[7], 0u);
    EXPECT_EQ(num_bits[13], 3);
}

TEST(SetValue, AgainstTheModel) {
    std::mt19937 g(411);
    for (int rep = 0; rep < 600; ++rep) {
        const bool sixteen = rep % 3 == 0;
        const int bands = 1 + static_cast<int>(g() % 4), sb = sixteen ? 2 : 1;
        const int w = 1 + static_cast<int>(g() % (rep % 5 ? 20 : 200)), h = 1 + static_cast<int>(g() % 5);
        const int mask = static_cast<int>(g() % 16), bmask = static_cast<int>(g() % 16) & ((1 << bands) - 1);
        const size_t row = static_cast<size_t>(w) * bands * sb;
        kbuf::DstBuf d(row, h, static_cast<int>(g() % 64) & (sixteen ? ~1 : ~0), row + (g() % 8) * sb, g());
        kl_image di = d.image(sixteen ? KL_SHORT : KL_BYTE, bands, bmask, w);
        kl_image de = di;
        de.data = d.exp_data();
        short values[4];
        for (short &v : values) v = static_cast<short>(g() % 4 ? static_cast<int>(g() % 600) - 150 : static_cast<int>(g()));
        ref::setval(mask, de, values, sixteen);
        (sixteen ? kl_setval_16 : kl_setval_8)(mask, &di, values);
        ASSERT_TRUE(d.check()) << "bands " << bands << " w " << w << " mask " << mask << " bmask " << bmask;
    }
    // -5 gives 0 and 300 gives 255 in 8 bits; 16 bits keep -5.
    unsigned char b[4] = {9, 9, 9, 9};
    short vals[4] = {-5, 300, 17, 0};
    kl_image i8 = kbuf::make_image(KL_BYTE, 4, 0xf, b, 4, 1, 1);
    kl_setval_8(0xe, &i8, vals);
    EXPECT_EQ(b[0], 0);
    EXPECT_EQ(b[1], 255);
    EXPECT_EQ(b[2], 17);
    EXPECT_EQ(b[3], 9);
    int16_t s16 = 0;
    kl_image i16 = kbuf::make_image(KL_SHORT, 1, 1, &s16, 2, 1, 1);
    kl_setval_16(1, &i16, vals);
    EXPECT_EQ(s16, -5);
}

TEST(Combine, AgainstTheModel) {
    std::mt19937 g(413);
    for (int rep = 0; rep < 300; ++rep) {
        const int w = 1 + static_cast<int>(g() % (rep % 4 ? 24 : 260)), h = 1 + static_cast<int>(g() % 4);
        kbuf::DstBuf d(static_cast<size_t>(w) * 4, h, 4 * static_cast<int>(g() % 16), static_cast<size_t>(w) * 4 + 4 * (g() % 4), g());
        std::vector<kbuf::GuardImage> bands;
        kl_image src[3];
        for (int k = 0; k < 3; ++k) {
            bands.emplace_back(static_cast<size_t>(w), h, static_cast<size_t>(w) + g() % 9,
                               g() % 2 ? kbuf::Guard::After : kbuf::Guard::Before, g());
        }
        for (int k = 0; k < 3; ++k) src[k] = bands[static_cast<size_t>(k)].image(KL_BYTE, 1, 1, w);
        kl_image di = d.image(KL_BYTE, 4, 7, w, 1), de = di;
        de.data = d.exp_data();
        ref::combine(de, src[0], src[1], src[2]);
        kl_combine_wren(&di, &src[0], &src[1], &src[2]);
        ASSERT_TRUE(d.check()) << "w " << w << " h " << h;
    }
}

}  // namespace
