// The simulated accelerator: the register seam, processor writes into locked
// windows under the plane mask, and PNG snapshots read back with libpng.
#include "machine.h"
#include "snapshot.h"
#include "wca.h"
#include "wren_fill.h"

#include <gtest/gtest.h>
#include <png.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace wren_reg;

// Without a hook (or with one lacking its functions) registers are plain
// memory; with one, the simulator's trace (FillTest.SetupWritesTheRasterStateOfEachGroup).
TEST(SimBus, PlainMemoryWithoutAHook) {
    wren_bus_attach(nullptr);
    void *mem = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    wren_reg_write(mem, fill_color, 0x12345678);
    EXPECT_EQ(*reinterpret_cast<uint32_t *>(static_cast<char *>(mem) + fill_color), 0x12345678u);
    EXPECT_EQ(wren_reg_read(mem, fill_color), 0x12345678u);
    munmap(mem, span);

    std::vector<uint8_t> fb8(wren_fb::line_bytes8 * 8), fb24(wren_fb::line_bytes24 * 8);
    wsim::Accelerator a(fb8.data(), fb24.data(), 16, 8);
    wren_bus incomplete{&a, nullptr, nullptr};  // no functions: same as detaching
    wren_bus_attach(&incomplete);
    EXPECT_EQ(wren_bus_active, nullptr);
    // A plug-in that bypasses the seam faults instead of scribbling.
    volatile uint32_t *p = reinterpret_cast<volatile uint32_t *>(static_cast<char *>(a.registerBase()) + status);
    EXPECT_DEATH((void)*p, "");
}

class PlaneMaskTest : public ::testing::Test {
protected:
    PlaneMaskTest() : m_({.width = 320, .height = 120}) {
        m_.attach(&wren_bus_attach);
        std::mt19937 g(11);
        for (size_t i = 0; i < m_.screen().frameBuffer8Size(); ++i) m_.screen().frameBuffer8()[i] = uint8_t(g());
        for (size_t i = 0; i < m_.screen().frameBuffer24Size(); ++i) m_.screen().frameBuffer24()[i] = uint8_t(g());
    }
    ~PlaneMaskTest() override { m_.detach(); }
    unsigned long *regs() { return static_cast<unsigned long *>(m_.accel().registerBase()); }
    std::vector<uint8_t> fb(int depth) {
        auto &s = m_.screen();
        return depth == 8 ? std::vector<uint8_t>(s.frameBuffer8(), s.frameBuffer8() + s.frameBuffer8Size())
                          : std::vector<uint8_t>(s.frameBuffer24(), s.frameBuffer24() + s.frameBuffer24Size());
    }
    wsim::Machine m_;
};

// Random processor writes into a locked window keep the bytes the effective
// plane mask of the raster set-up protects. (Windows with nothing on screen:
// DriverPlans.EmptyHiddenAndUnclippable locks, sets up and unlocks them.)
TEST_F(PlaneMaskTest, ProtectedBytesKeepTheirValue) {
    std::mt19937 g(5);
    const struct {
        int depth, groups;
        uint32_t mask, effective;
    } cases[] = {{8, 1, 0xff, 0xff},           {8, 1, 0x0f, 0x0f},           {8, 1, 0, 0},
                 {24, 7, 0x00ff00ff, 0xff00ff}, {24, 7, 0xffffffff, 0xffffff}, {24, 8, 0xff, 0xff000000},
                 {24, 15, 0x12ff00f0, 0x12ff00f0}, {24, 15, 0xffffffff, 0xffffffff}, {8, 15, 0x5a, 0x5a}};
    for (auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "depth " << c.depth << " groups " << c.groups << " mask " << std::hex << c.mask);
        const int id = m_.screen().createWindow(c.depth, 30, 20, 150, 60);
        wca::Window *w = m_.screen().window(id);
        std::vector<uint8_t> want = fb(c.depth);
        ASSERT_EQ(wca_win_lock(w->handle()), WCA_OK);
        ASSERT_EQ(wren_setup(regs(), c.groups, c.mask, wren_val::rop_copy), 0);
        const int bpp = w->pixelBytes(), lb = w->lineBytes();
        for (int n = 0; n < 4000; ++n) {  // some bytes twice
            const int x = 30 + int(g() % 150), y = 20 + int(g() % 60), k = int(g() % bpp);
            const size_t at = size_t(y) * lb + size_t(x) * bpp + k;
            const uint8_t v = uint8_t(g()), m = uint8_t(c.depth == 8 ? c.effective : c.effective >> (24 - 8 * k));
            w->frameBuffer()[at] = v;
            want[at] = uint8_t((v & m) | (want[at] & ~m));
        }
        ASSERT_EQ(wca_win_unlock(w->handle()), WCA_OK);
        EXPECT_TRUE(fb(c.depth) == want);
        ASSERT_TRUE(m_.screen().destroyWindow(id));
    }
    EXPECT_TRUE(m_.accel().faults().empty());
}

// Each write passes the mask in effect when it was made (a nested lock ends
// the writes only at the outermost unlock); the accelerator's own fills are
// not undone by a mask that blocks processor writes.
TEST_F(PlaneMaskTest, WritesUseTheMaskOfTheirTimeAndFillsAreNotUndone) {
    const int id = m_.screen().createWindow(24, 0, 0, 64, 8);
    wca::Window *w = m_.screen().window(id);
    uint8_t *px = w->frameBuffer() + wren_fb::line_bytes24 * 3 + 4 * 5;  // pixel (5, 3)
    uint8_t old[4];
    std::memcpy(old, px, 4);
    wca_win_lock(w->handle());
    wca_win_lock(w->handle());
    wren_setup(regs(), 7, 0x00ff0000, wren_val::rop_copy);
    std::memset(px, 0x11, 4);
    wren_setup(regs(), 7, 0x000000ff, wren_val::rop_copy);
    std::memset(px, 0x22, 4);
    wca_win_unlock(w->handle());
    EXPECT_EQ(px[3], 0x22);  // still locked: nothing merged yet for the current mask
    wca_win_unlock(w->handle());
    const uint8_t want[4] = {old[0], 0x11, old[2], 0x22};
    EXPECT_EQ(std::memcmp(px, want, 4), 0) << int(px[0]) << " " << int(px[1]) << " " << int(px[2]) << " " << int(px[3]);

    const int id8 = m_.screen().createWindow(8, 10, 10, 100, 50);
    wca::Window *w8 = m_.screen().window(id8);
    wca_win_lock(w8->handle());
    ASSERT_EQ(wren_setup(regs(), 1, 0x00, wren_val::rop_copy), 0);  // processor writes blocked
    uint8_t *row = w8->frameBuffer() + wren_fb::line_bytes8 * 12;
    std::memset(row + 20, 0x99, 10);
    long credit = 100;
    wren_reg_write(regs(), group_control, wren_val::group_fill8);
    wren_reg_write(regs(), raster_mode, wren_val::mode_fill);
    wren_reg_write(regs(), plane_mask_lo, 0xff);  // the fill's own mask (the high byte stays 0)
    wren_reg_write(regs(), fill_color, 0x42);
    rectangle_fill(regs(), &credit, 40, 12, 5, 1);
    wca_win_unlock(w8->handle());
    for (int x = 20; x < 30; ++x) EXPECT_NE(row[x], 0x99) << x;  // made under mask 0
    for (int x = 40; x < 45; ++x) EXPECT_EQ(row[x], 0x42) << x;
    EXPECT_TRUE(m_.accel().faults().empty());
}

// The pixel-mapping unit, fed through the mapping space (mode 1) or the
// direct views (mode 2) with 8- and 16-bit samples, maps them into the 8-bit
// frame buffer: y = y0 + (field - f0) * -g / 256, clamped, rounded to nearest.
TEST(PixelMapping, BothFeedsOfBothSampleSizesGiveTheProgrammedMap) {
    for (int mode : {1, 2})
        for (bool wide : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "mode " << mode << (wide ? " 16" : " 8") << "-bit");
            wsim::Machine m({.width = 256, .height = 4, .map_mode = mode});
            m.attach(&wren_bus_attach);
            wsim::Accelerator &a = m.accel();
            wca::Window *w = m.screen().window(m.screen().createWindow(8, 0, 0, 256, 4));
            void *r = a.registerBase();
            wca_win_lock(w->handle());
            // 8-bit: g = -3 * 2^-2, y = 0.75 s; 16-bit: g = -1, y = (s + 32768) / 256.
            wren_reg_write(r, map_slope, wide ? (0xffffffffu << 22 | 8) : (uint32_t(-3) << 22 | 6));
            wren_reg_write(r, map_out_lo, wide ? 1 : 0);
            wren_reg_write(r, map_out_hi, wide ? 256 : 255);
            wren_reg_write(r, map_in_lo, wide ? 0xf0000000u : 0);
            wren_reg_write(r, raster_mode, wren_val::mode_map);
            wren_reg_write(r, group_control, wren_val::group_map8);
            wren_reg_write(r, raster_op, wren_val::rop_copy);
            std::vector<int> want(256, 0);
            for (int x = 0; x < 256; ++x) {
                const int16_t s16 = int16_t(x * 257 - 32768 + (x % 3) * 85), s8 = int16_t(x);
                if (mode == 2 && (wide ? s16 == wsim::Accelerator::kView16Empty : s8 == wsim::Accelerator::kView8Empty)) continue;
                const uint32_t word = wide ? (uint32_t(int32_t(s16)) << 12) ^ 0x8000000 : uint32_t(s8) << 20;
                if (mode == 1) std::memcpy(a.mapSpace() + wren_fb::map_line_bytes + size_t(x) * 8, &word, 4);
                else if (wide) std::memcpy(a.view16() + wren_fb::view16_line_bytes + size_t(x) * 2, &s16, 2);
                else a.view8()[wren_fb::line_bytes8 + x] = uint8_t(s8);
                want[x] = wide ? std::min(255, int(std::floor((s16 + 32768) / 256.0 + 0.5))) : int(std::floor(0.75 * s8 + 0.5));
            }
            wca_win_unlock(w->handle());
            m.detach();
            for (int x = 0; x < 256; ++x) ASSERT_EQ(w->frameBuffer()[wren_fb::line_bytes8 + x], want[x]) << "sample " << x;
        }
}

struct Png {
    int width = 0, height = 0, channels = 0;
    std::vector<std::uint8_t> pixels;
    const std::uint8_t *at(int x, int y) const { return &pixels[(std::size_t(y) * width + x) * channels]; }
};

bool readPng(const std::string &path, Png &out) {
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str())) return false;
    out.channels = (img.format & PNG_FORMAT_FLAG_COLOR) ? 3 : 1;
    img.format = out.channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    out.width = int(img.width);
    out.height = int(img.height);
    out.pixels.resize(PNG_IMAGE_SIZE(img));
    const bool ok = png_image_finish_read(&img, nullptr, out.pixels.data(), 0, nullptr) != 0;
    png_image_free(&img);
    return ok;
}

// Windows inside and sticking out on every side, the whole frame buffers
// (window 0) and the composed screen (window -1: at each pixel the frame
// buffer of the window on top there), grey or RGB, black where nothing is.
TEST(Snapshot, WindowsFrameBuffersAndScreenReadBackWithTheirPixels) {
    wca::Screen s(80, 50);
    for (int y = 0; y < s.height(); ++y)
        for (int x = 0; x < s.width(); ++x) {
            s.frameBuffer8()[y * wren_fb::line_bytes8 + x] = std::uint8_t(x * 3 + y);
            std::uint8_t *p = s.frameBuffer24() + y * wren_fb::line_bytes24 + x * 4;
            p[0] = 0x55;  // not shown
            p[1] = std::uint8_t(x), p[2] = std::uint8_t(y), p[3] = std::uint8_t(x ^ y);
        }
    auto shown = [](int depth, int x, int y) {
        const auto g = std::uint8_t(x * 3 + y);
        return depth == 8 ? std::array<std::uint8_t, 3>{g, g, g}
                          : std::array<std::uint8_t, 3>{std::uint8_t(x), std::uint8_t(y), std::uint8_t(x ^ y)};
    };
    char tmpl[] = "/tmp/wren_snapshot_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string path = std::string(tmpl) + "/s.png";
    const struct {
        int depth, x, y, w, h, window;
    } cases[] = {{8, 5, 6, 20, 10, 1},  {24, 5, 6, 20, 10, 1}, {24, -3, -2, 10, 8, 1}, {8, 70, 45, 20, 9, 1},
                 {8, 0, 0, 80, 50, 0},  {24, 0, 0, 80, 50, 0}, {24, 40, 20, 30, 25, -1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.depth << " " << c.x << "," << c.y << " window " << c.window);
        std::string err;
        const int id = c.window ? s.createWindow(c.depth, c.x, c.y, c.w, c.h) : 0;
        if (c.window < 0) s.raiseWindow(s.stack().front()->id());
        ASSERT_TRUE(c.window > 0 ? wsim::snapshotWindow(s, id, path, &err)
                    : c.window   ? wsim::snapshotScreen(s, path, &err)
                                 : wsim::snapshotFrameBuffer(s, c.depth, path, &err)) << err;
        Png png;
        ASSERT_TRUE(readPng(path, png));
        const bool screen = c.window < 0;
        ASSERT_EQ(std::tie(png.width, png.height, png.channels),
                  screen ? std::make_tuple(80, 50, 3) : std::make_tuple(c.w, c.h, c.depth == 8 ? 1 : 3));
        for (int y = 0; y < png.height; ++y)
            for (int x = 0; x < png.width; ++x) {
                const int sx = screen ? x : c.x + x, sy = screen ? y : c.y + y;
                const wca::Window *top = s.windowAt(sx, sy);
                const bool on = screen ? top != nullptr : sx >= 0 && sy >= 0 && sx < s.width() && sy < s.height();
                const int depth = screen && top ? top->depth() : c.depth;
                for (int k = 0; k < png.channels; ++k)
                    ASSERT_EQ(png.at(x, y)[k], on ? shown(depth, sx, sy)[k] : 0) << x << "," << y << " channel " << k;
            }
    }
    std::remove(path.c_str());
    rmdir(tmpl);
}

}  // namespace
