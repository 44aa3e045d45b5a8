// Flips: refused descriptors write nothing; the block helpers do nothing for
// empty counts.
#include <gtest/gtest.h>

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
