// Accelerator register map, the register seam and the raster set-up routines.
//
// Every register is a 32-bit word at a fixed byte offset from the register
// base, reached only through wren_reg_read() / wren_reg_write(): volatile
// 32-bit accesses in program order. When a bus hook is attached (a simulator
// standing in for the device), the accesses go to the hook instead.
#pragma once

#include <stdint.h>

#include "wren_bus.h"

#define WREN_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
namespace wren_reg {

// Drawing registers.
inline constexpr uint32_t fill_p0 = 0x4000060;  // rectangle: y; fast fill: step code
inline constexpr uint32_t fill_p1 = 0x4000064;  // rectangle: x; fast fill: last width
inline constexpr uint32_t fill_p2 = 0x4000068;  // fast fill: step y
inline constexpr uint32_t fill_p3 = 0x400006c;  // fast fill: step x
inline constexpr uint32_t fill_p4 = 0x4000070;  // height
inline constexpr uint32_t fill_p5 = 0x4000074;  // width (rectangle: last write)

// Raster state.
inline constexpr uint32_t raster_mode = 0x4000200;
inline constexpr uint32_t group_control = 0x4000254;
inline constexpr uint32_t raster_op = 0x4000258;

// Queue and busy status, read prefetch.
inline constexpr uint32_t status = 0x4000900;
inline constexpr uint32_t prefetch_control = 0x4000980;

// Fill value and pixel-mapping unit.
inline constexpr uint32_t fill_color = 0x4002208;
inline constexpr uint32_t map_slope = 0x400221c;
inline constexpr uint32_t map_out_lo = 0x4002230;
inline constexpr uint32_t map_out_hi = 0x4002234;
inline constexpr uint32_t map_in_lo = 0x4002238;
inline constexpr uint32_t map_in_hi = 0x400223c;
inline constexpr uint32_t map_aux0 = 0x4002248;
inline constexpr uint32_t map_aux1 = 0x400224c;

// Plane mask and drawing operation.
inline constexpr uint32_t plane_mask_lo = 0x4002290;  // mask bits 0-23
inline constexpr uint32_t plane_mask_hi = 0x4002294;  // mask bits 24-31, in bits 0-7
inline constexpr uint32_t draw_op = 0x4002300;

// One past the highest register offset.
inline constexpr uint32_t span = draw_op + 4;

}  // namespace wren_reg

// Values written to the registers.
namespace wren_val {

inline constexpr uint32_t status_free_mask = 0xfff;  // free command-queue entries
inline constexpr uint32_t status_busy = 0x2000000;   // accelerator busy
inline constexpr int queue_reserve = 4;              // entries that always stay free

inline constexpr uint32_t prefetch_on = 128;
inline constexpr uint32_t prefetch_off = 64;

inline constexpr uint32_t draw_rect = 8;
inline constexpr uint32_t draw_fast = 9;

// Fast-fill step codes (fill_p0).
inline constexpr uint32_t step_pages = 1;
inline constexpr uint32_t step_blocks = 2;
inline constexpr uint32_t step_block_size = 3;
inline constexpr uint32_t step_page_size = 4;

inline constexpr uint32_t group_hires_blocks = 0x60000000;

}  // namespace wren_val
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Installs a bus hook (copied), or with null restores plain memory access.
WREN_EXPORT void wren_bus_attach(const wren_bus *bus);

// The hook in use, or null. For the inline accessors below.
extern __attribute__((visibility("hidden"))) const wren_bus *wren_bus_active;

// Programs plane groups (1, 7, 8 or 15), plane mask and raster operation and
// waits until the accelerator is idle. 0 on success; 2 for any other group
// value, in which case no register is touched.
WREN_EXPORT int wren_setup(unsigned long *base, int groups, unsigned long plane_mask,
                           unsigned long raster_op);

// Switch the frame buffer's read prefetch on / off and wait until idle.
WREN_EXPORT void turnWren2PrefetchOn(unsigned long *base);
WREN_EXPORT void turnWren2PrefetchOff(unsigned long *base, unsigned long unused);

#ifdef __cplusplus
}

inline void wren_reg_write(void *base, uint32_t offset, uint32_t value) {
    if (const wren_bus *bus = wren_bus_active) {
        bus->store(bus->ctx, base, offset, value);
        return;
    }
    *reinterpret_cast<volatile uint32_t *>(static_cast<char *>(base) + offset) = value;
}

inline uint32_t wren_reg_read(void *base, uint32_t offset) {
    if (const wren_bus *bus = wren_bus_active) return bus->load(bus->ctx, base, offset);
    return *reinterpret_cast<volatile uint32_t *>(static_cast<char *>(base) + offset);
}

// Free command-queue entries reported by status.
inline int wren_queue_free(void *base) {
    return static_cast<int>(wren_reg_read(base, wren_reg::status) & wren_val::status_free_mask);
}

// Direct polling: waits until n more writes leave the reserve free.
inline void wren_wait_room(void *base, int n) {
    while (wren_queue_free(base) - n < wren_val::queue_reserve) {
    }
}

// Polls status until the busy bit is clear.
inline void wren_wait_idle(void *base) {
    while (wren_reg_read(base, wren_reg::status) & wren_val::status_busy) {
    }
}
#endif
