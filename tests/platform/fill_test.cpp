// Raster set-up, queue credit and the fast fills, against the simulated
// accelerator: what they draw, the register sequences only traced, which
// fill each size, board and mode takes, and the waits for room and idle.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "accelerator.h"
#include "wren_fill.h"

namespace {

using namespace wren_reg;
using wsim::FillRecord;
using wsim::RegAccess;
using Seq = std::vector<RegAccess>;

RegAccess S(uint32_t off, uint32_t v) { return {off, v, true}; }
RegAccess L(uint32_t off, uint32_t v) { return {off, v, false}; }
Seq rect(int x, int y, int w, int h) { return {S(draw_op, 8), S(fill_p0, y), S(fill_p1, x), S(fill_p4, h), S(fill_p5, w)}; }

using Fill = void (*)(void *, long *, int, int, int, int, int, int, int);

constexpr int kW = 1024, kH = 96, kLb8 = wren_fb::line_bytes8, kLb24 = wren_fb::line_bytes24;
constexpr uint32_t kIdle = wsim::Accelerator::kDefaultFree;

class FillTest : public ::testing::Test {
protected:
    FillTest() : fb8_(kLb8 * kH), fb24_(kLb24 * kH) {
        std::mt19937 g(7);
        for (auto &b : fb8_) b = static_cast<uint8_t>(g());
        for (auto &b : fb24_) b = static_cast<uint8_t>(g());
        want8_ = fb8_, want24_ = fb24_;
        sim_ = std::make_unique<wsim::Accelerator>(fb8_.data(), fb24_.data(), kW, kH);
        wren_bus_attach(sim_->bus());
    }
    ~FillTest() override { wren_bus_attach(nullptr); }

public:
    unsigned long *regs() { return static_cast<unsigned long *>(sim_->registerBase()); }
    Seq take() {
        Seq s = sim_->stores();
        sim_->clearTrace();
        return s;
    }
    // Fill colour and mask as the set-value path programs them before a fast fill.
    void program(int depth, uint32_t color, uint32_t mask) {
        wren_credit(regs(), &credit_, 6);
        wren_reg_write(regs(), group_control, depth == 8 ? wren_val::group_fill8 : wren_val::group_7);
        wren_reg_write(regs(), raster_mode, wren_val::mode_fill);
        wren_reg_write(regs(), raster_op, wren_val::rop_copy);
        wren_reg_write(regs(), plane_mask_lo, mask & 0xffffff);
        wren_reg_write(regs(), plane_mask_hi, mask >> 24);
        wren_reg_write(regs(), fill_color, color);
    }
    // The expected frame buffers after filling (x, y, w, h).
    void expect(int depth, int x, int y, int w, int h, uint32_t color, uint32_t mask) {
        for (int r = y; r < y + h; ++r)
            for (int c = x; c < x + w; ++c)
                for (int k = 0; k < (depth == 8 ? 1 : 4); ++k) {
                    const int sh = depth == 8 ? 0 : 24 - 8 * k;
                    uint8_t &b = depth == 8 ? want8_[size_t(r) * kLb8 + c] : want24_[size_t(r) * kLb24 + size_t(c) * 4 + k];
                    b = uint8_t((b & ~(mask >> sh)) | ((color & mask) >> sh));
                }
    }

    std::vector<uint8_t> fb8_, fb24_, want8_, want24_;
    std::unique_ptr<wsim::Accelerator> sim_;
    long credit_ = 1000;
};

// Random rectangles by every method, screen mode and board generation, with
// and without page permission (only bit 1 of board word 4 forbids pages):
// exactly the rectangle changes, under the plane mask, by fills that neither
// overlap nor leave gaps. First-generation stereo pages are only traced (their
// borders are drawn); the first generation has no fast fill at high resolution.
TEST_F(FillTest, RandomRectanglesEveryMethodModeAndBoard) {
    std::mt19937 g(20261206);
    credit_ = wren_queue_free(regs());
    for (int first = 0; first < 2; ++first)
        for (int mode = 0; mode < 4; ++mode)  // standard, stereo, high resolution, both
            for (int method = 0; method < 3; ++method)
                for (int forbid = 0; forbid < 2; ++forbid) {
                    const bool stereo = mode & 1, hires = mode & 2, traced = first && stereo && !hires && method == 2;
                    sim_->setScreenMode(stereo, hires);
                    sim_->setFirstGeneration(first);
                    int board[64] = {first ? 0x00 : 0x40, 0, 0, 0, forbid ? 0x2 : 0x1};
                    for (int it = 0; it < 12; ++it) {
                        int x = int(g() % kW), y = int(g() % kH);
                        int w = int(g() % (kW - x + 1)), h = int(g() % (kH - y + 1));
                        if (it % 3 == 0) {  // large enough for pages
                            x = int(g() % 200), y = int(g() % 20);
                            w = kW - x - int(g() % 100), h = kH - y - int(g() % 20);
                        }
                        const int depth = g() % 2 ? 8 : 24;
                        const uint32_t color = g(), mask = depth == 8 ? g() & 0xff : g();
                        SCOPED_TRACE(::testing::Message() << "first " << first << " mode " << mode << " method " << method
                                                          << " forbid " << forbid << " depth " << depth << " rect " << x
                                                          << "," << y << " " << w << "x" << h);
                        sim_->clearFills();
                        program(depth, color, mask);
                        wren_fast_fill(method, regs(), &credit_, stereo, hires, board, x, y, w, h);
                        long long area = 0;
                        for (const FillRecord &f : sim_->fills()) {
                            EXPECT_EQ(f.drawn, !(traced && f.kind == FillRecord::Pages));
                            EXPECT_EQ(f.depth, depth);
                            EXPECT_TRUE(f.kind != FillRecord::Pages || (method == 2 && !forbid));
                            EXPECT_TRUE(f.kind == FillRecord::Rect || (method != 0 && !(first && hires)));
                            if (f.drawn) area += (long long)f.w * f.h, expect(depth, f.x, f.y, f.w, f.h, color, mask);
                        }
                        if (!traced) expect(depth, x, y, w, h, color, mask);
                        ASSERT_TRUE(fb8_ == want8_ && fb24_ == want24_);
                        ASSERT_EQ(sim_->faults(), std::vector<std::string>{});
                        if (!traced) {
                            EXPECT_EQ(area, (long long)w * h) << "fills overlap or leave gaps";
                        }
                    }
                }
}

// The fill each routine makes of a size: rectangle fill below the block and
// page thresholds of the mode and board generation.
TEST_F(FillTest, ThresholdsByModeAndGeneration) {
    const struct {
        Fill fill;
        int stereo, hires, fg, x, y, w, h;
        FillRecord::Kind largest;
    } cases[] = {
        {block_fill_std, 0, 0, 0, 64, 8, 10, 12, FillRecord::Rect},   {block_fill_std, 0, 0, 0, 64, 8, 11, 12, FillRecord::Blocks},
        {block_fill_std, 0, 0, 1, 64, 8, 19, 20, FillRecord::Rect},   {block_fill_std, 0, 0, 1, 64, 8, 20, 20, FillRecord::Blocks},
        {block_fill_stereo, 1, 0, 0, 64, 8, 79, 1, FillRecord::Rect}, {block_fill_stereo, 1, 0, 0, 64, 8, 80, 1, FillRecord::Blocks},
        {block_fill_stereo, 1, 0, 1, 64, 8, 1, 1, FillRecord::Blocks}, {block_fill_hires, 0, 1, 0, 64, 8, 8, 15, FillRecord::Rect},
        {block_fill_hires, 0, 1, 0, 64, 8, 16, 8, FillRecord::Blocks}, {block_fill_hires, 0, 1, 1, 64, 8, 8, 1, FillRecord::Blocks},
        {block_fill_hires, 0, 1, 0, 5, 0, 17, 10, FillRecord::Rect},  // 8 x 10 left after trimming
        {page_fill_std, 0, 0, 0, 70, 10, 430, 20, FillRecord::Blocks}, {page_fill_std, 0, 0, 0, 70, 10, 430, 50, FillRecord::Pages},
        {page_fill_hires, 0, 1, 0, 5, 0, 695, 16, FillRecord::Blocks},  // 480 x 16 pages: below the threshold
        {page_fill_hires, 0, 1, 0, 5, 0, 695, 32, FillRecord::Pages},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.x << " " << c.w << "x" << c.h << " fg " << c.fg);
        sim_->setScreenMode(c.stereo, c.hires);
        sim_->clearFills();
        program(8, 1, 0xff);
        c.fill(regs(), &credit_, c.stereo, c.hires, c.x, c.y, c.w, c.h, c.fg);
        FillRecord::Kind largest = FillRecord::Rect;
        for (const FillRecord &f : sim_->fills()) largest = std::max(largest, f.kind);
        EXPECT_EQ(largest, c.largest);
        EXPECT_TRUE(sim_->faults().empty());
    }
    sim_->setScreenMode(true, false);
    sim_->setFirstGeneration(true);
    sim_->clearTrace();
    page_fill_stereo_wren1(regs(), &credit_, 80, 8, 159, 8);  // one page short of 1280
    EXPECT_EQ(take(), rect(80, 8, 159, 8));
}

// wren_fast_fill issues exactly what the routine for the board and mode issues, with the board's
// generation (where it takes the rectangle fill, RandomRectanglesEveryMethodModeAndBoard tells).
TEST_F(FillTest, DispatchByBoardModeAndMethod) {
    using Fill1 = void (*)(void *, long *, int, int, int, int);
    const struct {
        bool first;
        int stereo, hires, method;
        Fill fill;    // with first_generation below
        Fill1 fill1;  // first-generation stereo routines
        int fg;
    } cases[] = {
        {true, 1, 0, 1, nullptr, block_fill_stereo_wren1, 0}, {true, 1, 0, 2, nullptr, page_fill_stereo_wren1, 0},
        {true, 0, 0, 1, block_fill_std, nullptr, 1},  {true, 0, 0, 2, page_fill_std, nullptr, 1},
        {false, 0, 0, 1, block_fill_std, nullptr, 0}, {false, 0, 0, 2, page_fill_std, nullptr, 0},
        {false, 1, 0, 1, block_fill_stereo, nullptr, 0}, {false, 1, 0, 2, page_fill_stereo, nullptr, 0},
        {false, 0, 1, 1, block_fill_hires, nullptr, 0}, {false, 1, 1, 2, page_fill_hires, nullptr, 0},
    };
    int first[64] = {0x00}, later[64] = {0x20};
    const int rects[][4] = {{3, 5, 900, 40}, {80, 16, 640, 32}, {7, 1, 30, 20}, {0, 0, 3, 2}};
    for (const auto &c : cases)
        for (auto &r : rects) {
            SCOPED_TRACE(::testing::Message() << "first " << c.first << " stereo " << c.stereo << " hires " << c.hires
                                              << " method " << c.method << " rect " << r[0] << "," << r[1]);
            wren_fast_fill(c.method, regs(), &credit_, c.stereo, c.hires, c.first ? first : later, r[0], r[1], r[2], r[3]);
            const Seq got = take();
            if (c.fill) c.fill(regs(), &credit_, c.stereo, c.hires, r[0], r[1], r[2], r[3], c.fg);
            else c.fill1(regs(), &credit_, r[0], r[1], r[2], r[3]);
            EXPECT_EQ(got, take());
        }
    wren_fast_fill(3, regs(), &credit_, 0, 0, later, 0, 0, 10, 10);
    wren_fast_fill(-1, regs(), &credit_, 0, 0, later, 0, 0, 10, 10);
    EXPECT_TRUE(take().empty());
}

// The raster state of each plane group count, in order, between the waits
// for nine free entries and for idle; counts it has no groups for touch no register.
TEST_F(FillTest, SetupWritesTheRasterStateOfEachGroup) {
    const struct {
        int groups;
        unsigned long mask, op;
        uint32_t mode, group, op_out, lo, hi;
    } cases[] = {
        {1, 0xff, 0x83, 0x69802, 0x20000043, 0x83, 0xff, 0},
        {1, 0x1ff, 0x83, 0x69802, 0x20000043, 0x83, 0xff, 0},
        {1, 0xffffffff, 0xff, 0x69802, 0x20000043, 0x8f, 0xff, 0},
        {7, 0xffffffff, 0x83, 0x69802, 0x2000007f, 0x83, 0xffffff, 0},
        {7, 0x00ff00ff, 0x70, 0x69802, 0x2000007f, 0x00, 0xff00ff, 0},
        {8, 0x12345678, 0x83, 0x69808, 0x200000c0, 0x83, 0, 0x78},
        {8, 0xff, 0x1ff, 0x69808, 0x200000c0, 0x8f, 0, 0xff},
        {15, 0x12345678, 0x83, 0x6980a, 0x200000ff, 0x8383, 0x345678, 0x12},
        {15, 0xffffffff, 0xff, 0x6980a, 0x200000ff, 0x8f8f, 0xffffff, 0xff},
        {15, 0, 0x12345, 0x6980a, 0x200000ff, 0x0505, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "groups " << c.groups << " mask " << std::hex << c.mask << " op " << c.op);
        sim_->clearTrace();
        EXPECT_EQ(wren_setup(regs(), c.groups, c.mask, c.op), 0);
        EXPECT_EQ(sim_->trace(), (Seq{L(status, kIdle), S(raster_mode, c.mode), S(group_control, c.group),
                                      S(raster_op, c.op_out), S(plane_mask_lo, c.lo), S(plane_mask_hi, c.hi), L(status, kIdle)}));
    }
    sim_->clearTrace();
    for (int groups : {0, 2, 3, 4, 5, 6, 9, 14, 16, 17, 31, 255, -1, -15}) EXPECT_EQ(wren_setup(regs(), groups, 0xff, 0x83), 2);
    EXPECT_TRUE(sim_->trace().empty());
    EXPECT_TRUE(sim_->faults().empty());
}

// Set-up and prefetch poll status until there is room (bits 0-11 free
// entries, four kept in reserve: nine for set-up, five for prefetch), write, then wait for idle
// (bit 25 clear); the queue credit of the fills is reduced per write and
// reloaded from status while it would leave fewer than the reserve.
TEST_F(FillTest, WaitsForRoomAndIdleAndKeepsTheCredit) {
    const struct {
        const char *what;
        std::function<void(FillTest &)> call;
        std::vector<uint32_t> status;  // the words read, scripted
        size_t before, stores;         // status reads before the first store, stores
    } cases[] = {
        {"room at the fifth read", [](FillTest &t) { wren_setup(t.regs(), 1, 0xff, 0x83); }, {8, 8, 8, 8, 10}, 5, 5},
        {"bits above 11 are not free entries", [](FillTest &t) { wren_setup(t.regs(), 1, 0xff, 0x83); },
         {0x1008, 0x2000008, 0xfff}, 3, 5},
        {"no room for 500 reads", [](FillTest &t) { wren_setup(t.regs(), 15, 0, 0x83); },
         [] { std::vector<uint32_t> v(500, 0); return v.push_back(9), v; }(), 501, 5},
        {"busy does not matter for room", [](FillTest &t) { wren_setup(t.regs(), 7, 0xffffff, 0x83); },
         {0x2000009, 0x2000009, 0x2000009, 0x40}, 1, 5},
        {"prefetch on", [](FillTest &t) { turnWren2PrefetchOn(t.regs()); }, {4, 4, 5, 0x2000005, 0x2000005}, 3, 1},
        {"prefetch off", [](FillTest &t) { turnWren2PrefetchOff(t.regs(), 0x12345); }, {4, 5, 0x2000005}, 2, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        sim_->clearTrace();
        sim_->scriptStatus(c.status);
        c.call(*this);
        const Seq &t = sim_->trace();
        size_t i = 0;
        while (i < t.size() && !t[i].store) ++i;
        EXPECT_EQ(i, c.before);
        EXPECT_EQ(sim_->scriptLeft(), 0u);
        for (size_t k = c.before; k < c.before + c.stores; ++k) ASSERT_TRUE(k < t.size() && t[k].store);
        ASSERT_GT(t.size(), c.before + c.stores);
        for (size_t k = c.before + c.stores; k < t.size(); ++k) {  // busy until the last
            EXPECT_EQ(t[k].offset, status);
            EXPECT_EQ(!t[k].store && (t[k].value & wren_val::status_busy), k + 1 < t.size());
        }
    }
    sim_->clearTrace();
    turnWren2PrefetchOn(regs());
    turnWren2PrefetchOff(regs(), 0);
    EXPECT_EQ(take(), (Seq{S(prefetch_control, 128), S(prefetch_control, 64)}));

    credit_ = 14;
    rectangle_fill(regs(), &credit_, 0, 0, 1, 1);  // 14 - 5 = 9
    rectangle_fill(regs(), &credit_, 0, 0, 1, 1);  // 4: still enough
    EXPECT_EQ(credit_, 4);
    EXPECT_EQ(sim_->statusReads(), 0u);
    sim_->scriptFree({6, 0x1003, 40});  // 6 - 5 and 3 - 5 are below the reserve
    rectangle_fill(regs(), &credit_, 0, 0, 1, 1);
    EXPECT_EQ(credit_, 35);
    EXPECT_EQ(sim_->statusReads(), 3u);
    // Block fill asks for 11, the high-resolution group write for 1, page fill for 16 and 5 per strip.
    credit_ = 100;
    block_fill_std(regs(), &credit_, 0, 0, 0, 0, 64, 64, 0);
    EXPECT_EQ(credit_, 89);
    block_fill_hires(regs(), &credit_, 0, 1, 0, 0, 64, 64, 0);
    EXPECT_EQ(credit_, 77);
    page_fill_std(regs(), &credit_, 0, 0, 70, 10, 430, 50, 0);
    EXPECT_EQ(credit_, 77 - 16 - 5 - 4 * 5);
}

}  // namespace
