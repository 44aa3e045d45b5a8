// The affine warp: filter tables value for value against their formulas,
// the selection conditions, kernels refusing layouts outside their row, and
// a few telling cases by hand (identity and margins, constant rows).

#include <cmath>
#include <memory>

#include "kbuf.h"

namespace {


struct Table {
    void *p;
    explicit Table(void *q) : p(q) {}
    ~Table() { std::free(p); }
    const int16_t *w() const { return static_cast<const int16_t *>(p); }
};

int16_t lane(uint64_t w, int i) { return static_cast<int16_t>(static_cast<uint16_t>(w >> (16 * i))); }

// ---- Tables ------------------------------------------------------------------

TEST(AffineTables, Bilinear) {
    Table t8(kl_affine_create_bilinear()), t16(kl_affine_create_bilinear_16());
    ASSERT_TRUE(t8.p && t16.p);
    for (int f = 0; f < 256; ++f) {
        const int A = (256 - f) * 64, B = f * 64;
        const int want_x[4] = {A, B, A, B}, want_y[4] = {A, A, B, B};
        const int A16 = f == 0 ? 32767 : (256 - f) * 128, B16 = f * 128;
        const int want_x16[4] = {A16, A16, B16, B16}, want_y16[4] = {A16, B16, A16, B16};
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(t8.w()[4 * f + i], want_x[i]) << f;
            EXPECT_EQ(t8.w()[4 * (256 + f) + i], want_y[i]) << f;
            EXPECT_EQ(t16.w()[4 * f + i], want_x16[i]) << f;
            EXPECT_EQ(t16.w()[4 * (256 + f) + i], want_y16[i]) << f;
            EXPECT_EQ(lane(bilinear_x_filter(f), i), want_x[i]);
            EXPECT_EQ(lane(bilinear_y_filter(f), i), want_y[i]);
            EXPECT_EQ(lane(bilinear_x_filter_16(f), i), want_x16[i]);
            EXPECT_EQ(lane(bilinear_y_filter_16(f), i), want_y16[i]);
        }
    }
}

// The four weights of phase f/256 as exact reals times s.
void weights(double al, int f, double s, double out[4]) {
    const double t = f / 256.0;
    out[0] = al * (t * t * t - 2 * t * t + t) * s;
    out[1] = ((al + 2) * t * t * t - (al + 3) * t * t + 1) * s;
    out[2] = (-(al + 2) * t * t * t + (2 * al + 3) * t * t - al * t) * s;
    out[3] = al * (t * t - t * t * t) * s;
}

TEST(AffineTables, BicubicEightBitNormalisedByOneUnit) {
    for (float alpha : {-0.5f, -0.75f, -1.0f, -0.25f}) {
        Table t(alpha == -0.5f ? kl_affine_create_bicubic() : kl_affine_create_bicubic_given_alpha_8(alpha));
        ASSERT_TRUE(t.p);
        int off_sum = 0;
        for (int f = 0; f < 256; ++f) {
            double ex[4];
            weights(alpha, f, 16387.0, ex);
            long w[4], sum = 0;
            for (int i = 0; i < 4; ++i) sum += w[i] = static_cast<long>(std::trunc(ex[i]));
            if (sum != 16387) {
                // The weight furthest from exact in the direction to correct, earliest on a tie.
                int j = -1;
                for (int i = 0; i < 4; ++i) {
                    const double e = static_cast<double>(w[i]) - ex[i];
                    if (j < 0 || (sum > 16387 ? e > static_cast<double>(w[j]) - ex[j]
                                              : e < static_cast<double>(w[j]) - ex[j]))
                        j = i;
                }
                w[j] += sum > 16387 ? -1 : 1;
            }
            long got_sum = 0;
            for (int i = 0; i < 4; ++i) {
                EXPECT_EQ(t.w()[4 * f + i], w[i]) << "alpha " << alpha << " phase " << f << " weight " << i;
                for (int l = 0; l < 4; ++l) EXPECT_EQ(t.w()[4 * (256 + 4 * f + i) + l], w[i]);
                got_sum += t.w()[4 * f + i];
            }
            off_sum += got_sum != 16387;
        }
        if (alpha == -0.5f) {
            EXPECT_EQ(off_sum, 0) << "one unit of correction suffices for alpha -0.5";
        }
    }
}

TEST(AffineTables, BicubicSixteenBit) {
    for (float alpha : {-0.5f, -0.75f}) {
        Table t(alpha == -0.5f ? kl_affine_create_bicubic_16() : kl_affine_create_bicubic_given_alpha_16(alpha));
        ASSERT_TRUE(t.p);
        for (int f = 0; f < 256; ++f) {
            double ex[4];
            weights(alpha, f, 32768.0, ex);
            for (int i = 0; i < 4; ++i) {
                const int want = f == 0 ? (i == 1 ? 32767 : 0) : static_cast<int16_t>(std::trunc(ex[i]));
                EXPECT_EQ(t.w()[4 * f + i], want) << f;
                for (int r = 0; r < 3; ++r) EXPECT_EQ(t.w()[1024 + 12 * f + 3 * i + r], want) << f;
            }
        }
    }
}

// ---- Selection and telling cases ---------------------------------------------

TEST(AffineKernels, SelectionConditions) {
    alignas(8) static unsigned char buf[4096];
    struct Case {
        const char *interp;
        int type, sbands, smask, dbands, dmask, soff, doff, dlb;
        int want;
    } cases[] = {
        {"nearest", KL_BYTE, 1, 1, 1, 1, 1, 3, 101, 1},     {"bilinear", KL_BYTE, 1, 1, 1, 1, 0, 0, 64, 1},
        {"bicubic", KL_BYTE, 3, 7, 3, 7, 1, 1, 99, 1},      {"bicubic", KL_BYTE, 3, 6, 3, 7, 0, 0, 96, 0},
        {"nearest", KL_BYTE, 3, 7, 4, 7, 0, 4, 64, 1},      {"nearest", KL_BYTE, 3, 7, 4, 7, 0, 2, 64, 0},
        {"bilinear", KL_BYTE, 3, 7, 4, 7, 0, 4, 66, 0},     {"bilinear", KL_BYTE, 3, 7, 4, 15, 0, 0, 64, 0},
        {"nearest", KL_BYTE, 4, 15, 4, 15, 4, 0, 64, 1},    {"nearest", KL_BYTE, 4, 15, 4, 15, 2, 0, 64, 0},
        {"bilinear", KL_BYTE, 4, 15, 4, 15, 0, 0, 64, 0},   {"bicubic", KL_BYTE, 4, 15, 4, 15, 0, 0, 64, 0},
        {"nearest", KL_SHORT, 4, 15, 4, 15, 0, 0, 64, 1},   {"nearest", KL_SHORT, 4, 15, 4, 15, 4, 0, 64, 0},
        {"nearest", KL_SHORT, 4, 15, 4, 15, 0, 0, 68, 0},   {"bicubic", KL_SHORT, 3, 7, 3, 7, 2, 2, 66, 1},
        {"bilinear", KL_SHORT, 1, 1, 1, 1, 0, 0, 64, 1},    {"nearest", KL_SHORT, 3, 7, 4, 7, 0, 0, 64, 0},
        {"cubic", KL_BYTE, 1, 1, 1, 1, 0, 0, 64, 0},        {nullptr, KL_BYTE, 1, 1, 1, 1, 0, 0, 64, 0},
        {"nearest", KL_BYTE, 2, 3, 2, 3, 0, 0, 64, 0},
    };
    for (const Case &c : cases) {
        kl_image s = kbuf::make_image(c.type, c.sbands, c.smask, buf + c.soff, 64, 4, 4);
        kl_image d = kbuf::make_image(c.type, c.dbands, c.dmask, buf + 2048 + c.doff, c.dlb, 4, 4);
        EXPECT_EQ(kl_affine_possible(&d, &s, c.interp), c.want)
            << (c.interp ? c.interp : "null") << " " << c.sbands << "->" << c.dbands << " masks " << c.smask << "/"
            << c.dmask << " offsets " << c.soff << "/" << c.doff << " lb " << c.dlb;
    }
    kl_image s = kbuf::make_image(KL_BYTE, 1, 1, buf, 64, 4, 4), d = s;
    kl_image s16 = kbuf::make_image(KL_SHORT, 1, 1, buf, 64, 4, 4);
    EXPECT_EQ(kl_affine_possible(&d, &s16, "nearest"), 0);  // sample types differ
    s.w = 40000;
    EXPECT_EQ(kl_affine_possible(&d, &s, "nearest"), 0);  // beyond 16.16 positions
}

// Identity with nearest copies the overlap, last column and row included;
// bilinear leaves the last column and row alone (their taps would leave the
// source) and reproduces the rest exactly.
TEST(AffineKernels, IdentityAndMargins) {
    kbuf::GuardImage s(10, 6, 10, kbuf::Guard::After, 3);
    std::vector<int> ro(6);
    for (int i = 0; i < 6; ++i) ro[static_cast<size_t>(i)] = 10 * i;
    kl_image si = s.image(KL_BYTE, 1, 1, 10);
    std::vector<unsigned char> out(16 * 8, 0xee);
    kl_image di = kbuf::make_image(KL_BYTE, 1, 1, out.data(), 16, 16, 8);
    kl_affine(&di, &si, "nearest", ro.data(), nullptr, 1, 0, 0, 1, 0, 0);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x)
            EXPECT_EQ(out[static_cast<size_t>(16 * y + x)], x < 10 && y < 6 ? s.row(y)[x] : 0xee) << x << "," << y;
    Table bl(kl_affine_create_bilinear());
    std::fill(out.begin(), out.end(), 0xee);
    // Sampling at pixel centres (the caller's half-pixel shift) lands on taps exactly.
    kl_affine(&di, &si, "bilinear", ro.data(), bl.p, 1, 0, 0, 1, 0.5f, 0.5f);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x)
            EXPECT_EQ(out[static_cast<size_t>(16 * y + x)], x < 9 && y < 5 ? s.row(y)[x] : 0xee) << x << "," << y;
}

// dx = dy = 0: a row is written whole or not at all.
TEST(AffineKernels, ConstantRowsAreWholeOrNothing) {
    kbuf::GuardImage s(8, 8, 8, kbuf::Guard::After, 4);
    std::vector<int> ro(8);
    for (int i = 0; i < 8; ++i) ro[static_cast<size_t>(i)] = 8 * i;
    kl_image si = s.image(KL_BYTE, 1, 1, 8);
    std::vector<unsigned char> out(20 * 12, 0xee);
    kl_image di = kbuf::make_image(KL_BYTE, 1, 1, out.data(), 20, 20, 12);
    kl_affine(&di, &si, "nearest", ro.data(), nullptr, 0, 0, 0, 1, 3, 0);
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 20; ++x)
            EXPECT_EQ(out[static_cast<size_t>(20 * y + x)], y < 8 ? s.row(y)[3] : 0xee);
}

}  // namespace
