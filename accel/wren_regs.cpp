// Register seam state and the raster set-up routines.
#include "wren_regs.h"

namespace {
wren_bus attached_bus;
}  // namespace

const wren_bus *wren_bus_active = nullptr;

extern "C" void wren_bus_attach(const wren_bus *bus) {
    if (bus && bus->store && bus->load) {
        attached_bus = *bus;
        wren_bus_active = &attached_bus;
    } else {
        wren_bus_active = nullptr;
    }
}

namespace {

struct RasterSetup {
    uint32_t mode, group, mask, op;
};

bool derive(int groups, unsigned long plane_mask, unsigned long raster_op, RasterSetup *out) {
    using namespace wren_val;
    const uint32_t mask = static_cast<uint32_t>(plane_mask);
    const uint32_t op = static_cast<uint32_t>(raster_op) & 0x8f;
    switch (groups) {
    case 1: *out = {mode_groups_1_7, group_1, mask & 0xff, op}; return true;
    case 7: *out = {mode_groups_1_7, group_7, mask & 0xffffff, op}; return true;
    case 8: *out = {mode_groups_8, group_8, (mask & 0xff) << 24, op}; return true;
    case 15:
        *out = {mode_groups_15, group_15, mask,
                op | ((static_cast<uint32_t>(raster_op) << 8) & 0x8f00)};
        return true;
    default: return false;
    }
}

void prefetch(unsigned long *base, uint32_t value) {
    wren_wait_room(base, 1);
    wren_reg_write(base, wren_reg::prefetch_control, value);
    wren_wait_idle(base);
}

}  // namespace

extern "C" int wren_setup(unsigned long *base, int groups, unsigned long plane_mask,
                          unsigned long raster_op) {
    RasterSetup s;
    if (!derive(groups, plane_mask, raster_op, &s)) return 2;
    wren_wait_room(base, 5);
    wren_reg_write(base, wren_reg::raster_mode, s.mode);
    wren_reg_write(base, wren_reg::group_control, s.group);
    wren_reg_write(base, wren_reg::raster_op, s.op);
    wren_reg_write(base, wren_reg::plane_mask_lo, s.mask & 0xffffff);
    wren_reg_write(base, wren_reg::plane_mask_hi, (s.mask >> 24) & 0xff);
    wren_wait_idle(base);
    return 0;
}

extern "C" void turnWren2PrefetchOn(unsigned long *base) { prefetch(base, wren_val::prefetch_on); }

extern "C" void turnWren2PrefetchOff(unsigned long *base, unsigned long) {
    prefetch(base, wren_val::prefetch_off);
}
