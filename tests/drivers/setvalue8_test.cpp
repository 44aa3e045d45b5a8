// The set-value driver: fill word, plane mask, fill coordinates and the
// reports of its failures.
#include "rig.h"

#include <tuple>

namespace {

using rig::Scene;

using rig::device;

// A set-value operation of `bands` values shown in dst (optionally through a
// copy); its result image: none (0), 8 x 8 (1), or 8 x 8 far off the window (2).
struct SetValue {
    ZorHandle<ZorImage> result;
    float values[4];
    rig::Chain chain;
    SetValue(ZorImage *dst, int bands, const float (&v)[4], bool through_copy = false, int res = 1)
        : result(res ? ZorImage::create(8, 8, bands, ZOR_BYTE) : nullptr), values{v[0], v[1], v[2], v[3]},
          chain(dst, make(result.get(), values, through_copy)) {
        if (res == 2) result->setOrigin(100, 100);
        if (chain.ops[0]->getOp1()) chain.ops.push_back(chain.ops[0]->getOp1());
        rig::prime({dst, result.get()});
    }
    static ZorOp *make(ZorImage *res, float *v, bool through_copy) {
        ZorOp *set = ZorOp::create("setvalue8", res);
        set->setPtrParam(1, v);
        return through_copy ? ZorOp::create("copy8", nullptr, res, nullptr, set) : set;
    }
};

// Sets dst (a child of window id, or its image) to v and checks both frame
// buffers: the visible samples of bmask take byte(k), nothing else changes.
::testing::AssertionResult fill(Scene &sc, int id, ZorImage *dst, int nb, const float (&v)[4], int bmask,
                                const std::function<int(int)> &byte) {
    SetValue sv(dst, nb, v);
    const auto [status, o] = rig::run(sc, {}, [&] { return sv.chain.run().status; });
    if (status != ZOR_SUCCESS) return ::testing::AssertionFailure() << o.message;
    sc.expect(id, dst, dst->getImageSpaceRoi(), bmask, [&](int, int, int k) { return byte(k); });
    return sc.check();
}

// Values become bytes rounded half away from zero and clamped (NaN 0); the
// fill word and the plane mask follow the band mask, the plane group the
// depth; byte 0 of a 24-bit pixel never changes.
TEST(SetValue8, FillWordAndPlaneMask) {
    const struct {
        int depth, nb, band;
        float v[4];
        uint32_t fill, mask;
    } cases[] = {
        {8, 1, 0, {127.5f, 0, 0, 0}, 0x80, 0xff},
        {8, 1, 0, {-3.0f, 0, 0, 0}, 0, 0xff},
        {24, 4, 0, {127.5f, 127.4f, -0.4f, 1000.0f}, 0x807f00ff, 0xffffffff},
        {24, 4, 0, {254.6f, 0.5f, NAN, 254.4f}, 0xff0100fe, 0xffffffff},
        {24, 3, 1, {10, 20, 30, 0}, 0x000a141e, 0x00ffffff},
        {24, 1, 2, {99, 0, 0, 0}, 0x00006300, 0x0000ff00},
        {24, 2, 0, {7, 8, 0, 0}, 0x07080000, 0xffff0000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.depth << "-bit, " << c.v[0] << ", bands " << c.nb);
        Scene sc;
        const int id = sc.window(c.depth, 40, 30, 50, 40);
        sc.window(c.depth, 60, 50, 50, 10);
        ZorHandle<ZorImage> dst(sc.image(id)->createChild(2, 3, c.band, 45, 30, c.nb));
        dst->setOrigin(4, 4);
        const int bands = c.depth == 8 ? 1 : 4;
        EXPECT_TRUE(fill(sc, id, dst.get(), c.nb, c.v, rig::wmask(c.depth, c.nb, c.band),
                         [&](int k) { return int(c.fill >> 8 * (bands - 1 - k) & 0xff); }));
        const auto &acc = sc.machine().accel();
        EXPECT_EQ(std::make_tuple(acc.reg(wren_reg::fill_color), acc.reg(wren_reg::plane_mask_lo),
                                  acc.reg(wren_reg::plane_mask_hi), acc.reg(wren_reg::group_control)),
                  std::make_tuple(c.fill, c.mask & 0xffffff, 0u, c.depth == 8 ? 0x20000057u : 0x2000007fu));
    }
}

// Every screen mode, later board: the block fills suit the mode (a screen
// that is both stereo and high resolution takes the high-resolution blocks)
// and cover exactly the visible rectangles.
TEST(SetValue8, BlockFillsInEveryScreenMode) {
    for (int mode = 0; mode < 4; ++mode) {
        for (int depth : {8, 24}) {
            SCOPED_TRACE(::testing::Message() << "stereo " << (mode & 1) << " high resolution " << (mode >> 1)
                                              << " depth " << depth);
            wsim::MachineOptions o = Scene::small();
            o.stereo = mode & 1;
            o.high_resolution = mode & 2;
            Scene sc(o);
            const int id = sc.window(depth, 13, 6, 150, 40);
            sc.window(depth, 70, 20, 30, 100);  // splits it: ragged edges on both sides
            EXPECT_TRUE(fill(sc, id, sc.image(id), depth == 8 ? 1 : 4, {90, 91, 92, 93}, depth == 8 ? 1 : 0xf,
                             [&](int k) { return depth == 8 ? 90 : 90 + k; }));
            int blocks = 0;
            for (const wsim::FillRecord &f : sc.machine().accel().fills()) blocks += f.kind == wsim::FillRecord::Blocks;
            EXPECT_GT(blocks, 0);
        }
    }
}

// Failures report what they must, write nothing, unlock and release; an
// empty region through a copy is nothing to do (the plan test has every
// driver's own empty region).
TEST(SetValue8, FailuresAreReported) {
    const struct {
        const char *what;
        int depth, bands;
        bool copy;
        int result, count, status;
        const char *report;  // null: none
        int flag, line;
    } cases[] = {
        {"through a copy, count 0", 8, 1, true, 1, 0, ZOR_FAILURE, "di-95", 1, 65},
        {"through a copy: filled where the result meets the window", 8, 1, true, 1, 3, ZOR_SUCCESS, nullptr, 0, 0},
        {"through a copy, empty region", 8, 1, true, 2, 3, ZOR_SUCCESS, nullptr, 0, 0},
        {"no result image to give a region", 8, 1, true, 0, 3, ZOR_FAILURE, "di-6", 0, 73},
        {"fewer values than selected bytes", 24, 2, false, 1, 2, ZOR_FAILURE, nullptr, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Scene sc;
        const int id = sc.window(c.depth, 0, 0, 20, 20);
        SetValue sv(sc.image(id), c.bands, {1, 2, 3, 4}, c.copy, c.result);
        sc.arm();
        ZorSystemState::clearErrors();
        const auto [status, o] = rig::counted([&] { return device()->SetValue8Wren(sv.chain.display, c.count); });
        EXPECT_EQ(status, c.status) << o.message;
        const auto &errs = ZorSystemState::errors();
        ASSERT_EQ(errs.size(), c.report ? 1u : 0u);
        if (c.report) {
            EXPECT_EQ(std::tie(errs[0].id, errs[0].category, errs[0].flag, errs[0].line, errs[0].file),
                      std::make_tuple(std::string(c.report), 0, c.flag, c.line, std::string("SetValue8Wren")));
        }
        if (c.bands == 2) {
            EXPECT_EQ(o.reason, WREN_PARAMETER);
        }
        if (c.status == ZOR_SUCCESS && c.result == 1)
            sc.expect(id, sc.image(id), sv.result->getImageSpaceRoi(), 1, [](int, int, int) { return 1; });
        if (c.result == 2) {
            EXPECT_EQ(o.rects, 0);
            EXPECT_TRUE(sc.machine().accel().fills().empty());
        }
        EXPECT_TRUE(sc.check());
    }
    ZorSystemState::clearErrors();
}

}  // namespace
