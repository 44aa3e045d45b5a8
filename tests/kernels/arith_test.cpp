// Arithmetic, logic and threshold kernels: worked values that pin the
// per-sample rules the models restate (saturation, signed 16-bit, constants
// far outside the byte range, the fixed-point multiply, closed threshold
// intervals), and the calls they refuse, which write nothing.

#include <functional>

#include "kbuf.h"

namespace {

using Two = void (*)(int, kl_image *, kl_image *, kl_image *);
using Konst = void (*)(int, kl_image *, kl_image *, short *);

// One-sample images: the kernel's result for a and b (abs when fn is null).
template <class T> int one(Two fn, int a, int b) {
    const int type = sizeof(T) == 2 ? KL_SHORT : KL_BYTE;
    T sa = static_cast<T>(a), sb = static_cast<T>(b), d = static_cast<T>(0x5a5a);
    kl_image ia = kbuf::make_image(type, 1, 1, &sa, sizeof(T), 1, 1);
    kl_image ib = kbuf::make_image(type, 1, 1, &sb, sizeof(T), 1, 1);
    kl_image id = kbuf::make_image(type, 1, 1, &d, sizeof(T), 1, 1);
    if (fn) fn(1, &id, &ia, &ib);
    else kl_abs_16(1, &id, &ia);
    return d;
}

int onek(Konst fn, int a, short k) {
    unsigned char s = static_cast<unsigned char>(a), d = 0x5a;
    kl_image is = kbuf::make_image(KL_BYTE, 1, 1, &s, 1, 1, 1), id = kbuf::make_image(KL_BYTE, 1, 1, &d, 1, 1, 1);
    short c[4] = {k, 0, 0, 0};
    fn(1, &id, &is, c);
    return d;
}

TEST(Arith, WorkedValues) {
    // The 8-bit rules: PathSummaries.FormulasHoldOnEverySample, through the drivers.
    const struct { Two fn; int a, b, want; } v16[] = {
        {kl_add_16, 30000, 30000, 32767},  {kl_add_16, -30000, -30000, -32768}, {kl_sub_16, -30000, 30000, -32768},
        {kl_sub_16, 5, 7, -2},             {kl_mpy_16, -32768, -32768, 32767},  {kl_mpy_16, 300, -300, -32768},
        {kl_mpy_16, -181, 181, -32761},    {kl_max_16, -7, -9, -7},             {kl_min_16, -7, -9, -9},
        {kl_xor_16, -1, 0x1234, ~0x1234},  {nullptr, -32768, 0, 32767},         {nullptr, -5, 0, 5},
        {nullptr, 32767, 0, 32767},        {nullptr, -32767, 0, 32767}};
    for (const auto &c : v16) EXPECT_EQ(one<int16_t>(c.fn, c.a, c.b), c.want) << c.a << " " << c.b;

    EXPECT_EQ(onek(kl_andk_8, 0xff, -7), 0);
    EXPECT_EQ(onek(kl_andk_8, 0xa5, 300), 0xa5);
    EXPECT_EQ(onek(kl_ork_8, 0x01, 300), 0xff);
    EXPECT_EQ(onek(kl_xork_8, 0x0f, 255), 0xf0);
    EXPECT_EQ(onek(kl_addk_8, 100, -101), 0);
    EXPECT_EQ(onek(kl_ksub_8, 100, 30), 0);
    EXPECT_EQ(onek(kl_ksub_8, 30, 100), 70);
    // Constants far outside the byte range still saturate the right way.
    EXPECT_EQ(onek(kl_addk_8, 100, 4096), 255);
    EXPECT_EQ(onek(kl_subk_8, 100, -32768), 255);
    EXPECT_EQ(onek(kl_ksub_8, 0, 32767), 255);

    // Multiply by constant: -1 becomes 0 in the caller's array as well.
    unsigned char s[3] = {10, 20, 30}, d[3] = {1, 2, 3};
    kl_image is = kbuf::make_image(KL_BYTE, 3, 7, s, 3, 1, 1), id = kbuf::make_image(KL_BYTE, 3, 7, d, 3, 1, 1);
    short c[4] = {-1, 3 << 9, 1 << 14, 77};
    kl_mpyk_8(7, &id, &is, c, 9, 1);
    EXPECT_EQ(c[0], 0);
    EXPECT_EQ(c[3], 77);  // past the pixel's bands: left alone
    EXPECT_EQ(std::vector<int>(d, d + 3), (std::vector<int>{0, 60, 255}));
    // 1.5 at shift 14: 7 x 1.5 = 10.5 rounds to 11, or truncates to 10.
    short h[4] = {24576, 0, 0, 0};
    kl_image i1 = kbuf::make_image(KL_BYTE, 1, 1, s, 1, 1, 1), o1 = kbuf::make_image(KL_BYTE, 1, 1, d, 1, 1, 1);
    s[0] = 7;
    kl_mpyk_8(1, &o1, &i1, h, 14, 1);
    EXPECT_EQ(d[0], 11);
    kl_mpyk_8(1, &o1, &i1, h, 14, 0);
    EXPECT_EQ(d[0], 10);
    EXPECT_EQ(kl_s16_to_kl_f32(-2), 0xfffe0000u);
    EXPECT_EQ(kl_s16_to_kl_f32(5), 0x00050000u);
}

// Calls the kernels refuse write nothing. Arithmetic: band counts outside
// 1..4 or that disagree, no source or constants, an empty area or mask,
// 16-bit destinations off their sample boundaries, a 16-bit kernel on 8-bit
// pixel sizes, a shift outside 0..15. Lookups: an empty area, a band count
// outside 1-4, a destination smaller than the source, a wrong sample type or
// source band count, missing tables. Flips (every type, both sample sizes):
// mismatched types, band counts or masks. Quick zoom: phases out of range, a
// wrong sample type, no line buffer or table, no band. Affine: a layout
// outside the kernel's row, no table or row offsets, an unknown filter.
TEST(Kernels, RefusedCallsWriteNothing) {
    struct Bad {
        const char *what;
        int type, dbands, sbands, w, h, align, lb_extra;
        std::function<void(kl_image *, kl_image *)> call;
    };
    short k[4] = {1, 2, 3, 4}, neg[4] = {-5, 0, 0, 0};
    static unsigned char table[65536 * 4] = {};
    static unsigned char *tabs[4] = {table, table, table, table};
    static uint64_t line[64];
    static const int ro[8] = {0, 48, 96, 144, 192, 240, 288, 336};
    static void *const bl = kl_affine_create_bilinear();
    // Both flips of every type, from the source's last byte (a mirrored walk stays inside).
    const auto flips = [](kl_image *d, kl_image *s) {
        s->data += static_cast<ptrdiff_t>(s->h) * s->lb - 1;
        for (int type : {0, 1, 5}) {
            kl_transpose_8(d, s, type);
            kl_transpose_16(d, s, type);
        }
    };
    const Bad bad[] = {
        {"dst 5 bands", KL_BYTE, 5, 5, 4, 2, 0, 0, [](kl_image *d, kl_image *s) { kl_add_8(15, d, s, s); }},
        {"dst 0 bands", KL_SHORT, 0, 2, 4, 2, 0, 0, [](kl_image *d, kl_image *s) { kl_max_16(15, d, s, s); }},
        {"bands differ", KL_SHORT, 3, 2, 4, 2, 0, 0, [](kl_image *d, kl_image *s) { kl_abs_16(15, d, s); }},
        {"bands differ k", KL_BYTE, 3, 2, 4, 2, 0, 0, [&](kl_image *d, kl_image *s) { kl_addk_8(15, d, s, k); }},
        {"no src2", KL_BYTE, 1, 1, 4, 2, 0, 0, [](kl_image *d, kl_image *s) { kl_add_8(15, d, s, nullptr); }},
        {"no constants", KL_SHORT, 1, 1, 4, 2, 0, 0, [](kl_image *d, kl_image *s) { kl_subk_16(15, d, s, nullptr); }},
        {"h -1", KL_BYTE, 1, 1, 4, -1, 0, 0, [](kl_image *d, kl_image *s) { kl_add_8(15, d, s, s); }},
        {"w -3", KL_BYTE, 1, 1, -3, 2, 0, 0, [](kl_image *d, kl_image *s) { kl_max_8(15, d, s, s); }},
        {"mask past bands", KL_BYTE, 3, 3, 4, 2, 0, 0, [](kl_image *d, kl_image *s) { kl_add_8(0x30, d, s, s); }},
        {"16-bit odd address", KL_SHORT, 1, 1, 9, 3, 3, 0, [](kl_image *d, kl_image *s) { kl_add_16(15, d, s, s); }},
        {"16-bit odd abs", KL_SHORT, 1, 1, 9, 3, 3, 0, [](kl_image *d, kl_image *s) { kl_abs_16(15, d, s); }},
        {"16-bit odd pitch", KL_SHORT, 1, 1, 9, 3, 2, 1, [](kl_image *d, kl_image *s) { kl_max_16(15, d, s, s); }},
        {"16-bit on bytes", KL_BYTE, 1, 1, 18, 3, 0, 0, [](kl_image *d, kl_image *s) { kl_add_16(15, d, s, s); }},
        {"shift 16", KL_BYTE, 1, 1, 9, 1, 0, 0, [&](kl_image *d, kl_image *s) { kl_mpyk_8(1, d, s, neg, 16, 1); }},
        {"lookup w 0", KL_BYTE, 1, 1, 0, 3, 0, 0, [](kl_image *d, kl_image *s) { kl_lookup8_8(15, d, s, table); }},
        {"lookup h 0", KL_BYTE, 1, 1, 5, 0, 0, 0, [](kl_image *d, kl_image *s) { kl_lookup8_8(15, d, s, table); }},
        {"lookup 0 bands", KL_BYTE, 0, 1, 5, 2, 0, 0, [](kl_image *d, kl_image *s) { kl_lookup8_8(15, d, s, table); }},
        {"lookup 5 bands", KL_BYTE, 5, 1, 5, 2, 0, 0, [](kl_image *d, kl_image *s) { kl_lookup8_8(15, d, s, table); }},
        {"lookup, narrow dst", KL_BYTE, 1, 1, 9, 2, 0, 0, [](kl_image *d, kl_image *s) {
             d->w = 8;
             kl_lookup8_8(15, d, s, table);
         }},
        {"lookup, short dst", KL_BYTE, 4, 1, 9, 3, 0, 0, [](kl_image *d, kl_image *s) {
             d->h = 2;
             kl_lookup8_8(15, d, s, table);
         }},
        {"lookup, 16-bit src", KL_BYTE, 1, 1, 9, 2, 0, 0, [](kl_image *d, kl_image *s) {
             s->type = KL_SHORT;
             kl_lookup8_8(15, d, s, table);
         }},
        {"lookup, 3-band src", KL_BYTE, 4, 3, 9, 2, 0, 0, [](kl_image *d, kl_image *s) { kl_mlookup8_8(15, d, s, tabs); }},
        {"lookup, no tables", KL_BYTE, 4, 4, 9, 2, 0, 0, [](kl_image *d, kl_image *s) { kl_mlookup8_8(15, d, s, nullptr); }},
        {"flip, types differ", KL_BYTE, 2, 2, 8, 4, 3, 0, [&](kl_image *d, kl_image *s) {
             s->type = KL_SHORT, d->bmask = s->bmask = 3;
             flips(d, s);
         }},
        {"flip, band counts differ", KL_BYTE, 4, 3, 8, 4, 3, 0, [&](kl_image *d, kl_image *s) {
             d->bmask = s->bmask = 7;
             flips(d, s);
         }},
        {"flip, masks do not meet", KL_BYTE, 4, 4, 8, 4, 3, 0, [&](kl_image *d, kl_image *s) {
             d->bmask = 0xc, s->bmask = 0x3;
             flips(d, s);
         }},
        {"flip, five bands", KL_BYTE, 5, 5, 8, 4, 3, 0, flips},
        {"flip, no images", KL_BYTE, 1, 1, 8, 4, 3, 0, [](kl_image *, kl_image *) {
             kl_transpose_8(nullptr, nullptr, 0);
             kl_transpose_16(nullptr, nullptr, 5);
         }},
        {"zoom, phases", KL_BYTE, 1, 1, 8, 2, 5, 0, [](kl_image *d, kl_image *s) {
             klqdx_scale2x_8(s, d, 2, 0, line);
             klqdx_scale4x_8(s, d, 0, -1, line);
         }},
        {"zoom, 16-bit for 8", KL_BYTE, 1, 1, 8, 2, 5, 0, [](kl_image *d, kl_image *s) {
             s->type = KL_SHORT;
             klqdx_scale2x_8(s, d, 0, 0, line);
         }},
        {"zoom, 8-bit for 16", KL_BYTE, 1, 1, 8, 2, 5, 0, [](kl_image *d, kl_image *s) {
             klqdx_scale2x_16_lookup_16_8(s, d, table, 0, 0, line);
         }},
        {"zoom, nothing to use", KL_BYTE, 1, 1, 8, 2, 5, 0, [](kl_image *d, kl_image *s) {
             klqdx_scale2x_8(s, d, 0, 0, nullptr);
             klqdx_scale4x_8_lookup_8_8(s, d, nullptr, 0, 0, line);
             klqdx_scale2x_8(nullptr, d, 0, 0, line);
             s->bmask = 0;
             klqdx_scale2x_8(s, d, 0, 0, line);
         }},
        {"affine 3 -> 4 at 2 mod 8", KL_BYTE, 4, 3, 16, 4, 2, 2, [](kl_image *d, kl_image *s) {
             d->bmask = s->bmask = 7;
             kl_affine_nn_8_3_4(d, s, const_cast<int *>(ro), 1, 0, 0, 1, 0, 0);
             kl_affine_bl_8_3_4(d, s, const_cast<int *>(ro), bl, 1, 0, 0, 1, 0, 0);
         }},
        {"affine, no table, no rows, 3 bands, lanczos", KL_BYTE, 1, 1, 48, 4, 2, 2, [](kl_image *d, kl_image *s) {
             d->bmask = s->bmask = 1;
             kl_affine_bl_8_1_1(d, s, const_cast<int *>(ro), nullptr, 1, 0, 0, 1, 0, 0);
             kl_affine_nn_8_1_1(d, s, nullptr, 1, 0, 0, 1, 0, 0);
             kl_affine_nn_8_3_3(d, s, const_cast<int *>(ro), 1, 0, 0, 1, 0, 0);
             kl_affine(d, s, "lanczos", const_cast<int *>(ro), bl, 1, 0, 0, 1, 0, 0);
         }},
    };
    for (const Bad &b : bad) {
        const int sb = b.type == KL_SHORT ? 2 : 1, w = b.w > 0 ? b.w : 4, h = b.h > 0 ? b.h : 2;
        const size_t row = static_cast<size_t>(w) * std::max(b.dbands, 1) * sb;
        kbuf::DstBuf d(row, h, b.align, row + b.lb_extra, 3);
        kbuf::GuardImage s(static_cast<size_t>(w) * b.sbands * sb, h, static_cast<size_t>(w) * b.sbands * sb,
                           kbuf::Guard::After, 4);
        kl_image di = d.image(b.type, b.dbands, 15, b.w), si = s.image(b.type, b.sbands, 15, b.w);
        di.h = si.h = b.h;
        b.call(&di, &si);
        EXPECT_TRUE(d.check()) << b.what;
    }
    EXPECT_EQ(neg[0], 0);  // negative constants are cleared even then
}

TEST(Threshold, WorkedValues) {
    // Closed interval ends, low > high copies, clamping of the 8-bit values,
    // signed 16-bit compares, mask 0 writes nothing.
    struct Case {
        int type;
        short lo, hi, map;
        std::vector<int> in, out;
        int mask;
    };
    const Case cases[] = {
        {KL_BYTE, 10, 20, 0, {9, 10, 15, 20, 21}, {9, 0, 0, 0, 21}, 1},
        {KL_BYTE, 20, 10, 0, {9, 10, 15, 20, 21}, {9, 10, 15, 20, 21}, 1},
        {KL_BYTE, -5, 300, 400, {0, 128, 255, 7, 1}, {255, 255, 255, 255, 255}, 1},
        {KL_SHORT, -32768, -1, 7, {-32768, -1, 0, 32767, -200}, {7, 7, 0, 32767, 7}, 1},
        {KL_SHORT, 100, 32767, -5, {99, 100, 32767, -100, 5000}, {99, -5, -5, -100, -5}, 1},
        {KL_BYTE, 0, 255, 9, {1, 2, 3, 4, 5}, {0x55, 0x55, 0x55, 0x55, 0x55}, 0},
    };
    for (const Case &c : cases) {
        const int sb = c.type == KL_SHORT ? 2 : 1, n = static_cast<int>(c.in.size());
        std::vector<unsigned char> src(static_cast<size_t>(n) * sb), dst(src.size(), 0x55);
        for (int i = 0; i < n; ++i) {
            const int16_t v = static_cast<int16_t>(c.in[i]);
            std::memcpy(&src[static_cast<size_t>(i) * sb], &v, static_cast<size_t>(sb));
        }
        kl_image d = kbuf::make_image(c.type, 1, 1, dst.data(), n * sb, n, 1);
        kl_image s = kbuf::make_image(c.type, 1, 1, src.data(), n * sb, n, 1);
        short lo[4] = {c.lo}, hi[4] = {c.hi}, map[4] = {c.map};
        (sb == 2 ? kl_threshold_16 : kl_threshold_8)(c.mask, &d, &s, lo, hi, map);
        for (int i = 0; i < n; ++i) {
            int16_t got = dst[static_cast<size_t>(i)];
            if (sb == 2) std::memcpy(&got, &dst[2 * static_cast<size_t>(i)], 2);
            EXPECT_EQ(got, c.out[static_cast<size_t>(i)]) << "low " << c.lo << " high " << c.hi << " in " << c.in[i];
        }
    }
}

}  // namespace
