// The copy driver end to end, against the copy kernels' reference model.
#include "ref_copy.h"
#include "rig.h"

#include <string>

namespace {

using rig::Scene;
using rig::Source;

struct CopyCase {
    const char *what;
    int depth, nb, band;        // window image child: bands and band offset
    int stride, sbands, sband;  // source: pixel stride, bands shown, first band
    int reason;                 // WREN_OK when the copy runs
};

const CopyCase copy_cases[] = {
    {"1 into 8-bit", 8, 1, 0, 1, 1, 0, WREN_OK},
    {"4 into 4", 24, 4, 0, 4, 4, 0, WREN_OK},
    {"4 showing 1-3 into 1-3", 24, 3, 1, 4, 3, 1, WREN_OK},
    {"3 packed into 1-3", 24, 3, 1, 3, 3, 0, WREN_OK},
    {"1 into 1-3 (inserted into band 1)", 24, 3, 1, 1, 1, 0, WREN_OK},
    {"1 into band 3", 24, 1, 3, 1, 1, 0, WREN_OK},
    {"4 into 8-bit (extracted)", 8, 1, 0, 4, 4, 0, WREN_OK},
    {"3, band 2 only, into 8-bit", 8, 1, 0, 3, 1, 2, WREN_OK},
};

TEST(Copy8, LayoutsIntoCoveredWindows) {
    uint32_t seed = 300;
    for (const CopyCase &cc : copy_cases) {
        SCOPED_TRACE(cc.what);
        Scene sc(Scene::small(), ++seed);
        const int id = sc.window(cc.depth, 30, 20, 90, 60);
        sc.window(cc.depth, 70, 10, 30, 40);
        sc.window(cc.depth == 8 ? 24 : 8, 0, 50, 60, 20);
        ZorHandle<ZorImage> dst(sc.image(id)->createChild(5, 4, cc.band, 80, 50, cc.nb));
        dst->setOrigin(3, -2);
        Source s(83, 52, cc.stride, seed, 2);
        ZorHandle<ZorImage> part(cc.sbands != cc.stride ? s.img->createChild(0, 0, cc.sband, 83, 52, cc.sbands)
                                                        : nullptr);
        ZorImage *src = part ? part.get() : s.img;
        src->setOrigin(5, 1);
        s.img->setOrigin(5, 1);
        rig::Chain c(dst.get(), ZorOp::create("copy8", nullptr, src));
        rig::prime({dst.get(), src});
        sc.arm();
        const auto [status, o] = rig::counted([&] { return c.run().status; });
        EXPECT_EQ(o.reason, cc.reason) << o.message;
        if (cc.reason == WREN_OK) {
            ASSERT_EQ(status, ZOR_SUCCESS);
            EXPECT_GT(o.rects, 1);
            const int wb = cc.depth == 8 ? 1 : 4;
            const int dmask = wb == 1 ? 1 : ((1 << cc.nb) - 1) << (4 - cc.nb - cc.band);
            const int smask = ((1 << cc.sbands) - 1) << (cc.stride - cc.sbands - cc.sband);
            rig::Plane a = rig::lined_up(s, dst.get(), cc.stride, false);
            rig::Written m(80, 50, wb);
            kl_image ka = a.image(smask);
            m.run(dmask, [&](kl_image &d) { ref::copy(1, dmask | smask, d, ka); });
            auto region = rig::region_of(src, dst.get());
            sc.expect(id, dst.get(), region.get(), dmask, [&](int x, int y, int k) { return m.value(x, y, k); });
        } else {
            EXPECT_EQ(status, ZOR_FAILURE);
            EXPECT_TRUE(sc.machine().accel().stores().empty());  // nothing locked or set up
        }
        EXPECT_TRUE(sc.check());
    }
}

}  // namespace
