// Resampling: the table builders value for value against their formulas,
// stated values of the 2x path, refused and empty calls, the floating-point
// reference against a double model, the diagnostics.

#include <cmath>
#include <memory>

#include "kbuf.h"
#include "ref_resample.h"

namespace resample_test {

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

// The bilinear 2x path weighs the quarter phases itself, whatever the
// table's subsamples: columns 0 and 200 give 0 50 150 200 (extend).
TEST(ResampleScale, StatedValues) {
    for (int subs : {2, 3, 256}) {
        unsigned char src[4] = {0, 200, 0, 200}, dst[4 * 8] = {};
        kl_image si = kbuf::make_image(KL_BYTE, 1, 1, src, 2, 2, 2);
        kl_image di = kbuf::make_image(KL_BYTE, 1, 1, dst, 8, 4, 4);
        Table t(kl_resample_create_bilinear(subs, subs, 8, KL_EDGE_EXTEND));
        ASSERT_EQ(kl_scale(-1, &di, &si, 2.0f, 2.0f, -0.495f, -0.495f, t.get()), 1);
        EXPECT_EQ(std::vector<int>(dst, dst + 4), (std::vector<int>{0, 50, 150, 200})) << subs;
    }
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
    const float kScales[] = {2.0f, 1.5f, 0.5f, 3.7f, 0.3f};
    std::mt19937 g(5);
    int off = 0, total = 0;
    for (int n = 0; n < 40; ++n) {
        const int sw = 5 + g() % 20, shh = 5 + g() % 20, dw = 1 + g() % 30, dh = 1 + g() % 20;
        std::vector<unsigned char> src(sw * shh), dst(dw * dh);
        kbuf::fill_random(src.data(), src.size(), g());
        kl_image si = kbuf::make_image(KL_BYTE, 1, 1, src.data(), sw, sw, shh);
        kl_image di = kbuf::make_image(KL_BYTE, 1, 1, dst.data(), dw, dw, dh);
        const int edge = 1 + g() % 2;
        Table t(n % 3 == 0 ? kl_resample_create_nearest(edge)
                : n % 3 == 1 ? kl_resample_create_bilinear(256, 1 + g() % 300, 8, edge)
                             : kl_resample_create_bicubic(1 + g() % 300, 256, 8, edge));
        const float xs = kScales[g() % 5], ys = kScales[g() % 5], xt = -0.5f + int(g() % 9) - 4, yt = -0.5f;
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

// The diagnostics (ZOR_PRINT_TABLES, ZOR_PRINT_SPECIAL, read once per
// process, so printed by a fresh one): the 2x path taken, then left.
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

}  // namespace resample_test
