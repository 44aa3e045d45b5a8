// What the demo and run verbs share: the device on a simulated machine, the
// kinds of parameters each path takes, memory images, operation chains and
// the accelerator's fills.
#pragma once

#include "verbs.h"

// The simulator's machine.h (not the machine-class query of the same name).
#include "../platform/sim/machine.h"
#include "../drivers/wren_outcome.h"
#include "../frame/wren_paths.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tool {

// What a path needs besides the destination window.
enum class Shape {
    dyadic,       // two source images
    monadic,      // one source image
    const_float,  // one source image and one float constant per band
    const_int,    // one source image and one integer constant per band
    set_value,    // one float value per band, no source
    unsupported,  // parameters the tool cannot build yet
};

// The shape of a registered path, given by its names after the display name.
Shape shape_of(const std::vector<std::string> &names);
// Number of source images a shape takes.
int images_of(Shape s);
// A short description of what a shape takes, for messages and help.
const char *takes(Shape s);

// A byte image in memory owned by the tool: samples interleaved, rows packed.
struct Pixels {
    int w = 0, h = 0, bands = 0;
    std::vector<std::uint8_t> v;
    Pixels() = default;
    Pixels(int w_, int h_, int bands_) : w(w_), h(h_), bands(bands_), v(std::size_t(w_) * h_ * bands_) {}
    std::uint8_t &at(int x, int y, int k) { return v[(std::size_t(y) * w + x) * bands + k]; }
    std::uint8_t at(int x, int y, int k) const { return v[(std::size_t(y) * w + x) * bands + k]; }
};

// Reads an 8-bit grey, grey-alpha, RGB, RGBA or palette PNG: grey gives one
// band, colour three (alpha is dropped). On failure returns nullopt and
// stores one line in *error.
std::optional<Pixels> read_png(const std::string &path, std::string *error);

// Test sources, values 0..255 in every band (bands differ in phase).
Pixels gradient(int w, int h, int bands);
Pixels rings(int w, int h, int bands);
Pixels checkerboard(int w, int h, int bands, int cell);

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

    // True when the member function is still the declining placeholder.
    bool pending(const std::string &member) const;
    // The outcome of the last driver call, if it was for path (a full path).
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
    wren_path_table_fn paths_ = nullptr;
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

// A display chain for one path: the operations, the memory sources and the
// parameter arrays they point to, released together.
class Chain {
public:
    // Builds the chain showing path `names` (after the display name) in dst.
    // sources: as many as the shape takes; values: constants or set values,
    // already one per band (at most 4). Null (with *error) on failure.
    static std::unique_ptr<Chain> make(const std::vector<std::string> &names, ZorImage *dst,
                                       const std::vector<const Pixels *> &sources,
                                       const std::vector<double> &values, std::string *error);
    ~Chain();
    Chain(const Chain &) = delete;
    Chain &operator=(const Chain &) = delete;

    ZorDispatchResult run() const { return ZorDispatch(display_); }

private:
    Chain() = default;
    ZorOp *display_ = nullptr;
    std::vector<ZorOp *> ops_;
    std::vector<ZorImage *> images_;
    float floats_[4] = {0, 0, 0, 0};
    std::int32_t ints_[4] = {0, 0, 0, 0};
};

// The full path name ("display_ioQORVwren/add8") of names after the display name.
std::string full_path(const std::vector<std::string> &names);

// The part of a window's image that the tool draws into: the whole image of
// an 8-bit window, samples 1-3 (red, green, blue) of a 24-bit one. The child
// is the caller's to destroy.
ZorImage *drawing_image(wca::Screen &screen, int window, int x, int y, int w, int h);

// Register names for traces ("raster_mode"), or "" for an unknown offset.
const char *register_name(std::uint32_t offset);

}  // namespace tool
