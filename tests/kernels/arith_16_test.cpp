// Two-source 16-bit kernels and the absolute value: worked values, declines,
// and differential runs against the scalar models.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "arith_harness.h"
#include "kbuf.h"
#include "kl.h"
#include "ref_arith.h"

namespace {

using arith_test::Geometry;
using Kernel2 = void (*)(int, kl_image *, kl_image *, kl_image *);

struct Two16 {
    const char *name;
    Kernel2 fn;
    ref::Op2 op;
};

const Two16 kTwo16[] = {
    {"add", kl_add_16, ref::Op2::Add}, {"sub", kl_sub_16, ref::Op2::Sub}, {"mpy", kl_mpy_16, ref::Op2::Mpy},
    {"max", kl_max_16, ref::Op2::Max}, {"min", kl_min_16, ref::Op2::Min}, {"and", kl_and_16, ref::Op2::And},
    {"or", kl_or_16, ref::Op2::Or},    {"xor", kl_xor_16, ref::Op2::Xor},
};

arith_test::Call kernel_of(Kernel2 fn) {
    return [fn](int m, kl_image *d, kl_image *a, kl_image *b) { fn(m, d, a, b); };
}
arith_test::Call model_of(ref::Op2 op) {
    return [op](int m, kl_image *d, kl_image *a, kl_image *b) { ref::arith2_16(op, m, *d, *a, *b); };
}
const arith_test::Call kAbs = [](int m, kl_image *d, kl_image *a, kl_image *) { kl_abs_16(m, d, a); };
const arith_test::Call kAbsModel = [](int m, kl_image *d, kl_image *a, kl_image *) { ref::abs_16(m, *d, *a); };

int one(Kernel2 fn, int a, int b) {
    int16_t sa = static_cast<int16_t>(a), sb = static_cast<int16_t>(b), d = 0x5a5a;
    kl_image ia = kbuf::make_image(KL_SHORT, 1, 1, &sa, 2, 1, 1);
    kl_image ib = kbuf::make_image(KL_SHORT, 1, 1, &sb, 2, 1, 1);
    kl_image id = kbuf::make_image(KL_SHORT, 1, 1, &d, 2, 1, 1);
    fn(1, &id, &ia, &ib);
    return d;
}

int abs_one(int a) {
    int16_t sa = static_cast<int16_t>(a), d = 0x5a5a;
    kl_image ia = kbuf::make_image(KL_SHORT, 1, 1, &sa, 2, 1, 1);
    kl_image id = kbuf::make_image(KL_SHORT, 1, 1, &d, 2, 1, 1);
    kl_abs_16(1, &id, &ia);
    return d;
}

TEST(Arith16, WorkedValues) {
    EXPECT_EQ(one(kl_add_16, 30000, 30000), 32767);
    EXPECT_EQ(one(kl_add_16, -30000, -30000), -32768);
    EXPECT_EQ(one(kl_sub_16, -30000, 30000), -32768);
    EXPECT_EQ(one(kl_sub_16, 5, 7), -2);
    EXPECT_EQ(one(kl_mpy_16, -32768, -32768), 32767);
    EXPECT_EQ(one(kl_mpy_16, 300, -300), -32768);
    EXPECT_EQ(one(kl_mpy_16, -181, 181), -32761);
    EXPECT_EQ(one(kl_max_16, -7, -9), -7);
    EXPECT_EQ(one(kl_min_16, -7, -9), -9);
    EXPECT_EQ(one(kl_xor_16, -1, 0x1234), ~0x1234);
    EXPECT_EQ(abs_one(-32768), 32767);
    EXPECT_EQ(abs_one(-5), 5);
    EXPECT_EQ(abs_one(0), 0);
    EXPECT_EQ(abs_one(32767), 32767);
    EXPECT_EQ(abs_one(-32767), 32767);
}

// Boundary sample values against each other, all kernels.
TEST(Arith16, BoundaryPairs) {
    const int v[] = {-32768, -32767, -256, -255, -181, -1, 0, 1, 2, 181, 255, 256, 16384, 32766, 32767};
    const int n = sizeof v / sizeof v[0];
    std::vector<int16_t> a(n * n), b(n * n), d(n * n), e(n * n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) a[n * i + j] = static_cast<int16_t>(v[i]), b[n * i + j] = static_cast<int16_t>(v[j]);
    kl_image ia = kbuf::make_image(KL_SHORT, 1, 1, a.data(), 2 * n, n, n);
    kl_image ib = kbuf::make_image(KL_SHORT, 1, 1, b.data(), 2 * n, n, n);
    kl_image id = kbuf::make_image(KL_SHORT, 1, 1, d.data(), 2 * n, n, n);
    kl_image ie = kbuf::make_image(KL_SHORT, 1, 1, e.data(), 2 * n, n, n);
    for (const Two16 &k : kTwo16) {
        k.fn(1, &id, &ia, &ib);
        ref::arith2_16(k.op, 1, ie, ia, ib);
        ASSERT_EQ(d, e) << k.name;
    }
    kl_abs_16(1, &id, &ia);
    ref::abs_16(1, ie, ia);
    ASSERT_EQ(d, e);
}

TEST(Arith16, DeclinesWithoutWriting) {
    const auto none = [](int, kl_image *, kl_image *, kl_image *) {};
    for (int sb = 1; sb <= 4; ++sb) {
        Geometry g;
        g.type = KL_SHORT;
        g.bands = 2;
        g.src_bands[0] = g.src_bands[1] = sb;
        if (sb == 2) continue;
        g.w = 7;
        g.h = 2;
        for (const Two16 &k : kTwo16) EXPECT_TRUE(arith_test::run(g, true, kernel_of(k.fn), none)) << k.name;
        EXPECT_TRUE(arith_test::run(g, false, kAbs, none));
    }
    // A destination off 2-byte sample boundaries, an odd line pitch, and a
    // 16-bit kernel on 8-bit pixel sizes.
    Geometry g;
    g.type = KL_SHORT;
    g.bands = g.src_bands[0] = g.src_bands[1] = 1;
    g.w = 9;
    g.h = 3;
    g.dst_align = 3;
    EXPECT_TRUE(arith_test::run(g, true, kernel_of(kl_add_16), none));
    EXPECT_TRUE(arith_test::run(g, false, kAbs, none));
    g.dst_align = 2;
    g.dst_gap = 1;
    EXPECT_TRUE(arith_test::run(g, true, kernel_of(kl_max_16), none));
    g.dst_gap = 0;
    g.type = KL_BYTE;
    g.w = 18;
    EXPECT_TRUE(arith_test::run(g, true, kernel_of(kl_add_16), none));
}

TEST(Arith16, EveryAlignmentAndWidth) {
    for (const Two16 &k : kTwo16) {
        for (int align = 0; align < 8; align += 2) {
            for (int w = 0; w <= 70; ++w) {
                Geometry g;
                g.type = KL_SHORT;
                g.bands = g.src_bands[0] = g.src_bands[1] = 1 + (w + align / 2) % 4;
                g.w = w;
                g.h = 1 + w % 3;
                g.dst_align = align;
                g.dst_gap = 2 * (w % 5);
                g.src_skew[0] = (align * 3 + w) % 8;
                g.src_skew[1] = (align + 5 * w) % 8;
                g.src_gap[0] = w % 9;
                g.src_gap[1] = (w / 3) % 8;
                g.guard[1] = (w & 1) ? kbuf::Guard::Before : kbuf::Guard::After;
                g.band_mask = 1 + (w * 7 + align) % 15;
                g.seed = static_cast<uint32_t>(w * 8 + align);
                ASSERT_TRUE(arith_test::run(g, true, kernel_of(k.fn), model_of(k.op))) << k.name;
            }
        }
    }
}

TEST(Arith16, RandomDifferential) {
    uint32_t seed = 200;
    for (const Two16 &k : kTwo16) {
        std::mt19937 rng(seed++);
        for (int it = 0; it < 250; ++it) {
            Geometry g = arith_test::random_geometry(rng, KL_SHORT);
            ASSERT_TRUE(arith_test::run(g, true, kernel_of(k.fn), model_of(k.op))) << k.name;
        }
    }
    std::mt19937 rng(seed);
    for (int it = 0; it < 400; ++it) {
        Geometry g = arith_test::random_geometry(rng, KL_SHORT);
        ASSERT_TRUE(arith_test::run(g, false, kAbs, kAbsModel)) << "abs";
    }
}

}  // namespace
