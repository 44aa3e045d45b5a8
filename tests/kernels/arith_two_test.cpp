// Two-source 8- and 16-bit kernels and the 16-bit absolute value: worked
// values, write extent, declines, and differential runs against the models.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "arith_harness.h"
#include "kbuf.h"
#include "kl.h"
#include "ref_arith.h"

namespace {

using arith_test::Geometry;
using Kernel2 = void (*)(int, kl_image *, kl_image *, kl_image *);

struct Two {
    const char *name;
    Kernel2 fn;
    ref::Op2 op;
    bool wide;
};

const Two kTwo[] = {
    {"add_8", kl_add_8, ref::Op2::Add, false},   {"sub_8", kl_sub_8, ref::Op2::Sub, false},
    {"mpy_8", kl_mpy_8, ref::Op2::Mpy, false},   {"max_8", kl_max_8, ref::Op2::Max, false},
    {"min_8", kl_min_8, ref::Op2::Min, false},   {"and_8", kl_and_8, ref::Op2::And, false},
    {"or_8", kl_or_8, ref::Op2::Or, false},      {"xor_8", kl_xor_8, ref::Op2::Xor, false},
    {"add_16", kl_add_16, ref::Op2::Add, true},  {"sub_16", kl_sub_16, ref::Op2::Sub, true},
    {"mpy_16", kl_mpy_16, ref::Op2::Mpy, true},  {"max_16", kl_max_16, ref::Op2::Max, true},
    {"min_16", kl_min_16, ref::Op2::Min, true},  {"and_16", kl_and_16, ref::Op2::And, true},
    {"or_16", kl_or_16, ref::Op2::Or, true},     {"xor_16", kl_xor_16, ref::Op2::Xor, true},
};

arith_test::Call kernel_of(Kernel2 fn) {
    return [fn](int m, kl_image *d, kl_image *a, kl_image *b) { fn(m, d, a, b); };
}
arith_test::Call model_of(const Two &k) {
    const ref::Op2 op = k.op;
    if (k.wide) return [op](int m, kl_image *d, kl_image *a, kl_image *b) { ref::arith2_16(op, m, *d, *a, *b); };
    return [op](int m, kl_image *d, kl_image *a, kl_image *b) { ref::arith2_8(op, m, *d, *a, *b); };
}
::testing::AssertionResult run2(const Geometry &g, const Two &k) {
    auto r = arith_test::run(g, true, kernel_of(k.fn), model_of(k));
    return r ? r : r << " " << k.name;
}
const arith_test::Call kNone = [](int, kl_image *, kl_image *, kl_image *) {};
const arith_test::Call kAbs = [](int m, kl_image *d, kl_image *a, kl_image *) { kl_abs_16(m, d, a); };
const arith_test::Call kAbsModel = [](int m, kl_image *d, kl_image *a, kl_image *) { ref::abs_16(m, *d, *a); };

// One-sample images: the kernel's result for a and b (b unused by abs).
template <class T> int one(Kernel2 fn, int a, int b) {
    const int type = sizeof(T) == 2 ? KL_SHORT : KL_BYTE;
    T sa = static_cast<T>(a), sb = static_cast<T>(b), d = static_cast<T>(0x5a5a);
    kl_image ia = kbuf::make_image(type, 1, 1, &sa, sizeof(T), 1, 1);
    kl_image ib = kbuf::make_image(type, 1, 1, &sb, sizeof(T), 1, 1);
    kl_image id = kbuf::make_image(type, 1, 1, &d, sizeof(T), 1, 1);
    if (fn) fn(1, &id, &ia, &ib);
    else kl_abs_16(1, &id, &ia);
    return d;
}

TEST(ArithTwo, WorkedValues) {
    const struct { Kernel2 fn; int a, b, want; } v8[] = {
        {kl_add_8, 200, 100, 255}, {kl_add_8, 20, 100, 120}, {kl_sub_8, 100, 200, 0}, {kl_sub_8, 200, 100, 100},
        {kl_mpy_8, 16, 16, 255},   {kl_mpy_8, 15, 17, 255},  {kl_mpy_8, 3, 5, 15},    {kl_mpy_8, 255, 0, 0},
        {kl_max_8, 7, 9, 9},       {kl_min_8, 7, 9, 7},      {kl_and_8, 0xf0, 0x3c, 0x30},
        {kl_or_8, 0xf0, 0x3c, 0xfc}, {kl_xor_8, 0xf0, 0x3c, 0xcc}};
    for (const auto &c : v8) EXPECT_EQ(one<unsigned char>(c.fn, c.a, c.b), c.want) << c.a << " " << c.b;
    const struct { Kernel2 fn; int a, b, want; } v16[] = {
        {kl_add_16, 30000, 30000, 32767},  {kl_add_16, -30000, -30000, -32768}, {kl_sub_16, -30000, 30000, -32768},
        {kl_sub_16, 5, 7, -2},             {kl_mpy_16, -32768, -32768, 32767},  {kl_mpy_16, 300, -300, -32768},
        {kl_mpy_16, -181, 181, -32761},    {kl_max_16, -7, -9, -7},             {kl_min_16, -7, -9, -9},
        {kl_xor_16, -1, 0x1234, ~0x1234},  {nullptr, -32768, 0, 32767},         {nullptr, -5, 0, 5},
        {nullptr, 0, 0, 0},                {nullptr, 32767, 0, 32767},          {nullptr, -32767, 0, 32767}};
    for (const auto &c : v16) EXPECT_EQ(one<int16_t>(c.fn, c.a, c.b), c.want) << c.a << " " << c.b;
}

// Every pair of byte values through a 256 x 256 image, one row per a.
TEST(ArithTwo, EveryPairOfByteValues) {
    std::vector<unsigned char> a(256 * 256), b(256 * 256), d(256 * 256);
    for (int i = 0; i < 256 * 256; ++i) a[i] = static_cast<unsigned char>(i >> 8), b[i] = static_cast<unsigned char>(i);
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
    for (const Two &k : kTwo) {
        if (k.wide) continue;
        std::fill(d.begin(), d.end(), 0);
        k.fn(1, &id, &ia, &ib);
        for (int i = 0; i < 256 * 256; ++i) ASSERT_EQ(d[i], expect(k.op, i >> 8, i & 255)) << k.name << " " << i;
    }
}

// Boundary 16-bit sample values against each other, all kernels.
TEST(ArithTwo, BoundaryShortPairs) {
    const int v[] = {-32768, -32767, -256, -255, -181, -1, 0, 1, 2, 181, 255, 256, 16384, 32766, 32767};
    const int n = sizeof v / sizeof v[0];
    std::vector<int16_t> a(n * n), b(n * n), d(n * n), e(n * n);
    for (int i = 0; i < n * n; ++i) a[i] = static_cast<int16_t>(v[i / n]), b[i] = static_cast<int16_t>(v[i % n]);
    kl_image ia = kbuf::make_image(KL_SHORT, 1, 1, a.data(), 2 * n, n, n);
    kl_image ib = kbuf::make_image(KL_SHORT, 1, 1, b.data(), 2 * n, n, n);
    kl_image id = kbuf::make_image(KL_SHORT, 1, 1, d.data(), 2 * n, n, n);
    kl_image ie = kbuf::make_image(KL_SHORT, 1, 1, e.data(), 2 * n, n, n);
    for (const Two &k : kTwo) {
        if (!k.wide) continue;
        k.fn(1, &id, &ia, &ib);
        ref::arith2_16(k.op, 1, ie, ia, ib);
        ASSERT_EQ(d, e) << k.name;
    }
    kl_abs_16(1, &id, &ia);
    ref::abs_16(1, ie, ia);
    ASSERT_EQ(d, e);
}

TEST(ArithTwo, WriteExtent) {
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
        for (const Two &k : kTwo) {
            if (!k.wide) {
                EXPECT_TRUE(run2(g, k));
            }
        }
    }
}

TEST(ArithTwo, DeclinesWithoutWriting) {
    // Band counts that disagree, or lie outside 1..4 in the destination.
    for (const bool wide : {false, true}) {
        for (int db = 0; db <= 5; ++db) {
            for (int sb = 1; sb <= 4; ++sb) {
                if (db == sb) continue;
                Geometry g;
                g.type = wide ? KL_SHORT : KL_BYTE;
                g.bands = db < 1 || db > 4 ? 2 : db;  // the descriptor's band count is forced below
                g.src_bands[0] = sb;
                g.src_bands[1] = g.bands;
                g.w = 9;
                g.h = 2;
                for (const Two &k : kTwo) {
                    if (k.wide != wide) continue;
                    Kernel2 fn = k.fn;
                    auto kern = [fn, db](int m, kl_image *d, kl_image *a, kl_image *b) {
                        d->bands = db;
                        fn(m, d, a, b);
                    };
                    EXPECT_TRUE(arith_test::run(g, true, kern, kNone)) << k.name << " " << db << " " << sb;
                }
                if (wide && db == 2) {
                    EXPECT_TRUE(arith_test::run(g, false, kAbs, kNone)) << sb;
                }
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
    EXPECT_TRUE(arith_test::run(g, true, kernel_of(kl_add_8), kNone));
    g.band_mask = 0x30;
    g.bmask[0] = 15;
    EXPECT_TRUE(arith_test::run(g, true, kernel_of(kl_add_8), kNone));
    g.band_mask = 15;
    g.h = -1;
    EXPECT_TRUE(arith_test::run(g, true, kernel_of(kl_add_8), kNone));
    g.h = 2;
    g.w = -3;
    EXPECT_TRUE(arith_test::run(g, true, kernel_of(kl_max_8), kNone));
    g.w = 4;
    EXPECT_TRUE(arith_test::run(g, true, [](int m, kl_image *d, kl_image *a, kl_image *) { kl_add_8(m, d, a, nullptr); },
                                kNone));
    // A 16-bit destination off 2-byte sample boundaries, an odd line pitch,
    // and a 16-bit kernel on 8-bit pixel sizes.
    g = Geometry{};
    g.type = KL_SHORT;
    g.w = 9;
    g.h = 3;
    g.dst_align = 3;
    EXPECT_TRUE(arith_test::run(g, true, kernel_of(kl_add_16), kNone));
    EXPECT_TRUE(arith_test::run(g, false, kAbs, kNone));
    g.dst_align = 2;
    g.dst_gap = 1;
    EXPECT_TRUE(arith_test::run(g, true, kernel_of(kl_max_16), kNone));
    g.dst_gap = 0;
    g.type = KL_BYTE;
    g.w = 18;
    EXPECT_TRUE(arith_test::run(g, true, kernel_of(kl_add_16), kNone));
}

TEST(ArithTwo, EveryAlignmentAndWidth) {
    for (const Two &k : kTwo)
        ASSERT_TRUE(arith_test::sweep(k.wide ? KL_SHORT : KL_BYTE, [&](const Geometry &g) { return run2(g, k); }));
    ASSERT_TRUE(arith_test::sweep(KL_SHORT, [](const Geometry &g) { return arith_test::run(g, false, kAbs, kAbsModel); }));
}

TEST(ArithTwo, RandomDifferential) {
    uint32_t seed = 100;
    for (const Two &k : kTwo) {
        std::mt19937 rng(seed++);
        for (int it = 0; it < 250; ++it)
            ASSERT_TRUE(run2(arith_test::random_geometry(rng, k.wide ? KL_SHORT : KL_BYTE), k));
    }
    std::mt19937 rng(seed);
    for (int it = 0; it < 400; ++it)
        ASSERT_TRUE(arith_test::run(arith_test::random_geometry(rng, KL_SHORT), false, kAbs, kAbsModel)) << "abs";
}

}  // namespace
