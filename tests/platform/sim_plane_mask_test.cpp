// Processor writes into a locked window pass the plane mask of the raster set-up.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "machine.h"
#include "wca.h"
#include "wren_fill.h"

namespace {

using namespace wren_reg;

class PlaneMaskTest : public ::testing::Test {
protected:
    PlaneMaskTest() : m_(opts()) {
        m_.attach(&wren_bus_attach);
        std::mt19937 g(11);
        for (size_t i = 0; i < m_.screen().frameBuffer8Size(); ++i) m_.screen().frameBuffer8()[i] = uint8_t(g());
        for (size_t i = 0; i < m_.screen().frameBuffer24Size(); ++i) m_.screen().frameBuffer24()[i] = uint8_t(g());
    }
    static wsim::MachineOptions opts() {
        wsim::MachineOptions o;
        o.width = 320;
        o.height = 120;
        return o;
    }
    unsigned long *regs() { return static_cast<unsigned long *>(m_.accel().registerBase()); }
    std::vector<uint8_t> fb(int depth) {
        auto &s = m_.screen();
        return depth == 8 ? std::vector<uint8_t>(s.frameBuffer8(), s.frameBuffer8() + s.frameBuffer8Size())
                          : std::vector<uint8_t>(s.frameBuffer24(), s.frameBuffer24() + s.frameBuffer24Size());
    }

    wsim::Machine m_;
};

// Byte mask of byte k of a pixel for an effective plane mask.
uint8_t byteMask(int depth, uint32_t pm, int k) { return depth == 8 ? uint8_t(pm) : uint8_t(pm >> (24 - 8 * k)); }

uint32_t effective(int groups, uint32_t mask) {
    switch (groups) {
    case 1: return mask & 0xff;
    case 7: return mask & 0xffffff;
    case 8: return (mask & 0xff) << 24;
    default: return mask;
    }
}

TEST_F(PlaneMaskTest, ProtectedBytesKeepTheirValue) {
    std::mt19937 g(5);
    struct {
        int depth, groups;
        uint32_t mask;
    } cases[] = {{8, 1, 0xff},       {8, 1, 0x0f},       {8, 1, 0},           {24, 7, 0x00ff00ff},
                 {24, 7, 0xffffffff}, {24, 8, 0xff},      {24, 15, 0x12ff00f0}, {24, 15, 0xffffffff},
                 {24, 7, 0x00f0f0f0}, {8, 15, 0x5a}};
    for (auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "depth " << c.depth << " groups " << c.groups << " mask " << std::hex
                                          << c.mask);
        const int id = m_.screen().createWindow(c.depth, 30, 20, 150, 60);
        ASSERT_GT(id, 0);
        wca::Window *w = m_.screen().window(id);
        std::vector<uint8_t> want = fb(c.depth);
        ASSERT_EQ(wca_win_lock(w->handle()), WCA_OK);
        ASSERT_EQ(wren_setup(regs(), c.groups, c.mask, wren_val::rop_copy), 0);
        const uint32_t pm = effective(c.groups, c.mask);
        const int bpp = w->pixelBytes(), lb = w->lineBytes();
        // Random processor writes anywhere in the window, some bytes twice.
        for (int n = 0; n < 4000; ++n) {
            const int x = 30 + int(g() % 150), y = 20 + int(g() % 60), k = int(g() % bpp);
            const size_t at = size_t(y) * lb + size_t(x) * bpp + k;
            const uint8_t v = uint8_t(g()), m = byteMask(c.depth, pm, k);
            w->frameBuffer()[at] = v;
            want[at] = uint8_t((v & m) | (want[at] & ~m));
        }
        ASSERT_EQ(wca_win_unlock(w->handle()), WCA_OK);
        EXPECT_TRUE(fb(c.depth) == want);
        ASSERT_TRUE(m_.screen().destroyWindow(id));
    }
    EXPECT_TRUE(m_.accel().faults().empty());
}

TEST_F(PlaneMaskTest, EachWriteUsesTheMaskInEffectWhenItWasMade) {
    const int id = m_.screen().createWindow(24, 0, 0, 64, 8);
    wca::Window *w = m_.screen().window(id);
    uint8_t *px = w->frameBuffer() + wren_fb::line_bytes24 * 3 + 4 * 5;  // pixel (5, 3)
    uint8_t old[4];
    std::memcpy(old, px, 4);
    wca_win_lock(w->handle());
    wca_win_lock(w->handle());  // nested: only the outermost unlock ends the writes
    wren_setup(regs(), 7, 0x00ff0000, wren_val::rop_copy);
    std::memset(px, 0x11, 4);
    wren_setup(regs(), 7, 0x000000ff, wren_val::rop_copy);
    std::memset(px, 0x22, 4);
    wca_win_unlock(w->handle());
    EXPECT_EQ(px[3], 0x22);  // still locked: nothing merged yet for the current mask
    wca_win_unlock(w->handle());
    const uint8_t want[4] = {old[0], 0x11, old[2], 0x22};
    EXPECT_EQ(std::memcmp(px, want, 4), 0) << int(px[0]) << " " << int(px[1]) << " " << int(px[2]) << " "
                                           << int(px[3]);
}

TEST_F(PlaneMaskTest, AcceleratorFillsAreNotUndoneByTheMask) {
    const int id = m_.screen().createWindow(8, 10, 10, 100, 50);
    wca::Window *w = m_.screen().window(id);
    wca_win_lock(w->handle());
    ASSERT_EQ(wren_setup(regs(), 1, 0x00, wren_val::rop_copy), 0);  // processor writes blocked
    uint8_t *row = w->frameBuffer() + wren_fb::line_bytes8 * 12;
    std::memset(row + 20, 0x99, 10);
    long credit = 100;
    wren_credit(regs(), &credit, 6);
    wren_reg_write(regs(), group_control, wren_val::group_fill8);
    wren_reg_write(regs(), raster_mode, wren_val::mode_fill);
    wren_reg_write(regs(), raster_op, wren_val::rop_copy);
    wren_reg_write(regs(), plane_mask_lo, 0xff);
    wren_reg_write(regs(), plane_mask_hi, 0);
    wren_reg_write(regs(), fill_color, 0x42);
    rectangle_fill(regs(), &credit, 40, 12, 5, 1);
    wca_win_unlock(w->handle());
    for (int x = 20; x < 30; ++x) EXPECT_NE(row[x], 0x99) << x;  // made under mask 0
    for (int x = 40; x < 45; ++x) EXPECT_EQ(row[x], 0x42) << x;
    EXPECT_TRUE(m_.accel().faults().empty());
}

// Windows with rows on screen but no column (or the other way round) have
// nothing to snapshot; locking and unlocking them is harmless.
TEST_F(PlaneMaskTest, WindowsWithNothingOnScreenLockAndUnlock) {
    const struct {
        int depth, x, y, w, h;
    } cases[] = {{8, -60, 10, 50, 10}, {24, -60, 10, 50, 10}, {8, 320, 10, 50, 10}, {24, 10, -60, 50, 10},
                 {8, 10, 120, 50, 10}, {24, -60, -60, 50, 50}, {8, -1, 0, 1, 120}};
    const std::vector<uint8_t> fb8 = fb(8), fb24 = fb(24);
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "depth " << c.depth << " at " << c.x << ", " << c.y);
        const int id = m_.screen().createWindow(c.depth, c.x, c.y, c.w, c.h);
        ASSERT_GT(id, 0);
        wca::Window *w = m_.screen().window(id);
        ASSERT_EQ(wca_win_lock(w->handle()), WCA_OK);
        ASSERT_EQ(wren_setup(regs(), c.depth == 8 ? 1 : 7, 0x00ffffff, 0x83), 0);
        ASSERT_EQ(wca_win_unlock(w->handle()), WCA_OK);
        EXPECT_FALSE(w->locked());
        ASSERT_TRUE(m_.screen().destroyWindow(id));
    }
    EXPECT_TRUE(fb(8) == fb8);
    EXPECT_TRUE(fb(24) == fb24);
    EXPECT_TRUE(m_.accel().faults().empty());
}

}  // namespace
