// Constant kernels (1 to 4 bands, the 3-band cycle), multiply by constant and
// the lane value helper: worked values and differential runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <random>

#include "arith_harness.h"
#include "kbuf.h"
#include "kl.h"
#include "ref_arith.h"

namespace {

using arith_test::Geometry;
using KernelK = void (*)(int, kl_image *, kl_image *, short *);

struct Const {
    const char *name;
    KernelK fn;
    ref::OpK op;
    bool wide;
};

const Const kConst[] = {
    {"addk_8", kl_addk_8, ref::OpK::Add, false},    {"subk_8", kl_subk_8, ref::OpK::Sub, false},
    {"ksub_8", kl_ksub_8, ref::OpK::KSub, false},   {"andk_8", kl_andk_8, ref::OpK::And, false},
    {"ork_8", kl_ork_8, ref::OpK::Or, false},       {"xork_8", kl_xork_8, ref::OpK::Xor, false},
    {"addk_16", kl_addk_16, ref::OpK::Add, true},   {"subk_16", kl_subk_16, ref::OpK::Sub, true},
    {"ksub_16", kl_ksub_16, ref::OpK::KSub, true},  {"andk_16", kl_andk_16, ref::OpK::And, true},
    {"ork_16", kl_ork_16, ref::OpK::Or, true},      {"xork_16", kl_xork_16, ref::OpK::Xor, true},
};

const short kEdgeK[] = {-32768, -4096, -2049, -2048, -1024, -256, -255, -7, -1, 0, 1, 100,
                        254,    255,   256,   300,   511,   1024, 2047, 2048, 4096, 32767};

std::array<short, 4> random_constants(std::mt19937 &rng) {
    std::array<short, 4> k;
    for (short &c : k) {
        switch (rng() % 3) {
        case 0: c = kEdgeK[rng() % (sizeof kEdgeK / sizeof kEdgeK[0])]; break;
        case 1: c = static_cast<short>(static_cast<int>(rng() % 601) - 300); break;
        default: c = static_cast<short>(rng()); break;
        }
    }
    return k;
}

::testing::AssertionResult run_const(const Geometry &g, const Const &k, std::array<short, 4> c) {
    std::array<short, 4> ck = c, cm = c;
    KernelK fn = k.fn;
    const ref::OpK op = k.op;
    const bool wide = k.wide;
    auto r = arith_test::run(
        g, false, [&](int m, kl_image *d, kl_image *a, kl_image *) { fn(m, d, a, ck.data()); },
        [&](int m, kl_image *d, kl_image *a, kl_image *) {
            if (wide)
                ref::arithk_16(op, m, *d, *a, cm.data());
            else
                ref::arithk_8(op, m, *d, *a, cm.data());
        });
    if (!r) return r << "\n  " << k.name << " constants " << c[0] << " " << c[1] << " " << c[2] << " " << c[3];
    if (ck != c) return ::testing::AssertionFailure() << k.name << " changed its constants";
    return r;
}

::testing::AssertionResult run_mpyk(const Geometry &g, std::array<short, 4> c, int shift, int round) {
    std::array<short, 4> ck = c, cm = c;
    auto r = arith_test::run(
        g, false, [&](int m, kl_image *d, kl_image *a, kl_image *) { kl_mpyk_8(m, d, a, ck.data(), shift, round); },
        [&](int m, kl_image *d, kl_image *a, kl_image *) { ref::mpyk_8(m, *d, *a, cm.data(), shift, round); });
    if (!r)
        return r << "\n  mpyk constants " << c[0] << " " << c[1] << " " << c[2] << " " << c[3] << " shift " << shift
                 << " round " << round;
    if (ck != cm)
        return ::testing::AssertionFailure() << "constants after the call: " << ck[0] << " " << ck[1] << " " << ck[2]
                                             << " " << ck[3] << ", expected " << cm[0] << " " << cm[1] << " "
                                             << cm[2] << " " << cm[3];
    return r;
}

// One 8-bit sample through a constant kernel.
int one8(KernelK fn, int a, short k) {
    unsigned char s = static_cast<unsigned char>(a), d = 0x5a;
    kl_image is = kbuf::make_image(KL_BYTE, 1, 1, &s, 1, 1, 1);
    kl_image id = kbuf::make_image(KL_BYTE, 1, 1, &d, 1, 1, 1);
    short c[4] = {k, 0, 0, 0};
    fn(1, &id, &is, c);
    return d;
}

TEST(ArithConst, WorkedValues) {
    EXPECT_EQ(one8(kl_andk_8, 0xff, -7), 0);
    EXPECT_EQ(one8(kl_andk_8, 0xa5, 300), 0xa5);
    EXPECT_EQ(one8(kl_ork_8, 0x01, 300), 0xff);
    EXPECT_EQ(one8(kl_xork_8, 0x0f, 255), 0xf0);
    EXPECT_EQ(one8(kl_addk_8, 100, 200), 255);
    EXPECT_EQ(one8(kl_addk_8, 100, -101), 0);
    EXPECT_EQ(one8(kl_subk_8, 100, 30), 70);
    EXPECT_EQ(one8(kl_ksub_8, 100, 30), 0);
    EXPECT_EQ(one8(kl_ksub_8, 30, 100), 70);
    // Constants far outside the byte range still saturate the right way.
    EXPECT_EQ(one8(kl_addk_8, 100, 2000), 255);
    EXPECT_EQ(one8(kl_addk_8, 100, 4096), 255);
    EXPECT_EQ(one8(kl_subk_8, 100, -32768), 255);
    EXPECT_EQ(one8(kl_ksub_8, 0, 32767), 255);

    // Multiply by constant: -1 becomes 0 in the caller's array as well.
    unsigned char s[3] = {10, 20, 30}, d[3] = {1, 2, 3};
    kl_image is = kbuf::make_image(KL_BYTE, 3, 7, s, 3, 1, 1);
    kl_image id = kbuf::make_image(KL_BYTE, 3, 7, d, 3, 1, 1);
    short c[4] = {-1, 3 << 9, 1 << 14, 77};
    kl_mpyk_8(7, &id, &is, c, 9, 1);
    EXPECT_EQ(c[0], 0);
    EXPECT_EQ(c[1], 3 << 9);
    EXPECT_EQ(c[3], 77);  // past the pixel's bands: left alone
    EXPECT_EQ(d[0], 0);
    EXPECT_EQ(d[1], 60);
    EXPECT_EQ(d[2], 255);  // 30 x 32 saturates
    // 1.5 at shift 14 with rounding: 7 x 1.5 = 10.5 rounds to 11.
    short h[4] = {24576, 0, 0, 0};
    unsigned char s1 = 7, d1 = 0;
    kl_image i1 = kbuf::make_image(KL_BYTE, 1, 1, &s1, 1, 1, 1);
    kl_image o1 = kbuf::make_image(KL_BYTE, 1, 1, &d1, 1, 1, 1);
    kl_mpyk_8(1, &o1, &i1, h, 14, 1);
    EXPECT_EQ(d1, 11);
    kl_mpyk_8(1, &o1, &i1, h, 14, 0);
    EXPECT_EQ(d1, 10);

    EXPECT_EQ(kl_s16_to_kl_f32(-2), 0xfffe0000u);
    EXPECT_EQ(kl_s16_to_kl_f32(5), 0x00050000u);
}

TEST(ArithConst, ThreeBandCycleFollowsTheRow) {
    // Sample j of a row takes constant j mod 3 at every start alignment; the
    // constants are distinct bits, so the or reveals which one each sample got.
    for (const bool wide : {false, true}) {
        for (int align = 0; align < 8; align += wide ? 2 : 1) {
            Geometry g;
            g.type = wide ? KL_SHORT : KL_BYTE;
            g.bands = g.src_bands[0] = 3;
            g.w = 23;
            g.h = 3;
            g.dst_align = align;
            g.dst_gap = wide ? 2 : 1;
            const Const &k = wide ? kConst[10] : kConst[4];
            EXPECT_TRUE(run_const(g, k, {1, 2, 4, 8})) << align;
            EXPECT_TRUE(run_const(g, wide ? kConst[6] : kConst[0], {-3, 40, 90, 0})) << align;
        }
    }
}

TEST(ArithConst, DeclinesWithoutWriting) {
    const auto none = [](int, kl_image *, kl_image *, kl_image *) {};
    short c[4] = {1, 2, 3, 4};
    for (const Const &k : kConst) {
        Geometry g;
        g.type = k.wide ? KL_SHORT : KL_BYTE;
        g.bands = 3;
        g.src_bands[0] = 2;
        g.w = 5;
        g.h = 2;
        KernelK fn = k.fn;
        EXPECT_TRUE(arith_test::run(g, false, [&](int m, kl_image *d, kl_image *a, kl_image *) { fn(m, d, a, c); },
                                    none))
            << k.name;
        g.src_bands[0] = 3;
        EXPECT_TRUE(arith_test::run(g, false, [&](int m, kl_image *d, kl_image *a, kl_image *) { fn(m, d, a, nullptr); },
                                    none))
            << k.name;
        EXPECT_TRUE(arith_test::run(
            g, false,
            [&](int m, kl_image *d, kl_image *a, kl_image *) {
                d->bands = a->bands = 5;
                fn(m, d, a, c);
            },
            none))
            << k.name;
    }
    // Shift outside 0..15 writes nothing (negative constants are still cleared).
    Geometry g;
    g.bands = g.src_bands[0] = 1;
    g.w = 9;
    g.h = 1;
    short m[4] = {-5, 0, 0, 0};
    EXPECT_TRUE(arith_test::run(g, false, [&](int bm, kl_image *d, kl_image *a, kl_image *) { kl_mpyk_8(bm, d, a, m, 16, 1); },
                                none));
    EXPECT_EQ(m[0], 0);
}

TEST(ArithConst, EveryAlignmentAndWidth) {
    std::mt19937 rng(300);
    for (const Const &k : kConst)
        ASSERT_TRUE(arith_test::sweep(k.wide ? KL_SHORT : KL_BYTE,
                                      [&](const Geometry &g) { return run_const(g, k, random_constants(rng)); }));
}

TEST(ArithConst, RandomDifferential) {
    uint32_t seed = 400;
    for (const Const &k : kConst) {
        std::mt19937 rng(seed++);
        for (int it = 0; it < 200; ++it) {
            Geometry g = arith_test::random_geometry(rng, k.wide ? KL_SHORT : KL_BYTE);
            ASSERT_TRUE(run_const(g, k, random_constants(rng)));
        }
    }
}

TEST(ArithConst, MultiplyByConstantEveryShift) {
    std::mt19937 rng(500);
    for (int shift = 0; shift <= 15; ++shift) {
        for (int round = 0; round <= 1; ++round) {
            for (int it = 0; it < 40; ++it) {
                Geometry g = arith_test::random_geometry(rng, KL_BYTE);
                std::array<short, 4> c = random_constants(rng);
                if (it % 2) {
                    // Factors of the size the driver passes: c x 2^shift up to 63.
                    for (short &x : c) x = static_cast<short>(std::clamp<long>((static_cast<long>(rng() % 64000) - 2000) * (1L << shift) / 1000, -32768, 32767));
                }
                ASSERT_TRUE(run_mpyk(g, c, shift, round));
            }
        }
    }
}

}  // namespace
