// Simulated Wren accelerator.
//
// Registers live in a reserved address range that is never mapped: the plug-in
// reaches them only through the bus hook (bus()), and a stray plain access to
// the register base faults instead of scribbling over memory.
//
// What is modelled exactly:
//  - every register access is traced (offset, value, load or store);
//  - status: scripted free counts and busy reads (scriptStatus / scriptFree /
//    scriptBusy), else the default free count with the busy bit clear;
//  - raster state: processor writes into a locked window pass the plane mask
//    programmed by wren_setup. Processor writes go straight to memory here, so
//    the window's visible area (its clip list when locked) is snapshotted when
//    it is locked and merged back under the mask in effect whenever the mask
//    changes and when it is unlocked;
//  - rectangle fills, block and page fills (standard, high-resolution and
//    later-generation stereo screens) with the fill colour under the plane
//    mask, on the frame buffer that group_control selects; a screen that is
//    both stereo and high resolution has the high-resolution block and page
//    geometry;
//  - the pixel-mapping unit: samples written into the mapping space (mode 1)
//    or the direct views (mode 2) are mapped through the programmed linear map
//    with its clamps into the 8-bit frame buffer, under the unit's registers
//    as they are when the samples are taken: when a register the map depends
//    on changes while the unit is armed, and when the window is unlocked. A
//    mapping-space slot that holds kMapEmpty has not been written. The direct views cannot tell an
//    unwritten byte from a written one, so they are set to kView8Empty /
//    kView16Empty at lock and a sample of exactly that value is not seen
//    (mode 1 has no such blind value and is the default of a Machine);
// What is only traced: first-generation stereo page steps (their encoded page
// addresses are not drawn), raster operations other than wren_val::rop_copy
// (drawn as rop_copy), read prefetch.
//
// Problems found in the access stream (unknown offsets, loads of write-only and
// stores to read-only registers per wren_registers, fills outside the screen,
// missing set-up) are collected in faults(); nothing is written outside the
// frame buffers.
//
// The bus hook never throws into the plug-in: a trace entry, fill record or
// fault that finds no memory is dropped and counted (dropped()), and the
// access takes effect regardless.
//
// Threads. Register accesses through the bus hook and the window areas
// (beginWrites / endWrites) may come from any thread: one lock of the
// accelerator orders them, as the device orders the accesses it is sent.
// The areas of windows locked by different threads do not overlap (visible
// areas never do), so merging one window's writes never touches pixels
// another thread is writing. The test-facing accessors (trace, fills,
// faults, reg, the status script) are for a caller that knows no other
// thread is using the accelerator.
#pragma once

#include "wren_bus.h"
#include "wren_regmap.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace wsim {

struct RegAccess {
    std::uint32_t offset;
    std::uint32_t value;
    bool store;
    bool operator==(const RegAccess &) const = default;
};

inline std::ostream &operator<<(std::ostream &os, const RegAccess &a) {
    return os << (a.store ? "store " : "load ") << std::hex << "0x" << a.offset << " = 0x" << a.value
              << std::dec;
}

// A fill the accelerator executed (or only traced).
struct FillRecord {
    enum Kind { Rect, Blocks, Pages } kind;
    int depth;         // frame buffer: 8 or 24
    int x, y, w, h;    // area covered, frame-buffer pixels
    bool drawn;        // false when only traced
    bool operator==(const FillRecord &) const = default;
};

inline std::ostream &operator<<(std::ostream &os, const FillRecord &f) {
    static const char *const kinds[] = {"rect", "blocks", "pages"};
    return os << kinds[f.kind] << " depth " << f.depth << " (" << f.x << ", " << f.y << ") " << f.w << "x"
              << f.h << (f.drawn ? "" : " traced");
}

class Accelerator {
public:
    static constexpr int kLineBytes8 = wren_fb::line_bytes8;
    static constexpr int kLineBytes24 = wren_fb::line_bytes24;
    static constexpr int kMapLineBytes = wren_fb::map_line_bytes;   // mapping space: 8 bytes per pixel
    static constexpr int kView16LineBytes = wren_fb::view16_line_bytes;
    static constexpr std::uint32_t kDefaultFree = 0x400;
    static constexpr std::uint32_t kMapEmpty = 0xffffffffu;  // mapping slot not written
    static constexpr std::uint8_t kView8Empty = 0x5b;         // direct-view bytes not written
    static constexpr std::int16_t kView16Empty = 0x5b5b;

    // fb8 / fb24: the frame buffers (kLineBytes8 / kLineBytes24 lines), width x height pixels.
    Accelerator(std::uint8_t *fb8, std::uint8_t *fb24, int width, int height);
    ~Accelerator();
    Accelerator(const Accelerator &) = delete;
    Accelerator &operator=(const Accelerator &) = delete;

    void *registerBase() const { return regs_; }
    // The hook to hand to the plug-in's wren_bus_attach; valid while this lives.
    const wren_bus *bus() const { return &bus_; }

    // Screen mode and board generation, as the board block tells the plug-in.
    void setScreenMode(bool stereo, bool high_resolution);
    void setFirstGeneration(bool first) { first_generation_ = first; }

    // ---- status and command queue ----
    // Each status read takes the next scripted word; when none is left, the
    // default free count (idle) is reported.
    void scriptStatus(const std::vector<std::uint32_t> &words);
    void scriptFree(const std::vector<std::uint32_t> &free_counts);  // idle reads
    void scriptBusy(int reads, std::uint32_t free_count = kDefaultFree);
    void setDefaultFree(std::uint32_t n) { default_free_ = n & 0xfff; }
    std::size_t scriptLeft() const { return script_.size(); }
    std::size_t statusReads() const { return status_reads_; }

    // ---- trace ----
    const std::vector<RegAccess> &trace() const { return trace_; }
    std::vector<RegAccess> stores() const;  // the trace without loads
    void clearTrace() { trace_.clear(); status_reads_ = 0; }
    void setTracing(bool on) { tracing_ = on; }
    // Last value stored at a register offset (0 when never written).
    std::uint32_t reg(std::uint32_t offset) const;

    const std::vector<FillRecord> &fills() const { return fills_; }
    void clearFills() { fills_.clear(); }
    const std::vector<std::string> &faults() const { return faults_; }
    void clearFaults() { faults_.clear(); }
    // Trace entries, fill records and faults that found no memory and were
    // dropped (the accesses themselves took effect).
    std::size_t dropped() const { return dropped_; }

    // Effective 32-bit plane mask (plane_mask_hi bits 0-7 as mask bits 24-31).
    std::uint32_t planeMask() const;

    // ---- processor writes into a window ----
    // A rectangle of the screen.
    struct Box {
        int x, y, w, h;
    };
    // Snapshots the screen rectangles (a window's visible area: they do not
    // overlap; parts off the screen are dropped) of the depth-8 or depth-24
    // frame buffer; processor writes there from now on are merged under the
    // plane mask. Returns a token for endWrites, 0 for a bad depth or when
    // there is no memory for the snapshot.
    int beginWrites(int depth, const std::vector<Box> &visible) noexcept;
    // Merges (and maps pixel-mapping samples written meanwhile), then forgets
    // the area. Needs no memory.
    void endWrites(int token) noexcept;

    // ---- pixel-mapping spaces, owned here ----
    std::uint8_t *mapSpace() const { return map_; }     // 8-byte slots, kMapLineBytes lines
    std::uint8_t *view8() const { return view8_; }      // 1 byte per pixel, kLineBytes8 lines
    std::uint8_t *view16() const { return view16_; }    // 2 bytes per pixel, kView16LineBytes lines
    void setMapMode(int mode) { map_mode_ = mode; }
    int mapMode() const { return map_mode_; }
    // The map the unit applies to a sample field (16 bits, offset so that the
    // smallest sample is 0; an 8-bit sample s is s << 8).
    int mapSample(std::uint32_t field) const;

    int width() const { return width_; }
    int height() const { return height_; }

private:
    // A locked window's area. Its bytes are kept only while the plane mask
    // holds some of them back: under a mask that passes every byte, processor
    // writes need no merge, so the copy is taken when the mask first narrows
    // (its room is reserved at the lock, so that takes no allocation).
    struct Area {
        int token, depth;
        std::vector<Box> boxes;            // on the screen
        std::size_t bytes = 0;             // of all boxes
        bool kept = false;                 // fb holds the bytes at the last merge
        std::vector<std::uint8_t> fb;      // box after box, row after row
    };
    bool passesAll(int depth) const;
    // f(screen row, kept row, x, y, pixels) for every row of every box.
    template <class F>
    void eachRow(Area &a, F &&f);

    static void busStore(void *ctx, void *base, std::uint32_t offset, std::uint32_t value) noexcept;
    static std::uint32_t busLoad(void *ctx, void *base, std::uint32_t offset) noexcept;
    void store(std::uint32_t offset, std::uint32_t value);
    std::uint32_t load(std::uint32_t offset);
    void fault(const char *fmt, ...) noexcept __attribute__((format(printf, 2, 3)));
    template <class T>
    void record(std::vector<T> &v, const T &e) noexcept {
        try {
            v.push_back(e);
        } catch (...) {
            ++dropped_;
        }
    }

    void setReg(std::uint32_t offset, std::uint32_t value);
    void fillStep(std::uint32_t last_width);
    void fillArea(FillRecord::Kind kind, long long x, long long y, long long w, long long h, bool draw);
    int targetDepth();

    void snapshot(Area &a);
    void presetViews(Area &a);
    void merge(Area &a);       // processor writes since the snapshot, under the mask
    void mapArea(Area &a);     // pixel-mapping samples written into the area
    bool unwritten(int x0, int y, int n) const;  // no sample in that run of a row
    void mapAll();             // into every area, under the registers as they are
    bool mapsOn(std::uint32_t offset) const;  // a register the armed unit's map depends on
    void putMapped(std::uint8_t *px, std::uint8_t *kept, int value);
    std::uint8_t *pixel(int depth, int x, int y) const;

    std::uint8_t *fb8_, *fb24_;
    int width_, height_;
    void *regs_ = nullptr;
    std::size_t regs_bytes_ = 0;
    wren_bus bus_{};

    bool stereo_ = false, hires_ = false, first_generation_ = false;
    std::deque<std::uint32_t> script_;
    std::uint32_t default_free_ = kDefaultFree;
    std::size_t status_reads_ = 0;
    bool tracing_ = true;
    std::vector<RegAccess> trace_;
    std::vector<std::uint32_t> regfile_;  // last stored value per register word
    std::vector<FillRecord> fills_;
    std::vector<std::string> faults_;
    std::size_t dropped_ = 0;

    // Drawing state.
    bool hires_blocks_ = false;  // group_hires_blocks since the last target selection
    int target_depth_ = 0;       // frame buffer selected by group_control (0: none yet)
    std::uint32_t block_w_ = 0, block_h_ = 0, page_w_ = 0, page_h_ = 0;

    std::vector<Area> areas_;
    int next_token_ = 1;

    int map_mode_ = 0;
    std::uint8_t *map_ = nullptr, *view8_ = nullptr, *view16_ = nullptr;

    std::mutex mutex_;  // the bus hook and the areas
};

}  // namespace wsim
