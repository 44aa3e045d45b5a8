// The wren tool as a user runs it.
#include <gtest/gtest.h>

#include "../../tools/chain.h"

#include <png.h>
#include <sys/wait.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace tool_test {

using tool::Pixels;

struct ToolRun {
    int status;
    std::string out;
};

// Runs "prefix tool args redirect" in a shell (prefix: an environment or a
// ulimit); keeps stdout, which the redirect may join stderr to.
ToolRun run(const std::string &args, const std::string &prefix = "", const std::string &redirect = " 2>/dev/null") {
    ToolRun r{-1, ""};
    FILE *p = popen((prefix + " " + WREN_TOOL_PATH + " " + args + redirect).c_str(), "r");
    if (!p) return r;
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}
ToolRun run_all(const std::string &args, const std::string &prefix = "") { return run(args, prefix, " 2>&1"); }

std::vector<std::string> lines(const std::string &s) {
    std::vector<std::string> v;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
}

// The device's path table, read as the tool reads it.
const ZorPlugin *plugin() {
    static std::unique_ptr<ZorPlugin> p = ZorPlugin::load(WREN_PLUGIN_PATH);
    return p.get();
}
std::span<const WrenPath> table() { return plugin() ? tool::path_table(*plugin()) : std::span<const WrenPath>(); }

// The text of a table line under a header column, cut at the next column.
std::string column(const std::string &line, const std::string &header, const char *name, const char *next) {
    const std::size_t at = header.find(name), end = next ? header.find(next) : std::string::npos;
    if (at == std::string::npos || line.size() <= at) return "";
    std::string s = line.substr(at, end == std::string::npos ? std::string::npos : end - at);
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

// One line per row, in order, under a title, the line saying what ops means
// and the header, then a total; the takes column is tool::takes, whose
// worked values are in chain_test.cpp.
TEST(Tool, PathsListsThePathTableInOrder) {
    const auto rows = table();
    ASSERT_FALSE(rows.empty());
    const ToolRun r = run("paths");
    ASSERT_EQ(r.status, 0);
    const auto l = lines(r.out);
    ASSERT_EQ(l.size(), rows.size() + 4);
    EXPECT_NE(l[1].find("ops: operations in the chain, the display included"), std::string::npos) << l[1];
    std::size_t draws = 0;
    std::set<std::string> members;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const WrenPath &row = rows[i];
        const std::string &line = l[i + 3];
        SCOPED_TRACE(line);
        auto col = [&](const char *name, const char *next) { return column(line, l[2], name, next); };
        EXPECT_EQ(std::stoi(line.substr(0, 3)), static_cast<int>(i + 1));
        EXPECT_EQ(col("path", "member"), tool::path_name(row));
        EXPECT_EQ(col("member", "ops"), row.member);
        EXPECT_EQ(std::stoi(col("ops", "state")), row.count());
        EXPECT_EQ(col("state", "takes"), row.state == WREN_PATH_DRAWS       ? "draws"
                                         : row.state == WREN_PATH_NOT_BUILT ? "not built"
                                                                            : "worker");
        EXPECT_EQ(col("takes", "summary"), tool::takes(row));
        EXPECT_EQ(col("summary", nullptr), row.summary);
        draws += row.state == WREN_PATH_DRAWS;
        members.insert(row.member);
    }
    EXPECT_EQ(l.back().rfind(std::to_string(rows.size()) + " paths: " + std::to_string(draws) + " draw, ", 0), 0u)
        << l.back();
    EXPECT_NE(l.back().find(std::to_string(members.size()) + " member functions"), std::string::npos) << l.back();
}

// A scratch directory removed at the end of the test.
struct TempDir {
    std::string path;
    TempDir() {
        char t[] = "/tmp/wren_tool_XXXXXX";
        path = mkdtemp(t) ? t : "";
    }
    ~TempDir() {
        if (!path.empty()) std::filesystem::remove_all(path);
    }
    std::string file(const char *name) const { return path + "/" + name; }
};

// Writes 8-bit grey (1 band), RGB (3) or RGBA (4) pixels, or 16-bit grey with sixteen.
bool write_png(const std::string &path, const Pixels &p, bool sixteen = false) {
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    img.width = static_cast<png_uint_32>(p.w);
    img.height = static_cast<png_uint_32>(p.h);
    img.format = p.bands == 1 ? PNG_FORMAT_GRAY : p.bands == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_RGBA;
    if (!sixteen) return png_image_write_to_file(&img, path.c_str(), 0, p.v.data(), 0, nullptr);
    img.format = PNG_FORMAT_LINEAR_Y;
    const std::vector<uint16_t> wide(p.v.begin(), p.v.end());
    return png_image_write_to_file(&img, path.c_str(), 0, wide.data(), 0, nullptr);
}

// Grey or RGB, as the file says; empty when it cannot be read.
Pixels read_png(const std::string &path) {
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str())) return {};
    Pixels p(static_cast<int>(img.width), static_cast<int>(img.height), img.format & PNG_FORMAT_FLAG_COLOR ? 3 : 1);
    img.format = p.bands == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    if (!png_image_finish_read(&img, nullptr, p.v.data(), 0, nullptr)) return {};
    return p;
}

Pixels pattern(int w, int h, int bands, int seed) {
    Pixels p(w, h, bands);
    for (size_t i = 0; i < p.v.size(); ++i) p.v[i] = static_cast<uint8_t>((i * 37 + seed * 101 + (i / 7) * 13) & 0xff);
    return p;
}

// Paths whose drivers draw get a tile each, labelled with the path's number,
// and compute at least one rectangle there (a tile is never hidden); paths
// not built yet and workers get none and say why.
TEST(ToolDemo, DrawsEveryPathThatDrawsAndWritesTheScreen) {
    const auto table_rows = table();
    ASSERT_FALSE(table_rows.empty());
    TempDir dir;
    const ToolRun r = run("demo --out " + dir.file("made/here"));
    ASSERT_EQ(r.status, 0);
    std::size_t rows = 0;
    std::set<std::string> windows;
    for (const std::string &l : lines(r.out)) {
        std::istringstream in(l);
        int n = 0;
        std::string path, window, driver, result, rects;
        if (!(in >> n >> path >> window >> driver >> result >> rects) || path == "of") continue;
        SCOPED_TRACE(l);
        ASSERT_LT(rows, table_rows.size());
        EXPECT_EQ(n, static_cast<int>(rows + 1));
        const WrenPath &row = table_rows[rows++];
        EXPECT_EQ(path, tool::path_name(row));
        EXPECT_EQ(driver, row.member);
        const bool draws = row.state == WREN_PATH_DRAWS;
        EXPECT_EQ(result, draws ? "computed" : "skipped");
        EXPECT_TRUE(!draws || std::atoi(rects.c_str()) > 0) << "a drawing path's tile shows nothing";
        EXPECT_EQ(window == "-", !draws);
        if (draws) windows.insert(window);
        else
            EXPECT_NE(l.find(row.state == WREN_PATH_WORKER ? "worker: needs a kernel from a thin driver" : "not built yet"),
                      std::string::npos);
    }
    EXPECT_EQ(rows, table_rows.size());
    EXPECT_EQ(windows.size(), 4u) << "every window shows a path";
    // The convolutions show both 24-bit routes.
    for (const char *route : {"3 band(s) combined", "3 band(s) inserted"})
        EXPECT_NE(r.out.find(route), std::string::npos) << route << "\n" << r.out;
    const Pixels screen = read_png(dir.file("made/here/screen.png"));
    ASSERT_EQ(screen.w, 1280);
    ASSERT_EQ(screen.h, 1024);
    // Path 1's label, white on the backdrop (at 16, 16) above its tile (at 8, 8): the right stroke of a "1".
    for (int y = 16; y < 23; ++y) EXPECT_EQ(screen.at(27, y, 0) + screen.at(27, y, 1) + screen.at(27, y, 2), 765) << y;
    for (const char *w : {"backdrop.png", "gray.png", "panel.png", "note.png"})
        EXPECT_TRUE(std::filesystem::exists(dir.file("made/here") + "/" + w)) << w;
}

// The weighted sum (weights summing to 4) of the 2x bilinear zoom at window
// pixel (x, y); neighbours of weight 0 past the last column or row are not read.
int zoom2_sum(const Pixels &in, int x, int y) {
    const int a = x % 2, b = y % 2, u = x / 2, v = y / 2;
    auto p = [&](int i, int j) { return in.at(std::min(u + i, in.w - 1), std::min(v + j, in.h - 1), 0); };
    return (2 - a) * (2 - b) * p(0, 0) + a * (2 - b) * p(1, 0) + (2 - a) * b * p(0, 1) + a * b * p(1, 1);
}

// Outputs pixel by pixel: add8 of grey images saturates at 255 and a covering
// window (past the right and bottom edges) keeps its part unwritten; images of
// different sizes meet in their common part; subtract8 is first minus second,
// clamped at 0, in a 24-bit window, RGBA losing its alpha; a window larger than
// the images keeps its background elsewhere; addconst8 and setvalue8 take their
// options. Colour images get a 24-bit window and scaled pictures a window of
// their size by default. The notes on standard error, and only they, say what
// the tool did unasked.
TEST(ToolRun, OutputsFollowThePixelRules) {
    using In = std::vector<Pixels>;
    const int add[3] = {10, -20, 300};
    const struct Case {
        std::string args;
        int w, h;                  // of the inputs, one per band count in bands
        std::vector<int> bands;
        int ow, oh, obands;        // of the output
        std::function<int(const In &, int, int, int)> want;
        const char *note = "";     // on standard error
        int w2 = 0, h2 = 0;        // of the second input, when it differs
    } cases[] = {
        {"add8 --cover 30,18,10,5", 37, 21, {1, 1}, 37, 21, 1,
         [](const In &in, int x, int y, int) {
             const bool covered = x >= 30 && y >= 18;
             return covered ? 0 : std::min(255, in[0].at(x, y, 0) + in[1].at(x, y, 0));
         }},
        {"add8", 20, 12, {1, 1}, 14, 12, 1,
         [](const In &in, int x, int y, int) { return std::min(255, in[0].at(x, y, 0) + in[1].at(x, y, 0)); },
         "computed on their common part, 14x12 at the top left", 14, 16},
        {"add8 --window 24x20 --background 9", 20, 12, {1, 1}, 24, 20, 1,
         [](const In &in, int x, int y, int) {
             return x < 14 && y < 12 ? std::min(255, in[0].at(x, y, 0) + in[1].at(x, y, 0)) : 9;
         },
         "common part", 14, 16},
        {"subtract8 --depth 24", 19, 9, {4, 3}, 19, 9, 3,
         [](const In &in, int x, int y, int k) { return std::max(0, in[0].at(x, y, k) - in[1].at(x, y, k)); }},
        {"addconst8 --depth 24 --const 10,-20,300", 12, 10, {3}, 12, 10, 3,
         [&add](const In &in, int x, int y, int k) { return std::clamp(in[0].at(x, y, k) + add[k], 0, 255); }},
        {"setvalue8 --depth 24 --window 6x4 --value 127.5,3,250", 0, 0, {}, 6, 4, 3,
         [](const In &, int, int, int k) { return k == 0 ? 128 : k == 1 ? 3 : 250; }},
        {"xorconst8 --depth 24 --const 90", 12, 10, {3}, 12, 10, 3,  // one value for every band
         [](const In &in, int x, int y, int k) { return in[0].at(x, y, k) ^ 90; }},
        // Lookups from named tables; the 16-bit source is made from the PNG
        // over the whole signed range, the table spread over it.
        {"lookup8_8 --depth 24 --lut threshold:100", 16, 16, {3}, 16, 16, 3,
         [](const In &in, int x, int y, int k) { return in[0].at(x, y, k) >= 100 ? 255 : 0; }},
        {"lookup16_8 --lut posterise:4", 16, 16, {1}, 16, 16, 1,
         [](const In &in, int x, int y, int k) { return in[0].at(x, y, k) / 64 * 85; }},
        {"lookup8_8 --lut 7,8,9", 16, 16, {1}, 16, 16, 1,
         [](const In &in, int x, int y, int k) { return 7 + std::min(2, int(in[0].at(x, y, k))); },
         "--lut 7,8,9 has 3 entries: inputs 3 to 255 take the last one"},
        {"transpose8 --flip both", 13, 11, {3}, 13, 11, 3,
         [](const In &in, int x, int y, int k) { return in[0].at(12 - x, 10 - y, k); }},
        {"transpose8 --flip horizontal", 13, 11, {1}, 13, 11, 1,
         [](const In &in, int x, int y, int k) { return in[0].at(12 - x, y, k); }},
        // The window holds the whole zoom, inverted: 2 (n - 1) + 1 pixels
        // each way, the last column and row left alone. The 16-bit mean of
        // v * 257 - 32768 is floored, then looked up at (s + 32768) >> 8.
        {"lookup8_8/scale8bilinear --zoom 2 --lut invert", 16, 12, {1}, 32, 24, 1,
         [](const In &in, int x, int y, int) { return x > 30 || y > 22 ? 0 : 255 - zoom2_sum(in[0], x, y) / 4; }},
        {"lookup16_8/scale16bilinear --zoom 2 --lut invert --background 5", 16, 12, {1}, 32, 24, 1,
         [](const In &in, int x, int y, int) {
             return x > 30 || y > 22 ? 5 : 255 - zoom2_sum(in[0], x, y) * 257 / 1024;
         }},
        // Rescale by the pixel-mapping unit (exact slopes), clamped by the
        // thresholds --clamp makes; 16-bit samples v * 257 - 32768.
        {"rescale8 --scale 2 --offset -10 --clamp 20,200", 16, 16, {1}, 16, 16, 1,
         [](const In &in, int x, int y, int k) { return std::clamp(2 * in[0].at(x, y, k) - 10, 20, 200); }},
        {"rescale16 --scale -0.00390625 --offset 127 --clamp 0,254", 16, 16, {1}, 16, 16, 1,
         [](const In &in, int x, int y, int k) {
             const double v = (in[0].at(x, y, k) * 257 - 32768) * -0.00390625 + 127;
             return std::clamp(static_cast<int>(std::floor(v + 0.5)), 0, 254);
         }},
        {"threshold8 --depth 24 --low 50,0,100 --high 150,255,100 --map 0,7,255", 12, 10, {3}, 12, 10, 3,
         [](const In &in, int x, int y, int k) {
             const int lo[3] = {50, 0, 100}, hi[3] = {150, 255, 100}, mp[3] = {0, 7, 255}, v = in[0].at(x, y, k);
             return v >= lo[k] && v <= hi[k] ? mp[k] : v;
         }},
        // A half turn about the centre (angles in degrees).
        {"rotate8nearest --depth 24 --angle 180 --origin 6,5 --window-origin 6,5", 12, 10, {3}, 12, 10, 3,
         [](const In &in, int x, int y, int k) { return in[0].at(11 - x, 9 - y, k); }},
        // Scaling: window pixel X shows the source at (X + 0.5) / scale, moved
        // by the translation; nothing outside the scaled source is written.
        {"scale8nearest --scale 2", 16, 12, {1}, 32, 24, 1,
         [](const In &in, int x, int y, int k) { return in[0].at(x / 2, y / 2, k); }},
        {"scale8nearest --depth 24 --scale 2,3 --translate 4,3 --window 40x40", 16, 12, {3}, 40, 40, 3,
         [](const In &in, int x, int y, int k) {
             if (x < 4 || x >= 36 || y < 3 || y >= 39) return 0;
             return int(in[0].at(int(std::floor((x + 0.5) / 2 - 2)), int(std::floor((y + 0.5) / 3 - 1)), k));
         }},
        // Identity kernels: the source inside; in the frame the kernel cannot
        // compute, zero fill writes 0 and no write leaves the background.
        {"convolve8 --kernel 3x3:0,0,0,0,1,0,0,0,0 --edge zerofill --background 40", 17, 11, {1}, 17, 11, 1,
         [](const In &in, int x, int y, int k) { return x < 1 || y < 1 || x > 15 || y > 9 ? 0 : in[0].at(x, y, k); }},
        {"convolve8 --kernel 3x3:0,0,0,0,1,0,0,0,0 --background 40", 17, 11, {1}, 17, 11, 1,
         [](const In &in, int x, int y, int k) { return x < 1 || y < 1 || x > 15 || y > 9 ? 40 : in[0].at(x, y, k); }},
        // Grey into a 24-bit window: red alone, or repeated into every band.
        {"copy8 --depth 24", 12, 10, {1}, 12, 10, 3,
         [](const In &in, int x, int y, int k) { return k == 0 ? in[0].at(x, y, 0) : 0; }, "red band only"},
        {"copy8 --bands 3 --background 1,2,3", 12, 10, {1}, 12, 10, 3,
         [](const In &in, int x, int y, int) { return in[0].at(x, y, 0); }},
    };
    TempDir dir;
    int seed = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        In in;
        std::string args = "run " + c.args;
        for (int b : c.bands) {
            const bool second = in.size() == 1 && c.w2;
            in.push_back(pattern(second ? c.w2 : c.w, second ? c.h2 : c.h, b, ++seed));
            const std::string file = dir.file("in") + std::to_string(seed) + ".png";
            ASSERT_TRUE(write_png(file, in.back()));
            args += " " + file;
        }
        const ToolRun r = run_all(args + " -o " + dir.file("o.png"));
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out.find("wren: note: ") != std::string::npos, *c.note != '\0') << r.out;
        EXPECT_NE(r.out.find(c.note), std::string::npos) << r.out;
        const Pixels o = read_png(dir.file("o.png"));
        ASSERT_EQ(o.w, c.ow);
        ASSERT_EQ(o.h, c.oh);
        ASSERT_EQ(o.bands, c.obands);
        for (int y = 0; y < o.h; ++y)
            for (int x = 0; x < o.w; ++x)
                for (int k = 0; k < o.bands; ++k) ASSERT_EQ(o.at(x, y, k), c.want(in, x, y, k)) << x << ", " << y << ", " << k;
    }
}

// The named filters of scale8general sit where the fixed tables do: linear
// draws scale8bilinear's picture and cubic scale8bicubic's (the same a =
// -0.5), within the rounding of their weights; half a pixel off differs by
// far more on this pattern.
TEST(ToolRun, NamedFiltersDrawTheFixedTablesPictures) {
    TempDir dir;
    ASSERT_TRUE(write_png(dir.file("g.png"), pattern(40, 30, 1, 3)));
    const std::string geometry = " --scale 2,0.5 --translate -3,1 --window 70x16 " + dir.file("g.png") + " -o ";
    for (const std::string pair : {"general --filter linear,bilinear", "general --filter cubic,bicubic"}) {
        const std::size_t comma = pair.find(',');
        ASSERT_EQ(run("run scale8" + pair.substr(0, comma) + geometry + dir.file("a.png")).status, 0);
        ASSERT_EQ(run("run scale8" + pair.substr(comma + 1) + geometry + dir.file("b.png")).status, 0);
        const Pixels a = read_png(dir.file("a.png")), b = read_png(dir.file("b.png"));
        ASSERT_EQ(a.v.size(), b.v.size());
        for (size_t i = 0; i < a.v.size(); ++i) ASSERT_LE(std::abs(a.v[i] - b.v[i]), 1) << pair << " sample " << i;
    }
}

// A PNG of a signature, a header claiming w x h with the colour type, and
// pixel data that is not compressed data at all.
void write_lying_png(const std::string &path, std::uint32_t w, std::uint32_t h, int colour_type) {
    auto be32 = [](std::uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
    std::string out("\x89PNG\r\n\x1a\n", 8);
    auto chunk = [&](const std::string &type, const std::string &data) {
        const std::string body = type + data;
        const auto crc = crc32(0, reinterpret_cast<const Bytef *>(body.data()), static_cast<uInt>(body.size()));
        out += be32(static_cast<std::uint32_t>(data.size())) + body + be32(static_cast<std::uint32_t>(crc));
    };
    chunk("IHDR", be32(w) + be32(h) + std::string{8, static_cast<char>(colour_type), 0, 0, 0});
    chunk("IDAT", "garbage, not deflate");
    chunk("IEND", "");
    std::ofstream(path, std::ios::binary) << out;
}

// Every refusal is one line, "wren: ...", with nothing else on stdout or
// stderr: bad use of the command line (status 2), bad input and values,
// options out of range (they say the range), outputs and covers that cannot
// work (refused before anything runs), and declines (status 1). A PNG header
// may claim any size: what the host cannot hold, or what the file is far too
// short to hold, is refused before allocating for it, also under a memory limit
// smaller than the claimed images.
TEST(Tool, RefusalsAreOneErrorLine) {
    TempDir dir;
    ASSERT_TRUE(write_png(dir.file("g.png"), pattern(16, 12, 1, 0)));
    ASSERT_TRUE(write_png(dir.file("g16.png"), pattern(4, 4, 1, 0), true));
    ASSERT_TRUE(write_png(dir.file("c.png"), pattern(16, 12, 3, 0)));
    std::ofstream(dir.file("text.png")) << "not an image at all\n";
    const std::string g = " " + dir.file("g.png"), c3 = " " + dir.file("c.png"), t3 = "run threshold8/threshold8/rescale8 ";
    int lies = 0;
    auto lie = [&](std::uint32_t w, std::uint32_t h, int colour_type) {  // colour type 0 grey, 2 RGB, 6 RGBA
        const std::string file = dir.file("lie") + std::to_string(++lies) + ".png";
        write_lying_png(file, w, h, colour_type);
        return "run copy8 " + file;
    };
    struct Case {
        std::string args;
        int status;
        const char *says;
        std::string prefix = "";  // a memory limit
    };
    std::vector<Case> cases = {
        {"--bogus", 2, "--bogus"},
        {"", 2, "no verb given"},
        {"paths --bogus", 2, "--bogus"},
        {"frobnicate", 2, "frobnicate"},
        {"paths demo", 2, "demo"},
        {"--plugin /nonexistent.so paths", 1, "cannot load the device"},
        {"run add8 " + dir.file("missing.png") + g, 1, "cannot open"},
        {"run copy8 " + dir.file("text.png"), 1, "is not a PNG file"},
        {"run copy8 " + dir.file("g16.png"), 1, ""},
        {"run frobnicate8" + g, 1, "unknown path 'frobnicate8'"},
        {"run add8" + g, 1, "add8 takes 2 images, 1 given"},
        {"run addconst8" + g, 1, "addconst8 needs --const"},
        {"run addconst8 --const 1x" + g, 1, "'1x' is not a number"},
        {"run andconst8 --const 1.5" + g, 1, "1.5 is not a 32-bit integer"},
        {"run addconst8 --const 1,2" + g, 1, "2 values given for 1 band(s)"},
        {"run copy8 --window 0x4" + g, 1, "--window: 0x4 is not within 1x1 to "},
        {"run copy8 --window 5000x5000" + g, 1, "--window: 5000x5000 is not within 1x1 to "},
        {"run copy8 --depth 16" + g, 2, "--depth"},
        {"run copy8 --cover 1,2,3" + g, 1, "needs 4 numbers"},
        {"run copy8 --cover 100000,0,4,4" + g, 1, "--cover: 100000 is not within -32768 to 32767"},
        {"run copy8 --cover 16,0,4,4" + g, 1, "lies wholly outside the 16x12 window"},
        {"run copy8 --cover -4,-4,4,4" + g, 1, "lies wholly outside"},
        {"run copy8 --window 8x8 --cover 0,8,4,4" + g, 1, "lies wholly outside the 8x8 window"},
        {"run copy8 -o \"\"" + g, 1, "-o: the file name is empty"},
        {"run transpose8 --flip sideways" + g, 2, "--flip"},
        {"run lookup8_8/scale8bilinear --zoom 3 --lut invert" + g, 2, "--zoom"},
        {"run lookup8_8 --lut bogus" + g, 1, "--lut: 'bogus' is not invert, gamma:G"},
        {"run lookup8_8 --lut gamma:0" + g, 1, "--lut: 'gamma:0': G is the gamma, a number above 0"},
        {"run lookup8_8 --lut posterise:1" + g, 1, "--lut: 'posterise:1': N is the number of levels, an integer 2 to 256"},
        {"run lookup8_8 --lut file:/nonexistent/t.txt" + g, 1, "--lut: cannot open '/nonexistent/t.txt'"},
        {"run lookup8_8 --lut 1,2,300" + g, 1, "--lut: 300 is not a byte value 0..255"},
        {"run copy8 -o /nonexistent/dir/x.png" + g, 1, "-o: cannot write '/nonexistent/dir/x.png'"},
        {"run copy8 -o " + dir.path + g, 1, "is a directory"},
        {"run copy8 --bogus" + g, 2, "--bogus"},
        {"run copy8 --const 3" + g, 1, "copy8 takes no --const"},
        {"run rotate8nearest --origin 1" + g, 1, "--origin: '1' is not X,Y"},
        {"run alu8" + g + g, 1, "declined by Alu8Wren"},
        // Images and a window of other band counts: what to give instead.
        {"run add8 --depth 24" + g + g, 1, "the image has 1 band, the 24-bit window 3: draw it into an 8-bit window "
                                           "(--depth 8) or repeat it into red, green and blue (--bands 3)"},
        {"run convolve8 --depth 8 --kernel box3" + c3, 1, "the 8-bit window 1: draw it into a 24-bit window "
                                                          "(--depth 24) or make it grey (--bands 1)"},
        {"run add8" + g + c3, 1, "the images have 1 and 3 bands: --bands 1 or --bands 3 gives them the same"},
        {"run rescale8 --depth 24 --scale 2 --offset 0" + g, 1, "rescale maps one band into an 8-bit window"},
        {"run copy8 --bands 2" + g, 2, "--bands"},
        {"run copy8 -p nonsense" + g, 1, "'nonsense' is not NAME=v1,v2,..."},
        {"run copy8 -p =3" + g, 1, "'=3' is not NAME=v1,v2,..."},
        {"run rescale8 -p scale=2" + g, 1, "rescale8 needs --offset"},
        {"run transpose8" + g, 1, "transpose8 needs --flip vertical|horizontal|both"},
        // A parameter used by several operations is given once for each.
        {t3 + "-p low=1 -p high=2 -p map=3 -p scale=2 -p offset=1" + g, 1, "takes --param low=... 2 times"},
        {"run rescale8 --scale 2" + g, 1, "rescale8 needs both --scale and --offset"},
        {"run add8 --scale 2 --offset 0" + g + g, 1, "go with rescale8 or rescale16, not add8"},
        {"run rescale8 --scale 1 --offset 0 --clamp 9" + g, 1, "--clamp: '9' is not LO,HI"},
        {"run addconst8 -p const=1 -p const=2" + g, 1, "addconst8 takes --const once, 2 given"},
        {"run threshold8 -p low=1 -p high=1 -p map=1 -p bogus=1" + g, 1,
         "threshold8 takes no --param bogus (its parameters: low, high, map)"},
        {"run andconst8 --const 4294967296" + g, 1, "is not a 32-bit integer"},
        {"run rotate8nearest -p angle=1,2" + g, 1, "--angle: 2 value(s) given; it takes one number (degrees)"},
        {"run affine8nearest --matrix 1,0,0,1,0" + g, 1, "--matrix: 5 value(s) given; it takes six numbers"},
        {"run convolve8 -p kernel=2,2,1,1,1 -p edge=0" + g, 1, "--kernel: it takes a kernel WxH:v1,...,vn or a name"},
        {"run rescale8 --scale 1 --offset 0 --clamp 1,2 --low 3" + g, 1, "give it or --low/--high/--map"},
        {"run rescale8 --scale 1,2 --offset 0" + g, 1, "--scale: one number, not 2"},
        {"run rescale8 --scale 0.5 --offset 0" + g, 1,
         "declined by Rescale8Wren (parameter): the device computes rescale only for (lo-o)/s, (hi-o)/s in 0..255 "
         "(here 0, 510); the host computes the rest"},
        {"run convolve8 --kernel 3x3:1,2" + g, 1, "--kernel: 2 value(s) given for a 3x3 kernel (9 needed)"},
        {"run convolve8 --kernel bogus" + g, 1, "--kernel: 'bogus' is not WxH:v1,...,vn nor a named kernel"},
        {"run convolve8 --kernel 0x3:1" + g, 1, "--kernel: '0x3' is not a size WxH"},
        {"run convolve8 --kernel box3 --edge wrap" + g, 1,
         "--edge: 'wrap' is not an edge mode: nowrite or zerofill (both convolution paths), extend (the host's own"},
        {"run convolve8 --kernel box3 --edge extend" + g, 1,
         "declined by ConvolveWren (parameter): edge mode 2: the device computes no write (0) and zero fill (1); the "
         "host computes extend (2)"},
        {"run convolve8 --kernel box3x1 --kernel box1x3 --edge extend" + g, 1, "the host computes extend (2)"},
        {"run setvalue8 --value 1" + g, 1, "setvalue8 takes no image, 1 given"},
        {"run scale8nearest --scale 1,2,3" + g, 1, "--scale: '1,2,3' is not SX or SX,SY"},
        {"run scale8nearest --scale 2 --translate 1" + g, 1, "--translate: '1' is not TX,TY"},
        {"run setvalue8 --value 1 --translate 1,1", 1, "--translate moves a source image; none is given"},
        {"run scale8nearest --scale 200" + g, 1, "the scaled picture is 3200x2400, larger than a window can be"},
        {"run copy8 --background 300" + g, 1, "--background: 300 is not a byte value 0..255"},
        {"run copy8 --background 1,2" + g, 1, "--background: 2 values given for the 8-bit window's 1 band(s)"},
        {"run copy8 --background " + dir.file("missing.png") + g, 1, "--background: cannot open"},
        {"run scale8general --scale 2 --filter bogus" + g, 1, "--filter: 'bogus' is not lanczos2"},
        {"run scale8general --scale 2 --filter file:/nonexistent/f" + g, 1, "--filter: cannot open"},
        // Lying headers, last.
        {lie(60000, 60000, 0), 1, "60000x60000, larger than the host's images"},
        {lie(65000, 65000, 6), 1, "65000x65000, larger than the host's images"},  // wraps 32-bit byte counts
        {lie(70000, 4, 0), 1, "larger than the host's images"},
        {lie(4, 70000, 2), 1, "larger than the host's images"},
        {lie(20000, 20000, 0), 1, "claims 20000x20000 pixels but holds"},
        {lie(30000, 30000, 0), 1, "the file is damaged"},
    };
    // The sanitizer's shadow memory needs more address space than any such limit.
#if !defined(__SANITIZE_ADDRESS__)
    for (std::size_t i = cases.size() - lies, n = cases.size(); i < n; ++i)
        cases.push_back({cases[i].args, 1, cases[i].says, "ulimit -v 600000;"});
#endif
    for (const auto &c : cases) {
        SCOPED_TRACE(c.prefix + c.args);
        const ToolRun r = run_all(c.args, c.prefix);
        EXPECT_EQ(r.status, c.status);
        const auto l = lines(r.out);
        ASSERT_EQ(l.size(), 1u) << r.out;
        EXPECT_EQ(l[0].rfind("wren: ", 0), 0u);
        EXPECT_NE(l[0].find(c.says), std::string::npos) << l[0];
    }
    // A declined run leaves no output file behind. A large image that
    // compresses well is read: the bound on damaged files leaves room for the
    // best compression.
    EXPECT_EQ(run("run add8 --depth 24" + g + g + " -o " + dir.file("none.png")).status, 1);
    EXPECT_FALSE(std::filesystem::exists(dir.file("none.png")));
    ASSERT_TRUE(write_png(dir.file("flat.png"), Pixels(2048, 2048, 1)));
    EXPECT_LT(std::filesystem::file_size(dir.file("flat.png")), 16384u);
    EXPECT_EQ(run("run copy8 " + dir.file("flat.png")).status, 0);
}

// The examples of the README (its code blocks' wren lines, and `wren ...`
// spans of three words or more in its text) and of every verb's help (lines
// that start with wren, after any VAR=value; a final backslash continues a
// line): "# ..." is a comment. Each runs as shown and exits 0, in a scratch
// directory holding the images the examples name: a.png, b.png and icon.png
// grey, photo.png colour. Help documents every verb, run's options and
// paths' columns; the tool and the plug-in it loads carry one version.
TEST(Tool, ExamplesRunAsShown) {
    std::vector<std::string> examples;  // each once, in the order found
    auto add = [&](std::string cmd) {
        if (const std::size_t hash = cmd.find(" #"); hash != std::string::npos) cmd.erase(hash);
        while (!cmd.empty() && cmd.back() == ' ') cmd.pop_back();
        if (std::find(examples.begin(), examples.end(), cmd) == examples.end()) examples.push_back(cmd);
    };
    const std::string bin = "build/release/bin/";
    std::ifstream readme(std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "README.md");
    ASSERT_TRUE(readme);
    std::string text;
    bool code = false;
    for (std::string l; std::getline(readme, l);) {
        if (l.rfind("```", 0) == 0) code = !code;
        else if (code && l.rfind(bin + "wren ", 0) == 0) add(l.substr(bin.size()));
        else if (!code) text += l + " ";
    }
    std::size_t from_readme = examples.size();
    for (std::size_t at = 0; (at = text.find("`wren ", at)) != std::string::npos;) {
        const std::size_t end = text.find('`', at + 1);
        const std::string span = text.substr(at + 1, end - at - 1);
        if (std::count(span.begin(), span.end(), ' ') >= 2) add(span);
        at = end + 1;
    }
    EXPECT_GE(examples.size() - from_readme, 2u) << "examples in the README's text";
    from_readme = examples.size();
    const std::vector<std::pair<const char *, std::vector<const char *>>> helps = {
        {"--help", {"paths", "demo", "run", "--plugin", "--version"}},
        {"paths --help", {"operations in the chain, the display included", "not built"}},
        {"demo --help", {}},
        {"run --help", {"Examples (", "--param", "--bands", "--background"}}};
    for (const auto &[help, words] : helps) {
        const ToolRun r = run(help);
        ASSERT_EQ(r.status, 0) << help;
        for (const char *word : words) EXPECT_NE(r.out.find(word), std::string::npos) << help << ": " << word;
        std::string cmd;
        for (std::string l : lines(r.out)) {
            l.erase(0, l.find_first_not_of(' '));
            const std::size_t w = l.find("wren ");
            if (cmd.empty() && (w == std::string::npos || l.substr(0, w).find_first_not_of(
                                     "ABCDEFGHIJKLMNOPQRSTUVWXYZ_=0123456789 ") != std::string::npos))
                continue;
            cmd += l;
            if (!cmd.empty() && cmd.back() == '\\') cmd.back() = ' ';
            else add(std::exchange(cmd, ""));
        }
    }
    EXPECT_GE(examples.size() - from_readme, 10u) << "examples of the help texts the README does not show";
    const auto version = lines(run("--version").out);
    ASSERT_EQ(version.size(), 1u);
    int major = -1, minor = -1, patch = -1;
    char plugin[32] = "";
    EXPECT_EQ(std::sscanf(version[0].c_str(), "wren %d.%d.%d, plug-in %31s", &major, &minor, &patch, plugin), 4) << version[0];
    EXPECT_EQ(std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch), plugin);

    TempDir dir;
    ASSERT_TRUE(write_png(dir.file("a.png"), pattern(64, 48, 1, 1)));
    ASSERT_TRUE(write_png(dir.file("b.png"), pattern(64, 48, 1, 2)));
    ASSERT_TRUE(write_png(dir.file("icon.png"), pattern(16, 12, 1, 3)));
    ASSERT_TRUE(write_png(dir.file("photo.png"), pattern(96, 64, 3, 4)));
    for (const std::string &e : examples) {
        SCOPED_TRACE(e);
        const std::size_t w = e.find("wren ");
        const ToolRun r = run_all(e.substr(w + 5), "cd " + dir.path + " && " + e.substr(0, w));
        EXPECT_EQ(r.status, 0) << r.out;
    }
}

// Each thing is said once: a decline's driver and reason in the tool's error
// line, or in the device's trace when WREN_TRACE is on (the tool then prints
// only what the trace does not say); --trace adds the register accesses.
// Chains of several operations reach the row they were built for.
TEST(ToolRun, TracesSayEachThingOnce) {
    TempDir dir;
    ASSERT_TRUE(write_png(dir.file("g.png"), pattern(9, 7, 1, 0)));
    const std::string g = " " + dir.file("g.png"), out = dir.file("o.png");
    const std::string reason = "(band mask", decline = "run add8 --depth 24" + g + g;
    const std::string add = "run add8" + g + g + " -o " + out;
    const std::string chain = "run threshold8/threshold8/rescale8 -p low=1 -p high=2 -p map=3 -p low=4 -p high=5 -p map=6 "
                              "-p scale=2 -p offset=1" + g;
    const struct {
        const char *env;
        std::string args;
        bool all;  // standard error too
        int status, lines;  // -1: any
        std::vector<std::string> says;
        std::string absent, once;
    } cases[] = {
        {"", decline, true, 1, -1, {"Add8Wren"}, "register access", reason},
        {"", decline + " --trace", true, 1, -1, {"Add8Wren", "register access"}, "", reason},
        {"WREN_TRACE=1", decline, true, 1, -1, {"Add8Wren"}, "register access", reason},
        {"WREN_TRACE=1", decline + " --trace", true, 1, -1, {"Add8Wren", "register access"}, "", reason},
        {"", add, false, 0, -1, {"add8: computed by Add8Wren"}, "", ""},
        {"WREN_TRACE=1", add, false, 0, 1, {"wrote " + out}, "", ""},
        {"WREN_TRACE=1", add, true, 0, -1, {}, "", "computed"},
        {"WREN_TRACE=1", chain, true, -1, -1, {std::string(ZOR_DISPLAY_IO_WREN) + "/threshold8/threshold8/rescale8 Rescale8Wren"}, "", ""},
        {"", "run setvalue8 --window 40x8 --value 3 --trace", false, 0, -1, {"store", "fill_color"}, "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.env) + " " + c.args);
        const ToolRun r = c.all ? run_all(c.args, c.env) : run(c.args, c.env);
        EXPECT_TRUE(c.status < 0 || r.status == c.status) << r.status << "\n" << r.out;
        const auto l = lines(r.out);
        EXPECT_TRUE(c.lines < 0 || static_cast<int>(l.size()) == c.lines) << r.out;
        for (const std::string &w : c.says) EXPECT_NE(r.out.find(w), std::string::npos) << w << "\n" << r.out;
        EXPECT_TRUE(c.absent.empty() || r.out.find(c.absent) == std::string::npos) << r.out;
        EXPECT_TRUE(c.once.empty() || std::count_if(l.begin(), l.end(), [&](const std::string &x) { return x.find(c.once) != std::string::npos; }) == 1) << r.out;
    }
}

}  // namespace tool_test
