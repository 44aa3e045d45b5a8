// The copy and threshold drivers end to end, against the copy and threshold
// kernels' reference models, into partly covered windows.
#include "ref_copy.h"
#include "ref_threshold.h"
#include "rig.h"

#include <cmath>

namespace monadic_test {

using rig::Scene;
using rig::Source;

struct Case {
    const char *what, *op;
    int depth, nb, band;        // window image child: bands and band offset
    int stride, sbands, sband;  // source: pixel stride, bands shown, first band
};

const Case cases[] = {
    {"1 into 8-bit", "copy8", 8, 1, 0, 1, 1, 0},
    {"4 into 4", "copy8", 24, 4, 0, 4, 4, 0},
    {"4 showing 1-3 into 1-3", "copy8", 24, 3, 1, 4, 3, 1},
    {"3 packed into 1-3", "copy8", 24, 3, 1, 3, 3, 0},
    {"1 into 1-3 (inserted into band 1)", "copy8", 24, 3, 1, 1, 1, 0},
    {"1 into band 3", "copy8", 24, 1, 3, 1, 1, 0},
    {"4 into 8-bit (extracted)", "copy8", 8, 1, 0, 4, 4, 0},
    {"3, band 2 only, into 8-bit", "copy8", 8, 1, 0, 3, 1, 2},
    {"1 band into 8-bit", "threshold8", 8, 1, 0, 1, 1, 0},
    {"4 into 4", "threshold8", 24, 4, 0, 4, 4, 0},
    {"3 into bands 1-3, staged", "threshold8", 24, 3, 1, 3, 3, 0},
    {"3 into 3 of 4 (4-sample source)", "threshold8", 24, 3, 1, 4, 3, 1},
};

// Threshold values per selected band: rint, so 127.5 is 128 and 126.5 is 126.
float low[4] = {126.5f, 0, 200, 40}, high[4] = {127.5f, 90, 255, 60}, map[4] = {3, 250, 7, 127.5f};

TEST(Monadic, LayoutsIntoCoveredWindows) {
    uint32_t seed = 300;
    for (const Case &cc : cases) {
        SCOPED_TRACE(std::string(cc.op) + ": " + cc.what);
        const bool copy = cc.op[0] == 'c';
        Scene sc(Scene::small(), ++seed);
        int id = 0;
        ZorHandle<ZorImage> dst = rig::covered_child(sc, cc.depth, cc.band, cc.nb, &id);
        Source s(83, 52, cc.stride, seed, 2);
        ZorHandle<ZorImage> part(cc.sbands != cc.stride ? s.img->createChild(0, 0, cc.sband, 83, 52, cc.sbands)
                                                        : nullptr);
        ZorImage *src = part ? part.get() : s.img;
        src->setOrigin(5, 1);
        s.img->setOrigin(5, 1);
        ZorOp *op = ZorOp::create(cc.op, nullptr, src);
        if (!copy) {
            op->setPtrParam(1, low);
            op->setPtrParam(2, high);
            op->setPtrParam(3, map);
        }
        const auto [status, o] = rig::draw(sc, dst.get(), op, {src});
        ASSERT_EQ(status, ZOR_SUCCESS) << o.message;
        const int wb = cc.depth == 8 ? 1 : 4, dmask = rig::wmask(cc.depth, cc.nb, cc.band);
        const int smask = ((1 << cc.sbands) - 1) << (cc.stride - cc.sbands - cc.sband);
        rig::Written m(80, 50, wb);
        if (copy) {
            rig::Plane a = rig::lined_up(s, dst.get(), cc.stride, false);
            kl_image ka = a.image(smask);
            m.run(dmask, [&](kl_image &d) { ref::copy(1, dmask | smask, d, ka); });
        } else {
            // The window's values: selected band b takes the next element, rounded.
            short lo[4] = {}, hi[4] = {}, mp[4] = {};
            for (int b = 0, k = 0; b < wb; ++b)
                if ((dmask >> (wb - 1 - b)) & 1) {
                    lo[b] = static_cast<short>(std::rint(low[k]));
                    hi[b] = static_cast<short>(std::rint(high[k]));
                    mp[b] = static_cast<short>(std::rint(map[k++]));
                }
            rig::Plane a = cc.stride == 4 && cc.nb == 3 ? rig::lined_up(s, dst.get(), 4, false)
                                                        : rig::lined_up(s, dst.get(), wb, wb == 4 && cc.stride == 3);
            kl_image ka = a.image(dmask);
            m.run(dmask, [&](kl_image &d) { ref::threshold(1, dmask, d, ka, lo, hi, mp); });
            if (cc.stride == 3) {
                EXPECT_GT(o.chunks, 0);
            }
        }
        auto region = rig::region_of(src, dst.get());
        sc.expect(id, dst.get(), region.get(), dmask, [&](int x, int y, int k) { return m.value(x, y, k); });
        EXPECT_TRUE(sc.check());
    }
}

}  // namespace monadic_test
