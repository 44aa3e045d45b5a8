// The dyadic and constant drivers end to end, against the arithmetic
// reference models (with the constants the host's values must become), into
// a window partly covered by two others; and the path table's formula
// summaries against what their paths draw.
#include "ref_arith.h"
#include "rig.h"
#include "wren_paths.h"

#include <cmath>

namespace alu_test {

using rig::Scene;
using rig::Source;

// Destination layouts: depth, window-image child bands and band offset,
// source stride and whether a 4-sample source shows only its last three.
struct Layout {
    int depth, nb, band, stride;
    bool last3;
    bool staged;
};
const Layout layouts[] = {
    {8, 1, 0, 1, false, false},   // 8-bit window, 1-band source
    {24, 4, 0, 4, false, false},  // whole 24-bit pixels
    {24, 3, 1, 3, false, true},   // 3-band source staged to 4 bands
    {24, 3, 1, 4, true, false},   // 4-sample source showing bands 1-3
    {24, 2, 1, 4, false, false},  // band mask 0b0110 on both
};

using Outcome = rig::Ran;

// Runs op (parameter 1 = param) on a source of layout l and, for a dyadic op,
// a second one of pixel stride b2 (shown as the first source's layout shows
// its bands); model(dst, src1, src2, bmask) writes the expected samples.
Outcome run(const char *name, void *param, const Layout &l, uint32_t seed,
            const std::function<void(kl_image &, kl_image &, kl_image &, int)> &model, int b2 = 0) {
    Scene sc(Scene::small(), seed);
    const int id = sc.window(l.depth, 21, 13, 77, 41);
    sc.window(l.depth, 60, 30, 50, 10);
    sc.window(8, 10, 40, 30, 30);
    ZorHandle<ZorImage> dst(sc.image(id)->createChild(4, 3, l.band, 70, 36, l.nb));
    dst->setOrigin(-2, 5);
    Source s(75, 40, l.stride, seed + 9, 3, l.last3);
    Source s2(78, 44, b2 ? b2 : 1, seed + 10, 5, b2 == 4 && l.nb == 3);
    s.img->setOrigin(1, 7);
    s2.img->setOrigin(3, 9);
    // A 4-sample source of two bands: a 2-band child at band 1 (mask 0b0110).
    ZorHandle<ZorImage> two(l.nb == 2 ? s.img->createChild(0, 0, 1, 75, 40, 2) : nullptr);
    ZorHandle<ZorImage> two2(l.nb == 2 && b2 ? s2.img->createChild(0, 0, 1, 78, 44, 2) : nullptr);
    if (two) two->setOrigin(1, 7);
    if (two2) two2->setOrigin(3, 9);
    ZorImage *src = two ? two.get() : s.img, *src2 = two2 ? two2.get() : s2.img;
    ZorOp *op = ZorOp::create(name, nullptr, src, b2 ? src2 : nullptr);
    if (!b2) op->setPtrParam(1, param);
    const Outcome out = rig::draw(sc, dst.get(), op, {src, src2});
    if (out.status == ZOR_SUCCESS) {
        const int wb = l.depth == 8 ? 1 : 4, bmask = rig::wmask(l.depth, l.nb, l.band);
        rig::Plane a = rig::lined_up(s, dst.get(), wb, l.stride == 3), b = rig::lined_up(s2, dst.get(), wb, b2 == 3);
        rig::Written m(70, 36, wb);
        kl_image ka = a.image(bmask), kb = b.image(bmask);
        m.run(bmask, [&](kl_image &d) { model(d, ka, kb, bmask); });
        auto region = rig::region_of(src, dst.get());
        sc.expect(id, dst.get(), region.get(), bmask, [&](int x, int y, int k) { return m.value(x, y, k); });
    }
    EXPECT_TRUE(sc.check()) << name;
    return out;
}

// Every layout, each with a dyadic operation (PathSummaries has every
// operation's values on the direct layout; subtract catches swapped sources).
TEST(Alu8, EveryLayout) {
    const struct {
        const char *name;
        ref::Op2 op;
        int layout, b2;
    } cases[] = {
        {"subtract8", ref::Op2::Sub, 0, 1}, {"multiply8", ref::Op2::Mpy, 1, 4}, {"subtract8", ref::Op2::Sub, 3, 3},
        {"subtract8", ref::Op2::Sub, 2, 4}, {"xor8", ref::Op2::Xor, 2, 3},      {"max8", ref::Op2::Max, 4, 4},
    };
    uint32_t seed = 10;
    for (const auto &c : cases) {
        const Layout &l = layouts[c.layout];
        SCOPED_TRACE(std::string(c.name) + " layout " + std::to_string(l.stride) + "," + std::to_string(c.b2) +
                     " depth " + std::to_string(l.depth));
        const Outcome r = run(c.name, nullptr, l, ++seed,
                              [&](kl_image &d, kl_image &a, kl_image &b, int bmask) { ref::arith2_8(c.op, bmask, d, a, b); },
                              c.b2);
        EXPECT_EQ(r.status, ZOR_SUCCESS) << r.o.message;
        EXPECT_EQ(r.o.scratch_allocs, l.stride == 3 || c.b2 == 3 ? 1 : 0);  // a 3-sample source is widened first
    }
}

// The constants of the selected samples, in band order, spread over the
// window pixel's samples.
void spread(const Layout &l, const short *per_band, short out[4]) {
    const int bands = l.depth == 8 ? 1 : 4, bmask = rig::wmask(l.depth, l.nb, l.band);
    int next = 0;
    for (int k = 0; k < 4; ++k) out[k] = 0;
    for (int k = 0; k < bands; ++k)
        if ((bmask >> (bands - 1 - k)) & 1) out[k] = per_band[next++];
}

// Constant k of each selected band is the host's value converted: floats
// rounded half to even and clamped to -1024..1024, integers their low 16
// bits; a multiplier becomes a fixed-point factor at the shift that fits.
struct ConstCase {
    const char *name;
    ref::OpK op;
    bool integer;
    float f[4];
    int32_t i[4];
    short expect[4];  // per band of the source, in order
    int shift = -1;   // multiplyconst8: the factor's shift
    int reason = WREN_OK;
    bool none = false;  // no parameter at all
};

const ConstCase const_cases[] = {
    {"addconst8", ref::OpK::Add, false, {2.5f, 3.5f, -0.5f, 1.5f}, {}, {2, 4, 0, 2}},
    {"addconst8", ref::OpK::Add, false, {3000.0f, -3000.0f, 1024.4f, -1023.5f}, {}, {1024, -1024, 1024, -1024}},
    {"subtractconst8", ref::OpK::Sub, false, {1.49f, 200.2f, -2000.0f, 7.5f}, {}, {1, 200, -1024, 8}},
    {"subtractfromconst8", ref::OpK::KSub, false, {0.5f, 255.5f, 100.0f, 300.7f}, {}, {0, 256, 100, 301}},
    {"andconst8", ref::OpK::And, true, {}, {0x12345, static_cast<int32_t>(0xffff0012u), 0x8012, 0xf0}, {0x2345, 0x12, static_cast<short>(0x8012), 0xf0}},
    {"orconst8", ref::OpK::Or, true, {}, {0x10081, -1, 0x3c, 0x7fff0001}, {0x81, -1, 0x3c, 1}},
    {"xorconst8", ref::OpK::Xor, true, {}, {0x5a, 0x200ff, -256, 0xa5}, {0x5a, 0xff, -256, 0xa5}},
    {"multiplyconst8", {}, false, {1.5f, 0.5f, 1.5f, 0.5f}, {}, {24576, 8192, 24576, 8192}, 14},
    {"multiplyconst8", {}, false, {63.0f, 63.0f, 63.0f, 63.0f}, {}, {32256, 32256, 32256, 32256}, 9},
    {"multiplyconst8", {}, false, {0, 0, 0, 0}, {}, {0, 0, 0, 0}, 15},
    {"multiplyconst8", {}, false, {-0.5f, -0.5f, -0.5f, -0.5f}, {}, {-16384, -16384, -16384, -16384}, 15},
    {"multiplyconst8", {}, false, {1.0f, 2.0f, 3.0f, 0.25f}, {}, {8192, 16384, 24576, 2048}, 13},
    {"multiplyconst8", {}, false, {0.7f, 0.3f, 0.9f, 0.1f}, {}, {22938, 9830, 29491, 3277}, 15},
    {"multiplyconst8", {}, false, {64.0f, 1, 1, 1}, {}, {}, -1, WREN_PARAMETER},
    {"multiplyconst8", {}, false, {-2.0f, -2.0f, -2.0f, -2.0f}, {}, {}, -1, WREN_PARAMETER},
    // Refusals depend on the selected constants only: on one band this is 2.0 alone, at 2^13.
    {"multiplyconst8", {}, false, {2.0f, -50.0f, 2.0f, -50.0f}, {}, {16384, 0, 0, 0}, 13, WREN_PARAMETER},
    {"multiplyconst8", {}, false, {NAN, 1, 1, 1}, {}, {}, -1, WREN_PARAMETER},
    {"subtractconst8", ref::OpK::Sub, false, {NAN, 1, 1, 1}, {}, {}, -1, WREN_PARAMETER},
    {"addconst8", ref::OpK::Add, false, {}, {}, {}, -1, WREN_PARAMETER, true},
    {"multiplyconst8", {}, false, {}, {}, {}, -1, WREN_PARAMETER, true},
};

TEST(AluConst8, ConstantsOfEveryDriverAndLayout) {
    uint32_t seed = 40;
    for (const ConstCase &cc : const_cases) {
        for (const Layout &l : layouts) {
            SCOPED_TRACE(std::string(cc.name) + " " + std::to_string(cc.f[0]) + ", " + std::to_string(cc.i[0]) +
                         " depth " + std::to_string(l.depth) + " bands " + std::to_string(l.nb) + " stride " +
                         std::to_string(l.stride));
            const bool mpy = cc.name[0] == 'm';
            short k[4];
            spread(l, cc.expect, k);
            const bool accepted = cc.reason == WREN_OK || (cc.shift >= 0 && l.nb == 1);
            void *param = cc.none ? nullptr : cc.integer ? static_cast<void *>(const_cast<int32_t *>(cc.i)) : const_cast<float *>(cc.f);
            const Outcome r = run(cc.name, param, l, ++seed, [&](kl_image &d, kl_image &s, kl_image &, int bmask) {
                if (mpy) {
                    ref::mpyk_8(bmask, d, s, k, cc.shift, 1);
                } else {
                    ref::arithk_8(cc.op, bmask, d, s, k);
                }
            });
            if (accepted) {
                EXPECT_EQ(r.status, ZOR_SUCCESS) << r.o.message;
                EXPECT_EQ(r.o.scratch_allocs, l.staged ? 1 : 0);
            } else {
                EXPECT_EQ(r.status, ZOR_FAILURE);
                EXPECT_EQ(r.o.reason, cc.reason) << r.o.message;
                EXPECT_EQ(r.o.scratch_allocs, 0);
            }
        }
    }
}

int c(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

// Every path summary that states a formula holds on the samples: the path
// runs on a row of all 256 values a (first source) against b = 7a + 3 mod 256
// (second source), with its constants, and each window byte is the
// summary's formula. A summary changed without its formula, or a path
// computing something else (multiply8 once read "a * b / 256, rounded";
// subtract8 is first minus second), fails here.
TEST(PathSummaries, FormulasHoldOnEverySample) {
    struct Row {
        const char *path, *summary;
        std::vector<float> params;  // pointer parameters 1, 2, ... (one float each)
        int (*f)(int a, int b);
        bool ints = false;          // the parameters are 32-bit integers
    };
    const Row rows[] = {
        {"add8", "a + b, clamped to 255", {}, [](int a, int b) { return c(a + b); }},
        {"subtract8", "a - b, clamped to 0", {}, [](int a, int b) { return c(a - b); }},
        {"multiply8", "min(a * b, 255)", {}, [](int a, int b) { return c(a * b); }},
        {"max8", "max(a, b)", {}, [](int a, int b) { return a > b ? a : b; }},
        {"min8", "min(a, b)", {}, [](int a, int b) { return a < b ? a : b; }},
        {"and8", "a & b", {}, [](int a, int b) { return a & b; }},
        {"or8", "a | b", {}, [](int a, int b) { return a | b; }},
        {"xor8", "a ^ b", {}, [](int a, int b) { return a ^ b; }},
        {"not8", "255 - a", {}, [](int a, int) { return 255 - a; }},
        // k rounded halves to even: 2.5 is 2, -40.5 is -40, 300.5 is 300.
        {"addconst8", "a + k per band, k rounded, clamped to 0..255", {2.5f}, [](int a, int) { return c(a + 2); }},
        {"subtractconst8", "a - k per band, k rounded, clamped to 0..255", {-40.5f},
         [](int a, int) { return c(a + 40); }},
        {"subtractfromconst8", "k - a per band, k rounded, clamped to 0..255", {300.5f},
         [](int a, int) { return c(300 - a); }},
        // Integer k: -7 acts as 0, 0x10005 as 5, 300 as 255.
        {"andconst8", "a & k per band, k (low 16 bits) clamped to 0..255", {-7}, [](int, int) { return 0; }, true},
        {"orconst8", "a | k per band, k (low 16 bits) clamped to 0..255", {0x10005}, [](int a, int) { return a | 5; },
         true},
        {"xorconst8", "a ^ k per band, k (low 16 bits) clamped to 0..255", {300}, [](int a, int) { return a ^ 255; },
         true},
        // Halves round up: 1.5 * 3 is 5.
        {"multiplyconst8", "a * k per band, rounded, clamped to 0..255; k at most 63", {1.5f},
         [](int a, int) { return c((3 * a + 1) / 2); }},
        {"threshold8", "samples in [low, high] replaced by map", {100, 180, 7},
         [](int a, int) { return a >= 100 && a <= 180 ? 7 : a; }},
        {"rescale8", "a * s + o, clamped to 0..255, by the pixel-mapping unit", {2, -10},
         [](int a, int) { return c(2 * a - 10); }},
    };
    int n = 0;
    const WrenPath *table = wren_path_table(&n);
    std::vector<uint8_t> p1(256), p2(256);
    for (int i = 0; i < 256; ++i) {
        p1[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
        p2[static_cast<size_t>(i)] = static_cast<uint8_t>(7 * i + 3);
    }
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        const WrenPath *entry = nullptr;
        for (int i = 0; i < n; ++i)
            if (table[i].count() == 2 && !std::strcmp(table[i].names[0], row.path)) entry = &table[i];
        ASSERT_TRUE(entry);
        EXPECT_STREQ(entry->summary, row.summary);
        Scene sc;
        const int id = sc.window(8, 0, 0, 256, 1);
        ZorHandle<ZorImage> a(ZorImage::createOver(256, 1, 1, ZOR_BYTE, p1.data(), 256, 1));
        ZorHandle<ZorImage> b(ZorImage::createOver(256, 1, 1, ZOR_BYTE, p2.data(), 256, 1));
        ZorOp *op = ZorOp::create(row.path, nullptr, a.get(), b.get());
        std::vector<float> floats(row.params);
        std::vector<int32_t> ints(row.params.begin(), row.params.end());
        for (size_t k = 0; k < row.params.size(); ++k)
            op->setPtrParam(static_cast<int>(k) + 1, row.ints ? static_cast<void *>(&ints[k]) : &floats[k]);
        rig::Chain chain(sc.image(id), op);
        ASSERT_EQ(chain.run().status, ZOR_SUCCESS) << rig::last().message;
        const uint8_t *fb = sc.screen().frameBuffer8();
        for (int i = 0; i < 256; ++i) ASSERT_EQ(fb[i], row.f(i, p2[static_cast<size_t>(i)])) << "a " << i;
    }
}

}  // namespace alu_test
