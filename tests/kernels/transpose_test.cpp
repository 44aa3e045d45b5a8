// Flips: refused descriptors write nothing, a half turn twice gives the
// rectangle back with each pixel's bytes in order; the block helpers do
// nothing for empty counts.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "kbuf.h"
#include "kl.h"

namespace {

// Mismatched descriptors write nothing.
TEST(Transpose, RefusedArgumentsWriteNothing) {
    kbuf::DstBuf d(64, 4, 3, 64, 1);
    kbuf::GuardImage s(64, 4, 64, kbuf::Guard::After, 2);
    struct Bad {
        const char *what;
        int dtype, stype, dbands, sbands, dmask, smask;
    } const cases[] = {
        {"types differ", KL_BYTE, KL_SHORT, 2, 2, 3, 3},
        {"band counts differ", KL_BYTE, KL_BYTE, 4, 3, 7, 7},
        {"masks do not meet", KL_BYTE, KL_BYTE, 4, 4, 0xc, 0x3},
        {"five bands", KL_BYTE, KL_BYTE, 5, 5, 15, 15},
    };
    for (const Bad &b : cases) {
        for (int type : {0, 1, 5}) {
            SCOPED_TRACE(b.what);
            kl_image di = kbuf::make_image(b.dtype, b.dbands, b.dmask, d.data(), d.lb(), 8, 4);
            kl_image si = kbuf::make_image(b.stype, b.sbands, b.smask, s.row(3) + 63, s.lb(), 8, 4);
            kl_transpose_8(&di, &si, type);
            kl_transpose_16(&di, &si, type);
            EXPECT_TRUE(d.check());
        }
    }
    kl_transpose_8(nullptr, nullptr, 0);
    kl_transpose_16(nullptr, nullptr, 5);
}

// Turning a rectangle by 180 degrees twice gives it back; a mirror of a
// 3-byte-per-pixel row keeps each pixel's bytes in order.
TEST(Transpose, HalfTurnTwiceAndPixelOrder) {
    std::mt19937 g(7);
    const int w = 37, h = 5;
    std::vector<unsigned char> a(static_cast<size_t>(w) * 3 * h), b(a.size()), c(a.size());
    kbuf::fill_random(a.data(), a.size(), 9);
    const int lb = w * 3;
    kl_image ka = kbuf::make_image(KL_BYTE, 3, 7, a.data() + (h - 1) * lb + (w - 1) * 3, lb, w, h);
    kl_image kb = kbuf::make_image(KL_BYTE, 3, 7, b.data(), lb, w, h);
    kl_transpose_8(&kb, &ka, 5);
    kl_image kb2 = kbuf::make_image(KL_BYTE, 3, 7, b.data() + (h - 1) * lb + (w - 1) * 3, lb, w, h);
    kl_image kc = kbuf::make_image(KL_BYTE, 3, 7, c.data(), lb, w, h);
    kl_transpose_8(&kc, &kb2, 5);
    EXPECT_EQ(a, c);
    for (int i = 0; i < w; ++i)
        for (int k = 0; k < 3; ++k) EXPECT_EQ(b[static_cast<size_t>(i) * 3 + k], a[(h - 1) * lb + (w - 1 - i) * 3 + k]);
}

TEST(Transpose, BlockHelpersRefuseEmptyCounts) {
    std::vector<uint64_t> block(4, 7);
    unsigned char row[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const unsigned char *in[1] = {row};
    unsigned char *out[1] = {row};
    transpose_in_8(in, block.data(), 0, 1);
    transpose_in_8(in, block.data(), 4, 0);
    transpose_out_8(block.data(), out, -1, 1);
    EXPECT_EQ(block, std::vector<uint64_t>(4, 7));
    EXPECT_EQ(row[0], 1);
}

}  // namespace
