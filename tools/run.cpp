// wren run: one registered path on the user's PNG images, into a window of a
// chosen size and depth, optionally partly covered by other windows.
#include "session.h"

#include "snapshot.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

struct RunOptions {
    std::string path;
    std::vector<std::string> images;
    std::string constants, values, window, output;
    std::vector<std::string> covers;
    int depth = 8;
    bool trace = false;
};

// A comma-separated list of numbers; integers only when integral. False with
// *error naming the option on a bad list.
bool parse_numbers(const std::string &text, const char *option, bool integral, std::vector<double> *out,
                   std::string *error) {
    out->clear();
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        errno = 0;
        char *end = nullptr;
        const double v = std::strtod(item.c_str(), &end);
        if (item.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v)) {
            *error = std::string(option) + ": '" + item + "' is not a number";
            return false;
        }
        if (integral && (v != std::floor(v) || v < std::numeric_limits<std::int32_t>::min() ||
                         v > std::numeric_limits<std::int32_t>::max())) {
            *error = std::string(option) + ": '" + item + "' is not a 32-bit integer";
            return false;
        }
        out->push_back(v);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

bool parse_ints(const std::string &text, const char *option, std::size_t count, char sep, std::vector<long> *out,
                std::string *error) {
    out->clear();
    std::size_t start = 0;
    while (true) {
        const std::size_t at = text.find(sep, start);
        const std::string item = text.substr(start, at == std::string::npos ? std::string::npos : at - start);
        errno = 0;
        char *end = nullptr;
        const long v = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || errno == ERANGE || v < -32768 || v > 32767) {
            *error = std::string(option) + ": '" + item + "' is not a coordinate";
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

// One value per band the destination selects: a single value is used for
// every band; otherwise the count must match.
bool per_band(std::vector<double> &v, int bands, const char *option, std::string *error) {
    if (v.size() == 1) v.resize(static_cast<std::size_t>(bands), v[0]);
    if (static_cast<int>(v.size()) != bands) {
        *error = std::string(option) + ": " + std::to_string(v.size()) + " values given for " +
                 std::to_string(bands) + " band(s)";
        return false;
    }
    return true;
}

int fail(const std::string &msg) {
    std::fprintf(stderr, "wren: %s\n", msg.c_str());
    return 1;
}

int run_path(const ToolOptions &options, const RunOptions &ro) {
    std::string error;
    std::string name = ro.path;
    const std::string prefix = std::string(ZOR_DISPLAY_IO_WREN) + "/";
    if (name.rfind(prefix, 0) == 0) name.erase(0, prefix.size());

    // Images first: they fix the default window size.
    std::vector<tool::Pixels> images;
    for (const std::string &file : ro.images) {
        auto p = tool::read_png(file, &error);
        if (!p) return fail(error);
        images.push_back(std::move(*p));
    }
    int ww = images.empty() ? 256 : images[0].w, wh = images.empty() ? 256 : images[0].h;
    if (!ro.window.empty()) {
        std::vector<long> wxh;
        if (!parse_ints(ro.window, "--window", 2, 'x', &wxh, &error)) return fail(error);
        ww = static_cast<int>(wxh[0]);
        wh = static_cast<int>(wxh[1]);
    }
    if (ww < 1 || wh < 1 || ww > wca::Screen::kMaxWidth || wh > wca::Screen::kMaxHeight)
        return fail("--window: " + std::to_string(ww) + "x" + std::to_string(wh) + " is not within 1x1 to " +
                    std::to_string(wca::Screen::kMaxWidth) + "x" + std::to_string(wca::Screen::kMaxHeight));
    std::vector<std::vector<long>> covers;
    for (const std::string &c : ro.covers) {
        std::vector<long> r;
        if (!parse_ints(c, "--cover", 4, ',', &r, &error)) return fail(error);
        if (r[2] < 1 || r[3] < 1) return fail("--cover: '" + c + "' has an empty size");
        covers.push_back(r);
    }

    auto dev_options = wsim::MachineOptions{};
    dev_options.width = ww;
    dev_options.height = wh;
    auto dev = tool::Device::open(options, dev_options);
    if (!dev) return 1;

    // The path, as registered.
    const ZorRegisteredPath *found = nullptr;
    const auto paths = ZorListPaths(dev->plugin().device());
    for (const ZorRegisteredPath &p : paths) {
        std::string s;
        for (std::size_t i = 1; i < p.names.size(); ++i) s += (i > 1 ? "/" : "") + p.names[i];
        if (s == name) found = &p;
    }
    if (!found) return fail("unknown path '" + ro.path + "' (wren paths lists them)");
    const std::vector<std::string> names(found->names.begin() + 1, found->names.end());
    const std::string full = tool::full_path(names);
    if (dev->pending(found->memberName))
        return fail(full + ": declined: " + found->memberName + " is not built yet");
    const tool::Shape shape = tool::shape_of(names);
    if (shape == tool::Shape::unsupported) return fail("run cannot build the parameters of " + full + " yet");
    if (static_cast<int>(images.size()) != tool::images_of(shape))
        return fail(full + " takes " + tool::takes(shape) + ", " + std::to_string(images.size()) + " image(s) given");

    const int bands = ro.depth == 8 ? 1 : 3;
    std::vector<double> values;
    const bool wants_const = shape == tool::Shape::const_float || shape == tool::Shape::const_int;
    const bool wants_value = shape == tool::Shape::set_value;
    if (!ro.constants.empty() && !wants_const) return fail(full + " takes no --const");
    if (!ro.values.empty() && !wants_value) return fail(full + " takes no --value");
    if (wants_const) {
        if (ro.constants.empty()) return fail(full + " needs --const");
        if (!parse_numbers(ro.constants, "--const", shape == tool::Shape::const_int, &values, &error) ||
            !per_band(values, images[0].bands, "--const", &error))
            return fail(error);
    }
    if (wants_value) {
        if (ro.values.empty()) return fail(full + " needs --value");
        if (!parse_numbers(ro.values, "--value", false, &values, &error) ||
            !per_band(values, bands, "--value", &error))
            return fail(error);
    }

    wca::Screen &screen = dev->screen();
    const int id = screen.createWindow(ro.depth, 0, 0, ww, wh);
    if (!id) return fail("cannot make the window: " + screen.lastError());
    // Covering windows are of the other depth, so the covered part of the
    // window's frame buffer keeps its background.
    for (const auto &c : covers)
        if (!screen.createWindow(ro.depth == 8 ? 24 : 8, static_cast<int>(c[0]), static_cast<int>(c[1]),
                                 static_cast<int>(c[2]), static_cast<int>(c[3])))
            return fail("cannot make the covering window: " + screen.lastError());

    ZorHandle<ZorImage> dst(tool::drawing_image(screen, id, 0, 0, ww, wh));
    if (!dst) return fail("cannot make the window's image");
    std::vector<const tool::Pixels *> ptrs;
    for (const tool::Pixels &p : images) ptrs.push_back(&p);
    auto chain = tool::Chain::make(names, dst.get(), ptrs, values, &error);
    if (!chain) return fail(error);

    dev->machine().accel().clearTrace();
    const ZorDispatchResult r = chain->run();
    const auto o = dev->outcome_for(full);
    if (ro.trace)
        for (const wsim::RegAccess &a : dev->machine().accel().trace())
            std::printf("%-5s 0x%07x %-16s 0x%08x\n", a.store ? "store" : "load", a.offset,
                        tool::register_name(a.offset), a.value);
    if (r.status != ZOR_SUCCESS) {
        if (o)
            return fail(full + ": declined by " + o->driver + ": " + dev->reason_name(o->reason) + ": " +
                        o->message);
        return fail(full + ": declined by " + found->memberName);
    }
    const auto &faults = dev->machine().accel().faults();
    if (!faults.empty()) return fail("the accelerator saw a fault: " + faults.front());
    if (o)
        std::printf("%s: computed by %s, %d rectangle(s), %ld us\n", full.c_str(), o->driver, o->rects, o->usec);
    else
        std::printf("%s: computed by %s\n", full.c_str(), found->memberName.c_str());
    if (!ro.output.empty() && !wsim::snapshotWindow(screen, id, ro.output, &error))
        return fail("cannot write " + ro.output + ": " + error);
    return 0;
}

}  // namespace

Verb add_run_verb(CLI::App &app, const ToolOptions &options) {
    CLI::App *cmd = app.add_subcommand(
        "run", "Run one registered path on PNG images (8-bit grey, RGB or RGBA; alpha is ignored) into a "
               "window at the screen's top-left corner and write the window as a PNG. Grey and 8-bit "
               "windows take one band, RGB and 24-bit windows three. Dyadic paths (add8, subtract8, ...) "
               "take two images, copy8 and not8 one, the constant paths one image and --const, setvalue8 "
               "only --value. Exits non-zero, saying why, when the device declines");
    auto ro = std::make_shared<RunOptions>();
    cmd->add_option("path", ro->path, "Path below display_ioQORVwren, e.g. add8 (see wren paths)")->required();
    cmd->add_option("images", ro->images, "Source PNG images, as many as the path takes");
    cmd->add_option("--const", ro->constants, "Constants, one for every band or one per band: 10 or 10,20,30");
    cmd->add_option("--value", ro->values, "Set values, one for every band or one per band: 128 or 255,0,0");
    cmd->add_option("--window", ro->window, "Window size WxH (default: the first image's size, else 256x256)");
    cmd->add_option("--depth", ro->depth, "Window depth")->check(CLI::IsMember({8, 24}))->capture_default_str();
    cmd->add_option("--cover", ro->covers, "A window x,y,w,h above the window; may be repeated")
        ->allow_extra_args(false)
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    cmd->add_option("-o,--output", ro->output, "PNG file for the window (default: none written)");
    cmd->add_flag("--trace", ro->trace, "Print the accelerator register accesses of the call");
    return {cmd, [&options, ro] { return run_path(options, *ro); }};
}
