// The wren tool as a user runs it.
#include <gtest/gtest.h>

#include <fstream>

#include "zor_dispatch.h"
#include "../../drivers/wren_outcome.h"
#include "../../frame/wren_paths.h"

#include <png.h>
#include <sys/wait.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include <cstdio>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <vector>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

struct ToolRun {
    int status;
    std::string out;
};

// Runs a shell command line; keeps what it writes to stdout.
ToolRun shell(const std::string &cmd) {
    ToolRun r{-1, ""};
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// Runs the tool with args; keeps stdout, or stderr when errors_only.
ToolRun run(const std::string &args, bool errors_only = false) {
    return shell(std::string(WREN_TOOL_PATH) + " " + args + (errors_only ? " 2>&1 >/dev/null" : " 2>/dev/null"));
}

// Runs the tool with args and an environment prefix; keeps stdout and stderr.
ToolRun run_all(const std::string &env, const std::string &args) {
    return shell(env + " " + WREN_TOOL_PATH + " " + args + " 2>&1");
}

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

std::span<const WrenPath> table() {
    if (!plugin()) return {};
    const auto fn = reinterpret_cast<wren_path_table_fn>(plugin()->symbol("wren_path_table"));
    int n = 0;
    const WrenPath *rows = fn ? fn(&n) : nullptr;
    return rows ? std::span<const WrenPath>(rows, static_cast<std::size_t>(n)) : std::span<const WrenPath>();
}

std::string path_name(const WrenPath &row) {
    std::string s;
    for (int i = 0; i < row.count() - 1; ++i) {
        if (i) s += '/';
        s += row.names[i];
    }
    return s;
}

const char *state_word(const WrenPath &row) {
    return row.state == WREN_PATH_DRAWS ? "draws" : row.state == WREN_PATH_NOT_BUILT ? "not built" : "worker";
}

// The text of a table line under a header column, cut at the next column.
std::string column(const std::string &line, const std::string &header, const char *name, const char *next) {
    const std::size_t at = header.find(name), end = next ? header.find(next) : std::string::npos;
    if (at == std::string::npos || line.size() <= at) return "";
    std::string s = line.substr(at, end == std::string::npos ? std::string::npos : end - at);
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

TEST(Tool, PathsListsThePathTableInOrder) {
    const auto rows = table();
    ASSERT_FALSE(rows.empty());
    const ToolRun r = run("paths");
    ASSERT_EQ(r.status, 0);
    const auto l = lines(r.out);
    // A title, the line saying what ops means, the header, one line per row, a total.
    ASSERT_EQ(l.size(), rows.size() + 4);
    EXPECT_NE(l[1].find("ops: operations in the chain, the display included"), std::string::npos) << l[1];
    const std::string &header = l[2];
    std::size_t draws = 0, members = 0;
    std::set<std::string> seen;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const WrenPath &row = rows[i];
        const std::string &line = l[i + 3];
        SCOPED_TRACE(line);
        EXPECT_EQ(std::stoi(line.substr(0, 3)), static_cast<int>(i + 1));
        EXPECT_EQ(column(line, header, "path", "member"), path_name(row));
        EXPECT_EQ(column(line, header, "member", "ops"), row.member);
        EXPECT_EQ(std::stoi(column(line, header, "ops", "state")), row.count());
        EXPECT_EQ(column(line, header, "state", "takes"), state_word(row));
        EXPECT_EQ(column(line, header, "summary", nullptr), row.summary);
        draws += row.state == WREN_PATH_DRAWS;
        members += seen.insert(row.member).second;
    }
    // What a path takes, in words, for a few rows of each kind of description.
    struct Takes {
        const char *path, *takes;
    } takes[] = {
        {"add8", "2 images"},
        {"addconst8", "1 image, --const"},
        {"setvalue8", "no image, --value"},
        {"lookup8_8", "1 image, --lut"},
        {"convolve8", "1 image, kernel*, edge (1 integer)"},
        {"threshold8/rescale8", "1 image, low, high, map, scale, offset"},
        {"transpose8", "1 image, flip (1 integer)"},
    };
    for (const Takes &t : takes) {
        const auto it = std::find_if(l.begin(), l.end(), [&](const std::string &line) {
            return line.size() > 4 && column(line, header, "path", "member") == t.path;
        });
        ASSERT_NE(it, l.end()) << t.path;
        EXPECT_EQ(column(*it, header, "takes", "summary"), t.takes);
    }
    EXPECT_EQ(l.back().rfind(std::to_string(rows.size()) + " paths: " + std::to_string(draws) + " draw, ", 0), 0u)
        << l.back();
    EXPECT_NE(l.back().find(std::to_string(members) + " member functions"), std::string::npos) << l.back();
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

struct Png {
    int w = 0, h = 0, channels = 0;
    std::vector<uint8_t> v;
    uint8_t at(int x, int y, int k) const { return v[(static_cast<size_t>(y) * w + x) * channels + k]; }
};

// Writes 8-bit grey (1), RGB (3) or RGBA (4) pixels, or 16-bit grey with sixteen.
bool write_png(const std::string &path, int w, int h, int channels, const std::vector<uint8_t> &px,
               bool sixteen = false) {
    png_image img;
    std::memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    img.width = static_cast<png_uint_32>(w);
    img.height = static_cast<png_uint_32>(h);
    img.format = channels == 1 ? PNG_FORMAT_GRAY : channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_RGBA;
    if (sixteen) {
        img.format = PNG_FORMAT_LINEAR_Y;
        std::vector<uint16_t> wide(px.begin(), px.end());
        return png_image_write_to_file(&img, path.c_str(), 0, wide.data(), 0, nullptr);
    }
    return png_image_write_to_file(&img, path.c_str(), 0, px.data(), 0, nullptr);
}

Png read_png(const std::string &path) {
    Png p;
    png_image img;
    std::memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str())) return p;
    p.channels = (img.format & PNG_FORMAT_FLAG_COLOR) ? 3 : 1;
    img.format = p.channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    p.w = static_cast<int>(img.width);
    p.h = static_cast<int>(img.height);
    p.v.resize(PNG_IMAGE_SIZE(img));
    if (!png_image_finish_read(&img, nullptr, p.v.data(), 0, nullptr)) p = Png{};
    return p;
}

std::vector<uint8_t> pattern(int w, int h, int channels, int seed) {
    std::vector<uint8_t> v(static_cast<size_t>(w) * h * channels);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>((i * 37 + seed * 101 + (i / 7) * 13) & 0xff);
    return v;
}

// Paths whose drivers draw get a tile each and compute; paths not built yet
// and workers get none and say why.
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
        std::string path, window, driver, result;
        if (!(in >> n >> path >> window >> driver >> result) || path == "of") continue;
        SCOPED_TRACE(l);
        ASSERT_LT(rows, table_rows.size());
        EXPECT_EQ(n, static_cast<int>(rows + 1));
        const WrenPath &row = table_rows[rows++];
        EXPECT_EQ(path, path_name(row));
        EXPECT_EQ(driver, row.member);
        if (row.state == WREN_PATH_DRAWS) {
            EXPECT_EQ(result, "computed");
            EXPECT_NE(window, "-");
            windows.insert(window);
        } else {
            EXPECT_EQ(result, "skipped");
            EXPECT_EQ(window, "-");
            EXPECT_NE(l.find(row.state == WREN_PATH_WORKER ? "worker: needs a kernel from a thin driver"
                                                          : "not built yet"),
                      std::string::npos);
        }
    }
    EXPECT_EQ(rows, table_rows.size());
    EXPECT_EQ(windows.size(), 4u) << "every window shows a path";
    const Png screen = read_png(dir.file("made/here/screen.png"));
    EXPECT_EQ(screen.w, 1280);
    EXPECT_EQ(screen.h, 1024);
    for (const char *w : {"backdrop.png", "gray.png", "panel.png", "note.png"})
        EXPECT_TRUE(std::filesystem::exists(dir.file("made/here") + "/" + w)) << w;
}

// add8 of two grey images saturates at 255; a covering window keeps its part unwritten.
TEST(ToolRun, AddOfTwoGreyImagesSaturates) {
    TempDir dir;
    const int w = 37, h = 21;
    const auto a = pattern(w, h, 1, 1), b = pattern(w, h, 1, 2);
    ASSERT_TRUE(write_png(dir.file("a.png"), w, h, 1, a));
    ASSERT_TRUE(write_png(dir.file("b.png"), w, h, 1, b));
    const ToolRun r = run("run add8 --cover 10,5,8,6 " + dir.file("a.png") + " " + dir.file("b.png") + " -o " +
                          dir.file("o.png"));
    ASSERT_EQ(r.status, 0) << r.out;
    const Png o = read_png(dir.file("o.png"));
    ASSERT_EQ(o.w, w);
    ASSERT_EQ(o.h, h);
    ASSERT_EQ(o.channels, 1);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool covered = x >= 10 && x < 18 && y >= 5 && y < 11;
            const size_t i = static_cast<size_t>(y) * w + x;
            const int want = covered ? 0 : std::min(255, a[i] + b[i]);
            ASSERT_EQ(o.at(x, y, 0), want) << x << ", " << y;
        }
}

// subtract8 is first minus second, clamped at 0, in a 24-bit window; RGBA loses its alpha.
TEST(ToolRun, SubtractOfColourImages) {
    TempDir dir;
    const int w = 19, h = 9;
    const auto a = pattern(w, h, 4, 3), b = pattern(w, h, 3, 4);
    ASSERT_TRUE(write_png(dir.file("a.png"), w, h, 4, a));
    ASSERT_TRUE(write_png(dir.file("b.png"), w, h, 3, b));
    const ToolRun r = run("run subtract8 --depth 24 " + dir.file("a.png") + " " + dir.file("b.png") + " -o " +
                          dir.file("o.png"));
    ASSERT_EQ(r.status, 0) << r.out;
    const Png o = read_png(dir.file("o.png"));
    ASSERT_EQ(o.channels, 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < 3; ++k) {
                const size_t p = static_cast<size_t>(y) * w + x;
                ASSERT_EQ(o.at(x, y, k), std::max(0, a[p * 4 + k] - b[p * 3 + k])) << x << ", " << y << ", " << k;
            }
}

// copy8 into a larger window writes the image and leaves the rest alone;
// addconst8 and setvalue8 take their parameters from the options.
TEST(ToolRun, CopyConstantAndSetValue) {
    TempDir dir;
    const int w = 12, h = 10;
    const auto a = pattern(w, h, 3, 5);
    ASSERT_TRUE(write_png(dir.file("a.png"), w, h, 3, a));
    ASSERT_EQ(run("run copy8 --depth 24 --window 20x14 " + dir.file("a.png") + " -o " + dir.file("c.png")).status, 0);
    ASSERT_EQ(run("run addconst8 --depth 24 --const 10,-20,300 " + dir.file("a.png") + " -o " + dir.file("k.png")).status, 0);
    ASSERT_EQ(run("run setvalue8 --window 6x4 --value 127.5 -o " + dir.file("s.png")).status, 0);
    const Png c = read_png(dir.file("c.png")), k = read_png(dir.file("k.png")), s = read_png(dir.file("s.png"));
    ASSERT_EQ(c.w, 20);
    ASSERT_EQ(k.w, w);
    ASSERT_EQ(s.w, 6);
    const int add[3] = {10, -20, 300};
    for (int y = 0; y < 14; ++y)
        for (int x = 0; x < 20; ++x)
            for (int b = 0; b < 3; ++b) {
                const bool in = x < w && y < h;
                const size_t i = (static_cast<size_t>(y) * w + x) * 3 + b;
                ASSERT_EQ(c.at(x, y, b), in ? a[i] : 0) << x << ", " << y;
                if (in) {
                    ASSERT_EQ(k.at(x, y, b), std::clamp(a[i] + add[b], 0, 255)) << x << ", " << y;
                }
            }
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x) ASSERT_EQ(s.at(x, y, 0), 128);
}

// Lookups from the tables a person names: 8-bit grey and colour sources, and
// a 16-bit source made from the PNG over the whole signed range.
TEST(ToolRun, LookupsFromNamedTables) {
    TempDir dir;
    const int w = 16, h = 16;
    const auto g = pattern(w, h, 1, 6), c = pattern(w, h, 3, 7);
    ASSERT_TRUE(write_png(dir.file("g.png"), w, h, 1, g));
    ASSERT_TRUE(write_png(dir.file("c.png"), w, h, 3, c));
    {
        std::ofstream f(dir.file("t.txt"));
        for (int i = 0; i < 256; ++i) f << (i ^ 0x55) << (i % 16 == 15 ? "\n" : " ");
    }
    struct Case {
        const char *args;
        const char *image;
        int bands;
        int (*want)(int);
    } cases[] = {
        {"lookup8_8 --lut invert", "g.png", 1, [](int v) { return 255 - v; }},
        {"lookup8_8 --depth 24 --lut threshold:100", "c.png", 3, [](int v) { return v >= 100 ? 255 : 0; }},
        {"lookup8_8 --lut file:", "g.png", 1, [](int v) { return v ^ 0x55; }},
        {"lookup16_8 --lut posterise:4", "g.png", 1, [](int v) { return v / 64 * 85; }},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.args);
        std::string args = k.args;
        if (args.back() == ':') args += dir.file("t.txt");
        const ToolRun r = run("run " + args + " " + dir.file(k.image) + " -o " + dir.file("o.png"));
        ASSERT_EQ(r.status, 0) << r.out;
        const Png o = read_png(dir.file("o.png"));
        const auto &src = k.bands == 1 ? g : c;
        for (int i = 0; i < w * h * k.bands; ++i) ASSERT_EQ(o.at(i / k.bands % w, i / k.bands / w, i % k.bands), k.want(src[i])) << i;
    }
    for (const char *bad : {"--lut bogus", "--lut gamma:0", "--lut file:/nonexistent/t.txt", "--lut 1,2,300"}) {
        const ToolRun r = run(std::string("run lookup8_8 ") + bad + " " + dir.file("g.png"), true);
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(lines(r.out).size(), 1u) << bad << ": " << r.out;
    }
}

TEST(ToolRun, TracePrintsRegisterStores) {
    const ToolRun r = run("run setvalue8 --window 40x8 --value 3 --trace");
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("store"), std::string::npos);
    EXPECT_NE(r.out.find("fill_color"), std::string::npos);
}

TEST(ToolRun, BadInputGivesOneErrorLine) {
    TempDir dir;
    ASSERT_TRUE(write_png(dir.file("g.png"), 4, 4, 1, pattern(4, 4, 1, 0)));
    ASSERT_TRUE(write_png(dir.file("g16.png"), 4, 4, 1, pattern(4, 4, 1, 0), true));
    {
        std::FILE *f = std::fopen(dir.file("text.png").c_str(), "w");
        ASSERT_TRUE(f);
        std::fputs("not an image at all\n", f);
        std::fclose(f);
    }
    const std::string g = dir.file("g.png");
    const std::string bad[] = {
        "run add8 " + dir.file("missing.png") + " " + g,
        "run copy8 " + dir.file("text.png"),
        "run copy8 " + dir.file("g16.png"),
        "run frobnicate8 " + g,
        "run add8 " + g,
        "run addconst8 " + g,
        "run addconst8 --const 1x " + g,
        "run andconst8 --const 1.5 " + g,
        "run addconst8 --const 1,2 " + g,
        "run copy8 --window 0x4 " + g,
        "run copy8 --window 4 " + g,
        "run copy8 --depth 16 " + g,
        "run copy8 --cover 1,2,3 " + g,
        "run copy8 --bogus " + g,
        "run copy8 --const 3 " + g,
        "run affine8nearest " + g,
        "run alu8 " + g + " " + g,
        "run add8 --depth 24 " + g + " " + g,
        "run add8 -p low=1 " + g + " " + g,
        "run copy8 -p nonsense " + g,
        "run copy8 -p =3 " + g,
        "run rescale8 -p scale=2 " + g,
        "run threshold8/rescale8 -p low=1 -p high=2 -p map=x -p scale=1 -p offset=0 " + g,
        "run lookup8_8 " + g,
        "run setvalue8 --value 1 " + g,
    };
    for (const std::string &args : bad) {
        SCOPED_TRACE(args);
        const ToolRun r = run(args, true);
        EXPECT_NE(r.status, 0);
        const auto l = lines(r.out);
        ASSERT_EQ(l.size(), 1u) << r.out;
        EXPECT_EQ(l[0].rfind("wren: ", 0), 0u);
    }
}

TEST(Tool, BadUseGivesOneErrorLineAndFails) {
    const char *bad[] = {"--bogus", "", "paths --bogus", "frobnicate", "paths demo", "--plugin /nonexistent.so paths"};
    for (const char *args : bad) {
        SCOPED_TRACE(args);
        const ToolRun r = run(args, true);
        EXPECT_NE(r.status, 0);
        const auto l = lines(r.out);
        ASSERT_EQ(l.size(), 1u) << r.out;
        EXPECT_EQ(l[0].rfind("wren: ", 0), 0u);
    }
}

TEST(Tool, HelpDocumentsEveryVerb) {
    const ToolRun r = run("--help");
    EXPECT_EQ(r.status, 0);
    for (const char *word : {"paths", "demo", "run", "--plugin", "--version"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

TEST(Tool, VersionAndExamples) {
    const ToolRun v = run("--version");
    EXPECT_EQ(v.status, 0);
    const auto l = lines(v.out);
    ASSERT_EQ(l.size(), 1u) << v.out;
    // The tool and the plug-in it loads carry one version.
    int major = -1, minor = -1, patch = -1;
    char plugin[32] = "";
    EXPECT_EQ(std::sscanf(l[0].c_str(), "wren %d.%d.%d, plug-in %31s", &major, &minor, &patch, plugin), 4) << l[0];
    EXPECT_EQ(std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch), plugin);
    const ToolRun help = run("run --help");
    EXPECT_EQ(help.status, 0);
    for (const char *word : {"Examples:", "wren run add8 ", "--param", "-p low="})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    const ToolRun paths = run("paths --help");
    EXPECT_NE(paths.out.find("operations in the chain, the display included"), std::string::npos);
    EXPECT_NE(paths.out.find("not built"), std::string::npos);
}

// A PNG of a signature, a header claiming w x h with the colour type, and
// pixel data that is not compressed data at all.
void write_lying_png(const std::string &path, std::uint32_t w, std::uint32_t h, int colour_type) {
    std::string out("\x89PNG\r\n\x1a\n", 8);
    auto chunk = [&](const char *type, const std::string &data) {
        auto be32 = [&](std::uint32_t v) {
            for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<char>((v >> s) & 0xff));
        };
        be32(static_cast<std::uint32_t>(data.size()));
        const std::string body = std::string(type, 4) + data;
        out += body;
        be32(static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef *>(body.data()), static_cast<uInt>(body.size()))));
    };
    std::string ihdr;
    for (std::uint32_t v : {w, h})
        for (int s = 24; s >= 0; s -= 8) ihdr.push_back(static_cast<char>((v >> s) & 0xff));
    ihdr += std::string{8, static_cast<char>(colour_type), 0, 0, 0};
    chunk("IHDR", ihdr);
    chunk("IDAT", "garbage, not deflate");
    chunk("IEND", "");
    std::FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    std::fwrite(out.data(), 1, out.size(), f);
    std::fclose(f);
}

// A header may claim any size: the tool refuses what the host cannot hold, or
// what the file is far too short to hold, before allocating for it; also
// under a memory limit smaller than the claimed images.
TEST(ToolRun, HugeImageHeadersAreRefusedBeforeAllocating) {
    TempDir dir;
    struct Case {
        std::uint32_t w, h;
        int colour_type;  // 0 grey, 2 RGB, 6 RGBA
        const char *says;
    } cases[] = {
        {60000, 60000, 0, "60000x60000, larger than the host's images"},
        {65000, 65000, 6, "65000x65000, larger than the host's images"},  // wraps 32-bit byte counts
        {70000, 4, 0, "larger than the host's images"},
        {4, 70000, 2, "larger than the host's images"},
        {20000, 20000, 0, "claims 20000x20000 pixels but holds"},
        {30000, 30000, 0, "the file is damaged"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.says);
        const std::string file = dir.file("lie.png");
        write_lying_png(file, c.w, c.h, c.colour_type);
        std::vector<std::string> limits = {""};
        // The sanitizer's shadow memory needs more address space than any such limit.
        if (!kSanitized) limits.push_back("ulimit -v 600000;");
        for (const std::string &limit : limits) {
            const ToolRun r = shell(limit + std::string(WREN_TOOL_PATH) + " run copy8 " + file + " 2>&1");
            EXPECT_EQ(r.status, 1) << limit << r.out;
            const auto l = lines(r.out);
            ASSERT_EQ(l.size(), 1u) << r.out;
            EXPECT_NE(l[0].find(c.says), std::string::npos) << l[0];
        }
    }
    // A large image that compresses well is read: the bound on damaged files
    // leaves room for the best compression.
    const int side = 2048;
    ASSERT_TRUE(write_png(dir.file("flat.png"), side, side, 1, std::vector<uint8_t>(std::size_t(side) * side, 0)));
    EXPECT_LT(std::filesystem::file_size(dir.file("flat.png")), 16384u);
    EXPECT_EQ(run("run copy8 " + dir.file("flat.png")).status, 0);
}

// Options out of range say the range; outputs and covers that cannot work are
// refused before anything runs, so the error is the only line.
TEST(ToolRun, BadSizesAndOutputsAreRefusedBeforeRunning) {
    TempDir dir;
    ASSERT_TRUE(write_png(dir.file("g.png"), 16, 12, 1, pattern(16, 12, 1, 0)));
    const std::string g = dir.file("g.png");
    struct Case {
        std::string args;
        const char *says;
    } cases[] = {
        {"run copy8 --window 100000x100000 " + g, "--window: 100000x100000 is not within 1x1 to "},
        {"run copy8 --window 99999999999999999999x2 " + g, "is not within 1x1 to "},
        {"run copy8 --window 5000x5000 " + g, "--window: 5000x5000 is not within 1x1 to "},
        {"run copy8 --cover 100000,0,4,4 " + g, "--cover: 100000 is not within -32768 to 32767"},
        {"run copy8 --cover 16,0,4,4 " + g, "lies wholly outside the 16x12 window"},
        {"run copy8 --cover -4,-4,4,4 " + g, "lies wholly outside"},
        {"run copy8 --window 8x8 --cover 0,8,4,4 " + g, "lies wholly outside the 8x8 window"},
        {"run copy8 -o \"\" " + g, "-o: the file name is empty"},
        {"run copy8 -o /nonexistent/dir/x.png " + g, "-o: cannot write '/nonexistent/dir/x.png'"},
        {"run copy8 -o " + dir.path + " " + g, "is a directory"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        const ToolRun r = run_all("", c.args);
        EXPECT_EQ(r.status, 1);
        const auto l = lines(r.out);
        ASSERT_EQ(l.size(), 1u) << r.out;
        EXPECT_EQ(l[0].rfind("wren: ", 0), 0u);
        EXPECT_NE(l[0].find(c.says), std::string::npos) << l[0];
    }
    // A partly covering window is fine; a declined run leaves no output file behind.
    EXPECT_EQ(run("run copy8 --cover 12,8,10,10 " + g).status, 0);
    EXPECT_EQ(run("run add8 --depth 24 " + g + " " + g + " -o " + dir.file("none.png")).status, 1);
    EXPECT_FALSE(std::filesystem::exists(dir.file("none.png")));
}

// A decline says the driver and its reason once: in the tool's error line, or
// in the device's trace when WREN_TRACE is on; --trace still reports.
TEST(ToolRun, DeclinesSayTheReasonOnce) {
    TempDir dir;
    ASSERT_TRUE(write_png(dir.file("g.png"), 9, 7, 1, pattern(9, 7, 1, 0)));
    const std::string g = dir.file("g.png");
    ASSERT_TRUE(plugin());
    const auto reason_name = reinterpret_cast<const char *(*)(int)>(plugin()->symbol("wren_reason_name"));
    ASSERT_TRUE(reason_name);
    const std::string reason = reason_name(WREN_BAND_MASK);
    const std::string declined = "run add8 --depth 24 " + g + " " + g;
    struct Case {
        const char *env, *flags;
        bool registers;
    } cases[] = {
        {"", "", false},
        {"", "--trace", true},
        {"WREN_TRACE=1", "", false},
        {"WREN_TRACE=1", "--trace", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.env) + " " + c.flags);
        const ToolRun r = run_all(c.env, declined + " " + c.flags);
        EXPECT_EQ(r.status, 1);
        int with_reason = 0;
        for (const std::string &l : lines(r.out)) with_reason += l.find("(" + reason) != std::string::npos;
        EXPECT_EQ(with_reason, 1) << r.out;
        EXPECT_NE(r.out.find("Add8Wren"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("register access") != std::string::npos, c.registers) << r.out;
    }
}

// With the device's trace on, the tool prints only what the trace does not say.
TEST(ToolRun, DeviceTraceIsNotRepeated) {
    TempDir dir;
    ASSERT_TRUE(write_png(dir.file("g.png"), 9, 7, 1, pattern(9, 7, 1, 0)));
    const std::string args = "run add8 " + dir.file("g.png") + " " + dir.file("g.png") + " -o " + dir.file("o.png");
    const ToolRun quiet = run(args);
    ASSERT_EQ(quiet.status, 0);
    EXPECT_NE(quiet.out.find("add8: computed by Add8Wren"), std::string::npos) << quiet.out;
    const ToolRun traced = shell("WREN_TRACE=1 " + std::string(WREN_TOOL_PATH) + " " + args + " 2>/dev/null");
    ASSERT_EQ(traced.status, 0);
    const auto l = lines(traced.out);
    ASSERT_EQ(l.size(), 1u) << traced.out;
    EXPECT_EQ(l[0].rfind("wrote " + dir.file("o.png"), 0), 0u) << l[0];
    const ToolRun both = run_all("WREN_TRACE=1", args);
    int computed = 0;
    for (const std::string &line : lines(both.out)) computed += line.find("computed") != std::string::npos;
    EXPECT_EQ(computed, 1) << both.out;
}

// Chains of several operations reach the row they were built for; a
// parameter used by several operations is given once for each.
TEST(ToolRun, ChainsReachTheirRow) {
    TempDir dir;
    ASSERT_TRUE(write_png(dir.file("g.png"), 9, 7, 1, pattern(9, 7, 1, 0)));
    const std::string params = "-p low=1 -p high=2 -p map=3 -p low=4 -p high=5 -p map=6 -p scale=2 -p offset=1 ";
    const ToolRun r = run_all("WREN_TRACE=1", "run threshold8/threshold8/rescale8 " + params + dir.file("g.png"));
    EXPECT_NE(r.out.find(std::string(ZOR_DISPLAY_IO_WREN) + "/threshold8/threshold8/rescale8 Rescale8Wren"),
              std::string::npos)
        << r.out;
    const ToolRun once = run_all("", "run threshold8/threshold8/rescale8 -p low=1 -p high=2 -p map=3 -p scale=2 "
                                     "-p offset=1 " + dir.file("g.png"));
    EXPECT_EQ(once.status, 1);
    EXPECT_NE(once.out.find("takes --param low=... 2 times"), std::string::npos) << once.out;
}

}  // namespace
