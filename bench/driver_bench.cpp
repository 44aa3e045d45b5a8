// Driver overhead per call: a 64x64 add8 through the host into an 8-bit
// window whose visible area is one rectangle, or 50 rectangles (split by
// small windows above it), beside the bare kl_add_8 kernel on the same data.
// Times are per call, in microseconds; "rects" is the number of visible
// rectangles the driver walked.
//
// "driver/add8 64x64 window/<rects>" is the whole call, as the host makes it
// (ZorDispatch), in a tight loop.
//
// "driver/add8 64x64 window/part:<part>/<rects>" splits that call into its
// parts, without any timing code in the plug-in. Each part is replayed alone
// with the arguments a real call gives it, recorded once from a real call on
// the same window. An iteration makes five rounds, each timing the whole
// call and then each replay once, back to back on the same data
// (steady_clock, its own cost subtracted), and keeps the best time of each
// piece over its rounds. The parts:
//   host-dispatch  ZorDispatch itself: the same tree shape with a member that
//                  returns at once;
//   host-region    the host's region work: both images' regions, their
//                  intersection, intersectClipList, getRectList and its walk,
//                  the releases;
//   wca            lock, clip list, bounding box and unlock of the window's
//                  handle on a twin screen that has the same windows and no
//                  accelerator attached;
//   sim-window     what the attached accelerator adds to that lock and unlock
//                  (the machine's observers: the window's area set up at the
//                  lock; at the unlock its merge and the scan of the
//                  pixel-mapping space for samples): the same calls on the
//                  real window minus the twin's;
//   sim-bus        the register accesses the call makes, in its order and with
//                  its values (the accelerator's trace of one call), sent
//                  straight to the simulator's bus hook;
//   kernels        kl_add_8 on each visible rectangle, with the descriptors
//                  the driver makes (the implementation WREN_KERNELS picks);
//   frame          whole call minus all of the above: the plug-in's own work
//                  (run(), adapters, path table, outcome, raster set-up and
//                  its register seam, the host getters it calls);
//   plugin         frame + kernels: what the plug-in costs;
//   whole          the whole call as timed beside the replays.
// "<rects>" is 1 or 50; "per-rect" rows give the cost of one more visible
// rectangle, (t50 - t1) / 49, from both windows timed in the same iteration.
//
// The VM is noisy: read best of N with --benchmark_repetitions=N (the "_min"
// rows), e.g.
//   wren_bench --benchmark_filter='driver/' --benchmark_repetitions=5
//              --benchmark_report_aggregates_only=true
//
// The accelerator's register trace is switched off once the accesses of one
// call are recorded: it only grows (a trace entry per access), which a long
// loop of calls turns into the cost of a growing vector.
#include "../platform/sim/machine.h"
#include "kl.h"
#include "wren_outcome.h"
#include "wren_regs.h"
#include "zor_dispatch.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" ZorDeviceComputeType *ZorCreateComputeType();

namespace {

constexpr int kSide = 64;
constexpr int kWant[2] = {1, 50};  // visible rectangles of the two windows

// The device, registered once for the process.
ZorDeviceComputeType *device() {
    static ZorDeviceComputeType *d = ZorCreateComputeType();
    return d;
}

ZorImage *source(int seed) {
    ZorImage *img = ZorImage::create(kSide, kSide, 1, ZOR_BYTE);
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x)
            *static_cast<std::uint8_t *>(img->sampleAddress(x, y, 0)) =
                static_cast<std::uint8_t>((x * 7 + y * 13 + seed * 91) & 0xff);
    img->getImageSpaceRoi();
    return img;
}

// A device whose every member computes at once: ZorDispatch's own cost.
class NullDevice : public ZorDeviceComputeType {
public:
    NullDevice() : ZorDeviceComputeType("NullDevice") {}
    int done(ZorOp *, int) { return ZOR_SUCCESS; }
};

kl_image describe(std::uint8_t *data, int lb, const ZorRect &r) {
    kl_image k;
    std::memset(&k, 0, sizeof k);
    k.type = KL_BYTE;
    k.bands = 1;
    k.bmask = 1;
    k.lb = lb;
    k.bpp = 1;
    k.data = data + static_cast<std::ptrdiff_t>(r.y) * lb + r.x;
    k.w = r.w;
    k.h = r.h;
    k.x = r.x;
    k.y = r.y;
    k.padx = kSide - r.x - r.w;
    k.pady = kSide - r.y - r.h;
    return k;
}

// One machine with two 64x64 8-bit windows side by side: the first wholly
// visible, the second split into 50 visible rectangles by 1x1 windows of
// the other depth above it; a twin screen with the same windows and no
// accelerator; the sources; and, per window, what one call was seen to do.
struct Scene {
    struct Win {
        int id = 0, twin = 0, rects = 0;
        ZorImage *image = nullptr;
        ZorOp *add = nullptr, *display = nullptr;
        std::vector<wsim::RegAccess> bus;  // the register accesses of one call
        std::vector<kl_image> kernel;      // per rectangle: window, source 1, source 2
        int xoff = 0, yoff = 0;            // image space to screen
    };

    wsim::Machine machine{options()};
    wca::Screen twin{options().width, options().height};
    ZorImage *a = source(1), *b = source(2);
    Win win[2];
    NullDevice null;
    ZorOpTreeNode null_base;
    bool ok = false;

    static wsim::MachineOptions options() {
        wsim::MachineOptions o;
        o.width = 256;
        o.height = 128;
        return o;
    }

    Scene() {
        machine.attach(wren_bus_attach);
        for (int w = 0; w < 2; ++w) make(w);
        // The host tree with the plug-in's paths, each holding the null member.
        for (const ZorRegisteredPath &p : ZorListPaths(device())) {
            ZorOpTreeNode *node = &null_base;
            for (const std::string &n : p.names) node = node ? node->branch(n.c_str()) : nullptr;
            if (node) node->addFunction(&null, static_cast<ZorComputeFunction>(&NullDevice::done));
        }
        ok = device() && record(win[0]) && record(win[1]);
        machine.accel().setTracing(false);
    }

    void make(int w) {
        Win &v = win[w];
        wca::Screen &s = machine.screen();
        const int x0 = 16 + w * 128, y0 = 16;
        v.id = s.createWindow(8, x0, y0, kSide, kSide);
        v.twin = twin.createWindow(8, x0, y0, kSide, kSide);
        for (int y = 1; y < kSide - 1 && count(v) < kWant[w]; y += 2) {
            for (int x = 1; x < kSide - 1 && count(v) < kWant[w]; x += 9) {
                const int cover = s.createWindow(24, x0 + x, y0 + y, 1, 1);
                if (count(v) > kWant[w]) {
                    s.destroyWindow(cover);
                } else {
                    twin.createWindow(24, x0 + x, y0 + y, 1, 1);
                }
            }
        }
        v.rects = count(v);
        v.image = s.windowImage(v.id);
        v.add = ZorOp::create("add8", nullptr, a, b);
        v.display = ZorOp::create(ZOR_DISPLAY_IO_WREN, v.image, nullptr, nullptr, v.add);
        v.image->getImageSpaceRoi();
    }

    int count(const Win &v) { return static_cast<int>(machine.screen().window(v.id)->visibleRects().size()); }

    // One real call: its register accesses, then the rectangles it computes
    // and the kernel descriptors it makes for them.
    bool record(Win &v) {
        wsim::Accelerator &acc = machine.accel();
        acc.clearTrace();
        if (ZorDispatch(v.display).status != ZOR_SUCCESS) return false;
        v.bus = acc.trace();
        acc.clearTrace();
        wca_win *h = machine.screen().window(v.id)->handle();
        int ox = 0, oy = 0, cx = 0, cy = 0, cb = 0;
        v.image->getOrigin(&ox, &oy);
        v.image->getChildOffsets(&cx, &cy, &cb);
        v.xoff = ox + h->x + cx;
        v.yoff = oy + h->y + cy;
        const ZorDisplayIO *dio = v.image->getDeviceInputOutput();
        const int lb = a->getStorage("memory")->samples.scanlineStride;
        std::uint8_t *fb = dio->fbBase + static_cast<std::ptrdiff_t>(h->y) * dio->fbLineBytes + h->x;
        for (const ZorRect &r : region(v)) {
            kl_image d = describe(fb, dio->fbLineBytes, r);
            d.fb = 1;
            d.x += h->x;
            d.y += h->y;
            v.kernel.push_back(d);
            v.kernel.push_back(describe(static_cast<std::uint8_t *>(a->sampleAddress(0, 0, 0)), lb, r));
            v.kernel.push_back(describe(static_cast<std::uint8_t *>(b->sampleAddress(0, 0, 0)), lb, r));
        }
        return static_cast<int>(v.kernel.size()) == 3 * v.rects;
    }

    // The host's region work of a call; the visible rectangles in image space.
    std::vector<ZorRect> region(const Win &v) {
        std::vector<ZorRect> out;
        const void *clip = machine.screen().window(v.id)->handle()->clip;
        ZorRoi *r = v.add->getSrc1()->getImageSpaceRoi()->intersect(v.image->getImageSpaceRoi());
        ZorRoi *r2 = r && r->numRects() ? r->intersectClipList(static_cast<const ZorClipList *>(clip), v.xoff, v.yoff) : nullptr;
        ZorRectList *list = r2 ? r2->getRectList() : nullptr;
        ZorRect q;
        while (list && list->getNext(&q.x, &q.y, &q.w, &q.h)) out.push_back(q);
        if (list) list->destroy();
        if (r2) r2->destroy();
        if (r) r->destroy();
        return out;
    }
};

Scene &scene() {
    static Scene *s = new Scene;  // kept for the process: windows outlive every benchmark
    return *s;
}

// ---- the parts ----------------------------------------------------------------

enum Part { kWhole, kFrame, kPlugin, kKernels, kDispatch, kRegion, kWca, kSimWindow, kSimBus, kParts };
const char *const kPartNames[kParts] = {"whole", "frame", "plugin", "kernels", "host-dispatch", "host-region", "wca", "sim-window", "sim-bus"};

using Clock = std::chrono::steady_clock;

// The cost of reading the clock twice, subtracted from every interval.
double clock_cost_ns() {
    static const double cost = [] {
        double best = 1e9;
        for (int i = 0; i < 20000; ++i) {
            const auto t0 = Clock::now();
            const auto t1 = Clock::now();
            best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count());
        }
        return best;
    }();
    return cost;
}

template <class F>
double timed(F &&f) {
    const auto t0 = Clock::now();
    f();
    const auto t1 = Clock::now();
    return std::chrono::duration<double, std::nano>(t1 - t0).count() - clock_cost_ns();
}

void replay_region(Scene &s, const Scene::Win &v) {
    const void *clip = s.machine.screen().window(v.id)->handle()->clip;
    ZorRoi *r = v.add->getSrc1()->getImageSpaceRoi()->intersect(v.image->getImageSpaceRoi());
    ZorRoi *r2 = r && r->numRects() ? r->intersectClipList(static_cast<const ZorClipList *>(clip), v.xoff, v.yoff) : nullptr;
    ZorRectList *list = r2 ? r2->getRectList() : nullptr;
    int x, y, w, h, n = 0;
    while (list && list->getNext(&x, &y, &w, &h)) n += w > 0 && h > 0;
    benchmark::DoNotOptimize(n);
    if (list) list->destroy();
    if (r2) r2->destroy();
    if (r) r->destroy();
}

void lock_cycle(wca_win *h) {
    int bx, by, bw, bh;
    if (wca_win_lock(h) != WCA_OK) return;
    benchmark::DoNotOptimize(wca_win_clipinfo(h));
    wca_win_bbox(h, &bx, &by, &bw, &bh);
    wca_win_unlock(h);
}

void replay_bus(Scene &s, const Scene::Win &v) {
    const wren_bus *bus = s.machine.bus();
    void *regs = s.machine.accel().registerBase();
    for (const wsim::RegAccess &a : v.bus) {
        if (a.store) {
            bus->store(bus->ctx, regs, a.offset, a.value);
        } else {
            benchmark::DoNotOptimize(bus->load(bus->ctx, regs, a.offset));
        }
    }
}

void replay_kernels(const Scene::Win &v) {
    for (std::size_t i = 0; i < v.kernel.size(); i += 3) {
        kl_image d = v.kernel[i], s1 = v.kernel[i + 1], s2 = v.kernel[i + 2];
        kl_add_8(1, &d, &s1, &s2);
    }
    benchmark::ClobberMemory();
}

// One call and its parts on window w, in ns, each the best of kRounds
// rounds (a round times the call and then each replay once); false when the
// call declined.
constexpr int kRounds = 5;

bool measure(Scene &s, int w, Part want, double *out) {
    const Scene::Win &v = s.win[w];
    constexpr int kCall = 0, kLock = 1, kTwin = 2, kTimes = 3;
    double best[kTimes + kParts];
    std::fill(std::begin(best), std::end(best), 1e30);
    const auto keep = [&](int i, double ns) { best[i] = std::min(best[i], ns); };
    bool computed = true;
    const bool all = want == kFrame || want == kPlugin || want == kWhole;
    for (int round = 0; round < kRounds; ++round) {
        if (all) keep(kCall, timed([&] { computed &= ZorDispatch(v.display).status == ZOR_SUCCESS; }));
        if (all || want == kDispatch) keep(kTimes + kDispatch, timed([&] { ZorDispatch(v.display, &s.null_base); }));
        if (all || want == kRegion) keep(kTimes + kRegion, timed([&] { replay_region(s, v); }));
        if (all || want == kSimWindow) keep(kLock, timed([&] { lock_cycle(s.machine.screen().window(v.id)->handle()); }));
        if (all || want == kWca || want == kSimWindow) keep(kTwin, timed([&] { lock_cycle(s.twin.window(v.twin)->handle()); }));
        if (all || want == kSimBus) keep(kTimes + kSimBus, timed([&] { replay_bus(s, v); }));
        if (all || want == kKernels || want == kPlugin) keep(kTimes + kKernels, timed([&] { replay_kernels(v); }));
    }
    const auto at = [&](int i) { return best[i] < 1e30 ? best[i] : 0.0; };
    double t[kParts];
    t[kWhole] = at(kCall);
    t[kDispatch] = at(kTimes + kDispatch);
    t[kRegion] = at(kTimes + kRegion);
    t[kWca] = at(kTwin);
    t[kSimWindow] = at(kLock) - at(kTwin);
    t[kSimBus] = at(kTimes + kSimBus);
    t[kKernels] = at(kTimes + kKernels);
    t[kFrame] = t[kWhole] - t[kDispatch] - t[kRegion] - at(kLock) - t[kSimBus] - t[kKernels];
    t[kPlugin] = t[kFrame] + t[kKernels];
    *out = t[want];
    return computed;
}

// rects: 1, 50, or 0 for the per-rectangle cost.
void BM_Part(benchmark::State &st, Part part, int rects) {
    Scene &s = scene();
    if (!s.ok) {
        st.SkipWithError("the device did not start or a call declined");
        return;
    }
    clock_cost_ns();
    const int per = s.win[1].rects - s.win[0].rects;
    for (auto _ : st) {
        double ns[2] = {};
        bool ok = true;
        if (rects != 50) ok &= measure(s, 0, part, &ns[0]);
        if (rects != 1) ok &= measure(s, 1, part, &ns[1]);
        if (!ok) {
            st.SkipWithError("a call declined");
            break;
        }
        const double v = rects == 1 ? ns[0] : rects == 50 ? ns[1] : (ns[1] - ns[0]) / per;
        st.SetIterationTime(v * 1e-9);
    }
    st.counters["rects"] = rects == 1 ? s.win[0].rects : rects == 50 ? s.win[1].rects : per;
}

double min_of(const std::vector<double> &v) { return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end()); }

const bool registered = [] {
    for (int p = 0; p < kParts; ++p) {
        for (int rects : {1, 50, 0}) {
            std::string name = std::string("driver/add8 64x64 window/part:") + kPartNames[p] + "/" +
                               (rects ? std::to_string(rects) : std::string("per-rect"));
            benchmark::RegisterBenchmark(name.c_str(), BM_Part, static_cast<Part>(p), rects)
                ->UseManualTime()
                ->Iterations(rects ? 4000 : 2000)
                ->ComputeStatistics("min", min_of)
                ->Unit(benchmark::kMicrosecond);
        }
    }
    return true;
}();

// ---- the whole call and the bare kernel ------------------------------------------

void BM_Add8Driver(benchmark::State &st) {
    Scene &s = scene();
    if (!s.ok) {
        st.SkipWithError("the device did not start or a call declined");
        return;
    }
    const Scene::Win &v = s.win[st.range(0) == 1 ? 0 : 1];
    for (auto _ : st) {
        const ZorDispatchResult r = ZorDispatch(v.display);
        if (r.status != ZOR_SUCCESS) {
            wren_outcome o{};
            wren_last_outcome(&o);
            st.SkipWithError(o.message);
            break;
        }
    }
    st.counters["rects"] = v.rects;
}
BENCHMARK(BM_Add8Driver)
    ->Name("driver/add8 64x64 window")
    ->Arg(1)
    ->Arg(50)
    ->ComputeStatistics("min", min_of)
    ->Unit(benchmark::kMicrosecond);

void BM_Add8Kernel(benchmark::State &st) {
    ZorImage *a = source(1), *b = source(2);
    std::vector<std::uint8_t> out(kSide * kSide);
    const ZorRect all{0, 0, kSide, kSide};
    const int lb = a->getStorage("memory")->samples.scanlineStride;
    for (auto _ : st) {
        kl_image d = describe(out.data(), kSide, all);
        kl_image s1 = describe(static_cast<std::uint8_t *>(a->sampleAddress(0, 0, 0)), lb, all);
        kl_image s2 = describe(static_cast<std::uint8_t *>(b->sampleAddress(0, 0, 0)), lb, all);
        kl_add_8(1, &d, &s1, &s2);
        benchmark::ClobberMemory();
    }
    a->destroy();
    b->destroy();
}
BENCHMARK(BM_Add8Kernel)->Name("kernel/kl_add_8 64x64")->ComputeStatistics("min", min_of)->Unit(benchmark::kMicrosecond);

}  // namespace
