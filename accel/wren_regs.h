// The register seam and the raster set-up routines.
//
// Every register (wren_regmap.h) is a 32-bit word at a fixed byte offset from
// the register base, reached only through wren_reg_read() / wren_reg_write():
// volatile 32-bit accesses in program order. When a bus hook is attached (a
// simulator standing in for the device), the accesses go to the hook instead.
#pragma once

#include <stdint.h>

#include "wren_bus.h"
#include "wren_regmap.h"

#define WREN_EXPORT __attribute__((visibility("default")))

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
