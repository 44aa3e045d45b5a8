// Dyadic drivers end to end: host dispatch, window system, accelerator, and
// the arithmetic reference models; and the path table's formula summaries
// against what their paths draw.
#include "ref_arith.h"
#include "rig.h"
#include "wren_paths.h"

#include <string>

namespace {

using rig::Scene;
using rig::Source;

struct OpCase {
    const char *name;
    ref::Op2 op;
    const char *driver;
};

const OpCase ops[] = {
    {"add8", ref::Op2::Add, "Add8Wren"},      {"and8", ref::Op2::And, "And8Wren"},
    {"max8", ref::Op2::Max, "Max8Wren"},      {"min8", ref::Op2::Min, "Min8Wren"},
    {"multiply8", ref::Op2::Mpy, "Multiply8Wren"}, {"or8", ref::Op2::Or, "Or8Wren"},
    {"subtract8", ref::Op2::Sub, "Subtract8Wren"}, {"xor8", ref::Op2::Xor, "Xor8Wren"},
};

// Where the destination lies and what it shows.
struct Geo {
    int depth;
    int b1, b2;          // source pixel strides
    int wx, wy, ww, wh;  // the window on the screen
    int cx, cy, cw, ch, cband, cbands;  // destination child of the window image (cw 0: the whole image)
    int dox, doy, s1x, s1y, s2x, s2y;   // origins
    int w1, h1, w2, h2;                 // source sizes
};

using Result = rig::Ran;

// Runs one dyadic operation into a window partly covered by another one and
// checks every byte of both frame buffers against the model.
Result run(const OpCase &oc, const Geo &g, uint32_t seed, bool expect_computed = true) {
    Scene sc(Scene::small(), seed);
    const int id = sc.window(g.depth, g.wx, g.wy, g.ww, g.wh);
    sc.window(g.depth, g.wx + g.ww / 2, g.wy + g.wh / 3, g.ww, 12);  // covers part of it
    sc.window(g.depth == 8 ? 24 : 8, g.wx - 5, g.wy + g.wh - 6, 20, 30);
    ZorImage *wimg = sc.image(id);
    ZorHandle<ZorImage> child(g.cw ? wimg->createChild(g.cx, g.cy, g.cband, g.cw, g.ch, g.cbands) : nullptr);
    ZorImage *dst = g.cw ? child.get() : wimg;
    EXPECT_NE(dst, nullptr);
    dst->setOrigin(g.dox, g.doy);
    const bool three = g.b1 == 3 || g.b2 == 3;
    Source s1(g.w1, g.h1, g.b1, seed * 7 + 1, 0, three && g.b1 == 4);
    Source s2(g.w2, g.h2, g.b2, seed * 7 + 2, 5, three && g.b2 == 4);
    dst->getImageSpaceRoi();
    s1.img->setOrigin(g.s1x, g.s1y);
    s2.img->setOrigin(g.s2x, g.s2y);
    rig::Chain c(dst, ZorOp::create(oc.name, nullptr, s1.img, s2.img));

    const int wb = g.depth == 8 ? 1 : 4;
    unsigned w, h, nb;
    dst->getDimensions(&w, &h, &nb);
    const int bmask = wb == 1 ? 1 : ((1 << nb) - 1) << (4 - nb - (g.cw ? g.cband : 0));
    rig::prime({dst, s1.img, s2.img});
    sc.arm();
    const Result res = rig::counted([&] { return c.run().status; });
    if (expect_computed && res.status == ZOR_SUCCESS) {
        rig::Plane a = rig::lined_up(s1, dst, wb, g.b1 == 3 && wb == 4);
        rig::Plane b = rig::lined_up(s2, dst, wb, g.b2 == 3 && wb == 4);
        rig::Written m(static_cast<int>(w), static_cast<int>(h), wb);
        kl_image ka = a.image(bmask), kb = b.image(bmask);
        m.run(bmask, [&](kl_image &d) { ref::arith2_8(oc.op, bmask, d, ka, kb); });
        auto region = rig::region_of(s1.img, dst);
        sc.expect(id, dst, region.get(), bmask, [&](int x, int y, int k) { return m.value(x, y, k); });
    }
    EXPECT_TRUE(sc.check()) << oc.name;
    return res;
}

// Every accepted layout of every operation, into 8-bit and 24-bit windows.
TEST(Alu8, EveryLayoutOfEveryOperation) {
    const Geo layouts[] = {
        // 8-bit window, child at (3, 5), origins everywhere.
        {8, 1, 1, 17, 9, 70, 50, 3, 5, 60, 40, 0, 1, 2, -3, 5, 1, 4, 2, 64, 44, 66, 48},
        // 24-bit window image whole, 4-band sources.
        {24, 4, 4, 40, 20, 61, 33, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 61, 33, 61, 33},
        // 3-band child at band 1 of the 24-bit window image.
        {24, 4, 3, 11, 30, 70, 45, 6, 2, 57, 39, 1, 3, -1, 4, 0, 2, 1, 6, 60, 45, 60, 50},
        {24, 3, 4, 11, 30, 70, 45, 6, 2, 57, 39, 1, 3, 3, 0, 4, 1, 3, 2, 62, 41, 63, 44},
        {24, 3, 3, 100, 7, 49, 80, 0, 9, 49, 60, 1, 3, 0, 0, 0, 0, 0, 0, 49, 60, 49, 60},
    };
    uint32_t seed = 10;
    for (const OpCase &oc : ops) {
        for (const Geo &g : layouts) {
            SCOPED_TRACE(std::string(oc.name) + " layout " + std::to_string(g.b1) + "," + std::to_string(g.b2) +
                         " depth " + std::to_string(g.depth));
            const Result r = run(oc, g, ++seed);
            EXPECT_EQ(r.status, ZOR_SUCCESS) << r.o.message;
            EXPECT_STREQ(r.o.driver, oc.driver);
            EXPECT_EQ(std::string(r.o.path), std::string("display_ioQORVwren/") + oc.name);
            EXPECT_GT(r.o.rects, 1);  // the covering windows split the region
            const bool staged = g.b1 != g.b2 || g.b1 == 3;
            EXPECT_EQ(r.o.scratch_allocs, staged ? 1 : 0);
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

}  // namespace
