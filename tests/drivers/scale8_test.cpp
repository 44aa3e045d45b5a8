// Scaling end to end: window image-space pixel X shows the source at
// (X + 0.5) / xscale plus the source origin; the scalar two-pass model
// (tests/ref) computes the window image whole, writing only pixels whose
// footprint stays in the source; the driver must give those bytes wherever
// the window is visible, and nothing else. The quick zoom (only where its
// grid samples at the same positions) within its rounding; the 0.0001
// limit, general filters from interpolation tables and the declines too.
#include <cmath>

#include "kept.h"
#include "ref_resample.h"
#include "rig.h"

namespace scale8_test {

using rig::Scene;
using rig::Source;

struct TableDel {
    void operator()(kl_resample_table *t) const { kl_resample_destroy(t); }
};
using Table = std::unique_ptr<kl_resample_table, TableDel>;

struct ScaleCase {
    const char *what;
    const char *op;
    int depth, band, nb;  // window image child
    int stride;           // source samples per pixel
    int sw, sh;
    float sox, soy, xs, ys;
    int taps;  // general: taps of the horizontal filter (the vertical one has 2)
    const char *driver;
    int reason;
    int tol = 0;  // the quick zoom's rounding
};

const ScaleCase cases[] = {
    {"nearest 2.0 goes through kl_scale", "scale8nearest", 8, 0, 1, 1, 30, 20, -2, -1, 2.0f, 2.0f, 0, "Scale8Wren", WREN_OK},
    {"nearest 3.7, 4 bands", "scale8nearest", 24, 0, 4, 4, 23, 17, 0, 0, 3.7f, 3.7f, 0, "Scale8Wren", WREN_OK},
    {"bilinear 1.5 x 0.75", "scale8bilinear", 8, 0, 1, 1, 50, 60, 1, -3, 1.5f, 0.75f, 0, "Scale8Wren", WREN_OK},
    {"bilinear 2.0 x 4.0 is not handed over", "scale8bilinear", 8, 0, 1, 1, 30, 15, 0, 0, 2.0f, 4.0f, 0, "Scale8Wren", WREN_OK},
    {"bilinear 2.0 of 4 bands is not handed over", "scale8bilinear", 24, 0, 4, 4, 30, 15, 1, 0, 2.0f, 2.0f, 0, "Scale8Wren", WREN_OK},
    // The quick zoom only where its grid meets the pixel centres: origins a
    // quarter (2x) or 3/8 (4x) past a whole pixel; sources reaching past the
    // window, whose last grid column the zoom draws and the footprint rule not.
    {"bilinear 2.0 of one band, whole origin: not handed over", "scale8bilinear", 8, 0, 1, 1, 30, 20, -2, -1, 2.0f, 2.0f, 0, "Scale8Wren", WREN_OK},
    {"bilinear 2.0, origin a quarter past: quick zoom", "scale8bilinear", 8, 0, 1, 1, 60, 40, -1.75f, 0.25f, 2.0f, 2.0f, 0, "qdx_Scale8Wren", WREN_OK, 1},
    {"bilinear 4.0, origin 3/8 past: quick zoom", "scale8bilinear", 8, 0, 1, 1, 30, 20, 0.375f, -0.625f, 4.0f, 4.0f, 0, "qdx_Scale8Wren", WREN_OK, 1},
    {"bicubic 0.5, 3 bands widened", "scale8bicubic", 24, 1, 3, 3, 160, 90, -4, 2, 0.5f, 0.5f, 0, "Scale8Wren", WREN_OK},
    {"bicubic 2.5, half-pixel origin", "scale8bicubic", 8, 0, 1, 1, 30, 20, 1.5f, -0.5f, 2.5f, 2.5f, 0, "Scale8Wren", WREN_OK},
    {"general, 6 x 2 taps", "scale8general", 8, 0, 1, 1, 40, 30, 0, 0, 1.75f, 1.25f, 6, "Scale8Wren", WREN_OK},
    {"general, 8 taps, 4 bands", "scale8general", 24, 0, 4, 4, 170, 40, -1, 0, 0.5f, 1.5f, 8, "Scale8Wren", WREN_OK},
    {"0.0001 is accepted", "scale8nearest", 8, 0, 1, 1, 30, 20, 0, 0, 0.0001f, 1.0f, 0, "Scale8Wren", WREN_OK},
    {"0.00009 is declined", "scale8nearest", 8, 0, 1, 1, 30, 20, 0, 0, 0.00009f, 1.0f, 0, "Scale8Wren", WREN_PARAMETER},
    {"NaN is declined", "scale8bilinear", 8, 0, 1, 1, 30, 20, 0, 0, 1.5f, NAN, 0, "Scale8Wren", WREN_PARAMETER},
    {"a 9-tap filter is declined", "scale8general", 8, 0, 1, 1, 30, 20, 0, 0, 1.5f, 1.5f, 9, "Scale8Wren", WREN_PARAMETER},
};

// Interpolation tables of `taps` taps at 16 phases: a windowed sinc.
ZorInterpolationTable *filter(int taps) {
    const int subs = 16;
    std::vector<float> v(static_cast<size_t>(taps) * subs);
    for (int p = 0; p < subs; ++p) {
        float sum = 0;
        for (int k = 0; k < taps; ++k) {
            const double x = k - (taps - 1) * 0.5 - p / double(subs);
            const double s = x == 0 ? 1 : std::sin(M_PI * x) / (M_PI * x);
            const double w = std::cos(M_PI * x / (taps + 1));
            sum += v[p * taps + k] = float(s * w * w);
        }
        for (int k = 0; k < taps; ++k) v[p * taps + k] /= sum;
    }
    return ZorInterpolationTable::create(taps, subs, v.data());
}

Table table_of(const ScaleCase &c, ZorInterpolationTable *h, ZorInterpolationTable *v) {
    const std::string op = c.op;
    if (op == "scale8nearest") return Table(kl_resample_create_nearest(KL_EDGE_NO_WRITE));
    if (op == "scale8bilinear") return Table(kl_resample_create_bilinear(256, 256, 8, KL_EDGE_NO_WRITE));
    if (op == "scale8bicubic") return Table(kl_resample_create_bicubic(256, 256, 8, KL_EDGE_NO_WRITE));
    return Table(kl_resample_create_general(h->getData(), v->getData(), h->getSubsamples(), v->getSubsamples(),
                                            h->getKernelSize(), v->getKernelSize(), 8, 0, 0));
}

void check(const ScaleCase &c, uint32_t seed) {
    SCOPED_TRACE(c.what);
    Scene sc(Scene::small(), seed);
    int id = 0;
    ZorHandle<ZorImage> dst = rig::covered_child(sc, c.depth, c.band, c.nb, &id);
    Source s(c.sw, c.sh, c.stride, seed);
    s.img->setOrigin(c.sox, c.soy);
    ZorOp *scale = ZorOp::create(c.op, nullptr, s.img);
    scale->setFloatParam(1, c.xs);
    scale->setFloatParam(2, c.ys);
    ZorHandle<ZorInterpolationTable> h(c.taps ? filter(c.taps) : nullptr), v(c.taps ? filter(2) : nullptr);
    scale->setObjParam(3, h.get());
    scale->setObjParam(4, v.get());
    const auto [status, o] = rig::draw(sc, dst.get(), scale, {s.img});
    EXPECT_STREQ(o.driver, c.driver);
    EXPECT_EQ(o.reason, c.reason) << o.message;
    ASSERT_TRUE(rig::ended(sc, status, c.reason == WREN_OK));
    if (c.reason != WREN_OK) return;
    const bool draws = c.xs > 0.01f;  // 0.0001 scales the source to nothing
    EXPECT_EQ(o.rects > 0, draws);
    int w, hh, dox, doy;
    rig::dims(dst.get(), &w, &hh);
    dst->getOrigin(&dox, &doy);
    const bool widen = c.stride == 3;
    const int pb = widen ? 3 : c.nb;
    kl_image si = kbuf::make_image(KL_BYTE, c.stride, (1 << c.stride) - 1, s.mem.data(), s.mem.lb(), c.sw, c.sh);
    Table t = table_of(c, h.get(), v.get());
    rig::Written model(w, hh, pb);
    model.run((1 << pb) - 1, [&](kl_image &k) {
        ref_scale(-1, k, si, c.xs, c.ys, static_cast<float>((-c.sox * c.xs + dox) - 0.5),
                  static_cast<float>((-c.soy * c.ys + doy) - 0.5), *t, true);
    });
    const int dmask = rig::wmask(c.depth, c.nb, c.band);
    int written = 0;
    sc.expect(id, dst.get(), dst->getImageSpaceRoi(), dmask, [&](int x, int y, int k) {
        const int band = c.depth == 8 ? 0 : k - c.band;
        int value = model.value(x, y, band);
        written += value >= 0;
        if (value >= 0 && c.tol) {  // one band: the child of the 8-bit window at (30, 20), itself at (5, 4)
            const int got = sc.screen().frameBuffer8()[(24 + y) * wren_fb::line_bytes8 + 35 + x];
            if (std::abs(got - value) <= c.tol) value = got;
        }
        return value;
    });
    EXPECT_EQ(written > 0, draws);
    EXPECT_TRUE(sc.check());
}

// The table; then a sweep: every window pixel whose footprint lies in the
// source is drawn, whatever the factor and the fraction of the origin (the
// tool's --translate divided by the factor), on every path.
TEST(Scale8, ScalesIntoCoveredWindows) {
    uint32_t seed = 808;
    for (const ScaleCase &c : cases) check(c, ++seed);
    for (const char *op : {"scale8nearest", "scale8bilinear", "scale8bicubic", "scale8general"})
        for (const float xs : {1.5f, 0.75f, 2.6f, 4.0f})
            for (const float t : {-4.0f, 1.0f, -7.0f}) {
                const float o = -t / xs;
                const std::string what = std::string(op) + " " + std::to_string(xs) + " " + std::to_string(t);
                check({what.c_str(), op, 8, 0, 1, 1, 40, 30, o, o * 0.5f, xs, xs, 3, "Scale8Wren", WREN_OK}, ++seed);
                if (::testing::Test::HasFailure()) return;
            }
}

}  // namespace scale8_test
