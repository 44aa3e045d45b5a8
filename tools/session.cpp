// The device on a simulated machine, PNG sources and the accelerator's fills.
#include "session.h"

#include "wren_regs.h"

#include <png.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>

namespace tool {

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
    std::fseek(f, 0, SEEK_END);
    const long file_bytes = std::ftell(f);
    std::rewind(f);
    png_image img;
    std::memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    // Every exit releases the reader and closes the file
    // (png_image_begin_read_from_stdio does not close it).
    auto give_up = [&](const std::string &why) {
        png_image_free(&img);
        std::fclose(f);
        *error = why;
        return std::nullopt;
    };
    if (!png_image_begin_read_from_stdio(&img, f)) return give_up("cannot read '" + path + "': " + img.message);
    if (img.format & PNG_FORMAT_FLAG_LINEAR)
        return give_up("'" + path + "' has 16-bit samples; only 8-bit images are read");
    const bool colour = img.format & PNG_FORMAT_FLAG_COLOR;
    const bool alpha = img.format & PNG_FORMAT_FLAG_ALPHA;
    const int bands = colour ? 3 : 1;
    // Sizes come from the file's header, which may lie: check them in 64 bits
    // before any pixel memory is allocated. The host image of the pixels pads
    // rows to 8 bytes; it is the largest buffer the tool makes for them.
    const std::uint64_t w64 = img.width, h64 = img.height;
    const std::uint64_t host_bytes = ((w64 * bands + 7) / 8 * 8) * h64;
    const std::string size = std::to_string(w64) + "x" + std::to_string(h64);
    if (w64 > ZorImage::kMaxSide || h64 > ZorImage::kMaxSide || host_bytes > ZorImage::kMaxBytes)
        return give_up("'" + path + "' is " + size + ", larger than the host's images (at most " +
                       std::to_string(ZorImage::kMaxSide) + " a side and " +
                       (ZorImage::kMaxBytes % (1u << 30) == 0 ? std::to_string(ZorImage::kMaxBytes >> 30) + " GiB"
                                                               : std::to_string(ZorImage::kMaxBytes >> 20) + " MiB") +
                       " of pixels)");
    // Compressed pixel data shrinks at most about 1032 to 1, and a pixel
    // takes at least one bit: a file far shorter than that is damaged, and is
    // refused before its claimed size is allocated.
    const std::uint64_t least_bytes = h64 * ((w64 + 7) / 8) / 2048;
    if (file_bytes >= 0 && least_bytes > static_cast<std::uint64_t>(file_bytes))
        return give_up("'" + path + "' claims " + size + " pixels but holds " + std::to_string(file_bytes) +
                       " bytes: the file is damaged");
    // Read with alpha kept, so that colours are not composited, then drop it.
    img.format = colour ? (alpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB) : (alpha ? PNG_FORMAT_GA : PNG_FORMAT_GRAY);
    const int channels = static_cast<int>(PNG_IMAGE_PIXEL_CHANNELS(img.format));
    Pixels p;
    p.w = static_cast<int>(img.width);
    p.h = static_cast<int>(img.height);
    p.bands = bands;
    p.v.resize(static_cast<std::size_t>(w64 * h64 * channels));
    const int ok = png_image_finish_read(&img, nullptr, p.v.data(), 0, nullptr);
    if (!ok) return give_up("cannot read '" + path + "': " + img.message);
    png_image_free(&img);
    std::fclose(f);
    if (channels != bands) {
        // Drop alpha in place: each pixel moves to a lower address.
        for (std::size_t i = 0, n = std::size_t(p.w) * p.h; i < n; ++i)
            for (int k = 0; k < bands; ++k) p.v[i * bands + k] = p.v[i * channels + k];
        p.v.resize(std::size_t(p.w) * p.h * bands);
        p.v.shrink_to_fit();
    }
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

Pixels scene(int w, int h, int bands) {
    Pixels p(w, h, bands);
    const double sx = w / 128.0, sy = h / 96.0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double u = x / sx, v = y / sy;
            double rgb[3] = {90 + v, 150 + v * 0.8, 235 - v * 0.5};  // sky
            if (std::hypot(u - 96, v - 22) < 11) rgb[0] = 255, rgb[1] = 225, rgb[2] = 90;  // sun
            if (v > 62 + 9 * std::sin(u / 14.0)) rgb[0] = 60, rgb[1] = 120 + 20 * std::sin(u / 5.0), rgb[2] = 50;
            if (u >= 22 && u < 58 && v >= 46 && v < 80) rgb[0] = 200, rgb[1] = 190, rgb[2] = 170;  // wall
            if (v >= 30 && v < 46 && std::fabs(u - 40) < (v - 28) * 1.2) rgb[0] = 150, rgb[1] = 40, rgb[2] = 35;
            if (u >= 30 && u < 40 && v >= 54 && v < 64) rgb[0] = 40, rgb[1] = 60, rgb[2] = 90;  // window
            if (u >= 64 && u < 124 && v >= 70 && v < 82 && static_cast<int>(u) % 4 < 2) rgb[0] = rgb[1] = rgb[2] = 245;
            for (int k = 0; k < bands; ++k)
                p.at(x, y, k) = static_cast<std::uint8_t>(
                    bands == 1 ? std::clamp(0.3 * rgb[0] + 0.59 * rgb[1] + 0.11 * rgb[2], 0.0, 255.0)
                               : std::clamp(rgb[k % 3], 0.0, 255.0));
        }
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
    d->paths_ = path_table(*d->plugin_);
    if (d->paths_.empty()) {
        std::fprintf(stderr, "wren: the device has no path table (wren_path_table)\n");
        return nullptr;
    }
    d->outcome_ = reinterpret_cast<wren_last_outcome_fn>(d->plugin_->symbol("wren_last_outcome"));
    d->reason_name_ = reinterpret_cast<const char *(*)(int)>(d->plugin_->symbol("wren_reason_name"));
    d->setup_ = reinterpret_cast<decltype(d->setup_)>(d->plugin_->symbol("wren_setup"));
    d->fast_fill_ = reinterpret_cast<decltype(d->fast_fill_)>(d->plugin_->symbol("wren_fast_fill"));
    d->machine_ = std::make_unique<wsim::Machine>(machine);
    d->machine_->attach(attach);
    return d;
}

Device::~Device() { machine_.reset(); }

std::optional<wren_outcome> Device::outcome_for(const std::string &path) const {
    // The plug-in copies its whole record; room to spare keeps a larger record
    // of another version from writing past ours, and its size tells it apart.
    union {
        wren_outcome o;
        unsigned char room[4096];
    } got{};
    if (!outcome_ || outcome_(&got.o) != 0 || got.o.size != static_cast<int>(sizeof(wren_outcome)))
        return std::nullopt;
    wren_outcome o = got.o;
    o.path[sizeof o.path - 1] = o.driver[sizeof o.driver - 1] = o.message[sizeof o.message - 1] = '\0';
    o.kernels[sizeof o.kernels - 1] = o.note[sizeof o.note - 1] = '\0';
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
