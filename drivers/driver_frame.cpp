#include "driver_frame.h"

#include "wca.h"
#include "wren_paths.h"
#include "wren_regs.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace {

// The outcome of the last call made on this thread.
thread_local wren_outcome g_last;
thread_local bool g_have_last = false;
// The rectangle list's storage between calls on this thread, so that a call
// does not grow a fresh one.
thread_local std::vector<wren::Rect> g_spare_rects;
constexpr std::size_t kSpareRects = 4096;  // larger lists are not kept

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

// Appends s at out + used as snprintf(out + used, size - used, "%s", s)
// would: at most size - used - 1 characters and a NUL when used < size.
// Returns used plus the length of s, as snprintf counts.
std::size_t append(char *out, std::size_t size, std::size_t used, const char *s) {
    const std::size_t len = std::strlen(s);
    if (used < size) {
        const std::size_t n = len < size - used - 1 ? len : size - used - 1;
        std::memcpy(out + used, s, n);
        out[used + n] = '\0';
    }
    return used + len;
}

// "display_ioQORVwren/threshold8/rescale8": the names of the matched chain.
void chain_path(ZorOp *op, int count, char *out, std::size_t size) {
    append(out, size, 0, op ? "" : "(no operation)");
    std::size_t used = 0;
    for (int i = 0; i < (count < 1 ? 1 : count > 8 ? 8 : count) && op && used < size; ++i, op = op->getOp1()) {
        const char *name = op->getName();
        if (i) used = append(out, size, used, "/");
        if (used < size) used = append(out, size, used, name ? name : "?");
    }
}

void copy_str(char *dst, std::size_t size, const char *src) { append(dst, size, 0, src ? src : ""); }

bool fits(long long lo, long long len, long long size) { return lo >= 0 && len >= 0 && lo + len <= size; }

int selected(int bmask) { return __builtin_popcount(static_cast<unsigned>(bmask & 15)); }

const char *const reason_names[] = {"ok",      "no kernel", "window", "source", "band mask",      "layout",
                                    "parameter", "region",  "scratch", "lock", "clip", "rectangle list",
                                    "bounds",  "raster setup", "chain", "not built"};

}  // namespace

extern "C" int wren_last_outcome(wren_outcome *out) {
    if (!out || !g_have_last) return -1;
    *out = g_last;
    return 0;
}

extern "C" const char *wren_reason_name(int reason) {
    return reason >= 0 && reason <= WREN_NOT_BUILT ? reason_names[reason] : "unknown";
}

namespace wren {

Ctx::Ctx(const DriverPlan &s, ZorOp *d, int n, void *p)
    : plan(s), display(d), count(n), reports(s.reports), params(p), start_ns_(now_ns()) {
    rects.swap(g_spare_rects);
}

// Releases in the reverse order of acquisition, then records the outcome;
// nothing here throws.
Ctx::~Ctx() {
    if (device_) g_device.unlock();
    // The record is the window's: cleared while the window is still held.
    if (status_ == ZOR_SUCCESS && dio) dio->state = 0;
    if (locked_) wca_win_unlock(handle_);
    std::free(scratch_.data);
    for (int i = 0; i < nlines_; ++i) std::free(lines_[i]);
    if (list_) list_->destroy();
    if (roi2_) roi2_->destroy();
    if (r_ && r_owned_) r_->destroy();

    if (!done_) copy_str(message_, sizeof message_, "driver ended without an outcome"), reason_ = WREN_CHAIN;
    wren_outcome &o = g_last;
    std::memset(&o, 0, sizeof o);
    o.size = static_cast<int>(sizeof o);
    chain_path(display, count, o.path, sizeof o.path);
    const WrenPath *row = plan.name ? nullptr : wren_path_of(display, count);
    copy_str(o.driver, sizeof o.driver, plan.name ? plan.name : row ? row->member : "(no matching path)");
    o.status = status_;
    o.reason = reason_;
    copy_str(o.message, sizeof o.message, message_);
    if (status_ == ZOR_SUCCESS) {
        o.rects = static_cast<int>(rects.size());
        for (int i = 0; i < o.rects && i < WREN_OUTCOME_RECTS; ++i) {
            const Rect &r = rects[static_cast<std::size_t>(i)];
            o.rect[i][0] = r.x, o.rect[i][1] = r.y, o.rect[i][2] = r.w, o.rect[i][3] = r.h;
        }
    }
    o.usec = (now_ns() - start_ns_) / 1000;
    o.scratch_bytes = buffer_bytes_;
    o.scratch_allocs = (scratch_.data ? 1 : 0) + nlines_;
    o.chunks = chunks_;
    std::memcpy(o.chunk_rows, chunk_rows_, sizeof o.chunk_rows);
    copy_str(o.kernels, sizeof o.kernels, kl_implementation());
    copy_str(o.note, sizeof o.note, note_);
    g_have_last = true;
    rects.clear();
    if (rects.capacity() <= kSpareRects) rects.swap(g_spare_rects);
    if (!tracing()) return;
    if (o.status != ZOR_SUCCESS) {
        std::fprintf(stderr, "wren: %s %s declined (%s: %s), %ld us\n", o.path, o.driver, wren_reason_name(o.reason),
                     o.message, o.usec);
        return;
    }
    char list[8 * 48] = "";
    for (std::size_t i = 0, used = 0; i < static_cast<std::size_t>(o.rects) && i < WREN_OUTCOME_RECTS && used < sizeof list; ++i)
        used += static_cast<std::size_t>(std::snprintf(list + used, sizeof list - used, " (%d,%d %dx%d)", o.rect[i][0],
                                                       o.rect[i][1], o.rect[i][2], o.rect[i][3]));
    std::fprintf(stderr, "wren: %s %s computed, %d rectangle(s)%s%s, %s kernels%s%s, %ld us\n", o.path, o.driver,
                 o.rects, list, o.rects > WREN_OUTCOME_RECTS ? " ..." : "", o.kernels, o.note[0] ? ", " : "", o.note,
                 o.usec);
}

bool Ctx::refuse(wren_reason reason, const char *fmt, ...) {
    status_ = ZOR_FAILURE;
    reason_ = reason;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(message_, sizeof message_, fmt, ap);
    va_end(ap);
    done_ = true;
    return false;
}

void Ctx::note(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(note_, sizeof note_, fmt, ap);
    va_end(ap);
}

void *Ctx::line_buffer(std::size_t n) {
    void *p = nullptr;
    if (nlines_ == static_cast<int>(sizeof lines_ / sizeof lines_[0]) || n == 0 || !(p = std::calloc((n + 7) / 8, 8))) {
        refuse(WREN_SCRATCH, "no memory for a buffer of %zu bytes", n);
        return nullptr;
    }
    lines_[nlines_++] = p;
    buffer_bytes_ += static_cast<long>(n);
    return p;
}

int refuse(ZorOp *display, int count, wren_reason reason, const char *message) {
    static const DriverPlan none{};
    Ctx c(none, display, count, nullptr);
    c.refuse(reason, "%s", message);
    return ZOR_FAILURE;
}

bool layout_fits(const Layout &l, int variant, int n, const kl_image *const *src, const kl_image &dst) {
    if (l.variants && !((l.variants >> variant) & 1)) return false;
    const int want[2] = {l.s1, l.s2};
    for (int i = 0; i < n; ++i) {
        const kl_image &s = *src[i];
        if (want[i] && want[i] != s.bands) return false;
        switch (l.masks) {
        case Masks::any: break;
        case Masks::equal: if (s.bmask != dst.bmask) return false; break;
        case Masks::full: if (s.bmask != dst.bmask || s.bmask != (1 << s.bands) - 1) return false; break;
        case Masks::count: if (selected(s.bmask) != selected(dst.bmask)) return false; break;
        case Masks::one: if (selected(s.bmask) != 1 || selected(dst.bmask) != 1) return false; break;
        }
    }
    return !l.d || l.d == dst.bands;
}

Region source_in_window(Ctx &c) {
    ZorRoi *roi1 = c.op->getSrc1() ? c.op->getSrc1()->getImageSpaceRoi() : nullptr;
    ZorRoi *roid = c.image->getImageSpaceRoi();
    return {roi1 && roid ? roi1->intersect(roid) : nullptr};
}

// The phases of run(), each false when it declined.
struct Frame {
    Ctx &c;

    bool window() {
        ZorImage *d = c.display->getDst();
        if (!d) return c.refuse(WREN_NO_WINDOW, "no destination image");
        c.image = d;
        d->getChildOffsets(&c.cx, &c.cy, &c.cb);
        if (!(c.dio = d->getDeviceInputOutput())) return c.refuse(WREN_NO_WINDOW, "destination is not a window");
        d->getOrigin(&c.win.ox, &c.win.oy);
        if (zor2kl_window(d, &c.win.k) != ZOR_SUCCESS) {
            return c.refuse(WREN_NO_WINDOW, "window of depth %d cannot be described", c.dio->depth);
        }
        return true;
    }

    bool source(ZorImage *img, Placed &s) {
        if (!img) return c.refuse(WREN_NO_SOURCE, "no source image");
        img->getOrigin(&s.ox, &s.oy);
        if (zor2kl_image(img, &s.k) != ZOR_SUCCESS) {
            return c.refuse(WREN_NO_SOURCE, "source is not an image in memory that can be described");
        }
        if (s.k.type != c.plan.sample) return c.refuse(WREN_LAYOUT, "source is not %s", c.plan.sample == KL_SHORT ? "16-bit" : "8-bit");
        return true;
    }

    // The first layout row that takes the images.
    bool layout() {
        const DriverPlan &s = c.plan;
        const kl_image *src[2] = {&c.src[0].k, &c.src[1].k};
        bool masks = false;
        for (const Layout &l : s.layouts) {
            if (layout_fits(l, c.variant, s.sources, src, c.win.k)) return c.layout = &l, true;
            Layout any_strides = l;
            any_strides.s1 = any_strides.s2 = any_strides.d = 0;
            masks |= layout_fits(any_strides, c.variant, s.sources, src, c.win.k);
        }
        char what[96];
        std::size_t used = 0;
        for (int i = 0; i < s.sources; ++i)
            used += static_cast<std::size_t>(std::snprintf(what + used, sizeof what - used, "%s%d (%#x)", i ? ", " : "",
                                                           src[i]->bands, src[i]->bmask));
        std::snprintf(what + used, sizeof what - used, "%sinto %d (%#x)", used ? " " : "", c.win.k.bands, c.win.k.bmask);
        const char *note = s.layout_note ? s.layout_note : "an RGB source needs a 24-bit window, a grey one an 8-bit window";
        return masks ? c.refuse(WREN_LAYOUT, "band layout %s not handled (%s)", what, note)
                     : c.refuse(WREN_BAND_MASK, "band masks of %s do not match (%s)", what, note);
    }

    // A page-aligned, zeroed buffer of at least 8192 bytes for rows of `bands`
    // samples of `type`, as wide as the widest image.
    bool scratch(int type, int bands) {
        static unsigned char placeholder;
        int maxw = c.win.k.w;
        for (int i = 0; i < c.plan.sources; ++i) maxw = c.src[i].k.w > maxw ? c.src[i].k.w : maxw;
        kl_image s;
        if (maxw < 1 || !kl_initimage(&s, type, bands, maxw, 0, &placeholder, 0) || s.lb <= 0) {
            return c.refuse(WREN_SCRATCH, "scratch rows of %d bands, %d pixels wide, cannot be described", bands, maxw);
        }
        const std::size_t size = static_cast<std::size_t>(s.lb) > 8192 ? static_cast<std::size_t>(s.lb) : 8192;
        void *p = nullptr;
        if (posix_memalign(&p, 4096, (size + 4095) / 4096 * 4096) != 0 || !p) {
            return c.refuse(WREN_SCRATCH, "no memory for a scratch buffer of %zu bytes", size);
        }
        // Unselected samples of the scratch rows are read but never written anywhere: keep them defined.
        std::memset(p, 0, size);
        c.scratch_ = Scratch{static_cast<unsigned char *>(p), size, type, bands};
        c.buffer_bytes_ += static_cast<long>(size);
        return true;
    }

    // Every rectangle lies inside the window image (so its rows fit the
    // scratch rows) and every area it reads inside its source.
    bool check(const Rect &r) {
        const Placed &w = c.win;
        if (!fits(static_cast<long long>(r.x) + w.ox, r.w, w.k.w) || !fits(static_cast<long long>(r.y) + w.oy, r.h, w.k.h)) {
            return c.refuse(WREN_BOUNDS, "rectangle (%d, %d, %d, %d) leaves the window image", r.x, r.y, r.w, r.h);
        }
        for (int i = 0; c.plan.reads != Reads::kernel && i < c.plan.sources; ++i) {
            const Placed &s = c.src[i];
            const Rect a = c.plan.reads == Reads::mapped ? c.plan.footprint(c, r, s) : r;
            if (!fits(static_cast<long long>(a.x) + s.ox, a.w, s.k.w) || !fits(static_cast<long long>(a.y) + s.oy, a.h, s.k.h)) {
                return c.refuse(WREN_BOUNDS, "rectangle (%d, %d, %d, %d) reads outside source %d (%dx%d at origin %d, %d)",
                                r.x, r.y, r.w, r.h, i + 1, s.k.w, s.k.h, s.ox, s.oy);
            }
        }
        return true;
    }

    // Locks the window and makes the visible set: the window descriptor
    // moved onto the screen and the rectangles to compute.
    bool clip() {
        c.handle_ = static_cast<wca_win *>(c.dio->window);
        if (wca_win_lock(c.handle_) != WCA_OK) return c.refuse(WREN_LOCK, "window handle cannot be locked");
        c.locked_ = true;
        void *cl = wca_win_clipinfo(c.handle_);
        int bx, by, bw, bh;
        if (wca_win_bbox(c.handle_, &bx, &by, &bw, &bh) != WCA_OK) return c.refuse(WREN_LOCK, "window has no bounding box");
        ZorDisplayIO *dio = c.dio;
        dio->clipList = static_cast<const ZorClipList *>(cl);
        dio->bboxX = bx, dio->bboxY = by, dio->bboxW = bw, dio->bboxH = bh;
        kl_image &k = c.win.k;
        k.x += bx;
        k.y += by;
        k.data += static_cast<std::ptrdiff_t>(bx) * k.bpp + static_cast<std::ptrdiff_t>(by) * k.lb;
        const long long xoff = static_cast<long long>(c.win.ox) + k.x + c.cx, yoff = static_cast<long long>(c.win.oy) + k.y + c.cy;
        if (xoff < -ZOR_COORD_LIMIT || xoff > ZOR_COORD_LIMIT || yoff < -ZOR_COORD_LIMIT || yoff > ZOR_COORD_LIMIT) {
            return c.refuse(WREN_CLIP, "window offset (%lld, %lld) out of range", xoff, yoff);
        }
        c.roi2_ = c.r_->intersectClipList(static_cast<const ZorClipList *>(cl), static_cast<int>(xoff), static_cast<int>(yoff));
        if (!c.roi2_) return c.refuse(WREN_CLIP, "region cannot be clipped to the visible area");
        if (!(c.list_ = c.roi2_->getRectList())) return c.refuse(WREN_RECT_LIST, "no rectangle list of the visible region");
        try {
            Rect r;
            while (c.list_->getNext(&r.x, &r.y, &r.w, &r.h)) {
                if (r.w <= 0 || r.h <= 0) continue;
                if (!check(r)) return false;
                c.rects.push_back(r);
            }
        } catch (const std::bad_alloc &) {
            return c.refuse(WREN_RECT_LIST, "no memory for the rectangle list");
        }
        return true;
    }

    // Takes the accelerator and, unless the driver programs it itself, sets
    // the plane groups of the window's depth, the plane mask and raster
    // operation 0x83.
    bool accelerator() {
        g_device.lock();
        c.device_ = true;
        if (c.plan.planes == Planes::none) return true;
        const int groups = c.dio->depth == 8 ? 1 : c.dio->depth == 24 ? 7 : 0;
        if (wren_setup(static_cast<unsigned long *>(c.dio->regs), groups, c.planes, wren_val::rop_copy) != 0) {
            return c.refuse(WREN_RASTER_SETUP, "raster setup refused (depth %d)", c.dio->depth);
        }
        return true;
    }

    // Rows of rectangle r in chunks that fit the scratch buffer: f(row, n,
    // scratch rows described over the buffer).
    template <class F>
    void chunks(const Rect &r, F &&f) {
        const Scratch &s = c.scratch_;
        kl_image k;
        if (!kl_initimage(&k, s.type, s.bands, r.w, 0, s.data, 0) || k.lb <= 0) return;
        const int per = static_cast<int>(s.size / static_cast<std::size_t>(k.lb));
        for (int row = 0; per > 0 && row < r.h; row += per) {
            k.h = r.h - row < per ? r.h - row : per;
            if (c.chunks_ < WREN_OUTCOME_CHUNKS) c.chunk_rows_[c.chunks_] = k.h;
            ++c.chunks_;
            f(row, k.h, k);
        }
    }

    // Direct, or through scratch rows: a 3-sample source widened to 4, or the
    // kernel's rows copied into the window (started from the window's samples
    // when the kernel leaves some).
    void walk(const Rect &r) {
        const Stage stage = c.layout->stage;
        const int bmask = c.win.k.bmask;
        if (stage == Stage::direct) {
            Job j{c, r, 0, r.h, c.at(r), {at(c.src[0], r), at(c.src[1], r)}, bmask};
            return c.plan.kernel(j);
        }
        chunks(r, [&](int row, int n, kl_image &t) {
            Job j{c, r, row, n, c.at(r, row, n), {at(c.src[0], r, row, n), at(c.src[1], r, row, n)}, bmask};
            if (stage == Stage::expand) {
                kl_image wd = j.dst;
                if (c.plan.partial) kl_copy8_4_3(wd.bmask, &t, &wd);
                j.dst = t;
                c.plan.kernel(j);
                return t.bands == 3 && wd.bands == 4 ? kl_copy8_3_4(bmask, &wd, &t) : kl_copy_8(bmask, &wd, &t);
            }
            kl_image &from = j.src[stage == Stage::widen2];
            t.bmask = from.bmask;
            (from.type == KL_SHORT ? kl_copy16_3_4 : kl_copy8_3_4)(from.bmask, &t, &from);
            from = t;
            c.plan.kernel(j);
        });
    }

    static kl_image view(const kl_image &k, const Rect &p) {
        kl_image q = k;
        q.data = k.data + static_cast<std::ptrdiff_t>(p.y) * k.lb + static_cast<std::ptrdiff_t>(p.x) * k.bpp;
        q.w = p.w;
        q.h = p.h;
        return q;
    }

    // Band by band: per rectangle, each pair of selected bands (the source's
    // and the window's, from their lowest bits up) goes through one-band
    // images, the source band with up to ctx.margin real pixels around the
    // rectangle, the window band as it is (what the kernel leaves stays), and
    // the result goes back into the window's band; a 24-bit window showing
    // bands 1-3 in one rectangle gets the three at once through the combine
    // kernel.
    bool by_band() {
        const kl_image &S = c.src[0].k, &D = c.win.k;
        int sbit[4], dbit[4], rounds = 0;
        for (int sb = S.bmask & -S.bmask, db = D.bmask & -D.bmask, i = 0; i < selected(D.bmask); ++i, sb <<= 1, db <<= 1) {
            if ((sb & S.bmask) && (db & D.bmask)) sbit[rounds] = sb, dbit[rounds++] = db;
        }
        const bool combine = D.bands == 4 && (D.bmask & 15) == 7 && c.rects.size() == 1 && rounds == 3;
        int maxw = 1, maxh = 1;
        for (const Rect &r : c.rects) maxw = r.w > maxw ? r.w : maxw, maxh = r.h > maxh ? r.h : maxh;
        kl_image t[4];
        for (int i = 0; i < (combine ? 4 : 2); ++i) {
            static unsigned char placeholder;
            const int w = i ? maxw : maxw + 2 * c.margin, h = i ? maxh : maxh + 2 * c.margin;
            if (!kl_initimage(&t[i], KL_BYTE, 1, w, h, &placeholder, 8)) {
                return c.refuse(WREN_SCRATCH, "one-band images of %dx%d pixels cannot be described", w, h);
            }
            if (!(t[i].data = static_cast<unsigned char *>(c.line_buffer(static_cast<std::size_t>(t[i].lb) * h)))) return false;
        }
        c.note("%d band(s) %s", rounds, combine ? "combined" : "inserted");
        const auto upto = [m = c.margin](long v) { return static_cast<int>(v < 0 ? 0 : v > m ? m : v); };
        for (const Rect &r : c.rects) {
            kl_image wd = c.at(r), ws = at(c.src[0], r);
            const int l = upto(ws.x), tp = upto(ws.y), rr = upto(ws.padx), b = upto(ws.pady);
            kl_image around = view(ws, Rect{-l, -tp, r.w + l + rr, r.h + tp + b});
            kl_image whole = view(t[0], Rect{0, 0, around.w, around.h}), inner = view(whole, Rect{l, tp, r.w, r.h});
            inner.x = l, inner.y = tp, inner.padx = rr, inner.pady = b;
            for (int k = 0; k < rounds; ++k) {
                kl_band_extract_8(sbit[k], &whole, &around);
                kl_image target = view(t[combine ? k + 1 : 1], Rect{0, 0, r.w, r.h});
                kl_band_extract_8(dbit[k], &target, &wd);
                Job j{c, r, 0, r.h, target, {inner, inner}, target.bmask};
                c.plan.kernel(j);
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

    void report(const char *id, int line) const {
        if (line) ZorSystemState::notifyError(nullptr, 0, id, 0, line, c.plan.name, nullptr);
    }

    // A hook that returned false without saying why.
    bool quiet() { return c.done_ || c.refuse(WREN_PARAMETER, "parameters cannot be used"); }
};

int run(const DriverPlan &s, ZorOp *display, int count, void *params) {
    Ctx c(s, display, count, params);
    Frame f{c};
    int n = 0;
    for (ZorOp *o = display ? display->getOp1() : nullptr; o && n < 4; o = o->getOp1()) c.ops[n++] = o;
    if (n < s.depth) {
        return n ? (c.refuse(WREN_CHAIN, "%d operation(s) below the display, %d needed", n, s.depth), ZOR_FAILURE)
                 : (c.refuse(WREN_CHAIN, "no operation feeds the display"), ZOR_FAILURE);
    }
    if (!(c.op = s.source_op ? s.source_op(c) : c.ops[s.depth - 1])) {
        return c.refuse(WREN_CHAIN, "the chain below the display is too short"), ZOR_FAILURE;
    }
    if (!f.window() || (s.sources > 0 && !f.source(c.op->getSrc1(), c.src[0])) ||
        (s.sources > 1 && !f.source(c.op->getSrc2(), c.src[1]))) {
        return ZOR_FAILURE;
    }
    c.variant = s.variant ? s.variant(c.ops) : 0;
    if (!f.layout()) return ZOR_FAILURE;
    c.planes = c.dio->depth == 8 ? 0xffUL : s.planes == Planes::all ? 0xffffffUL : kl_rgb_masks[c.win.k.bmask & 0xf];
    if (s.parse && !s.parse(c)) return f.quiet(), ZOR_FAILURE;

    const Region rg = s.region ? s.region(c) : source_in_window(c);
    if (!rg.roi) {
        f.report("di-6", c.reports.region);
        return c.refuse(WREN_REGION, "no region to compute"), ZOR_FAILURE;
    }
    c.r_ = rg.roi;
    c.r_owned_ = rg.owned;
    if (rg.roi->numRects() == 0) {  // nothing to do
        c.status_ = ZOR_SUCCESS, c.done_ = true;
        return ZOR_SUCCESS;
    }
    const Layout &L = *c.layout;
    if (L.stage == Stage::widen1 || L.stage == Stage::widen2 || L.stage == Stage::expand) {
        if (!f.scratch(L.stage == Stage::expand ? c.win.k.type : c.src[L.stage == Stage::widen2].k.type, L.via)) {
            return ZOR_FAILURE;
        }
    }
    if (!f.clip()) {
        f.report("di-7", c.reason_ == WREN_CLIP ? c.reports.clip : 0);
        f.report("di-8", c.reason_ == WREN_RECT_LIST ? c.reports.rects : 0);
        return ZOR_FAILURE;
    }
    if (s.visible && !s.visible(c)) return f.quiet(), ZOR_FAILURE;
    if (!f.accelerator()) return ZOR_FAILURE;
    if (s.program) s.program(c);
    if (L.stage == Stage::by_band) {
        if (!f.by_band()) return ZOR_FAILURE;
    } else {
        for (const Rect &r : c.rects) f.walk(r);
    }
    if (c.walk_failed) return c.refuse(WREN_PARAMETER, "%s", c.walk_failed), ZOR_FAILURE;
    c.status_ = ZOR_SUCCESS, c.reason_ = WREN_OK, c.done_ = true, c.message_[0] = '\0';
    return ZOR_SUCCESS;
}

}  // namespace wren
