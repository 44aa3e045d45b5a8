// Region operations against a per-pixel model on random rectangle sets.
#include "zor_region.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace {

using Pixels = std::set<std::pair<int, int>>;
using Roi = ZorHandle<ZorRoi>;

std::vector<ZorRect> random_rects(std::mt19937 &rng, int n, int lo = -20, int hi = 40) {
    std::uniform_int_distribution<int> pos(lo, hi), size(-2, 15);  // some empty
    std::vector<ZorRect> r(n);
    for (auto &x : r) x = {pos(rng), pos(rng), size(rng), size(rng)};
    return r;
}

// The pixels of a region, read through its rectangle list; fails the test when
// rectangles overlap or are empty.
Pixels pixels_of(const ZorRoi *roi) {
    Pixels p;
    ZorHandle<ZorRectList> list(roi->getRectList());
    EXPECT_TRUE(list);
    int x, y, w, h;
    while (list && list->getNext(&x, &y, &w, &h)) {
        EXPECT_GT(w, 0);
        EXPECT_GT(h, 0);
        for (int j = y; j < y + h; ++j)
            for (int i = x; i < x + w; ++i) EXPECT_TRUE(p.insert({i, j}).second) << "overlap at " << i << "," << j;
    }
    return p;
}

Pixels pixels_of(const std::vector<ZorRect> &rects) {
    Pixels p;
    for (const auto &r : rects)
        for (int j = r.y; j < r.y + r.h; ++j)
            for (int i = r.x; i < r.x + r.w; ++i) p.insert({i, j});
    return p;
}

Pixels model(int lo, int hi, const std::function<bool(int, int)> &in) {
    Pixels p;
    for (int j = lo; j < hi; ++j)
        for (int i = lo; i < hi; ++i)
            if (in(i, j)) p.insert({i, j});
    return p;
}

Roi make(const std::vector<ZorRect> &rects) { return Roi(ZorRoi::create(rects.data(), rects.size())); }

class RegionTest : public ::testing::Test {
protected:
    void SetUp() override { live_ = ZorObject::liveCount(); }
    void TearDown() override { EXPECT_EQ(ZorObject::liveCount(), live_) << "host objects leaked"; }
    std::mt19937 rng_{20261206};
    long live_ = 0;
};

TEST_F(RegionTest, UnionAndIntersectMatchModel) {
    for (int trial = 0; trial < 40; ++trial) {
        const auto ra = random_rects(rng_, trial % 7), rb = random_rects(rng_, 1 + trial % 5);
        Roi a = make(ra), b = make(rb);
        ASSERT_TRUE(a && b);
        const Pixels pa = pixels_of(ra), pb = pixels_of(rb);
        EXPECT_EQ(pixels_of(a.get()), pa);
        EXPECT_EQ(a->isEmpty(), pa.empty());
        Roi i(a->intersect(b.get())), u(a->unite(b.get()));
        EXPECT_EQ(pixels_of(i.get()), model(-30, 60, [&](int x, int y) { return pa.count({x, y}) && pb.count({x, y}); }));
        EXPECT_EQ(pixels_of(u.get()), model(-30, 60, [&](int x, int y) { return pa.count({x, y}) || pb.count({x, y}); }));
        for (const auto &[x, y] : pa) EXPECT_TRUE(a->contains(x, y));
    }
}

TEST_F(RegionTest, IntersectClipListMovesScreenToImageSpace) {
    for (int trial = 0; trial < 40; ++trial) {
        const auto rr = random_rects(rng_, 1 + trial % 4), rc = random_rects(rng_, trial % 6, 0, 60);
        const int xoff = static_cast<int>(rng_() % 41) - 10, yoff = static_cast<int>(rng_() % 41) - 10;
        Roi roi = make(rr);
        ZorHandle<ZorClipList> clip(ZorClipList::create(rc.data(), rc.size()));
        ASSERT_TRUE(roi && clip);
        const Pixels pr = pixels_of(rr), pc = pixels_of(rc);
        Roi out(roi->intersectClipList(clip.get(), xoff, yoff));
        ASSERT_TRUE(out);
        EXPECT_EQ(pixels_of(out.get()),
                  model(-30, 60, [&](int x, int y) { return pr.count({x, y}) && pc.count({x + xoff, y + yoff}); }));
    }
}

TEST_F(RegionTest, TranslateMatchesModel) {
    for (int trial = 0; trial < 20; ++trial) {
        const auto rr = random_rects(rng_, 1 + trial % 5);
        const int dx = static_cast<int>(rng_() % 31) - 15, dy = static_cast<int>(rng_() % 31) - 15;
        Roi roi = make(rr), out(roi->translate(dx, dy));
        const Pixels p = pixels_of(rr);
        EXPECT_EQ(pixels_of(out.get()), model(-50, 80, [&](int x, int y) { return p.count({x - dx, y - dy}); }));
    }
}

// A pixel is in the scaled region when its centre maps back into a source pixel.
TEST_F(RegionTest, ScaleMatchesPixelCentreModel) {
    const double factors[] = {2, 0.5, 3, 1.5, 0.25, -2, -0.5, 1};
    const double centres[] = {0, 0.5, 3, -2.25};
    for (int f = 0; f < 8; ++f)
        for (double c : centres) {
            const double xs = factors[f], ys = factors[(f + 3) % 8];
            const auto rr = random_rects(rng_, 4, -10, 20);
            const Pixels p = pixels_of(rr);
            Roi roi = make(rr), out(roi->scale(xs, ys, c, -c));
            ASSERT_TRUE(out);
            const Pixels expect = model(-120, 120, [&](int i, int j) {
                const double px = c + (i + 0.5 - c) / xs, py = -c + (j + 0.5 + c) / ys;
                return p.count({static_cast<int>(std::floor(px)), static_cast<int>(std::floor(py))}) > 0;
            });
            EXPECT_EQ(pixels_of(out.get()), expect) << "xs " << xs << " ys " << ys << " about " << c;
        }
}

TEST_F(RegionTest, FlipMatchesModel) {
    struct Case {
        int type;
        bool lr, tb;
    } cases[] = {{ZOR_FLIP_TOP_BOTTOM, false, true}, {ZOR_FLIP_LEFT_RIGHT, true, false}, {ZOR_FLIP_ROTATE_180, true, true}};
    const double centres[] = {4.5, 7, -3.5, 0.25, 0.75};
    for (const Case &k : cases)
        for (double c : centres) {
            const auto rr = random_rects(rng_, 5);
            const Pixels p = pixels_of(rr);
            Roi roi = make(rr), out(roi->flip(k.type, c, c + 1));
            ASSERT_TRUE(out);
            const int kx = static_cast<int>(std::floor(2 * c + 0.5)), ky = static_cast<int>(std::floor(2 * (c + 1) + 0.5));
            EXPECT_EQ(pixels_of(out.get()), model(-80, 80, [&](int i, int j) {
                          return p.count({k.lr ? kx - i : i, k.tb ? ky - j : j}) > 0;
                      }));
        }
}

TEST_F(RegionTest, FlipOfImageAboutItsCentreStaysInTheImage) {
    Roi img(ZorRoi::create(0, 0, 9, 5)), part(ZorRoi::create(0, 0, 2, 1));
    Roi whole(img->flip(ZOR_FLIP_ROTATE_180, (9 - 1) * 0.5, (5 - 1) * 0.5));
    EXPECT_TRUE(whole->equals(img.get()));
    Roi corner(part->flip(ZOR_FLIP_ROTATE_180, 4.0, 2.0));
    EXPECT_EQ(corner->extents().x, 7);
    EXPECT_EQ(corner->extents().y, 4);
}

TEST_F(RegionTest, FailuresGiveNull) {
    Roi roi(ZorRoi::create(0, 0, 10, 10));
    EXPECT_EQ(roi->intersect(nullptr), nullptr);
    EXPECT_EQ(roi->intersectClipList(nullptr, 0, 0), nullptr);
    EXPECT_EQ(roi->flip(2, 0, 0), nullptr);
    EXPECT_EQ(roi->scale(NAN, 1, 0, 0), nullptr);
    EXPECT_EQ(roi->scale(1e10, 1, 0, 0), nullptr);
    EXPECT_EQ(roi->translate(ZOR_COORD_LIMIT, 0), nullptr);
    const ZorRect huge{ZOR_COORD_LIMIT - 1, 0, 10, 10};
    EXPECT_EQ(ZorRoi::create(&huge, 1), nullptr);
    EXPECT_EQ(ZorClipList::create(&huge, 1), nullptr);
    EXPECT_EQ(ZorRoi::create(nullptr, 2), nullptr);
    ZorHandle<ZorClipList> clip(ZorClipList::create(&huge, 0));
    ASSERT_TRUE(clip);
    Roi none(roi->intersectClipList(clip.get(), -ZOR_COORD_LIMIT, 0));  // nothing to move
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->isEmpty());
    Roi zero(roi->scale(0, 2, 0, 0));
    EXPECT_TRUE(zero->isEmpty());
}

TEST_F(RegionTest, EmptyRectListEndsAtOnce) {
    Roi empty(ZorRoi::create());
    ZorHandle<ZorRectList> list(empty->getRectList());
    int x = 7;
    EXPECT_EQ(list->getNext(&x, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(x, 7);
    EXPECT_EQ(empty->numRects(), 0);
}

}  // namespace
