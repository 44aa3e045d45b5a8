// Resampling: the table builders value for value against their formulas;
// kl_scale byte for byte against the scalar two-pass model (tests/ref) over
// kinds, factors, translations, sizes, alignments, 1-4 bands of 8 and 16
// bits, band masks, the three edge modes with source margins, destinations
// with canaries and sources on guard pages; the 2x paths against the general
// path; the floating-point reference against a double model; the diagnostics;
// agreement with cv::resize where the conventions meet.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <opencv2/imgproc.hpp>
#include <random>
#include <vector>

#include "kbuf.h"
#include "kl.h"
#include "ref_resample.h"

namespace {

struct TableDel {
    void operator()(kl_resample_table *t) const { kl_resample_destroy(t); }
};
using Table = std::unique_ptr<kl_resample_table, TableDel>;

int wt(const kl_resample_table *t, bool h, int p, int k) {
    const int16_t *f = h ? t->filterH : t->filterV;
    return t->layout == KL_BYTE ? f[p * 16 + k] : f[p * 16 + 2 * k];
}

TEST(ResampleTables, BuildersFollowTheirFormulas) {
    for (int type : {8, 16}) {
        Table bl(kl_resample_create_bilinear(256, 7, type, KL_EDGE_EXTEND));
        ASSERT_TRUE(bl);
        EXPECT_EQ(bl->kind, 1);
        EXPECT_EQ(bl->filterwidthH, 2);
        for (int dir = 0; dir < 2; ++dir) {
            const int n = dir ? 7 : 256;
            for (int i = 0; i < n; ++i) {
                const float t = float(i) / float(n);
                EXPECT_EQ(wt(bl.get(), !dir, i, 0), int((1.0f - t) * 16384.0f));
                EXPECT_EQ(wt(bl.get(), !dir, i, 1), int(t * 16384.0f));
                if (type == 16) {
                    EXPECT_EQ(bl->filterH[i % 256 * 16 + 1], bl->filterH[i % 256 * 16]);
                }
            }
        }
        Table bc(kl_resample_create_bicubic(256, 100, type, KL_EDGE_ZERO_FILL));
        ASSERT_TRUE(bc);
        EXPECT_EQ(bc->filterwidthV, 4);
        for (int i = 0; i < 100; ++i) {
            const double t = float(i) / float(100);
            const double w[4] = {-0.5 * t * t * t + t * t - 0.5 * t, 1.5 * t * t * t - 2.5 * t * t + 1,
                                 -1.5 * t * t * t + 2 * t * t + 0.5 * t, 0.5 * t * t * t - 0.5 * t * t};
            for (int k = 0; k < 4; ++k) EXPECT_EQ(wt(bc.get(), false, i, k), int(float(w[k]) * 16384.0)) << i << k;
        }
    }
    Table nn(kl_resample_create_nearest(KL_EDGE_NO_WRITE));
    ASSERT_TRUE(nn);
    EXPECT_EQ(nn->kind, 0);
    EXPECT_EQ(nn->filterwidthH, 1);
    EXPECT_EQ(nn->subsamplesH, 0);
    EXPECT_EQ(nn->filterH, nullptr);
}

TEST(ResampleTables, GeneralTruncatesSaturatesAndRefuses) {
    std::vector<float> c = {0.5f, -0.25f, 1.9999f, 2.5f, -3.0f, 0.000061f, -0.000061f, 1.0f};
    Table g(kl_resample_create_general(c.data(), c.data(), 2, 4, 4, 2, 8, KL_EDGE_ZERO_FILL, KL_EDGE_EXTEND));
    ASSERT_TRUE(g);
    EXPECT_EQ(g->kind, 3);
    const int want[8] = {8192, -4096, 32766, 32767, -32768, 0, 0, 16384};
    for (int p = 0; p < 2; ++p)
        for (int k = 0; k < 4; ++k) EXPECT_EQ(wt(g.get(), true, p, k), want[p * 4 + k]);
    for (int p = 0; p < 4; ++p)
        for (int k = 0; k < 2; ++k) EXPECT_EQ(wt(g.get(), false, p, k), want[p * 2 + k]);
    std::vector<float> many(64 * 8, 0.125f);
    Table w8(kl_resample_create_general(many.data(), nullptr, 64, 0, 8, 1, 8, 0, 0));
    ASSERT_TRUE(w8);
    EXPECT_EQ(w8->filterV, nullptr);
    EXPECT_FALSE(Table(kl_resample_create_general(many.data(), many.data(), 8, 8, 9, 2, 8, 0, 0)));
    EXPECT_FALSE(Table(kl_resample_create_general(many.data(), many.data(), 8, 8, 2, 0, 8, 0, 0)));
    EXPECT_FALSE(Table(kl_resample_create_general(nullptr, many.data(), 8, 8, 2, 2, 8, 0, 0)));
    EXPECT_FALSE(Table(kl_resample_create_general(many.data(), many.data(), 0, 8, 2, 2, 8, 0, 0)));
    EXPECT_FALSE(Table(kl_resample_create_general(many.data(), many.data(), 8, 8, 2, 2, 8, 3, 0)));
    EXPECT_FALSE(Table(kl_resample_create_nearest(-1)));
    EXPECT_FALSE(Table(kl_resample_create_bilinear(256, 256, 8, 3)));
    EXPECT_FALSE(Table(kl_resample_create_bicubic(0, 256, 8, 0)));
    EXPECT_EQ(float_to_fixed_16(0.5f, 14), 8192u | 8192u << 16);  // a 16-bit weight is stored twice
    EXPECT_EQ(float_to_fixed_16(-0.25f, 14), 0xf000f000u);
    EXPECT_EQ(float_to_fixed_8(0.75f, -0.25f, 14), uint32_t(12288) | uint32_t(uint16_t(-4096)) << 16);
    // kl_resample_bufsize is a + 8 (a + 32 b) + 4 (row span + 9), a: the column
    // span plus the taps' bytes (doubled for 16-bit) rounded up to 8, b: the
    // destination row's bytes (doubled for 16-bit) in words, rounded up (that
    // the scratch fits: kl_scale_work with exactly the workspace asked for).
    unsigned char px[64] = {};
    int iH[7], iV[6];
    for (int i = 0; i < 7; ++i) iH[i] = i < 6 ? 2 * i : 12;
    for (int j = 0; j < 6; ++j) iV[j] = j - 2;
    kl_image s8 = kbuf::make_image(KL_BYTE, 3, 7, px, 8, 2, 2), d8 = kbuf::make_image(KL_BYTE, 3, 7, px, 16, 5, 6);
    EXPECT_EQ(kl_resample_bufsize(&s8, &d8, 4, iH, iV), 24 + 8 * (24 + 32 * 2) + 4 * (5 + 9));
    kl_image s16 = kbuf::make_image(KL_SHORT, 1, 1, px, 8, 2, 2), d16 = kbuf::make_image(KL_SHORT, 1, 1, px, 16, 7, 6);
    EXPECT_EQ(kl_resample_bufsize(&s16, &d16, 3, iH, iV), 24 + 8 * (24 + 32 * 4) + 4 * (5 + 9));
}

// A random table of the kind: general ones get random widths, subsamples and
// coefficients that sum to about 1 (with negative lobes).
Table make_table(int kind, int type, int edgeH, int edgeV, std::mt19937 &g) {
    switch (kind) {
        case 0: return Table(kl_resample_create_nearest(edgeH));
        case 1: return Table(kl_resample_create_bilinear(256, 1 + g() % 300, type, edgeH));
        case 2: return Table(kl_resample_create_bicubic(1 + g() % 300, 256, type, edgeH));
        default: {
            const int wh = 1 + g() % 8, wv = 1 + g() % 8, sh = 1 + g() % 40, sv = 1 + g() % 40;
            std::uniform_real_distribution<float> u(-0.4f, 0.9f);
            std::vector<float> ch(sh * wh), cv(sv * wv);
            for (float &x : ch) x = u(g) * 2.0f / wh;
            for (float &x : cv) x = u(g) * 2.0f / wv;
            return Table(kl_resample_create_general(ch.data(), cv.data(), sh, sv, wh, wv, type, edgeH, edgeV));
        }
    }
}

struct Case {
    int type, bands, bmask, mask, kind, edgeH, edgeV;
    float xs, ys, xt, yt;
    int sw, sh, mx, my, px, py;  // source size and margins
    int dw, dh, align, fb;
};

std::string describe(const Case &c) {
    char s[256];
    std::snprintf(s, sizeof s,
                  "type %d bands %d bmask %#x mask %d kind %d edges %d/%d scale %g/%g trans %g/%g src %dx%d margins "
                  "%d,%d,%d,%d dst %dx%d align %d fb %d",
                  c.type, c.bands, c.bmask, c.mask, c.kind, c.edgeH, c.edgeV, c.xs, c.ys, c.xt, c.yt, c.sw, c.sh,
                  c.mx, c.my, c.px, c.py, c.dw, c.dh, c.align, c.fb);
    return s;
}

// Runs one case through kl_scale and the model; the source area sits inside
// a guard-page image with its margins around it.
void run(const Case &c, std::mt19937 &g, bool special = true) {
    const int esz = c.type == KL_SHORT ? 2 : 1, bpp = c.bands * esz;
    const int tw = c.mx + c.sw + c.px, th = c.my + c.sh + c.py;
    const size_t row = size_t(tw) * bpp;
    kbuf::GuardImage s(row, th, row + (g() % 3) * esz, g() % 2 ? kbuf::Guard::After : kbuf::Guard::Before, g());
    kl_image si = kbuf::make_image(c.type, c.bands, (1 << c.bands) - 1, s.row(c.my) + c.mx * bpp, s.lb(), c.sw, c.sh);
    si.x = c.mx, si.y = c.my, si.padx = c.px, si.pady = c.py;
    const size_t drow = size_t(c.dw) * bpp;
    kbuf::DstBuf d(drow, c.dh, c.align, drow + (g() % 3) * 8, g());
    kl_image di = d.image(c.type, c.bands, c.bmask, c.dw, c.fb);
    kl_image de = di;
    de.data = d.exp_data();
    Table t = make_table(c.kind, c.type, c.edgeH, c.edgeV, g);
    ASSERT_TRUE(t) << describe(c);
    do_special_cases = special;
    if (g() % 2) {
        EXPECT_EQ(kl_scale(c.mask, &di, &si, c.xs, c.ys, c.xt, c.yt, t.get()), 1) << describe(c);
    } else {
        // With a workspace of exactly the size asked for (ASan sees overruns).
        const long n = kl_scale_worksize(c.mask, &di, &si, c.xs, c.ys, c.xt, c.yt, t.get());
        ASSERT_GE(n, 0) << describe(c);
        std::vector<uint64_t> work(size_t(n + 7) / 8);
        EXPECT_EQ(kl_scale_work(c.mask, &di, &si, c.xs, c.ys, c.xt, c.yt, t.get(), n ? work.data() : nullptr), 1)
            << describe(c);
    }
    do_special_cases = 1;
    ref_scale(c.mask, de, si, c.xs, c.ys, c.xt, c.yt, *t, special);
    EXPECT_TRUE(d.check()) << describe(c);
}

const float kScales[] = {2.0f, 1.5f, 0.5f, 3.7f, 1.0f, 0.3f, 2.0001f, 1.0f / 3.0f, 5.0f, 0.73f};

Case random_case(std::mt19937 &g) {
    Case c{};
    c.type = g() % 4 ? KL_BYTE : KL_SHORT;
    c.bands = 1 + g() % 4;
    const int full = (1 << c.bands) - 1;
    c.bmask = g() % 2 ? full : 1 + g() % full;
    c.mask = g() % 3 ? -1 : int(g() % 16);
    c.kind = g() % 4;
    c.edgeH = g() % 3;
    c.edgeV = c.kind == 3 ? g() % 3 : c.edgeH;
    c.xs = kScales[g() % 10];
    c.ys = g() % 3 ? c.xs : kScales[g() % 10];
    auto trans = [&]() { return g() % 3 == 0 ? -0.5f : (int(g() % 161) - 80) * 0.25f - 0.5f + (g() % 4 ? 0 : 0.13f); };
    c.xt = trans();
    c.yt = trans();
    c.sw = 1 + g() % 160;
    c.sh = 1 + g() % 24;
    if (g() % 2) c.mx = g() % 4, c.my = g() % 4, c.px = g() % 4, c.py = g() % 4;
    // Sometimes no row or column, perhaps margins: zero fill reads zeros,
    // no-write cuts that direction alone, extend has nothing to repeat.
    if (g() % 20 == 0) (g() % 2 ? c.sw : c.sh) = 0;
    const bool ex = c.mx + c.sw + c.px == 0, ey = c.my + c.sh + c.py == 0;
    if ((ex || (ey && c.kind < 3)) && c.edgeH == KL_EDGE_EXTEND) c.edgeH = KL_EDGE_ZERO_FILL;
    if (ey && c.edgeV == KL_EDGE_EXTEND) c.edgeV = KL_EDGE_ZERO_FILL;
    c.dw = 1 + g() % 140;
    c.dh = 1 + g() % 30;
    c.align = g() % 64;
    c.fb = c.bands == 4 && g() % 2;
    return c;
}

TEST(ResampleScale, MatchesTheTwoPassModel) {
    std::mt19937 g(20261207);
    for (int n = 0; n < 3000; ++n) {
        const Case c = random_case(g);
        run(c, g, g() % 4 != 0);  // the general path also for what a faster path takes
        if (HasFailure()) return;
    }
}

// The 2x paths give the general path's bytes: nearest with any translation,
// band count 1, 3 (aligned) or 4, every edge mode; bilinear one band with the
// translation on the half-pixel grid. Within 0.01 of it the 2x path snaps to
// the grid, where the general path takes the phase of the exact position.
TEST(ResampleScale, TwoTimesPathsMatchTheGeneralPath) {
    std::mt19937 g(2);
    for (int kind : {0, 1})
        for (int bands : {1, 3, 4})
            for (int edge = 0; edge < 3; ++edge)
                for (float xt : {-0.5f, 0.0f, -1.0f, -3.5f, 5.5f, 2.0f, -7.25f}) {
                    Case c{KL_BYTE, bands, (1 << bands) - 1, -1, kind, edge, edge, 2.0f, 2.0f, xt, xt - 1.0f,
                           bands == 3 ? 16 : 21, 11, 0, 0, 0, 0, bands == 3 ? 40 : 45, 25, 0, 0};
                    // Same bytes with and without the special paths.
                    std::mt19937 g1(g()), g2 = g1;
                    run(c, g1, true);
                    run(c, g2, false);
                    if (HasFailure()) return;
                }
    // The bilinear 2x path weighs the quarter phases itself, whatever the
    // table's subsamples: columns 0 and 200 give 0 50 150 200 (extend).
    for (int subs : {2, 3, 256}) {
        unsigned char src[4] = {0, 200, 0, 200}, dst[4 * 8] = {};
        kl_image si = kbuf::make_image(KL_BYTE, 1, 1, src, 2, 2, 2);
        kl_image di = kbuf::make_image(KL_BYTE, 1, 1, dst, 8, 4, 4);
        Table t(kl_resample_create_bilinear(subs, subs, 8, KL_EDGE_EXTEND));
        ASSERT_EQ(kl_scale(-1, &di, &si, 2.0f, 2.0f, -0.495f, -0.495f, t.get()), 1);
        EXPECT_EQ(std::vector<int>(dst, dst + 4), (std::vector<int>{0, 50, 150, 200})) << subs;
    }
}

TEST(ResampleScale, NoWriteOffTheSourceWritesNothing) {
    std::mt19937 g(3);
    for (int kind = 0; kind < 3; ++kind) {
        for (float xt : {500.0f, -500.0f}) {
            Case c{KL_BYTE, 3, 7, -1, kind, KL_EDGE_NO_WRITE, KL_EDGE_NO_WRITE, 2.0f, 2.0f, xt, -0.5f,
                   10, 10, 0, 0, 0, 0, 30, 6, 5, 0};
            run(c, g);  // the model writes nothing either
        }
    }
    // Zero fill fades the border toward 0, extend repeats it.
    std::vector<unsigned char> src(4 * 4, 200), dst(12 * 12, 1);
    kl_image si = kbuf::make_image(KL_BYTE, 1, 1, src.data(), 4, 4, 4);
    kl_image di = kbuf::make_image(KL_BYTE, 1, 1, dst.data(), 12, 12, 12);
    Table z(kl_resample_create_bilinear(256, 256, 8, KL_EDGE_ZERO_FILL));
    Table e(kl_resample_create_bilinear(256, 256, 8, KL_EDGE_EXTEND));
    ASSERT_EQ(kl_scale(-1, &di, &si, 3.0f, 3.0f, -0.5f, -0.5f, z.get()), 1);
    EXPECT_LT(dst[0], 200);
    EXPECT_EQ(dst[6 * 12 + 6], 200);
    ASSERT_EQ(kl_scale(-1, &di, &si, 3.0f, 3.0f, -0.5f, -0.5f, e.get()), 1);
    EXPECT_EQ(dst[0], 200);
}

TEST(ResampleScale, RefusalsAndEmptyCallsWriteNothing) {
    std::vector<unsigned char> src(64, 9), dst(256, 1);
    const std::vector<unsigned char> before = dst;
    kl_image si = kbuf::make_image(KL_BYTE, 1, 1, src.data(), 8, 8, 8);
    kl_image di = kbuf::make_image(KL_BYTE, 1, 1, dst.data(), 16, 16, 16);
    Table nn(kl_resample_create_nearest(KL_EDGE_EXTEND));
    Table sh(kl_resample_create_bilinear(16, 16, 16, KL_EDGE_EXTEND));
    kl_image empty = di;
    empty.w = 0;
    EXPECT_EQ(kl_scale(-1, &empty, &si, 2.0f, 2.0f, 0, 0, nn.get()), 1);
    EXPECT_EQ(kl_scale(0, &di, &si, 2.0f, 2.0f, 0, 0, nn.get()), 1);  // no band selected
    EXPECT_EQ(kl_scale(-1, &di, &si, 0.0f, 2.0f, 0, 0, nn.get()), 0);
    EXPECT_EQ(kl_scale(-1, &di, &si, -1.0f, 2.0f, 0, 0, nn.get()), 0);
    EXPECT_EQ(kl_scale(-1, &di, &si, NAN, 2.0f, 0, 0, nn.get()), 0);
    EXPECT_EQ(kl_scale(-1, &di, &si, 2.0f, 2.0f, INFINITY, 0, nn.get()), 0);
    EXPECT_EQ(kl_scale(-1, &di, &si, 2.0f, 2.0f, 1e30f, 0, nn.get()), 0);
    EXPECT_EQ(kl_scale(-1, &di, &si, 2.0f, 2.0f, 0, 0, sh.get()), 0);  // 16-bit weights for 8-bit data
    EXPECT_EQ(kl_scale(-1, &di, &si, 2.0f, 2.0f, 0, 0, nullptr), 0);
    kl_image three = kbuf::make_image(KL_BYTE, 3, 7, dst.data(), 48, 4, 4);
    EXPECT_EQ(kl_scale(-1, &three, &si, 2.0f, 2.0f, 0, 0, nn.get()), 0);
    kl_image wide = kbuf::make_image(KL_SHORT, 1, 1, dst.data(), 32, 8, 8);
    EXPECT_EQ(kl_scale(-1, &wide, &si, 2.0f, 2.0f, 0, 0, nn.get()), 0);
    kl_image none = si;
    none.h = 0;  // extend has nothing to repeat
    EXPECT_EQ(kl_scale(-1, &di, &none, 2.0f, 2.0f, 0, 0, nn.get()), 0);
    int it[1] = {0};
    EXPECT_EQ(kl_resample_general(&si, &di, 1, 1, it, it, nullptr, nullptr, 0, KL_EDGE_NO_WRITE, 1, nullptr), 0);
    EXPECT_EQ(dst, before);
}

// The floating-point reference against a double model: sums of sample x wH
// x wV x 2^-28 truncated; single precision may land one off at an integer.
TEST(ResampleReference, AgreesWithADoubleModel) {
    std::mt19937 g(5);
    int off = 0, total = 0;
    for (int n = 0; n < 60; ++n) {
        const int sw = 5 + g() % 20, shh = 5 + g() % 20, dw = 1 + g() % 30, dh = 1 + g() % 20;
        std::vector<unsigned char> src(sw * shh), dst(dw * dh);
        kbuf::fill_random(src.data(), src.size(), g());
        kl_image si = kbuf::make_image(KL_BYTE, 1, 1, src.data(), sw, sw, shh);
        kl_image di = kbuf::make_image(KL_BYTE, 1, 1, dst.data(), dw, dw, dh);
        const int kind = g() % 4, edge = 1 + g() % 2;
        Table t = make_table(kind, 8, edge, edge, g);
        const float xs = kScales[g() % 10], ys = kScales[g() % 10], xt = -0.5f + int(g() % 9) - 4, yt = -0.5f;
        use_reference = 1;
        ASSERT_EQ(kl_scale(-1, &di, &si, xs, ys, xt, yt, t.get()), 1);
        use_reference = 0;
        const int fwH = t->filterwidthH, fwV = t->filterwidthV;
        for (int j = 0; j < dh; ++j)
            for (int i = 0; i < dw; ++i) {
                if (t->kind == 1 && xs == 2.0f && ys == 2.0f) continue;  // the 2x path snaps the phase
                const double ph = (i - double(xt)) / xs - (fwH - 1) * 0.5, pv = (j - double(yt)) / ys - (fwV - 1) * 0.5;
                const long long c0 = std::floor(ph), r0 = std::floor(pv);
                const int phase_h = fwH > 1 ? int(t->subsamplesH * (ph - c0)) : 0;
                const int phase_v = fwV > 1 ? int(t->subsamplesV * (pv - r0)) : 0;
                double sum = 0;
                for (int l = 0; l < fwV; ++l)
                    for (int k = 0; k < fwH; ++k) {
                        const long long x = c0 + k, y = r0 + l;
                        const bool out = x < 0 || x >= sw || y < 0 || y >= shh;
                        const double s = out && edge == KL_EDGE_ZERO_FILL ? 0
                            : src[std::clamp<long long>(y, 0, shh - 1) * sw + std::clamp<long long>(x, 0, sw - 1)];
                        const double wh = fwH > 1 ? wt(t.get(), true, phase_h, k) : 16384;
                        const double wv = fwV > 1 ? wt(t.get(), false, phase_v, l) : 16384;
                        sum += s * wh * wv / (16384.0 * 16384.0);
                    }
                const int want = std::clamp<int>(int(std::trunc(sum)), 0, 255);
                const int got = dst[j * dw + i];
                EXPECT_LE(std::abs(got - want), 1) << n << " " << i << "," << j;
                off += got != want;
                ++total;
            }
        if (HasFailure()) return;
    }
    EXPECT_LT(off * 100, total);  // a one-off is the exception
}

void print_run() {
    setenv("ZOR_PRINT_TABLES", "1", 1);
    setenv("ZOR_PRINT_SPECIAL", "1", 1);
    std::vector<unsigned char> src(64, 9), dst(16 * 16);
    kl_image si = kbuf::make_image(KL_BYTE, 1, 1, src.data(), 8, 8, 8);
    kl_image di = kbuf::make_image(KL_BYTE, 1, 1, dst.data(), 16, 3, 2);
    Table b(kl_resample_create_bilinear(256, 256, 8, KL_EDGE_EXTEND));
    kl_scale(-1, &di, &si, 2.0f, 2.0f, -0.5f, -0.5f, b.get());
    kl_scale(-1, &di, &si, 2.0f, 2.0f, -0.5f, -0.5f, b.get());
    kl_scale(-1, &di, &si, 1.5f, 2.0f, -0.5f, -0.5f, b.get());
    std::exit(0);
}

TEST(ResampleDiagnostics, PrintTablesGivesALinePerColumnAndRow) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(print_run(),
        testing::ExitedWithCode(0),
        "Using optimized case for bl_8_1_2x\\.(.|\n)*xscale = 2\\.000000, xtrans = -0\\.500000, step = 0\\.500000, pos = "
        "0\\.250000\\.(.|\n)*iTableH\\[2\\] = 0 \\(pos = 0\\.750000\\)\\.(.|\n)*iTableV\\[1\\] = 0 \\(pos = "
        "0\\.250000\\)\\.(.|\n)*Fell out of special case\\.(.|\n)*iTableH\\[2\\] = 1 \\(pos = 1\\.166667\\)");
}

// Against cv::resize with the source at the origin (xtrans = -0.5: pixel
// centres on both sides), away from the borders: nearest gives identical
// pixels for integer factors; bilinear differs by the rounding of Q14 weights
// against OpenCV's 11-bit ones and the 8-bit intermediate rows. Bicubic is
// Keys' cubic with a = -0.5 where OpenCV's INTER_CUBIC takes a = -0.75: each
// matches a double model of its own a within rounding, and the two differ by
// what the a does: 2-3 on a smooth texture, 14-16 on hard edges (10-14
// measured on photographs). Half a pixel off would differ far more.
cv::Mat textured(bool edges) {
    cv::Mat m(61, 97, CV_8UC1);
    std::mt19937 g(11);
    for (int y = 0; y < m.rows; ++y)
        for (int x = 0; x < m.cols; ++x)
            m.at<uint8_t>(y, x) = cv::saturate_cast<uint8_t>(
                (edges ? ((x / 5 + y / 7) % 2 ? 215 : 40) : 128 + 90 * std::sin(x * 0.21) * std::cos(y * 0.17)) +
                int(g() % 21) - 10);
    return m;
}

// kind 0-2: kl_scale with that table, shifted; 3: cv::resize (interp);
// 4: separable cubic convolution with parameter a, in double.
cv::Mat scaled(int kind, const cv::Mat &src, double f, double shift = 0, int interp = 0, double a = 0) {
    cv::Mat out(int(std::nearbyint(src.rows * f)), int(std::nearbyint(src.cols * f)), CV_8UC1, cv::Scalar(0));
    auto w = [a](double x) {
        x = std::fabs(x);
        return x < 1 ? ((a + 2) * x - (a + 3)) * x * x + 1 : x < 2 ? ((x - 5) * x + 8) * x * a - 4 * a : 0.0;
    };
    if (kind == 3) cv::resize(src, out, cv::Size(), f, f, interp);  // the size rounded as above
    for (int j = 0; j < out.rows && kind == 4; ++j)
        for (int i = 0; i < out.cols; ++i) {
            const double sx = (i + 0.5) / f - 0.5, sy = (j + 0.5) / f - 0.5, x0 = std::floor(sx), y0 = std::floor(sy);
            double sum = 0;
            for (int l = -1; l <= 2; ++l)
                for (int k = -1; k <= 2; ++k)
                    sum += w(sx - x0 - k) * w(sy - y0 - l) *
                           src.at<uint8_t>(std::clamp(int(y0) + l, 0, src.rows - 1), std::clamp(int(x0) + k, 0, src.cols - 1));
            out.at<uint8_t>(j, i) = cv::saturate_cast<uint8_t>(sum);
        }
    if (kind > 2) return out;
    kl_image si = kbuf::make_image(KL_BYTE, 1, 1, src.data, int(src.step[0]), src.cols, src.rows);
    kl_image di = kbuf::make_image(KL_BYTE, 1, 1, out.data, int(out.step[0]), out.cols, out.rows);
    Table t(kind == 0 ? kl_resample_create_nearest(KL_EDGE_EXTEND)
                      : kind == 1 ? kl_resample_create_bilinear(256, 256, 8, KL_EDGE_EXTEND)
                                  : kl_resample_create_bicubic(256, 256, 8, KL_EDGE_EXTEND));
    EXPECT_EQ(kl_scale(-1, &di, &si, float(f), float(f), float(-0.5 + shift), float(-0.5 + shift), t.get()), 1);
    return out;
}

int apart(const cv::Mat &x, const cv::Mat &y, int b) {
    const cv::Rect r(b, b, x.cols - 2 * b, x.rows - 2 * b);
    return int(cv::norm(x(r), y(r), cv::NORM_INF));
}

TEST(ResampleOpenCV, AgreementWithResize) {
    const cv::Mat smooth = textured(false);
    for (double f : {2.0, 3.0, 4.0}) EXPECT_EQ(apart(scaled(0, smooth, f), scaled(3, smooth, f, 0, cv::INTER_NEAREST), 0), 0);
    EXPECT_GT(apart(scaled(0, smooth, 2, 1), scaled(3, smooth, 2, 0, cv::INTER_NEAREST), 0), 12);
    for (bool edges : {false, true})
        for (double f : {2.0, 1.5, 0.5, 3.7}) {
            const cv::Mat src = textured(edges), cvc = scaled(3, src, f, 0, cv::INTER_CUBIC), bc = scaled(2, src, f);
            const int b = int(std::ceil(2 * f)) + 1, bl = apart(scaled(1, src, f), scaled(3, src, f, 0, cv::INTER_LINEAR), b);
            const int own = apart(bc, scaled(4, src, f, 0, 0, -0.5), b), peer = apart(cvc, scaled(4, src, f, 0, 0, -0.75), b);
            EXPECT_LE(bl, edges ? 2 : 1) << f;
            EXPECT_LE(own, edges ? 2 : 1) << f;  // the 8-bit intermediate rows
            EXPECT_LE(peer, 1) << f;
            EXPECT_LE(apart(bc, cvc, b), edges ? 16 : 3) << f;  // the two a's apart, as measured
            EXPECT_GT(apart(scaled(1, src, f, 0.5 * f), scaled(3, src, f, 0, cv::INTER_LINEAR), b), 12) << f;
        }
}

}  // namespace
