// The quick zoom, plain (called directly: the scale driver hands over only
// where the grids meet) and through a lookup: window image-space column Z
// shows the zoomed source at u = Z + f * source origin, drawn where 0 <= u <=
// (W - 1) f (rows likewise) and the window is visible, from the bilinear grid
// model, as entry clamp(v - offset) of the lookup when there is one; sources
// end against guard pages, so a read past the last grid position faults.
// 16-bit sources hold both extremes (rig::Source).

#include "kept.h"
#include "ref_qdx.h"
#include "rig.h"

namespace {

using rig::Scene;
using rig::Source;

struct ZoomCase {
    const char *what;
    int lookup;           // 0 none, 8 or 16: "lookup8_8" or "lookup16_8" over the zoom of that sample size
    int depth, band;      // window image child of one band
    int stride, sbands;   // source pixel stride, bands shown (a child from band 1)
    int sw, sh, sox, soy;
    float xscale, yscale;
    int lbands, offset, entries;  // the lookup
    int reason;
    const char *note;
};

const ZoomCase zoom_cases[] = {
    {"2x into 8-bit, trimmed inside the window", 0, 8, 0, 1, 1, 30, 20, -2, -1, 2, 2, 0, 0, 0, WREN_OK, ""},
    {"4x into 8-bit, past the window", 0, 8, 0, 1, 1, 40, 30, -3, 1, 4, 4, 0, 0, 0, WREN_OK, ""},
    {"2x at odd phases", 0, 8, 0, 1, 1, 60, 40, 3, 2, 2, 2, 0, 0, 0, WREN_OK, ""},
    {"4x into band 2 of a 24-bit window", 0, 24, 2, 1, 1, 17, 11, -1, -2, 4, 4, 0, 0, 0, WREN_OK, ""},
    {"2.5 truncates to 2", 0, 8, 0, 1, 1, 30, 20, 0, 0, 2.5f, 2.5f, 0, 0, 0, WREN_OK, ""},
    {"band 1 of a 3-sample source", 0, 8, 0, 3, 1, 30, 20, -1, 0, 2, 2, 0, 0, 0, WREN_OK, ""},
    {"factor 3 is declined", 0, 8, 0, 1, 1, 30, 20, 0, 0, 3, 3, 0, 0, 0, WREN_PARAMETER, ""},
    {"factor 1 is declined", 0, 8, 0, 1, 1, 30, 20, 0, 0, 1, 1, 0, 0, 0, WREN_PARAMETER, ""},
    {"factor NaN is declined", 0, 8, 0, 1, 1, 30, 20, 0, 0, NAN, NAN, 0, 0, 0, WREN_PARAMETER, ""},
    {"8-bit 2x, table built", 8, 8, 0, 1, 1, 23, 17, -2, 1, 2, 2, 1, 10, 100, WREN_OK, "table built"},
    {"8-bit 4x, full table in place", 8, 24, 1, 1, 1, 23, 17, -2, 1, 4, 4, 1, 0, 256, WREN_OK, "table used in place"},
    {"8-bit 2x, negative offset", 8, 24, 3, 1, 1, 23, 17, -2, 1, 2, 2, 1, -20, 300, WREN_OK, "table built"},
    {"16-bit 2x, offset 0 and 100 entries", 16, 8, 0, 1, 1, 23, 17, -2, 1, 2, 2, 1, 0, 100, WREN_OK, "table built"},
    {"16-bit 4x, full table in place", 16, 24, 2, 1, 1, 23, 17, -2, 1, 4, 4, 1, -32768, 65536, WREN_OK,
     "table used in place"},
    {"16-bit 4x, offset 30000", 16, 8, 0, 1, 1, 23, 17, -2, 1, 4, 4, 1, 30000, 5000, WREN_OK, "table built"},
    {"4x by 2x declined", 8, 8, 0, 1, 1, 23, 17, -2, 1, 4, 2, 1, 0, 256, WREN_PARAMETER, ""},
    {"3x declined", 16, 8, 0, 1, 1, 23, 17, -2, 1, 3, 3, 1, 0, 256, WREN_PARAMETER, ""},
    {"2.5 declined", 8, 8, 0, 1, 1, 23, 17, -2, 1, 2.5f, 2.5f, 1, 0, 256, WREN_PARAMETER, ""},
    {"two lookup bands declined", 8, 8, 0, 1, 1, 23, 17, -2, 1, 2, 2, 2, 0, 256, WREN_LAYOUT, ""},
};

TEST(QuickZoom, ZoomsIntoCoveredWindows) {
    uint32_t seed = 1612;
    for (const ZoomCase &zc : zoom_cases) {
        SCOPED_TRACE(zc.what);
        wren_release_tables();
        Scene sc(Scene::small(), ++seed);
        int id = 0;
        ZorHandle<ZorImage> dst = rig::covered_child(sc, zc.depth, zc.band, 1, &id);
        const bool wide = zc.lookup == 16;
        Source s(zc.sw, zc.sh, zc.stride, seed, zc.lookup ? 6 : 0, false, wide ? 2 : 1);
        ZorHandle<ZorImage> part(zc.sbands != zc.stride ? s.img->createChild(0, 0, 1, zc.sw, zc.sh, zc.sbands)
                                                        : nullptr);
        ZorImage *src = part ? part.get() : s.img;
        src->setOrigin(static_cast<float>(zc.sox), static_cast<float>(zc.soy));
        ZorOp *scale = ZorOp::create(wide ? "scale16bilinear" : "scale8bilinear", nullptr, src);
        scale->setFloatParam(1, zc.xscale);
        scale->setFloatParam(2, zc.yscale);
        std::vector<uint8_t> entries(static_cast<size_t>(zc.entries) * zc.lbands);
        kbuf::fill_random(entries.data(), entries.size(), seed + 7);
        ZorHandle<ZorLookup> lut(zc.lookup ? ZorLookup::create(zc.lbands, zc.offset, zc.entries, entries.data()) : nullptr);
        ZorOp *lk = zc.lookup ? ZorOp::create(wide ? "lookup16_8" : "lookup8_8", nullptr, nullptr, nullptr, scale) : nullptr;
        if (lk) lk->setObjParam(1, lut.get());
        rig::Chain c(dst.get(), lk ? lk : scale);
        if (lk) c.ops.push_back(scale);
        rig::prime({dst.get(), src});
        // With a lookup, a second call with the unchanged lookup reuses the table.
        for (int call = 0; call < (zc.lookup ? 2 : 1); ++call) {
            sc.arm();
            const auto [status, o] = rig::counted(
                [&] { return zc.lookup ? c.run().status : rig::device()->qdx_Scale8Wren(c.display); });
            EXPECT_STREQ(o.driver, !zc.lookup ? "qdx_Scale8Wren"
                                   : wide     ? "qdx_Scale16Lookup16_8Wren"
                                              : "qdx_Scale8Lookup8_8Wren");
            EXPECT_EQ(o.reason, zc.reason) << o.message;
            ASSERT_TRUE(rig::ended(sc, status, zc.reason == WREN_OK));
            if (zc.reason != WREN_OK) break;
            EXPECT_GT(o.rects, 0);
            EXPECT_STREQ(o.note, call == 0 || !strcmp(zc.note, "table used in place") ? zc.note : "cache hit");
            const int f = static_cast<int>(zc.xscale);
            const int dmask = zc.depth == 8 ? 1 : 1 << (3 - zc.band);
            // The source band shown: band 1 of a 3-sample pixel in the child case.
            kl_image whole = kbuf::make_image(wide ? KL_SHORT : KL_BYTE, zc.stride, zc.sbands != zc.stride ? 2 : 1,
                                              s.mem.data(), s.mem.lb(), zc.sw, zc.sh);
            ZorHandle<ZorRoi> grid(
                ZorRoi::create(-f * zc.sox, -f * zc.soy, (zc.sw - 1) * f + 1, (zc.sh - 1) * f + 1));
            int ox, oy;
            dst->getOrigin(&ox, &oy);
            sc.expect(id, dst.get(), grid.get(), dmask, [&](int x, int y, int) {
                const long v = ref::zoom_value(f, whole, x - ox + f * zc.sox, y - oy + f * zc.soy);
                if (!zc.lookup) return static_cast<int>(v);
                const long e = v - zc.offset;
                return static_cast<int>(entries[static_cast<size_t>(e < 0 ? 0 : e >= zc.entries ? zc.entries - 1 : e)]);
            });
            EXPECT_TRUE(sc.check());
        }
    }
}

}  // namespace
