// Two-source 8-bit kernels: worked values, write extent, and differential runs
// against the scalar models.
#include <gtest/gtest.h>

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

struct Two8 {
    const char *name;
    Kernel2 fn;
    ref::Op2 op;
};

const Two8 kTwo8[] = {
    {"add", kl_add_8, ref::Op2::Add}, {"sub", kl_sub_8, ref::Op2::Sub}, {"mpy", kl_mpy_8, ref::Op2::Mpy},
    {"max", kl_max_8, ref::Op2::Max}, {"min", kl_min_8, ref::Op2::Min}, {"and", kl_and_8, ref::Op2::And},
    {"or", kl_or_8, ref::Op2::Or},    {"xor", kl_xor_8, ref::Op2::Xor},
};

arith_test::Call kernel_of(Kernel2 fn) {
    return [fn](int m, kl_image *d, kl_image *a, kl_image *b) { fn(m, d, a, b); };
}
arith_test::Call model_of(ref::Op2 op) {
    return [op](int m, kl_image *d, kl_image *a, kl_image *b) { ref::arith2_8(op, m, *d, *a, *b); };
}

// One-sample images: the kernel's result for a and b.
int one(Kernel2 fn, int a, int b) {
    unsigned char sa = static_cast<unsigned char>(a), sb = static_cast<unsigned char>(b), d = 0x5a;
    kl_image ia = kbuf::make_image(KL_BYTE, 1, 1, &sa, 1, 1, 1);
    kl_image ib = kbuf::make_image(KL_BYTE, 1, 1, &sb, 1, 1, 1);
    kl_image id = kbuf::make_image(KL_BYTE, 1, 1, &d, 1, 1, 1);
    fn(1, &id, &ia, &ib);
    return d;
}

TEST(Arith8, WorkedValues) {
    EXPECT_EQ(one(kl_add_8, 200, 100), 255);
    EXPECT_EQ(one(kl_add_8, 20, 100), 120);
    EXPECT_EQ(one(kl_sub_8, 100, 200), 0);
    EXPECT_EQ(one(kl_sub_8, 200, 100), 100);
    EXPECT_EQ(one(kl_mpy_8, 16, 16), 255);
    EXPECT_EQ(one(kl_mpy_8, 15, 17), 255);
    EXPECT_EQ(one(kl_mpy_8, 3, 5), 15);
    EXPECT_EQ(one(kl_mpy_8, 255, 0), 0);
    EXPECT_EQ(one(kl_max_8, 7, 9), 9);
    EXPECT_EQ(one(kl_min_8, 7, 9), 7);
    EXPECT_EQ(one(kl_and_8, 0xf0, 0x3c), 0x30);
    EXPECT_EQ(one(kl_or_8, 0xf0, 0x3c), 0xfc);
    EXPECT_EQ(one(kl_xor_8, 0xf0, 0x3c), 0xcc);
}

// Every pair of byte values through a 256 x 256 image, one row per a.
TEST(Arith8, EveryPairOfValues) {
    std::vector<unsigned char> a(256 * 256), b(256 * 256), d(256 * 256);
    for (int i = 0; i < 256; ++i)
        for (int j = 0; j < 256; ++j) a[256 * i + j] = static_cast<unsigned char>(i), b[256 * i + j] = static_cast<unsigned char>(j);
    kl_image ia = kbuf::make_image(KL_BYTE, 1, 1, a.data(), 256, 256, 256);
    kl_image ib = kbuf::make_image(KL_BYTE, 1, 1, b.data(), 256, 256, 256);
    kl_image id = kbuf::make_image(KL_BYTE, 1, 1, d.data(), 256, 256, 256);
    auto expect = [](ref::Op2 op, int x, int y) {
        switch (op) {
        case ref::Op2::Add: return std::min(x + y, 255);
        case ref::Op2::Sub: return std::max(x - y, 0);
        case ref::Op2::Mpy: return std::min(x * y, 255);
        case ref::Op2::Max: return std::max(x, y);
        case ref::Op2::Min: return std::min(x, y);
        case ref::Op2::And: return x & y;
        case ref::Op2::Or: return x | y;
        case ref::Op2::Xor: return x ^ y;
        }
        return -1;
    };
    for (const Two8 &k : kTwo8) {
        std::fill(d.begin(), d.end(), 0);
        k.fn(1, &id, &ia, &ib);
        for (int i = 0; i < 256; ++i)
            for (int j = 0; j < 256; ++j) ASSERT_EQ(d[256 * i + j], expect(k.op, i, j)) << k.name << " " << i << " " << j;
    }
}

TEST(Arith8, WriteExtent) {
    // One pixel in the middle of a word; 3 bands under masks 1 and 4; a row of
    // 6 bytes from byte 5 of a word.
    struct Case {
        int bands, w, align, mask;
    } cases[] = {{1, 1, 3, 1}, {3, 5, 0, 1}, {3, 5, 2, 4}, {3, 7, 5, 2}, {1, 6, 5, 1}, {2, 3, 5, 2}};
    for (const Case &c : cases) {
        Geometry g;
        g.bands = g.src_bands[0] = g.src_bands[1] = c.bands;
        g.w = c.w;
        g.h = 2;
        g.dst_gap = 3;
        g.dst_align = c.align;
        g.band_mask = c.mask;
        for (const Two8 &k : kTwo8) EXPECT_TRUE(arith_test::run(g, true, kernel_of(k.fn), model_of(k.op))) << k.name;
    }
}

TEST(Arith8, DeclinesWithoutWriting) {
    std::mt19937 rng(11);
    for (int db = 0; db <= 5; ++db) {
        for (int sb = 1; sb <= 4; ++sb) {
            if (db == sb) continue;
            Geometry g;
            g.bands = db;
            g.src_bands[0] = sb;
            g.src_bands[1] = db;
            g.w = 9;
            g.h = 2;
            if (db < 1 || db > 4) {
                g.bands = 2;  // buffer geometry; the descriptor's band count is forced below
            }
            for (const Two8 &k : kTwo8) {
                Kernel2 fn = k.fn;
                auto kern = [fn, db](int m, kl_image *d, kl_image *a, kl_image *b) {
                    d->bands = db;
                    fn(m, d, a, b);
                };
                EXPECT_TRUE(arith_test::run(g, true, kern, [](int, kl_image *, kl_image *, kl_image *) {})) << k.name;
            }
        }
    }
    // Empty effective mask, empty rectangle, null descriptors.
    Geometry g;
    g.bands = g.src_bands[0] = g.src_bands[1] = 3;
    g.w = 4;
    g.h = 2;
    g.bmask[0] = 4;
    g.band_mask = 3;
    const auto none = [](int, kl_image *, kl_image *, kl_image *) {};
    EXPECT_TRUE(arith_test::run(g, true, kernel_of(kl_add_8), none));
    g.band_mask = 0x30;
    g.bmask[0] = 15;
    EXPECT_TRUE(arith_test::run(g, true, kernel_of(kl_add_8), none));
    g.band_mask = 15;
    g.h = -1;
    EXPECT_TRUE(arith_test::run(g, true, kernel_of(kl_add_8), none));
    g.h = 2;
    g.w = -3;
    EXPECT_TRUE(arith_test::run(g, true, kernel_of(kl_max_8), none));
    g.w = 4;
    EXPECT_TRUE(arith_test::run(g, true, [](int m, kl_image *d, kl_image *a, kl_image *) { kl_add_8(m, d, a, nullptr); },
                                none));
}

TEST(Arith8, EveryAlignmentAndWidth) {
    for (const Two8 &k : kTwo8) {
        for (int align = 0; align < 8; ++align) {
            for (int w = 0; w <= 70; ++w) {
                Geometry g;
                g.bands = g.src_bands[0] = g.src_bands[1] = 1 + (w + align) % 4;
                g.w = w;
                g.h = 1 + w % 3;
                g.dst_align = align;
                g.dst_gap = (w * 5) % 11;
                g.src_skew[0] = (align * 3 + w) % 8;
                g.src_skew[1] = (align + 5 * w) % 8;
                g.src_gap[0] = w % 9;
                g.src_gap[1] = (w / 3) % 8;
                g.guard[0] = (w & 1) ? kbuf::Guard::Before : kbuf::Guard::After;
                g.band_mask = 1 + (w * 7 + align) % 15;
                g.seed = static_cast<uint32_t>(w * 8 + align);
                ASSERT_TRUE(arith_test::run(g, true, kernel_of(k.fn), model_of(k.op))) << k.name;
            }
        }
    }
}

TEST(Arith8, RandomDifferential) {
    uint32_t seed = 100;
    for (const Two8 &k : kTwo8) {
        std::mt19937 rng(seed++);
        for (int it = 0; it < 250; ++it) {
            Geometry g = arith_test::random_geometry(rng, KL_BYTE);
            ASSERT_TRUE(arith_test::run(g, true, kernel_of(k.fn), model_of(k.op))) << k.name;
        }
    }
}

}  // namespace
