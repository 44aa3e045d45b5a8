// The frame every driver runs in.
//
// A driver is a plan: what it reads, the layouts it takes, its region and
// footprint, its parameters and its kernel call. run() does the rest, in this
// order: the chain below the display, the window and the sources (kl_image
// descriptors), the layout row, the parameters (parse), the region to compute
// (a region with nothing in it is nothing to do: success, nothing locked),
// scratch rows, the clip (the window locked, the visible rectangles, every
// footprint checked against its source and every rectangle against the
// window and the scratch before anything is written), the raster setup, the
// walk of the rectangles (whole, in chunks through scratch rows, or band by
// band) and the outcome.
//
// Whatever a call acquired is released on every path, without throwing, in
// the reverse order: accelerator, unlock, buffers, rectangle list, regions.
//
// Threads. Calls may overlap. The window lock is taken first and released
// last; inside it a call holds the accelerator from its first register
// access (the raster setup, or program()) to its last write, so that two
// calls' register programming and frame-buffer writes never interleave.
//
// The outcome of each call is recorded for wren_last_outcome() on the
// calling thread and, with WREN_TRACE=1, printed to standard error.
#pragma once

#include "adapters.h"
#include "kl.h"
#include "wren_outcome.h"
#include "zor.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

struct wca_win;

namespace wren {

// A rectangle in image space (pixel coordinates minus the image's origin).
struct Rect {
    int x, y, w, h;
};

// An image taking part in a call: its descriptor (never changed once made)
// and its integer origin.
struct Placed {
    kl_image k{};
    int ox = 0, oy = 0;
};

// A descriptor of ref narrowed to rows row .. row + n - 1 of the rectangle,
// for an image whose origin is (ox, oy).
inline kl_image narrow(const kl_image &ref, int ox, int oy, const Rect &r, int row, int n) {
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
inline kl_image at(const Placed &p, const Rect &r, int row, int n) { return narrow(p.k, p.ox, p.oy, r, row, n); }
inline kl_image at(const Placed &p, const Rect &r) { return at(p, r, 0, r.h); }

// How a layout row's images meet the kernel.
enum class Stage : std::uint8_t {
    direct,   // the kernel reads the sources and writes the window
    widen1,   // the first source's 3-sample pixels widened to 4 in scratch rows first
    widen2,   // the second source's likewise
    expand,   // the kernel writes scratch rows of `via` samples, copied into the window
    by_band,  // one band at a time through one-band images (ctx.margin pixels around the source)
};

// What the band masks must be.
enum class Masks : std::uint8_t {
    equal,  // every source's equals the window's
    any,
    full,   // equal, and every source uses all its samples
    count,  // the same number of selected bands
    one,    // every image selects one band
};

// One accepted layout: the pixel strides (descriptor bands; 0 any) of the
// first and second source and the window. Rows are tried in order.
struct Layout {
    std::int8_t s1, s2, d;
    Masks masks;
    Stage stage = Stage::direct;
    std::int8_t via = 0;        // samples of a scratch pixel (widen, expand)
    std::uint8_t variants = 0;  // the variants it serves, bit v; 0 all
};

// Whether the n sources and window dst fit row l for variant v.
bool layout_fits(const Layout &l, int variant, int n, const kl_image *const *src, const kl_image &dst);

// f(i, k) for each sample k of d's pixel that its band mask selects (bit
// bands - 1 - k), i counting them from 0 in band order: the index of the
// host's per-band value for that sample. False as soon as f says false.
template <class F>
bool each_selected(const kl_image &d, F &&f) {
    for (int k = 0, i = 0; k < d.bands; ++k)
        if (((d.bmask >> (d.bands - 1 - k)) & 1) && !f(i++, k)) return false;
    return true;
}

class Ctx;

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

// Lines reported through notifyError (unit: the plan's name); 0 none.
struct Reports {
    int region = 0, clip = 0, rects = 0;  // "di-6", "di-7", "di-8"
};

enum class Reads : std::uint8_t {
    rect,    // each source at the rectangle itself
    mapped,  // each source at footprint(rectangle)
    kernel,  // the kernel keeps its reads inside the source
};

enum class Planes : std::uint8_t {
    window,  // the window's band mask, or ctx.planes as parse leaves it
    all,     // every byte of the pixel
    none,    // the driver programs the accelerator itself (program())
};

struct DriverPlan {
    const char *name = nullptr;  // for the outcome; null: the matched row's member
    int depth = 1;               // operations below the display it reads
    int sources = 1;
    int sample = KL_BYTE;        // the sources' sample type
    std::span<const Layout> layouts;
    const char *layout_note = nullptr;  // said with a layout's decline
    Region (*region)(Ctx &) = nullptr;  // null: the source's region within the window's
    Reads reads = Reads::rect;
    Rect (*footprint)(const Ctx &, const Rect &, const Placed &) = nullptr;  // Reads::mapped
    Planes planes = Planes::window;
    bool partial = false;  // expand: the kernel leaves pixels, so scratch rows start as the window's
    Reports reports{};
    // The operation whose images are read; null: the depth-th below the display.
    ZorOp *(*source_op)(const Ctx &) = nullptr;
    // Which layout rows apply, from the chain alone.
    int (*variant)(ZorOp *const *ops) = nullptr;
    // A hook that returns false has declined (ctx.refuse).
    bool (*parse)(Ctx &) = nullptr;    // parameters, once the images and the layout are known
    bool (*visible)(Ctx &) = nullptr;  // the visible set is known; the accelerator not yet taken
    void (*program)(Ctx &) = nullptr;  // accelerator work before the walk, the device held
    void (*kernel)(Job &) = nullptr;   // one rectangle, or rows of it
};

struct Scratch {
    unsigned char *data = nullptr;
    std::size_t size = 0;
    int type = KL_BYTE, bands = 0;
};

// A call as it runs: what run() has made so far and the driver's parameters.
class Ctx {
public:
    Ctx(const DriverPlan &s, ZorOp *display, int count, void *params);
    ~Ctx();
    Ctx(const Ctx &) = delete;
    Ctx &operator=(const Ctx &) = delete;

    const DriverPlan &plan;
    ZorOp *display;
    int count;
    ZorOp *ops[4] = {};   // the chain below the display, display side first
    ZorOp *op = nullptr;  // the operation whose images are read
    // The window: its image, device-IO record, child offsets, origin and
    // descriptor (on the screen once clipped).
    ZorImage *image = nullptr;
    ZorDisplayIO *dio = nullptr;
    int cx = 0, cy = 0, cb = 0;
    Placed win;
    Placed src[2];
    int variant = 0;
    const Layout *layout = nullptr;
    std::vector<Rect> rects;   // the visible rectangles
    unsigned long planes = 0;  // raster setup's plane mask
    int margin = 0;            // by_band: source pixels each side that the kernel reads
    Reports reports{};
    const char *walk_failed = nullptr;  // set by a kernel: declined after the walk
    void *params;

    template <class P>
    P &p() const { return *static_cast<P *>(params); }
    // The window's rows of a visible rectangle.
    kl_image at(const Rect &r, int row, int n) const { return wren::at(win, r, row, n); }
    kl_image at(const Rect &r) const { return wren::at(win, r); }

    // Records a decline; false.
    bool refuse(wren_reason reason, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
    // A short note for the outcome ("cache hit").
    void note(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    // A zeroed buffer of n bytes for the call, 8-byte aligned; null (declined).
    void *line_buffer(std::size_t n);

private:
    friend int run(const DriverPlan &, ZorOp *, int, void *);
    friend struct Frame;

    int status_ = ZOR_FAILURE;
    int reason_ = WREN_OK;
    bool done_ = false;
    long start_ns_;
    char message_[128] = {};
    char note_[64] = {};
    wca_win *handle_ = nullptr;
    bool locked_ = false, device_ = false;
    ZorRoi *r_ = nullptr, *roi2_ = nullptr;
    bool r_owned_ = false;
    ZorRectList *list_ = nullptr;
    Scratch scratch_;
    void *lines_[6] = {};
    int nlines_ = 0;
    long buffer_bytes_ = 0;
    int chunks_ = 0;
    int chunk_rows_[WREN_OUTCOME_CHUNKS] = {};
};

// Runs the driver of plan on the display operation.
int run(const DriverPlan &plan, ZorOp *display, int count, void *params);
template <class P>
int run(const DriverPlan &plan, ZorOp *display, int count, P params = {}) {
    return run(plan, display, count, static_cast<void *>(&params));
}
// Records a decline made before a driver's run (a worker without a kernel).
int refuse(ZorOp *display, int count, wren_reason reason, const char *message);

// The source's image-space region within the window's (the default region).
Region source_in_window(Ctx &c);

// The drivers' plans, for the path table.
extern const DriverPlan alu8_plan, aluconst8_plan, multiplyconst8_plan, not8_plan, copy8_plan, lookup8_plan,
    lookup16_plan, threshold8_plan, transpose8_plan, affine8_plan, rotate8_plan, scale8_plan, zoom8_plan,
    zoom_lookup8_plan, zoom_lookup16_plan, convolve8_plan, convolve_sp_plan, rescale8_plan, rescale16_plan,
    setvalue8_plan;

}  // namespace wren
