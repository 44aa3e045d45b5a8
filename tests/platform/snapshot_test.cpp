// PNG snapshots read back with libpng.
#include "snapshot.h"
#include "window_system.h"

#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <tuple>
#include <random>
#include <string>
#include <vector>

namespace {

struct Png {
    int width = 0, height = 0, channels = 0;
    std::vector<std::uint8_t> pixels;
    const std::uint8_t *at(int x, int y) const { return &pixels[(std::size_t(y) * width + x) * channels]; }
};

bool readPng(const std::string &path, Png &out) {
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str()))
        return false;
    out.channels = (img.format & PNG_FORMAT_FLAG_COLOR) ? 3 : 1;
    img.format = out.channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    out.width = int(img.width);
    out.height = int(img.height);
    out.pixels.resize(PNG_IMAGE_SIZE(img));
    const bool ok = png_image_finish_read(&img, nullptr, out.pixels.data(), 0, nullptr) != 0;
    png_image_free(&img);
    return ok;
}

class Snapshot : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/wren_snapshot_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        for (const std::string &f : files_)
            std::remove(f.c_str());
        rmdir(dir_.c_str());
    }
    std::string file(const std::string &name) {
        files_.push_back(dir_ + "/" + name);
        return files_.back();
    }
    // Fills both frame buffers with a position-dependent pattern.
    static void pattern(wca::Screen &s) {
        for (int y = 0; y < s.height(); ++y)
            for (int x = 0; x < s.width(); ++x) {
                s.frameBuffer8()[y * wren_fb::line_bytes8 + x] = std::uint8_t(x * 3 + y);
                std::uint8_t *p = s.frameBuffer24() + y * wren_fb::line_bytes24 + x * 4;
                p[0] = 0x55;  // not shown
                p[1] = std::uint8_t(x);
                p[2] = std::uint8_t(y);
                p[3] = std::uint8_t(x ^ y);
            }
    }
    std::string dir_;
    std::vector<std::string> files_;
};

// The pattern's colour at screen pixel (x, y) of a frame buffer (8-bit as grey).
std::array<std::uint8_t, 3> shown(int depth, int x, int y) {
    const auto g = std::uint8_t(x * 3 + y);
    return depth == 8 ? std::array<std::uint8_t, 3>{g, g, g}
                      : std::array<std::uint8_t, 3>{std::uint8_t(x), std::uint8_t(y), std::uint8_t(x ^ y)};
}

// Windows inside, sticking out on the left/top and on the right/bottom, and
// the whole frame buffers (window 0), grey or RGB, black off screen.
TEST_F(Snapshot, WindowsAndFrameBuffersReadBackWithTheirPixels) {
    wca::Screen s(80, 50);
    pattern(s);
    const struct {
        int depth, x, y, w, h;
        bool window;
    } cases[] = {{8, 5, 6, 20, 10, true},   {24, 5, 6, 20, 10, true}, {24, -3, -2, 10, 8, true},
                 {8, 70, 45, 20, 9, true},  {8, 0, 0, 80, 50, false}, {24, 0, 0, 80, 50, false}};
    int n = 0;
    for (const auto &c : cases) {
        const std::string path = file("w" + std::to_string(n++) + ".png");
        std::string err;
        if (c.window)
            ASSERT_TRUE(wsim::snapshotWindow(s, s.createWindow(c.depth, c.x, c.y, c.w, c.h), path, &err)) << err;
        else
            ASSERT_TRUE(wsim::snapshotFrameBuffer(s, c.depth, path));
        Png png;
        ASSERT_TRUE(readPng(path, png));
        ASSERT_EQ(std::tie(png.width, png.height, png.channels), std::make_tuple(c.w, c.h, c.depth == 8 ? 1 : 3));
        for (int y = 0; y < c.h; ++y)
            for (int x = 0; x < c.w; ++x) {
                const int sx = c.x + x, sy = c.y + y;
                const bool on = sx >= 0 && sy >= 0 && sx < s.width() && sy < s.height();
                for (int k = 0; k < png.channels; ++k)
                    ASSERT_EQ(png.at(x, y)[k], on ? shown(c.depth, sx, sy)[k] : 0) << n << ": " << x << "," << y;
            }
    }
}

// The composed screen shows, at each pixel, the frame buffer of the window on
// top there, black where no window is.
TEST_F(Snapshot, ScreenFollowsTheStack) {
    std::mt19937 rng(99);
    wca::Screen s(60, 40);
    pattern(s);
    for (int i = 0; i < 6; ++i)
        ASSERT_GT(s.createWindow(rng() % 2 ? 8 : 24, int(rng() % 70) - 10, int(rng() % 50) - 10,
                                 1 + int(rng() % 40), 1 + int(rng() % 30)),
                  0);
    s.raiseWindow(s.stack().front()->id());
    const std::string path = file("screen.png");
    ASSERT_TRUE(wsim::snapshotScreen(s, path));
    Png png;
    ASSERT_TRUE(readPng(path, png));
    ASSERT_EQ(std::tie(png.width, png.height, png.channels), std::make_tuple(60, 40, 3));
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 60; ++x) {
            const wca::Window *top = s.windowAt(x, y);
            for (int k = 0; k < 3; ++k)
                ASSERT_EQ(png.at(x, y)[k], top ? shown(top->depth(), x, y)[k] : 0) << x << "," << y;
        }
    EXPECT_EQ(wsim::composeScreen(s), png.pixels);
}

TEST_F(Snapshot, ErrorsAreReportedNotFatal) {
    wca::Screen s(16, 16);
    const int id = s.createWindow(8, 0, 0, 4, 4);
    std::string err;
    const std::string bad = dir_ + "/no/such/dir/w.png";
    EXPECT_FALSE(wsim::snapshotWindow(s, id, bad, &err));
    EXPECT_NE(err.find(bad), std::string::npos);
    EXPECT_FALSE(wsim::snapshotScreen(s, bad, &err));
    EXPECT_FALSE(wsim::snapshotFrameBuffer(s, 24, bad, nullptr));
    EXPECT_FALSE(wsim::snapshotFrameBuffer(s, 16, file("fb16.png"), &err));
    EXPECT_NE(err.find("depth 16"), std::string::npos);
    EXPECT_FALSE(wsim::snapshotWindow(s, id + 100, file("x.png"), &err));
    EXPECT_NE(err.find("unknown window"), std::string::npos);
    EXPECT_NE(access(files_.back().c_str(), F_OK), 0);  // nothing written

    std::uint8_t px[4] = {};
    EXPECT_FALSE(wsim::writePng(file("y.png"), 0, 1, 1, px, 1, &err));
    EXPECT_FALSE(wsim::writePng(file("y.png"), 4, 1, 3, px, 4, &err));  // stride too small
    EXPECT_FALSE(wsim::writePng(file("y.png"), 1, 1, 1, nullptr, 1, &err));
    // A full device: the write error surfaces as a failure.
    if (access("/dev/full", W_OK) == 0) {
        std::vector<std::uint8_t> big(256 * 256 * 3, 7);
        EXPECT_FALSE(wsim::writePng("/dev/full", 256, 256, 3, big.data(), 256 * 3, &err));
        EXPECT_FALSE(err.empty());
    }
}

}  // namespace
