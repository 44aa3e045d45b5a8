// kl_copy_8 / kl_copy_16 and the kernels they dispatch to, against the
// per-sample models: every pair of band counts, every band mask, random
// descriptor masks, widths, heights and alignments, sources against guard
// pages, canaries around and between destination rows.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "kbuf.h"
#include "kl.h"
#include "ref_copy.h"

namespace {

using Kernel = void (*)(int, kl_image *, kl_image *);
using Model = void (*)(int, int, const kl_image &, const kl_image &);

struct Case {
    int sb;           // sample bytes
    int nd, ns;       // band counts
    int band_mask;
    int dmask, smask;  // descriptor band masks
    int w, h;
    int da;           // destination alignment mod 64
    int fb;
    int stype;        // source sample type (normally the destination's)
    kbuf::Guard side;
};

std::ostream &operator<<(std::ostream &o, const Case &c) {
    return o << "sb " << c.sb << " bands " << c.nd << "<-" << c.ns << " mask " << c.band_mask
             << " dmask " << c.dmask << " smask " << c.smask << " w " << c.w << " h " << c.h
             << " dst mod 64 " << c.da << " fb " << c.fb << " stype " << c.stype;
}

// Runs one kernel call on fresh buffers and compares with the model; the
// source must come back unchanged.
void run(const Case &c, Kernel k, Model mdl, std::mt19937 &g) {
    const int type = c.sb == 1 ? KL_BYTE : KL_SHORT;
    const size_t drow = static_cast<size_t>(c.w) * c.nd * c.sb;
    const size_t srow = static_cast<size_t>(c.w) * c.ns * c.sb;
    const size_t dlb = drow + g() % 20, slb = srow + g() % 20;
    kbuf::DstBuf d(drow, c.h, c.da, dlb, g());
    kbuf::GuardImage s(srow, c.h, slb, c.side, g());
    const std::vector<unsigned char> before = s.bytes();
    kl_image di = d.image(type, c.nd, c.dmask, c.w, c.fb);
    kl_image si = s.image(c.stype, c.ns, c.smask, c.w);
    kl_image de = di;
    de.data = d.exp_data();
    mdl(c.sb, c.band_mask, de, si);
    k(c.band_mask, &di, &si);
    ASSERT_TRUE(d.check()) << c;
    ASSERT_TRUE(s.bytes() == before) << "source changed: " << c;
}

int pick_mask(std::mt19937 &g, int n) {
    const int full = (1 << n) - 1;
    switch (g() % 3) {
    case 0: return full;
    case 1: return static_cast<int>(g() % (full + 1));
    default: return static_cast<int>(g() % 16);  // stray high bits
    }
}

int pick_width(std::mt19937 &g) {
    const int r = static_cast<int>(g() % 40);
    return r == 0 ? 300 + static_cast<int>(g() % 800) : static_cast<int>(g() % 71);
}

Case random_case(std::mt19937 &g, int sb, int nd, int ns, int band_mask) {
    Case c{};
    c.sb = sb;
    c.nd = nd;
    c.ns = ns;
    c.band_mask = band_mask;
    c.dmask = pick_mask(g, nd);
    c.smask = g() % 2 ? c.dmask & ((1 << ns) - 1) : pick_mask(g, ns);
    c.w = pick_width(g);
    c.h = g() % 12 == 0 ? 17 : static_cast<int>(g() % 4);
    c.da = static_cast<int>(g() % 64);
    c.fb = nd == ns && g() % 4 == 0;
    c.stype = sb == 1 ? KL_BYTE : KL_SHORT;
    c.side = g() % 2 ? kbuf::Guard::After : kbuf::Guard::Before;
    return c;
}

TEST(CopyDispatch, EveryBandPairAndMaskMatchesModel) {
    std::mt19937 g(21);
    for (int sb = 1; sb <= 2; ++sb)
        for (int nd = 1; nd <= 4; ++nd)
            for (int ns = 1; ns <= 4; ++ns)
                for (int bm = 0; bm < 16; ++bm)
                    for (int it = 0; it < 8 - 2 * sb; ++it)
                        run(random_case(g, sb, nd, ns, bm), sb == 1 ? kl_copy_8 : kl_copy_16, ref::copy, g);
}

TEST(CopyDispatch, TypeMismatchWritesNothing) {
    std::mt19937 g(23);
    for (int it = 0; it < 40; ++it) {
        Case c = random_case(g, 1 + it % 2, 1 + it % 4, 1 + (it / 4) % 4, 15);
        c.stype = c.sb == 1 ? KL_SHORT : KL_BYTE;
        run(c, c.sb == 1 ? kl_copy_8 : kl_copy_16, ref::copy, g);
    }
}

// The kernels called directly, with every mask and descriptor band counts
// that they do and do not accept.
struct Direct {
    const char *name;
    int sb;
    Kernel k;
    void (*mdl)(int, int, const kl_image &, const kl_image &);
    int nd, ns;  // the layout the kernel is for; 0: the wide side, 2..4 bands
};

const Direct kDirect[] = {
    {"band_extract_8", 1, kl_band_extract_8, ref::band_extract, 1, 0},
    {"band_extract_16", 2, kl_band_extract_16, ref::band_extract, 1, 0},
    {"band_insert_8", 1, kl_band_insert_8, ref::band_insert, 0, 1},
    {"band_insert_16", 2, kl_band_insert_16, ref::band_insert, 0, 1},
    {"copy8_3_4", 1, kl_copy8_3_4, ref::copy_3_4, 4, 3},
    {"copy16_3_4", 2, kl_copy16_3_4, ref::copy_3_4, 4, 3},
    {"copy8_4_3", 1, kl_copy8_4_3, ref::copy_4_3, 3, 4},
    {"copy16_4_3", 2, kl_copy16_4_3, ref::copy_4_3, 3, 4},
};

TEST(CopyKernels, DirectCallsMatchModel) {
    std::mt19937 g(24);
    for (const Direct &k : kDirect) {
        SCOPED_TRACE(k.name);
        for (int bm = 0; bm < 16; ++bm) {
            for (int it = 0; it < 40; ++it) {
                // Mostly the layout the kernel is for, sometimes any other.
                int nd = 1 + static_cast<int>(g() % 4), ns = 1 + static_cast<int>(g() % 4);
                if (g() % 5) nd = k.nd ? k.nd : nd, ns = k.ns ? k.ns : ns;
                run(random_case(g, k.sb, nd, ns, bm), k.k, k.mdl, g);
            }
        }
    }
}

// Rows long enough for the word loops, at every destination alignment mod 8
// and several source alignments (through the source line bytes).
TEST(CopyKernels, ConvertersAtEveryAlignment) {
    std::mt19937 g(25);
    for (const Direct &k : kDirect) {
        SCOPED_TRACE(k.name);
        for (int da = 0; da < 8; ++da) {
            for (int w : {1, 7, 8, 9, 15, 16, 17, 33, 64, 67}) {
                Case c = random_case(g, k.sb, k.nd ? k.nd : 2 + da % 3, k.ns ? k.ns : 2 + da % 3, 15);
                c.dmask = c.smask = (1 << (c.nd > c.ns ? c.nd : c.ns)) - 1;
                c.band_mask = static_cast<int>(g() % 16);
                c.w = w;
                c.h = 2;
                c.da = da + 8 * static_cast<int>(g() % 8);
                c.fb = 0;
                run(c, k.k, k.mdl, g);
            }
        }
    }
}

// Copies of an area onto itself moved by a row or by a pixel, against the
// model applied to a snapshot of the source.
TEST(CopyDispatch, OverlapMatchesCopyThroughTemporary) {
    std::mt19937 g(26);
    for (int sb = 1; sb <= 2; ++sb) {
        for (int n = 1; n <= 4; ++n) {
            for (int shift : {1, -1, 8, 0}) {  // 0: one row down
                for (int it = 0; it < 30; ++it) {
                    const int type = sb == 1 ? KL_BYTE : KL_SHORT;
                    const int w = 1 + static_cast<int>(g() % 90), h = 1 + static_cast<int>(g() % 4);
                    const int lb = w * n * sb + static_cast<int>(g() % 24);
                    const int full = (1 << n) - 1;
                    const int mask = it % 3 == 0 ? full : 1 + static_cast<int>(g() % full);
                    const int off = shift == 0 ? lb : shift * n * sb;
                    const int pad = 2 * lb + 64;
                    const size_t total = static_cast<size_t>(pad + lb * (h + 1) + pad);
                    kbuf::DstBuf buf(total, 1, static_cast<int>(g() % 64), total, g());
                    unsigned char *src = buf.data() + pad;
                    kl_image si = kbuf::make_image(type, n, full, src, lb, w, h);
                    kl_image di = kbuf::make_image(type, n, full, src + off, lb, w, h);
                    std::vector<unsigned char> snap(buf.data(), buf.data() + total);
                    kl_image se = si, de = di;
                    se.data = snap.data() + pad;
                    de.data = buf.exp_data() + pad + off;
                    ref::copy(sb, mask, de, se);
                    (sb == 1 ? kl_copy_8 : kl_copy_16)(mask, &di, &si);
                    ASSERT_TRUE(buf.check()) << "sb " << sb << " bands " << n << " shift " << shift
                                             << " mask " << mask << " w " << w << " h " << h;
                }
            }
        }
    }
}

// Named cases with results stated in samples.
TEST(CopyDispatch, StatedCases) {
    // 4-band image into a 4-band frame-buffer window with mask 0b0111: whole
    // pixels; into memory: sample 0 of every pixel kept.
    for (int fb = 0; fb <= 1; ++fb) {
        std::vector<unsigned char> s(16 * 4), d(16 * 4, 0xee);
        for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<unsigned char>(i);
        kl_image si = kbuf::make_image(KL_BYTE, 4, 15, s.data(), 64, 16, 1);
        kl_image di = kbuf::make_image(KL_BYTE, 4, 15, d.data(), 64, 16, 1, fb);
        kl_copy_8(7, &di, &si);
        for (int i = 0; i < 64; ++i) {
            EXPECT_EQ(d[i], (i % 4 == 0 && !fb) ? 0xee : i) << "fb " << fb << " byte " << i;
        }
    }
    // 3-band destination, 4-band source, mask 0b1000: nothing.
    {
        std::vector<unsigned char> s(32, 1), d(24, 0xee);
        kl_image si = kbuf::make_image(KL_BYTE, 4, 15, s.data(), 32, 8, 1);
        kl_image di = kbuf::make_image(KL_BYTE, 3, 7, d.data(), 24, 8, 1);
        kl_copy_8(8, &di, &si);
        EXPECT_EQ(d, std::vector<unsigned char>(24, 0xee));
    }
    // Band insert with mask 0b0101 into 4 bands: only sample 1.
    {
        std::vector<unsigned char> s(8, 7), d(32, 0xee);
        kl_image si = kbuf::make_image(KL_BYTE, 1, 1, s.data(), 8, 8, 1);
        kl_image di = kbuf::make_image(KL_BYTE, 4, 15, d.data(), 32, 8, 1);
        kl_band_insert_8(5, &di, &si);
        for (int i = 0; i < 32; ++i) EXPECT_EQ(d[i], i % 4 == 1 ? 7 : 0xee) << i;
    }
    // A one-row-down copy of a 1-band area onto itself reproduces the source.
    {
        std::vector<unsigned char> b(10 * 4);
        for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<unsigned char>(3 * i + 1);
        const std::vector<unsigned char> orig = b;
        kl_image si = kbuf::make_image(KL_BYTE, 1, 1, b.data(), 10, 10, 3);
        kl_image di = kbuf::make_image(KL_BYTE, 1, 1, b.data() + 10, 10, 10, 3);
        kl_copy_8(1, &di, &si);
        EXPECT_TRUE(std::equal(b.begin() + 10, b.end(), orig.begin()));
    }
}

}  // namespace
