// Register sequences of the rectangle, block and page fills.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "accelerator.h"
#include "wren_fill.h"

namespace {

using wsim::RegAccess;
using namespace wren_reg;
using Seq = std::vector<RegAccess>;

RegAccess S(uint32_t off, uint32_t v) { return {off, v, true}; }

Seq rect(int x, int y, int w, int h) {
    return {S(draw_op, 8), S(fill_p0, y), S(fill_p1, x), S(fill_p4, h), S(fill_p5, w)};
}
Seq sizeStep(uint32_t code, uint32_t h, uint32_t w) {
    return {S(fill_p0, code), S(fill_p2, 0), S(fill_p3, 0), S(fill_p4, h), S(fill_p5, w)};
}
Seq step(uint32_t code, int x, int y, int hfield, int wfield, bool last) {
    return {S(fill_p0, code), S(fill_p2, y), S(fill_p3, x), S(fill_p4, hfield),
            S(last ? fill_p1 : fill_p5, wfield)};
}
Seq cat(std::initializer_list<Seq> parts) {
    Seq s;
    for (const Seq &p : parts) s.insert(s.end(), p.begin(), p.end());
    return s;
}

class FillSeqTest : public ::testing::Test {
protected:
    FillSeqTest() : fb8_(wren_fb::line_bytes8 * 64), fb24_(wren_fb::line_bytes24 * 64) {
        sim_ = std::make_unique<wsim::Accelerator>(fb8_.data(), fb24_.data(), wren_fb::max_width, 64);
        wren_bus_attach(sim_->bus());
    }
    ~FillSeqTest() override { wren_bus_attach(nullptr); }
    void *regs() { return sim_->registerBase(); }
    Seq take() {
        Seq s = sim_->stores();
        sim_->clearTrace();
        return s;
    }

    std::vector<uint8_t> fb8_, fb24_;
    std::unique_ptr<wsim::Accelerator> sim_;
    long credit_ = 1000;
    int later_[64] = {0x20};
    int first_[64] = {0x00};
};

// Worked sequences, in order: the step list keeps what earlier rows left.
TEST_F(FillSeqTest, WorkedSequences) {
    using R = void *;
    using C = long *;
    static int pageless[64] = {0x20, 0, 0, 0, 0x2}, bit0[64] = {0x20, 0, 0, 0, 0x1};
    const struct {
        const char *what;
        std::function<void(R, C)> call;
        Seq want;
    } rows[] = {
        {"rectangle", [](R r, C c) { rectangle_fill(r, c, 17, 5, 33, 2); }, rect(17, 5, 33, 2)},
        {"zero area still issues the sequence", [](R r, C c) { rectangle_fill(r, c, 3, 4, 0, 0); }, rect(3, 4, 0, 0)},
        {"block fill carries the misalignment", [](R r, C c) { block_fill_std(r, c, 0, 0, 13, 6, 40, 8, 0); },
         cat({{S(draw_op, 9)}, sizeStep(3, 4, 32), step(2, 13, 6, 10, 45, true)})},
        {"stereo block fill", [](R r, C c) { block_fill_stereo(r, c, 1, 0, 13, 7, 40, 8, 0); },
         cat({{S(draw_op, 9)}, sizeStep(3, 2, 32), step(2, 13, 7, 9, 45, true)})},
        {"high resolution trims columns to eights", [](R r, C c) { block_fill_hires(r, c, 0, 1, 3, 6, 100, 10, 0); },
         cat({rect(3, 6, 5, 10), rect(96, 6, 7, 10), {S(group_control, 0x60000000)}, {S(draw_op, 9)},
              sizeStep(3, 4, 64), step(2, 8, 6, 12, 96, true)})},
        {"narrow: after trimming 8 x 10 < 128 is a rectangle",
         [](R r, C c) { block_fill_hires(r, c, 0, 1, 5, 0, 17, 10, 0); },
         cat({rect(5, 0, 3, 10), rect(16, 0, 6, 10), rect(8, 0, 8, 10)})},
        {"nothing left after the leading columns", [](R r, C c) { block_fill_hires(r, c, 0, 1, 1, 0, 5, 40, 0); },
         rect(1, 0, 5, 40)},
        {"aligned page fill has no strips", [](R r, C c) { page_fill_std(r, c, 0, 0, 160, 32, 320, 32, 0); },
         cat({{S(draw_op, 9)}, sizeStep(3, 4, 32), sizeStep(4, 16, 320), step(1, 160, 32, 32, 320, true)})},
        // x 70..500, y 10..60: pages 80..480 x 16..48.
        {"page fill strips left, right, top, bottom", [](R r, C c) { page_fill_std(r, c, 0, 0, 70, 10, 430, 50, 0); },
         cat({{S(draw_op, 9)}, sizeStep(3, 4, 32), sizeStep(4, 16, 320), step(1, 80, 16, 32, 400, true),
              sizeStep(3, 4, 32), step(2, 70, 10, 50 + 2, 10 + 6, false), step(2, 480, 10, 50 + 2, 20 + 0, false),
              step(2, 80, 10, 6 + 2, 400 + 0, false), step(2, 80, 48, 12 + 0, 400 + 0, true)})},
        {"below the page threshold: block fill of the whole",
         [](R r, C c) { page_fill_std(r, c, 0, 0, 70, 10, 430, 20, 0); },
         cat({{S(draw_op, 9)}, sizeStep(3, 4, 32), step(2, 70, 10, 22, 436, true)})},
        // x 5..700: trims 5..8 and 696..700; pages 160..640 x 0..32; strips 8..160 and 640..696.
        {"high-resolution page fill", [](R r, C c) { page_fill_hires(r, c, 0, 1, 5, 0, 695, 32, 0); },
         cat({rect(5, 0, 3, 32), rect(696, 0, 4, 32), {S(group_control, 0x60000000)}, {S(draw_op, 9)},
              sizeStep(3, 4, 64), sizeStep(4, 16, 640), step(1, 160, 0, 32, 480, true), sizeStep(3, 4, 64),
              step(2, 8, 0, 32, 152 + 8, false), step(2, 640, 0, 32, 56, true)})},
        {"480 x 16 pages are below the threshold: high-resolution block fill",
         [](R r, C c) { page_fill_hires(r, c, 0, 1, 5, 0, 695, 16, 0); },
         cat({rect(5, 0, 3, 16), rect(696, 0, 4, 16), {S(group_control, 0x60000000)}, {S(draw_op, 9)},
              sizeStep(3, 4, 64), step(2, 8, 0, 16, 688 + 8, true)})},
        {"page request on a board without pages", [](R r, C c) { wren_fast_fill(2, r, c, 0, 0, pageless, 0, 0, 640, 64); },
         cat({{S(draw_op, 9)}, sizeStep(3, 4, 32), step(2, 0, 0, 64, 640, true)})},
        {"only bit 1 forbids pages", [](R r, C c) { wren_fast_fill(2, r, c, 0, 0, bit0, 0, 0, 640, 64); },
         cat({{S(draw_op, 9)}, sizeStep(3, 4, 32), sizeStep(4, 16, 320), step(1, 0, 0, 64, 640, true)})},
        // Pages 80..240 x 8..16 (pw 160, ph 8: 1280), borders by rectangle fills. Row 8: parity
        // (8 >> 2) & 2 = 2, a = 3; column 80 gives b 3 (X 1200), column 160 b 0 (X 960).
        {"first-generation stereo page fill", [](R r, C c) { page_fill_stereo_wren1(r, c, 75, 6, 170, 10); },
         cat({{S(draw_op, 9)}, sizeStep(3, 4, 32), sizeStep(4, 16, 320), step(1, 1200, 0, 16, 80, false),
              step(1, 960, 0, 16, 80, true), rect(75, 6, 5, 10), rect(240, 6, 5, 10), rect(80, 6, 160, 2)})},
        {"one page short of 1280: rectangle fill", [](R r, C c) { page_fill_stereo_wren1(r, c, 80, 8, 159, 8); },
         rect(80, 8, 159, 8)},
        {"adjacent pages wait in the step list",
         [](R r, C c) {
             SpfInitSeq();
             SpfIssueStep(r, c, 0, 0, 1);  // Y 0, X 0
             SpfIssueStep(r, c, 0, 1, 1);  // X 80: adjacent
         },
         {}},
        {"and are flushed as one", [](R r, C c) { SpfFlushSeq(r, c); },
         cat({sizeStep(3, 4, 32), sizeStep(4, 16, 320), step(1, 0, 0, 16, 160, true)})},
        {"nothing pending", [](R r, C c) { SpfFlushSeq(r, c); }, {}},
        {"a full step list is flushed",
         [](R r, C c) {
             SpfInitSeq();
             SpfIssueStep(r, c, 0, 0, 1);  // (0, 0)
             SpfIssueStep(r, c, 4, 0, 2);  // Y 16, X (0 ^ 2) * 80 = 160, width 160
             SpfIssueStep(r, c, 4, 1, 1);  // X 240 is not 160 + 160: new entry
             SpfIssueStep(r, c, 5, 0, 1);  // Y 16, X 320 + 160 = 480: new, list was full
         },
         cat({sizeStep(3, 4, 32), sizeStep(4, 16, 320), step(1, 0, 0, 16, 80, false), step(1, 160, 16, 16, 160, false),
              step(1, 240, 16, 16, 80, true)})},
        {"with the last entry left", [](R r, C c) { SpfFlushSeq(r, c); },
         cat({sizeStep(3, 4, 32), sizeStep(4, 16, 320), step(1, 480, 16, 16, 80, true)})},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        row.call(regs(), &credit_);
        EXPECT_EQ(take(), row.want);
    }
}

TEST_F(FillSeqTest, BlockThresholdsByModeAndGeneration) {
    struct {
        void (*fill)(void *, long *, int, int, int, int, int, int, int);
        int fg, w, h;
        bool blocks;
    } cases[] = {
        {block_fill_std, 0, 10, 12, false},  {block_fill_std, 0, 11, 12, true},
        {block_fill_std, 1, 19, 20, false},  {block_fill_std, 1, 20, 20, true},
        {block_fill_stereo, 0, 79, 1, false}, {block_fill_stereo, 0, 80, 1, true},
        {block_fill_stereo, 1, 1, 1, true},  {block_fill_hires, 0, 8, 15, false},
        {block_fill_hires, 0, 16, 8, true},   {block_fill_hires, 1, 8, 1, true},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h << " fg " << c.fg);
        c.fill(regs(), &credit_, 0, 0, 64, 8, c.w, c.h, c.fg);
        Seq s = take();
        ASSERT_FALSE(s.empty());
        EXPECT_EQ(s.back().offset, c.blocks ? fill_p1 : fill_p5);
        EXPECT_EQ(s == rect(64, 8, c.w, c.h), !c.blocks);
    }
}

// wren_fast_fill issues exactly what the routine for the board and mode issues.
TEST_F(FillSeqTest, DispatchByBoardModeAndMethod) {
    using Fill = void (*)(void *, long *, int, int, int, int, int, int, int);
    using Fill1 = void (*)(void *, long *, int, int, int, int);
    struct Case {
        bool first;
        int stereo, hires, method;
        Fill fill;   // with first_generation below
        Fill1 fill1; // first-generation stereo routines
        int fg;
    } cases[] = {
        {true, 0, 1, 1, nullptr, rectangle_fill, 0},  {true, 0, 1, 2, nullptr, rectangle_fill, 0},
        {true, 1, 1, 2, nullptr, rectangle_fill, 0},  {true, 1, 0, 0, nullptr, rectangle_fill, 0},
        {true, 1, 0, 1, nullptr, block_fill_stereo_wren1, 0},
        {true, 1, 0, 2, nullptr, page_fill_stereo_wren1, 0},
        {true, 0, 0, 1, block_fill_std, nullptr, 1},  {true, 0, 0, 2, page_fill_std, nullptr, 1},
        {false, 0, 0, 0, nullptr, rectangle_fill, 0}, {false, 0, 0, 1, block_fill_std, nullptr, 0},
        {false, 0, 0, 2, page_fill_std, nullptr, 0},  {false, 1, 0, 1, block_fill_stereo, nullptr, 0},
        {false, 1, 0, 2, page_fill_stereo, nullptr, 0}, {false, 0, 1, 1, block_fill_hires, nullptr, 0},
        {false, 1, 1, 2, page_fill_hires, nullptr, 0},
    };
    const int rects[][4] = {{3, 5, 900, 40}, {80, 16, 640, 32}, {7, 1, 30, 20}, {0, 0, 3, 2}};
    for (const Case &c : cases)
        for (auto &r : rects) {
            SCOPED_TRACE(::testing::Message() << "first " << c.first << " stereo " << c.stereo << " hires "
                                              << c.hires << " method " << c.method << " rect " << r[0] << ","
                                              << r[1] << " " << r[2] << "x" << r[3]);
            wren_fast_fill(c.method, regs(), &credit_, c.stereo, c.hires, c.first ? first_ : later_, r[0], r[1],
                           r[2], r[3]);
            Seq got = take();
            if (c.fill)
                c.fill(regs(), &credit_, c.stereo, c.hires, r[0], r[1], r[2], r[3], c.fg);
            else
                c.fill1(regs(), &credit_, r[0], r[1], r[2], r[3]);
            EXPECT_EQ(got, take());
        }
    wren_fast_fill(3, regs(), &credit_, 0, 0, later_, 0, 0, 10, 10);
    wren_fast_fill(-1, regs(), &credit_, 0, 0, later_, 0, 0, 10, 10);
    EXPECT_TRUE(take().empty());
}

TEST_F(FillSeqTest, CreditIsReducedAndReloadedFromStatus) {
    credit_ = 14;
    sim_->clearTrace();
    rectangle_fill(regs(), &credit_, 0, 0, 1, 1);  // 14 - 5 = 9
    EXPECT_EQ(credit_, 9);
    rectangle_fill(regs(), &credit_, 0, 0, 1, 1);  // 4: still enough
    EXPECT_EQ(credit_, 4);
    EXPECT_EQ(sim_->statusReads(), 0u);
    sim_->scriptFree({6, 0x1003, 40});  // 6 - 5 and 3 - 5 are below the reserve
    rectangle_fill(regs(), &credit_, 0, 0, 1, 1);
    EXPECT_EQ(credit_, 35);
    EXPECT_EQ(sim_->statusReads(), 3u);
    const auto &t = sim_->trace();
    ASSERT_EQ(t.size(), 10u + 3u + 5u);
    for (size_t i = 10; i < 13; ++i) EXPECT_FALSE(t[i].store);
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
