// What a user's program does with an installed tree: call a kernel on two
// images, then load the plug-in through the host and run "add8" into a window
// of the simulated accelerator. Exits 0 when every byte is as expected.
#include "kl.h"
#include "machine.h"
#include "zor.h"
#include "zor_dispatch.h"

#include <cstdio>
#include <string>

namespace {

int fail(const char *what) {
    std::fprintf(stderr, "consumer: %s\n", what);
    return 1;
}

kl_image describe(unsigned char *data, int w, int h) {
    kl_image k{};
    k.type = KL_BYTE;
    k.bands = 1;
    k.bmask = 1;
    k.data = data;
    k.lb = w;
    k.bpp = 1;
    k.w = w;
    k.h = h;
    return k;
}

int sum(int a, int b) { return a + b > 255 ? 255 : a + b; }

}  // namespace

int main() {
    constexpr int W = 16, H = 8;
    unsigned char a[W * H], b[W * H], d[W * H] = {};
    for (int i = 0; i < W * H; ++i) {
        a[i] = static_cast<unsigned char>(i * 7);
        b[i] = static_cast<unsigned char>(200 - i);
    }
    kl_image ka = describe(a, W, H), kb = describe(b, W, H), kd = describe(d, W, H);
    kl_add_8(1, &kd, &ka, &kb);
    for (int i = 0; i < W * H; ++i)
        if (d[i] != sum(a[i], b[i])) return fail("kl_add_8 gave a wrong byte");

    const std::string path = ZorFindPlugin("libzorwren.so");
    std::string error;
    auto plugin = ZorPlugin::load(path.c_str(), &error);
    if (!plugin) return fail(("cannot load the plug-in: " + error).c_str());
    std::printf("plug-in %s\n", path.c_str());
    auto attach = reinterpret_cast<wren_bus_attach_fn>(plugin->symbol("wren_bus_attach"));
    if (!attach) return fail("the plug-in has no bus hook");

    wsim::MachineOptions options;
    options.width = 64;
    options.height = 32;
    wsim::Machine machine(options);
    machine.attach(attach);
    const int id = machine.screen().createWindow(8, 4, 2, W, H);
    ZorImage *window = machine.screen().windowImage(id);
    ZorImage *s1 = ZorImage::create(W, H, 1, ZOR_BYTE), *s2 = ZorImage::create(W, H, 1, ZOR_BYTE);
    if (!window || !s1 || !s2) return fail("cannot make the images");
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            *static_cast<unsigned char *>(s1->sampleAddress(x, y, 0)) = a[y * W + x];
            *static_cast<unsigned char *>(s2->sampleAddress(x, y, 0)) = b[y * W + x];
        }
    s1->markModified();
    s2->markModified();
    ZorOp *add = ZorOp::create("add8", nullptr, s1, s2);
    ZorOp *show = ZorOp::create(ZOR_DISPLAY_IO_WREN, window, nullptr, nullptr, add);
    const ZorDispatchResult r = ZorDispatch(show);
    int bad = r.status == ZOR_SUCCESS ? 0 : -1;
    const unsigned char *fb = machine.screen().frameBuffer8();
    for (int y = 0; bad == 0 && y < H; ++y)
        for (int x = 0; x < W; ++x)
            if (fb[(2 + y) * wca::Screen::kLineBytes8 + 4 + x] != sum(a[y * W + x], b[y * W + x])) ++bad;
    show->destroy();
    add->destroy();
    s1->destroy();
    s2->destroy();
    machine.detach();
    if (bad < 0) return fail("the device declined add8");
    if (bad > 0) return fail("add8 wrote wrong pixels");
    std::printf("kl_add_8 and add8 into a window: all bytes as expected\n");
    return 0;
}
