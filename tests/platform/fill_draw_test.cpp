// Fills drawn by the simulated accelerator: every method, screen mode and
// board generation covers exactly the requested rectangle, under the plane mask.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "accelerator.h"
#include "wren_fill.h"

namespace {

using namespace wren_reg;
using wsim::FillRecord;

constexpr int kW = 1024, kH = 96;
constexpr int kLb8 = wren_fb::line_bytes8, kLb24 = wren_fb::line_bytes24;

class FillDrawTest : public ::testing::Test {
protected:
    FillDrawTest() : fb8_(kLb8 * kH), fb24_(kLb24 * kH) {
        std::mt19937 g(7);
        for (auto &b : fb8_) b = static_cast<uint8_t>(g());
        for (auto &b : fb24_) b = static_cast<uint8_t>(g());
        want8_ = fb8_;
        want24_ = fb24_;
        sim_ = std::make_unique<wsim::Accelerator>(fb8_.data(), fb24_.data(), kW, kH);
        wren_bus_attach(sim_->bus());
    }
    ~FillDrawTest() override { wren_bus_attach(nullptr); }
    void *regs() { return sim_->registerBase(); }

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
            for (int c = x; c < x + w; ++c) {
                if (depth == 8) {
                    uint8_t &b = want8_[size_t(r) * kLb8 + c];
                    b = uint8_t((b & ~mask) | (color & mask & 0xff));
                } else {
                    for (int k = 0; k < 4; ++k) {
                        const int sh = 24 - 8 * k;
                        uint8_t &b = want24_[size_t(r) * kLb24 + size_t(c) * 4 + k];
                        b = uint8_t((b & ~(mask >> sh)) | ((color & mask) >> sh));
                    }
                }
            }
    }
    ::testing::AssertionResult same() {
        for (size_t i = 0; i < fb8_.size(); ++i)
            if (fb8_[i] != want8_[i])
                return ::testing::AssertionFailure() << "8-bit pixel (" << i % kLb8 << ", " << i / kLb8 << ")";
        for (size_t i = 0; i < fb24_.size(); ++i)
            if (fb24_[i] != want24_[i])
                return ::testing::AssertionFailure() << "24-bit pixel (" << i % kLb24 / 4 << ", " << i / kLb24
                                                     << ") byte " << i % 4;
        return ::testing::AssertionSuccess();
    }

    std::vector<uint8_t> fb8_, fb24_, want8_, want24_;
    std::unique_ptr<wsim::Accelerator> sim_;
    long credit_ = 0;
};

TEST_F(FillDrawTest, RandomRectanglesEveryMethodModeAndBoard) {
    std::mt19937 g(20261206);
    credit_ = wren_queue_free(regs());
    for (int first = 0; first < 2; ++first)
        for (int mode = 0; mode < 4; ++mode)  // standard, stereo, high resolution, both
            for (int method = 0; method < 3; ++method)
                for (int forbid = 0; forbid < 2; ++forbid) {
                    const bool stereo = mode & 1, hires = mode & 2;
                    if (first && stereo && !hires && method == 2 && !forbid) continue;  // traced only, below
                    sim_->setScreenMode(stereo, hires);
                    sim_->setFirstGeneration(first);
                    int board[64] = {first ? 0x00 : 0x40, 0, 0, 0, forbid ? 0x2 : 0};
                    for (int it = 0; it < 12; ++it) {
                        int x = int(g() % kW), y = int(g() % kH);
                        int w = int(g() % (kW - x + 1)), h = int(g() % (kH - y + 1));
                        if (it % 3 == 0) {  // large enough for pages
                            x = int(g() % 200), y = int(g() % 20);
                            w = kW - x - int(g() % 100), h = kH - y - int(g() % 20);
                        }
                        const int depth = g() % 2 ? 8 : 24;
                        const uint32_t color = g(), mask = depth == 8 ? g() & 0xff : g();
                        SCOPED_TRACE(::testing::Message() << "first " << first << " mode " << mode << " method "
                                                          << method << " forbid " << forbid << " depth " << depth
                                                          << " rect " << x << "," << y << " " << w << "x" << h);
                        sim_->clearFills();
                        program(depth, color, mask);
                        wren_fast_fill(method, regs(), &credit_, stereo, hires, board, x, y, w, h);
                        expect(depth, x, y, w, h, color, mask);
                        ASSERT_TRUE(same());
                        ASSERT_EQ(sim_->faults(), std::vector<std::string>{});
                        long long area = 0;
                        for (const FillRecord &f : sim_->fills()) {
                            EXPECT_TRUE(f.drawn);
                            EXPECT_EQ(f.depth, depth);
                            if (f.kind == FillRecord::Pages) {
                                EXPECT_TRUE(method == 2 && !forbid);
                            }
                            if (f.kind != FillRecord::Rect) {
                                EXPECT_NE(method, 0);
                            }
                            area += (long long)f.w * f.h;
                        }
                        EXPECT_EQ(area, (long long)w * h) << "fills overlap or leave gaps";
                    }
                }
}

TEST_F(FillDrawTest, FirstGenerationStereoPagesAreTracedOnly) {
    sim_->setScreenMode(true, false);
    sim_->setFirstGeneration(true);
    int board[64] = {0};
    credit_ = 100;
    program(8, 0x5a, 0xff);
    wren_fast_fill(2, regs(), &credit_, 1, 0, board, 75, 6, 600, 50);
    // The borders are rectangle fills and drawn; the interior pages only traced.
    int pages = 0;
    for (const FillRecord &f : sim_->fills()) {
        if (f.kind == FillRecord::Pages) {
            ++pages;
            EXPECT_FALSE(f.drawn);
        } else {
            EXPECT_EQ(f.kind, FillRecord::Rect);
            EXPECT_TRUE(f.drawn);
            expect(8, f.x, f.y, f.w, f.h, 0x5a, 0xff);
        }
    }
    EXPECT_GT(pages, 0);
    EXPECT_TRUE(same());
    EXPECT_TRUE(sim_->faults().empty());
}

}  // namespace
