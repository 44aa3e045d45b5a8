// Quick zoom: small grids with their values stated, 16-bit extremes reading
// the table's ends, refused arguments writing nothing.


#include "kbuf.h"

namespace {

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

}  // namespace
