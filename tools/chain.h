// Operation chains built from the device's path table: what a row's
// operations take (read from its parameter description), the options that
// give those parameters, and the chain of host operations that shows the
// path in a window.
//
// Nothing here knows a particular path: every fact comes from the row, so a
// new row in the device's table is run, listed and demonstrated as it is.
#pragma once

#include "zor_dispatch.h"
#include "../frame/wren_paths.h"

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tool {

// A byte image in memory owned by the tool: samples interleaved, rows packed.
struct Pixels {
    int w = 0, h = 0, bands = 0;
    std::vector<std::uint8_t> v;
    Pixels() = default;
    Pixels(int w_, int h_, int bands_) : w(w_), h(h_), bands(bands_), v(std::size_t(w_) * h_ * bands_) {}
    std::uint8_t &at(int x, int y, int k) { return v[(std::size_t(y) * w + x) * bands + k]; }
    std::uint8_t at(int x, int y, int k) const { return v[(std::size_t(y) * w + x) * bands + k]; }
};

// One item of a row's parameter description, "src1" or "ptr1:floats:const".
struct ParamItem {
    enum class Slot { src, ptr, obj, long_, float_ };
    int op = 0;          // the operation it belongs to: 0 is the one the display shows
    Slot slot = Slot::src;
    int index = 0;       // the slot's number: 2 for "src2" or "ptr2"
    std::string kind;    // "floats", "lookup", ...; for a source "" (bytes) or "shorts"
    std::string option;  // the option that gives it ("const", "low"); "" for a source
};

// The items of every operation of the row, in operation order. False, with
// *error, when an item cannot be read.
bool param_items(const WrenPath &row, std::vector<ParamItem> *out, std::string *error);

// The path table of a loaded plug-in; empty when it exports none.
std::span<const WrenPath> path_table(const ZorPlugin &plugin);

// "threshold8/rescale8": the row's names below the display operation.
std::string path_name(const WrenPath &row);
// "display_ioQORVwren/threshold8/rescale8".
std::string full_path(const WrenPath &row);
// The row of that name (path_name, or the full path), or null.
const WrenPath *find_path(std::span<const WrenPath> rows, const std::string &name);

// "draws", "not built" or "worker".
const char *state_word(int state);
// Source images the row's last operation reads.
int images_of(const WrenPath &row);
// The parameter options of the row in order of first use, with how many
// operations take each.
std::vector<std::pair<std::string, int>> options_of(const WrenPath &row);
// The first parameter kind of the row the tool cannot build, or "".
std::string unbuildable_kind(const WrenPath &row);
// What the row takes, in words: "1 image, low (2x), high (2x), scale". Bare
// options take numbers, one or one per band; marks say otherwise:
// "(integers)", "(6 numbers)", "(1 number)", "(1 integer)", "(2x)" for once
// per operation that uses it; "*" for a kind the tool cannot build yet.
std::string takes(const WrenPath &row);
// How a user gives an option: "--const", "--low", "--scale" (xscale and the
// rescale's scale), "--filter", ...; "--param NAME" for an option wren run has
// no flag for. Angles are in degrees.
std::string option_flag(const std::string &option);

// Values given for each option: one list per use, in the order the chain's
// operations take them (display side first).
using ParamValues = std::map<std::string, std::vector<std::vector<double>>>;

// A display chain for one row: the operations, the memory images and the
// parameter arrays they point to, released together.
class Chain {
public:
    // Builds the chain showing row in dst. The display shows the first
    // operation, whose op1 is the second, and so on; the last operation reads
    // sources (as many as images_of(row)). An inner operation that reads an
    // image reads the result of the operation below it. Parameter arrays hold
    // one value per band (of the first source, or of dst without sources;
    // one value is used for every band) and at least four values. Set values
    // make a result of dst's size with one band per value. Null, with one line
    // in *error, when the row or the values do not allow a chain.
    static std::unique_ptr<Chain> make(const WrenPath &row, ZorImage *dst, const std::vector<const Pixels *> &sources,
                                       const ParamValues &values, std::string *error);
    ~Chain();
    Chain(const Chain &) = delete;
    Chain &operator=(const Chain &) = delete;

    ZorOp *display() const { return display_; }
    // Source image i of the chain's last operation, or null.
    ZorImage *source(std::size_t i) const;
    ZorDispatchResult run() const { return ZorDispatch(display_); }

private:
    Chain() = default;
    ZorOp *display_ = nullptr;
    std::vector<ZorOp *> ops_;
    std::vector<ZorImage *> images_;  // the sources first
    std::size_t nsources_ = 0;
    std::vector<ZorObject *> objects_;
    std::vector<std::unique_ptr<float[]>> floats_;
    std::vector<std::unique_ptr<std::int32_t[]>> ints_;
};

// The values of an interpolation-table parameter for a named filter: taps,
// subsamples (64) and the weights, normalised per phase: "lanczos2",
// "lanczos3", "lanczos4", "box", "linear", "cubic" (Catmull-Rom), or
// "file:PATH" with the numbers themselves separated by white space. False
// with *error.
bool filter_values(const std::string &text, std::vector<double> *out, std::string *error);

}  // namespace tool
