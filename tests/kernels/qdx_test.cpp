// The quick-zoom kernels against the scalar model of the bilinear grid:
// 2x and 4x, every phase, with and without a lookup, 8- and 16-bit sources
// (extremes -32768 and 32767 included), the even and odd 2x variants called
// directly, widths up to 300, destination alignments mod 64 with canaries,
// sources of exactly the pixels a rectangle needs on guard pages.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "kbuf.h"
#include "kl.h"
#include "ref_qdx.h"

namespace {

using Plain = void (*)(kl_image *, kl_image *, int, int, void *);
using Lut = void (*)(kl_image *, kl_image *, const unsigned char *, int, int, void *);

struct Form {
    const char *name;
    int f, sb;
    Plain plain;
    Lut lut;
    bool moved;  // takes the 16-bit table's base moved to the entry for 0
};

const Form forms[] = {
    {"klqdx_scale2x_8", 2, 1, klqdx_scale2x_8, nullptr, false},
    {"klqdx_scale2x_8_0", 2, 1, klqdx_scale2x_8_0, nullptr, false},
    {"klqdx_scale2x_8_1", 2, 1, klqdx_scale2x_8_1, nullptr, false},
    {"klqdx_scale4x_8", 4, 1, klqdx_scale4x_8, nullptr, false},
    {"klqdx_scale2x_8_lookup_8_8", 2, 1, nullptr, klqdx_scale2x_8_lookup_8_8, false},
    {"kl_scale_2x_bilinear_8_1_lookup_8_8_1_E", 2, 1, nullptr, kl_scale_2x_bilinear_8_1_lookup_8_8_1_E, false},
    {"kl_scale_2x_bilinear_8_1_lookup_8_8_1_O", 2, 1, nullptr, kl_scale_2x_bilinear_8_1_lookup_8_8_1_O, false},
    {"klqdx_scale4x_8_lookup_8_8", 4, 1, nullptr, klqdx_scale4x_8_lookup_8_8, false},
    {"klqdx_scale2x_16_lookup_16_8", 2, 2, nullptr, klqdx_scale2x_16_lookup_16_8, false},
    {"kl_scale_2x_bilinear_16_1_lookup_16_8_1_E", 2, 2, nullptr, kl_scale_2x_bilinear_16_1_lookup_16_8_1_E, true},
    {"kl_scale_2x_bilinear_16_1_lookup_16_8_1_O", 2, 2, nullptr, kl_scale_2x_bilinear_16_1_lookup_16_8_1_O, true},
    {"klqdx_scale4x_16_lookup_16_8", 4, 2, nullptr, klqdx_scale4x_16_lookup_16_8, false},
};

int ceil_div(int n, int d) { return (n + d - 1) / d; }

// Fills a 16-bit source with random samples, a quarter of them at the extremes.
void extremes(unsigned char *p, size_t n, std::mt19937 &g) {
    for (size_t i = 0; i + 1 < n; i += 2) {
        const int16_t v = g() % 4 == 0 ? (g() % 2 ? int16_t{-32768} : int16_t{32767}) : static_cast<int16_t>(g());
        std::memcpy(p + i, &v, 2);
    }
}

void run(const Form &fm, int xphase, int yphase, int w, int h, int dbands, int dmask, int sbands, int smask,
         kbuf::Guard side, std::mt19937 &g) {
    const int f = fm.f;
    const int cols = ceil_div(xphase + w - 1, f) + 1, rows = ceil_div(yphase + h - 1, f) + 1;
    const size_t srow = static_cast<size_t>(cols) * sbands * fm.sb;
    kbuf::GuardImage s(srow, rows, srow + (g() % 8) * fm.sb, side, g());
    if (fm.sb == 2) extremes(s.data(), s.size(), g);
    kl_image si = s.image(fm.sb == 1 ? KL_BYTE : KL_SHORT, sbands, smask, cols);
    const size_t drow = static_cast<size_t>(w) * dbands;
    kbuf::DstBuf d(drow, h, static_cast<int>(g() % 64), drow + g() % 16, g());
    kl_image di = d.image(KL_BYTE, dbands, dmask, w, 1);
    kl_image de = di;
    de.data = d.exp_data();
    std::vector<unsigned char> table(fm.sb == 1 ? 256 : 65536);
    kbuf::fill_random(table.data(), table.size(), g());
    std::vector<uint64_t> line(static_cast<size_t>(w) * (f == 4 && fm.lut ? 2 : 1));
    kbuf::fill_random(reinterpret_cast<unsigned char *>(line.data()), line.size() * 8, g());
    const std::vector<unsigned char> before = s.bytes();
    ref::zoom(f, de, si, fm.lut ? table.data() : nullptr, xphase, yphase);
    if (fm.plain) {
        fm.plain(&si, &di, xphase, yphase, line.data());
    } else {
        fm.lut(&si, &di, fm.moved ? table.data() + 32768 : table.data(), xphase, yphase, line.data());
    }
    ASSERT_TRUE(d.check()) << fm.name << " phase " << xphase << "," << yphase << " w " << w << " h " << h
                           << " dst bands " << dbands << " mask " << dmask << " src bands " << sbands << " mask "
                           << smask;
    ASSERT_TRUE(s.bytes() == before);
}

TEST(QuickZoom, EveryPhaseAgainstTheGrid) {
    std::mt19937 g(1612);
    for (const Form &fm : forms) {
        for (int yphase = 0; yphase < fm.f; ++yphase) {
            for (int xphase = 0; xphase < fm.f; ++xphase) {
                for (int rep = 0; rep < 24; ++rep) {
                    const int w = rep < 16 ? rep + 1 : 1 + static_cast<int>(g() % 300);
                    const int h = 1 + static_cast<int>(g() % 10);
                    const auto side = rep % 2 ? kbuf::Guard::After : kbuf::Guard::Before;
                    // Mostly one band each side; sometimes one sample of a wider pixel.
                    int dbands = 1, dmask = 1, sbands = 1, smask = 1;
                    if (rep % 5 == 4) {
                        dbands = 4;
                        dmask = 1 << (g() % 3);
                        sbands = 1 + static_cast<int>(g() % 4);
                        smask = 1 << (g() % sbands);
                    }
                    run(fm, xphase, yphase, w, h, dbands, dmask, sbands, smask, side, g);
                    if (HasFatalFailure()) return;
                }
            }
        }
    }
}

// A 2x zoom of [[10, 20], [30, 50]] is the grid of truncating averages; the
// 4x centre is the average of the four neighbours.
TEST(QuickZoom, SmallGrids) {
    unsigned char src[4] = {10, 20, 30, 50};
    kl_image s = kbuf::make_image(KL_BYTE, 1, 1, src, 2, 2, 2);
    unsigned char out[9] = {};
    kl_image d = kbuf::make_image(KL_BYTE, 1, 1, out, 3, 3, 3);
    uint64_t line[3];
    klqdx_scale2x_8(&s, &d, 0, 0, line);
    const unsigned char want[9] = {10, 15, 20, 20, 27, 35, 30, 40, 50};
    EXPECT_EQ(std::vector<unsigned char>(out, out + 9), std::vector<unsigned char>(want, want + 9));
    // A rectangle starting at zoomed column 1 begins between columns 0 and 1.
    kl_image d1 = kbuf::make_image(KL_BYTE, 1, 1, out, 3, 2, 1);
    klqdx_scale2x_8(&s, &d1, 1, 0, line);
    EXPECT_EQ(out[0], 15);
    EXPECT_EQ(out[1], 20);
    unsigned char c = 0;
    kl_image dc = kbuf::make_image(KL_BYTE, 1, 1, &c, 1, 1, 1);
    klqdx_scale4x_8(&s, &dc, 2, 2, line);
    EXPECT_EQ(c, (10 + 20 + 30 + 50) / 4);
}

// The 16-bit lookup reads entry value + 32768: -32768 reads the first entry,
// 32767 the last, also between two extreme samples.
TEST(QuickZoom, SixteenBitExtremesReadTheTableEnds) {
    std::vector<unsigned char> table(65536, 7);
    table.front() = 1;
    table.back() = 2;
    table[32768 - 1] = 3;  // -1: the mean of -32768 and 32767, rounded down
    int16_t src[4] = {-32768, 32767, -32768, 32767};
    kl_image s = kbuf::make_image(KL_SHORT, 1, 1, src, 4, 2, 2);
    unsigned char out[3] = {};
    kl_image d = kbuf::make_image(KL_BYTE, 1, 1, out, 3, 3, 1);
    uint64_t line[6];
    klqdx_scale2x_16_lookup_16_8(&s, &d, table.data(), 0, 0, line);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[1], 3);
    EXPECT_EQ(out[2], 2);
    kl_image d4 = kbuf::make_image(KL_BYTE, 1, 1, out, 3, 1, 1);
    int16_t hi[4] = {32767, 32767, 32767, 32767};
    kl_image s4 = kbuf::make_image(KL_SHORT, 1, 1, hi, 4, 2, 2);
    klqdx_scale4x_16_lookup_16_8(&s4, &d4, table.data(), 3, 3, line);
    EXPECT_EQ(out[0], 2);
}

// Unusable arguments write nothing.
TEST(QuickZoom, RefusedArgumentsWriteNothing) {
    kbuf::DstBuf d(16, 2, 5, 16, 3);
    kbuf::GuardImage s(16, 4, 16, kbuf::Guard::After, 4);
    uint64_t line[32];
    unsigned char table[256] = {};
    kl_image di = d.image(KL_BYTE, 1, 1, 8);
    kl_image si = s.image(KL_BYTE, 1, 1, 8);
    kl_image s16 = s.image(KL_SHORT, 1, 1, 8);
    klqdx_scale2x_8(&si, &di, 2, 0, line);        // phase out of range
    klqdx_scale4x_8(&si, &di, 0, -1, line);
    klqdx_scale2x_8(&s16, &di, 0, 0, line);       // wrong sample type
    klqdx_scale2x_8(&si, &di, 0, 0, nullptr);     // no line buffer
    klqdx_scale4x_8_lookup_8_8(&si, &di, nullptr, 0, 0, line);
    klqdx_scale2x_16_lookup_16_8(&si, &di, table, 0, 0, line);
    kl_image none = si;
    none.bmask = 0;
    klqdx_scale2x_8(&none, &di, 0, 0, line);
    klqdx_scale2x_8(nullptr, &di, 0, 0, line);
    EXPECT_TRUE(d.check());
}

}  // namespace
