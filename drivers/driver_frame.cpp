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
    va_list ap;
    va_start(ap, fmt);
    vdecline(reason, fmt, ap);
    va_end(ap);
    return ZOR_FAILURE;
}

int DriverCall::vdecline(wren_reason reason, const char *fmt, va_list ap) {
    status_ = ZOR_FAILURE;
    reason_ = reason;
    std::vsnprintf(message_, sizeof message_, fmt, ap);
    done_ = true;
    return ZOR_FAILURE;
}

bool Ctx::refuse(wren_reason reason, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    call.vdecline(reason, fmt, ap);
    va_end(ap);
    return false;
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

const Scratch *DriverCall::scratch(int bands, int maxw, int type) {
    // Described over a placeholder first, only to learn the row size.
    static unsigned char placeholder;
    kl_image s;
    if (type < 0) type = have_window_ ? static_cast<int>(win_.k.type) : static_cast<int>(KL_BYTE);
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
bool DriverCall::check(const Rect &r, const Read *reads, int n) {
    const Placed &w = vis_.window;
    if (!fits(static_cast<long long>(r.x) + w.ox, r.w, w.k.w) || !fits(static_cast<long long>(r.y) + w.oy, r.h, w.k.h)) {
        decline(WREN_BOUNDS, "rectangle (%d, %d, %d, %d) leaves the window image", r.x, r.y, r.w, r.h);
        return false;
    }
    for (int i = 1; i <= n; ++i) {
        const Read &rd = reads[i - 1];
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

const Visible *DriverCall::clip(const Read *reads, int nreads) {
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
            if (!check(r, reads, nreads)) return nullptr;
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

// ---- run ----------------------------------------------------------------------

namespace wren {

namespace {

int selected(int bmask) { return __builtin_popcount(static_cast<unsigned>(bmask & 15)); }

bool masks_fit(Masks m, int n, const kl_image *const *src, const kl_image &dst) {
    for (int i = 0; i < n; ++i) {
        const kl_image &s = *src[i];
        switch (m) {
        case Masks::any: break;
        case Masks::equal:
            if (s.bmask != dst.bmask) return false;
            break;
        case Masks::full:
            if (s.bmask != dst.bmask || s.bmask != (1 << s.bands) - 1) return false;
            break;
        case Masks::count:
            if (selected(s.bmask) != selected(dst.bmask)) return false;
            break;
        case Masks::one:
            if (selected(s.bmask) != 1 || selected(dst.bmask) != 1) return false;
            break;
        }
    }
    return true;
}

bool strides_fit(const Layout &l, int n, const kl_image *const *src, const kl_image &dst) {
    const int want[2] = {l.s1, l.s2};
    for (int i = 0; i < n; ++i)
        if (want[i] && want[i] != src[i]->bands) return false;
    return !l.d || l.d == dst.bands;
}

// Band counts and masks: "3 (0x7), 4 (0xf) into 4 (0x7)".
void layout_text(char *out, std::size_t size, int n, const kl_image *const *src, const kl_image &dst) {
    std::size_t used = 0;
    for (int i = 0; i < n && used < size; ++i)
        used += static_cast<std::size_t>(
            std::snprintf(out + used, size - used, "%s%d (%#x)", i ? ", " : "", src[i]->bands, src[i]->bmask));
    if (used < size) std::snprintf(out + used, size - used, "%sinto %d (%#x)", n ? " " : "", dst.bands, dst.bmask);
}

void report(const Ctx &c, const char *id, int line) {
    if (line) ZorSystemState::notifyError(nullptr, 0, id, 0, line, c.spec.name, nullptr);
}

// The layout row that takes the call's images; null (declined) when none.
const Layout *match(Ctx &c) {
    const DriverSpec &s = c.spec;
    const kl_image *src[2] = {&c.src[0].k, &c.src[1].k};
    bool some_masks = false;
    for (const Layout &l : s.layouts) {
        if (l.variants && !((l.variants >> c.variant) & 1)) continue;
        const bool m = masks_fit(l.masks, s.sources, src, c.win->k);
        some_masks |= m;
        if (m && strides_fit(l, s.sources, src, c.win->k)) return &l;
    }
    char what[96];
    layout_text(what, sizeof what, s.sources, src, c.win->k);
    const char *note = s.layout_note ? s.layout_note : "an RGB source needs a 24-bit window, a grey one an 8-bit window";
    if (!some_masks) {
        c.call.decline(WREN_BAND_MASK, "band masks of %s do not match (%s)", what, note);
    } else {
        c.call.decline(WREN_LAYOUT, "band layout %s not handled (%s)", what, note);
    }
    return nullptr;
}

// Pairs the sources' and the window's selected bands from their lowest bits
// up; a bit its image does not select is skipped.
int band_rounds(const kl_image &s, const kl_image &d, int sbit[4], int dbit[4]) {
    int rounds = 0;
    for (int sb = s.bmask & -s.bmask, db = d.bmask & -d.bmask, i = 0; i < selected(d.bmask); ++i, sb <<= 1, db <<= 1) {
        if ((sb & s.bmask) && (db & d.bmask) && rounds < 4) {
            sbit[rounds] = sb;
            dbit[rounds++] = db;
        }
    }
    return rounds;
}

kl_image view(const kl_image &k, const Rect &p) {
    kl_image q = k;
    q.data = k.data + static_cast<std::ptrdiff_t>(p.y) * k.lb + static_cast<std::ptrdiff_t>(p.x) * k.bpp;
    q.w = p.w;
    q.h = p.h;
    return q;
}

// One-band images for the band-by-band walk: the source band with its margin
// (t[0]) and up to three result bands (t[1..3]); false (declined) when they
// cannot be made.
bool band_images(Ctx &c, int margin, int n, kl_image t[4]) {
    int maxw = 1, maxh = 1;
    for (const Rect &r : c.vis->rects) {
        maxw = r.w > maxw ? r.w : maxw;
        maxh = r.h > maxh ? r.h : maxh;
    }
    for (int i = 0; i < n; ++i) {
        const int w = i ? maxw : maxw + 2 * margin, h = i ? maxh : maxh + 2 * margin;
        static unsigned char placeholder;
        if (!kl_initimage(&t[i], KL_BYTE, 1, w, h, &placeholder, 8)) {
            c.call.decline(WREN_SCRATCH, "one-band images of %dx%d pixels cannot be described", w, h);
            return false;
        }
        void *p = c.call.line_buffer(static_cast<std::size_t>(t[i].lb) * static_cast<std::size_t>(h));
        if (!p) return false;
        t[i].data = static_cast<unsigned char *>(p);
    }
    return true;
}

// Band by band: per rectangle, each band pair's source band (with up to
// `margin` real pixels around the rectangle) and the window's band go to
// one-band images, the kernel runs on those, and the result goes back into
// the window's band; a 24-bit window showing bands 1-3 in one rectangle gets
// the three at once through the combine kernel.
bool by_band(Ctx &c) {
    const kl_image &S = c.src[0].k, &D = c.win->k;
    int sbit[4], dbit[4];
    const int rounds = band_rounds(S, D, sbit, dbit);
    const bool combine = D.bands == 4 && (D.bmask & 15) == 7 && c.vis->rects.size() == 1 && rounds == 3;
    kl_image t[4];
    if (!band_images(c, c.margin, combine ? 4 : 2, t)) return false;
    c.call.note("%d band(s) %s", rounds, combine ? "combined" : "inserted");
    const auto upto = [m = c.margin](long v) { return static_cast<int>(v < 0 ? 0 : v > m ? m : v); };
    for (const Rect &r : c.vis->rects) {
        kl_image wd = c.vis->at(r), ws = at(c.src[0], r);
        const int l = upto(ws.x), tp = upto(ws.y), rr = upto(ws.padx), b = upto(ws.pady);
        kl_image around = view(ws, Rect{-l, -tp, r.w + l + rr, r.h + tp + b});
        kl_image whole = view(t[0], Rect{0, 0, around.w, around.h}), inner = view(whole, Rect{l, tp, r.w, r.h});
        inner.x = l;
        inner.y = tp;
        inner.padx = rr;
        inner.pady = b;
        for (int k = 0; k < rounds; ++k) {
            kl_band_extract_8(sbit[k], &whole, &around);
            kl_image target = view(t[combine ? k + 1 : 1], Rect{0, 0, r.w, r.h});
            kl_band_extract_8(dbit[k], &target, &wd);  // what the kernel leaves stays as it was
            Job j{c, r, 0, r.h, target, {inner, inner}, target.bmask};
            c.spec.kernel(j);
            if (!combine) kl_band_insert_8(dbit[k], &wd, &target);
        }
        if (combine) {
            kl_image b1 = view(t[3], Rect{0, 0, r.w, r.h}), b2 = view(t[2], Rect{0, 0, r.w, r.h}),
                     b3 = view(t[1], Rect{0, 0, r.w, r.h});
            kl_combine_wren(&wd, &b1, &b2, &b3);
        }
    }
    return true;
}

int declined(DriverCall &call) {
    return call.decided() ? ZOR_FAILURE : call.decline(WREN_PARAMETER, "parameters cannot be used");
}

}  // namespace

bool layout_fits(const Layout &l, int variant, int n, const kl_image *const *src, const kl_image &dst) {
    return (!l.variants || ((l.variants >> variant) & 1)) && masks_fit(l.masks, n, src, dst) &&
           strides_fit(l, n, src, dst);
}

Region source_in_window(Ctx &c) {
    ZorRoi *roi1 = c.op->getSrc1() ? c.op->getSrc1()->getImageSpaceRoi() : nullptr;
    ZorRoi *roid = c.win->image->getImageSpaceRoi();
    return {roi1 && roid ? roi1->intersect(roid) : nullptr};
}

int run(const DriverSpec &s, ZorOp *display, int count, void *params) {
    DriverCall call(display, count, s.name);
    Ctx c(call, s, display, count, params);
    int n = 0;
    for (ZorOp *o = display ? display->getOp1() : nullptr; o && n < 4; o = o->getOp1()) c.ops[n++] = o;
    if (n < s.depth) {
        return n ? call.decline(WREN_CHAIN, "%d operation(s) below the display, %d needed", n, s.depth)
                 : call.decline(WREN_CHAIN, "no operation feeds the display");
    }
    c.op = s.source_op ? s.source_op(c) : c.ops[s.depth - 1];
    if (!c.op) return call.decline(WREN_CHAIN, "the chain below the display is too short");
    if (!(c.win = call.window(display->getDst()))) return ZOR_FAILURE;
    for (int i = 0; i < s.sources; ++i) {
        if (!call.source(i ? c.op->getSrc2() : c.op->getSrc1(), c.src[i])) return ZOR_FAILURE;
        if (c.src[i].k.type != s.sample) {
            return call.decline(WREN_LAYOUT, "source is not %s", s.sample == KL_SHORT ? "16-bit" : "8-bit");
        }
    }
    c.variant = s.variant ? s.variant(c.ops) : 0;
    if (!(c.layout = match(c))) return ZOR_FAILURE;
    const kl_image &kd = c.win->k;
    const bool depth8 = c.win->dio->depth == 8;
    c.planes = depth8 ? 0xffUL : s.planes == Planes::all ? 0xffffffUL : kl_rgb_masks[kd.bmask & 0xf];
    if (s.parse && !s.parse(c)) return declined(call);

    const Region rg = s.region ? s.region(c) : source_in_window(c);
    if (!rg.roi) {
        report(c, "di-6", c.reports.region);
        return call.decline(WREN_REGION, "no region to compute");
    }
    call.region(rg.roi, rg.owned);
    if (call.region_empty()) return call.computed();
    const Layout &L = *c.layout;
    const Scratch *scr = nullptr;
    if (L.stage == Stage::widen1 || L.stage == Stage::widen2 || L.stage == Stage::expand) {
        int maxw = kd.w;
        for (int i = 0; i < s.sources; ++i) maxw = c.src[i].k.w > maxw ? c.src[i].k.w : maxw;
        const int type = L.stage == Stage::expand ? kd.type : c.src[L.stage == Stage::widen2].k.type;
        if (!(scr = call.scratch(L.via, maxw, type))) return ZOR_FAILURE;
    }
    Read reads[2];
    const int nreads = s.reads == Reads::kernel ? 0 : s.sources;
    for (int i = 0; i < nreads; ++i)
        reads[i] = Read{&c.src[i], s.reads == Reads::mapped ? s.footprint : nullptr, &c};
    if (!(c.vis = call.clip(reads, nreads))) {
        report(c, "di-7", call.last_reason() == WREN_CLIP ? c.reports.clip : 0);
        report(c, "di-8", call.last_reason() == WREN_RECT_LIST ? c.reports.rects : 0);
        return ZOR_FAILURE;
    }
    if (s.visible && !s.visible(c)) return declined(call);
    if (!(s.planes == Planes::none ? call.device() : call.raster_setup(c.planes))) return ZOR_FAILURE;
    if (s.program) s.program(c);

    const int bmask = kd.bmask;
    if (L.stage == Stage::by_band) {
        if (!by_band(c)) return ZOR_FAILURE;
    } else {
        for (const Rect &r : c.vis->rects) {
            if (L.stage == Stage::direct) {
                Job j{c, r, 0, r.h, c.vis->at(r), {at(c.src[0], r), at(c.src[1], r)}, bmask};
                s.kernel(j);
                continue;
            }
            call.chunks(*scr, r, [&](int row, int rows, kl_image &t) {
                Job j{c, r, row, rows, c.vis->at(r, row, rows), {at(c.src[0], r, row, rows), at(c.src[1], r, row, rows)},
                      bmask};
                if (L.stage == Stage::expand) {
                    const kl_image wd = j.dst;
                    if (s.partial) kl_copy8_4_3(wd.bmask, &t, &j.dst);
                    j.dst = t;
                    s.kernel(j);
                    kl_image to = wd;
                    if (t.bands == 3 && wd.bands == 4) {
                        kl_copy8_3_4(bmask, &to, &t);
                    } else {
                        kl_copy_8(bmask, &to, &t);
                    }
                    return;
                }
                kl_image &from = j.src[L.stage == Stage::widen2];
                t.bmask = from.bmask;
                (from.type == KL_SHORT ? kl_copy16_3_4 : kl_copy8_3_4)(from.bmask, &t, &from);
                from = t;
                s.kernel(j);
            });
        }
    }
    if (c.walk_failed) return call.decline(WREN_PARAMETER, "%s", c.walk_failed);
    return call.computed();
}

}  // namespace wren
