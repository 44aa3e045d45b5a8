// The plain quick zoom, called directly (the scale driver that reaches it is
// not built yet): window image-space column Z shows the zoomed source at
// u = Z + f * source origin, drawn where 0 <= u <= (W - 1) f (rows likewise)
// and the window is visible, from the bilinear grid model; sources end
// against guard pages, so a read past the last grid position faults.
#include <string>

#include "kept.h"
#include "ref_qdx.h"
#include "rig.h"
#include "wren_device.h"

namespace {

using rig::Scene;
using rig::Source;

using rig::device;

struct ZoomCase {
    const char *what;
    int depth, nb, band;  // window image child
    int stride, sbands;   // source pixel stride, bands shown
    int sw, sh, sox, soy;
    float xscale;
    int reason;
};

const ZoomCase zoom_cases[] = {
    {"2x into 8-bit, trimmed inside the window", 8, 1, 0, 1, 1, 30, 20, -2, -1, 2.0f, WREN_OK},
    {"4x into 8-bit, past the window", 8, 1, 0, 1, 1, 40, 30, -3, 1, 4.0f, WREN_OK},
    {"2x at odd phases", 8, 1, 0, 1, 1, 60, 40, 3, 2, 2.0f, WREN_OK},
    {"4x into band 2 of a 24-bit window", 24, 1, 2, 1, 1, 17, 11, -1, -2, 4.0f, WREN_OK},
    {"2.5 truncates to 2", 8, 1, 0, 1, 1, 30, 20, 0, 0, 2.5f, WREN_OK},
    {"band 1 of a 3-sample source", 8, 1, 0, 3, 1, 30, 20, -1, 0, 2.0f, WREN_OK},
    {"factor 3 is declined", 8, 1, 0, 1, 1, 30, 20, 0, 0, 3.0f, WREN_PARAMETER},
    {"factor 1 is declined", 8, 1, 0, 1, 1, 30, 20, 0, 0, 1.0f, WREN_PARAMETER},
    {"factor NaN is declined", 8, 1, 0, 1, 1, 30, 20, 0, 0, NAN, WREN_PARAMETER},
};

TEST(QuickZoom8, ZoomsIntoCoveredWindows) {
    uint32_t seed = 1612;
    for (const ZoomCase &zc : zoom_cases) {
        SCOPED_TRACE(zc.what);
        Scene sc(Scene::small(), ++seed);
        int id = 0;
        ZorHandle<ZorImage> dst = rig::covered_child(sc, zc.depth, zc.band, zc.nb, &id);
        Source s(zc.sw, zc.sh, zc.stride, seed);
        ZorHandle<ZorImage> part(zc.sbands != zc.stride ? s.img->createChild(0, 0, 1, zc.sw, zc.sh, zc.sbands)
                                                        : nullptr);
        ZorImage *src = part ? part.get() : s.img;
        src->setOrigin(static_cast<float>(zc.sox), static_cast<float>(zc.soy));
        ZorOp *scale = ZorOp::create("scale8bilinear", nullptr, src);
        scale->setFloatParam(1, zc.xscale);
        scale->setFloatParam(2, zc.xscale);
        rig::Chain c(dst.get(), scale);
        rig::prime({dst.get(), src});
        sc.arm();
        const auto [status, o] = rig::counted([&] { return device()->qdx_Scale8Wren(c.display); });
        EXPECT_STREQ(o.driver, "qdx_Scale8Wren");
        EXPECT_EQ(o.reason, zc.reason) << o.message;
        if (zc.reason == WREN_OK) {
            ASSERT_EQ(status, ZOR_SUCCESS);
            EXPECT_GT(o.rects, 0);
            const int f = static_cast<int>(zc.xscale);
            const int wb = zc.depth == 8 ? 1 : 4;
            const int dmask = wb == 1 ? 1 : 1 << (3 - zc.band);
            // Source band shown: band 1 of a 3-sample pixel in the child case.
            kl_image whole = kbuf::make_image(KL_BYTE, zc.stride, zc.sbands != zc.stride ? 2 : 1, s.mem.data(),
                                              s.mem.lb(), zc.sw, zc.sh);
            ZorHandle<ZorRoi> grid(
                ZorRoi::create(-f * zc.sox, -f * zc.soy, (zc.sw - 1) * f + 1, (zc.sh - 1) * f + 1));
            int ox, oy;
            dst->getOrigin(&ox, &oy);
            sc.expect(id, dst.get(), grid.get(), dmask, [&](int x, int y, int) {
                return ref::zoom_value(f, whole, x - ox + f * zc.sox, y - oy + f * zc.soy);
            });
        } else {
            EXPECT_EQ(status, ZOR_FAILURE);
            EXPECT_TRUE(sc.machine().accel().stores().empty());
        }
        EXPECT_TRUE(sc.check());
    }
}

// The lookup forms: the zoom's value v is shown as entry clamp(v - offset)
// of the lookup. 16-bit sources hold both extremes.
struct LookupZoomCase {
    const char *what;
    bool wide;            // 16-bit samples, "lookup16_8" / "scale16bilinear"
    int depth, band, nb;  // window image child
    int sbands, lbands;   // source and lookup bands
    float xscale, yscale;
    int offset, entries;
    int reason;
    const char *note;
};

const LookupZoomCase lookup_zoom_cases[] = {
    {"8-bit 2x, table built", false, 8, 0, 1, 1, 1, 2, 2, 10, 100, WREN_OK, "table built"},
    {"8-bit 4x, full table in place", false, 24, 1, 1, 1, 1, 4, 4, 0, 256, WREN_OK, "table used in place"},
    {"8-bit 2x, negative offset", false, 24, 3, 1, 1, 1, 2, 2, -20, 300, WREN_OK, "table built"},
    {"16-bit 2x, offset 0 and 100 entries", true, 8, 0, 1, 1, 1, 2, 2, 0, 100, WREN_OK, "table built"},
    {"16-bit 4x, full table in place", true, 24, 2, 1, 1, 1, 4, 4, -32768, 65536, WREN_OK, "table used in place"},
    {"16-bit 4x, offset 30000", true, 8, 0, 1, 1, 1, 4, 4, 30000, 5000, WREN_OK, "table built"},
    {"4x by 2x declined", false, 8, 0, 1, 1, 1, 4, 2, 0, 256, WREN_PARAMETER, ""},
    {"3x declined", true, 8, 0, 1, 1, 1, 3, 3, 0, 256, WREN_PARAMETER, ""},
    {"2.5 declined", false, 8, 0, 1, 1, 1, 2.5f, 2.5f, 0, 256, WREN_PARAMETER, ""},
    {"two lookup bands declined", false, 8, 0, 1, 1, 2, 2, 2, 0, 256, WREN_LAYOUT, ""},
};

TEST(QuickZoomLookup, ZoomsThroughTheLookup) {
    uint32_t seed = 2212;
    for (const LookupZoomCase &zc : lookup_zoom_cases) {
        SCOPED_TRACE(zc.what);
        wren_release_tables();
        Scene sc(Scene::small(), ++seed);
        int id = 0;
        ZorHandle<ZorImage> dst = rig::covered_child(sc, zc.depth, zc.band, zc.nb, &id);
        const int sw = 23, sh = 17, sox = -2, soy = 1, size = zc.wide ? 2 : 1;
        const int lb = sw * zc.sbands * size + 6;
        kbuf::GuardImage mem(static_cast<size_t>(sw * zc.sbands * size), sh, static_cast<size_t>(lb),
                             kbuf::Guard::After, seed);
        if (zc.wide) {
            reinterpret_cast<int16_t *>(mem.row(0))[0] = -32768;
            reinterpret_cast<int16_t *>(mem.row(0))[zc.sbands] = -32768;
            reinterpret_cast<int16_t *>(mem.row(1))[0] = 32767;
        }
        ZorHandle<ZorImage> src(ZorImage::createOver(sw, sh, zc.sbands, zc.wide ? ZOR_SHORT : ZOR_BYTE, mem.data(),
                                                     lb / size, static_cast<uint16_t>(zc.sbands)));
        src->setOrigin(static_cast<float>(sox), static_cast<float>(soy));
        std::vector<uint8_t> entries(static_cast<size_t>(zc.entries) * zc.lbands);
        kbuf::fill_random(entries.data(), entries.size(), seed + 7);
        ZorHandle<ZorLookup> lut(ZorLookup::create(zc.lbands, zc.offset, zc.entries, entries.data()));
        ZorOp *scale = ZorOp::create(zc.wide ? "scale16bilinear" : "scale8bilinear", nullptr, src.get());
        scale->setFloatParam(1, zc.xscale);
        scale->setFloatParam(2, zc.yscale);
        ZorOp *lk = ZorOp::create(zc.wide ? "lookup16_8" : "lookup8_8", nullptr, nullptr, nullptr, scale);
        lk->setObjParam(1, lut.get());
        rig::Chain c(dst.get(), lk);
        c.ops.push_back(scale);
        rig::prime({dst.get(), src.get()});
        for (int call = 0; call < 2; ++call) {
            sc.arm();
            const auto [status, o] = rig::counted([&] { return c.run().status; });
            EXPECT_STREQ(o.driver, zc.wide ? "qdx_Scale16Lookup16_8Wren" : "qdx_Scale8Lookup8_8Wren");
            EXPECT_EQ(o.reason, zc.reason) << o.message;
            if (zc.reason != WREN_OK) {
                EXPECT_EQ(status, ZOR_FAILURE);
                EXPECT_TRUE(sc.machine().accel().stores().empty());
                EXPECT_TRUE(sc.check());
                break;
            }
            ASSERT_EQ(status, ZOR_SUCCESS);
            // The second call with the unchanged lookup reuses the table.
            EXPECT_STREQ(o.note, call == 0 || !strcmp(zc.note, "table used in place") ? zc.note : "cache hit");
            const int f = static_cast<int>(zc.xscale);
            const int dmask = zc.depth == 8 ? 1 : 1 << (3 - zc.band);
            kl_image whole = kbuf::make_image(zc.wide ? KL_SHORT : KL_BYTE, 1, 1, mem.data(), lb, sw, sh);
            ZorHandle<ZorRoi> grid(ZorRoi::create(-f * sox, -f * soy, (sw - 1) * f + 1, (sh - 1) * f + 1));
            int ox, oy;
            dst->getOrigin(&ox, &oy);
            sc.expect(id, dst.get(), grid.get(), dmask, [&](int x, int y, int) {
                const long v = ref::zoom_value(f, whole, x - ox + f * sox, y - oy + f * soy) - zc.offset;
                return entries[v < 0 ? 0 : v >= zc.entries ? zc.entries - 1 : v];
            });
            EXPECT_TRUE(sc.check());
        }
    }
}

}  // namespace
