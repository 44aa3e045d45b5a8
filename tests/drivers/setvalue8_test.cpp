// The set-value driver: fill word, plane mask, fill coordinates and the
// reports of its failures.
#include "rig.h"
#include "wren_device.h"

#include <functional>
#include <string>
#include <tuple>

namespace {

using rig::Scene;

using rig::device;

// A set-value operation of `bands` values shown in dst (optionally through a copy).
struct SetValue {
    ZorHandle<ZorImage> result;
    float values[4];
    rig::Chain chain;
    SetValue(ZorImage *dst, int bands, const float (&v)[4], bool through_copy = false, ZorImage *res = nullptr)
        : result(res ? res : ZorImage::create(8, 8, bands, ZOR_BYTE)), values{v[0], v[1], v[2], v[3]},
          chain(dst, make(result.get(), values, through_copy)) {}
    static ZorOp *make(ZorImage *res, float *v, bool through_copy) {
        ZorOp *set = ZorOp::create("setvalue8", res);
        set->setPtrParam(1, v);
        return through_copy ? ZorOp::create("copy8", nullptr, res, nullptr, set) : set;
    }
    ~SetValue() {
        if (chain.ops[0]->getOp1()) {
            chain.ops.push_back(chain.ops[0]->getOp1());
        }
    }
};

// Sets dst (a child of window id, or its image) to v and checks both frame
// buffers: the visible samples of bmask take byte(k), nothing else changes.
::testing::AssertionResult fill(Scene &sc, int id, ZorImage *dst, int nb, const float (&v)[4], int bmask,
                                const std::function<int(int)> &byte) {
    SetValue sv(dst, nb, v);
    rig::prime({dst});
    sc.arm();
    if (sv.chain.run().status != ZOR_SUCCESS) return ::testing::AssertionFailure() << rig::last().message;
    sc.expect(id, dst, dst->getImageSpaceRoi(), bmask, [&](int, int, int k) { return byte(k); });
    return sc.check();
}

// Values become bytes rounded half away from zero and clamped.
TEST(SetValue8, ValueBytes) {
    const struct {
        float v;
        int byte;
    } cases[] = {{127.5f, 128}, {127.4f, 127}, {-0.4f, 0}, {-3.0f, 0}, {254.6f, 255}, {1000.0f, 255},
                 {0.5f, 1},     {254.4f, 254}, {NAN, 0}};
    for (const auto &c : cases) {
        Scene sc;
        const int id = sc.window(8, 17, 5, 30, 20);
        sc.window(8, 30, 0, 10, 10);
        EXPECT_TRUE(fill(sc, id, sc.image(id), 1, {c.v, 0, 0, 0}, 1, [&](int) { return c.byte; })) << c.v;
        EXPECT_EQ(sc.machine().accel().reg(wren_reg::fill_color), static_cast<uint32_t>(c.byte)) << c.v;
        EXPECT_EQ(sc.machine().accel().reg(wren_reg::plane_mask_lo), 0xffu);
    }
}

// Fill word and plane mask by band mask; byte 0 of a 24-bit pixel never changes.
TEST(SetValue8, FillWordAndPlaneMask) {
    const struct {
        int nb, band;
        float v[4];
        uint32_t fill, mask;
    } cases[] = {
        {3, 1, {10, 20, 30, 0}, 0x000a141e, 0x00ffffff},
        {4, 0, {1, 2, 3, 4}, 0x01020304, 0xffffffff},
        {1, 2, {99, 0, 0, 0}, 0x00006300, 0x0000ff00},
        {2, 0, {7, 8, 0, 0}, 0x07080000, 0xffff0000},
    };
    for (const auto &c : cases) {
        Scene sc;
        const int id = sc.window(24, 40, 30, 50, 40);
        sc.window(24, 60, 50, 50, 10);
        ZorHandle<ZorImage> dst(sc.image(id)->createChild(2, 3, c.band, 45, 30, c.nb));
        dst->setOrigin(4, 4);
        const int bmask = ((1 << c.nb) - 1) << (4 - c.nb - c.band);
        EXPECT_TRUE(fill(sc, id, dst.get(), c.nb, c.v, bmask, [&](int k) { return int(c.fill >> 8 * (3 - k) & 0xff); }));
        const auto &acc = sc.machine().accel();
        EXPECT_EQ(std::make_tuple(acc.reg(wren_reg::fill_color), acc.reg(wren_reg::plane_mask_lo),
                                  acc.reg(wren_reg::plane_mask_hi)),
                  std::make_tuple(c.fill, c.mask & 0xffffff, 0u));
    }
}

// One fill per visible rectangle, at its frame-buffer position; a region that
// misses every visible rectangle fills nothing and succeeds.
TEST(SetValue8, FillsAtTheRectanglesPositions) {
    for (int depth : {8, 24}) {
        Scene sc;
        const int id = sc.window(depth, 17, 5, 60, 30);
        sc.window(depth, 40, 0, 10, 100);  // splits the window in two
        ASSERT_TRUE(fill(sc, id, sc.image(id), depth == 8 ? 1 : 4, {50, 60, 70, 80}, depth == 8 ? 1 : 0xf,
                         [&](int k) { return depth == 8 ? 50 : 50 + 10 * k; }));
        const auto &fills = sc.machine().accel().fills();
        ASSERT_EQ(fills.size(), 2u);
        EXPECT_EQ(std::tie(fills[0].x, fills[0].y, fills[0].w, fills[0].h, fills[0].depth, fills[1].x, fills[1].w),
                  std::make_tuple(17, 5, 23, 30, depth, 50, 27));
        EXPECT_EQ(rig::last().rects, 2);
        EXPECT_EQ(sc.machine().accel().reg(wren_reg::raster_op), 0x83u);
        EXPECT_EQ(sc.machine().accel().reg(wren_reg::group_control), depth == 8 ? 0x20000057u : 0x2000007fu);
    }
    Scene sc;
    const int id = sc.window(8, 17, 5, 20, 20);
    sc.window(8, 10, 0, 40, 40);  // covers it whole
    SetValue sv(sc.image(id), 1, {5, 0, 0, 0});
    sc.arm();
    EXPECT_EQ(sv.chain.run().status, ZOR_SUCCESS);
    EXPECT_TRUE(sc.machine().accel().fills().empty());
    EXPECT_TRUE(sc.check());
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

// Failures report what they must, write nothing, unlock and release.
TEST(SetValue8, FailuresAreReported) {
    struct Expect {
        const char *id;
        int flag, line;
    };
    auto check_report = [](const Expect &e) {
        const auto &errs = ZorSystemState::errors();
        ASSERT_EQ(errs.size(), 1u);
        EXPECT_EQ(std::tie(errs[0].id, errs[0].category, errs[0].flag, errs[0].line, errs[0].file),
                  std::make_tuple(std::string(e.id), 0, e.flag, e.line, std::string("SetValue8Wren")));
    };
    const float v[4] = {1, 2, 3, 4};
    // Through a copy with a count that is not positive.
    {
        Scene sc;
        const int id = sc.window(8, 0, 0, 20, 20);
        SetValue sv(sc.image(id), 1, v, true);
        rig::prime({sc.image(id), sv.result.get()});
        sc.arm();
        ZorSystemState::clearErrors();
        const long live = ZorObject::liveCount();
        EXPECT_EQ(device()->SetValue8Wren(sv.chain.display, 0), ZOR_FAILURE);
        check_report({"di-95", 1, 65});
        EXPECT_EQ(ZorObject::liveCount(), live);
        EXPECT_TRUE(sc.check());
        // With a count the chain is filled where the result meets the window.
        EXPECT_EQ(device()->SetValue8Wren(sv.chain.display, 3), ZOR_SUCCESS);
        EXPECT_EQ(ZorObject::liveCount(), live);
        sc.expect(id, sc.image(id), sv.result->getImageSpaceRoi(), 1, [](int, int, int) { return 1; });
        EXPECT_TRUE(sc.check());
    }
    // An empty region through a copy is nothing to do: no report, no fill
    // (the plan test has every driver's own empty region).
    {
        Scene sc;
        const int id = sc.window(8, 0, 0, 20, 20);
        ZorImage *res = ZorImage::create(8, 8, 1, ZOR_BYTE);
        res->setOrigin(100, 100);
        SetValue sv(sc.image(id), 1, v, true, res);
        rig::prime({sc.image(id), res});
        sc.arm();
        ZorSystemState::clearErrors();
        const long live = ZorObject::liveCount();
        EXPECT_EQ(device()->SetValue8Wren(sv.chain.display, 3), ZOR_SUCCESS);
        EXPECT_EQ(rig::last().rects, 0);
        EXPECT_TRUE(ZorSystemState::errors().empty());
        EXPECT_EQ(ZorObject::liveCount(), live);
        EXPECT_FALSE(sc.screen().window(id)->locked());
        EXPECT_TRUE(sc.machine().accel().fills().empty());
        EXPECT_TRUE(sc.check());
    }
    // No region at all (the set-value operation has no result image to give
    // one) is reported.
    {
        Scene sc;
        const int id = sc.window(8, 0, 0, 20, 20);
        float values[4] = {1, 2, 3, 4};
        ZorOp *set = ZorOp::create("setvalue8", nullptr);
        set->setPtrParam(1, values);
        rig::Chain chain(sc.image(id), ZorOp::create("copy8", nullptr, nullptr, nullptr, set));
        chain.ops.push_back(set);
        rig::prime({sc.image(id)});
        sc.arm();
        ZorSystemState::clearErrors();
        const long live = ZorObject::liveCount();
        EXPECT_EQ(device()->SetValue8Wren(chain.display, 3), ZOR_FAILURE);
        check_report({"di-6", 0, 73});
        EXPECT_EQ(ZorObject::liveCount(), live);
        EXPECT_TRUE(sc.check());
    }
    // The clip list cannot be had: the window's update leaves none.
    {
        Scene sc;
        const int id = sc.window(8, 0, 0, 20, 20);
        SetValue sv(sc.image(id), 1, v);
        rig::prime({sc.image(id)});
        sc.arm();
        wca_win *h = sc.screen().window(id)->handle();
        const wca_update_fn update = h->update;
        h->update = [](wca_win *w) {
            w->clip = nullptr;
            return 1;
        };
        h->change_count = ~0ul;
        ZorSystemState::clearErrors();
        const long live = ZorObject::liveCount();
        EXPECT_EQ(sv.chain.run().status, ZOR_FAILURE);
        check_report({"di-7", 0, 113});
        EXPECT_EQ(h->lock_depth, 0);
        EXPECT_EQ(ZorObject::liveCount(), live);
        EXPECT_TRUE(sc.machine().accel().fills().empty());
        h->update = update;
        h->change_count = ~0ul;
        EXPECT_TRUE(sc.check());
    }
    // Fewer values than selected bytes: declined without reading past them.
    {
        Scene sc;
        const int id = sc.window(24, 0, 0, 20, 20);
        SetValue sv(sc.image(id), 2, v);
        sc.arm();
        ZorSystemState::clearErrors();
        EXPECT_EQ(sv.chain.run().status, ZOR_FAILURE);
        EXPECT_EQ(rig::last().reason, WREN_PARAMETER);
        EXPECT_TRUE(ZorSystemState::errors().empty());
        EXPECT_TRUE(sc.check());
    }
    ZorSystemState::clearErrors();
}

}  // namespace
