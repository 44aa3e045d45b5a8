// Accelerator register map, register values and frame-buffer geometry.
//
// One list of registers (WREN_REGISTERS) gives each register's name, byte
// offset and access; the wren_reg:: offsets and the wren_registers table are
// both generated from it, so they cannot disagree. The plug-in, the simulator
// and the tool's trace read the same table.
//
// Header-only and free of plug-in symbols, so that the simulator and the window
// system can include it without linking the plug-in.
#pragma once

#include <stddef.h>
#include <stdint.h>

// X(name, offset, access): every register, in ascending offset order. Access
// is what the device accepts: loads of write-only and stores to read-only
// registers are faults.
#define WREN_REGISTERS(X)                                                               \
    /* Drawing registers. */                                                            \
    X(fill_p0, 0x4000060, write_only)       /* rectangle: y; fast fill: step code */    \
    X(fill_p1, 0x4000064, write_only)       /* rectangle: x; fast fill: last width */   \
    X(fill_p2, 0x4000068, write_only)       /* fast fill: step y */                     \
    X(fill_p3, 0x400006c, write_only)       /* fast fill: step x */                     \
    X(fill_p4, 0x4000070, write_only)       /* height */                                \
    X(fill_p5, 0x4000074, write_only)       /* width (rectangle: last write) */         \
    /* Raster state. */                                                                 \
    X(raster_mode, 0x4000200, write_only)                                               \
    X(group_control, 0x4000254, write_only)                                             \
    X(raster_op, 0x4000258, write_only)                                                 \
    /* Queue and busy status, read prefetch. */                                         \
    X(status, 0x4000900, read_only)                                                     \
    X(prefetch_control, 0x4000980, write_only)                                          \
    /* Fill value and pixel-mapping unit. */                                            \
    X(fill_color, 0x4002208, write_only)                                                \
    X(map_slope, 0x400221c, write_only)                                                 \
    X(map_out_lo, 0x4002230, write_only)                                                \
    X(map_out_hi, 0x4002234, write_only)                                                \
    X(map_in_lo, 0x4002238, write_only)                                                 \
    X(map_in_hi, 0x400223c, write_only)                                                 \
    X(map_aux0, 0x4002248, write_only)                                                  \
    X(map_aux1, 0x400224c, write_only)                                                  \
    /* Plane mask and drawing operation. */                                             \
    X(plane_mask_lo, 0x4002290, write_only) /* mask bits 0-23 */                        \
    X(plane_mask_hi, 0x4002294, write_only) /* mask bits 24-31, in bits 0-7 */          \
    X(draw_op, 0x4002300, write_only)

#ifdef __cplusplus

enum class wren_access : uint8_t { read_only, write_only, read_write };

struct wren_register_info {
    const char *name;
    uint32_t offset;
    wren_access access;
};

inline constexpr wren_register_info wren_registers[] = {
#define WREN_REGISTER_ROW(id, off, acc) {#id, off, wren_access::acc},
    WREN_REGISTERS(WREN_REGISTER_ROW)
#undef WREN_REGISTER_ROW
};

inline constexpr size_t wren_register_count = sizeof wren_registers / sizeof wren_registers[0];

// The register at a byte offset, or null when none is there.
constexpr const wren_register_info *wren_register_find(uint32_t offset) {
    for (const wren_register_info &r : wren_registers)
        if (r.offset == offset) return &r;
    return nullptr;
}

namespace wren_reg {

#define WREN_REGISTER_OFFSET(id, off, acc) inline constexpr uint32_t id = off;
WREN_REGISTERS(WREN_REGISTER_OFFSET)
#undef WREN_REGISTER_OFFSET

// One past the highest register offset.
inline constexpr uint32_t span = wren_registers[wren_register_count - 1].offset + 4;

}  // namespace wren_reg

// Offsets are word aligned and strictly ascending (hence unique).
static_assert([] {
    for (size_t i = 0; i < wren_register_count; ++i)
        if (wren_registers[i].offset % 4 != 0 ||
            (i > 0 && wren_registers[i].offset <= wren_registers[i - 1].offset))
            return false;
    return true;
}());

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

// raster_mode: wren_setup's modes per plane groups, fills, the pixel-mapping unit.
inline constexpr uint32_t mode_groups_1_7 = 0x69802;
inline constexpr uint32_t mode_groups_8 = 0x69808;
inline constexpr uint32_t mode_groups_15 = 0x6980a;
inline constexpr uint32_t mode_fill = 0x698ff;
inline constexpr uint32_t mode_map = 0x79883;  // arms the pixel-mapping unit

// group_control: the frame buffer and planes drawing goes to.
inline constexpr uint32_t group_1 = 0x20000043;   // 8-bit buffer (wren_setup plane groups 1)
inline constexpr uint32_t group_7 = 0x2000007f;   // 24-bit buffer, colour bytes (groups 7; 24-bit fills)
inline constexpr uint32_t group_8 = 0x200000c0;   // 24-bit buffer, mask bits 24-31 (groups 8)
inline constexpr uint32_t group_15 = 0x200000ff;  // 24-bit buffer, all bytes (groups 15)
inline constexpr uint32_t group_fill8 = 0x20000057;  // 8-bit buffer, fills
inline constexpr uint32_t group_map8 = 0x2000056a;   // 8-bit buffer, pixel mapping
inline constexpr uint32_t group_hires_blocks = 0x60000000;  // before high-resolution block steps

// raster_op: the fill value replaces the old pixel, under the plane mask.
inline constexpr uint32_t rop_copy = 0x83;

}  // namespace wren_val

// Frame buffers and pixel-mapping spaces, as laid out on the board.
namespace wren_fb {

inline constexpr int line_bytes8 = 2048;   // 8-bit buffer: one byte per pixel
inline constexpr int line_bytes24 = 8192;  // 24-bit buffer: four bytes per pixel
inline constexpr int pixel_bytes24 = 4;
inline constexpr int max_width = 2048;     // largest screen, pixels
inline constexpr int max_height = 2048;
inline constexpr int map_line_bytes = 16384;    // mapping space: 8-byte slots
inline constexpr int view16_line_bytes = 4096;  // 16-bit direct view: 2 bytes per pixel

static_assert(line_bytes8 >= max_width && line_bytes24 >= max_width * pixel_bytes24);

}  // namespace wren_fb

#endif
