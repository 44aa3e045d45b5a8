// The flip kernels and the block transposition helpers against their models:
// every flip type (and unsupported ones), 1-4 bands of 8- and 16-bit samples,
// random band masks, widths 0-400, destination alignments mod 64, sources on
// guard pages on either side with the walk reaching the image's edges,
// canaries around and between destination rows.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "kbuf.h"
#include "kl.h"
#include "ref_transpose.h"

namespace {

struct FlipCase {
    int sb, bands, type;
    int dmask, smask;
    int w, h, da, fb;
    kbuf::Guard side;
};

std::ostream &operator<<(std::ostream &o, const FlipCase &c) {
    return o << "sb " << c.sb << " bands " << c.bands << " type " << c.type << " dmask " << c.dmask << " smask "
             << c.smask << " w " << c.w << " h " << c.h << " dst mod 64 " << c.da << " fb " << c.fb << " guard "
             << (c.side == kbuf::Guard::After ? "after" : "before");
}

// The source is exactly w x h pixels; the kernel gets the pixel that lands on
// the destination's first pixel, so the mirrored walk ends at the image's
// first or last byte, next to the guard page.
void run_flip(const FlipCase &c, std::mt19937 &g) {
    const int type = c.sb == 1 ? KL_BYTE : KL_SHORT;
    const int bpp = c.bands * c.sb;
    const size_t row = static_cast<size_t>(c.w) * bpp;
    kbuf::DstBuf d(row, c.h, c.da, row + g() % 24, g());
    kbuf::GuardImage s(row, c.h, row + g() % 24, c.side, g());
    const std::vector<unsigned char> before = s.bytes();
    kl_image di = d.image(type, c.bands, c.dmask, c.w, c.fb);
    kl_image si = s.image(type, c.bands, c.smask, c.w);
    if (c.w > 0 && c.h > 0) {
        const int sx = c.type == 0 ? 0 : c.w - 1, sy = c.type == 1 ? 0 : c.h - 1;
        si.data = s.row(sy) + static_cast<size_t>(sx) * bpp;
    }
    kl_image de = di;
    de.data = d.exp_data();
    ref::flip(c.sb, de, si, c.type);
    (c.sb == 1 ? kl_transpose_8 : kl_transpose_16)(&di, &si, c.type);
    ASSERT_TRUE(d.check()) << c;
    ASSERT_TRUE(s.bytes() == before) << "source changed: " << c;
}

int pick_mask(std::mt19937 &g, int n) {
    const int full = (1 << n) - 1;
    switch (g() % 3) {
    case 0: return full;
    case 1: return static_cast<int>(g() % (full + 1));
    default: return static_cast<int>(g() % 16);
    }
}

TEST(Transpose, FlipsAgainstTheModel) {
    std::mt19937 g(1601);
    const int types[] = {0, 1, 5, 2, 3, -1};
    for (int sb = 1; sb <= 2; ++sb) {
        for (int bands = 1; bands <= 4; ++bands) {
            for (int type : types) {
                const int reps = type == 0 || type == 1 || type == 5 ? 120 : 6;
                for (int rep = 0; rep < reps; ++rep) {
                    FlipCase c{};
                    c.sb = sb;
                    c.bands = bands;
                    c.type = type;
                    c.dmask = pick_mask(g, bands);
                    c.smask = g() % 2 ? c.dmask : pick_mask(g, bands);
                    c.w = rep < 72 ? rep : static_cast<int>(g() % 401);
                    c.h = g() % 8 == 0 ? 9 : static_cast<int>(g() % 4);
                    c.da = static_cast<int>(g() % 64);
                    c.fb = g() % 4 == 0;
                    c.side = g() % 2 ? kbuf::Guard::After : kbuf::Guard::Before;
                    run_flip(c, g);
                    if (HasFatalFailure()) return;
                }
            }
        }
    }
}

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

// ---- Block transposition ---------------------------------------------------

// Rows of count samples of sb bytes, each alone on guard pages (on the side
// chosen), each at its own alignment mod 8.
struct GuardRows {
    std::vector<std::unique_ptr<kbuf::GuardBuf>> bufs;
    std::vector<unsigned char *> rows;
    GuardRows(int n, int count, int sb, kbuf::Guard side, std::mt19937 &g) {
        for (int r = 0; r < n; ++r) {
            const size_t bytes = static_cast<size_t>(count) * sb;
            // Before: the row starts at the page start plus an offset, so
            // its alignment varies; After: the padding varies instead.
            const size_t pad = (g() % 8) & ~static_cast<size_t>(sb - 1);
            bufs.push_back(std::make_unique<kbuf::GuardBuf>(bytes + pad, side));
            kbuf::fill_random(bufs.back()->data(), bytes + pad, g());
            rows.push_back(bufs.back()->data() + (side == kbuf::Guard::Before ? pad : 0));
        }
    }
};

TEST(Transpose, BlockInAgainstPlainTranspose) {
    std::mt19937 g(88);
    for (int sb = 1; sb <= 2; ++sb) {
        const int maxrows = sb == 1 ? 8 : 4;
        for (int nrows = 1; nrows <= maxrows + 1; ++nrows) {
            for (int rep = 0; rep < 60; ++rep) {
                const int count = rep < 40 ? rep + 1 : 1 + static_cast<int>(g() % 400);
                const auto side = rep % 2 ? kbuf::Guard::After : kbuf::Guard::Before;
                GuardRows in(nrows, count, sb, side, g);
                std::vector<uint64_t> block(static_cast<size_t>(count) + 2, 0x5a5a5a5a5a5a5a5aull);
                std::vector<uint64_t> want;
                if (sb == 1) {
                    std::vector<const unsigned char *> rows(in.rows.begin(), in.rows.end());
                    want = ref::block_8(rows, count);
                    transpose_in_8(rows.data(), block.data() + 1, count, nrows);
                } else {
                    std::vector<const int16_t *> rows;
                    for (unsigned char *p : in.rows) rows.push_back(reinterpret_cast<const int16_t *>(p));
                    want = ref::block_16(rows, count);
                    transpose_in_16(rows.data(), block.data() + 1, count, nrows);
                }
                SCOPED_TRACE(testing::Message() << "sb " << sb << " nrows " << nrows << " count " << count);
                ASSERT_EQ(block.front(), 0x5a5a5a5a5a5a5a5aull);
                ASSERT_EQ(block.back(), 0x5a5a5a5a5a5a5a5aull);
                ASSERT_EQ(std::vector<uint64_t>(block.begin() + 1, block.end() - 1), want);
            }
        }
    }
}

TEST(Transpose, BlockOutAgainstPlainTranspose) {
    std::mt19937 g(89);
    for (int sb = 1; sb <= 2; ++sb) {
        const int maxrows = sb == 1 ? 8 : 4;
        for (int nrows = 1; nrows <= maxrows + 1; ++nrows) {
            for (int rep = 0; rep < 60; ++rep) {
                const int count = rep < 40 ? rep + 1 : 1 + static_cast<int>(g() % 400);
                std::vector<uint64_t> block(static_cast<size_t>(count));
                kbuf::fill_random(reinterpret_cast<unsigned char *>(block.data()), block.size() * 8, g());
                std::vector<std::unique_ptr<kbuf::DstBuf>> out;
                std::vector<unsigned char *> rows;
                for (int r = 0; r < maxrows; ++r) {
                    const size_t bytes = static_cast<size_t>(count) * sb;
                    out.push_back(std::make_unique<kbuf::DstBuf>(bytes, 1, static_cast<int>(g() % 64) & ~(sb - 1),
                                                                 bytes, g()));
                    rows.push_back(out.back()->data());
                    if (r < nrows)
                        for (int i = 0; i < count; ++i)
                            for (int b = 0; b < sb; ++b)
                                out.back()->exp_data()[i * sb + b] =
                                    static_cast<unsigned char>(block[static_cast<size_t>(i)] >> (8 * (r * sb + b)));
                }
                if (sb == 1) {
                    transpose_out_8(block.data(), rows.data(), count, nrows);
                } else {
                    std::vector<int16_t *> r16;
                    for (unsigned char *p : rows) r16.push_back(reinterpret_cast<int16_t *>(p));
                    transpose_out_16(block.data(), r16.data(), count, nrows);
                }
                for (int r = 0; r < maxrows; ++r)
                    ASSERT_TRUE(out[static_cast<size_t>(r)]->check())
                        << "sb " << sb << " nrows " << nrows << " count " << count << " row " << r;
            }
        }
    }
}

// In then out gives the rows back; a 4x4 block lands word by word at the stride.
TEST(Transpose, RoundTripAndFourByFour) {
    std::mt19937 g(90);
    for (int count : {1, 7, 8, 9, 64, 333}) {
        std::vector<std::vector<unsigned char>> rows(8, std::vector<unsigned char>(static_cast<size_t>(count)));
        std::vector<const unsigned char *> in;
        for (auto &r : rows) {
            kbuf::fill_random(r.data(), r.size(), g());
            in.push_back(r.data());
        }
        std::vector<uint64_t> block(static_cast<size_t>(count));
        transpose_in_8(in.data(), block.data(), count, 8);
        std::vector<std::vector<unsigned char>> back(8, std::vector<unsigned char>(static_cast<size_t>(count)));
        std::vector<unsigned char *> outp;
        for (auto &r : back) outp.push_back(r.data());
        transpose_out_8(block.data(), outp.data(), count, 8);
        EXPECT_EQ(back, rows) << count;
    }
    for (int stride : {1, 2, 3}) {
        uint64_t w[4];
        kbuf::fill_random(reinterpret_cast<unsigned char *>(w), sizeof w, static_cast<uint32_t>(stride));
        kbuf::DstBuf d(static_cast<size_t>(32 * stride), 1, 8, static_cast<size_t>(32 * stride), 5);
        for (int c = 0; c < 4; ++c)
            for (int r = 0; r < 4; ++r)
                for (int b = 0; b < 2; ++b)
                    d.exp_data()[8 * c * stride + 2 * r + b] = static_cast<unsigned char>(w[r] >> (16 * c + 8 * b));
        transpose16_4x4(w[0], w[1], w[2], w[3], d.data(), stride);
        EXPECT_TRUE(d.check()) << "stride " << stride;
    }
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
