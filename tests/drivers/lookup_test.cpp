// The lookup drivers end to end: both lookup forms, direct and staged
// layouts, 8- and 16-bit sources into partly covered windows (offsets and
// entry counts clamp, as the model has it), the table cache (kept, rebuilt,
// used in place) as the outcome's note tells it, and declines that write
// nothing.
#include "kept.h"
#include "rig.h"

#include <utility>

namespace {

using rig::Scene;

// A lookup and the model of what it gives: output band j for input value v.
struct Lut {
    ZorLookup *l = nullptr;
    ~Lut() {
        if (l) l->destroy();
    }
    int out(int j, long v) const {
        auto clamp = [](long e, long n) { return e < 0 ? 0 : e >= n ? n - 1 : e; };
        if (l->getNumEntries()) {
            const long n = l->getNumEntries();
            return l->getData()[clamp(v - l->getOffset(), n) * l->getNBands() + j];
        }
        const long n = l->getEntriesList()[j];
        return l->getDataList()[j][clamp(v - l->getOffsetsList()[j], n)];
    }
};

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    kbuf::fill_random(v.data(), n, seed);
    return v;
}

ZorLookup *make_single(int bands, int offset, int entries, uint32_t seed) {
    auto d = random_bytes(static_cast<size_t>(bands) * entries, seed);
    return ZorLookup::create(bands, offset, entries, d.data());
}

ZorLookup *make_combined(int bands, int offset, int entries, uint32_t seed) {
    std::vector<std::vector<uint8_t>> t;
    unsigned n[4];
    int o[4];
    const uint8_t *p[4];
    for (int k = 0; k < bands; ++k) {
        // Tables differ in length and offset from band to band.
        n[k] = static_cast<unsigned>(k == 1 && entries > 50 ? entries - 7 : entries);
        o[k] = k == 2 ? offset + 3 : offset;
        t.push_back(random_bytes(n[k], seed + k));
        p[k] = t.back().data();
    }
    return ZorLookup::createCombined(bands, n, o, p);
}

struct Case {
    const char *what;
    const char *path;
    int sb;                    // source sample bytes
    bool combined;
    int lut_bands, offset, entries;
    int depth, nb, band;       // window image child
    int stride, shown, first;  // source
    int reason;
};

const Case cases[] = {
    {"8-bit single, offset 10 of 100, into 8-bit", "lookup8_8", 1, false, 1, 10, 100, 8, 1, 0, 1, 0, 0, WREN_OK},
    {"8-bit single, full, into 8-bit", "lookup8_8", 1, false, 1, 0, 256, 8, 1, 0, 1, 0, 0, WREN_OK},
    {"8-bit single of 3 bands into 1-3", "lookup8_8", 1, false, 3, 0, 256, 24, 3, 1, 1, 0, 0, WREN_OK},
    {"8-bit single of 4 bands into 4", "lookup8_8", 1, false, 4, -5, 300, 24, 4, 0, 1, 0, 0, WREN_OK},
    {"8-bit single of 2 bands into bands 2-3", "lookup8_8", 1, false, 2, 0, 256, 24, 2, 2, 1, 0, 0, WREN_OK},
    {"8-bit combined, 1 band", "lookup8_8", 1, true, 1, 10, 100, 8, 1, 0, 1, 0, 0, WREN_OK},
    {"8-bit combined, direct 1-3 of 4", "lookup8_8", 1, true, 3, 0, 256, 24, 3, 1, 4, 3, 1, WREN_OK},
    {"8-bit combined, staged 3 into 1-3", "lookup8_8", 1, true, 3, 20, 60, 24, 3, 1, 3, 0, 0, WREN_OK},
    {"8-bit combined, 4 into 4", "lookup8_8", 1, true, 4, 0, 256, 24, 4, 0, 4, 0, 0, WREN_OK},
    {"16-bit single, offset 10 of 100, into 8-bit", "lookup16_8", 2, false, 1, 10, 100, 8, 1, 0, 1, 0, 0, WREN_OK},
    {"16-bit single, full, into 8-bit", "lookup16_8", 2, false, 1, -32768, 65536, 8, 1, 0, 1, 0, 0, WREN_OK},
    {"16-bit single of 3 bands into 1-3 (strips)", "lookup16_8", 2, false, 3, -100, 1000, 24, 3, 1, 1, 0, 0,
     WREN_OK},
    {"16-bit single, full 4 bands, into 4 (strips)", "lookup16_8", 2, false, 4, -32768, 65536, 24, 4, 0, 1, 0, 0,
     WREN_OK},
    {"16-bit combined, 1 band", "lookup16_8", 2, true, 1, -1000, 3000, 8, 1, 0, 1, 0, 0, WREN_OK},
    {"16-bit combined, direct 1-3 of 4", "lookup16_8", 2, true, 3, -32768, 65536, 24, 3, 1, 4, 3, 1, WREN_OK},
    {"16-bit combined, staged 3 into 1-3", "lookup16_8", 2, true, 3, 0, 100, 24, 3, 1, 3, 0, 0, WREN_OK},
    // A full 4-band table into a window showing bands 1-3: lookup bands 0-2
    // go to the selected bands, as for a built table.
    {"8-bit single, full 4 bands, into 1-3", "lookup8_8", 1, false, 4, 0, 256, 24, 3, 1, 1, 0, 0, WREN_OK},
    {"16-bit single, full 4 bands, into 1-3", "lookup16_8", 2, false, 4, -32768, 65536, 24, 3, 1, 1, 0, 0, WREN_OK},
    {"16-bit source for lookup8_8", "lookup8_8", 2, false, 1, 0, 256, 8, 1, 0, 1, 0, 0, WREN_LAYOUT},
    {"8-bit source for lookup16_8", "lookup16_8", 1, false, 1, 0, 256, 8, 1, 0, 1, 0, 0, WREN_LAYOUT},
    {"single of 2 bands for 3 selected", "lookup8_8", 1, false, 2, 0, 256, 24, 3, 1, 1, 0, 0, WREN_PARAMETER},
    {"combined of 2 tables for 3 selected", "lookup8_8", 1, true, 2, 0, 256, 24, 3, 1, 3, 0, 0, WREN_PARAMETER},
};

// Runs c's lookup once through the host and checks the frame buffers.
struct Shot {
    Scene sc;
    int id;
    ZorHandle<ZorImage> dst;
    rig::Source src;
    Lut lut;
    ZorOp *op;
    rig::Chain chain;

    Shot(const Case &c, uint32_t seed)
        : sc(Scene::small(), seed), dst(rig::covered_child(sc, c.depth, c.band, c.nb, &id)), src(83, 52, c.stride, seed, 2 * c.sb, c.shown == 3 && c.stride == 4, c.sb),
          op(ZorOp::create(c.path, nullptr, src.img)), chain(dst.get(), op) {
        src.img->setOrigin(5, 1);
        if (src.parent) src.parent->setOrigin(5, 1);
        lut.l = c.combined ? make_combined(c.lut_bands, c.offset, c.entries, seed)
                           : make_single(c.lut_bands, c.offset, c.entries, seed);
        op->setObjParam(1, lut.l);
        rig::prime({dst.get(), src.img});
    }

    // One call; on success the expectation is the model over the region.
    ::testing::AssertionResult go(const Case &c, wren_outcome *out = nullptr) {
        const auto [status, o] = rig::run(sc, {}, [&] { return chain.run().status; });
        if (out) *out = o;
        if (o.reason != c.reason) return ::testing::AssertionFailure() << "reason " << o.reason << ": " << o.message;
        if (c.reason != WREN_OK) return rig::ended(sc, status, false);
        if (status != ZOR_SUCCESS || o.rects < 2) return ::testing::AssertionFailure() << "status " << status;
        const int wb = c.depth == 8 ? 1 : 4, dmask = rig::wmask(c.depth, c.nb, c.band);
        int order[4] = {}, j = 0;
        for (int k = 0; k < wb; ++k)
            if ((dmask >> (wb - 1 - k)) & 1) order[k] = j++;
        int dox, doy, sox, soy;
        dst->getOrigin(&dox, &doy);
        src.img->getOrigin(&sox, &soy);
        auto region = rig::region_of(src.img, dst.get());
        sc.expect(id, dst.get(), region.get(), dmask, [&](int x, int y, int k) {
            const int sx = x - dox + sox, sy = y - doy + soy;
            // Single: the one sample; combined: the source sample of band k
            // (a packed 3-band source holds bands 1-3 of the window pixel).
            long v;
            if (!c.combined) {
                v = src.sample(sx, sy, c.first);
            } else if (c.stride == 3 && wb == 4) {
                v = src.sample(sx, sy, k - 1);
            } else {
                v = src.sample(sx, sy, wb == 1 ? c.first : k);
            }
            return lut.out(order[k], v);
        });
        return sc.check();
    }
};

TEST(Lookup, FormsAndLayoutsIntoCoveredWindows) {
    uint32_t seed = 900;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Shot r(c, ++seed);
        ASSERT_TRUE(r.lut.l);
        EXPECT_TRUE(r.go(c));
    }
}

// The cache, call after call, as the outcome's note tells it; every call's
// pixels are checked too.
TEST(Lookup, CacheKeptRebuiltAndUsedInPlace) {
    wren_release_tables();
    // The notes of calls one after another; "*": the lookup is modified first.
    const std::pair<const Case &, std::vector<std::string>> plans[] = {
        {cases[0], {"table built", "cache hit", "*table built", "cache hit"}},
        {cases[1], {"table used in place", "table used in place"}},
        {cases[10], {"table used in place", "table used in place"}},
        {cases[12], {"table used in place"}},
        {cases[2], {"table built", "cache hit"}},  // a full table of 3 bands is copied
        {cases[7], {"table built", "cache hit", "*table built"}},
        {cases[14], {"table built, table used in place", "cache hit, table used in place"}},
    };
    uint32_t seed = 50;
    for (const auto &[c, notes] : plans) {
        Shot r(c, ++seed);
        for (const std::string &note : notes) {
            SCOPED_TRACE(std::string(c.what) + ": " + note);
            const uint8_t v = 42;
            if (note[0] == '*') {
                ASSERT_EQ(r.lut.l->setValues(0, 5, 1, &v), ZOR_SUCCESS);
            }
            wren_outcome o{};
            ASSERT_TRUE(r.go(c, &o));
            EXPECT_EQ(o.note, note.substr(note[0] == '*'));
        }
    }
}

// The same lookup into another window layout rebuilds the tables, and
// coming back rebuilds them again.
TEST(Lookup, AnotherWindowLayoutRebuilds) {
    wren_release_tables();
    Case one = cases[0];
    one.lut_bands = 3;  // enough bands for the 3 the other windows select
    Shot a(one, 71);
    const int id24 = a.sc.window(24, 150, 100, 60, 40);
    // Bands 1-3, then bands 2-3: the same pixel size, another band mask.
    ZorHandle<ZorImage> dst[2] = {ZorHandle<ZorImage>(a.sc.image(id24)->createChild(0, 0, 1, 60, 40, 3)),
                                  ZorHandle<ZorImage>(a.sc.image(id24)->createChild(0, 0, 2, 60, 40, 2))};
    std::vector<std::unique_ptr<rig::Chain>> other;
    for (auto &d : dst) {
        ZorOp *op = ZorOp::create("lookup8_8", nullptr, a.src.img);
        op->setObjParam(1, a.lut.l);
        other.push_back(std::make_unique<rig::Chain>(d.get(), op));
        rig::prime({d.get()});
    }
    auto note_of = [&](int i) {
        EXPECT_EQ(other[i]->run().status, ZOR_SUCCESS);
        return std::string(rig::last().note);
    };
    wren_outcome o{};
    ASSERT_TRUE(a.go(one, &o));
    EXPECT_STREQ(o.note, "table built");
    ASSERT_TRUE(a.go(one, &o));
    EXPECT_STREQ(o.note, "cache hit");
    EXPECT_EQ(note_of(0), "table built");
    EXPECT_EQ(note_of(0), "cache hit");
    EXPECT_EQ(note_of(1), "table built");
    ASSERT_TRUE(a.go(one, &o));
    EXPECT_STREQ(o.note, "table built");
}

}  // namespace
