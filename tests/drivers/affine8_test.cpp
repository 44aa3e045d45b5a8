// The affine and rotate drivers end to end: quarter turns move whole pixels,
// a general rotation is the kernels' model applied with the same inverse, a
// source region writes only the pixels that map into it, unusable transforms
// are declined and write nothing. (The plan test has the layouts and their
// declines.)
#include "rig.h"
#include "ref_affine.h"

#include <cmath>
#include <numbers>

namespace {

using rig::Scene;
using rig::Source;

using Drawn = rig::Ran;

ZorOp *affine(const char *interp, Source &s, const float *m) {
    ZorOp *op = ZorOp::create((std::string("affine8") + interp).c_str(), nullptr, s.img);
    op->setPtrParam(1, const_cast<float *>(m));
    return op;
}

ZorOp *rotate(const char *interp, Source &s, float theta) {
    ZorOp *op = ZorOp::create((std::string("rotate8") + interp).c_str(), nullptr, s.img);
    op->setFloatParam(1, theta);
    return op;
}

struct Layout {
    const char *what;
    int depth, nb, band, stride;
};
const Layout layouts[] = {
    {"1 band", 8, 1, 0, 1},
    {"3 bands into bands 1-3", 24, 3, 1, 3},
    {"4 bands", 24, 4, 0, 4},
};

int dmask_of(const Layout &l) { return rig::wmask(l.depth, l.nb, l.band); }

// Window sample k of destination pixel (x, y) showing source pixel (sx, sy).
int sample(const Source &s, const Layout &l, int sx, int sy, int k) {
    const int from = l.stride == 3 ? k - 1 : k;
    return from < 0 ? -1 : s.px(sx, sy)[from];
}

// Quarter turns about the origins move whole pixels. Pixel (x, y) covers
// [x, x + 1) x [y, y + 1) and an origin is a pixel corner; with theta = pi/2
// the forward map is x' = y, y' = -x, so source column x (relative to the
// source's origin) covers window rows -x - 1 .. -x relative to the window's.
TEST(Affine8, QuarterTurnMovesColumnsToRows) {
    uint32_t seed = 400;
    for (const Layout &l : layouts) {
        SCOPED_TRACE(l.what);
        Scene sc(Scene::small(), ++seed);
        int id = 0;
        ZorHandle<ZorImage> dst = rig::covered_child(sc, l.depth, l.band, l.nb, &id);
        dst->setOrigin(-4, 40);
        Source s(52, 61, l.stride, seed);
        s.img->setOrigin(2, 1);
        const Drawn r = rig::draw(sc, dst.get(), rotate("nearest", s, static_cast<float>(std::numbers::pi / 2)), {s.img});
        ASSERT_EQ(r.status, ZOR_SUCCESS) << r.o.message;
        sc.expect(id, dst.get(), dst->getImageSpaceRoi(), dmask_of(l), [&](int x, int y, int k) {
            const int sx = -(y - 40) - 1 + 2, sy = (x + 4) + 1;
            if (sx < 0 || sy < 0 || sx >= s.w || sy >= s.h) return -1;
            return sample(s, l, sx, sy, k);
        });
        EXPECT_TRUE(sc.check());
    }
}

// A general rotation with scale is the kernels' model over the window image,
// with the inverse the forward map gives (one rectangle, so that the model's
// rows split like the driver's, at the same address alignment).
TEST(Affine8, GeneralTransformIsTheModel) {
    uint32_t seed = 500;
    for (const Layout &l : {layouts[0], layouts[1]}) {
        for (const char *interp : {"nearest", "bilinear", "bicubic"}) {
            SCOPED_TRACE(std::string(l.what) + ", " + interp);
            Scene sc(Scene::small(), ++seed);
            const int id = sc.window(l.depth, 30, 20, 90, 60);
            ZorHandle<ZorImage> dst(sc.image(id)->createChild(5, 4, static_cast<unsigned>(l.band), 80, 50,
                                                               static_cast<unsigned>(l.nb)));
            Source s(60, 50, l.stride, seed);
            s.img->setOrigin(30, 25);
            dst->setOrigin(40, 25);
            const float th = 0.5236f, k = 1.1f;
            const float m[6] = {k * std::cos(th), -k * std::sin(th), k * std::sin(th), k * std::cos(th), 2.5f, -1.0f};
            const Drawn r = rig::draw(sc, dst.get(), affine(interp, s, m), {s.img});
            ASSERT_EQ(r.status, ZOR_SUCCESS) << r.o.message;
            ASSERT_EQ(r.o.rects, 1);
            // The inverse as the forward map defines it, centres sampled.
            const float txp = static_cast<float>(double(m[4] + ((-m[0] * 30.f - m[2] * 25.f) + 40.f)) - 0.5);
            const float typ = static_cast<float>(double(m[5] + ((-m[1] * 30.f - m[3] * 25.f) + 25.f)) - 0.5);
            const float det = m[0] * m[3] - m[1] * m[2];
            const int wb = l.depth == 8 ? 1 : 4, screen_lb = l.depth == 8 ? wren_fb::line_bytes8 : wren_fb::line_bytes24;
            const uint8_t *fb = l.depth == 8 ? sc.screen().frameBuffer8() : sc.screen().frameBuffer24();
            const uintptr_t at = reinterpret_cast<uintptr_t>(fb + 24L * screen_lb + 35 * wb) % 8;
            const int lb = 80 * wb + ((screen_lb - 80 * wb) % 8 + 8) % 8;
            void *table = interp[0] == 'n' ? nullptr
                          : interp[2] == 'l' ? kl_affine_create_bilinear()
                                             : kl_affine_create_bicubic();
            std::vector<int> ro(static_cast<size_t>(s.h));
            for (int i = 0; i < s.h; ++i) ro[static_cast<size_t>(i)] = i * s.mem.lb();
            kl_image si = kbuf::make_image(KL_BYTE, l.stride, l.stride == 1 ? 1 : 7, s.mem.data(), s.mem.lb(), s.w, s.h);
            // The model twice, over differently filled buffers: a byte it writes is equal in both.
            std::vector<uint8_t> buf[2];
            uint8_t *base[2];
            for (int f = 0; f < 2; ++f) {
                buf[f].assign(static_cast<size_t>(lb) * 50 + 16, f ? 0xff : 0x00);
                base[f] = reinterpret_cast<uint8_t *>((reinterpret_cast<uintptr_t>(buf[f].data()) + 7) / 8 * 8 + at);
                kl_image d = kbuf::make_image(KL_BYTE, wb, l.depth == 8 ? 1 : 7, base[f], lb, 80, 50);
                ref::affine(d, si, interp[0] == 'n' ? ref::Interp::Nearest
                                   : interp[2] == 'l' ? ref::Interp::Bilinear
                                                      : ref::Interp::Bicubic,
                            ro.data(), table, m[3] / det, -m[1] / det, -m[2] / det, m[0] / det,
                            (m[2] * typ - m[3] * txp) / det, (m[1] * txp - m[0] * typ) / det);
            }
            std::free(table);
            int written = 0;
            sc.expect(id, dst.get(), dst->getImageSpaceRoi(), dmask_of(l), [&](int x, int y, int kk) {
                const size_t i = static_cast<size_t>(y) * lb + static_cast<size_t>(x) * wb + kk;
                if (base[0][i] != base[1][i]) return -1;
                ++written;
                return int(base[0][i]);
            });
            EXPECT_GT(written, 1000);
            EXPECT_TRUE(sc.check());
        }
    }
}

// A source region of two rectangles: only window pixels whose source pixel
// lies in one of them are written (a translation by whole pixels, nearest).
TEST(Affine8, SourceRegionRectanglesBoundTheWrite) {
    Scene sc(Scene::small(), 77);
    const int id = sc.window(8, 10, 10, 64, 48);
    Source s(50, 40, 1, 9);
    const ZorRect parts[2] = {{3, 5, 12, 7}, {20, 18, 30, 22}};
    ZorHandle<ZorRoi> roi(ZorRoi::create(parts, 2));
    ASSERT_EQ(s.img->setRoi(roi.get()), ZOR_SUCCESS);
    static const float m[6] = {1, 0, 0, 1, 7, -3};
    for (const char *interp : {"nearest", "bilinear"}) {
        SCOPED_TRACE(interp);
        const Drawn r = rig::draw(sc, sc.image(id), affine(interp, s, m), {s.img});
        ASSERT_EQ(r.status, ZOR_SUCCESS) << r.o.message;
        const bool nn = interp[0] == 'n';
        sc.expect(id, sc.image(id), sc.image(id)->getImageSpaceRoi(), 1, [&](int x, int y, int) {
            const int sx = x - 7, sy = y + 3;
            for (const ZorRect &p : parts) {
                // Bilinear needs the next column and row inside the same rectangle.
                if (sx >= p.x && sy >= p.y && sx < p.x + p.w - (nn ? 0 : 1) && sy < p.y + p.h - (nn ? 0 : 1))
                    return int(s.px(sx, sy)[0]);
            }
            return -1;
        });
        EXPECT_TRUE(sc.check());
    }
}

// Declines write nothing: nearly singular or unusable matrices, a missing
// matrix, an angle that is not a number; determinant 1e-5 (a tenfold
// scale-down) is accepted.
TEST(Affine8, DeclinesWriteNothing) {
    static const float sing[6] = {1e-3f, 0, 0, 1e-3f, 0, 0};   // determinant 1e-6
    static const float nan_m[6] = {1, 0, 0, NAN, 0, 0};
    static const float limit[6] = {1e-5f, 0, 0, 1, 0, 0};
    struct Case {
        const char *what, *interp;
        bool turn;  // a rotation by angle, else the matrix m
        const float *m;
        float angle;
        int reason;
    } cases[] = {
        {"determinant 1e-6", "nearest", false, sing, 0, WREN_PARAMETER},
        {"a NaN in the matrix", "bilinear", false, nan_m, 0, WREN_PARAMETER},
        {"no matrix", "bicubic", false, nullptr, 0, WREN_PARAMETER},
        {"an infinite angle", "nearest", true, nullptr, INFINITY, WREN_PARAMETER},
        {"determinant 1e-5", "nearest", false, limit, 0, WREN_OK},
    };
    uint32_t seed = 600;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Scene sc(Scene::small(), ++seed);
        int id = 0;
        ZorHandle<ZorImage> dst = rig::covered_child(sc, 8, 0, 1, &id);
        Source s(40, 30, 1, seed);
        const Drawn r = rig::draw(sc, dst.get(), c.turn ? rotate(c.interp, s, c.angle) : affine(c.interp, s, c.m), {s.img});
        EXPECT_EQ(r.o.reason, c.reason) << r.o.message;
        EXPECT_TRUE(rig::ended(sc, r.status, c.reason == WREN_OK));
    }
}

}  // namespace
