// End-to-end rig for the driver tests: the plug-in loaded through the host,
// a simulated machine (screen, windows, accelerator), source images in
// guarded memory, and an expected copy of both frame buffers that a test
// writes its model results into.
#pragma once

#include "chains.h"
#include "driver_frame.h"
#include "kbuf.h"
#include "machine.h"
#include "window_system.h"
#include "wren_device.h"
#include "wren_outcome.h"
#include "wren_regs.h"
#include "zor.h"
#include "zor_dispatch.h"


#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <numeric>

namespace rig {

// The plug-in, loaded once for the test program.
inline ZorPlugin &plugin() {
    static std::unique_ptr<ZorPlugin> p = [] {
        std::string err;
        auto q = ZorPlugin::load(WREN_PLUGIN_PATH, &err);
        if (!q) {
            ADD_FAILURE() << "cannot load the plug-in: " << err;
            std::abort();
        }
        return q;
    }();
    return *p;
}

// The plug-in's device, for calling a driver member directly.
inline ZorDeviceComputeTypeWren *device() { return static_cast<ZorDeviceComputeTypeWren *>(plugin().device()); }

inline wren_outcome last() {
    wren_outcome o{};
    EXPECT_EQ(wren_last_outcome(&o), 0);
    return o;
}

// A source image in memory of 8-bit (sb 1) or 16-bit (sb 2, holding both
// extremes) samples whose last row ends against an inaccessible page; pad:
// bytes after each row. With last3, a 4-sample source shows only its last
// three samples (a 3-band child at band 1, band mask 0x7).
struct Source {
    kbuf::GuardImage mem;
    ZorImage *img = nullptr, *parent = nullptr;
    int w, h, stride, sb;

    Source(int w_, int h_, int stride_, uint32_t seed, int pad = 0, bool last3 = false, int sb_ = 1)
        : mem(static_cast<size_t>(w_ * stride_ * sb_), h_, static_cast<size_t>(w_ * stride_ * sb_ + pad),
              kbuf::Guard::After, seed),
          w(w_), h(h_), stride(stride_), sb(sb_) {
        if (sb == 2) {
            const int16_t ext[2] = {-32768, 32767};
            std::memcpy(mem.data(), ext, std::min<size_t>(4, mem.size()));
        }
        img = ZorImage::createOver(w, h, stride, sb == 1 ? ZOR_BYTE : ZOR_SHORT, mem.data(), mem.lb() / sb,
                                   static_cast<uint16_t>(stride));
        if (last3 && img) {
            parent = img;
            img = parent->createChild(0, 0, 1, w, h, 3);
        }
        if (img) img->getImageSpaceRoi();  // made once, kept by the image
    }
    ~Source() {
        if (img) img->destroy();
        if (parent) parent->destroy();
    }
    Source(const Source &) = delete;
    Source &operator=(const Source &) = delete;
    const uint8_t *px(int x, int y) const { return mem.data() + static_cast<size_t>(y) * mem.lb() + x * stride * sb; }
    // Sample c of pixel (x, y).
    long sample(int x, int y, int c) const {
        if (sb == 1) return px(x, y)[c];
        int16_t v;
        std::memcpy(&v, px(x, y) + 2 * c, 2);
        return v;
    }
};

class Scene {
    // Pseudo-random bytes, eight at a time (frame buffers are megabytes).
    static void fill(uint8_t *p, size_t n, uint64_t seed) {
        uint64_t x = seed * 0x9e3779b97f4a7c15ull + 1;
        for (size_t i = 0; i < n; i += 8) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            std::memcpy(p + i, &x, std::min<size_t>(8, n - i));
        }
    }

public:
    static wsim::MachineOptions small() {
        wsim::MachineOptions o;
        o.width = 320;
        o.height = 240;
        return o;
    }

    explicit Scene(const wsim::MachineOptions &opt = small(), uint32_t seed = 1) : m_(opt) {
        plugin();
        m_.attach(wren_bus_attach);
        fill(screen().frameBuffer8(), screen().frameBuffer8Size(), seed);
        fill(screen().frameBuffer24(), screen().frameBuffer24Size(), seed + 1);
    }
    ~Scene() { m_.detach(); }

    wca::Screen &screen() { return m_.screen(); }
    wsim::Machine &machine() { return m_; }

    int window(int depth, int x, int y, int w, int h) { return screen().createWindow(depth, x, y, w, h); }
    ZorImage *image(int id) { return screen().windowImage(id); }

    // Takes the frame buffers as they are now as the expectation.
    void arm() {
        // The window system keeps one clip list per window once it was locked.
        for (wca::Window *w : screen().stack()) {
            wca_win_lock(w->handle());
            wca_win_unlock(w->handle());
        }
        exp8_.assign(screen().frameBuffer8(), screen().frameBuffer8() + screen().frameBuffer8Size());
        exp24_.assign(screen().frameBuffer24(), screen().frameBuffer24() + screen().frameBuffer24Size());
    }

    // Expected byte k of the screen pixel (sx, sy) of the frame buffer of depth d.
    uint8_t &expected(int depth, int sx, int sy, int k) {
        if (depth == 8) return exp8_[static_cast<size_t>(sy) * wren_fb::line_bytes8 + sx];
        return exp24_[static_cast<size_t>(sy) * wren_fb::line_bytes24 + sx * 4 + k];
    }

    // For every pixel of window image dst inside region (image space; null:
    // all) whose screen position is visible in window id, the samples that the
    // window image selects (and the plane mask lets through: never byte 0 of a
    // 24-bit pixel) take value(dst pixel x, dst pixel y, sample k).
    void expect(int id, ZorImage *dst, const ZorRoi *region, int bmask,
                const std::function<int(int, int, int)> &value) {
        wca::Window *win = screen().window(id);
        unsigned w, h, nb, cx, cy, cb;
        dst->getDimensions(&w, &h, &nb);
        dst->getChildOffsets(&cx, &cy, &cb);
        int ox, oy;
        dst->getOrigin(&ox, &oy);
        const int bands = win->depth() == 8 ? 1 : 4;
        for (int y = 0; y < static_cast<int>(h); ++y) {
            for (int x = 0; x < static_cast<int>(w); ++x) {
                if (region && !region->contains(x - ox, y - oy)) continue;
                const int sx = win->x() + static_cast<int>(cx) + x, sy = win->y() + static_cast<int>(cy) + y;
                if (!pixman_region32_contains_point(const_cast<pixman_region32_t *>(win->visible()), sx, sy,
                                                    nullptr))
                    continue;
                for (int k = bands == 4; k < bands; ++k) {
                    if (!((bmask >> (bands - 1 - k)) & 1)) continue;
                    const int v = value(x, y, k);
                    if (v >= 0) expected(win->depth(), sx, sy, k) = static_cast<uint8_t>(v);
                }
            }
        }
    }

    // Both frame buffers against the expectation, where only bytes the
    // window image dst of window id shows may differ: its visible pixels,
    // the bands it selects, never byte 0 of a 24-bit pixel.
    ::testing::AssertionResult changed_only_in(int id, ZorImage *dst) {
        wca::Window *win = screen().window(id);
        unsigned w, h, nb, cx, cy, cb;
        dst->getDimensions(&w, &h, &nb);
        dst->getChildOffsets(&cx, &cy, &cb);
        const bool d8 = win->depth() == 8;
        expect(id, dst, nullptr, d8 ? 1 : ((1 << nb) - 1) << (4 - nb - cb), [&](int x, int y, int k) {
            const size_t sx = win->x() + cx + x, sy = win->y() + cy + y;
            return d8 ? screen().frameBuffer8()[sy * wren_fb::line_bytes8 + sx]
                      : screen().frameBuffer24()[sy * wren_fb::line_bytes24 + sx * 4 + k];
        });
        return check();
    }

    // Both frame buffers against the expectation, and no accelerator fault.
    ::testing::AssertionResult check() {
        const uint8_t *fbs[2] = {screen().frameBuffer8(), screen().frameBuffer24()};
        const std::vector<uint8_t> *exps[2] = {&exp8_, &exp24_};
        const int lbs[2] = {wren_fb::line_bytes8, wren_fb::line_bytes24}, bpp[2] = {1, 4};
        for (int f = 0; f < 2; ++f) {
            const std::vector<uint8_t> &e = *exps[f];
            if (std::memcmp(fbs[f], e.data(), e.size()) == 0) continue;
            const size_t first = std::mismatch(e.begin(), e.end(), fbs[f]).first - e.begin();
            const size_t row = first / lbs[f], col = first % lbs[f];
            const long bad = std::inner_product(e.begin(), e.end(), fbs[f], 0L, std::plus<>(), std::not_equal_to<>());
            return ::testing::AssertionFailure()
                   << (f ? "24" : "8") << "-bit frame buffer: " << bad << " byte(s) differ, first at screen ("
                   << col / bpp[f] << ", " << row << ") byte " << col % bpp[f] << ": got " << int(fbs[f][first])
                   << ", expected " << int(e[first]);
        }
        const auto &faults = m_.accel().faults();
        if (!faults.empty()) return ::testing::AssertionFailure() << "accelerator fault: " << faults.front();
        return ::testing::AssertionSuccess();
    }

private:
    wsim::Machine m_;
    std::vector<uint8_t> exp8_, exp24_;
};

// The destination most driver tables use: a child (bands band .. band + nb - 1,
// 80x50 at (5, 4), origin (3, -2)) of a 90x60 window at (30, 20) that one
// window of its depth and one of the other depth partly cover; *id is the window.
inline ZorHandle<ZorImage> covered_child(Scene &sc, int depth, int band, int nb, int *id) {
    *id = sc.window(depth, 30, 20, 90, 60);
    sc.window(depth, 70, 10, 30, 40);
    sc.window(depth == 8 ? 24 : 8, 0, 50, 60, 20);
    ZorHandle<ZorImage> dst(
        sc.image(*id)->createChild(5, 4, static_cast<unsigned>(band), 80, 50, static_cast<unsigned>(nb)));
    if (dst) dst->setOrigin(3, -2);
    return dst;
}

// Images keep the image-space region they hand out (until their origin or
// region changes); made here so that counting live host objects sees only
// what a driver makes.
inline void prime(std::initializer_list<ZorImage *> images) {
    for (ZorImage *i : images)
        if (i) i->getImageSpaceRoi();
}

// A display operation showing op's result in the window image dst.
struct Chain {
    ZorOp *display = nullptr;
    std::vector<ZorOp *> ops;
    Chain(ZorImage *dst, ZorOp *op) {
        ops.push_back(op);
        display = ZorOp::create(ZOR_DISPLAY_IO_WREN, dst, nullptr, nullptr, op);
    }
    ~Chain() {
        if (display) display->destroy();
        for (ZorOp *o : ops)
            if (o) o->destroy();
    }
    Chain(const Chain &) = delete;
    Chain &operator=(const Chain &) = delete;
    ZorDispatchResult run() const { return ZorDispatch(display); }
};

// A call's status and the device's outcome record.
struct Ran {
    int status;
    wren_outcome o;
};

// Runs call() (which gives a status); fails the test when the call changes
// the number of live host objects.
template <class F>
Ran counted(F &&call) {
    const long live = ZorObject::liveCount();
    const int status = call();
    const wren_outcome o = last();
    EXPECT_EQ(ZorObject::liveCount(), live) << "host objects left behind or lost";
    return {status, o};
}

// The status of a call that must compute (ok) or decline; a decline stores
// nothing to the accelerator and leaves both frame buffers as armed.
inline ::testing::AssertionResult ended(Scene &sc, int status, bool ok) {
    if (status != (ok ? ZOR_SUCCESS : ZOR_FAILURE)) return ::testing::AssertionFailure() << "status " << status;
    if (ok) return ::testing::AssertionSuccess();
    if (!sc.machine().accel().stores().empty()) return ::testing::AssertionFailure() << "registers written";
    return sc.check();
}

// The window samples a child of nb bands from band `band` of a window of
// the given depth selects.
inline int wmask(int depth, int nb, int band) { return depth == 8 ? 1 : ((1 << nb) - 1) << (4 - nb - band); }

// One call (call() gives its status): the images primed, the frame buffers
// armed, the host objects balanced.
template <class F>
Ran run(Scene &sc, std::initializer_list<ZorImage *> images, F &&call) {
    prime(images);
    sc.arm();
    return counted(call);
}

// op shown in the window image dst.
inline Ran draw(Scene &sc, ZorImage *dst, ZorOp *op, std::initializer_list<ZorImage *> sources = {}) {
    Chain c(dst, op);
    prime(sources);
    return run(sc, {dst}, [&] { return c.run().status; });
}

// A memory image the size of the destination window image, in a given
// layout: the model's view of the destination or of a source lined up with it.
struct Plane {
    int w = 0, h = 0, bands = 1;
    std::vector<uint8_t> v;
    Plane(int w_, int h_, int bands_, uint8_t fill = 0)
        : w(w_), h(h_), bands(bands_), v(static_cast<size_t>(w_) * h_ * bands_, fill) {}
    uint8_t &at(int x, int y, int k) { return v[(static_cast<size_t>(y) * w + x) * bands + k]; }
    kl_image image(int bmask) { return kbuf::make_image(KL_BYTE, bands, bmask, v.data(), w * bands, w, h); }
};

inline void dims(ZorImage *img, int *w, int *h) {
    unsigned uw, uh, b;
    img->getDimensions(&uw, &uh, &b);
    *w = static_cast<int>(uw);
    *h = static_cast<int>(uh);
}

// Source s as the destination's pixels see it, sample by sample in `bands`
// samples per pixel (widen: a 3-sample pixel moves to samples 1-3), 0 where
// the destination pixel shows no source pixel.
inline Plane lined_up(const Source &s, ZorImage *dst, int bands, bool widen) {
    int w, h;
    dims(dst, &w, &h);
    int dox, doy, sox, soy;
    dst->getOrigin(&dox, &doy);
    s.img->getOrigin(&sox, &soy);
    Plane p(w, h, bands);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int sx = x - dox + sox, sy = y - doy + soy;
            if (sx < 0 || sy < 0 || sx >= s.w || sy >= s.h) continue;
            for (int k = 0; k < bands; ++k) {
                const int from = widen ? k - 1 : k;
                if (from >= 0 && from < s.stride) p.at(x, y, k) = s.px(sx, sy)[from];
            }
        }
    }
    return p;
}

// The model's destination: run the model twice over differently filled
// twins; a sample it writes is equal in both.
struct Written {
    Plane a, b;
    Written(int w, int h, int bands) : a(w, h, bands, 0x00), b(w, h, bands, 0xff) {}
    template <class F>
    void run(int bmask, F &&model) {
        kl_image da = a.image(bmask), db = b.image(bmask);
        model(da);
        model(db);
    }
    int value(int x, int y, int k) {
        const uint8_t va = a.at(x, y, k), vb = b.at(x, y, k);
        return va == vb ? va : -1;
    }
};

// The image-space region a driver computes by default: src's within dst's.
inline ZorHandle<ZorRoi> region_of(ZorImage *src, ZorImage *dst) {
    return ZorHandle<ZorRoi>(src->getImageSpaceRoi()->intersect(dst->getImageSpaceRoi()));
}

// ---- A call of any row, on images of a layout its driver's plan states ----

// The images a layout may take: the destination (a child of an 8-bit or a
// 24-bit window image: first band, bands) and sources (pixel stride, first
// band and bands of a child).
struct Pick {
    int size, band, n;  // size: the window's depth, or the source's pixel stride
};
inline constexpr Pick kWindows[] = {{8, 0, 1}, {24, 0, 4}, {24, 1, 3}, {24, 1, 1}, {24, 2, 2}};
inline constexpr Pick kSources[] = {{1, 0, 1}, {3, 0, 3}, {4, 0, 4}, {4, 1, 3}, {4, 1, 1}, {2, 0, 2}};

// Descriptor bands and band mask of a pick, as the adapters make them.
inline kl_image shape(int bands, const Pick &p) {
    kl_image k{};
    k.bands = bands;
    k.bmask = ((1 << p.n) - 1) << (bands - p.n - p.band);
    return k;
}

// Which picks a call takes: the window and up to two sources.
struct Images {
    int w, s[2];
};

inline const wren::Layout *layout_of(const wren::DriverPlan &plan, int variant, const Images &im) {
    const kl_image d = shape(kWindows[im.w].size == 8 ? 1 : 4, kWindows[im.w]);
    const kl_image s[2] = {shape(kSources[im.s[0]].size, kSources[im.s[0]]),
                           shape(kSources[im.s[1]].size, kSources[im.s[1]])};
    const kl_image *src[2] = {&s[0], &s[1]};
    for (const wren::Layout &l : plan.layouts)
        if (wren::layout_fits(l, variant, plan.sources, src, d)) return &l;
    return nullptr;
}

// Every combination of picks for the plan's sources.
inline std::vector<Images> all_images(const wren::DriverPlan &plan) {
    std::vector<Images> out;
    const int ns = static_cast<int>(std::size(kSources));
    for (int w = 0; w < static_cast<int>(std::size(kWindows)); ++w)
        for (int a = 0; a < (plan.sources > 0 ? ns : 1); ++a)
            for (int b = 0; b < (plan.sources > 1 ? ns : 1); ++b) out.push_back({w, {a, b}});
    return out;
}

// A call of a row: an 8-bit and a 24-bit window, each partly covered by
// another, the destination a child of one, sources of 100 x 70 pixels (16-bit
// where the row reads them), the operations made by chains::Plain.
struct RowCall {
    std::unique_ptr<Scene> own;
    Scene *sc = nullptr;
    int id = 0;
    ZorImage *dst = nullptr;
    std::vector<std::unique_ptr<Source>> bytes;
    ZorImage *images[3] = {};  // src1, src2 and a result image, made on demand
    chains::Made made;

    ZorOp *display() const { return made.ops.empty() ? nullptr : made.ops[0]; }
    // The chain below the display, as a plan's variant reads it.
    int variant(const wren::DriverPlan &plan) const {
        ZorOp *ops[4] = {};
        ZorOp *o = display() ? display()->getOp1() : nullptr;
        for (int i = 0; i < 4 && o; ++i, o = o->getOp1()) ops[i] = o;
        return plan.variant && ops[0] ? plan.variant(ops) : 0;
    }
};

inline ZorImage *make_source(RowCall &c, const Pick &p, bool shorts, uint32_t seed) {
    const int w = 100, h = 70;
    ZorImage *img = nullptr;
    if (!shorts) {
        c.bytes.push_back(std::make_unique<Source>(w, h, p.size, seed));
        img = c.bytes.back()->img;
    } else {
        img = c.made.keep(ZorImage::create(w, h, static_cast<unsigned>(p.size), ZOR_SHORT));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int k = 0; k < p.size; ++k)
                    *static_cast<int16_t *>(img->sampleAddress(x, y, k)) =
                        static_cast<int16_t>((x * 977 + y * 131 + k * 7 + static_cast<int>(seed)) * 13);
        img->markModified();
    }
    if (p.n < p.size) img = c.made.keep(img->createChild(0, 0, static_cast<unsigned>(p.band), w, h, static_cast<unsigned>(p.n)));
    img->getImageSpaceRoi();
    return img;
}

// The scene of row calls: an 8-bit and a 24-bit window, each partly covered
// by another.
inline std::unique_ptr<Scene> row_scene() {
    wsim::MachineOptions o;
    o.width = 256;
    o.height = 128;
    auto sc = std::make_unique<Scene>(o, 5);
    sc->window(8, 4, 4, 90, 60);
    sc->window(24, 120, 40, 90, 60);
    sc->window(8, 54, 24, 30, 60);
    sc->window(24, 170, 30, 30, 30);
    return sc;
}

// Builds row's call on the images im, the lookup of form alt, in scene (or a
// scene of its own), into dst (or a child of the scene's window of im's
// depth); false when it cannot be built.
inline bool build(RowCall &c, const WrenPath &row, const Images &im, int alt = 0, Scene *scene = nullptr,
                  ZorImage *dst = nullptr) {
    if (!scene) scene = (c.own = row_scene()).get();
    c.sc = scene;
    const Pick &w = kWindows[im.w];
    if (dst) {
        c.dst = dst;
    } else {
        c.id = c.sc->screen().stack()[w.size == 8 ? 0 : 1]->id();
        c.dst = c.made.keep(c.sc->image(c.id)->createChild(0, 0, static_cast<unsigned>(w.band), 90, 60,
                                                           static_cast<unsigned>(w.n)));
    }
    c.dst->getImageSpaceRoi();
    chains::Plain plain{alt};
    const chains::Sources sources = [&](int which, bool shorts) {
        if (!c.images[which]) {
            const Pick result{w.size == 8 ? 1 : 4, 0, w.size == 8 ? 1 : 4};
            c.images[which] = make_source(c, which == 2 ? result : kSources[im.s[which]], shorts, 11u + which);
        }
        return c.images[which];
    };
    return chains::chain(c.made, plain, row, c.dst, sources, alt);
}

}  // namespace rig
