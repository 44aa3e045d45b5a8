// The wren tool as a user runs it.
#include <gtest/gtest.h>

#include <png.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct ToolRun {
    int status;
    std::string out;
};

// Runs the tool with args; keeps stdout, or stderr when errors_only.
ToolRun run(const std::string &args, bool errors_only = false) {
    const std::string cmd = std::string(WREN_TOOL_PATH) + " " + args + (errors_only ? " 2>&1 >/dev/null" : " 2>/dev/null");
    ToolRun r{-1, ""};
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

std::vector<std::string> lines(const std::string &s) {
    std::vector<std::string> v;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
}

TEST(Tool, PathsListsTheRegistrationTableInOrder) {
    const ToolRun r = run("paths");
    ASSERT_EQ(r.status, 0);
    const auto l = lines(r.out);
    ASSERT_EQ(l.size(), 44u);  // header, 42 rows, summary
    struct Expect {
        int row;
        const char *path, *member;
        int count, paths;
    } checks[] = {
        {1, "display_ioQORVwren/add8", "Add8Wren", 2, 1},
        {5, "display_ioQORVwren/affine8bicubic", "Affine8Wren", 2, 3},
        {11, "display_ioQORVwren/convolve8/convolve8", "ConvolveSPWren", 3, 1},
        {22, "display_ioQORVwren/lookup8_8/scale8bilinear", "qdx_Scale8Lookup8_8Wren", 3, 1},
        {26, "display_ioQORVwren/threshold8/threshold8/rescale8", "Rescale8Wren", 4, 3},
        {27, "display_ioQORVwren/convert16_8/threshold16/threshold16/rescale16", "Rescale16Wren", 5, 1},
        {34, "display_ioQORVwren/scale8general", "Scale8Wren", 2, 4},
        {42, "display_ioQORVwren/xorconst8", "XorConst8Wren", 2, 1},
    };
    for (const Expect &e : checks) {
        std::istringstream row(l[e.row]);
        int n, count, paths;
        std::string path, member;
        row >> n >> path >> member >> count >> paths;
        EXPECT_EQ(n, e.row);
        EXPECT_EQ(path, e.path);
        EXPECT_EQ(member, e.member);
        EXPECT_EQ(count, e.count);
        EXPECT_EQ(paths, e.paths);
    }
    for (int i = 1; i <= 42; ++i) {
        std::istringstream row(l[i]);
        int n = 0;
        row >> n;
        EXPECT_EQ(n, i);
    }
    EXPECT_EQ(l[43], "42 paths, 33 member functions");
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

TEST(ToolDemo, RunsEveryPathAndWritesTheScreen) {
    TempDir dir;
    const ToolRun r = run("demo --out " + dir.file("made/here"));
    ASSERT_EQ(r.status, 0);
    int rows = 0, computed = 0;
    for (const std::string &l : lines(r.out)) {
        std::istringstream in(l);
        int n = 0;
        std::string path, window, driver, result;
        if (!(in >> n >> path >> window >> driver >> result) || path == "of") continue;
        ++rows;
        EXPECT_TRUE(result == "computed" || result == "declined") << l;
        computed += result == "computed";
        if (path == "add8" || path == "copy8" || path == "setvalue8") {
            EXPECT_EQ(result, "computed") << l;
        }
        if (result == "declined") {
            EXPECT_GT(l.size(), l.find("declined") + 30) << "no reason: " << l;
        }
    }
    EXPECT_EQ(rows, 42);
    EXPECT_GT(computed, 0);
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
    EXPECT_NE(r.out.find("paths"), std::string::npos);
    EXPECT_NE(r.out.find("demo"), std::string::npos);
    EXPECT_NE(r.out.find("run"), std::string::npos);
    EXPECT_NE(r.out.find("--plugin"), std::string::npos);
}

}  // namespace
