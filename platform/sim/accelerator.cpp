// Simulated Wren accelerator: register window, status script, trace, raster
// state, fills and pixel-mapping unit.
#include "accelerator.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

namespace wsim {

namespace {

using namespace wren_reg;

// Index of a register in the register table, -1 for an offset that names none.
int regIndex(std::uint32_t offset) {
    const wren_register_info *r = wren_register_find(offset);
    return r ? static_cast<int>(r - wren_registers) : -1;
}

long long floor_mod(long long v, long long a) {
    long long r = v % a;
    return r < 0 ? r + a : r;
}

// Byte k (0 = lowest address) of a big-endian 32-bit pixel word.
inline std::uint8_t be_byte(std::uint32_t word, int k) {
    return static_cast<std::uint8_t>(word >> (24 - 8 * k));
}

template <class T>
T *alloc_filled(std::size_t n, int byte) {
    T *p = static_cast<T *>(std::malloc(n));
    if (!p) throw std::bad_alloc();
    std::memset(p, byte, n);
    return p;
}

}  // namespace

Accelerator::Accelerator(std::uint8_t *fb8, std::uint8_t *fb24, int width, int height)
    : fb8_(fb8), fb24_(fb24), width_(width), height_(height) {
    if (!fb8 || !fb24 || width < 1 || width > wren_fb::max_width || height < 1 || height > wren_fb::max_height)
        throw std::invalid_argument("wsim::Accelerator: frame buffers of 1.." + std::to_string(wren_fb::max_width) +
                                    " x 1.." + std::to_string(wren_fb::max_height) + " pixels needed");
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    regs_bytes_ = (span + page - 1) / page * page;
    // Reserved, never accessible: registers are reached through the bus hook only.
    regs_ = mmap(nullptr, regs_bytes_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (regs_ == MAP_FAILED) throw std::bad_alloc();
    regfile_.assign(wren_register_count, 0);
    // Power-up state: all planes writable.
    regfile_[regIndex(plane_mask_lo)] = 0xffffff;
    regfile_[regIndex(plane_mask_hi)] = 0xff;
    try {
        map_ = alloc_filled<std::uint8_t>(std::size_t(kMapLineBytes) * height_, 0xff);
        view8_ = alloc_filled<std::uint8_t>(std::size_t(kLineBytes8) * height_, kView8Empty);
        view16_ = alloc_filled<std::uint8_t>(std::size_t(kView16LineBytes) * height_, kView16Empty & 0xff);
    } catch (...) {
        std::free(map_);
        std::free(view8_);
        munmap(regs_, regs_bytes_);
        throw;
    }
    bus_.ctx = this;
    bus_.store = &Accelerator::busStore;
    bus_.load = &Accelerator::busLoad;
}

Accelerator::~Accelerator() {
    munmap(regs_, regs_bytes_);
    std::free(map_);
    std::free(view8_);
    std::free(view16_);
}

void Accelerator::setScreenMode(bool stereo, bool high_resolution) {
    stereo_ = stereo;
    hires_ = high_resolution;
}

// ---- status script ----------------------------------------------------------

void Accelerator::scriptStatus(const std::vector<std::uint32_t> &words) {
    script_.insert(script_.end(), words.begin(), words.end());
}

void Accelerator::scriptFree(const std::vector<std::uint32_t> &free_counts) {
    for (std::uint32_t f : free_counts) script_.push_back(f & 0xfff);
}

void Accelerator::scriptBusy(int reads, std::uint32_t free_count) {
    for (int i = 0; i < reads; ++i) script_.push_back((free_count & 0xfff) | wren_val::status_busy);
}

// ---- trace and registers ----------------------------------------------------

std::vector<RegAccess> Accelerator::stores() const {
    std::vector<RegAccess> s;
    for (const RegAccess &a : trace_)
        if (a.store) s.push_back(a);
    return s;
}

std::uint32_t Accelerator::reg(std::uint32_t offset) const {
    const int i = regIndex(offset);
    return i < 0 ? 0 : regfile_[i];
}

std::uint32_t Accelerator::planeMask() const {
    return (reg(plane_mask_lo) & 0xffffff) | ((reg(plane_mask_hi) & 0xff) << 24);
}

void Accelerator::fault(const char *fmt, ...) noexcept {
    // Formatted on the stack: a fault is recorded when there is memory for it,
    // and dropped (counted) when there is not; the access goes on either way.
    char msg[160];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    if (faults_.size() >= 1000) return;
    try {
        faults_.emplace_back(msg);
    } catch (...) {
        ++dropped_;
    }
}

void Accelerator::busStore(void *ctx, void *base, std::uint32_t offset, std::uint32_t value) noexcept {
    auto *self = static_cast<Accelerator *>(ctx);
    std::lock_guard<std::mutex> g(self->mutex_);
    if (base != self->regs_) {
        self->fault("store through a register base that is not this accelerator's");
        return;
    }
    self->store(offset, value);
}

std::uint32_t Accelerator::busLoad(void *ctx, void *base, std::uint32_t offset) noexcept {
    auto *self = static_cast<Accelerator *>(ctx);
    std::lock_guard<std::mutex> g(self->mutex_);
    if (base != self->regs_) {
        self->fault("load through a register base that is not this accelerator's");
        return 0;
    }
    return self->load(offset);
}

std::uint32_t Accelerator::load(std::uint32_t offset) {
    std::uint32_t v = 0;
    const wren_register_info *r = wren_register_find(offset);
    if (!r) {
        fault("load of unknown register offset 0x%x", offset);
    } else if (r->access == wren_access::write_only) {
        fault("load of write-only register %s (0x%x)", r->name, offset);
        v = reg(offset);
    } else if (offset == status) {
        ++status_reads_;
        if (!script_.empty()) {
            v = script_.front();
            script_.pop_front();
        } else {
            v = default_free_;
        }
    } else {
        v = reg(offset);
    }
    if (tracing_) record(trace_, RegAccess{offset, v, false});
    return v;
}

void Accelerator::store(std::uint32_t offset, std::uint32_t value) {
    if (tracing_) record(trace_, RegAccess{offset, value, true});
    const wren_register_info *r = wren_register_find(offset);
    if (!r) {
        fault("store to unknown register offset 0x%x", offset);
        return;
    }
    if (r->access == wren_access::read_only) {
        fault("store to read-only register %s (0x%x)", r->name, offset);
        return;
    }
    setReg(offset, value);
}

void Accelerator::setReg(std::uint32_t offset, std::uint32_t value) {
    const int index = regIndex(offset);
    const bool differs = regfile_[index] != value;
    if ((offset == plane_mask_lo || offset == plane_mask_hi) && differs) {
        // Processor writes so far passed the old mask; an area not kept under a
        // mask that passed everything is right as it stands.
        for (Area &a : areas_) {
            if (a.kept) {
                merge(a);
            } else {
                snapshot(a);
            }
        }
    }
    // Samples fed to the armed unit so far are mapped as it stands.
    if (differs && mapsOn(offset)) mapAll();
    regfile_[index] = value;
    switch (offset) {
    case group_control:
        switch (value) {
        case wren_val::group_1: case wren_val::group_fill8: case wren_val::group_map8:
            target_depth_ = 8;
            hires_blocks_ = false;
            break;
        case wren_val::group_7: case wren_val::group_8: case wren_val::group_15:
            target_depth_ = 24;
            hires_blocks_ = false;
            break;
        case wren_val::group_hires_blocks:
            hires_blocks_ = true;
            break;
        default:
            fault("group_control value 0x%x not modelled", value);
        }
        break;
    case draw_op:
        if (value != wren_val::draw_rect && value != wren_val::draw_fast)
            fault("draw_op value 0x%x not modelled", value);
        break;
    case fill_p5:
        if (reg(draw_op) == wren_val::draw_rect)
            fillArea(FillRecord::Rect, static_cast<std::int32_t>(reg(fill_p1)),
                     static_cast<std::int32_t>(reg(fill_p0)), static_cast<std::int32_t>(value),
                     static_cast<std::int32_t>(reg(fill_p4)), true);
        else if (reg(draw_op) == wren_val::draw_fast)
            fillStep(value);
        else
            fault("fill_p5 written before draw_op");
        break;
    case fill_p1:
        if (reg(draw_op) == wren_val::draw_fast) fillStep(value);
        break;
    default:
        break;
    }
}

// ---- fills ------------------------------------------------------------------

int Accelerator::targetDepth() {
    if (target_depth_ == 0) fault("fill before group_control selected a frame buffer");
    return target_depth_;
}

void Accelerator::fillStep(std::uint32_t width) {
    const std::uint32_t code = reg(fill_p0);
    const long long x = static_cast<std::int32_t>(reg(fill_p3));
    const long long y = static_cast<std::int32_t>(reg(fill_p2));
    const long long h = static_cast<std::int32_t>(reg(fill_p4));
    const long long w = static_cast<std::int32_t>(width);
    // First-generation stereo page steps carry encoded page addresses: traced
    // only. A high-resolution screen takes the high-resolution geometry whether
    // or not it is also a stereo screen (the first generation has no fast
    // fill there at all).
    const bool spf = first_generation_ && stereo_ && !hires_;
    switch (code) {
    case wren_val::step_block_size:
    case wren_val::step_page_size: {
        if (x != 0 || y != 0) fault("size step with non-zero fill_p2/fill_p3");
        const bool block = code == wren_val::step_block_size;
        (block ? block_w_ : page_w_) = static_cast<std::uint32_t>(w);
        (block ? block_h_ : page_h_) = static_cast<std::uint32_t>(h);
        if (!spf) {
            const std::uint32_t bw = hires_ ? 64 : 32, bh = stereo_ && !hires_ ? 2 : 4;
            const std::uint32_t ew = block ? bw : bw * 10, eh = block ? bh : bh * 4;
            if (w != ew || h != eh)
                fault("%s size %lldx%lld does not suit the screen mode", block ? "block" : "page", w, h);
        }
        break;
    }
    case wren_val::step_blocks: {
        if (block_w_ < 4 || block_h_ < 1) {
            fault("block step before the block size was set");
            break;
        }
        if (hires_ && !hires_blocks_)
            fault("high-resolution block step without group_control 0x%x", wren_val::group_hires_blocks);
        const long long xa = block_w_ / 4, ya = block_h_;
        const long long x0 = x - floor_mod(x, xa), y0 = y - floor_mod(y, ya);
        const long long x1 = x0 + w, y1 = y0 + h;
        if (hires_ && (floor_mod(x, 8) != 0 || floor_mod(x1, 8) != 0))
            fault("high-resolution block step with columns not in multiples of 8");
        fillArea(FillRecord::Blocks, x, y, x1 - x, y1 - y, true);
        break;
    }
    case wren_val::step_pages: {
        if (page_w_ < 4 || page_h_ < 1) {
            fault("page step before the page size was set");
            break;
        }
        if (!spf) {
            const long long xa = page_w_ / 4, ya = page_h_;
            if (floor_mod(x, xa) || floor_mod(y, ya) || floor_mod(w, xa) || floor_mod(h, ya))
                fault("page step not aligned to the page grid");
        }
        fillArea(FillRecord::Pages, x, y, w, h, !spf);
        break;
    }
    default:
        fault("fast-fill step code %u not modelled", code);
    }
}

std::uint8_t *Accelerator::pixel(int depth, int x, int y) const {
    return depth == 8 ? fb8_ + std::size_t(y) * kLineBytes8 + x
                      : fb24_ + std::size_t(y) * kLineBytes24 + std::size_t(x) * 4;
}

void Accelerator::fillArea(FillRecord::Kind kind, long long x, long long y, long long w, long long h,
                           bool draw) {
    const int depth = draw ? targetDepth() : target_depth_;
    auto clampi = [](long long v) { return static_cast<int>(std::clamp<long long>(v, INT32_MIN, INT32_MAX)); };
    record(fills_, FillRecord{kind, depth, clampi(x), clampi(y), clampi(w), clampi(h), draw && depth != 0});
    if (!draw || depth == 0 || w <= 0 || h <= 0) return;
    if ((reg(raster_op) & 0xff) != wren_val::rop_copy)
        fault("raster operation 0x%x drawn as 0x%x", reg(raster_op), wren_val::rop_copy);
    const long long cx0 = std::max(0LL, x), cy0 = std::max(0LL, y);
    const long long cx1 = std::min<long long>(width_, x + w), cy1 = std::min<long long>(height_, y + h);
    if (cx0 != x || cy0 != y || cx1 != x + w || cy1 != y + h) fault("fill reaches outside the screen; clipped");
    if (cx0 >= cx1 || cy0 >= cy1) return;

    const std::uint32_t pm = planeMask(), color = reg(fill_color);
    const int bpp = depth == 8 ? 1 : 4;
    std::uint8_t cb[4], mb[4];
    if (depth == 8) {
        cb[0] = static_cast<std::uint8_t>(color);
        mb[0] = static_cast<std::uint8_t>(pm);
    } else {
        for (int k = 0; k < 4; ++k) {
            cb[k] = be_byte(color, k);
            mb[k] = be_byte(pm, k);
        }
    }
    auto paint = [&](std::uint8_t *row, long long n) {
        for (long long i = 0; i < n; ++i)
            for (int k = 0; k < bpp; ++k) {
                std::uint8_t &b = row[i * bpp + k];
                b = static_cast<std::uint8_t>((b & ~mb[k]) | (cb[k] & mb[k]));
            }
    };
    for (long long r = cy0; r < cy1; ++r) paint(pixel(depth, int(cx0), int(r)), cx1 - cx0);
    // The accelerator's own writes are not processor writes: keep them in the snapshots.
    for (Area &a : areas_) {
        if (a.depth != depth || !a.kept) continue;
        eachRow(a, [&](std::uint8_t *, std::uint8_t *kept, int bx, int by, int n) {
            const long long x0 = std::max<long long>(cx0, bx), x1 = std::min<long long>(cx1, bx + n);
            if (by >= cy0 && by < cy1 && x0 < x1) paint(kept + (x0 - bx) * bpp, x1 - x0);
        });
    }
}

// ---- processor writes under the plane mask ------------------------------------

template <class F>
void Accelerator::eachRow(Area &a, F &&f) {
    const int bpp = a.depth == 8 ? 1 : 4;
    std::size_t at = 0;
    for (const Box &b : a.boxes)
        for (int r = 0; r < b.h; ++r, at += std::size_t(b.w) * bpp)
            f(pixel(a.depth, b.x, b.y + r), a.kept ? a.fb.data() + at : nullptr, b.x, b.y + r, b.w);
}

int Accelerator::beginWrites(int depth, const std::vector<Box> &visible) noexcept try {
    if (depth != 8 && depth != 24) return 0;
    std::lock_guard<std::mutex> g(mutex_);
    Area a;
    a.token = next_token_++;
    a.depth = depth;
    for (const Box &b : visible) {
        const long long x0 = std::max(0LL, (long long)b.x), y0 = std::max(0LL, (long long)b.y);
        const long long x1 = std::min<long long>(width_, (long long)b.x + std::max(0, b.w));
        const long long y1 = std::min<long long>(height_, (long long)b.y + std::max(0, b.h));
        // A box whose rows are on screen but whose columns are not (or the
        // other way round) has nothing on screen at all.
        if (x1 <= x0 || y1 <= y0) continue;
        a.boxes.push_back({int(x0), int(y0), int(x1 - x0), int(y1 - y0)});
        a.bytes += std::size_t(x1 - x0) * std::size_t(y1 - y0) * (depth == 8 ? 1 : 4);
    }
    a.fb.reserve(a.bytes);
    presetViews(a);
    if (!passesAll(depth)) snapshot(a);
    areas_.push_back(std::move(a));
    return areas_.back().token;
} catch (...) {
    return 0;  // no memory for the snapshot
}

void Accelerator::endWrites(int token) noexcept {
    std::lock_guard<std::mutex> g(mutex_);
    auto it = std::find_if(areas_.begin(), areas_.end(), [&](const Area &a) { return a.token == token; });
    if (it == areas_.end()) return;
    if (it->kept) merge(*it);
    mapArea(*it);
    areas_.erase(it);
}

bool Accelerator::passesAll(int depth) const {
    const std::uint32_t pm = planeMask();
    return depth == 8 ? (pm & 0xff) == 0xff : pm == 0xffffffffu;
}

// Within the room reserved at the lock: no allocation.
void Accelerator::snapshot(Area &a) {
    const int bpp = a.depth == 8 ? 1 : 4;
    a.fb.resize(a.bytes);
    a.kept = true;
    eachRow(a, [&](std::uint8_t *cur, std::uint8_t *kept, int, int, int n) { std::memcpy(kept, cur, std::size_t(n) * bpp); });
}

// Mode 2: the direct views show a marker until samples are written.
void Accelerator::presetViews(Area &a) {
    if (map_mode_ != 2 || a.depth != 8) return;
    eachRow(a, [&](std::uint8_t *, std::uint8_t *, int x, int y, int n) {
        std::memset(view8_ + std::size_t(y) * kLineBytes8 + x, kView8Empty, std::size_t(n));
        std::uint8_t *v16 = view16_ + std::size_t(y) * kView16LineBytes + std::size_t(x) * 2;
        for (int i = 0; i < n; ++i) std::memcpy(v16 + 2 * i, &kView16Empty, 2);
    });
}

void Accelerator::merge(Area &a) {
    const std::uint32_t pm = planeMask();
    const int bpp = a.depth == 8 ? 1 : 4;
    std::uint8_t mb[4];
    if (a.depth == 8) {
        mb[0] = static_cast<std::uint8_t>(pm);
    } else {
        for (int k = 0; k < 4; ++k) mb[k] = be_byte(pm, k);
    }
    eachRow(a, [&](std::uint8_t *cur, std::uint8_t *old, int, int, int n) {
        for (int i = 0; i < n * bpp; ++i) {
            const std::uint8_t m = mb[i % bpp];
            cur[i] = static_cast<std::uint8_t>((cur[i] & m) | (old[i] & ~m));
            old[i] = cur[i];
        }
    });
}

// ---- pixel-mapping unit --------------------------------------------------------

int Accelerator::mapSample(std::uint32_t field) const {
    const std::uint32_t code = reg(map_slope);
    const int mantissa = static_cast<std::int32_t>(code) >> 22;  // signed, 10 bits
    const int exponent = static_cast<int>(code & 0x1f);
    // g = mantissa * 2^(exponent - 8): minus the output change per 256 field units.
    const double g = std::ldexp(static_cast<double>(mantissa), exponent - 8);
    const std::uint32_t in_lo = reg(map_in_lo);
    double f0, y0, y1;
    if (in_lo < 0x40000) {
        // 8-bit samples: low input threshold as an 18-bit fraction of 255.
        f0 = in_lo * 255.0 / 262143.0 * 256.0;
        y0 = reg(map_out_lo);
        y1 = reg(map_out_hi);
    } else {
        // 16-bit samples: threshold in the sample field's own format, outputs plus one.
        f0 = (in_lo >> 12) & 0xffff;
        y0 = double(reg(map_out_lo)) - 1.0;
        y1 = double(reg(map_out_hi)) - 1.0;
    }
    double v = y0 - g / 256.0 * (double(field & 0xffff) - f0);
    v = std::clamp(v, std::min(y0, y1), std::max(y0, y1));
    // Output values beyond a byte (out of range register values) saturate.
    return static_cast<int>(std::floor(std::clamp(v, 0.0, 255.0) + 0.5));
}

void Accelerator::putMapped(std::uint8_t *px, std::uint8_t *kept, int value) {
    const std::uint8_t m = static_cast<std::uint8_t>(planeMask());
    *px = static_cast<std::uint8_t>((*px & ~m) | (value & m));
    // The unit's writes are not processor writes: a later merge keeps them.
    if (kept) *kept = *px;
}

bool Accelerator::mapsOn(std::uint32_t offset) const {
    if (reg(raster_mode) != wren_val::mode_map) return false;
    switch (offset) {
    case raster_mode: case group_control: case raster_op: case plane_mask_lo: case plane_mask_hi:
    case map_slope: case map_out_lo: case map_out_hi: case map_in_lo: case map_in_hi: case map_aux0: case map_aux1:
        return true;
    default:
        return false;
    }
}

void Accelerator::mapAll() {
    for (Area &a : areas_) mapArea(a);
}

// Whether no sample was written into pixels x0 .. x0 + n - 1 of row y: every
// mapping slot's first word holds kMapEmpty (mode 1), or every direct-view byte
// holds its marker (mode 2). Branch-free over the row, so that a window's
// unlock scans its area at memory speed.
bool Accelerator::unwritten(int x0, int y, int n) const {
    if (map_mode_ == 1) {
        // Whole slots ANDed together: the first four bytes of the result are
        // the AND of the slots' first words.
        const std::uint8_t *p = map_ + std::size_t(y) * kMapLineBytes + std::size_t(x0) * 8;
        std::uint64_t acc[4] = {~std::uint64_t{0}, ~std::uint64_t{0}, ~std::uint64_t{0}, ~std::uint64_t{0}};
        const auto slot = [p](int i) {
            std::uint64_t v;
            std::memcpy(&v, p + std::size_t(i) * 8, 8);
            return v;
        };
        int i = 0;
        for (; i + 8 <= n; i += 8) {
            for (int j = 0; j < 8; ++j) acc[j & 3] &= slot(i + j);
        }
        for (; i < n; ++i) acc[0] &= slot(i);
        const std::uint64_t all = acc[0] & acc[1] & acc[2] & acc[3];
        std::uint32_t word;
        std::memcpy(&word, &all, 4);
        return word == kMapEmpty;
    }
    const std::uint8_t *p8 = view8_ + std::size_t(y) * kLineBytes8 + x0;
    const std::uint8_t *p16 = view16_ + std::size_t(y) * kView16LineBytes + std::size_t(x0) * 2;
    std::uint8_t differ = 0;
    for (int i = 0; i < n; ++i) differ |= static_cast<std::uint8_t>(p8[i] ^ kView8Empty);
    for (int i = 0; i < 2 * n; ++i) differ |= static_cast<std::uint8_t>(p16[i] ^ (kView16Empty & 0xff));
    return differ == 0;
}

void Accelerator::mapArea(Area &a) {
    if (a.depth != 8 || (map_mode_ != 1 && map_mode_ != 2)) return;
    bool seen = false;
    const bool armed = reg(raster_mode) == wren_val::mode_map;
    eachRow(a, [&](std::uint8_t *row, std::uint8_t *kept, int x0, int y, int n) {
        if (unwritten(x0, y, n)) return;  // the usual row: nothing to map or reset
        for (int i = 0; i < n; ++i) {
            const int x = x0 + i;
            auto emit = [&](std::uint32_t field) {
                seen = true;
                if (armed) putMapped(row + i, kept ? kept + i : nullptr, mapSample(field));
            };
            if (map_mode_ == 1) {
                std::uint8_t *slot = map_ + std::size_t(y) * kMapLineBytes + std::size_t(x) * 8;
                std::uint32_t word;
                std::memcpy(&word, slot, 4);
                if (word == kMapEmpty) continue;
                emit(word >> 12);
                word = kMapEmpty;
                std::memcpy(slot, &word, 4);
            } else {
                std::uint8_t &s8 = view8_[std::size_t(y) * kLineBytes8 + x];
                if (s8 != kView8Empty) emit(std::uint32_t(s8) << 8);
                s8 = kView8Empty;
                std::uint8_t *p16 = view16_ + std::size_t(y) * kView16LineBytes + std::size_t(x) * 2;
                std::int16_t s16;
                std::memcpy(&s16, p16, 2);
                if (s16 != kView16Empty) emit(static_cast<std::uint16_t>(s16 + 32768));
                std::memcpy(p16, &kView16Empty, 2);
            }
        }
    });
    if (seen && !armed) fault("samples written into the pixel-mapping space without the mapping raster mode");
}

}  // namespace wsim
