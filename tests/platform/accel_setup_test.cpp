// Raster set-up and read prefetch, checked against the accelerator's trace.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "accelerator.h"
#include "wren_regs.h"

namespace {

using wsim::RegAccess;
using namespace wren_reg;

RegAccess S(uint32_t off, uint32_t v) { return {off, v, true}; }
RegAccess L(uint32_t off, uint32_t v) { return {off, v, false}; }

constexpr uint32_t kIdle = wsim::Accelerator::kDefaultFree;

class SetupTest : public ::testing::Test {
protected:
    SetupTest() : fb8_(wren_fb::line_bytes8 * 16), fb24_(wren_fb::line_bytes24 * 16) {
        sim_ = std::make_unique<wsim::Accelerator>(fb8_.data(), fb24_.data(), 64, 16);
        wren_bus_attach(sim_->bus());
    }
    ~SetupTest() override { wren_bus_attach(nullptr); }
    unsigned long *base() { return static_cast<unsigned long *>(sim_->registerBase()); }

    std::vector<uint8_t> fb8_, fb24_;
    std::unique_ptr<wsim::Accelerator> sim_;
};

struct SetupCase {
    int groups;
    unsigned long mask, op;
    uint32_t mode, group, op_out, lo, hi;
};

TEST_F(SetupTest, WritesTheRasterStateOfEachGroupInOrder) {
    const SetupCase cases[] = {
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
    for (const SetupCase &c : cases) {
        SCOPED_TRACE(::testing::Message() << "groups " << c.groups << " mask " << std::hex << c.mask << " op " << c.op);
        sim_->clearTrace();
        EXPECT_EQ(wren_setup(base(), c.groups, c.mask, c.op), 0);
        const std::vector<RegAccess> want = {
            L(status, kIdle),       S(raster_mode, c.mode), S(group_control, c.group), S(raster_op, c.op_out),
            S(plane_mask_lo, c.lo), S(plane_mask_hi, c.hi), L(status, kIdle)};
        EXPECT_EQ(sim_->trace(), want);
    }
    EXPECT_TRUE(sim_->faults().empty());
}

TEST_F(SetupTest, RefusedGroupsTouchNoRegister) {
    for (int groups : {0, 2, 3, 4, 5, 6, 9, 14, 16, 17, 31, 255, -1, -15}) {
        SCOPED_TRACE(groups);
        EXPECT_EQ(wren_setup(base(), groups, 0xff, 0x83), 2);
    }
    EXPECT_TRUE(sim_->trace().empty());
    EXPECT_EQ(sim_->statusReads(), 0u);
}

// Index of the first store in the trace.
size_t firstStore(const std::vector<RegAccess> &t) {
    for (size_t i = 0; i < t.size(); ++i)
        if (t[i].store) return i;
    return t.size();
}

TEST_F(SetupTest, PollsUntilNineEntriesAreFree) {
    struct {
        std::vector<uint32_t> status;  // words read before room is found
        size_t reads;                  // status reads before the first write
    } cases[] = {
        {{9}, 1},
        {{8, 9}, 2},
        {{8, 8, 8, 8, 8, 10}, 6},
        {{0x1008, 0x2000008, 9}, 3},          // bits above 11 are not free entries
        {{0x2000009}, 1},                     // busy does not matter for room
        {{0xfff}, 1},
    };
    for (auto &c : cases) {
        sim_->clearTrace();
        sim_->scriptStatus(c.status);
        ASSERT_EQ(wren_setup(base(), 1, 0xff, 0x83), 0);
        EXPECT_EQ(firstStore(sim_->trace()), c.reads);
        EXPECT_EQ(sim_->scriptLeft(), 0u);
    }
}

TEST_F(SetupTest, ZeroFreeEntriesKeepEveryRoutinePolling) {
    auto run = [&](auto &&routine) {
        sim_->clearTrace();
        sim_->scriptStatus(std::vector<uint32_t>(500, 0));
        sim_->scriptFree({9});
        routine();
        EXPECT_EQ(firstStore(sim_->trace()), 501u);
    };
    run([&] { wren_setup(base(), 15, 0, 0x83); });
    run([&] { turnWren2PrefetchOn(base()); });
    run([&] { turnWren2PrefetchOff(base(), 0); });
}

TEST_F(SetupTest, WaitsUntilIdleAfterWriting) {
    for (int busy : {0, 1, 7}) {
        sim_->clearTrace();
        sim_->scriptFree({100});
        sim_->scriptBusy(busy);
        ASSERT_EQ(wren_setup(base(), 7, 0xffffff, 0x83), 0);
        const auto &t = sim_->trace();
        ASSERT_EQ(t.size(), 1u + 5u + busy + 1u);
        for (size_t i = 6; i < t.size(); ++i) {
            EXPECT_FALSE(t[i].store);
            EXPECT_EQ(t[i].offset, status);
        }
        EXPECT_FALSE(t.back().value & 0x2000000);
    }
}

TEST_F(SetupTest, PrefetchWritesOneValueBetweenRoomAndIdle) {
    struct {
        bool on;
        uint32_t value;
    } cases[] = {{true, 128}, {false, 64}};
    for (auto &c : cases) {
        sim_->clearTrace();
        sim_->scriptFree({4, 4, 5});
        sim_->scriptBusy(2, 5);
        if (c.on)
            turnWren2PrefetchOn(base());
        else
            turnWren2PrefetchOff(base(), 0x12345);
        const std::vector<RegAccess> want = {L(status, 4), L(status, 4), L(status, 5),
                                             S(prefetch_control, c.value), L(status, 0x2000005),
                                             L(status, 0x2000005), L(status, kIdle)};
        EXPECT_EQ(sim_->trace(), want);
    }
}

}  // namespace
