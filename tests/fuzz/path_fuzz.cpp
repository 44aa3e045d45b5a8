// Structured fuzzing of every path of the path table.
//
// Each input is decoded into one call: a row of the path table (first byte),
// a screen with up to four windows of either depth stacked over each other, a
// destination (a window image, a child of one, now and then a memory image),
// sources in memory (8- or 16-bit, 1 to 4 bands, any pixel and line stride,
// children, origins, regions of interest, now and then a window or a bit
// image), intermediate results, and every parameter the row's operations take,
// made by the kind its params string names. Then the row's member is called
// (or the host's dispatch asked) and what holds for any call is checked:
//   - the status is 0 or 2, and no exception comes out;
//   - on 2 neither frame buffer changed;
//   - on 0 no byte changed outside the destination's visible area, worked out
//     here from the window stack (window rectangles, stacking order, screen),
//     not from the window system's own visible regions, nor outside the bands
//     the destination selects, nor byte 0 of a 24-bit pixel;
//   - no byte of any image in memory changed (sources are only read, and a
//     destination that is not a window is never drawn into);
//   - no host object was made or lost, no window is left locked, and the
//     accelerator saw no misuse.
// Any breach aborts, and so do the sanitizers.
//
// A row whose driver is not built, or a worker, must decline when called
// directly. A drawing row that takes a kind of parameter no maker here can
// make stops the fuzzer on its first input (so the seed corpus catches it):
// add a maker in param(). Kernels and interpolation tables are made through
// the host classes' create() where the host defines them.
//
// WREN_FUZZ_SEEDS=dir makes the seed corpus instead: for every row, the
// smallest of 1500 random inputs that the row's member computes (for a row
// that computes none of them, the smallest input of the row).
// WREN_FUZZ_VERBOSE=1 prints each call's scene and outcome.
#include <fuzzer/FuzzedDataProvider.h>

#include "machine.h"
#include "window_system.h"
#include "wren_device.h"
#include "wren_outcome.h"
#include "wren_paths.h"
#include "wren_regs.h"
#include "zor.h"
#include "zor_dispatch.h"
#include "chains.h"
#include "driver_frame.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

std::unique_ptr<ZorPlugin> g_plugin;
const WrenPath *g_rows = nullptr;
int g_nrows = 0;

std::string g_scene;  // the current call's scene, told when a check fails

[[noreturn]] void fail(const char *fmt, ...) {
    if (!g_scene.empty()) std::fputs(g_scene.c_str(), stderr);
    va_list ap;
    va_start(ap, fmt);
    std::fputs("wren_fuzz: ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
    va_end(ap);
    std::abort();
}

// The input, read as decisions. An exhausted input gives the first choice of
// every range, so common cases come first in each range and rare ones last.
struct In {
    FuzzedDataProvider p;
    In(const uint8_t *d, size_t n) : p(d, n) {}
    int in(int lo, int hi) { return p.ConsumeIntegralInRange<int>(lo, hi); }
    bool rarely(int n) { return in(0, n - 1) == n - 1; }
    uint32_t u32() { return p.ConsumeIntegral<uint32_t>(); }
    // A float in [lo, hi] mostly, now and then a value at or past an edge.
    float real(float lo, float hi) {
        switch (in(0, 15)) {
        case 11: return 0.0f;
        case 12: return std::numeric_limits<float>::quiet_NaN();
        case 13: return (in(0, 1) ? 1 : -1) * std::numeric_limits<float>::infinity();
        case 14: return (in(0, 1) ? 1 : -1) * std::ldexp(1.0f, in(-140, 127));
        case 15: return static_cast<float>(in(-40000, 70000));
        default: return lo + (hi - lo) * static_cast<float>(p.ConsumeProbability<double>());
        }
    }
    // A small integer mostly, an extreme one now and then.
    long integer(long lo, long hi) {
        if (rarely(8)) return p.ConsumeIntegral<int32_t>();
        return p.ConsumeIntegralInRange<long>(lo, hi);
    }
    bool plain() const { return false; }
};

// Everything one call is built from; released in reverse.
struct Case : chains::Made {
    wsim::Machine *machine = nullptr;
    std::vector<int> windows;
    int dst_window = 0;  // 0: the destination is no window
    ZorImage *dst = nullptr;
};

// Pseudo-random bytes, made once: filling is a copy from a seeded offset
// (filling byte by byte would cost most of the time of a run).
const std::vector<uint8_t> &pool() {
    static const std::vector<uint8_t> p = [] {
        std::vector<uint8_t> v(size_t{24} << 20);
        std::mt19937 g(19);
        for (size_t i = 0; i < v.size(); i += 4) {
            const uint32_t r = g();
            std::memcpy(&v[i], &r, 4);
        }
        return v;
    }();
    return p;
}

void fill(uint8_t *p, size_t n, uint32_t seed) {
    const std::vector<uint8_t> &v = pool();
    for (size_t done = 0; done < n;) {
        const size_t at = (seed + done * 7) % (v.size() / 2), m = std::min(n - done, v.size() - at);
        std::memcpy(p + done, v.data() + at, m);
        done += m;
    }
}

// A region of interest of up to four rectangles about an image of w x h.
ZorRoi *region(In &in, int w, int h) {
    ZorRect r[4];
    const int n = in.in(1, 4);
    for (int i = 0; i < n; ++i) {
        r[i].x = in.in(-4, w);
        r[i].y = in.in(-4, h);
        r[i].w = in.in(0, w + 4);
        r[i].h = in.in(0, h + 4);
    }
    return ZorRoi::create(r, static_cast<size_t>(n));
}

// Origin, region of interest and the image-space region the image keeps.
void dress(Case &c, In &in, ZorImage *img) {
    if (!img) return;
    unsigned w, h, b;
    img->getDimensions(&w, &h, &b);
    if (in.rarely(3)) {
        const float x = in.rarely(6) ? in.real(-50, 50) : static_cast<float>(in.in(-20, 20));
        const float y = in.rarely(6) ? in.real(-50, 50) : static_cast<float>(in.in(-20, 20));
        img->setOrigin(x, y);
    }
    if (in.rarely(4)) {
        ZorRoi *roi = region(in, static_cast<int>(w), static_cast<int>(h));
        if (roi) {
            img->setRoi(roi);
            roi->destroy();
        }
    }
    (void)c;
    img->getImageSpaceRoi();  // made once, kept by the image
}

// A child of img: a part of it and a run of its bands.
ZorImage *child(Case &c, In &in, ZorImage *img) {
    unsigned w, h, b;
    img->getDimensions(&w, &h, &b);
    const unsigned x = static_cast<unsigned>(in.in(0, static_cast<int>(w) - 1));
    const unsigned y = static_cast<unsigned>(in.in(0, static_cast<int>(h) - 1));
    const unsigned band = static_cast<unsigned>(in.in(0, static_cast<int>(b) - 1));
    const unsigned cw = static_cast<unsigned>(in.in(1, static_cast<int>(w - x)));
    const unsigned ch = static_cast<unsigned>(in.in(1, static_cast<int>(h - y)));
    const unsigned cb = static_cast<unsigned>(in.in(1, static_cast<int>(b - band)));
    return c.keep(img->createChild(x, y, band, cw, ch, cb));
}

// A source image: in memory over exactly the bytes its layout reaches, of
// 16-bit samples when shorts, now and then of the other type, a child, a bit
// image or a window.
ZorImage *source(Case &c, In &in, bool shorts, bool window_too = true) {
    if (window_too && in.rarely(24) && !c.windows.empty()) {
        ZorImage *win = c.machine->screen().windowImage(c.windows[in.in(0, static_cast<int>(c.windows.size()) - 1)]);
        return win;
    }
    int type = shorts ? ZOR_SHORT : ZOR_BYTE;
    if (in.rarely(16)) type = in.in(0, 2);
    const int bands = in.rarely(16) ? in.in(0, 6) : in.in(1, 4);
    int w = in.in(1, 64), h = in.in(1, 48);
    if (in.rarely(8)) {
        w = in.in(1, 2048);
        h = in.in(1, 1024);
        while (1L * w * h > (1L << 20)) h = h / 2 + 1, w = w / 2 + 1;
    }
    if (in.rarely(24)) h = in.in(1, 4), w = in.in(1, 60000);
    ZorImage *img = nullptr;
    if (type == ZOR_BIT || bands < 1 || bands > 4) {
        img = c.keep(ZorImage::create(static_cast<unsigned>(w), static_cast<unsigned>(h),
                                      static_cast<unsigned>(bands), type));
    } else {
        const int ps = bands + (in.rarely(4) ? in.in(0, 5) : 0);
        const int sls = w * ps + (in.rarely(3) ? in.in(0, 37) : 0);
        const size_t size = type == ZOR_SHORT ? 2 : 1;
        // Rows of whole pixels, as the host's own check of the strides has them;
        // the memory ends with the last pixel.
        const size_t bytes = ((static_cast<size_t>(h) - 1) * sls + static_cast<size_t>(w) * ps) * size;
        c.memory.emplace_back(bytes);
        fill(c.memory.back().data(), bytes, in.u32());
        img = c.keep(ZorImage::createOver(static_cast<unsigned>(w), static_cast<unsigned>(h),
                                          static_cast<unsigned>(bands), type, c.memory.back().data(), sls,
                                          static_cast<uint16_t>(ps)));
    }
    if (img && in.rarely(5)) img = child(c, in, img);
    dress(c, in, img);
    return img;
}

// Machines, one per set of options, reused from run to run (making one
// costs more than a run): windows destroyed, accelerator records cleared,
// frame buffers filled afresh. The accelerator's registers carry over, as on
// a real board: each call must program what it relies on.
wsim::Machine *machine(const wsim::MachineOptions &o) {
    static std::map<std::tuple<int, int, int, int>, std::unique_ptr<wsim::Machine>> kept;
    auto &m = kept[{o.width, o.map_mode,
                    o.first_generation | o.pages_forbidden << 1 | o.stereo << 2 | o.high_resolution << 3,
                    o.height}];
    static wsim::Machine *attached = nullptr;  // the plug-in talks to one accelerator at a time
    if (!m) {
        m = std::make_unique<wsim::Machine>(o);
        m->accel().setTracing(false);
    }
    if (attached != m.get()) {
        if (attached) attached->detach();
        m->attach(wren_bus_attach);
        attached = m.get();
    }
    wca::Screen &s = m->screen();
    for (wca::Window *w : s.stack())
        if (!s.destroyWindow(w->id())) fail("cannot destroy window %d", w->id());
    m->accel().clearTrace();
    m->accel().clearFills();
    m->accel().clearFaults();
    return m.get();
}

// The screen, its windows and the destination.
bool scene(Case &c, In &in) {
    wsim::MachineOptions o;
    static const int sizes[3][2] = {{320, 240}, {101, 67}, {2048, 12}};
    const int z = in.rarely(8) ? in.in(1, 2) : 0;
    o.width = sizes[z][0];
    o.height = sizes[z][1];
    o.map_mode = in.rarely(6) ? in.in(0, 2) : 1;
    switch (in.rarely(4) ? in.in(1, 4) : 0) {  // one odd board at a time: fewer machines to keep
    case 1: o.first_generation = true; break;
    case 2: o.pages_forbidden = true; break;
    case 3: o.stereo = true; break;
    case 4: o.high_resolution = true; break;
    }
    c.machine = machine(o);
    wca::Screen &s = c.machine->screen();
    fill(s.frameBuffer8(), s.frameBuffer8Size(), in.u32());
    fill(s.frameBuffer24(), s.frameBuffer24Size(), in.u32());
    const int n = in.in(1, 4);
    for (int i = 0; i < n; ++i) {
        const int depth = in.in(0, 1) ? 24 : 8;
        const int x = in.in(-8, o.width - 1), y = in.in(-8, o.height - 1);
        const int w = in.in(1, o.width), h = in.in(1, o.height);
        const int id = s.createWindow(depth, x, y, w, h);
        if (id > 0) c.windows.push_back(id);
    }
    if (c.windows.empty()) return false;
    if (in.rarely(8)) s.raiseWindow(c.windows[static_cast<size_t>(in.in(0, n - 1)) % c.windows.size()]);
    for (int id : c.windows) s.windowImage(id);
    if (in.rarely(32)) {
        c.dst = source(c, in, false, false);
        return c.dst != nullptr;
    }
    c.dst_window = c.windows[static_cast<size_t>(in.in(0, n - 1)) % c.windows.size()];
    c.dst = s.windowImage(c.dst_window);
    if (in.rarely(3)) c.dst = child(c, in, c.dst);
    dress(c, in, c.dst);
    return c.dst != nullptr;
}

// Whether screen pixel (sx, sy), byte k of its pixel in the frame buffer of
// the given depth, may change when the call computes.
struct Allowed {
    int depth = 0, x0 = 0, y0 = 0, x1 = 0, y1 = 0, b0 = 0, b1 = 0, sw = 0, sh = 0;
    std::vector<ZorRect> above;  // windows stacked over the destination's
    bool operator()(int d, int sx, int sy, int k) const {
        if (d != depth || sx < x0 || sy < y0 || sx >= x1 || sy >= y1 || sx >= sw || sy >= sh) return false;
        if (d == 24 && (k == 0 || k < b0 || k >= b1)) return false;
        for (const ZorRect &r : above)
            if (sx >= r.x && sy >= r.y && sx < r.x + r.w && sy < r.y + r.h) return false;
        return true;
    }
};

Allowed allowed(Case &c) {
    Allowed a;
    wca::Screen &s = c.machine->screen();
    a.sw = s.width();
    a.sh = s.height();
    if (!c.dst_window) return a;
    bool over = false;
    for (wca::Window *w : s.stack()) {
        if (over) a.above.push_back({w->x(), w->y(), w->width(), w->height()});
        if (w->id() == c.dst_window) {
            over = true;
            unsigned cx, cy, cb, dw, dh, db;
            c.dst->getChildOffsets(&cx, &cy, &cb);
            c.dst->getDimensions(&dw, &dh, &db);
            a.depth = w->depth();
            a.x0 = w->x() + static_cast<int>(cx);
            a.y0 = w->y() + static_cast<int>(cy);
            a.x1 = a.x0 + static_cast<int>(dw);
            a.y1 = a.y0 + static_cast<int>(dh);
            a.b0 = static_cast<int>(cb);
            a.b1 = static_cast<int>(cb + db);
        }
    }
    return a;
}

std::string image_text(ZorImage *img) {
    if (!img) return "null";
    unsigned w, h, b, cx, cy, cb;
    float ox, oy;
    img->getDimensions(&w, &h, &b);
    img->getChildOffsets(&cx, &cy, &cb);
    img->getOrigin(&ox, &oy);
    const ZorRect r = img->getImageSpaceRoi() ? img->getImageSpaceRoi()->extents() : ZorRect{0, 0, 0, 0};
    const ZorStorage *st = img->getStorage("memory");
    char t[320];
    std::snprintf(t, sizeof t,
                  "%ux%u bands %u type %d%s child (%u, %u) band %u origin (%g, %g) region (%d, %d) %dx%d strides %d %d",
                  w, h, b, img->getDatatype(), img->getDeviceInputOutput() ? " window" : "", cx, cy, cb, ox, oy, r.x,
                  r.y, r.w, r.h, st ? st->samples.pixelStride : 0, st ? st->samples.scanlineStride : 0);
    return t;
}

std::string describe(Case &c) {
    std::string d = "scene: screen " + std::to_string(c.machine->screen().width()) + "x" +
                    std::to_string(c.machine->screen().height()) + "\n";
    for (wca::Window *w : c.machine->screen().stack())
        d += "  window " + std::to_string(w->id()) + " depth " + std::to_string(w->depth()) + " at (" +
             std::to_string(w->x()) + ", " + std::to_string(w->y()) + ") " + std::to_string(w->width()) + "x" +
             std::to_string(w->height()) + (w->id() == c.dst_window ? " (destination)" : "") + "\n";
    d += "  destination " + image_text(c.dst) + "\n";
    for (ZorOp *o : c.ops)
        d += std::string("  op ") + (o->getName() ? o->getName() : "?") + ": dst " + image_text(o->getDst()) +
             "; src1 " + image_text(o->getSrc1()) + "; src2 " + image_text(o->getSrc2()) + "\n";
    return d;
}

// Whether the call's images fit a layout row of the row's plan (true when
// they cannot be described: the driver must have declined then anyway).
bool stated(Case &c, const WrenPath &row) {
    const wren::DriverPlan &plan = *row.plan;
    ZorOp *ops[4] = {};
    for (size_t i = 1; i < c.ops.size() && i <= 4; ++i) ops[i - 1] = c.ops[i];
    // The operation the sources come from: the bottom of a chain a driver reads itself.
    ZorOp *op = plan.source_op ? c.ops.back() : c.ops[static_cast<size_t>(plan.depth)];
    kl_image d, s[2];
    const kl_image *src[2] = {&s[0], &s[1]};
    if (!ops[0] || zor2kl_window(c.dst, &d) != ZOR_SUCCESS) return true;
    for (int i = 0; i < plan.sources; ++i)
        if (zor2kl_image(i ? op->getSrc2() : op->getSrc1(), &s[i]) != ZOR_SUCCESS) return true;
    const int variant = plan.variant ? plan.variant(ops) : 0;
    for (const wren::Layout &l : plan.layouts)
        if (wren::layout_fits(l, variant, plan.sources, src, d)) return true;
    return false;
}

// Runs one decoded call and checks it; returns the status.
int run(const uint8_t *data, size_t size, bool *computed_out = nullptr) {
    if (size < 1) return ZOR_FAILURE;
    const WrenPath &row = g_rows[data[0] % g_nrows];
    In in(data + 1, size - 1);
    Case c;
    if (!scene(c, in)) return ZOR_FAILURE;
    const chains::Sources sources = [&](int which, bool shorts) { return source(c, in, which == 0 && shorts); };
    if (!chains::chain(c, in, row, c.dst, sources, 0, g_rows, g_nrows)) {
        if (c.unmade.empty()) fail("row %s: its operations cannot be created", row.member);
        if (row.state == WREN_PATH_DRAWS) fail("row %s: no maker for parameter kind %s", row.member, c.unmade[0].c_str());
        return ZOR_FAILURE;
    }
    g_scene = describe(c);
    const bool verbose = std::getenv("WREN_FUZZ_VERBOSE") != nullptr;
    if (verbose) std::fputs(g_scene.c_str(), stderr);
    const bool dispatch = in.rarely(8);
    const int count = in.rarely(32) ? in.in(-1, 6) : row.count();

    wca::Screen &s = c.machine->screen();
    for (wca::Window *w : s.stack()) {  // the window system keeps a clip list per window once locked
        wca_win_lock(w->handle());
        wca_win_unlock(w->handle());
    }
    for (ZorImage *img : c.images) img->getImageSpaceRoi();
    for (int id : c.windows) s.windowImage(id)->getImageSpaceRoi();
    static std::vector<uint8_t> fb8, fb24;  // kept: fresh pages each run would cost more than the run
    fb8.assign(s.frameBuffer8(), s.frameBuffer8() + s.frameBuffer8Size());
    fb24.assign(s.frameBuffer24(), s.frameBuffer24() + s.frameBuffer24Size());
    static std::vector<std::vector<uint8_t>> images_before;
    images_before.assign(c.memory.begin(), c.memory.end());
    ZorSystemState::clearErrors();
    const long live = ZorObject::liveCount();

    int status = -1;
    try {
        if (dispatch) {
            status = ZorDispatch(c.ops[0]).status;
        } else {
            auto *dev = static_cast<ZorDeviceComputeTypeWren *>(g_plugin->device());
            status = (dev->*row.fn)(c.ops[0], count);
        }
    } catch (...) {
        fail("row %s: an exception came out of the call", row.member);
    }
    ZorSystemState::clearErrors();

    if (status != ZOR_SUCCESS && status != ZOR_FAILURE) fail("row %s: status %d", row.member, status);
    if (ZorObject::liveCount() != live)
        fail("row %s: host objects %ld before the call, %ld after", row.member, live, ZorObject::liveCount());
    for (size_t i = 0; i < c.memory.size(); ++i)
        if (c.memory[i] != images_before[i]) fail("row %s: the bytes of memory image %zu changed", row.member, i);
    for (wca::Window *w : s.stack())
        if (w->locked()) fail("row %s: window %d left locked", row.member, w->id());
    if (!c.machine->accel().faults().empty())
        fail("row %s: accelerator fault: %s", row.member, c.machine->accel().faults().front().c_str());
    if (status == ZOR_SUCCESS && row.state != WREN_PATH_DRAWS && !dispatch)
        fail("row %s: computed, but its driver does not draw", row.member);
    if (status == ZOR_SUCCESS && !dispatch && !stated(c, row))
        fail("row %s: computed images of a layout its plan does not state", row.member);

    const Allowed ok = allowed(c);
    const uint8_t *now[2] = {s.frameBuffer8(), s.frameBuffer24()};
    const std::vector<uint8_t> *was[2] = {&fb8, &fb24};
    const int lbs[2] = {wca::Screen::kLineBytes8, wca::Screen::kLineBytes24}, bpp[2] = {1, 4}, depth[2] = {8, 24};
    for (int f = 0; f < 2; ++f) {
        const size_t n = was[f]->size(), lb = static_cast<size_t>(lbs[f]);
        for (size_t row0 = 0; row0 < n; row0 += lb) {
            const size_t len = std::min(lb, n - row0);
            if (std::memcmp(now[f] + row0, was[f]->data() + row0, len) == 0) continue;
            for (size_t i = row0; i < row0 + len; ++i) {
                if (now[f][i] == (*was[f])[i]) continue;
                const int sy = static_cast<int>(i / lb), sx = static_cast<int>(i % lb) / bpp[f],
                          k = static_cast<int>(i % lb) % bpp[f];
                if (status != ZOR_SUCCESS)
                    fail("row %s: declined, but the %d-bit frame buffer changed at (%d, %d) byte %d", row.member,
                         depth[f], sx, sy, k);
                if (!ok(depth[f], sx, sy, k))
                    fail("row %s: wrote the %d-bit frame buffer at (%d, %d) byte %d, outside the visible area",
                         row.member, depth[f], sx, sy, k);
            }
        }
    }
    if (verbose) {
        wren_outcome oc{};
        wren_last_outcome(&oc);
        std::fprintf(stderr, "row %s: status %d (%s)\n", row.member, status, wren_reason_name(oc.reason));
    }
    g_scene.clear();
    if (computed_out) *computed_out = status == ZOR_SUCCESS && !dispatch;
    return status;
}

// For every row: the smallest of the tried inputs that computes.
void make_seeds(const char *dir) {
    std::mt19937 g(19);
    for (int r = 0; r < g_nrows; ++r) {
        std::vector<uint8_t> best, any;
        for (int t = 0; t < 1500; ++t) {
            std::vector<uint8_t> d(static_cast<size_t>(8 + g() % 120));
            for (uint8_t &b : d) b = static_cast<uint8_t>(g());
            d[0] = static_cast<uint8_t>(r);
            bool computed = false;
            run(d.data(), d.size(), &computed);
            if (any.empty() || d.size() < any.size()) any = d;
            if (computed && (best.empty() || d.size() < best.size())) best = d;
        }
        const std::vector<uint8_t> &keep = best.empty() ? any : best;
        char name[512];
        std::snprintf(name, sizeof name, "%s/%02d_%s_%s", dir, r, g_rows[r].names[0], g_rows[r].member);
        std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char *>(keep.data()),
                                                     static_cast<std::streamsize>(keep.size()));
        std::printf("%-28s %-24s %s\n", g_rows[r].member, g_rows[r].names[0],
                    best.empty() ? "declines" : "computes");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    std::string err;
    g_plugin = ZorPlugin::load(WREN_PLUGIN_PATH, &err);
    if (!g_plugin) fail("cannot load the plug-in: %s", err.c_str());
    g_rows = wren_path_table(&g_nrows);
    pool();
    if (!g_rows || g_nrows < 1) fail("the path table is empty");
    if (const char *dir = std::getenv("WREN_FUZZ_SEEDS")) {
        make_seeds(dir);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    run(data, size);
    return 0;
}
