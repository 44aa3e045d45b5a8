// Threshold kernels and the pixel-mapping feeders against the scalar models:
// every alignment, width, band count and mask of the arithmetic harness
// (sources against guard pages, destination inside canaries), worked values,
// and the feed words with the mapping space's fixed row pitch.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "arith_harness.h"
#include "kbuf.h"
#include "kl.h"
#include "ref_threshold.h"
#include "wren_feed.h"
#include "wren_regmap.h"

namespace {

using arith_test::Geometry;
using Values = std::array<short, 4>;

const short kEdge8[] = {-300, -1, 0, 1, 9, 10, 20, 21, 127, 128, 254, 255, 256, 1000};
const short kEdge16[] = {-32768, -32767, -256, -1, 0, 1, 255, 256, 32766, 32767};

Values values(std::mt19937 &g, bool wide) {
    Values v;
    for (short &x : v) {
        if (g() % 2) x = wide ? kEdge16[g() % 10] : kEdge8[g() % 14];
        else x = wide ? static_cast<short>(g()) : static_cast<short>(static_cast<int>(g() % 300) - 20);
    }
    return v;
}

::testing::AssertionResult run(const Geometry &g, Values lo, Values hi, Values map) {
    const bool wide = g.type == KL_SHORT;
    auto r = arith_test::run(
        g, false,
        [&](int m, kl_image *d, kl_image *s, kl_image *) {
            (wide ? kl_threshold_16 : kl_threshold_8)(m, d, s, lo.data(), hi.data(), map.data());
        },
        [&](int m, kl_image *d, kl_image *s, kl_image *) {
            ref::threshold(wide ? 2 : 1, m, *d, *s, lo.data(), hi.data(), map.data());
        });
    if (!r)
        r << "\n  low " << lo[0] << "," << lo[1] << "," << lo[2] << "," << lo[3] << " high " << hi[0] << "," << hi[1]
          << "," << hi[2] << "," << hi[3] << " map " << map[0] << "," << map[1] << "," << map[2] << "," << map[3];
    return r;
}

// Intervals that catch a good share of random samples: around the source
// values the harness draws, sometimes empty (low > high).
void intervals(std::mt19937 &g, bool wide, Values &lo, Values &hi) {
    lo = values(g, wide);
    hi = values(g, wide);
    for (int b = 0; b < 4; ++b)
        if (g() % 4 && lo[b] > hi[b]) std::swap(lo[b], hi[b]);
}

TEST(Threshold, SweepOverAlignmentsWidthsAndBands) {
    for (int type : {KL_BYTE, KL_SHORT}) {
        std::mt19937 g(type);
        ASSERT_TRUE(arith_test::sweep(type, [&](const Geometry &geo) {
            Values lo, hi;
            intervals(g, type == KL_SHORT, lo, hi);
            Values m = values(g, type == KL_SHORT);  // a third of the cases one-sided clamps in every band:
            for (int b = 0, c = g() % 3 == 0; c && b < 4; ++b) { if (g() % 2) hi[b] = type == KL_SHORT ? 32767 : 255, m[b] = lo[b]; else lo[b] = type == KL_SHORT ? -32768 : 0, m[b] = hi[b]; }
            return run(geo, lo, hi, m);
        }));
    }
}

TEST(Threshold, RandomGeometriesAndValues) {
    std::mt19937 g(20261207);
    for (int i = 0; i < 1500; ++i) {
        const int type = i % 2 ? KL_SHORT : KL_BYTE;
        const Geometry geo = arith_test::random_geometry(g, type);
        Values lo, hi;
        intervals(g, type == KL_SHORT, lo, hi);
        ASSERT_TRUE(run(geo, lo, hi, values(g, type == KL_SHORT))) << "case " << i;
    }
}

// Worked values: closed interval ends, low > high copies, clamping of the
// 8-bit values, signed 16-bit compares, mask 0 writes nothing.
TEST(Threshold, WorkedValues) {
    struct Case {
        int type;
        short lo, hi, map;
        std::vector<int> in, out;
        int mask;
    };
    const Case cases[] = {
        {KL_BYTE, 10, 20, 0, {9, 10, 15, 20, 21}, {9, 0, 0, 0, 21}, 1},
        {KL_BYTE, 20, 10, 0, {9, 10, 15, 20, 21}, {9, 10, 15, 20, 21}, 1},
        {KL_BYTE, -5, 300, 400, {0, 128, 255, 7, 1}, {255, 255, 255, 255, 255}, 1},
        {KL_BYTE, 200, 255, 200, {199, 200, 230, 255, 0}, {199, 200, 200, 200, 0}, 1},
        {KL_SHORT, -32768, -1, 7, {-32768, -1, 0, 32767, -200}, {7, 7, 0, 32767, 7}, 1},
        {KL_SHORT, 100, 32767, -5, {99, 100, 32767, -100, 5000}, {99, -5, -5, -100, -5}, 1},
        {KL_BYTE, 0, 255, 9, {1, 2, 3, 4, 5}, {0x55, 0x55, 0x55, 0x55, 0x55}, 0},
    };
    for (const Case &c : cases) {
        const int sb = c.type == KL_SHORT ? 2 : 1, n = static_cast<int>(c.in.size());
        std::vector<unsigned char> src(static_cast<size_t>(n) * sb), dst(src.size(), 0x55);
        for (int i = 0; i < n; ++i) {
            const int16_t v = static_cast<int16_t>(c.in[i]);
            std::memcpy(&src[static_cast<size_t>(i) * sb], &v, static_cast<size_t>(sb));
        }
        kl_image d = kbuf::make_image(c.type, 1, 1, dst.data(), n * sb, n, 1);
        kl_image s = kbuf::make_image(c.type, 1, 1, src.data(), n * sb, n, 1);
        Values lo{c.lo}, hi{c.hi}, map{c.map};
        (sb == 2 ? kl_threshold_16 : kl_threshold_8)(c.mask, &d, &s, lo.data(), hi.data(), map.data());
        for (int i = 0; i < n; ++i) {
            int16_t got = 0;
            if (sb == 2) std::memcpy(&got, &dst[2 * static_cast<size_t>(i)], 2);
            else got = dst[static_cast<size_t>(i)];
            EXPECT_EQ(got, c.out[static_cast<size_t>(i)]) << "low " << c.lo << " high " << c.hi << " in " << c.in[i];
        }
    }
}

// ---- Feed into the mapping space -------------------------------------------

struct Feed {
    int sb, w, h, align, gap;
    kbuf::Guard side;
};

::testing::AssertionResult feed(const Feed &f, int dst_bands = 1, int src_bands = 1, uint32_t seed = 1) {
    const size_t row = static_cast<size_t>(f.w) * f.sb;
    kbuf::GuardImage s(row, f.h, row + static_cast<size_t>(f.gap), f.side, seed);
    const std::vector<unsigned char> before = s.bytes();
    // The slots of the area: w * 8 bytes per row, rows 16384 apart, whatever lb says.
    kbuf::DstBuf d(static_cast<size_t>(f.w) * 8, f.h, f.align, wren_fb::map_line_bytes, seed + 1);
    kl_image di = d.image(KL_BYTE, dst_bands, 1, f.w);
    di.lb = 3 * f.w + 5;
    kl_image si = s.image(f.sb == 2 ? KL_SHORT : KL_BYTE, src_bands, 1, f.w);
    kl_image de = di;
    de.data = d.exp_data();
    ref::rescale_feed(f.sb, de, si);
    (f.sb == 2 ? kl_rescale_wren_16 : kl_rescale_wren_8)(&di, &si);
    auto r = d.check();
    if (!r) return r << "\n  sb " << f.sb << " w " << f.w << " h " << f.h << " align " << f.align;
    if (s.bytes() != before) return ::testing::AssertionFailure() << "source changed";
    return ::testing::AssertionSuccess();
}

TEST(RescaleFeed, WordsInSlotsWithTheFixedPitch) {
    std::mt19937 g(9);
    for (int sb : {1, 2})
        for (int w : {1, 2, 7, 8, 9, 15, 16, 17, 31, 100, 2048})
            for (int h : {1, 3})
                ASSERT_TRUE(feed({sb, w, h, static_cast<int>(g() % 16) * 4, static_cast<int>(g() % 7) * sb,
                                  g() % 2 ? kbuf::Guard::After : kbuf::Guard::Before},
                                 1, 1, g()));
}

TEST(RescaleFeed, OtherBandCountsWriteNothing) {
    for (int sb : {1, 2}) {
        EXPECT_TRUE(feed({sb, 9, 2, 0, 0, kbuf::Guard::After}, 2, 1));  // two-band destination
        EXPECT_TRUE(feed({sb, 9, 2, 0, 0, kbuf::Guard::After}, 1, 3));
    }
}

TEST(RescaleFeed, WordFormats) {
    EXPECT_EQ(ref::map_word8(0), 0u);
    EXPECT_EQ(ref::map_word8(255), 0x0ff00000u);
    EXPECT_EQ(ref::map_word16(-32768), 0xf0000000u);
    EXPECT_EQ(ref::map_word16(0), 0x08000000u);
    EXPECT_EQ(ref::map_word16(32767), 0x0ffff000u);
    for (int s : {-32768, -1, 0, 1, 12345, 32767})  // the 16-bit field holds s + 32768
        EXPECT_EQ((ref::map_word16(static_cast<short>(s)) >> 12) & 0xffff, static_cast<unsigned>(s + 32768));
}

}  // namespace
