// Constant and monadic drivers end to end, against the arithmetic reference
// models with the constants the host's values must become.
#include "ref_arith.h"
#include "rig.h"

#include <cmath>
#include <string>

namespace {

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

// Runs op with parameter 1 = param into a window partly covered by two others;
// model(dst, src, bmask) writes the expected samples (null: nothing expected).
Outcome run(const char *name, void *param, const Layout &l, uint32_t seed,
            const std::function<void(kl_image &, kl_image &, int)> &model) {
    Scene sc(Scene::small(), seed);
    const int id = sc.window(l.depth, 21, 13, 77, 41);
    sc.window(l.depth, 60, 30, 50, 10);
    sc.window(8, 10, 40, 30, 30);
    ZorHandle<ZorImage> dst(sc.image(id)->createChild(4, 3, l.band, 70, 36, l.nb));
    dst->setOrigin(-2, 5);
    Source s(75, 40, l.stride, seed + 9, 3, l.last3);
    s.img->setOrigin(1, 7);
    // A 4-sample source of two bands: a 2-band child at band 1 (mask 0b0110).
    ZorHandle<ZorImage> two(l.nb == 2 ? s.img->createChild(0, 0, 1, 75, 40, 2) : nullptr);
    if (two) two->setOrigin(1, 7);
    ZorImage *src = two ? two.get() : s.img;
    ZorOp *op = ZorOp::create(name, nullptr, src);
    op->setPtrParam(1, param);
    rig::Chain c(dst.get(), op);
    rig::prime({dst.get(), src});
    sc.arm();
    const Outcome out = rig::counted([&] { return c.run().status; });
    if (out.status == ZOR_SUCCESS && model) {
        const int wb = l.depth == 8 ? 1 : 4;
        const int bmask = wb == 1 ? 1 : ((1 << l.nb) - 1) << (4 - l.nb - l.band);
        rig::Plane a = rig::lined_up(s, dst.get(), wb, l.stride == 3);
        rig::Written m(70, 36, wb);
        kl_image ka = a.image(bmask);
        m.run(bmask, [&](kl_image &d) { model(d, ka, bmask); });
        auto region = rig::region_of(src, dst.get());
        sc.expect(id, dst.get(), region.get(), bmask, [&](int x, int y, int k) { return m.value(x, y, k); });
    }
    EXPECT_TRUE(sc.check()) << name;
    return out;
}

// The constants of the selected samples, in band order, spread over the
// window pixel's samples.
void spread(const Layout &l, const short *per_band, short out[4]) {
    const int bands = l.depth == 8 ? 1 : 4;
    const int bmask = bands == 1 ? 1 : ((1 << l.nb) - 1) << (4 - l.nb - l.band);
    int next = 0;
    for (int k = 0; k < 4; ++k) out[k] = 0;
    for (int k = 0; k < bands; ++k)
        if ((bmask >> (bands - 1 - k)) & 1) out[k] = per_band[next++];
}

struct ConstCase {
    const char *name;
    ref::OpK op;
    bool integer;
    float f[4];
    int32_t i[4];
    short expect[4];  // per band of the source, in order
};

const ConstCase const_cases[] = {
    // Rounded halves to even, clamped to -1024..1024.
    {"addconst8", ref::OpK::Add, false, {2.5f, 3.5f, -0.5f, 1.5f}, {}, {2, 4, 0, 2}},
    {"addconst8", ref::OpK::Add, false, {3000.0f, -3000.0f, 1024.4f, -1023.5f}, {}, {1024, -1024, 1024, -1024}},
    {"subtractconst8", ref::OpK::Sub, false, {1.49f, 200.2f, -2000.0f, 7.5f}, {}, {1, 200, -1024, 8}},
    {"subtractfromconst8", ref::OpK::KSub, false, {0.5f, 255.5f, 100.0f, 300.7f}, {}, {0, 256, 100, 301}},
    // Low 16 bits, as a signed value.
    {"andconst8", ref::OpK::And, true, {}, {0x12345, static_cast<int32_t>(0xffff0012u), 0x8012, 0xf0}, {0x2345, 0x12, static_cast<short>(0x8012), 0xf0}},
    {"orconst8", ref::OpK::Or, true, {}, {0x10081, -1, 0x3c, 0x7fff0001}, {0x81, -1, 0x3c, 1}},
    {"xorconst8", ref::OpK::Xor, true, {}, {0x5a, 0x200ff, -256, 0xa5}, {0x5a, 0xff, -256, 0xa5}},
};

TEST(AluConst8, ConstantsOfEveryDriverAndLayout) {
    uint32_t seed = 40;
    for (const ConstCase &cc : const_cases) {
        for (const Layout &l : layouts) {
            SCOPED_TRACE(std::string(cc.name) + " depth " + std::to_string(l.depth) + " bands " +
                         std::to_string(l.nb) + " stride " + std::to_string(l.stride));
            float f[4];
            int32_t i[4];
            std::copy(cc.f, cc.f + 4, f);
            std::copy(cc.i, cc.i + 4, i);
            short k[4];
            spread(l, cc.expect, k);
            const Outcome r = run(cc.name, cc.integer ? static_cast<void *>(i) : static_cast<void *>(f), l, ++seed,
                                  [&](kl_image &d, kl_image &s, int bmask) { ref::arithk_8(cc.op, bmask, d, s, k); });
            EXPECT_EQ(r.status, ZOR_SUCCESS) << r.o.message;
            EXPECT_EQ(r.o.scratch_allocs, l.staged ? 1 : 0);
            EXPECT_GT(r.o.rects, 1);
        }
    }
}

struct MpyCase {
    float c[4];
    int shift;           // -1: refused
    short expect[4];
};

const MpyCase mpy_cases[] = {
    {{1.5f, 0.5f, 1.5f, 0.5f}, 14, {24576, 8192, 24576, 8192}},
    {{63.0f, 63.0f, 63.0f, 63.0f}, 9, {32256, 32256, 32256, 32256}},
    {{0, 0, 0, 0}, 15, {0, 0, 0, 0}},
    {{-0.5f, -0.5f, -0.5f, -0.5f}, 15, {-16384, -16384, -16384, -16384}},
    {{1.0f, 2.0f, 3.0f, 0.25f}, 13, {8192, 16384, 24576, 2048}},
    {{0.7f, 0.3f, 0.9f, 0.1f}, 15, {22938, 9830, 29491, 3277}},
    {{64.0f, 1, 1, 1}, -1, {}},
    {{-2.0f, -2.0f, -2.0f, -2.0f}, -1, {}},
    {{2.0f, -50.0f, 2.0f, -50.0f}, -1, {}},
    {{NAN, 1, 1, 1}, -1, {}},
};

TEST(AluConst8, MultiplyScaleAndRefusals) {
    uint32_t seed = 70;
    for (const MpyCase &mc : mpy_cases) {
        for (const Layout &l : layouts) {
            SCOPED_TRACE("multiply by " + std::to_string(mc.c[0]) + ", " + std::to_string(mc.c[1]) + " depth " +
                         std::to_string(l.depth) + " bands " + std::to_string(l.nb));
            float c[4];
            std::copy(mc.c, mc.c + 4, c);
            short k[4];
            spread(l, mc.expect, k);
            int shift = mc.shift;
            // Refusals depend on the selected constants only: (2.0, -50.0)
            // on one band is 2.0 alone, at 2^13.
            if (mc.c[1] == -50.0f && l.nb == 1) {
                shift = 13;
                const short only[4] = {16384, 0, 0, 0};
                spread(l, only, k);
            }
            const bool refused = shift < 0;
            const Outcome r = run("multiplyconst8", c, l, ++seed, [&](kl_image &d, kl_image &s, int bmask) {
                ref::mpyk_8(bmask, d, s, k, shift, 1);
            });
            if (refused) {
                EXPECT_EQ(r.status, ZOR_FAILURE);
                EXPECT_EQ(r.o.reason, WREN_PARAMETER);
                EXPECT_EQ(r.o.scratch_allocs, 0);
            } else {
                EXPECT_EQ(r.status, ZOR_SUCCESS) << r.o.message;
            }
        }
    }
}

// Refusals write nothing and leave nothing behind.
TEST(AluConst8, Declines) {
    struct Case {
        const char *name;
        void *param;
        Layout l;
        int reason;
    } cases[] = {
        {"addconst8", nullptr, layouts[0], WREN_PARAMETER},
        {"multiplyconst8", nullptr, layouts[1], WREN_PARAMETER},
    };
    for (const Case &c : cases) {
        const Outcome r = run(c.name, c.param, c.l, 5, nullptr);
        EXPECT_EQ(r.status, ZOR_FAILURE) << c.name;
        EXPECT_EQ(r.o.reason, c.reason) << c.name << ": " << r.o.message;
    }
    float nan[4] = {NAN, 1, 1, 1};
    EXPECT_EQ(run("subtractconst8", nan, layouts[0], 5, nullptr).o.reason, WREN_PARAMETER);
}

}  // namespace
