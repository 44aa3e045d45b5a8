// The threshold driver end to end, against the threshold kernel's model.
#include "ref_threshold.h"
#include "rig.h"

#include <cmath>

namespace {

using rig::Scene;
using rig::Source;

struct Values {
    float low[4], high[4], map[4];
};

struct ThresholdCase {
    const char *what;
    int depth, nb, band;  // window image child: bands and band offset
    int stride;           // source pixel stride (its bands)
    int reason;
};

const ThresholdCase cases[] = {
    {"1 band into 8-bit", 8, 1, 0, 1, WREN_OK},
    {"4 into 4", 24, 4, 0, 4, WREN_OK},
    {"3 into bands 1-3, staged", 24, 3, 1, 3, WREN_OK},
    {"3 into 3 of 4 (4-sample source)", 24, 3, 1, 4, WREN_OK},
};

// Values per selected band k: rint, so 127.5 is 128 and 126.5 is 126.
const Values kValues = {{126.5f, 0, 200, 40}, {127.5f, 90, 255, 60}, {3, 250, 7, 127.5f}};

TEST(Threshold8, LayoutsIntoCoveredWindows) {
    uint32_t seed = 500;
    for (const ThresholdCase &tc : cases) {
        SCOPED_TRACE(tc.what);
        Scene sc(Scene::small(), ++seed);
        int id;
        ZorHandle<ZorImage> dst = rig::covered_child(sc, tc.depth, tc.band, tc.nb, &id);
        Source s(83, 52, tc.stride, seed, 2, tc.stride == 4 && tc.nb == 3);
        s.img->setOrigin(5, 1);
        if (s.parent) s.parent->setOrigin(5, 1);
        Values v = kValues;
        ZorOp *th = ZorOp::create("threshold8", nullptr, s.img);
        th->setPtrParam(1, v.low);
        th->setPtrParam(2, v.high);
        th->setPtrParam(3, v.map);
        rig::Chain c(dst.get(), th);
        rig::prime({dst.get(), s.img});
        sc.arm();
        const auto [status, o] = rig::counted([&] { return c.run().status; });
        EXPECT_EQ(o.reason, tc.reason) << o.message;
        if (tc.reason == WREN_OK) {
            ASSERT_EQ(status, ZOR_SUCCESS);
            EXPECT_GT(o.rects, 1);
            const int wb = tc.depth == 8 ? 1 : 4;
            const int dmask = wb == 1 ? 1 : ((1 << tc.nb) - 1) << (4 - tc.nb - tc.band);
            // The window's values: selected band b takes the next element, rounded.
            short lo[4] = {}, hi[4] = {}, mp[4] = {};
            for (int b = 0, k = 0; b < wb; ++b)
                if ((dmask >> (wb - 1 - b)) & 1) {
                    lo[b] = static_cast<short>(std::rint(v.low[k]));
                    hi[b] = static_cast<short>(std::rint(v.high[k]));
                    mp[b] = static_cast<short>(std::rint(v.map[k++]));
                }
            rig::Plane a = tc.stride == 4 && tc.nb == 3 ? rig::lined_up(s, dst.get(), 4, false)
                                                        : rig::lined_up(s, dst.get(), wb, wb == 4 && tc.stride == 3);
            rig::Written m(80, 50, wb);
            kl_image ka = a.image(dmask);
            m.run(dmask, [&](kl_image &d) { ref::threshold(1, dmask, d, ka, lo, hi, mp); });
            auto region = rig::region_of(s.img, dst.get());
            sc.expect(id, dst.get(), region.get(), dmask, [&](int x, int y, int k) { return m.value(x, y, k); });
            if (tc.stride == 3) EXPECT_GT(o.chunks, 0);
        } else {
            EXPECT_EQ(status, ZOR_FAILURE);
            EXPECT_TRUE(sc.machine().accel().stores().empty());
        }
        EXPECT_TRUE(sc.check());
    }
}

// rint with ties to even: low 127.5 takes 128, low 126.5 takes 126.
TEST(Threshold8, ValuesRoundHalfToEven) {
    for (float low : {127.5f, 126.5f}) {
        Scene sc;
        const int id = sc.window(8, 0, 0, 256, 1);
        Source s(256, 1, 1, 3);
        for (int x = 0; x < 256; ++x) const_cast<uint8_t *>(s.px(x, 0))[0] = static_cast<uint8_t>(x);
        float lo = low, hi = 255, mp = 0;
        ZorOp *th = ZorOp::create("threshold8", nullptr, s.img);
        th->setPtrParam(1, &lo);
        th->setPtrParam(2, &hi);
        th->setPtrParam(3, &mp);
        rig::Chain c(sc.image(id), th);
        sc.arm();
        ASSERT_EQ(c.run().status, ZOR_SUCCESS) << rig::last().message;
        const int first = low == 127.5f ? 128 : 126;
        const uint8_t *fb = sc.screen().frameBuffer8();
        EXPECT_EQ(fb[first - 1], first - 1);
        EXPECT_EQ(fb[first], 0);
        for (int x = 0; x < 256; ++x) sc.expected(8, x, 0, 0) = static_cast<uint8_t>(x >= first ? 0 : x);
        EXPECT_TRUE(sc.check());
    }
}

}  // namespace
