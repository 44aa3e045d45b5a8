// The register seam and the simulator's register window.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <memory>
#include <vector>

#include "accelerator.h"
#include "wren_regs.h"

namespace {

using namespace wren_reg;

struct Sim {
    Sim() : fb8(2048 * 8), fb24(8192 * 8), a(fb8.data(), fb24.data(), 16, 8) {}
    std::vector<uint8_t> fb8, fb24;
    wsim::Accelerator a;
};

TEST(SimBus, WithoutAHookAccessIsPlainMemory) {
    wren_bus_attach(nullptr);
    const size_t bytes = span;
    void *mem = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    wren_reg_write(mem, fill_color, 0x12345678);
    wren_reg_write(mem, draw_op, 9);
    EXPECT_EQ(*reinterpret_cast<uint32_t *>(static_cast<char *>(mem) + fill_color), 0x12345678u);
    *reinterpret_cast<uint32_t *>(static_cast<char *>(mem) + status) = 0x2000000 | 33;
    EXPECT_EQ(wren_queue_free(mem), 33);
    EXPECT_EQ(wren_reg_read(mem, draw_op), 9u);
    munmap(mem, bytes);
}

TEST(SimBus, HookSeesEveryAccessAndDetaches) {
    Sim s;
    wren_bus_attach(s.a.bus());
    wren_reg_write(s.a.registerBase(), map_slope, 7);
    EXPECT_EQ(wren_reg_read(s.a.registerBase(), status), wsim::Accelerator::kDefaultFree);
    wren_bus_attach(nullptr);
    const std::vector<wsim::RegAccess> want = {{map_slope, 7, true}, {status, wsim::Accelerator::kDefaultFree, false}};
    EXPECT_EQ(s.a.trace(), want);
    EXPECT_EQ(s.a.reg(map_slope), 7u);
    wren_bus incomplete{&s.a, nullptr, nullptr};  // no functions: same as detaching
    wren_bus_attach(&incomplete);
    EXPECT_EQ(wren_bus_active, nullptr);
}

TEST(SimBus, StrayPlainAccessFaults) {
    Sim s;
    wren_bus_attach(nullptr);
    volatile uint32_t *p = reinterpret_cast<volatile uint32_t *>(static_cast<char *>(s.a.registerBase()) + status);
    EXPECT_DEATH((void)*p, "");
}

TEST(SimBus, BadAccessesAreReportedNotExecuted) {
    Sim s;
    wren_bus_attach(s.a.bus());
    void *base = s.a.registerBase();
    wren_reg_write(base, 0x4000004, 1);          // no register there
    wren_reg_write(base, fill_p0 + 2, 1);        // misaligned
    wren_reg_write(base, 0x7ffffff0, 1);         // far outside the window
    (void)wren_reg_read(base, fill_color);       // write-only
    wren_reg_write(base, status, 5);             // read-only
    int other = 0;
    void *volatile foreign = &other;
    wren_reg_write(foreign, fill_color, 1);      // not this accelerator's base
    wren_bus_attach(nullptr);
    EXPECT_EQ(s.a.faults().size(), 6u);
    EXPECT_EQ(s.a.reg(fill_color), 0u);
    EXPECT_EQ(other, 0);
}

TEST(SimBus, RectangleFillOutsideTheScreenIsClipped) {
    Sim s;
    wren_bus_attach(s.a.bus());
    void *base = s.a.registerBase();
    wren_reg_write(base, group_control, 0x20000057);
    wren_reg_write(base, raster_op, 0x83);
    wren_reg_write(base, fill_color, 0xab);
    wren_reg_write(base, draw_op, 8);
    const int rects[][4] = {{-5, 2, 8, 1}, {10, 6, 100, 100}, {2000, 0, 1000, 8}, {-100000, -5, 200000, 3}};
    for (auto &r : rects) {
        wren_reg_write(base, fill_p0, uint32_t(r[1]));
        wren_reg_write(base, fill_p1, uint32_t(r[0]));
        wren_reg_write(base, fill_p4, uint32_t(r[3]));
        wren_reg_write(base, fill_p5, uint32_t(r[2]));
    }
    wren_bus_attach(nullptr);
    EXPECT_EQ(s.a.faults().size(), 4u);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 2048; ++x) {
            const bool in = (y == 2 && x < 3) || (y >= 6 && x >= 10 && x < 16);
            ASSERT_EQ(s.fb8[size_t(y) * 2048 + x], in ? 0xab : 0) << x << "," << y;
        }
}

}  // namespace
