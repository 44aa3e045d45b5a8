// wren demo: loads the device and shows each path and what it does now.
#include "verbs.h"

#include <map>
#include <string_view>

namespace {

// What each driver computes into a window.
const std::map<std::string_view, const char *> &purposes() {
    static const std::map<std::string_view, const char *> m = {
        {"Add8Wren", "sum of two images, saturated"},
        {"AddConst8Wren", "image plus per-band constants, saturated"},
        {"Affine8Wren", "affine warp"},
        {"Alu8Wren", "dyadic worker"},
        {"AluConst8Wren", "constant worker"},
        {"And8Wren", "bitwise and of two images"},
        {"AndConst8Wren", "bitwise and with constants"},
        {"ConvolveWren", "two-dimensional convolution"},
        {"ConvolveSPWren", "separable convolution"},
        {"Copy8Wren", "copy"},
        {"Lookup8_8Wren", "table lookup of bytes"},
        {"Lookup16_8Wren", "table lookup of shorts into bytes"},
        {"Max8Wren", "maximum of two images"},
        {"Min8Wren", "minimum of two images"},
        {"Multiply8Wren", "product of two images"},
        {"MultiplyConst8Wren", "image times constants"},
        {"Not8Wren", "bitwise complement"},
        {"Or8Wren", "bitwise or of two images"},
        {"OrConst8Wren", "bitwise or with constants"},
        {"qdx_Scale8Lookup8_8Wren", "2x/4x zoom then lookup of bytes"},
        {"qdx_Scale16Lookup16_8Wren", "2x/4x zoom then lookup of shorts"},
        {"Rescale8Wren", "rescale with clamps, by the pixel-mapping unit"},
        {"Rescale16Wren", "16-bit rescale with clamps, by the pixel-mapping unit"},
        {"Rotate8Wren", "rotation"},
        {"Scale8Wren", "scaling"},
        {"SetValue8Wren", "constant fill, by the accelerator"},
        {"Subtract8Wren", "difference of two images"},
        {"SubtractConst8Wren", "image minus constants"},
        {"SubtractFromConst8Wren", "constants minus image"},
        {"Threshold8Wren", "threshold"},
        {"Transpose8Wren", "flip or 180-degree rotation"},
        {"Xor8Wren", "bitwise exclusive or of two images"},
        {"XorConst8Wren", "bitwise exclusive or with constants"},
    };
    return m;
}

}  // namespace

Verb add_demo_verb(CLI::App &app, const ToolOptions &options) {
    CLI::App *cmd = app.add_subcommand(
        "demo", "Load the device, print every registered path with what its driver computes and whether "
                "the driver is built yet (a driver not yet built declines, and the host computes the "
                "operation itself)");
    return {cmd, [&options] {
                auto plugin = load_plugin(options);
                if (!plugin) return 1;
                using Pending = int (*)(const char *);
                auto pending = reinterpret_cast<Pending>(plugin->symbol("wren_driver_pending"));
                std::printf("device %s\n", plugin->device()->getName());
                print_paths(stdout, ZorListPaths(plugin->device()), [pending](const ZorRegisteredPath &p) {
                    const auto it = purposes().find(p.memberName);
                    std::string s = it == purposes().end() ? "unknown driver" : it->second;
                    const bool waiting = pending && pending(p.memberName.c_str());
                    return s + (waiting ? ": declines, driver not built yet" : ": driver built");
                });
                return 0;
            }};
}
