// What the demo and run verbs share: the device on a simulated machine, its
// path table, PNG sources and the accelerator's fills.
#pragma once

#include "chain.h"
#include "verbs.h"

// The simulator's machine.h (not the machine-class query of the same name).
#include "../platform/sim/machine.h"
#include "../drivers/wren_outcome.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tool {

// Reads an 8-bit grey, grey-alpha, RGB, RGBA or palette PNG: grey gives one
// band, colour three (alpha is dropped). Images larger than the host makes,
// or larger than the file could hold, are refused before any pixel memory is
// allocated. On failure returns nullopt and stores one line in *error.
std::optional<Pixels> read_png(const std::string &path, std::string *error);

// Test sources, values 0..255 in every band (bands differ in phase).
Pixels gradient(int w, int h, int bands);
Pixels rings(int w, int h, int bands);
Pixels checkerboard(int w, int h, int bands, int cell);
// A photo-like scene: sky, sun, hills, a house with sharp edges and fine
// fence slats, so that resampling and its interpolation show.
Pixels scene(int w, int h, int bands);

// The plug-in loaded and attached to a simulated machine. The plug-in is
// declared first so that it outlives the machine, which detaches its bus
// hook on destruction.
class Device {
public:
    // Null (after one error line) when the plug-in cannot be loaded.
    static std::unique_ptr<Device> open(const ToolOptions &options, const wsim::MachineOptions &machine);
    ~Device();

    ZorPlugin &plugin() { return *plugin_; }
    wsim::Machine &machine() { return *machine_; }
    wca::Screen &screen() { return machine_->screen(); }

    // The device's path table, in registration order.
    std::span<const WrenPath> paths() const { return paths_; }
    // The outcome of the last driver call, if it was for path (a full path)
    // and the record is of this tool's version.
    std::optional<wren_outcome> outcome_for(const std::string &path) const;
    const char *reason_name(int reason) const;

    // The device's raster setup and fast fill (looked up in the plug-in).
    int setup(int groups, unsigned long plane_mask, unsigned long raster_op);
    void fast_fill(int method, int x, int y, int w, int h);
    // A register store through the machine's bus, as the device makes them.
    void store(std::uint32_t offset, std::uint32_t value);
    std::uint32_t load(std::uint32_t offset);

private:
    Device() = default;
    std::unique_ptr<ZorPlugin> plugin_;
    std::unique_ptr<wsim::Machine> machine_;
    std::span<const WrenPath> paths_;
    wren_last_outcome_fn outcome_ = nullptr;
    const char *(*reason_name_)(int) = nullptr;
    int (*setup_)(unsigned long *, int, unsigned long, unsigned long) = nullptr;
    void (*fast_fill_)(int, void *, long *, int, int, int *, int, int, int, int) = nullptr;
};

// Fills a screen rectangle of one frame buffer (depth 8 or 24) with a colour
// (grey in the low byte, or 0xRRGGBB) by the accelerator: wren_setup with the
// depth's plane groups, the fill colour, then wren_fast_fill with method.
// False when the device lacks the routines or refuses the setup.
bool accel_fill(Device &dev, int depth, std::uint32_t colour, int method, int x, int y, int w, int h);

// The part of a window's image that the tool draws into: the whole image of
// an 8-bit window, samples 1-3 (red, green, blue) of a 24-bit one. The child
// is the caller's to destroy.
ZorImage *drawing_image(wca::Screen &screen, int window, int x, int y, int w, int h);

// Register names for traces ("raster_mode"), or "" for an unknown offset.
const char *register_name(std::uint32_t offset);

}  // namespace tool
