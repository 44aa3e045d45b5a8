// The device on a simulated machine, path shapes, sources and chains.
#include "session.h"

#include "wren_regs.h"

#include <png.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>

namespace tool {

// ---- path shapes ------------------------------------------------------------

Shape shape_of(const std::vector<std::string> &names) {
    static const std::map<std::string, Shape, std::less<>> single = {
        {"add8", Shape::dyadic},           {"and8", Shape::dyadic},
        {"max8", Shape::dyadic},           {"min8", Shape::dyadic},
        {"multiply8", Shape::dyadic},      {"or8", Shape::dyadic},
        {"subtract8", Shape::dyadic},      {"xor8", Shape::dyadic},
        {"alu8", Shape::dyadic},           {"copy8", Shape::monadic},
        {"not8", Shape::monadic},          {"addconst8", Shape::const_float},
        {"subtractconst8", Shape::const_float}, {"subtractfromconst8", Shape::const_float},
        {"multiplyconst8", Shape::const_float}, {"aluconst8", Shape::const_float},
        {"andconst8", Shape::const_int},   {"orconst8", Shape::const_int},
        {"xorconst8", Shape::const_int},   {"setvalue8", Shape::set_value},
    };
    if (names.size() != 1) return Shape::unsupported;
    const auto it = single.find(names[0]);
    return it == single.end() ? Shape::unsupported : it->second;
}

int images_of(Shape s) {
    switch (s) {
    case Shape::dyadic: return 2;
    case Shape::monadic:
    case Shape::const_float:
    case Shape::const_int: return 1;
    default: return 0;
    }
}

const char *takes(Shape s) {
    switch (s) {
    case Shape::dyadic: return "two images";
    case Shape::monadic: return "one image";
    case Shape::const_float: return "one image and --const (numbers)";
    case Shape::const_int: return "one image and --const (integers)";
    case Shape::set_value: return "--value and no image";
    case Shape::unsupported: break;
    }
    return "parameters the tool cannot build yet";
}

std::string full_path(const std::vector<std::string> &names) {
    std::string s = ZOR_DISPLAY_IO_WREN;
    for (const std::string &n : names) s += "/" + n;
    return s;
}

// ---- PNG --------------------------------------------------------------------

std::optional<Pixels> read_png(const std::string &path, std::string *error) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *error = "cannot open '" + path + "': " + std::strerror(errno);
        return std::nullopt;
    }
    unsigned char sig[8] = {};
    const std::size_t got = std::fread(sig, 1, sizeof sig, f);
    if (got != sizeof sig || png_sig_cmp(sig, 0, sizeof sig) != 0) {
        std::fclose(f);
        *error = "'" + path + "' is not a PNG file";
        return std::nullopt;
    }
    std::rewind(f);
    png_image img;
    std::memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    // png_image_begin_read_from_stdio does not close the file.
    if (!png_image_begin_read_from_stdio(&img, f)) {
        *error = "cannot read '" + path + "': " + img.message;
        png_image_free(&img);
        std::fclose(f);
        return std::nullopt;
    }
    if (img.format & PNG_FORMAT_FLAG_LINEAR) {
        png_image_free(&img);
        std::fclose(f);
        *error = "'" + path + "' has 16-bit samples; only 8-bit images are read";
        return std::nullopt;
    }
    const bool colour = img.format & PNG_FORMAT_FLAG_COLOR;
    const bool alpha = img.format & PNG_FORMAT_FLAG_ALPHA;
    if (img.width > ZorImage::kMaxSide || img.height > ZorImage::kMaxSide) {
        png_image_free(&img);
        std::fclose(f);
        *error = "'" + path + "' is larger than the host's images";
        return std::nullopt;
    }
    // Read with alpha kept, so that colours are not composited, then drop it.
    img.format = colour ? (alpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB) : (alpha ? PNG_FORMAT_GA : PNG_FORMAT_GRAY);
    const int w = static_cast<int>(img.width), h = static_cast<int>(img.height);
    const int channels = static_cast<int>(PNG_IMAGE_PIXEL_CHANNELS(img.format));
    std::vector<std::uint8_t> raw(PNG_IMAGE_SIZE(img));
    const int ok = png_image_finish_read(&img, nullptr, raw.data(), 0, nullptr);
    std::fclose(f);
    if (!ok) {
        *error = "cannot read '" + path + "': " + img.message;
        png_image_free(&img);
        return std::nullopt;
    }
    Pixels p(w, h, colour ? 3 : 1);
    for (std::size_t i = 0, n = std::size_t(w) * h; i < n; ++i)
        for (int k = 0; k < p.bands; ++k) p.v[i * p.bands + k] = raw[i * channels + k];
    return p;
}

// ---- sources ----------------------------------------------------------------

Pixels gradient(int w, int h, int bands) {
    Pixels p(w, h, bands);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < bands; ++k) {
                // Band 0 runs left to right, band 1 top to bottom, band 2 diagonally.
                const int num = k % 3 == 0 ? x : k % 3 == 1 ? y : x + y;
                const int den = k % 3 == 0 ? w : k % 3 == 1 ? h : w + h;
                p.at(x, y, k) = static_cast<std::uint8_t>(num * 256 / (den > 1 ? den : 1));
            }
    return p;
}

Pixels rings(int w, int h, int bands) {
    Pixels p(w, h, bands);
    const double cx = (w - 1) / 2.0, cy = (h - 1) / 2.0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double r = std::hypot(x - cx, y - cy);
            for (int k = 0; k < bands; ++k)
                p.at(x, y, k) = static_cast<std::uint8_t>(127.5 + 127.5 * std::cos(r / 3.0 + k * 2.1));
        }
    return p;
}

Pixels checkerboard(int w, int h, int bands, int cell) {
    Pixels p(w, h, bands);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < bands; ++k)
                p.at(x, y, k) = ((x / cell + y / cell + k) & 1) ? 230 : 25;
    return p;
}

// ---- device -----------------------------------------------------------------

std::unique_ptr<Device> Device::open(const ToolOptions &options, const wsim::MachineOptions &machine) {
    std::unique_ptr<Device> d(new Device);
    d->plugin_ = load_plugin(options);
    if (!d->plugin_) return nullptr;
    auto attach = reinterpret_cast<wren_bus_attach_fn>(d->plugin_->symbol("wren_bus_attach"));
    if (!attach) {
        std::fprintf(stderr, "wren: the device has no bus hook (wren_bus_attach)\n");
        return nullptr;
    }
    d->paths_ = reinterpret_cast<wren_path_table_fn>(d->plugin_->symbol("wren_path_table"));
    d->outcome_ = reinterpret_cast<wren_last_outcome_fn>(d->plugin_->symbol("wren_last_outcome"));
    d->reason_name_ = reinterpret_cast<const char *(*)(int)>(d->plugin_->symbol("wren_reason_name"));
    d->setup_ = reinterpret_cast<decltype(d->setup_)>(d->plugin_->symbol("wren_setup"));
    d->fast_fill_ = reinterpret_cast<decltype(d->fast_fill_)>(d->plugin_->symbol("wren_fast_fill"));
    d->machine_ = std::make_unique<wsim::Machine>(machine);
    d->machine_->attach(attach);
    return d;
}

Device::~Device() { machine_.reset(); }

bool Device::pending(const std::string &member) const {
    int n = 0;
    const WrenPath *rows = paths_ ? paths_(&n) : nullptr;
    for (int i = 0; i < n; ++i)
        if (member == rows[i].member) return rows[i].state == WREN_PATH_NOT_BUILT;
    return false;
}

std::optional<wren_outcome> Device::outcome_for(const std::string &path) const {
    wren_outcome o{};
    if (!outcome_ || outcome_(&o) != 0) return std::nullopt;
    o.path[sizeof o.path - 1] = o.driver[sizeof o.driver - 1] = o.message[sizeof o.message - 1] = '\0';
    if (path != o.path) return std::nullopt;
    return o;
}

const char *Device::reason_name(int reason) const { return reason_name_ ? reason_name_(reason) : "unknown"; }

int Device::setup(int groups, unsigned long plane_mask, unsigned long raster_op) {
    if (!setup_) return ZOR_FAILURE;
    return setup_(static_cast<unsigned long *>(machine_->accel().registerBase()), groups, plane_mask, raster_op);
}

void Device::fast_fill(int method, int x, int y, int w, int h) {
    if (!fast_fill_) return;
    const wca::BoardProperties &p = screen().properties();
    int board[64];
    for (int i = 0; i < 64; ++i) board[i] = static_cast<int>(p.board[i]);
    long credit = static_cast<long>(load(wren_reg::status) & wren_val::status_free_mask);
    fast_fill_(method, p.register_base, &credit, p.stereo, p.high_resolution, board, x, y, w, h);
}

void Device::store(std::uint32_t offset, std::uint32_t value) {
    const wren_bus *bus = machine_->bus();
    bus->store(bus->ctx, machine_->accel().registerBase(), offset, value);
}

std::uint32_t Device::load(std::uint32_t offset) {
    const wren_bus *bus = machine_->bus();
    return bus->load(bus->ctx, machine_->accel().registerBase(), offset);
}

bool accel_fill(Device &dev, int depth, std::uint32_t colour, int method, int x, int y, int w, int h) {
    // Plane groups 1 select the 8-bit buffer, 7 the colour bytes of the 24-bit one.
    const bool eight = depth == 8;
    if (dev.setup(eight ? 1 : 7, eight ? 0xff : 0xffffff, wren_val::rop_copy) != 0) return false;
    dev.store(wren_reg::fill_color, eight ? colour & 0xff : colour & 0xffffff);
    dev.fast_fill(method, x, y, w, h);
    return true;
}

// ---- chains -----------------------------------------------------------------

namespace {

ZorImage *memory_image(const Pixels &p) {
    ZorImage *img = ZorImage::create(static_cast<unsigned>(p.w), static_cast<unsigned>(p.h),
                                     static_cast<unsigned>(p.bands), ZOR_BYTE);
    if (!img) return nullptr;
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x)
            for (int k = 0; k < p.bands; ++k)
                *static_cast<std::uint8_t *>(img->sampleAddress(x, y, k)) = p.at(x, y, k);
    img->markModified();
    return img;
}

}  // namespace

std::unique_ptr<Chain> Chain::make(const std::vector<std::string> &names, ZorImage *dst,
                                   const std::vector<const Pixels *> &sources,
                                   const std::vector<double> &values, std::string *error) {
    const Shape shape = shape_of(names);
    if (shape == Shape::unsupported) {
        *error = "the tool cannot build the parameters of " + full_path(names) + " yet";
        return nullptr;
    }
    if (static_cast<int>(sources.size()) != images_of(shape)) {
        *error = full_path(names) + " takes " + takes(shape);
        return nullptr;
    }
    if (values.size() > 4) {
        *error = "at most 4 values (one per band)";
        return nullptr;
    }
    std::unique_ptr<Chain> c(new Chain);
    for (const Pixels *p : sources) {
        ZorImage *img = memory_image(*p);
        if (!img) {
            *error = "cannot make a host image of " + std::to_string(p->w) + "x" + std::to_string(p->h);
            return nullptr;
        }
        c->images_.push_back(img);
    }
    // Parameter arrays hold four values, so a driver never reads past them.
    for (std::size_t i = 0; i < 4; ++i) {
        const double v = values.empty() ? 0.0 : values[i < values.size() ? i : values.size() - 1];
        c->floats_[i] = static_cast<float>(v);
        c->ints_[i] = static_cast<std::int32_t>(v);
    }
    ZorImage *s1 = c->images_.size() > 0 ? c->images_[0] : nullptr;
    ZorImage *s2 = c->images_.size() > 1 ? c->images_[1] : nullptr;
    ZorImage *result = nullptr;
    if (shape == Shape::set_value) {
        // The set-value result: the destination's size, one band per value.
        unsigned w, h;
        dst->getDimensions(&w, &h, nullptr);
        result = ZorImage::create(w, h, static_cast<unsigned>(values.empty() ? 1 : values.size()), ZOR_BYTE);
        if (!result) {
            *error = "cannot make the set-value image";
            return nullptr;
        }
        c->images_.push_back(result);
    }
    ZorOp *op = ZorOp::create(names[0].c_str(), result, s1, s2);
    if (!op) {
        *error = "the host does not know the operation " + names[0];
        return nullptr;
    }
    c->ops_.push_back(op);
    if (shape == Shape::const_float || shape == Shape::set_value) op->setPtrParam(1, c->floats_);
    if (shape == Shape::const_int) op->setPtrParam(1, c->ints_);
    c->display_ = ZorOp::create(ZOR_DISPLAY_IO_WREN, dst, nullptr, nullptr, op);
    if (!c->display_) {
        *error = "cannot make the display operation";
        return nullptr;
    }
    return c;
}

Chain::~Chain() {
    if (display_) display_->destroy();
    for (ZorOp *o : ops_) o->destroy();
    for (ZorImage *i : images_) i->destroy();
}

ZorImage *drawing_image(wca::Screen &screen, int window, int x, int y, int w, int h) {
    ZorImage *img = screen.windowImage(window);
    if (!img) return nullptr;
    const bool colour = img->getBands() == 4;
    return img->createChild(static_cast<unsigned>(x), static_cast<unsigned>(y), colour ? 1 : 0,
                            static_cast<unsigned>(w), static_cast<unsigned>(h), colour ? 3 : 1);
}

const char *register_name(std::uint32_t offset) {
    const wren_register_info *r = wren_register_find(offset);
    return r ? r->name : "";
}

}  // namespace tool
