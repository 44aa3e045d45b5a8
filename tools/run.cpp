// wren run: one registered path on the user's PNG images, into a window of a
// chosen size and depth, optionally partly covered by other windows. What the
// path takes comes from the device's path table.
#include "conv_kernels.h"
#include "session.h"

#include "snapshot.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cctype>
#include <fstream>
#include <iterator>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

namespace {


// A comma-separated list of numbers. False with *error naming the option.
bool parse_numbers(const std::string &text, const std::string &option, std::vector<double> *out, std::string *error) {
    out->clear();
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        errno = 0;
        char *end = nullptr;
        const double v = std::strtod(item.c_str(), &end);
        if (item.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v)) {
            *error = option + ": '" + item + "' is not a number";
            return false;
        }
        out->push_back(v);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

// count integers separated by sep, each within [lo, hi]; out_of_range, when
// given, is the whole message for one that is not.
bool parse_ints(const std::string &text, const char *option, std::size_t count, char sep, long lo, long hi,
                std::vector<long> *out, std::string *error, const std::string &out_of_range = "") {
    out->clear();
    std::size_t start = 0;
    while (true) {
        const std::size_t at = text.find(sep, start);
        const std::string item = text.substr(start, at == std::string::npos ? std::string::npos : at - start);
        errno = 0;
        char *end = nullptr;
        const long v = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0') {
            *error = std::string(option) + ": '" + item + "' is not an integer";
            return false;
        }
        if (errno == ERANGE || v < lo || v > hi) {
            *error = !out_of_range.empty() ? out_of_range
                                           : std::string(option) + ": " + item + " is not within " +
                                                 std::to_string(lo) + " to " + std::to_string(hi);
            return false;
        }
        out->push_back(v);
        if (at == std::string::npos) break;
        start = at + 1;
    }
    if (out->size() != count) {
        *error = std::string(option) + ": '" + text + "' needs " + std::to_string(count) + " numbers";
        return false;
    }
    return true;
}

// Whether a file can be written at path, found before anything runs: an
// existing file is opened for writing without truncating it; an absent one
// is made and removed again.
bool writable(const std::string &path, std::string *error) {
    if (path.empty()) {
        *error = "-o: the file name is empty";
        return false;
    }
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        *error = "-o: '" + path + "' is a directory";
        return false;
    }
    const bool existed = std::filesystem::exists(path, ec);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | (existed ? 0 : O_CREAT | O_EXCL), 0644);
    if (fd < 0) {
        *error = "-o: cannot write '" + path + "': " + std::strerror(errno);
        return false;
    }
    ::close(fd);
    if (!existed) ::unlink(path.c_str());
    return true;
}

// A lookup table from what a person writes: "invert", "gamma:G",
// "posterise:N", "threshold:T" (256 entries), "file:PATH" (numbers 0..255
// separated by commas or white space) or the numbers themselves (1 to 256 of
// them: inputs past the end take the last entry).
bool parse_lut(const std::string &text, std::vector<double> *out, std::string *error) {
    out->assign(256, 0.0);
    const std::size_t colon = text.find(':');
    const std::string name = text.substr(0, colon), arg = colon == std::string::npos ? "" : text.substr(colon + 1);
    char *end = nullptr;
    const double a = arg.empty() ? 0.0 : std::strtod(arg.c_str(), &end);
    const bool number = !arg.empty() && end && *end == '\0' && std::isfinite(a);
    const auto refuse = [&](const char *why) {
        *error = "--lut: '" + text + "': " + why;
        return false;
    };
    if (name == "invert" && arg.empty()) {
        for (int i = 0; i < 256; ++i) (*out)[i] = 255 - i;
    } else if (name == "gamma") {
        if (!number || a <= 0) return refuse("G is the gamma, a number above 0 (2.2 brightens, 0.5 darkens)");
        for (int i = 0; i < 256; ++i) (*out)[i] = std::round(255.0 * std::pow(i / 255.0, 1.0 / a));
    } else if (name == "posterise") {
        if (!number || a < 2 || a > 256 || a != std::floor(a))
            return refuse("N is the number of levels, an integer 2 to 256");
        for (int i = 0; i < 256; ++i) (*out)[i] = std::floor(i * a / 256.0) * 255.0 / (a - 1);
        for (double &v : *out) v = std::round(v);
    } else if (name == "threshold") {
        if (!number || a < 0 || a > 256) return refuse("T is a number 0 to 256 (inputs from T on become 255, the rest 0)");
        for (int i = 0; i < 256; ++i) (*out)[i] = i >= a ? 255 : 0;
    } else if (name == "file" && !arg.empty()) {
        std::ifstream in(arg);
        if (!in) {
            *error = "--lut: cannot open '" + arg + "'";
            return false;
        }
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (char &ch : text)
            if (std::isspace(static_cast<unsigned char>(ch))) ch = ',';
        while (!text.empty() && text.back() == ',') text.pop_back();
        std::size_t first = text.find_first_not_of(',');
        return parse_numbers(first == std::string::npos ? "" : text.substr(first), "--lut " + arg, out, error);
    } else if (!text.empty() && (std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-')) {
        return parse_numbers(text, "--lut", out, error);
    } else {
        *error = "--lut: '" + text + "' is not invert, gamma:G, posterise:N, threshold:T, file:PATH or numbers";
        return false;
    }
    return true;
}

// --bands: 3 repeats a grey image into three bands; 1 makes a colour image
// grey (luma 0.299 R + 0.587 G + 0.114 B, rounded).
tool::Pixels with_bands(const tool::Pixels &p, int bands) {
    if (p.bands == bands) return p;
    tool::Pixels q(p.w, p.h, bands);
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) {
            const int v = p.bands == 1 ? p.at(x, y, 0)
                                       : (299 * p.at(x, y, 0) + 587 * p.at(x, y, 1) + 114 * p.at(x, y, 2) + 500) / 1000;
            for (int k = 0; k < bands; ++k) q.at(x, y, k) = static_cast<std::uint8_t>(v);
        }
    return q;
}

// Images whose band count differs from the window's (one band for 8-bit,
// three for 24-bit): what happened, or what to do when the device declined.
// "" when the bands agree.
std::string band_advice(const std::vector<tool::Pixels> &images, int depth, bool declined) {
    const int wb = depth == 8 ? 1 : 3;
    bool grey = false, colour = false;
    for (const tool::Pixels &p : images) (p.bands == 1 ? grey : colour) = true;
    if (grey && colour)
        return declined ? "the images have 1 and 3 bands: --bands 1 or --bands 3 gives them the same" : "";
    if (!(grey ? wb != 1 : colour ? wb != 3 : false)) return "";
    if (!declined)
        return grey ? "the grey image went into the window's red band only (an image's bands go to red, green and "
                      "blue in turn): --bands 3 repeats it into all three, so that grey shows as grey"
                    : "";
    return grey ? "the image has 1 band, the 24-bit window 3: draw it into an 8-bit window (--depth 8) or repeat "
                  "it into red, green and blue (--bands 3)"
                : "the image has 3 bands, the 8-bit window 1: draw it into a 24-bit window (--depth 24) or make "
                  "it grey (--bands 1)";
}

// --background: a value per band (one for every band, or one per band) or a
// PNG placed at the window's top-left corner.
struct Background {
    std::vector<double> value;
    std::optional<tool::Pixels> image;
};

bool parse_background(const std::string &text, Background *bg, std::string *error) {
    if (parse_numbers(text, "--background", &bg->value, error)) {
        for (double v : bg->value)
            if (!(v >= 0 && v <= 255)) {
                *error = "--background: " + text + " is not a byte value 0..255 (one, or one per band)";
                return false;
            }
        return true;
    }
    bg->value.clear();
    bg->image = tool::read_png(text, error);
    if (!bg->image) *error = "--background: " + *error;
    return bg->image.has_value();
}

// Writes the background into the window's frame buffer, before anything runs.
bool fill_background(wca::Screen &screen, int id, const Background &bg, std::string *error) {
    const wca::Window *win = screen.window(id);
    const int bands = win->depth() == 8 ? 1 : 3, px = win->pixelBytes(), lb = win->lineBytes();
    if (bg.value.size() > 1 && static_cast<int>(bg.value.size()) != bands) {
        *error = "--background: " + std::to_string(bg.value.size()) + " values given for the " +
                 std::to_string(win->depth()) + "-bit window's " + std::to_string(bands) +
                 " band(s): give one, or one per band";
        return false;
    }
    const std::optional<tool::Pixels> image = bg.image ? std::optional(with_bands(*bg.image, bands)) : std::nullopt;
    const int w = std::min(win->width(), screen.width() - win->x()), h = std::min(win->height(), screen.height() - win->y());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (image && (x >= image->w || y >= image->h)) continue;
            std::uint8_t *at = win->frameBuffer() + static_cast<std::size_t>(win->y() + y) * lb +
                               static_cast<std::size_t>(win->x() + x) * px + (px == 4 ? 1 : 0);
            for (int k = 0; k < bands; ++k)
                at[k] = image ? image->at(x, y, k)
                              : static_cast<std::uint8_t>(std::lrint(bg.value[std::min<std::size_t>(k, bg.value.size() - 1)]));
        }
    return true;
}

// The plug-in's own trace (one line per driver call) is on: the same rule
// as the plug-in's, a non-empty WREN_TRACE other than "0".
bool device_traces() {
    const char *v = std::getenv("WREN_TRACE");
    return v && *v && std::strcmp(v, "0") != 0;
}

int fail(const std::string &msg) {
    std::fflush(stdout);  // what was printed before comes before the error
    std::fprintf(stderr, "wren: %s\n", msg.c_str());
    return 1;
}

// --scale, --offset and --clamp of "rescale8" and "rescale16", and --low,
// --high and --map of thresholds, as parameter values. A clamp (and every
// 16-bit rescale) runs as the chain of two thresholds above the rescale, the
// top clamp first; *path becomes that chain's.
bool rescale_options(const RunOptions &ro, std::string *path, tool::ParamValues *values, std::string *error) {
    const std::pair<const char *, const std::string *> per_band[] = {
        {"low", &ro.low}, {"high", &ro.high}, {"map", &ro.map}};
    std::vector<double> v;
    for (const auto &[name, text] : per_band) {
        if (text->empty()) continue;
        if (!parse_numbers(*text, std::string("--") + name, &v, error)) return false;
        (*values)[name].push_back(v);
    }
    if (ro.scale.empty() && ro.offset.empty() && ro.clamp.empty()) return true;
    const bool wide = *path == "rescale16";
    if (*path != "rescale8" && !wide) {
        // --scale alone is the scaling paths' factors.
        if (ro.offset.empty() && ro.clamp.empty()) return true;
        *error = "--offset and --clamp go with rescale8 or rescale16, not " + *path;
        return false;
    }
    if (ro.scale.empty() || ro.offset.empty()) {
        *error = *path + " needs both --scale and --offset";
        return false;
    }
    for (const auto &[name, text] : {std::pair{"scale", &ro.scale}, std::pair{"offset", &ro.offset}}) {
        if (!parse_numbers(*text, std::string("--") + name, &v, error)) return false;
        if (v.size() != 1) {
            *error = std::string("--") + name + ": one number, not " + std::to_string(v.size());
            return false;
        }
        (*values)[name].push_back(v);
    }
    std::vector<double> c = {0, 255};
    if (!ro.clamp.empty()) {
        if (!parse_numbers(ro.clamp, "--clamp", &c, error)) return false;
        if (c.size() != 2 || c[0] > c[1] || c[0] < 0 || c[1] > 255) {
            *error = "--clamp: '" + ro.clamp + "' is not LO,HI with 0 <= LO <= HI <= 255";
            return false;
        }
    } else if (!wide) {
        return true;
    }
    if (values->count("low") || values->count("high") || values->count("map")) {
        *error = "--clamp makes the thresholds: give it or --low/--high/--map, not both";
        return false;
    }
    (*values)["low"] = {{c[1]}, {wide ? -32768.0 : 0.0}};
    (*values)["high"] = {{wide ? 32767.0 : 255.0}, {c[0]}};
    (*values)["map"] = {{c[1]}, {c[0]}};
    *path = wide ? "convert16_8/threshold16/threshold16/rescale16" : "threshold8/threshold8/rescale8";
    return true;
}

}  // namespace

int run_path(const ToolOptions &options, const RunOptions &ro) {
    std::string error;
    // Outputs and options first, so that nothing runs before a mistake in them shows.
    if (ro.output_given && !writable(ro.output, &error)) return fail(error);
    tool::ParamValues values;
    std::vector<double> numbers;
    if (!ro.constants.empty()) {
        if (!parse_numbers(ro.constants, "--const", &numbers, &error)) return fail(error);
        values["const"].push_back(numbers);
    }
    if (!ro.values.empty()) {
        if (!parse_numbers(ro.values, "--value", &numbers, &error)) return fail(error);
        values["value"].push_back(numbers);
    }
    // Notes on what the tool did that a user may not expect, printed once the
    // path has computed.
    std::vector<std::string> notes;
    for (const std::string &l : ro.luts) {
        if (!parse_lut(l, &numbers, &error)) return fail(error);
        if (numbers.size() < 256)
            notes.push_back("--lut " + l + " has " + std::to_string(numbers.size()) + " entries: inputs " +
                            std::to_string(numbers.size()) + " to 255 take the last one");
        values["lut"].push_back(numbers);
    }
    // Words for the flip type and the zoom factors.
    if (!ro.flip.empty()) values["flip"].push_back({ro.flip == "vertical" ? 0.0 : ro.flip == "horizontal" ? 1.0 : 5.0});
    if (ro.zoom) {
        values["xscale"].push_back({static_cast<double>(ro.zoom)});
        values["yscale"].push_back({static_cast<double>(ro.zoom)});
    }
    std::string path = ro.path;
    if (!rescale_options(ro, &path, &values, &error)) return fail(error);
    if (!ro.matrix.empty()) {
        if (!parse_numbers(ro.matrix, "--matrix", &numbers, &error)) return fail(error);
        values["matrix"].push_back(numbers);
    }
    if (!ro.angle.empty()) {
        if (!parse_numbers(ro.angle, "--angle", &numbers, &error)) return fail(error);
        values["angle"].push_back(numbers);
    }
    // Origins of the first image and of the window image, X,Y.
    std::vector<double> origin[2];
    const std::string *origin_text[2] = {&ro.origin, &ro.window_origin};
    const char *origin_flag[2] = {"--origin", "--window-origin"};
    for (int i = 0; i < 2; ++i) {
        if (origin_text[i]->empty()) continue;
        if (!parse_numbers(*origin_text[i], origin_flag[i], &origin[i], &error)) return fail(error);
        if (origin[i].size() != 2 || std::fabs(origin[i][0]) > 16777216 || std::fabs(origin[i][1]) > 16777216)
            return fail(std::string(origin_flag[i]) + ": '" + *origin_text[i] + "' is not X,Y within +-2^24");
    }
    for (const std::string &k : ro.kernels) {
        if (!tool::parse_kernel(k, &numbers, &error)) return fail(error);
        values["kernel"].push_back(numbers);
    }
    if (!ro.edge.empty()) {
        double e = 0;
        if (!tool::parse_edge(ro.edge, &e, &error)) return fail(error);
        values["edge"].push_back({e});
    }
    for (const std::string &p : ro.params) {
        const std::size_t eq = p.find('=');
        if (eq == std::string::npos || eq == 0)
            return fail("--param: '" + p + "' is not NAME=v1,v2,... (wren paths lists each path's parameters)");
        const std::string name = p.substr(0, eq);
        if (!parse_numbers(p.substr(eq + 1), "--param " + name, &numbers, &error)) return fail(error);
        values[name].push_back(numbers);
    }

    // Scaling: --scale SX[,SY] for xscale and yscale, --filter for both
    // interpolation tables.
    if (!ro.scale.empty() && ro.path != "rescale8" && ro.path != "rescale16") {
        if (!parse_numbers(ro.scale, "--scale", &numbers, &error)) return fail(error);
        if (numbers.size() > 2) return fail("--scale: '" + ro.scale + "' is not SX or SX,SY");
        values["xscale"].push_back({numbers[0]});
        values["yscale"].push_back({numbers.back()});
    }
    if (!ro.filter.empty()) {
        if (!tool::filter_values(ro.filter, &numbers, &error)) return fail(error);
        values["xfilter"].push_back(numbers);
        values["yfilter"].push_back(numbers);
    }
    std::vector<double> shift;
    if (!ro.translate.empty()) {
        if (!parse_numbers(ro.translate, "--translate", &shift, &error)) return fail(error);
        if (shift.size() != 2) return fail("--translate: '" + ro.translate + "' is not TX,TY");
        if (ro.images.empty()) return fail("--translate moves a source image; none is given");
    }
    Background background;
    if (!ro.background.empty() && !parse_background(ro.background, &background, &error)) return fail(error);
    // Images next: they fix the default window size and depth.
    std::vector<tool::Pixels> images;
    for (const std::string &file : ro.images) {
        auto p = tool::read_png(file, &error);
        if (!p) return fail(error);
        images.push_back(ro.bands ? with_bands(*p, ro.bands) : std::move(*p));
    }
    const int depth = ro.depth ? ro.depth : !images.empty() && images[0].bands == 3 ? 24 : 8;
    // Images of different sizes: the path computes where they all have pixels.
    int common_w = images.empty() ? 0 : images[0].w, common_h = images.empty() ? 0 : images[0].h;
    for (const tool::Pixels &p : images) common_w = std::min(common_w, p.w), common_h = std::min(common_h, p.h);
    const bool cut = std::any_of(images.begin(), images.end(),
                                 [&](const tool::Pixels &p) { return p.w != common_w || p.h != common_h; });
    if (cut) {
        std::string sizes;
        for (std::size_t i = 0; i < images.size(); ++i)
            sizes += (i ? " and " : "") + ro.images[i] + " " + std::to_string(images[i].w) + "x" +
                     std::to_string(images[i].h);
        notes.push_back("the images differ in size (" + sizes + "): computed on their common part, " +
                        std::to_string(common_w) + "x" + std::to_string(common_h) + " at the top left");
    }
    const std::string largest =
        std::to_string(wca::Screen::kMaxWidth) + "x" + std::to_string(wca::Screen::kMaxHeight);
    long ww = 256, wh = 256;
    if (!ro.window.empty()) {
        std::vector<long> wxh;
        const std::string range = "--window: " + ro.window + " is not within 1x1 to " + largest;
        if (!parse_ints(ro.window, "--window", 2, 'x', 1, std::max(wca::Screen::kMaxWidth, wca::Screen::kMaxHeight),
                        &wxh, &error, range))
            return fail(error);
        ww = wxh[0];
        wh = wxh[1];
        if (ww > wca::Screen::kMaxWidth || wh > wca::Screen::kMaxHeight) return fail(range);
    } else if (!images.empty()) {
        // The images' common part; scaled (and moved by --translate) for a
        // path with scale factors, so that the window holds the whole picture.
        double w = common_w, h = common_h;
        const auto factor = [&](const char *name) {
            const auto it = values.find(name);
            return it != values.end() && !it->second.empty() && it->second[0].size() == 1 ? it->second[0][0] : 0.0;
        };
        const double sx = factor("xscale"), sy = factor("yscale");
        const bool scaled = sx > 0 && sy > 0 && std::isfinite(sx) && std::isfinite(sy);
        if (scaled) {
            w = std::max(1.0, std::ceil(w * sx - 0.5) + (shift.empty() ? 0.0 : shift[0]));
            h = std::max(1.0, std::ceil(h * sy - 0.5) + (shift.empty() ? 0.0 : shift[1]));
        }
        if (w > wca::Screen::kMaxWidth || h > wca::Screen::kMaxHeight) {
            char size[64];
            std::snprintf(size, sizeof size, "%.0fx%.0f", w, h);
            return fail(std::string(scaled ? "the scaled picture is " : cut ? "the images' common part is " : "the first image is ") +
                        size + ", larger than a window can be (" + largest + "): give --window");
        }
        ww = static_cast<long>(w);
        wh = static_cast<long>(h);
    }
    std::vector<std::vector<long>> covers;
    for (const std::string &c : ro.covers) {
        std::vector<long> r;
        if (!parse_ints(c, "--cover", 4, ',', -32768, 32767, &r, &error)) return fail(error);
        if (r[2] < 1 || r[3] < 1) return fail("--cover: '" + c + "' has an empty size");
        if (r[0] >= ww || r[1] >= wh || r[0] + r[2] <= 0 || r[1] + r[3] <= 0)
            return fail("--cover: '" + c + "' lies wholly outside the " + std::to_string(ww) + "x" +
                        std::to_string(wh) + " window, so it covers nothing");
        covers.push_back(r);
    }

    auto dev_options = wsim::MachineOptions{};
    dev_options.width = static_cast<int>(ww);
    dev_options.height = static_cast<int>(wh);
    auto dev = tool::Device::open(options, dev_options);
    if (!dev) return 1;

    // Two kernels for convolve8: the separable chain, the first given (the
    // display side) applied last.
    if (path == "convolve8" && ro.kernels.size() == 2) path = "convolve8/convolve8";
    const WrenPath *row = tool::find_path(dev->paths(), path);
    if (!row) return fail("unknown path '" + path + "' (wren paths lists them)");
    // One edge mode (no write when not given) serves every operation that takes one.
    for (const auto &[option, uses] : tool::options_of(*row)) {
        if (option != "edge") continue;
        std::vector<std::vector<double>> &e = values["edge"];
        if (e.empty()) e.push_back({0});
        if (e.size() == 1) e.resize(static_cast<std::size_t>(uses), e[0]);
    }
    const std::string name = tool::path_name(*row);
    const std::string kind = tool::unbuildable_kind(*row);
    if (!kind.empty())
        return fail("the tool cannot build " + kind + " parameters yet (" + name + " takes " + tool::takes(*row) +
                    (row->state == WREN_PATH_NOT_BUILT ? "; its driver is not built yet either)" : ")"));

    wca::Screen &screen = dev->screen();
    const int id = screen.createWindow(depth, 0, 0, static_cast<int>(ww), static_cast<int>(wh));
    if (!id) return fail("cannot make the window: " + screen.lastError());
    if ((!background.value.empty() || background.image) && !fill_background(screen, id, background, &error))
        return fail(error);
    // Covering windows are of the other depth, so the covered part of the
    // window's frame buffer keeps its background.
    for (const auto &c : covers)
        if (!screen.createWindow(depth == 8 ? 24 : 8, static_cast<int>(c[0]), static_cast<int>(c[1]),
                                 static_cast<int>(c[2]), static_cast<int>(c[3])))
            return fail("cannot make the covering window: " + screen.lastError());

    ZorHandle<ZorImage> dst(tool::drawing_image(screen, id, 0, 0, static_cast<int>(ww), static_cast<int>(wh)));
    if (!dst) return fail("cannot make the window's image");
    std::vector<const tool::Pixels *> ptrs;
    for (const tool::Pixels &p : images) ptrs.push_back(&p);
    auto chain = tool::Chain::make(*row, dst.get(), ptrs, values, &error);
    if (!chain) return fail(error);
    if (!origin[0].empty()) {
        if (!chain->source(0)) return fail(name + " takes no image, so --origin has nothing to place");
        chain->source(0)->setOrigin(static_cast<float>(origin[0][0]), static_cast<float>(origin[0][1]));
    }
    if (!origin[1].empty()) dst->setOrigin(static_cast<float>(origin[1][0]), static_cast<float>(origin[1][1]));
    if (cut) {
        // Every source's region of interest is the images' common part.
        ZorHandle<ZorRoi> common(ZorRoi::create(0, 0, common_w, common_h));
        for (std::size_t i = 0; i < images.size(); ++i)
            if (!common || !chain->source(i) || chain->source(i)->setRoi(common.get()) != ZOR_SUCCESS)
                return fail("cannot set the images' common part as their region");
    }
    if (!shift.empty()) {
        // The (scaled) source's first pixel lands at window pixel (TX, TY):
        // its origin is -T divided by the path's factors.
        auto factor = [&](const char *name) {
            const auto it = values.find(name);
            return it != values.end() && !it->second.empty() && !it->second[0].empty() ? it->second[0][0] : 1.0;
        };
        const double ox = -shift[0] / factor("xscale"), oy = -shift[1] / factor("yscale");
        if (!chain->source(0) || chain->source(0)->setOrigin(static_cast<float>(ox), static_cast<float>(oy)) != ZOR_SUCCESS)
            return fail("--translate: " + ro.translate + " moves the source too far");
    }

    dev->machine().accel().clearTrace();
    const ZorDispatchResult r = chain->run();
    const auto o = dev->outcome_for(tool::full_path(*row));
    if (ro.trace) {
        const auto &accesses = dev->machine().accel().trace();
        for (const wsim::RegAccess &a : accesses)
            std::printf("%-5s 0x%07x %-16s 0x%08x\n", a.store ? "store" : "load", a.offset,
                        tool::register_name(a.offset), a.value);
        std::printf("%zu register access(es) in the call\n", accesses.size());
    }
    // With the device's trace on, its line already gave the driver, the
    // rectangles, the kernels and the time, or the decline's reason: only
    // what it does not say is printed here.
    const bool traced = device_traces() && o;
    if (r.status != ZOR_SUCCESS) {
        // A layout the driver does not take, from images and a window of different bands: what to do.
        const std::string advice =
            o && (o->reason == WREN_LAYOUT || o->reason == WREN_BAND_MASK) ? band_advice(images, depth, true) : "";
        const std::string tail = advice.empty() ? "" : "; " + advice;
        if (traced) return fail(name + ": declined by the device (the trace line above says why)" + tail);
        if (o)
            return fail(name + ": declined by " + o->driver + " (" + dev->reason_name(o->reason) + "): " + o->message +
                        tail);
        return fail(name + ": declined: " + (r.count ? "the driver left no outcome" : "the host matched no path"));
    }
    const auto &faults = dev->machine().accel().faults();
    if (!faults.empty()) return fail("the accelerator saw a fault: " + faults.front());
    if (!traced) {
        if (o)
            std::printf("%s: computed by %s, %d rectangle(s), %ld us\n", name.c_str(), o->driver, o->rects, o->usec);
        else
            std::printf("%s: computed by %s\n", name.c_str(), row->member);
    }
    if (const std::string advice = band_advice(images, depth, false); !advice.empty()) notes.push_back(advice);
    std::fflush(stdout);
    for (const std::string &n : notes) std::fprintf(stderr, "wren: note: %s\n", n.c_str());
    if (ro.output_given) {
        if (!wsim::snapshotWindow(screen, id, ro.output, &error)) return fail("cannot write " + ro.output + ": " + error);
        std::printf("wrote %s (%ldx%ld, %d-bit window)\n", ro.output.c_str(), ww, wh, depth);
    }
    return 0;
}
