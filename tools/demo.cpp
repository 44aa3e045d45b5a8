// wren demo: a screen of overlapping windows, backgrounds filled by the
// accelerator, then every registered path run into its own tile of a window
// through the host, with a table of what each driver did and PNGs of the
// screen and of each window.
#include "conv_kernels.h"
#include "session.h"

#include "snapshot.h"
#include "wren_fill.h"

#include <filesystem>
#include <map>
#include <system_error>

namespace {

struct DemoWindow {
    const char *name;
    int depth, x, y, w, h;
    std::uint32_t background;  // grey value or 0xRRGGBB
    int method;                // fast-fill method of the background
    int id = 0;
    int next_tile = 0;
};

constexpr int kTileW = 128, kTileH = 96, kGap = 8;

// The convolutions run once more on the backdrop (24-bit): a tile no window
// covers (one rectangle: the three bands written at once by the combine
// kernel) and one partly covered (one band insert per band and rectangle).
// "Inserted" tiles straddle a corner of "gray" (general) or "note"
// (separable), so that their visible part takes two rectangles.
constexpr struct {
    int x, xsep, y;
    const char *route;
} kRoutes[] = {{8, 144, 424, "combined"}, {490, 360, 236, "inserted"}};

const char *method_name(int m) {
    return m == WREN_FILL_RECT ? "rectangle" : m == WREN_FILL_BLOCK ? "block" : "page";
}

// The numbers each parameter option is shown with: by operation and option
// name first, then by option name; several values are per band. top: the
// operation is the chain's first.
std::vector<double> demo_values(const std::string &op, const std::string &option, int bands, bool top) {
    static const std::map<std::string, std::vector<double>> by_op = {
        {"addconst8", {60, 20, -40}},       {"subtractconst8", {60, 20, 100}},
        {"subtractfromconst8", {255, 255, 255}}, {"multiplyconst8", {1.5, 0.75, 1.0}},
        {"aluconst8", {10, 10, 10}},        {"andconst8", {0xf0, 0xe0, 0xc0}},
        {"orconst8", {0x0f, 0x30, 0x80}},   {"xorconst8", {0x5a, 0xa5, 0xff}},
    };
    static const std::map<std::string, std::vector<double>> by_option = {
        {"const", {20}},     {"low", {96}},      {"high", {160}},    {"map", {0}},
        {"scale", {1.5}},    {"offset", {-40}},  {"angle", {25}},   {"xscale", {2}},
        {"yscale", {2}},     {"flip", {1}},      {"edge", {0}},      {"matrix", {0.75, 0.3, -0.45, 0.8, 0, 0}},
    };
    // Scaling: enlarged by nearest neighbour and bilinear, reduced by bicubic
    // and by a Lanczos filter.
    static const std::map<std::string, double> scale_by_op = {
        {"scale8nearest", 2.5}, {"scale8bilinear", 1.75}, {"scale8bicubic", 0.6}, {"scale8general", 0.75}};
    // (The quick zooms read a scale operation below their lookup: they keep 2.)
    if (const auto it = scale_by_op.find(op); it != scale_by_op.end() && top && (option == "xscale" || option == "yscale"))
        return {it->second};
    if (option == "xfilter" || option == "yfilter") {
        std::vector<double> f;
        std::string error;
        tool::filter_values("lanczos3", &f, &error);
        return f;
    }
    if (option == "value") return bands == 1 ? std::vector<double>{180} : std::vector<double>{230, 180, 40};
    if (option == "lut") {
        // 8-bit sources solarised, 16-bit ones posterised to four levels.
        std::vector<double> t(256);
        for (int i = 0; i < 256; ++i) t[i] = op == "lookup8_8" ? (i < 128 ? 2 * i : 2 * (255 - i)) : (i / 64) * 85;
        return t;
    }
    std::vector<double> v;
    if (const auto it = by_op.find(op); it != by_op.end() && option == "const") v = it->second;
    else if (const auto jt = by_option.find(option); jt != by_option.end()) v = jt->second;
    else v = {1};
    if (v.size() > 1 && v.size() != 6) v.resize(static_cast<std::size_t>(bands), v.back());
    return v;
}

// Affine warps and rotations: shown turned about the tile's centre.
bool warps(const WrenPath &row) {
    for (const auto &o : tool::options_of(row))
        if (o.first == "matrix" || o.first == "angle") return true;
    return false;
}

// Sources a path is shown with, in the window's band count.
std::vector<tool::Pixels> demo_sources(const WrenPath &row, int bands) {
    const int n = tool::images_of(row);
    if (n >= 2) return {tool::gradient(kTileW, kTileH, bands), tool::rings(kTileW, kTileH, bands)};
    if (n == 0) return {};
    if (std::string(row.names[row.count() - 2]) == "copy8") return {tool::checkerboard(kTileW, kTileH, bands, 12)};
    if (warps(row)) return {tool::scene(kTileW, kTileH, bands)};
    if (std::string(row.names[0]).rfind("scale8", 0) == 0) return {tool::rings(kTileW, kTileH, bands)};
    for (const auto &o : tool::options_of(row)) {
        if (o.first == "const") return {tool::rings(kTileW, kTileH, bands)};
        // Enlargements start from a source the tile shows whole at 2x.
        if (o.first == "xscale") return {tool::rings(kTileW / 2 + 1, kTileH / 2 + 1, bands)};
    }
    return {tool::gradient(kTileW, kTileH, bands)};
}

// Values for every parameter of the row, each use from its operation's name.
tool::ParamValues demo_params(const WrenPath &row, int bands) {
    std::vector<tool::ParamItem> items;
    std::string error;
    tool::ParamValues v;
    if (!tool::param_items(row, &items, &error)) return v;
    for (const tool::ParamItem &p : items) {
        if (p.slot == tool::ParamItem::Slot::src) continue;
        if (p.option == "kernel") {
            // Sharpened, or softened by the separable chain (display side: 7 x 1).
            v[p.option].push_back(tool::named_kernel(row.count() == 2 ? "sharpen" : p.op == 0 ? "gaussian7x1" : "gaussian1x7"));
            continue;
        }
        v[p.option].push_back(demo_values(row.names[p.op], p.option, bands, p.op == 0));
    }
    // Rescale chains: the thresholds clamp the result to 40..200 (the top
    // first), and a 16-bit source's whole range maps onto 0..255.
    if (std::string(row.member).rfind("Rescale", 0) == 0) {
        const bool wide = std::string(row.names[row.count() - 2]) == "rescale16";
        const double top = wide ? 32767 : 255, bottom = wide ? -32768 : 0;
        const std::size_t n = v["low"].size();
        v["low"] = {{200}, {bottom}};
        v["high"] = {{top}, {40}};
        v["map"] = {{200}, {40}};
        for (auto *k : {&v["low"], &v["high"], &v["map"]}) k->resize(n);
        if (n == 0) v.erase("low"), v.erase("high"), v.erase("map");
        if (wide) v["scale"] = {{255.0 / 65535}}, v["offset"] = {{127.5}};
    }
    return v;
}

int tiles_across(const DemoWindow &w) { return (w.w - kGap) / (kTileW + kGap); }
int tiles_of(const DemoWindow &w) { return tiles_across(w) * ((w.h - kGap) / (kTileH + kGap)); }
int tile_x(const DemoWindow &w, int t) { return kGap + (t % tiles_across(w)) * (kTileW + kGap); }
int tile_y(const DemoWindow &w, int t) { return kGap + (t / tiles_across(w)) * (kTileH + kGap); }

// Pixels of the window rectangle (x, y, w, h) that are visible on the screen.
long visible_area(const wca::Screen &screen, const DemoWindow &win, int x, int y, int w, int h) {
    long area = 0;
    for (const pixman_box32_t &b : screen.window(win.id)->visibleRects()) {
        const int x1 = std::max(b.x1, win.x + x), x2 = std::min(b.x2, win.x + x + w);
        const int y1 = std::max(b.y1, win.y + y), y2 = std::min(b.y2, win.y + y + h);
        if (x2 > x1 && y2 > y1) area += long(x2 - x1) * (y2 - y1);
    }
    return area;
}

// Whether tile t of the window, with its label above it, is free for a path:
// at least half visible (a tile under another window or off the screen would
// hide its result) and clear of the convolutions' tiles on the backdrop.
bool usable(const wca::Screen &screen, const DemoWindow &w, int t) {
    const int x = tile_x(w, t), y = tile_y(w, t);
    if (2 * visible_area(screen, w, x, y, kTileW, kTileH) < long(kTileW) * kTileH) return false;
    if (std::string(w.name) != "backdrop") return true;
    for (const auto &rt : kRoutes)
        for (const int rx : {rt.x, rt.xsep})
            if (x < rx + kTileW && rx < x + kTileW && y - kGap < rt.y + kTileH && rt.y - kGap < y + kTileH) return false;
    return true;
}

// The next free tile, taking windows in turn (8-bit ones only with eight);
// null when all are full.
DemoWindow *next_window(const wca::Screen &screen, std::vector<DemoWindow> &wins, std::size_t &turn, bool eight) {
    for (std::size_t tries = 0; tries < wins.size(); ++tries) {
        DemoWindow &w = wins[turn++ % wins.size()];
        if (eight && w.depth != 8) continue;
        while (w.next_tile < tiles_of(w) && !usable(screen, w, w.next_tile)) ++w.next_tile;
        if (w.next_tile < tiles_of(w)) return &w;
    }
    return nullptr;
}

// Segments of a seven-segment digit 4 pixels wide and 7 high: x, y, w, h.
constexpr int kSegments[7][4] = {{0, 0, 4, 1}, {3, 0, 1, 4}, {3, 3, 1, 4}, {0, 6, 4, 1},
                                 {0, 3, 1, 4}, {0, 0, 1, 4}, {0, 3, 4, 1}};
// The segments (bit i: segment i of a, b, c, d, e, f, g) of each digit.
constexpr unsigned char kDigits[10] = {0x3f, 0x06, 0x5b, 0x4f, 0x66, 0x6d, 0x7d, 0x07, 0x7f, 0x6f};

// Draws n in the gap above the tile at (x, y) of the window, by accelerator
// fills of the visible parts of each segment: black on a light background,
// white on a dark one.
bool label_tile(tool::Device &dev, const DemoWindow &w, int x, int y, int n) {
    const std::uint32_t bg = w.background;
    const int light = w.depth == 8 ? int(bg & 0xff) : int(((bg >> 16) & 0xff) + ((bg >> 8) & 0xff) + (bg & 0xff)) / 3;
    const std::uint32_t ink = light > 128 ? 0 : w.depth == 8 ? 0xff : 0xffffff;
    const std::string digits = std::to_string(n);
    const auto rects = dev.screen().window(w.id)->visibleRects();
    for (std::size_t d = 0; d < digits.size(); ++d)
        for (int seg = 0; seg < 7; ++seg) {
            if (!(kDigits[digits[d] - '0'] >> seg & 1)) continue;
            const int *r = kSegments[seg];
            const int sx = w.x + x + int(d) * 6 + r[0], sy = w.y + y - kGap + r[1];
            for (const pixman_box32_t &b : rects) {
                const int x1 = std::max(b.x1, sx), x2 = std::min(b.x2, sx + r[2]);
                const int y1 = std::max(b.y1, sy), y2 = std::min(b.y2, sy + r[3]);
                if (x2 > x1 && y2 > y1 && !tool::accel_fill(dev, w.depth, ink, WREN_FILL_RECT, x1, y1, x2 - x1, y2 - y1))
                    return false;
            }
        }
    return true;
}

// Paths drawn into 8-bit windows only: the quick zooms (one band) and the
// rescales (the pixel-mapping unit maps 8-bit windows).
bool eight_bit_only(const WrenPath &p) {
    const std::string m = p.member;
    return m.rfind("qdx_", 0) == 0 || m.rfind("Rescale", 0) == 0;
}

struct Row {
    std::string path, window, driver, result, rects = "-", usec = "-", reason;
};

}  // namespace

int run_demo(const ToolOptions &options, const std::string &out) {
    std::error_code ec;
    std::filesystem::create_directories(out, ec);
    if (ec || !std::filesystem::is_directory(out)) {
        std::fprintf(stderr, "wren: cannot make the output directory '%s': %s\n", out.c_str(),
                     ec ? ec.message().c_str() : "not a directory");
        return 1;
    }
    auto dev = tool::Device::open(options, wsim::MachineOptions{});
    if (!dev) return 1;
    wca::Screen &screen = dev->screen();

    // Bottom to top; "panel" runs off the right and bottom edges of the screen.
    std::vector<DemoWindow> wins = {
        {"backdrop", 24, 16, 16, 760, 560, 0x203050, WREN_FILL_PAGE},
        {"gray", 8, 560, 300, 560, 440, 64, WREN_FILL_BLOCK},
        {"panel", 24, 900, 620, 480, 480, 0x504020, WREN_FILL_RECT},
        {"note", 8, 250, 180, 200, 120, 200, WREN_FILL_BLOCK},
    };
    for (DemoWindow &w : wins) {
        w.id = screen.createWindow(w.depth, w.x, w.y, w.w, w.h);
        if (!w.id) {
            std::fprintf(stderr, "wren: cannot make window %s: %s\n", w.name, screen.lastError().c_str());
            return 1;
        }
    }
    std::printf("device %s on a %dx%d screen\n", dev->plugin().device()->getName(), screen.width(),
                screen.height());

    // Backgrounds: each visible rectangle filled by the accelerator.
    for (DemoWindow &w : wins) {
        const std::size_t before = dev->machine().accel().fills().size();
        const auto rects = screen.window(w.id)->visibleRects();
        for (const pixman_box32_t &b : rects) {
            if (!tool::accel_fill(*dev, w.depth, w.background, w.method, b.x1, b.y1, b.x2 - b.x1, b.y2 - b.y1)) {
                std::fprintf(stderr, "wren: the device cannot fill window %s\n", w.name);
                return 1;
            }
        }
        std::printf("fill %-8s %2d-bit  %-9s fill of %#08x: %zu visible rectangle(s), %zu accelerator fill(s)\n",
                    w.name, w.depth, method_name(w.method), static_cast<unsigned>(w.background), rects.size(),
                    dev->machine().accel().fills().size() - before);
    }

    // Every path of the table; those whose drivers draw get a tile each.
    std::vector<Row> rows;
    std::size_t turn = 0;
    int computed = 0;
    for (const WrenPath &p : dev->paths()) {
        Row row{tool::path_name(p), "-", p.member, "declined", "-", "-", ""};
        const std::string unbuildable = tool::unbuildable_kind(p);
        if (p.state == WREN_PATH_NOT_BUILT) {
            row.result = "skipped";
            row.reason = "not built yet: the host computes it";
        } else if (p.state == WREN_PATH_WORKER) {
            row.result = "skipped";
            row.reason = "worker: needs a kernel from a thin driver";
        } else if (!unbuildable.empty()) {
            row.result = "skipped";
            row.reason = "the tool cannot build " + unbuildable + " parameters yet";
        } else if (DemoWindow *w = next_window(screen, wins, turn, eight_bit_only(p))) {
            row.window = w->name;
            const int t = w->next_tile++;
            const int tx = tile_x(*w, t), ty = tile_y(*w, t);
            if (!label_tile(*dev, *w, tx, ty, static_cast<int>(rows.size() + 1))) {
                std::fprintf(stderr, "wren: the device cannot fill window %s\n", w->name);
                return 1;
            }
            ZorHandle<ZorImage> dst(tool::drawing_image(screen, w->id, tx, ty, kTileW, kTileH));
            const int bands = w->depth == 8 ? 1 : 3;
            const auto srcs = demo_sources(p, bands);
            std::vector<const tool::Pixels *> ptrs;
            for (const tool::Pixels &s : srcs) ptrs.push_back(&s);
            std::string error;
            auto chain = dst ? tool::Chain::make(p, dst.get(), ptrs, demo_params(p, bands), &error) : nullptr;
            if (chain && warps(p) && chain->source(0)) {
                chain->source(0)->setOrigin(kTileW / 2, kTileH / 2);
                dst->setOrigin(kTileW / 2, kTileH / 2);
            }
            if (!chain) {
                row.reason = dst ? error : "cannot make the tile's image";
            } else {
                const ZorDispatchResult r = chain->run();
                const auto o = dev->outcome_for(tool::full_path(p));
                if (r.status == ZOR_SUCCESS) {
                    row.result = "computed";
                    ++computed;
                }
                if (o) {
                    row.rects = std::to_string(o->rects);
                    row.usec = std::to_string(o->usec);
                    if (o->status != ZOR_SUCCESS)
                        row.reason = std::string(dev->reason_name(o->reason)) + ": " + o->message;
                } else if (r.status != ZOR_SUCCESS) {
                    row.reason = "declined without an outcome";
                }
            }
        } else {
            row.reason = "no tile left";
        }
        rows.push_back(row);
    }

    // The convolutions once more on the backdrop.
    std::vector<Row> route_rows;
    for (const WrenPath &p : dev->paths()) {
        if (std::string(p.names[0]) != "convolve8" || p.state != WREN_PATH_DRAWS) continue;
        for (const auto &rt : kRoutes) {
            const int dx = p.count() == 3 ? rt.xsep : rt.x;
            if (!label_tile(*dev, wins[0], dx, rt.y, static_cast<int>(&p - dev->paths().data() + 1))) {
                std::fprintf(stderr, "wren: the device cannot fill window %s\n", wins[0].name);
                return 1;
            }
            Row row{tool::path_name(p) + " (" + rt.route + ")", "backdrop", p.member, "declined", "-", "-", ""};
            ZorHandle<ZorImage> dst(tool::drawing_image(screen, wins[0].id, dx, rt.y, kTileW, kTileH));
            const auto srcs = demo_sources(p, 3);
            std::vector<const tool::Pixels *> ptrs;
            for (const tool::Pixels &src : srcs) ptrs.push_back(&src);
            std::string error;
            auto chain = dst ? tool::Chain::make(p, dst.get(), ptrs, demo_params(p, 3), &error) : nullptr;
            if (!chain) {
                row.reason = dst ? error : "cannot make the tile's image";
            } else if (chain->run().status == ZOR_SUCCESS) {
                row.result = "computed";
                if (const auto o = dev->outcome_for(tool::full_path(p))) {
                    row.rects = std::to_string(o->rects);
                    row.usec = std::to_string(o->usec);
                    row.reason = o->note;
                }
            }
            route_rows.push_back(row);
        }
    }

    std::size_t pw = 4, dw = 6;
    for (const Row &r : rows) {
        pw = std::max(pw, r.path.size());
        dw = std::max(dw, r.driver.size());
    }
    const int ipw = static_cast<int>(pw), idw = static_cast<int>(dw);
    std::printf("paths below %s (each tile is labelled with its # just above its top-left corner):\n",
                ZOR_DISPLAY_IO_WREN);
    std::printf(" #  %-*s  %-8s  %-*s  %-8s  %5s  %6s  reason\n", ipw, "path", "window", idw, "driver", "result",
                "rects", "usec");
    int n = 0;
    for (const Row &r : rows)
        std::printf("%2d  %-*s  %-8s  %-*s  %-8s  %5s  %6s  %s\n", ++n, ipw, r.path.c_str(), r.window.c_str(), idw,
                    r.driver.c_str(), r.result.c_str(), r.rects.c_str(), r.usec.c_str(), r.reason.c_str());
    int drawing = 0;
    for (const WrenPath &p : dev->paths()) drawing += p.state == WREN_PATH_DRAWS;
    std::printf("%d of %zu paths computed by the device; %d draw, the others (not built, workers) have no tile\n",
                computed, dev->paths().size(), drawing);
    if (!route_rows.empty()) std::printf("convolutions on the backdrop, one tile alone and one partly covered:\n");
    for (const Row &r : route_rows)
        std::printf("    %-*s  %-8s  %-*s  %-8s  %5s  %6s  %s\n", ipw, r.path.c_str(), r.window.c_str(), idw,
                    r.driver.c_str(), r.result.c_str(), r.rects.c_str(), r.usec.c_str(), r.reason.c_str());

    const auto &faults = dev->machine().accel().faults();
    if (!faults.empty())
        std::printf("accelerator: %zu fault(s), first: %s\n", faults.size(), faults.front().c_str());

    std::string error;
    const std::string screen_png = (std::filesystem::path(out) / "screen.png").string();
    if (!wsim::snapshotScreen(screen, screen_png, &error)) {
        std::fprintf(stderr, "wren: cannot write %s: %s\n", screen_png.c_str(), error.c_str());
        return 1;
    }
    for (const DemoWindow &w : wins) {
        const std::string png = (std::filesystem::path(out) / (std::string(w.name) + ".png")).string();
        if (!wsim::snapshotWindow(screen, w.id, png, &error)) {
            std::fprintf(stderr, "wren: cannot write %s: %s\n", png.c_str(), error.c_str());
            return 1;
        }
    }
    std::printf("wrote %s and %zu window images to %s\n", "screen.png", wins.size(), out.c_str());
    return 0;
}
