// Bus hook type of the register seam.
//
// On the device, register accesses are plain 32-bit loads and stores at the
// register base plus an offset. A simulator that stands in for the device
// installs a bus hook with wren_bus_attach() (wren_regs.h); from then on every
// register access of the plug-in is routed through it instead of memory.
//
// Header-only and free of plug-in symbols, so that a simulator library can
// build a hook without linking the plug-in.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct wren_bus {
    void *ctx;  // passed back to both functions
    // A 32-bit store of value at base + offset.
    void (*store)(void *ctx, void *base, uint32_t offset, uint32_t value);
    // A 32-bit load at base + offset; returns the value the device answers.
    uint32_t (*load)(void *ctx, void *base, uint32_t offset);
} wren_bus;

// Signature of wren_bus_attach, for callers that look it up in the loaded plug-in.
typedef void (*wren_bus_attach_fn)(const wren_bus *bus);

#ifdef __cplusplus
}
#endif
