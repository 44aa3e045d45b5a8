// The transpose driver end to end: window pixel (x, y) shows the source pixel
// mirrored about the source's centre (x -> W - 1 - x for the left-right
// mirror, y -> H - 1 - y for the top-bottom flip, both for the half turn),
// only where the window is visible; declines write nothing.
#include "rig.h"


namespace {

using rig::Scene;
using rig::Source;

struct FlipCase {
    const char *what;
    int depth, nb, band;        // window image child: bands and band offset
    int stride, sw, sh;         // source: pixel stride and size
    bool last3;                 // a 4-sample source showing its last three samples
    long type;
    int reason;                 // WREN_OK when drawn
    bool roi = false;           // the source's region of interest: 20, 10, 12 x 7
};

const FlipCase flip_cases[] = {
    {"1 band, top-bottom", 8, 1, 0, 1, 83, 52, false, 0, WREN_OK},
    {"1 band, left-right", 8, 1, 0, 1, 83, 52, false, 1, WREN_OK},
    {"1 band, half turn", 8, 1, 0, 1, 83, 52, false, 5, WREN_OK},
    {"1 band, smaller than the window", 8, 1, 0, 1, 41, 23, false, 5, WREN_OK},
    {"9 pixels wide is drawn", 8, 1, 0, 1, 9, 30, false, 1, WREN_OK},
    {"8 pixels wide is declined", 8, 1, 0, 1, 8, 30, false, 1, WREN_LAYOUT},
    {"flip type 2 is declined", 8, 1, 0, 1, 83, 52, false, 2, WREN_PARAMETER},
    {"flip type 4 is declined", 24, 4, 0, 4, 83, 52, false, 4, WREN_PARAMETER},
    {"4 into 4, half turn", 24, 4, 0, 4, 83, 52, false, 5, WREN_OK},
    {"4 into 4, left-right", 24, 4, 0, 4, 60, 70, false, 1, WREN_OK},
    {"3 into bands 1-3, top-bottom", 24, 3, 1, 3, 83, 52, false, 0, WREN_OK},
    {"3 into bands 1-3, left-right", 24, 3, 1, 3, 83, 52, false, 1, WREN_OK},
    {"3 into bands 1-3, half turn", 24, 3, 1, 3, 83, 52, false, 5, WREN_OK},
    {"4 with mask 7, top-bottom", 24, 3, 1, 4, 83, 52, true, 0, WREN_OK},
    {"4 with mask 7, left-right", 24, 3, 1, 4, 83, 52, true, 1, WREN_BAND_MASK},
    {"4 with mask 7, half turn", 24, 3, 1, 4, 83, 52, true, 5, WREN_BAND_MASK},
    // A source region is flipped with the image: only its mirror (partly covered) is drawn.
    {"source region, top-bottom", 8, 1, 0, 1, 50, 40, false, 0, WREN_OK, true},
    {"source region, left-right", 8, 1, 0, 1, 50, 40, false, 1, WREN_OK, true},
    {"source region, half turn", 8, 1, 0, 1, 50, 40, false, 5, WREN_OK, true},
};

TEST(Transpose8, FlipsIntoCoveredWindows) {
    uint32_t seed = 1600;
    for (const FlipCase &fc : flip_cases) {
        SCOPED_TRACE(fc.what);
        Scene sc(Scene::small(), ++seed);
        int id = 0;
        ZorHandle<ZorImage> dst = rig::covered_child(sc, fc.depth, fc.band, fc.nb, &id);
        Source s(fc.sw, fc.sh, fc.stride, seed, 2, fc.last3);
        s.img->setOrigin(5, 1);
        ZorHandle<ZorRoi> part(ZorRoi::create(20, 10, 12, 7));
        ASSERT_TRUE(!fc.roi || s.img->setRoi(part.get()) == ZOR_SUCCESS);
        ZorOp *tr = ZorOp::create("transpose8", nullptr, s.img);
        tr->setLongParam(1, fc.type);
        const auto [status, o] = rig::draw(sc, dst.get(), tr, {s.img});
        EXPECT_EQ(o.reason, fc.reason) << o.message;
        ASSERT_TRUE(rig::ended(sc, status, fc.reason == WREN_OK));
        if (fc.reason != WREN_OK) continue;
        EXPECT_GT(o.rects, fc.sw > 60 ? 1 : 0);
        const int wb = fc.depth == 8 ? 1 : 4, dmask = rig::wmask(fc.depth, fc.nb, fc.band);
        // The window's pixel coordinates meet the mirrored source's.
        int ox, oy;
        dst->getOrigin(&ox, &oy);
        ZorHandle<ZorRoi> shown(fc.roi ? part->flip(static_cast<int>(fc.type), (fc.sw - 1) / 2.0, (fc.sh - 1) / 2.0)
                                       : ZorRoi::create(0, 0, fc.sw, fc.sh));
        ZorHandle<ZorRoi> region(shown->translate(-ox, -oy));
        sc.expect(id, dst.get(), region.get(), dmask, [&](int x, int y, int k) {
            const int mx = fc.type == 0 ? x : fc.sw - 1 - x, my = fc.type == 1 ? y : fc.sh - 1 - y;
            // Window sample k of a widened 3-sample pixel is source sample k - 1.
            const int from = fc.stride == 3 && wb == 4 ? k - 1 : k;
            return from < 0 ? -1 : s.px(mx, my)[from];
        });
        EXPECT_TRUE(sc.check());
    }
}

}  // namespace
