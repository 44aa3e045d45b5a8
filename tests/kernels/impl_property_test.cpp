// Every implementation against the portable one, byte for byte: seeded random
// cases per kernel (widths 0-300, every destination alignment mod 64, source
// alignments, band counts, band and descriptor masks, constants, overlapping
// copies), each implementation writing into its own copy of a destination
// buffer with canaries, from the same sources placed against guard pages.
//
// The program runs once per implementation; this test checks the one named by
// WREN_KERNELS (the portable run skips it). WREN_PROPERTY_CASES sets the cases
// per kernel (default a sample of 400; 100000 for a full run); a failure names
// the case's seed, and WREN_PROPERTY_SEED=<seed> replays just that case.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "kbuf.h"
#include "kl.h"
#include "kl_impl.h"

namespace {

using kbuf::Guard;

struct Rng {
    std::mt19937 g;
    explicit Rng(uint32_t s) : g(s) {}
    int operator()(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(g); }
};

// Source bytes at the end of a buffer right before a guard page, or at the
// start of one right after it; two of each, reused by every case.
struct Sources {
    kbuf::GuardBuf after[2] = {{1 << 23, Guard::After}, {1 << 23, Guard::After}};
    kbuf::GuardBuf before[2] = {{1 << 23, Guard::Before}, {1 << 23, Guard::Before}};
    unsigned char *place(int which, size_t n, Rng &r) {
        const bool a = r(0, 1);
        unsigned char *p = a ? after[which].data() + after[which].size() - n : before[which].data() + r(0, 63);
        kbuf::fill_random(p, n, static_cast<uint32_t>(r.g()));
        return p;
    }
};

const kl_impl *tested() {
    const kl_impl &t = kl_impl_active();
    return std::strcmp(t.name, "portable") == 0 ? nullptr : &t;
}

// Runs `cases` seeded cases; each draws its layout, builds a destination
// buffer and calls run(impl, destination base, ...) for the portable and the
// tested implementation on twin buffers.
template <class Draw, class Run>
::testing::AssertionResult property(const std::string &name, Draw draw, Run run, int cases = 0) {
    static Sources src;
    const kl_impl &ref = *kl_impl_find("portable");
    const kl_impl &impl = *tested();
    const char *replay = std::getenv("WREN_PROPERTY_SEED");
    const char *count = std::getenv("WREN_PROPERTY_CASES");
    const int n = replay ? 1 : cases ? cases : count && std::atoi(count) > 0 ? std::atoi(count) : 400;
    const uint32_t base = static_cast<uint32_t>(std::hash<std::string>{}(name));
    for (int c = 0; c < n; ++c) {
        const uint32_t seed = replay ? static_cast<uint32_t>(std::strtoul(replay, nullptr, 0)) : base + 7919u * c;
        Rng r(seed);
        auto g = draw(r, src);
        kbuf::DstBuf d(g.row, g.h, g.align, static_cast<size_t>(g.lb), seed, 256);
        auto g2 = g;
        run(ref, d.exp_data(), g);
        run(impl, d.data(), g2);
        ::testing::AssertionResult res = d.check();
        if (res && std::memcmp(g.k, g2.k, sizeof g.k) != 0) res = ::testing::AssertionFailure() << "constants differ";
        if (!res) return res << "\n  " << name << " case " << c << ": replay with WREN_PROPERTY_SEED=" << seed;
    }
    return ::testing::AssertionSuccess();
}

int pick_mask(Rng &r) { return r(0, 2) == 0 ? 15 : r(0, 5) == 0 ? r(0, 255) : r(0, 15); }

// An image kernel's draw: destination and up to two sources of w pixels.
struct Images {
    size_t row;
    int h, align, lb;
    int band_mask;
    kl_image d, s[2];
    short k[4];
    int shift, round;
};

enum class Kind { Two, One, Const, Mpyk, Extract, Insert, To4, To3 };

// Large images (set big): destinations past the size from which the vector
// bodies write with non-temporal stores, rows packed or with gaps.
bool big = false;

Images draw_images(Rng &r, Sources &src, Kind kind, int type) {
    const int sb = type == KL_SHORT ? 2 : 1, n = r(1, 4);
    int nd = n, ns = n;
    switch (kind) {
    case Kind::Extract: nd = 1, ns = r(2, 4); break;
    case Kind::Insert: nd = r(2, 4), ns = 1; break;
    case Kind::To4: nd = 4, ns = 3; break;
    case Kind::To3: nd = 3, ns = 4; break;
    default: break;
    }
    if (r(0, 40) == 0) ns = r(1, 4);  // now and then a band count that declines
    Images g{};
    const bool packed = big && r(0, 1);  // rows without gaps in every image
    const int w = big ? r(600, 700) : r(0, 9) == 0 ? r(0, 8) : r(0, 300);
    g.align = r(0, 30) == 0 ? r(0, 63) : r(0, 63) / sb * sb;
    g.row = static_cast<size_t>(w) * nd * sb;
    g.h = big ? static_cast<int>((size_t{1} << 20) / g.row + 1) : r(1, 3);
    g.lb = static_cast<int>(g.row) + (packed ? 0 : r(0, 20) / sb * sb);
    if (g.lb == 0) g.lb = sb;
    g.band_mask = pick_mask(r);
    g.d = kbuf::make_image(type, nd, pick_mask(r) & 15, nullptr, g.lb, w, g.h);
    for (int i = 0; i < (kind == Kind::Two ? 2 : 1); ++i) {
        const size_t row = static_cast<size_t>(w) * ns * sb, lb = row + static_cast<size_t>(packed ? 0 : r(0, 70));
        unsigned char *p = src.place(i, lb * static_cast<size_t>(g.h - 1) + row, r);
        g.s[i] = kbuf::make_image(type, ns, r(0, 3) ? 15 : r(0, 15), p, static_cast<int>(lb), w, g.h);
    }
    for (short &k : g.k)
        k = static_cast<short>(r(0, 3) == 0 ? r(-32768, 32767) : type == KL_SHORT ? r(-3000, 3000) : r(-300, 600));
    if (kind == Kind::Mpyk)
        for (short &k : g.k) k = static_cast<short>(r(0, 4) == 0 ? r(-32768, 32767) : r(-10, 0x3fff));
    g.shift = r(0, 20) == 0 ? r(-1, 16) : r(0, 15);
    g.round = r(0, 1);
    return g;
}

// The kernels of kl_impl by name, with the member to call.
#define TWO_ROW(n) {#n, &kl_impl::n},
#define CONST_ROW(n) {#n, &kl_impl::n},
#define ONE_ROW(n) {#n, &kl_impl::n},
const struct {
    const char *name;
    kl_two_fn kl_impl::*fn;
} kTwo[] = {KL_TWO_SOURCE(TWO_ROW)};
const struct {
    const char *name;
    kl_const_fn kl_impl::*fn;
} kConst[] = {KL_CONSTANT(CONST_ROW)};
const struct {
    const char *name;
    kl_one_fn kl_impl::*fn;
} kOne[] = {KL_ONE_SOURCE(ONE_ROW)};

int type_of(const char *name) { return std::strstr(name, "16") ? KL_SHORT : KL_BYTE; }

Kind kind_of(const char *name) {
    return std::strstr(name, "extract") ? Kind::Extract
           : std::strstr(name, "insert") ? Kind::Insert
           : std::strstr(name, "3_4")    ? Kind::To4
           : std::strstr(name, "4_3")    ? Kind::To3
                                         : Kind::One;
}

class Property : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tested()) GTEST_SKIP() << "the portable implementation is the reference";
    }
};

// Each family's kernels against the portable ones; cases 0 takes the default count.
void two_source_kernels(int cases = 0) {
    for (const auto &k : kTwo) {
        const int type = type_of(k.name);
        EXPECT_TRUE(property(
            k.name, [&](Rng &r, Sources &s) { return draw_images(r, s, Kind::Two, type); },
            [&](const kl_impl &t, unsigned char *buf, Images &g) {
                g.d.data = buf;
                (t.*k.fn)(g.band_mask, &g.d, &g.s[0], &g.s[1]);
            },
            cases));
    }
}

void constant_kernels(int cases = 0) {
    for (const auto &k : kConst) {
        const int type = type_of(k.name);
        EXPECT_TRUE(property(
            k.name, [&](Rng &r, Sources &s) { return draw_images(r, s, Kind::Const, type); },
            [&](const kl_impl &t, unsigned char *buf, Images &g) {
                g.d.data = buf;
                (t.*k.fn)(g.band_mask, &g.d, &g.s[0], g.k);
            },
            cases));
    }
}

void one_source_kernels(int cases = 0) {
    for (const auto &k : kOne) {
        const int type = type_of(k.name);
        const Kind kind = kind_of(k.name);
        EXPECT_TRUE(property(
            k.name, [&](Rng &r, Sources &s) { return draw_images(r, s, kind, type); },
            [&](const kl_impl &t, unsigned char *buf, Images &g) {
                g.d.data = buf;
                (t.*k.fn)(g.band_mask, &g.d, &g.s[0]);
            },
            cases));
    }
}

TEST_F(Property, TwoSourceKernels) { two_source_kernels(); }

TEST_F(Property, ConstantKernels) {
    constant_kernels();
    EXPECT_TRUE(property(
        "mpyk_8", [&](Rng &r, Sources &s) { return draw_images(r, s, Kind::Mpyk, KL_BYTE); },
        [&](const kl_impl &t, unsigned char *buf, Images &g) {
            g.d.data = buf;
            t.mpyk_8(g.band_mask, &g.d, &g.s[0], g.k, g.shift, g.round);
        }));
}

TEST_F(Property, OneSourceKernels) { one_source_kernels(); }

// Every image kernel on a few large images, every image's rows packed in
// about half of them, so that the whole-image paths run.
TEST_F(Property, LargeImages) {
    big = true;
    two_source_kernels(2);
    constant_kernels(2);
    one_source_kernels(2);
    big = false;
}

// Row copies: nbytes 0..1200, rows packed or not, under a random or a band
// pattern; the source in
// a guard buffer, or inside the destination buffer overlapping it in the
// direction the copy supports (below it for forward copies, above for
// backward ones).
struct Rows {
    size_t row;
    int h, align, lb;
    unsigned pattern;
    int nbytes;
    const unsigned char *src;
    int src_lb;
    long overlap;  // source offset from the destination, 0 for a separate source
    short k[4];
};

TEST_F(Property, RowCopies) {
    const struct {
        const char *name;
        bool masked, bwd;
    } kinds[] = {{"gcopy", false, false}, {"gcopyrl", false, true}, {"mcopy", true, false}, {"mcopy_rl", true, true}};
    for (const auto &kd : kinds) {
        EXPECT_TRUE(property(
            kd.name,
            [&](Rng &r, Sources &s) {
                Rows g{};
                const bool large = r(0, 19) == 0;  // now and then past 1 MiB
                g.nbytes = large ? r(512, 1200) : r(0, 9) == 0 ? r(0, 16) : r(0, 1200);
                g.h = large ? (1 << 20) / g.nbytes + 1 : r(1, 3);
                g.align = r(0, 63);
                g.row = static_cast<size_t>(g.nbytes);
                g.lb = g.nbytes + (r(0, 2) == 0 ? 0 : r(0, 40));
                if (g.lb == 0) g.lb = 1;
                const int n = r(1, 4), m = r(1, 15);
                g.pattern = !kd.masked ? 0xffffffu
                            : r(0, 1)  ? kl_masks_8[n][m & ((1 << n) - 1)] | (r(0, 3) == 0 ? 0xffffffu : 0)
                                       : static_cast<unsigned>(r.g());
                if (r(0, 2) == 0) {
                    g.overlap = (kd.bwd ? -1 : 1) * r(1, 200);
                } else {
                    g.src_lb = g.lb == g.nbytes ? g.nbytes : g.nbytes + r(0, 40);
                    g.src = s.place(0, static_cast<size_t>(g.src_lb) * (g.h - 1) + g.row, r);
                }
                return g;
            },
            [&](const kl_impl &t, unsigned char *buf, Rows &g) {
                void *src = g.overlap ? buf + g.overlap : const_cast<unsigned char *>(g.src);
                const int slb = g.overlap ? g.lb : g.src_lb;
                if (kd.masked) (kd.bwd ? t.mcopy_rl : t.mcopy)(g.pattern, buf, g.lb, g.nbytes, g.h, src, slb);
                else (kd.bwd ? t.gcopyrl : t.gcopy)(buf, g.lb, g.nbytes, g.h, src, slb);
            }));
    }
}

}  // namespace
