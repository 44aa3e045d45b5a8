#include "driver_frame.h"

#include "wca.h"
#include "wren_paths.h"
#include "wren_regs.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <mutex>
#include <new>

namespace {

// The outcome of the last call made on this thread.
thread_local wren_outcome g_last;
thread_local bool g_have_last = false;

// The accelerator: one device, whatever the window. A call holds it from its
// first register access to its last write, inside the window lock.
std::mutex g_device;

long now_ns() {
    using namespace std::chrono;
    return static_cast<long>(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}

// WREN_TRACE is read once per process.
bool tracing() {
    static const bool on = [] {
        const char *v = std::getenv("WREN_TRACE");
        return v && *v && std::strcmp(v, "0") != 0;
    }();
    return on;
}

// "display_ioQORVwren/threshold8/rescale8": the names of the matched chain.
void chain_path(ZorOp *op, int count, char *out, std::size_t size) {
    out[0] = '\0';
    std::size_t used = 0;
    const int n = count < 1 ? 1 : count > 8 ? 8 : count;
    for (int i = 0; i < n && op; ++i, op = op->getOp1()) {
        const char *name = op->getName();
        const int k = std::snprintf(out + used, size - used, "%s%s", i ? "/" : "", name ? name : "?");
        if (k < 0 || static_cast<std::size_t>(k) >= size - used) {
            break;
        }
        used += static_cast<std::size_t>(k);
    }
    if (!op && used == 0) {
        std::snprintf(out, size, "(no operation)");
    }
}

void copy_str(char *dst, std::size_t size, const char *src) {
    std::snprintf(dst, size, "%s", src ? src : "");
}

bool fits(long long lo, long long len, long long size) { return lo >= 0 && len >= 0 && lo + len <= size; }

}  // namespace

extern "C" int wren_last_outcome(wren_outcome *out) {
    if (!out || !g_have_last) {
        return -1;
    }
    *out = g_last;
    return 0;
}

extern "C" const char *wren_reason_name(int reason) {
    switch (reason) {
    case WREN_OK: return "ok";
    case WREN_NO_KERNEL: return "no kernel";
    case WREN_NO_WINDOW: return "window";
    case WREN_NO_SOURCE: return "source";
    case WREN_BAND_MASK: return "band mask";
    case WREN_LAYOUT: return "layout";
    case WREN_PARAMETER: return "parameter";
    case WREN_REGION: return "region";
    case WREN_SCRATCH: return "scratch";
    case WREN_LOCK: return "lock";
    case WREN_CLIP: return "clip";
    case WREN_RECT_LIST: return "rectangle list";
    case WREN_BOUNDS: return "bounds";
    case WREN_RASTER_SETUP: return "raster setup";
    case WREN_CHAIN: return "chain";
    case WREN_NOT_BUILT: return "not built";
    default: return "unknown";
    }
}

namespace wren {

kl_image narrow(const kl_image &ref, int ox, int oy, const Rect &r, int row, int n) {
    kl_image k = ref;
    const int px = r.x + ox, py = r.y + oy + row;
    k.w = r.w;
    k.h = n;
    k.x = ref.x + px;
    k.y = ref.y + py;
    k.padx = ref.w - px - r.w;
    k.pady = ref.h - py - n;
    k.data = ref.data + static_cast<std::ptrdiff_t>(py) * ref.lb + static_cast<std::ptrdiff_t>(px) * ref.bpp;
    return k;
}

DriverCall::DriverCall(ZorOp *op, int count, const char *driver) : op_(op), count_(count), start_ns_(now_ns()) {
    if (!driver) {
        const WrenPath *row = wren_path_of(op, count);
        driver = row ? row->member : "(no matching path)";
    }
    driver_ = driver;
}

// Releases in the reverse order of acquisition; nothing here throws.
DriverCall::~DriverCall() {
    if (device_) {
        g_device.unlock();
    }
    // The record is the window's: cleared while the window is still held.
    if (status_ == ZOR_SUCCESS && win_.dio) {
        win_.dio->state = 0;
    }
    if (locked_) {
        wca_win_unlock(handle_);
    }
    for (int i = 0; i < nscratch_; ++i) std::free(scratch_[i].data);
    for (int i = 0; i < nlines_; ++i) std::free(lines_[i]);
    if (list_) {
        list_->destroy();
    }
    if (roi2_) {
        roi2_->destroy();
    }
    if (r_ && r_owned_) {
        r_->destroy();
    }
    finish();
}

int DriverCall::decline(wren_reason reason, const char *fmt, ...) {
    status_ = ZOR_FAILURE;
    reason_ = reason;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(message_, sizeof message_, fmt, ap);
    va_end(ap);
    done_ = true;
    return ZOR_FAILURE;
}

int DriverCall::computed() {
    status_ = ZOR_SUCCESS;
    reason_ = WREN_OK;
    message_[0] = '\0';
    done_ = true;
    return ZOR_SUCCESS;
}

void DriverCall::note(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(note_, sizeof note_, fmt, ap);
    va_end(ap);
}

void DriverCall::note_chunk(int n) {
    if (chunks_ < WREN_OUTCOME_CHUNKS) {
        chunk_rows_[chunks_] = n;
    }
    ++chunks_;
}

void DriverCall::finish() noexcept {
    if (!done_) {
        reason_ = WREN_CHAIN;
        copy_str(message_, sizeof message_, "driver ended without an outcome");
    }
    wren_outcome &o = g_last;
    std::memset(&o, 0, sizeof o);
    o.size = static_cast<int>(sizeof o);
    chain_path(op_, count_, o.path, sizeof o.path);
    copy_str(o.driver, sizeof o.driver, driver_);
    o.status = status_;
    o.reason = reason_;
    copy_str(o.message, sizeof o.message, message_);
    if (status_ == ZOR_SUCCESS) {
        o.rects = static_cast<int>(vis_.rects.size());
        for (int i = 0; i < o.rects && i < WREN_OUTCOME_RECTS; ++i) {
            const Rect &r = vis_.rects[static_cast<std::size_t>(i)];
            o.rect[i][0] = r.x;
            o.rect[i][1] = r.y;
            o.rect[i][2] = r.w;
            o.rect[i][3] = r.h;
        }
    }
    o.usec = (now_ns() - start_ns_) / 1000;
    o.scratch_bytes = buffer_bytes_;
    o.scratch_allocs = nscratch_ + nlines_;
    o.chunks = chunks_;
    std::memcpy(o.chunk_rows, chunk_rows_, sizeof o.chunk_rows);
    copy_str(o.kernels, sizeof o.kernels, kl_implementation());
    copy_str(o.note, sizeof o.note, note_);
    g_have_last = true;
    if (!tracing()) return;
    if (o.status != ZOR_SUCCESS) {
        std::fprintf(stderr, "wren: %s %s declined (%s: %s), %ld us\n", o.path, o.driver,
                     wren_reason_name(o.reason), o.message, o.usec);
        return;
    }
    char rects[8 * 48] = "";
    std::size_t used = 0;
    for (int i = 0; i < o.rects && i < WREN_OUTCOME_RECTS; ++i) {
        const int k = std::snprintf(rects + used, sizeof rects - used, " (%d,%d %dx%d)", o.rect[i][0],
                                    o.rect[i][1], o.rect[i][2], o.rect[i][3]);
        if (k < 0 || static_cast<std::size_t>(k) >= sizeof rects - used) break;
        used += static_cast<std::size_t>(k);
    }
    std::fprintf(stderr, "wren: %s %s computed, %d rectangle(s)%s%s, %s kernels%s%s, %ld us\n", o.path, o.driver,
                 o.rects, rects, o.rects > WREN_OUTCOME_RECTS ? " ..." : "", o.kernels, o.note[0] ? ", " : "",
                 o.note, o.usec);
}

const Window *DriverCall::window(ZorImage *d) {
    if (!d) {
        decline(WREN_NO_WINDOW, "no destination image");
        return nullptr;
    }
    Window w;
    w.image = d;
    d->getChildOffsets(&w.cx, &w.cy, &w.cb);
    w.dio = d->getDeviceInputOutput();
    if (!w.dio) {
        decline(WREN_NO_WINDOW, "destination is not a window");
        return nullptr;
    }
    d->getOrigin(&w.ox, &w.oy);
    if (zor2kl_window(d, &w.k) != ZOR_SUCCESS) {
        decline(WREN_NO_WINDOW, "window of depth %d cannot be described", w.dio->depth);
        return nullptr;
    }
    win_ = w;
    have_window_ = true;
    return &win_;
}

bool DriverCall::source(ZorImage *src, Placed &s) {
    if (!src) {
        decline(WREN_NO_SOURCE, "no source image");
        return false;
    }
    src->getOrigin(&s.ox, &s.oy);
    if (zor2kl_image(src, &s.k) != ZOR_SUCCESS) {
        decline(WREN_NO_SOURCE, "source is not an image in memory that can be described");
        return false;
    }
    return true;
}

bool DriverCall::region(ZorRoi *r, bool owned) {
    if (!r) {
        decline(WREN_REGION, "no region to compute");
        return false;
    }
    if (r_ && r_owned_) {
        r_->destroy();
    }
    r_ = r;
    r_owned_ = owned;
    return true;
}

const Scratch *DriverCall::scratch(int bands, int maxw) {
    // Described over a placeholder first, only to learn the row size.
    static unsigned char placeholder;
    kl_image s;
    const int type = have_window_ ? static_cast<int>(win_.k.type) : static_cast<int>(KL_BYTE);
    if (nscratch_ == kBuffers || maxw < 1 || !kl_initimage(&s, type, bands, maxw, 0, &placeholder, 0) || s.lb <= 0) {
        decline(WREN_SCRATCH, "scratch image of %d bands, %d pixels wide, cannot be described", bands, maxw);
        return nullptr;
    }
    const std::size_t size = static_cast<std::size_t>(s.lb) > 8192 ? static_cast<std::size_t>(s.lb) : 8192;
    const std::size_t page = 4096;
    void *p = nullptr;
    if (posix_memalign(&p, page, (size + page - 1) / page * page) != 0 || !p) {
        decline(WREN_SCRATCH, "no memory for a scratch buffer of %zu bytes", size);
        return nullptr;
    }
    // Unselected samples of the scratch rows are read by the kernels but never
    // written anywhere; keep them defined.
    std::memset(p, 0, size);
    Scratch &b = scratch_[nscratch_++];
    b = Scratch{static_cast<unsigned char *>(p), size, type, bands, maxw};
    buffer_bytes_ += static_cast<long>(size);
    return &b;
}

void *DriverCall::line_buffer(std::size_t n) {
    void *p = nullptr;
    if (nlines_ == kBuffers || n == 0 || !(p = std::calloc((n + 7) / 8, 8))) {
        decline(WREN_SCRATCH, "no memory for a line buffer of %zu bytes", n);
        return nullptr;
    }
    lines_[nlines_++] = p;
    buffer_bytes_ += static_cast<long>(n);
    return p;
}

// Every rectangle lies inside the window image, every area it reads inside
// its source, and it fits every staging buffer.
bool DriverCall::check(const Rect &r, std::initializer_list<Read> reads) {
    const Placed &w = vis_.window;
    if (!fits(static_cast<long long>(r.x) + w.ox, r.w, w.k.w) || !fits(static_cast<long long>(r.y) + w.oy, r.h, w.k.h)) {
        decline(WREN_BOUNDS, "rectangle (%d, %d, %d, %d) leaves the window image", r.x, r.y, r.w, r.h);
        return false;
    }
    int i = 0;
    for (const Read &rd : reads) {
        ++i;
        const Placed &s = *rd.src;
        const Rect a = rd.map ? rd.map(r, s, rd.ctx) : r;
        if (!fits(static_cast<long long>(a.x) + s.ox, a.w, s.k.w) || !fits(static_cast<long long>(a.y) + s.oy, a.h, s.k.h)) {
            decline(WREN_BOUNDS, "rectangle (%d, %d, %d, %d) reads outside source %d (%dx%d at origin %d, %d)", r.x,
                    r.y, r.w, r.h, i, s.k.w, s.k.h, s.ox, s.oy);
            return false;
        }
    }
    for (int k = 0; k < nscratch_; ++k) {
        if (r.w > scratch_[k].maxw) {
            decline(WREN_SCRATCH, "rectangle %d pixels wide does not fit a staging buffer for %d", r.w,
                    scratch_[k].maxw);
            return false;
        }
    }
    return true;
}

const Visible *DriverCall::clip(std::initializer_list<Read> reads) {
    if (!have_window_ || !r_) {
        decline(WREN_REGION, "no window or region to clip");
        return nullptr;
    }
    handle_ = static_cast<wca_win *>(win_.dio->window);
    if (wca_win_lock(handle_) != WCA_OK) {
        decline(WREN_LOCK, "window handle cannot be locked");
        return nullptr;
    }
    locked_ = true;
    void *cl = wca_win_clipinfo(handle_);
    Visible &v = vis_;
    if (wca_win_bbox(handle_, &v.bx, &v.by, &v.bw, &v.bh) != WCA_OK) {
        decline(WREN_LOCK, "window has no bounding box");
        return nullptr;
    }
    ZorDisplayIO *dio = win_.dio;
    dio->clipList = static_cast<const ZorClipList *>(cl);
    dio->bboxX = v.bx;
    dio->bboxY = v.by;
    dio->bboxW = v.bw;
    dio->bboxH = v.bh;

    kl_image &k = v.window.k;
    k = win_.k;
    k.x += v.bx;
    k.y += v.by;
    k.data += static_cast<std::ptrdiff_t>(v.bx) * k.bpp + static_cast<std::ptrdiff_t>(v.by) * k.lb;
    v.window.ox = win_.ox;
    v.window.oy = win_.oy;

    const long long xoff = static_cast<long long>(win_.ox) + k.x + win_.cx;
    const long long yoff = static_cast<long long>(win_.oy) + k.y + win_.cy;
    if (xoff < -ZOR_COORD_LIMIT || xoff > ZOR_COORD_LIMIT || yoff < -ZOR_COORD_LIMIT || yoff > ZOR_COORD_LIMIT) {
        decline(WREN_CLIP, "window offset (%lld, %lld) out of range", xoff, yoff);
        return nullptr;
    }
    roi2_ = r_->intersectClipList(static_cast<const ZorClipList *>(cl), static_cast<int>(xoff),
                                  static_cast<int>(yoff));
    if (!roi2_) {
        decline(WREN_CLIP, "region cannot be clipped to the visible area");
        return nullptr;
    }
    list_ = roi2_->getRectList();
    if (!list_) {
        decline(WREN_RECT_LIST, "no rectangle list of the visible region");
        return nullptr;
    }
    try {
        Rect r;
        while (list_->getNext(&r.x, &r.y, &r.w, &r.h)) {
            if (r.w <= 0 || r.h <= 0) continue;
            if (!check(r, reads)) return nullptr;
            v.rects.push_back(r);
        }
    } catch (const std::bad_alloc &) {
        decline(WREN_RECT_LIST, "no memory for the rectangle list");
        return nullptr;
    }
    return &v;
}

bool DriverCall::raster_setup() {
    if (!have_window_) {
        decline(WREN_RASTER_SETUP, "no window");
        return false;
    }
    if (win_.dio->depth == 8) {
        return raster_setup(0xff);
    }
    return raster_setup(kl_rgb_masks[win_.k.bmask & 0xf]);
}

bool DriverCall::device() {
    if (!locked_) {
        decline(WREN_LOCK, "the accelerator is taken only under the window lock");
        return false;
    }
    if (!device_) {
        g_device.lock();
        device_ = true;
    }
    return true;
}

bool DriverCall::raster_setup(unsigned long plane_mask) {
    if (!have_window_) {
        decline(WREN_RASTER_SETUP, "no window");
        return false;
    }
    if (!device()) {
        return false;
    }
    const int depth = win_.dio->depth;
    const int groups = depth == 8 ? 1 : depth == 24 ? 7 : 0;
    if (wren_setup(static_cast<unsigned long *>(win_.dio->regs), groups, plane_mask, wren_val::rop_copy) != 0) {
        decline(WREN_RASTER_SETUP, "raster setup refused (depth %d)", depth);
        return false;
    }
    return true;
}

}  // namespace wren
