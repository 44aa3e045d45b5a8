// The register seam and the simulator's register window.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "accelerator.h"
#include "wren_regs.h"

namespace {

using namespace wren_reg;

struct Sim {
    Sim() : fb8(wren_fb::line_bytes8 * 8), fb24(wren_fb::line_bytes24 * 8), a(fb8.data(), fb24.data(), 16, 8) {}
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
    int other = 0;
    void *volatile foreign = &other;
    wren_reg_write(foreign, fill_color, 1);      // not this accelerator's base
    wren_bus_attach(nullptr);
    EXPECT_EQ(s.a.faults().size(), 4u);
    EXPECT_EQ(s.a.reg(fill_color), 0u);
    EXPECT_EQ(other, 0);
}

// One table names every register; the simulator faults on exactly the
// accesses its access column forbids, naming the register.
TEST(SimBus, RegisterTableDecidesWhatAnAccessIs) {
    std::set<uint32_t> offsets;
    for (const wren_register_info &r : wren_registers) {
        EXPECT_TRUE(offsets.insert(r.offset).second) << r.name;
        EXPECT_LT(r.offset, span) << r.name;
        EXPECT_EQ(wren_register_find(r.offset), &r);
    }
#define EXPECT_ROW(id, off, acc) EXPECT_STREQ(wren_register_find(wren_reg::id)->name, #id);
    WREN_REGISTERS(EXPECT_ROW)
#undef EXPECT_ROW
    EXPECT_EQ(wren_register_find(fill_p0 + 2), nullptr);

    for (const wren_register_info &r : wren_registers) {
        Sim s;
        wren_bus_attach(s.a.bus());
        (void)wren_reg_read(s.a.registerBase(), r.offset);
        wren_reg_write(s.a.registerBase(), r.offset, 0);
        wren_bus_attach(nullptr);
        std::ostringstream named;
        named << " register " << r.name << " (0x" << std::hex << r.offset << ")";
        auto faulted = [&](const std::string &what) {
            return std::count(s.a.faults().begin(), s.a.faults().end(), what + named.str());
        };
        EXPECT_EQ(faulted("load of write-only"), r.access == wren_access::write_only) << r.name;
        EXPECT_EQ(faulted("store to read-only"), r.access == wren_access::read_only) << r.name;
    }
}

TEST(SimBus, RectangleFillOutsideTheScreenIsClipped) {
    Sim s;
    wren_bus_attach(s.a.bus());
    void *base = s.a.registerBase();
    wren_reg_write(base, group_control, wren_val::group_fill8);
    wren_reg_write(base, raster_op, wren_val::rop_copy);
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
        for (int x = 0; x < wren_fb::line_bytes8; ++x) {
            const bool in = (y == 2 && x < 3) || (y >= 6 && x >= 10 && x < 16);
            ASSERT_EQ(s.fb8[size_t(y) * wren_fb::line_bytes8 + x], in ? 0xab : 0) << x << "," << y;
        }
}

}  // namespace
