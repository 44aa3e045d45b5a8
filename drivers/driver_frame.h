// The frame every driver runs in.
//
// A DriverCall is made at the top of a driver and lives for the call. Its
// phases hand out what they made, so nothing is valid "only after" another
// call:
//   window(dst)      the destination window as adapted: device-IO record,
//                    child offsets, origin, descriptor;
//   source(img, s)   a source image in memory and its origin;
//   region(r)        the region to compute;
//   scratch(...)     page-aligned pixel buffers for staging rows, and
//   line_buffer(n)   zeroed line buffers, as many as the driver needs;
//   clip(reads)      locks the window and gives the visible set: the
//                    rectangles to compute and the window descriptor on the
//                    screen. Every source area a rectangle reads (its
//                    footprint) is checked to lie in its image, and every
//                    rectangle to fit every scratch buffer, before anything is
//                    written;
//   raster_setup()   takes the accelerator (device()) and programs it for the
//                    window's depth.
// Whatever the call acquired is released when it goes out of scope, on every
// path, without throwing: accelerator, unlock, buffers, rectangle list,
// regions.
//
// Threads. Calls may overlap. The window lock (clip()) is taken first and
// released last; inside it a call holds the accelerator from its first
// register access (device(), which raster_setup() calls) to its last write,
// so that two calls' register programming and frame-buffer writes never
// interleave. Nothing else here is shared between calls.
//
// A driver returns call.computed() or call.decline(reason, ...); the outcome
// is recorded for wren_last_outcome() on the calling thread and, with
// WREN_TRACE=1, printed to standard error.
#pragma once

#include "adapters.h"
#include "kl.h"
#include "wren_outcome.h"
#include "zor.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

struct wca_win;

namespace wren {

// A rectangle in image space (pixel coordinates minus the image's origin).
struct Rect {
    int x, y, w, h;
};

// An image taking part in a call: its reference descriptor (never changed
// once made) and its integer origin.
struct Placed {
    kl_image k{};
    int ox = 0, oy = 0;
};

// A descriptor of ref narrowed to rows row .. row + n - 1 of the rectangle,
// for an image whose origin is (ox, oy).
kl_image narrow(const kl_image &ref, int ox, int oy, const Rect &r, int row, int n);

// Working copies of a placed image for one rectangle (rows row .. row + n - 1).
inline kl_image at(const Placed &p, const Rect &r, int row, int n) { return narrow(p.k, p.ox, p.oy, r, row, n); }
inline kl_image at(const Placed &p, const Rect &r) { return at(p, r, 0, r.h); }

// The destination window as adapted; k describes the window image at its
// place in the window (not yet on the screen).
struct Window {
    ZorImage *image = nullptr;
    ZorDisplayIO *dio = nullptr;
    int cx = 0, cy = 0, cb = 0;  // child offsets within the window
    int ox = 0, oy = 0;          // origin
    kl_image k{};
};

// The visible set: rectangles to compute, the window descriptor moved onto the
// screen and the window's bounding box.
struct Visible {
    std::vector<Rect> rects;
    Placed window;  // descriptor on the screen, with the window's origin
    int bx = 0, by = 0, bw = 0, bh = 0;

    kl_image at(const Rect &r, int row, int n) const { return wren::at(window, r, row, n); }
    kl_image at(const Rect &r) const { return wren::at(window, r); }
};

// The source area a destination rectangle reads, in the source's image space;
// the frame checks that it lies within the source. Without a map the area is
// the rectangle itself.
struct Read {
    const Placed *src = nullptr;
    Rect (*map)(const Rect &dst, const Placed &src, const void *ctx) = nullptr;
    const void *ctx = nullptr;
};

// A staging buffer: rows of `bands` samples of the window's type, at most
// maxw pixels wide.
struct Scratch {
    unsigned char *data = nullptr;
    std::size_t size = 0;
    int type = KL_BYTE, bands = 0, maxw = 0;
};

class DriverCall {
public:
    // driver: the name for the outcome; by default the member of the path
    // table row that the chain below op matches.
    DriverCall(ZorOp *op, int count, const char *driver = nullptr);
    ~DriverCall();
    DriverCall(const DriverCall &) = delete;
    DriverCall &operator=(const DriverCall &) = delete;

    // Records a decline and returns ZOR_FAILURE.
    int decline(wren_reason reason, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
    int vdecline(wren_reason reason, const char *fmt, va_list ap);
    // Records success (the visible rectangles were written); returns ZOR_SUCCESS.
    int computed();
    // A short note for the outcome ("cache hit", "handed over").
    void note(const char *fmt, ...) __attribute__((format(printf, 2, 3)));

    // Null (declined) when dst is not a window that can be described.
    const Window *window(ZorImage *dst);
    // False (declined) when src is not an image in memory that can be described.
    bool source(ZorImage *src, Placed &s);
    // The region to compute; an owned one is released at the end of the call.
    // False (declined) for a null region.
    bool region(ZorRoi *r, bool owned = true);
    bool region_empty() const { return !r_ || r_->numRects() == 0; }

    // A page-aligned, zeroed staging buffer for rows of `bands` samples of
    // `type` (by default the window's), maxw pixels wide and at least 8192
    // bytes. Null (declined) when it cannot be described or allocated.
    const Scratch *scratch(int bands, int maxw, int type = -1);
    // A zeroed buffer of n bytes, 8-byte aligned; null (declined) on failure.
    void *line_buffer(std::size_t n);

    // Locks the window and returns the visible set; null (declined) when the
    // window cannot be locked or clipped, a rectangle leaves the window image,
    // a read leaves its source, or a rectangle is wider than a scratch buffer.
    const Visible *clip(const Read *reads, int n);
    const Visible *clip(std::initializer_list<Read> reads = {}) {
        return clip(reads.begin(), static_cast<int>(reads.size()));
    }
    // Takes the accelerator for the rest of the call (the window must be
    // locked: clip() first); false (declined) otherwise. A driver that
    // programs registers without raster_setup() calls it first.
    bool device();
    // Raster setup for the window's depth: plane groups 1 with mask 0xff, or
    // 7 with the window's band mask expanded to bytes; raster operation 0x83.
    bool raster_setup();
    // The same with an explicit plane mask.
    bool raster_setup(unsigned long plane_mask);

    // The reason recorded by the last decline.
    int last_reason() const { return reason_; }
    // Whether an outcome has been recorded.
    bool decided() const { return done_; }

    // Walks the rectangle's rows in chunks that fit the scratch buffer:
    // f(row, n, scratch) with the scratch described over the buffer with the
    // rectangle's width and n rows. clip() made sure a row fits.
    template <class F>
    void chunks(const Scratch &s, const Rect &r, F &&f) {
        kl_image k;
        if (!kl_initimage(&k, s.type, s.bands, r.w, 0, s.data, 0) || k.lb <= 0) return;
        const int per = static_cast<int>(s.size / static_cast<std::size_t>(k.lb));
        for (int row = 0; per > 0 && row < r.h; row += per) {
            const int n = r.h - row < per ? r.h - row : per;
            k.h = n;
            note_chunk(n);
            f(row, n, k);
        }
    }

private:
    void note_chunk(int n);
    void finish() noexcept;
    bool check(const Rect &r, const Read *reads, int n);

    static constexpr int kBuffers = 4;

    const char *driver_;
    ZorOp *op_;
    int count_;
    long start_ns_;
    bool done_ = false;
    int status_ = ZOR_FAILURE;
    int reason_ = WREN_OK;
    char message_[128] = {};
    char note_[64] = {};

    Window win_;
    bool have_window_ = false;
    Visible vis_;
    wca_win *handle_ = nullptr;
    bool locked_ = false;
    bool device_ = false;
    ZorRoi *r_ = nullptr;
    bool r_owned_ = false;
    ZorRoi *roi2_ = nullptr;
    ZorRectList *list_ = nullptr;

    Scratch scratch_[kBuffers];
    int nscratch_ = 0;
    void *lines_[kBuffers] = {};
    int nlines_ = 0;
    long buffer_bytes_ = 0;
    int chunks_ = 0;
    int chunk_rows_[WREN_OUTCOME_CHUNKS] = {};
};

// ---- Drivers as specs --------------------------------------------------------
//
// A driver states what differs and run() does the rest: the chain head, the
// window and sources, the layout it takes, its parameters, the region, the
// scratch, the clip with its footprints, the raster setup, the walk of the
// visible rectangles (whole, in chunks through scratch rows, or band by band)
// and the outcome. A region with nothing in it is nothing to do: the call
// succeeds without locking the window.

// How a layout row's images meet the kernel.
enum class Stage : std::uint8_t {
    direct,  // the kernel reads the sources and writes the window
    widen1,  // the first source's 3-sample pixels widened to 4 in scratch rows first
    widen2,  // the second source's likewise
    expand,  // the kernel writes scratch rows of `via` samples, copied into the window
    by_band, // one band at a time through one-band images (margin pixels around the source)
};

// What the band masks must be.
enum class Masks : std::uint8_t {
    equal,  // every source's equals the window's
    any,
    full,   // equal, and every source uses all its samples
    count,  // the same number of selected bands
    one,    // every image selects one band
};

// One accepted layout: pixel strides (descriptor bands; 0 any) of the first
// and second source and the window, most specific first.
struct Layout {
    std::int8_t s1, s2, d;
    Masks masks;
    Stage stage = Stage::direct;
    std::int8_t via = 0;        // samples of a scratch pixel (widen, expand)
    std::uint8_t variants = 0;  // the variants it serves, bit v; 0 all
};

// Whether images of these strides and masks fit row l for variant v.
bool layout_fits(const Layout &l, int variant, int n, const kl_image *const *src, const kl_image &dst);

struct Ctx;

// Rows row .. row + n - 1 of rectangle r: the window's (or the scratch rows
// the frame copies into it) and the sources' (or the scratch rows it widened).
struct Job {
    Ctx &c;
    Rect r;
    int row, n;
    kl_image dst;
    kl_image src[2];
    int bmask;  // the window's
};

struct Region {
    ZorRoi *roi;
    bool owned = true;
};

// What is read where; reported through notifyError (unit = the spec's name).
struct Reports {
    int region = 0, clip = 0, rects = 0;  // lines of "di-6", "di-7", "di-8"; 0: not reported
};

enum class Reads : std::uint8_t {
    rect,     // each source at the rectangle itself
    mapped,   // each source at footprint(rectangle)
    kernel,   // the kernel keeps its reads inside the source
};

enum class Planes : std::uint8_t {
    window,  // the window's band mask (or ctx.planes as parse leaves it)
    all,     // every byte of the pixel
    none,    // the driver programs the accelerator itself (program())
};

struct DriverSpec {
    const char *name = nullptr;  // for the outcome; null: the matched row's member
    int depth = 1;               // operations below the display it reads
    int sources = 1;
    int sample = KL_BYTE;        // the sources' sample type
    std::span<const Layout> layouts;
    const char *layout_note = nullptr;  // said with a layout's decline
    Region (*region)(Ctx &) = nullptr;  // null: the source's region within the window's
    Reads reads = Reads::rect;
    Rect (*footprint)(const Rect &, const Placed &, const void *ctx) = nullptr;  // Reads::mapped; ctx is the Ctx
    Planes planes = Planes::window;
    bool partial = false;  // expand: the kernel leaves pixels, so scratch rows start as the window's
    Reports reports{};
    // The operation whose images are read; null: the depth-th below the display.
    ZorOp *(*source_op)(const Ctx &) = nullptr;
    // Which layout rows apply, from the chain alone.
    int (*variant)(ZorOp *const *ops) = nullptr;
    // Each hook declines (ctx.call.decline) when it returns false.
    bool (*parse)(Ctx &) = nullptr;    // parameters, once the images and layout are known
    bool (*visible)(Ctx &) = nullptr;  // the visible set is known; before the accelerator is taken
    void (*program)(Ctx &) = nullptr;  // accelerator work before the walk, the device held
    void (*kernel)(Job &) = nullptr;   // one rectangle, or rows of it
};

// A call as it runs: what run() has made so far, and the driver's parameters.
struct Ctx {
    Ctx(DriverCall &c, const DriverSpec &s, ZorOp *d, int n, void *p)
        : call(c), spec(s), display(d), count(n), reports(s.reports), params(p) {}
    DriverCall &call;
    const DriverSpec &spec;
    ZorOp *display;
    int count;
    ZorOp *ops[4] = {};  // the chain below the display, display side first
    ZorOp *op = nullptr; // the operation whose images are read
    const Window *win = nullptr;
    Placed src[2];
    int variant = 0;
    const Layout *layout = nullptr;
    const Visible *vis = nullptr;
    unsigned long planes = 0;  // raster setup's plane mask
    int margin = 0;            // by_band: source pixels each side that the kernel reads
    Reports reports{};
    const char *walk_failed = nullptr;  // set by a kernel: declined after the walk
    void *params;

    template <class P>
    P &p() const { return *static_cast<P *>(params); }
    // call.decline(...), for hooks: returns false.
    bool refuse(wren_reason reason, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
};

// Runs the driver of spec on the display operation op.
int run(const DriverSpec &spec, ZorOp *op, int count, void *params);
template <class P>
int run(const DriverSpec &spec, ZorOp *op, int count, P params = {}) {
    return run(spec, op, count, static_cast<void *>(&params));
}

// The source's image-space region within the window's (the default region).
Region source_in_window(Ctx &c);

// The drivers' specs, for the path table.
extern const DriverSpec alu8_spec, aluconst8_spec, multiplyconst8_spec, not8_spec, copy8_spec, lookup8_spec,
    lookup16_spec, threshold8_spec, transpose8_spec, affine8_spec, rotate8_spec, scale8_spec, zoom8_spec,
    zoom_lookup8_spec, zoom_lookup16_spec, convolve8_spec, convolve_sp_spec, rescale8_spec, rescale16_spec,
    setvalue8_spec;

}  // namespace wren
