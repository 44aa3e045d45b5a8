// Pixel-mapping unit: samples fed into the mapping space or the direct views
// come out in the frame buffer through the programmed linear map and clamps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "machine.h"
#include "wca.h"
#include "wren_regs.h"

namespace {

using namespace wren_reg;
using wren_fb::line_bytes8;

struct Map {
    float scale, offset, lo, hi;
};

uint32_t slopeCode(float g) {
    if (g == 0.0f) return 0;
    int e2;
    const float m = std::frexp(std::fabs(g), &e2);  // |g| = m * 2^e2, m in [0.5, 1)
    const int e = e2 - 1;
    const int32_t M = int32_t(std::ldexp(m, 24));   // 24-bit significand with the leading 1
    int mant, ex;
    if (e < 0) {
        mant = M >> (15 - e);
        ex = 0;
    } else if (e <= 19) {
        mant = M >> 15;
        ex = e;
    } else {
        mant = 0x1ff;
        ex = 19;
    }
    if (g < 0) mant = -mant;
    return (uint32_t(mant) << 22 & 0xffc00000u) | uint32_t(ex & 0x1f);
}

// Programs the unit the way the rescale drivers do.
void program(void *regs, const Map &m, bool sixteen) {
    const float xlo = (m.lo - m.offset) / m.scale, xhi = (m.hi - m.offset) / m.scale;
    float x0 = xlo, y0 = m.lo, x1 = xhi, y1 = m.hi;
    if (m.scale < 0) {
        x0 = xhi, y0 = m.hi, x1 = xlo, y1 = m.lo;
    }
    const int16_t X0 = int16_t(int(x0 + 0.5f)), X1 = int16_t(int(x1 + 0.5f));
    float g = 0;
    if (x0 != x1) g = sixteen ? -(y1 - y0) * 256.0f / float(X1 - X0) : -(y1 - y0) / (x1 - x0);
    wren_reg_write(regs, map_slope, slopeCode(g));
    if (sixteen) {
        wren_reg_write(regs, map_out_lo, uint32_t(y0) + 1);
        wren_reg_write(regs, map_out_hi, uint32_t(y1) + 1);
        wren_reg_write(regs, map_in_lo, (uint32_t(int32_t(X0)) << 12) ^ 0x8000000);
        wren_reg_write(regs, map_in_hi, (uint32_t(int32_t(X1)) << 12) ^ 0x8000000);
    } else {
        wren_reg_write(regs, map_out_lo, uint32_t(y0));
        wren_reg_write(regs, map_out_hi, uint32_t(y1));
        wren_reg_write(regs, map_in_lo, uint32_t(262143.0 * x0 / 255.0));
        wren_reg_write(regs, map_in_hi, uint32_t(int(x1 / 255.0 * 268435455.0)) & 0x0ff00000);
    }
    wren_reg_write(regs, fill_color, 0xffffff);
    wren_reg_write(regs, map_aux0, 0);
    wren_reg_write(regs, map_aux1, 0);
    wren_reg_write(regs, raster_mode, wren_val::mode_map);
    wren_reg_write(regs, group_control, wren_val::group_map8);
    wren_reg_write(regs, raster_op, wren_val::rop_copy);
    wren_reg_write(regs, plane_mask_lo, 0xff);
    wren_reg_write(regs, plane_mask_hi, 0);
}

int reference(const Map &m, double s) {
    const double v = std::clamp(s * m.scale + m.offset, double(m.lo), double(m.hi));
    return int(std::floor(v + 0.5));
}

class MappingTest : public ::testing::TestWithParam<int> {  // the mapping mode
protected:
    MappingTest() : m_(opts(GetParam())) { m_.attach(&wren_bus_attach); }
    static wsim::MachineOptions opts(int mode) {
        wsim::MachineOptions o;
        o.width = 256;
        o.height = 64;
        o.map_mode = mode;
        return o;
    }
    void *regs() { return m_.accel().registerBase(); }
    // Feeds samples (x, y) -> s into a locked window as the rescale kernels or copies do.
    void feed8(int x, int y, uint8_t s) { feed(x, y, uint32_t(s) << 20, &s, 1); }
    void feed16(int x, int y, int16_t s) { feed(x, y, (uint32_t(int32_t(s)) << 12) ^ 0x8000000, &s, 2); }
    // The mapping-space word in mode 1, else the sample into the direct view.
    void feed(int x, int y, uint32_t word, const void *s, size_t n) {
        if (GetParam() == 1)
            std::memcpy(m_.accel().mapSpace() + size_t(y) * wren_fb::map_line_bytes + size_t(x) * 8, &word, 4);
        else
            std::memcpy((n == 1 ? m_.accel().view8() : m_.accel().view16()) + size_t(y) * line_bytes8 * n + size_t(x) * n, s, n);
    }
    // The one sample value a direct view cannot show as written.
    bool blind8(int s) const { return GetParam() == 2 && s == wsim::Accelerator::kView8Empty; }
    wsim::Machine m_;
};

TEST_P(MappingTest, EightBitSamplesWithExactSlopes) {
    const Map maps[] = {{2, 0, 0, 255},   {1, 0, 0, 255},      {-1, 255, 0, 255}, {4, -100, 0, 255},
                        {1.25, 0, 20, 200}, {0.5, 10, 10, 130}, {-2, 300, 40, 255}, {1, 0, 77, 77}};
    const int id = m_.screen().createWindow(8, 0, 0, 256, 4);
    wca::Window *w = m_.screen().window(id);
    for (const Map &m : maps) {
        SCOPED_TRACE(::testing::Message() << "scale " << m.scale << " offset " << m.offset << " clamp " << m.lo
                                          << ".." << m.hi);
        wca_win_lock(w->handle());
        program(regs(), m, false);
        for (int s = 0; s < 256; ++s)
            if (!blind8(s)) feed8(s, 1, uint8_t(s));
        wca_win_unlock(w->handle());
        for (int s = 0; s < 256; ++s) {
            if (blind8(s)) continue;
            const int want = reference(m, s);
            const int got = w->frameBuffer()[line_bytes8 + s];
            if (m.scale == 0.5f && s % 2)  // halves: the hardware may round either way
                EXPECT_NEAR(got, want, 1) << s;
            else
                ASSERT_EQ(got, want) << "sample " << s;
        }
        // Rows not fed keep their pixels.
        for (int x = 0; x < 256; ++x) EXPECT_EQ(w->frameBuffer()[line_bytes8 * 2 + x], 0);
    }
    EXPECT_TRUE(m_.accel().faults().empty());
}

TEST_P(MappingTest, SixteenBitSamplesWithinOneStep) {
    const Map maps[] = {{1.0f / 128, 128, 0, 255}, {1.0f / 256, 128, 0, 255}, {-1.0f / 64, 100, 5, 250},
                        {0.01f, 30, 30, 200}};
    const int id = m_.screen().createWindow(8, 0, 8, 256, 16);
    wca::Window *w = m_.screen().window(id);
    std::mt19937 g(3);
    for (const Map &m : maps) {
        SCOPED_TRACE(::testing::Message() << "scale " << m.scale << " offset " << m.offset);
        std::vector<int16_t> samples(256 * 16);
        for (auto &s : samples) {
            s = int16_t(g());
            if (GetParam() == 2 && s == wsim::Accelerator::kView16Empty) s = 0;
        }
        samples[0] = -32768;
        samples[1] = 32767;
        samples[2] = 0;
        wca_win_lock(w->handle());
        program(regs(), m, true);
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 256; ++x) feed16(x, 8 + y, samples[size_t(y) * 256 + x]);
        wca_win_unlock(w->handle());
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 256; ++x) {
                const int16_t s = samples[size_t(y) * 256 + x];
                ASSERT_NEAR(w->frameBuffer()[size_t(8 + y) * line_bytes8 + x], reference(m, s), 1) << "sample " << s;
            }
    }
    EXPECT_TRUE(m_.accel().faults().empty());
}

TEST_P(MappingTest, SamplesWithoutTheMappingModeAreReported) {
    const int id = m_.screen().createWindow(8, 0, 0, 16, 16);
    wca::Window *w = m_.screen().window(id);
    wca_win_lock(w->handle());
    wren_setup(static_cast<unsigned long *>(regs()), 1, 0xff, wren_val::rop_copy);
    feed8(3, 3, 200);
    wca_win_unlock(w->handle());
    EXPECT_EQ(w->frameBuffer()[line_bytes8 * 3 + 3], 0);
    EXPECT_EQ(m_.accel().faults().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Modes, MappingTest, ::testing::Values(1, 2));

}  // namespace
