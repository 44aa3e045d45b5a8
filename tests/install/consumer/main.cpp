// What a user's program does with an installed tree: call a kernel on two
// images, then load the plug-in through the host and run "add8" into a window
// of the simulated accelerator. Exits 0 when every byte is as expected.
#include "kl.h"
#include "machine.h"
#include "zor.h"
#include "zor_dispatch.h"

#include <cstdio>
#include <string>

static int fail(const std::string &what) {
    std::fprintf(stderr, "consumer: %s\n", what.c_str());
    return 1;
}

int main() {
    constexpr int W = 16, H = 8;
    unsigned char a[W * H], b[W * H], d[W * H] = {}, sum[W * H];
    for (int i = 0; i < W * H; ++i) {
        a[i] = static_cast<unsigned char>(i * 7), b[i] = static_cast<unsigned char>(200 - i);
        sum[i] = static_cast<unsigned char>(a[i] + b[i] > 255 ? 255 : a[i] + b[i]);
    }
    kl_image k[3] = {};
    unsigned char *data[3] = {d, a, b};
    for (int i = 0; i < 3; ++i) k[i].type = KL_BYTE, k[i].bands = k[i].bmask = k[i].bpp = 1, k[i].data = data[i], k[i].lb = k[i].w = W, k[i].h = H;
    kl_add_8(1, &k[0], &k[1], &k[2]);
    for (int i = 0; i < W * H; ++i)
        if (d[i] != sum[i]) return fail("kl_add_8 gave a wrong byte");

    const std::string path = ZorFindPlugin("libzorwren.so");
    std::string error;
    auto plugin = ZorPlugin::load(path.c_str(), &error);
    if (!plugin) return fail("cannot load the plug-in: " + error);
    std::printf("plug-in %s\n", path.c_str());
    auto attach = reinterpret_cast<wren_bus_attach_fn>(plugin->symbol("wren_bus_attach"));
    if (!attach) return fail("the plug-in has no bus hook");
    wsim::MachineOptions options;
    options.width = 64, options.height = 32;
    wsim::Machine machine(options);
    machine.attach(attach);
    ZorImage *window = machine.screen().windowImage(machine.screen().createWindow(8, 4, 2, W, H));
    ZorImage *s1 = ZorImage::createOver(W, H, 1, ZOR_BYTE, a, W, 1), *s2 = ZorImage::createOver(W, H, 1, ZOR_BYTE, b, W, 1);
    if (!window || !s1 || !s2) return fail("cannot make the images");
    ZorOp *add = ZorOp::create("add8", nullptr, s1, s2);
    ZorOp *show = ZorOp::create(ZOR_DISPLAY_IO_WREN, window, nullptr, nullptr, add);
    const bool computed = ZorDispatch(show).status == ZOR_SUCCESS;
    int bad = 0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) bad += machine.screen().frameBuffer8()[(2 + y) * wca::Screen::kLineBytes8 + 4 + x] != sum[y * W + x];
    for (ZorObject *o : {static_cast<ZorObject *>(show), static_cast<ZorObject *>(add), static_cast<ZorObject *>(s1), static_cast<ZorObject *>(s2)})
        o->destroy();
    machine.detach();
    if (!computed) return fail("the device declined add8");
    if (bad) return fail("add8 wrote wrong pixels");
    std::printf("kl_add_8 and add8 into a window: all bytes as expected\n");
    return 0;
}
