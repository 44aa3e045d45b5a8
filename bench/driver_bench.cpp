// Driver overhead per call: a 64x64 add8 through the host into an 8-bit
// window whose visible area is one rectangle, or 50 rectangles (split by
// small windows above it), beside the bare kl_add_8 kernel on the same data.
// Times are per call, in microseconds; "rects" is the number of visible
// rectangles the driver walked. The driver times include the simulator's
// work at the window lock and unlock.
#include "../platform/sim/machine.h"
#include "kl.h"
#include "wren_outcome.h"
#include "wren_regs.h"
#include "zor_dispatch.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

extern "C" ZorDeviceComputeType *ZorCreateComputeType();

namespace {

constexpr int kSide = 64;

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

// A 64x64 8-bit window on a small screen, split into `want` visible
// rectangles by 1x1 windows of the other depth above it.
struct AddScene {
    wsim::Machine machine;
    int id = 0;
    ZorImage *a = nullptr, *b = nullptr;
    ZorOp *add = nullptr, *display = nullptr;
    int rects = 0;

    explicit AddScene(int want) : machine(options()) {
        machine.attach(wren_bus_attach);
        wca::Screen &s = machine.screen();
        id = s.createWindow(8, 16, 16, kSide, kSide);
        for (int y = 1; y < kSide - 1 && count() < want; y += 2) {
            for (int x = 1; x < kSide - 1 && count() < want; x += 9) {
                const int cover = s.createWindow(24, 16 + x, 16 + y, 1, 1);
                if (count() > want) s.destroyWindow(cover);
            }
        }
        rects = count();
        a = source(1);
        b = source(2);
        add = ZorOp::create("add8", nullptr, a, b);
        display = ZorOp::create(ZOR_DISPLAY_IO_WREN, s.windowImage(id), nullptr, nullptr, add);
        s.windowImage(id)->getImageSpaceRoi();
    }
    ~AddScene() {
        display->destroy();
        add->destroy();
        a->destroy();
        b->destroy();
        machine.detach();
    }
    static wsim::MachineOptions options() {
        wsim::MachineOptions o;
        o.width = 128;
        o.height = 128;
        return o;
    }
    int count() { return static_cast<int>(machine.screen().window(id)->visibleRects().size()); }
};

void BM_Add8Driver(benchmark::State &st) {
    if (!device()) {
        st.SkipWithError("the device did not start");
        return;
    }
    AddScene scene(static_cast<int>(st.range(0)));
    for (auto _ : st) {
        const ZorDispatchResult r = ZorDispatch(scene.display);
        if (r.status != ZOR_SUCCESS) {
            wren_outcome o{};
            wren_last_outcome(&o);
            st.SkipWithError(o.message);
            break;
        }
    }
    st.counters["rects"] = scene.rects;
}
BENCHMARK(BM_Add8Driver)->Name("driver/add8 64x64 window")->Arg(1)->Arg(50)->Unit(benchmark::kMicrosecond);

void BM_Add8Kernel(benchmark::State &st) {
    ZorImage *a = source(1), *b = source(2);
    std::vector<std::uint8_t> out(kSide * kSide);
    auto describe = [](std::uint8_t *data, int lb) {
        kl_image k;
        std::memset(&k, 0, sizeof k);
        k.type = KL_BYTE;
        k.bands = 1;
        k.bmask = 1;
        k.data = data;
        k.lb = lb;
        k.bpp = 1;
        k.w = kSide;
        k.h = kSide;
        return k;
    };
    const int lb = a->getStorage("memory")->samples.scanlineStride;
    for (auto _ : st) {
        kl_image d = describe(out.data(), kSide);
        kl_image s1 = describe(static_cast<std::uint8_t *>(a->sampleAddress(0, 0, 0)), lb);
        kl_image s2 = describe(static_cast<std::uint8_t *>(b->sampleAddress(0, 0, 0)), lb);
        kl_add_8(1, &d, &s1, &s2);
        benchmark::ClobberMemory();
    }
    a->destroy();
    b->destroy();
}
BENCHMARK(BM_Add8Kernel)->Name("kernel/kl_add_8 64x64")->Unit(benchmark::kMicrosecond);

}  // namespace
