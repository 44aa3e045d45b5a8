// The convolution drivers end to end: general and separable kernels into
// covered 8- and 24-bit windows (one band, band by band with inserts, and
// the combine route of a single visible rectangle), no write and zero fill,
// against the kernels' scalar model run over the whole source image; every
// check's accept/decline boundary; declines write nothing and leave no host
// object behind.
#include "ref_convolve.h"
#include "rig.h"


namespace {

using rig::Scene;
using rig::Source;

using rig::device;

// The filtered band `band` of source s over the whole source image: value per
// source pixel, -1 where the footprint leaves the image.
std::vector<int> model(const Source &s, int band, int n, bool sep, const std::vector<float> &a,
                       const std::vector<float> &b) {
    const int bmask = 1 << (s.stride - 1 - band);
    kl_image src = kbuf::make_image(KL_BYTE, s.stride, bmask, s.mem.data(), s.mem.lb(), s.w, s.h);
    std::vector<float> ra(a.rbegin(), a.rend()), rb(b.rbegin(), b.rend());  // true convolution
    std::vector<int> out(static_cast<size_t>(s.w) * s.h);
    std::vector<unsigned char> p0(out.size(), 0), p1(out.size(), 255);
    for (auto *p : {&p0, &p1}) {
        kl_image d = kbuf::make_image(KL_BYTE, 1, 1, p->data(), s.w, s.w, s.h);
        if (sep) {
            ref::sconvolve(n, 15, d, src, ra.data(), rb.data(), 0);
        } else {
            ref::convolve(n, 15, d, src, ra.data(), 0);
        }
    }
    for (size_t i = 0; i < out.size(); ++i) out[i] = p0[i] == p1[i] ? p0[i] : -1;
    return out;
}

struct Conv {
    ZorHandle<ZorKernel> k1, k2;
    std::unique_ptr<rig::Chain> chain;
    // A general kernel (k2 null) or an inner and an outer one.
    Conv(ZorImage *dst, ZorImage *src, ZorKernel *a, ZorKernel *b, long edge, long edge2 = -1) : k1(a), k2(b) {
        ZorOp *in = ZorOp::create("convolve8", nullptr, src);
        in->setObjParam(1, a);
        in->setLongParam(2, edge);
        if (!b) {
            chain = std::make_unique<rig::Chain>(dst, in);
            return;
        }
        ZorOp *out = ZorOp::create("convolve8", nullptr, src, nullptr, in);
        out->setObjParam(1, b);
        out->setLongParam(2, edge2 < 0 ? edge : edge2);
        chain = std::make_unique<rig::Chain>(dst, out);
        chain->ops.push_back(in);
    }
    int run() const { return k2 ? device()->ConvolveSPWren(chain->display, 3) : device()->ConvolveWren(chain->display, 2); }
};

ZorKernel *kernel(unsigned w, unsigned h, const std::vector<float> &v, int kx = -1, int ky = -1) {
    return ZorKernel::create(w, h, v.data(), kx < 0 ? static_cast<int>(w / 2) : kx, ky < 0 ? static_cast<int>(h / 2) : ky);
}

// Multiples of 1/16 up to 2 in size: the 3x3 floating-point lead-in and the
// fixed-point body agree on them, so the rectangles' alignment does not matter.
std::vector<float> sixteenths(std::mt19937 &g, int n) {
    std::vector<float> v(static_cast<size_t>(n));
    for (float &x : v) x = static_cast<float>(static_cast<int>(g() % 65) - 32) / 16.0f;
    v[static_cast<size_t>(n / 2)] = 1.0f;
    return v;
}

struct DrawCase {
    const char *what;
    int depth, nb, band;  // destination: child of bands band .. band + nb - 1
    bool covered;         // covered window (several rectangles) or one alone
    int stride, sw, sh, sox, soy;
    int n;
    bool sep;
    long edge;
    const char *note;
};

const DrawCase draw_cases[] = {
    {"3x3, 8-bit, no write", 8, 1, 0, true, 1, 70, 45, -4, 2, 3, false, 0, ""},
    {"5x5, 8-bit, zero fill", 8, 1, 0, true, 1, 90, 60, 3, -2, 5, false, 1, ""},
    {"7x7, source inside the window, zero fill", 8, 1, 0, true, 1, 40, 30, -20, -10, 7, false, 1, ""},
    {"7x7 into 24-bit, two rectangles: inserts", 24, 3, 1, true, 3, 90, 60, 0, 0, 7, false, 0, "3 band(s) inserted"},
    {"3x3 into 24-bit, one rectangle: combined", 24, 3, 1, false, 3, 70, 50, 2, 1, 3, false, 1, "3 band(s) combined"},
    {"5x5 into band 2 of 24-bit", 24, 1, 2, true, 1, 90, 60, 0, 0, 5, false, 0, "1 band(s) inserted"},
    {"separable 3, 8-bit", 8, 1, 0, true, 1, 70, 45, -4, 2, 3, true, 0, ""},
    {"separable 5, 8-bit, zero fill", 8, 1, 0, true, 1, 90, 60, 1, 1, 5, true, 1, ""},
    {"separable 7 into 24-bit, one rectangle", 24, 3, 1, false, 3, 70, 50, 0, 0, 7, true, 0, "3 band(s) combined"},
    {"separable 5 into 24-bit, zero fill, inserts", 24, 3, 1, true, 4, 90, 60, 2, 0, 5, true, 1, "3 band(s) inserted"},
};

TEST(Convolve8, FiltersIntoCoveredWindows) {
    uint32_t seed = 1410;
    for (const DrawCase &c : draw_cases) {
        SCOPED_TRACE(c.what);
        std::mt19937 g(++seed);
        Scene sc(Scene::small(), seed);
        int id = 0;
        ZorHandle<ZorImage> dst;
        if (c.covered) {
            dst = rig::covered_child(sc, c.depth, c.band, c.nb, &id);
        } else {
            id = sc.window(c.depth, 150, 100, 90, 60);
            dst.reset(sc.image(id)->createChild(5, 4, static_cast<unsigned>(c.band), 80, 50, static_cast<unsigned>(c.nb)));
        }
        // A 4-sample source shows its last three samples.
        Source s(c.sw, c.sh, c.stride, seed, 0, c.stride == 4);
        s.img->setOrigin(static_cast<float>(c.sox), static_cast<float>(c.soy));
        const int n = c.n;
        std::vector<float> a = sixteenths(g, c.sep ? n : n * n), b = sixteenths(g, n);
        if (c.sep) {
            for (float &x : a) x *= 0.5f;
        }
        Conv conv(dst.get(), s.img, c.sep ? kernel(n, 1, a) : kernel(n, n, a), c.sep ? kernel(1, n, b) : nullptr,
                  c.edge);
        const auto [status, o] = rig::run(sc, {dst.get(), s.img}, [&] { return conv.run(); });
        ASSERT_EQ(status, ZOR_SUCCESS) << o.message;
        EXPECT_STREQ(o.note, c.note);
        EXPECT_EQ(o.rects > 1, c.covered);
        // Window sample k shows source band k - first (the source's first band
        // shown lines up with the child's first band).
        const int shown = c.stride == 4 ? 3 : c.stride, first = c.stride == 4 ? 1 : 0;
        std::vector<std::vector<int>> filtered;
        for (int k = 0; k < shown; ++k) filtered.push_back(model(s, first + k, n, c.sep, a, b));
        ZorHandle<ZorRoi> region = rig::region_of(s.img, dst.get());
        int dox, doy;
        dst->getOrigin(&dox, &doy);
        const int bmask = rig::wmask(c.depth, c.nb, c.band);
        sc.expect(id, dst.get(), region.get(), bmask, [&](int x, int y, int k) {
            const int sx = x - dox + c.sox, sy = y - doy + c.soy;
            const int v = filtered[static_cast<size_t>(k - c.band)][static_cast<size_t>(sy) * c.sw + sx];
            return v >= 0 ? v : c.edge == KL_EDGE_ZERO_FILL ? 0 : -1;
        });
        EXPECT_TRUE(sc.check());
    }
}

struct Refusal {
    const char *what;
    unsigned w1, h1, w2, h2;  // h2 0: a general kernel
    float value, other;        // the first coefficient, and every other one
    int kx, ky;                // key of the first kernel (-1: centre)
    long edge, edge2;
    int window_w;
    bool accepted;
};

const Refusal refusals[] = {
    {"3x3 keyed at (0, 0)", 3, 3, 0, 0, 1, 0.5f, 0, 0, 0, 0, 40, false},
    {"4x4", 4, 4, 0, 0, 1, 0.5f, -1, -1, 0, 0, 40, false},
    {"3x5", 3, 5, 0, 0, 1, 0.5f, -1, -1, 0, 0, 40, false},
    {"extend", 3, 3, 0, 0, 1, 0.5f, -1, -1, 2, 2, 40, false},
    {"edge mode 7", 3, 3, 0, 0, 1, 0.5f, -1, -1, 7, 7, 40, false},
    {"1/2048", 3, 3, 0, 0, 1.0f / 2048, 0.5f, -1, -1, 0, 0, 40, false},
    {"1/1024", 3, 3, 0, 0, 1.0f / 1024, 0.5f, -1, -1, 0, 0, 40, true},
    {"exact zeros", 3, 3, 0, 0, 1, 0.0f, -1, -1, 0, 0, 40, true},
    {"30.5", 5, 5, 0, 0, 30.5f, 0.0f, -1, -1, 0, 0, 40, false},
    {"-30", 5, 5, 0, 0, -30.0f, 0.0f, -1, -1, 0, 0, 40, true},
    {"7x7 of 1.0: sum x 256 = 12544", 7, 7, 0, 0, 1, 1.0f, -1, -1, 1, 1, 40, true},
    {"3x3 of 15.0: sum x 256 = 34560", 3, 3, 0, 0, 15, 15.0f, -1, -1, 0, 0, 40, false},
    {"window 8 wide", 3, 3, 0, 0, 1, 0.5f, -1, -1, 0, 0, 8, false},
    {"window 9 wide", 3, 3, 0, 0, 1, 0.5f, -1, -1, 0, 0, 9, true},
    {"3x1 then 1x5", 3, 1, 1, 5, 1, 0.5f, -1, -1, 0, 0, 40, false},
    {"3x1 then 3x1", 3, 1, 3, 1, 1, 0.5f, -1, -1, 0, 0, 40, false},
    {"1x5 then 5x1", 1, 5, 5, 1, 1, 0.5f, -1, -1, 0, 0, 40, true},
    {"7x1 then 1x7", 7, 1, 1, 7, 1, 0.5f, -1, -1, 1, 1, 40, true},
    {"5-tap 15.5", 5, 1, 1, 5, 15.5f, 0.5f, -1, -1, 0, 0, 40, false},
    {"5-tap 15", 5, 1, 1, 5, 15.0f, 0.5f, -1, -1, 0, 0, 40, true},
    {"3-tap 31", 3, 1, 1, 3, 31.0f, -31.0f, -1, -1, 0, 0, 40, true},
    {"3-tap 31.5", 3, 1, 1, 3, 31.5f, 0.5f, -1, -1, 0, 0, 40, false},
    {"separable keyed off centre", 3, 1, 1, 3, 1, 0.5f, 0, 0, 0, 0, 40, false},
    {"edge modes differ", 3, 1, 1, 3, 1, 0.5f, -1, -1, 0, 1, 40, false},
    {"separable extend", 3, 1, 1, 3, 1, 0.5f, -1, -1, 2, 2, 40, false},
};

TEST(Convolve8, ChecksAndTheirBoundaries) {
    for (const Refusal &c : refusals) {
        SCOPED_TRACE(c.what);
        Scene sc;
        const int id = sc.window(8, 20, 20, c.window_w, 30);
        ZorImage *dst = sc.image(id);
        Source s(60, 40, 1, 3);
        std::vector<float> v1(c.w1 * c.h1, c.other), v2(c.h2 ? c.w2 * c.h2 : 1, 0.25f);
        v1[0] = c.value;
        Conv conv(dst, s.img, kernel(c.w1, c.h1, v1, c.kx, c.ky), c.h2 ? kernel(c.w2, c.h2, v2) : nullptr, c.edge,
                  c.edge2);
        const auto [status, o] = rig::run(sc, {dst, s.img}, [&] { return conv.run(); });
        EXPECT_TRUE(rig::ended(sc, status, c.accepted)) << o.message;
    }
}

}  // namespace
