// Convolution: one coefficient picks the neighbour it names (fixed-point
// body and floating-point ends alike); a uniform white area gives the stated
// values, exact sums clamped where 16-bit lanes would wrap; the coefficient
// formats at their boundaries; set value clamps 8-bit values.


#include "kbuf.h"
#include "ref_convolve.h"

namespace {

using General = void (*)(int, kl_image *, kl_image *, float *, int, int);
using Separable = void (*)(int, kl_image *, kl_image *, float *, float *, int);
const General kGeneral[3] = {kl_convolve3x3_8, kl_convolve5x5_8, kl_convolve7x7_8};
const Separable kSeparable[3] = {kl_sconvolve3x3_8, kl_sconvolve5x5_8, kl_sconvolve7x7_8};

// Coefficient (i, j) multiplies source pixel (x - r + j, y - r + i): a single
// 1.0 at (r + 1, r + 1) gives every pixel its lower right neighbour, in the
// fixed-point body and in the floating-point lead-in and tail alike; with a
// full border every pixel is written.
TEST(Convolve, OneCoefficientPicksItsNeighbour) {
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
            k[static_cast<size_t>((r + 1) * n + r + 1)] = 1.0f;
            one[static_cast<size_t>(r + 1)] = 1.0f;
            kGeneral[r - 1](1, &di, &si, k.data(), KL_EDGE_NO_WRITE, 1);
            for (int y = 0; y < hgt; ++y)
                for (int x = 0; x < w; ++x) ASSERT_EQ(d.row(y)[x], si.data[(y + 1) * si.lb + x + 1]) << n << " " << x << "," << y;
            std::memset(d.data(), 0, static_cast<size_t>(d.lb()) * hgt);
            kSeparable[r - 1](1, &di, &si, one.data(), one.data(), KL_EDGE_EXTEND);
            for (int y = 0; y < hgt; ++y)
                for (int x = 0; x < w; ++x) ASSERT_EQ(d.row(y)[x], si.data[(y + 1) * si.lb + x + 1]) << n << " sep " << x;
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

TEST(SetValue, ClampsEightBitValues) {
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

}  // namespace
