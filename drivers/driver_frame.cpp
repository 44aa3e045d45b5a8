#include "driver_frame.h"

#include "wca.h"
#include "wren_regs.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <new>

namespace {

wren_outcome g_last;
bool g_have_last = false;

long now_ns() {
    using namespace std::chrono;
    return static_cast<long>(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}

bool tracing() {
    const char *v = std::getenv("WREN_TRACE");
    return v && *v && std::strcmp(v, "0") != 0;
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

DriverCall::DriverCall(const char *driver, ZorOp *op, int count)
    : driver_(driver), op_(op), count_(count), start_ns_(now_ns()) {}

DriverCall::~DriverCall() {
    if (locked_) {
        wca_win_unlock(win_);
    }
    if (status_ == ZOR_SUCCESS && dio) {
        dio->state = 0;
    }
    std::free(scratch_buf_);
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

int DriverCall::computed(int rects) {
    status_ = ZOR_SUCCESS;
    reason_ = WREN_OK;
    message_[0] = '\0';
    rects_written_ = rects;
    done_ = true;
    return ZOR_SUCCESS;
}

void DriverCall::note_chunk(int n) {
    if (chunks_ < WREN_OUTCOME_CHUNKS) {
        chunk_rows_[chunks_] = n;
    }
    ++chunks_;
}

void DriverCall::finish() {
    if (!done_) {
        reason_ = WREN_CHAIN;
        copy_str(message_, sizeof message_, "driver ended without an outcome");
    }
    wren_outcome &o = g_last;
    std::memset(&o, 0, sizeof o);
    chain_path(op_, count_, o.path, sizeof o.path);
    copy_str(o.driver, sizeof o.driver, driver_);
    o.status = status_;
    o.reason = reason_;
    copy_str(o.message, sizeof o.message, message_);
    o.rects = status_ == ZOR_SUCCESS ? rects_written_ : 0;
    o.usec = (now_ns() - start_ns_) / 1000;
    o.scratch_bytes = static_cast<long>(scratch_size_);
    o.scratch_allocs = scratch_allocs_;
    o.chunks = chunks_;
    std::memcpy(o.chunk_rows, chunk_rows_, sizeof o.chunk_rows);
    g_have_last = true;
    if (tracing()) {
        if (o.status == ZOR_SUCCESS) {
            std::fprintf(stderr, "wren: %s %s computed, %d rectangle(s), %ld us\n", o.path, o.driver, o.rects,
                         o.usec);
        } else {
            std::fprintf(stderr, "wren: %s %s declined (%s: %s), %ld us\n", o.path, o.driver,
                         wren_reason_name(o.reason), o.message, o.usec);
        }
    }
}

bool DriverCall::window(ZorImage *d) {
    dst = d;
    if (!dst) {
        decline(WREN_NO_WINDOW, "no destination image");
        return false;
    }
    dst->getChildOffsets(&cx, &cy, &cb);
    dio = dst->getDeviceInputOutput();
    if (!dio) {
        decline(WREN_NO_WINDOW, "destination is not a window");
        return false;
    }
    dst->getOrigin(&dox, &doy);
    if (zor2kl_window(dst, &kd) != ZOR_SUCCESS) {
        decline(WREN_NO_WINDOW, "window of depth %d cannot be described", dio->depth);
        return false;
    }
    return true;
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
    r_ = r;
    r_owned_ = owned;
    return true;
}

bool DriverCall::scratch(int bands, int maxw) {
    // Described over a placeholder first, only to learn the row size.
    static unsigned char placeholder;
    kl_image s;
    if (maxw < 1 || !kl_initimage(&s, kd.type, bands, maxw, 0, &placeholder, 0) || s.lb <= 0) {
        decline(WREN_SCRATCH, "scratch image of %d bands, %d pixels wide, cannot be described", bands, maxw);
        return false;
    }
    const std::size_t size = static_cast<std::size_t>(s.lb) > 8192 ? static_cast<std::size_t>(s.lb) : 8192;
    const std::size_t page = 4096;
    void *p = nullptr;
    if (posix_memalign(&p, page, (size + page - 1) / page * page) != 0 || !p) {
        decline(WREN_SCRATCH, "no memory for a scratch buffer of %zu bytes", size);
        return false;
    }
    // Unselected samples of the scratch rows are read by the kernels but never
    // written anywhere; keep them defined.
    std::memset(p, 0, size);
    scratch_buf_ = p;
    scratch_size_ = size;
    scratch_bands_ = bands;
    scratch_type_ = kd.type;
    ++scratch_allocs_;
    return true;
}

bool DriverCall::clip(std::initializer_list<const Placed *> sources) {
    win_ = static_cast<wca_win *>(dio->window);
    if (wca_win_lock(win_) != WCA_OK) {
        decline(WREN_LOCK, "window handle cannot be locked");
        return false;
    }
    locked_ = true;
    void *clip = wca_win_clipinfo(win_);
    if (wca_win_bbox(win_, &bx, &by, &bw, &bh) != WCA_OK) {
        decline(WREN_LOCK, "window has no bounding box");
        return false;
    }
    dio->clipList = static_cast<const ZorClipList *>(clip);
    dio->bboxX = bx;
    dio->bboxY = by;
    dio->bboxW = bw;
    dio->bboxH = bh;

    kd.x += bx;
    kd.y += by;
    kd.data += static_cast<std::ptrdiff_t>(bx) * kd.bpp + static_cast<std::ptrdiff_t>(by) * kd.lb;

    const long long xoff = static_cast<long long>(dox) + kd.x + cx, yoff = static_cast<long long>(doy) + kd.y + cy;
    if (xoff < -ZOR_COORD_LIMIT || xoff > ZOR_COORD_LIMIT || yoff < -ZOR_COORD_LIMIT || yoff > ZOR_COORD_LIMIT) {
        decline(WREN_CLIP, "window offset (%lld, %lld) out of range", xoff, yoff);
        return false;
    }
    roi2_ = r_->intersectClipList(static_cast<const ZorClipList *>(clip), static_cast<int>(xoff),
                                  static_cast<int>(yoff));
    if (!roi2_) {
        decline(WREN_CLIP, "region cannot be clipped to the visible area");
        return false;
    }
    list_ = roi2_->getRectList();
    if (!list_) {
        decline(WREN_RECT_LIST, "no rectangle list of the visible region");
        return false;
    }

    try {
        Rect r;
        while (list_->getNext(&r.x, &r.y, &r.w, &r.h)) {
            if (r.w <= 0 || r.h <= 0) {
                continue;
            }
            // Every rectangle must lie inside every image it reads or writes.
            if (!fits(static_cast<long long>(r.x) + dox, r.w, kd.w) ||
                !fits(static_cast<long long>(r.y) + doy, r.h, kd.h)) {
                decline(WREN_BOUNDS, "rectangle (%d, %d, %d, %d) leaves the window image", r.x, r.y, r.w, r.h);
                return false;
            }
            int i = 0;
            for (const Placed *s : sources) {
                ++i;
                if (!fits(static_cast<long long>(r.x) + s->ox, r.w, s->k.w) ||
                    !fits(static_cast<long long>(r.y) + s->oy, r.h, s->k.h)) {
                    decline(WREN_BOUNDS, "rectangle (%d, %d, %d, %d) leaves source %d", r.x, r.y, r.w, r.h, i);
                    return false;
                }
            }
            rects_.push_back(r);
        }
    } catch (const std::bad_alloc &) {
        decline(WREN_RECT_LIST, "no memory for the rectangle list");
        return false;
    }
    return true;
}

bool DriverCall::raster_setup() {
    if (dio->depth == 8) {
        return raster_setup(0xff);
    }
    return raster_setup(kl_rgb_masks[kd.bmask & 0xf]);
}

bool DriverCall::raster_setup(unsigned long plane_mask) {
    const int groups = dio->depth == 8 ? 1 : dio->depth == 24 ? 7 : 0;
    if (wren_setup(static_cast<unsigned long *>(dio->regs), groups, plane_mask, wren_val::rop_copy) != 0) {
        decline(WREN_RASTER_SETUP, "raster setup refused (depth %d)", dio->depth);
        return false;
    }
    return true;
}

}  // namespace wren
