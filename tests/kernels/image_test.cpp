// Descriptor routines and the shared tables.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "kl.h"

namespace {

// Whether sample k (0 = first in memory) of an n-band pixel is selected by m.
bool selected(int n, int m, int k) { return (m >> (n - 1 - k)) & 1; }

// The kernels consume a 24-bit pattern one word at a time: the word's enables
// are the low 8 (or 4) bits, then the pattern rotates by 8 (or 4) within 24
// bits. Walking three words (six for 16-bit lanes) this way must enable
// exactly the selected samples.
TEST(Tables, BandPatternsEnableSelectedSamples) {
    // Walks `words` words of `bits` enables each, per_sample enables to a
    // sample; the pattern must come back to itself.
    auto walk = [](int n, int m, uint32_t q0, int words, int bits, int per_sample) {
        uint32_t q = q0;
        for (int w = 0; w < words; ++w) {
            for (int p = 0; p < bits; ++p) {
                const int j = (bits * w + p) / per_sample;
                ASSERT_EQ((q >> (bits - 1 - p)) & 1, selected(n, m, j % n) ? 1u : 0u) << n << " " << m << " " << j;
            }
            q = ((q << bits) & 0xffffff) | (q >> (24 - bits));
        }
        ASSERT_EQ(q, q0);
    };
    for (int n = 1; n <= 4; ++n) {
        for (int m = 0; m < 16; ++m) {
            ASSERT_EQ(kl_masks_8[n][m] >> 24, 0u);
            walk(n, m, kl_masks_8[n][m], 3, 8, 1);    // byte enables, 8-bit samples
            walk(n, m, kl_masks_16b[n][m], 3, 8, 2);  // byte enables, 16-bit samples
            walk(n, m, kl_masks_16[n][m], 6, 4, 1);   // lane enables, 16-bit samples
        }
    }
    EXPECT_EQ(kl_masks_8[0], nullptr);
    EXPECT_EQ(kl_masks_16[0], nullptr);
    EXPECT_EQ(kl_masks_16b[0], nullptr);
    EXPECT_EQ(kl_masks_8[3], kl_band_8_3);
    EXPECT_EQ(kl_masks_16b[2], kl_band_16_2b);
    EXPECT_EQ(kl_masks_16[4], kl_band_16_4);
    // A few values as published.
    EXPECT_EQ(kl_band_8_3[5], 0xdb6db6u);
    EXPECT_EQ(kl_band_16_3b[4], 0x0c30c3u);
    EXPECT_EQ(kl_band_16_3[3], 0xdb6db6u);
    EXPECT_EQ(kl_band_8_4[7], 7 * 0x111111u);
}

TEST(Tables, PlaneMasks) {
    for (int m = 0; m < 16; ++m)
        for (int k = 0; k < 4; ++k) ASSERT_EQ((kl_rgb_masks[m] >> (8 * k)) & 0xff, (m >> k) & 1 ? 0xffu : 0u);
    EXPECT_EQ(kl_rgb_masks[14], 0xffffff00u);
}

TEST(Tables, OffsetOfFirstSelectedSample) {
    for (int n = 1; n <= 4; ++n) {
        for (int m = 0; m < 16; ++m) {
            int want = 0;
            if (m > 0 && m < (1 << n))
                for (int k = n - 1; k >= 0; --k)
                    if (selected(n, m, k)) want = k;
            ASSERT_EQ(kl_offset_8[n][m], want) << n << " " << m;
            ASSERT_EQ(kl_offset_16[n][m], 2 * want) << n << " " << m;
        }
    }
}

TEST(Tables, ExpandRepeatsBits) {
    for (int n = 1; n <= 4; ++n) {
        for (int i = 0; i < 256; ++i) {
            for (int p = 0; p < 32; ++p) {
                const bool want = p < 8 * n && ((i >> (p / n)) & 1);
                ASSERT_EQ((kl_expand_8[n][i] >> p) & 1, want ? 1u : 0u) << n << " " << i << " " << p;
            }
        }
    }
    EXPECT_EQ(kl_expand8_4[3], 0xffu);
}

struct LbCase {
    int type, bands, w, align, lb;
};

TEST(Descriptor, LineBytesAndFields) {
    const LbCase cases[] = {
        {KL_BYTE, 3, 101, 0, 304}, {KL_SHORT, 1, 5, 64, 16}, {KL_BIT, 1, 13, 0, 2},   {KL_BIT, 1, 13, 32, 4},
        {KL_BYTE, 1, 9, 8, 9},     {KL_BYTE, 4, 3, 16, 12},  {KL_SHORT, 3, 3, 0, 20}, {KL_BYTE, 2, 0, 0, 0},
        {KL_BIT, 2, 65, 64, 16},   {KL_SHORT, 4, 1, 32, 8},  {KL_BYTE, 1, 1, 64, 8},
    };
    for (const LbCase &c : cases) {
        kl_image img;
        std::memset(&img, 0x5a, sizeof img);
        unsigned char buf[4];
        ASSERT_EQ(kl_initimage(&img, c.type, c.bands, c.w, 7, buf, c.align), &img);
        EXPECT_EQ(img.lb, c.lb) << c.type << " " << c.bands << " " << c.w << " " << c.align;
        EXPECT_EQ(img.bpp, c.type == KL_BIT ? 0 : c.bands * (c.type == KL_SHORT ? 2 : 1));
        EXPECT_EQ(img.bmask, (1 << c.bands) - 1);
        EXPECT_EQ(img.data, buf);
        EXPECT_EQ(img.fb, 0);
        EXPECT_EQ(img.type, c.type);
        EXPECT_EQ(img.w, c.w);
        EXPECT_EQ(img.h, 7);
        EXPECT_EQ(img.x | img.y | img.padx | img.pady | img.parent, 0);
    }
}

TEST(Descriptor, RejectsBadArguments) {
    kl_image img;
    for (int bands : {0, 5, -1})
        EXPECT_EQ(kl_initimage(&img, KL_BYTE, bands, 4, 4, nullptr, 0), nullptr);
    for (int align : {4, 1, 12, 128, -8})
        EXPECT_EQ(kl_createimage(KL_BYTE, 1, 4, 4, nullptr, align), nullptr);
    EXPECT_EQ(kl_createimage(3, 1, 4, 4, nullptr, 0), nullptr);
    EXPECT_EQ(kl_createimage(KL_BYTE, 1, -1, 4, nullptr, 0), nullptr);
    EXPECT_EQ(kl_createimage(KL_BYTE, 1, 4, -1, nullptr, 0), nullptr);
    EXPECT_EQ(kl_initimage(nullptr, KL_BYTE, 1, 4, 4, nullptr, 0), nullptr);
}

// Pixels made by the library are page aligned (an empty image too has a
// buffer of its own; init with null data allocates); the caller's pixels are
// never taken over, but may be freed through the descriptor.
TEST(Descriptor, OwnedAndBorrowedPixels) {
    kl_image *img = kl_createimage(KL_SHORT, 3, 33, 5, nullptr, 0);
    ASSERT_NE(img, nullptr);
    ASSERT_NE(img->data, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(img->data) % static_cast<uintptr_t>(sysconf(_SC_PAGESIZE)), 0u);
    std::memset(img->data, 1, static_cast<size_t>(img->lb) * 5);  // the whole buffer is ours
    kl_destroyimage(img);
    img = kl_createimage(KL_BYTE, 1, 0, 0, nullptr, 0);
    ASSERT_NE(img, nullptr);
    kl_destroyimage(img);
    kl_destroyimage(nullptr);
    kl_image rec;
    ASSERT_EQ(kl_initimage(&rec, KL_BYTE, 4, 10, 3, nullptr, 64), &rec);
    ASSERT_NE(rec.data, nullptr);
    EXPECT_EQ(rec.lb, 40);
    std::memset(rec.data, 0, 120);
    kl_freeimage(&rec);
    unsigned char *mine = static_cast<unsigned char *>(std::malloc(64));
    img = kl_createimage(KL_BYTE, 1, 8, 8, mine, 0);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->data, mine);
    std::free(img);  // the descriptor only
    ASSERT_EQ(kl_initimage(&rec, KL_BYTE, 2, 4, 8, mine, 0), &rec);
    EXPECT_EQ(rec.data, mine);
    kl_freeimage(&rec);
    kl_freeimage(nullptr);
}

TEST(Descriptor, CopySharesOrAllocates) {
    kl_image *src = kl_createimage(KL_BYTE, 3, 10, 4, nullptr, 0);
    ASSERT_NE(src, nullptr);
    src->x = 3, src->padx = 4, src->bmask = 5;
    const auto fields = [](const kl_image &i) {
        return std::tie(i.fb, i.type, i.bands, i.bmask, i.lb, i.bpp, i.w, i.h, i.x, i.y, i.padx, i.pady);
    };
    for (int alloc : {0, 1}) {
        kl_image *c = kl_copyimage(src, alloc);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(fields(*c), fields(*src)) << alloc;
        EXPECT_EQ(c->data == src->data, !alloc);
        EXPECT_EQ(c->parent != 0, !alloc);  // borrowed: destroying the copy leaves the pixels to src
        if (alloc) std::memset(c->data, 7, static_cast<size_t>(c->lb) * 4);
        kl_destroyimage(c);
    }
    kl_destroyimage(src);
    EXPECT_EQ(kl_copyimage(nullptr, 1), nullptr);
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(Descriptor, AllocationFailureLeavesNothing) {
    // 1 TiB of pixels: the allocator refuses.
    EXPECT_EQ(kl_createimage(KL_BYTE, 4, 1 << 20, 1 << 18, nullptr, 0), nullptr);
    kl_image rec;
    EXPECT_EQ(kl_initimage(&rec, KL_BYTE, 4, 1 << 20, 1 << 18, nullptr, 0), nullptr);
    kl_image big = {};
    big.lb = 1 << 30;
    big.h = 1 << 12;
    EXPECT_EQ(kl_copyimage(&big, 1), nullptr);
}
#endif

}  // namespace
