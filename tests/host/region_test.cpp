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
    EXPECT_TRUE(roi);
    if (!roi) return p;
    ZorHandle<ZorRectList> list(roi->getRectList());
    int x, y, w, h;
    while (list && list->getNext(&x, &y, &w, &h)) {
        EXPECT_TRUE(w > 0 && h > 0);
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

// Union, intersection, a clip list moved from screen to image space,
// translation, scaling (a pixel is in when its centre maps back into a
// source pixel) and flips about a centre; no object left behind.
TEST(Region, OperationsMatchThePixelModel) {
    const long live = ZorObject::liveCount();
    std::mt19937 rng(20261206);
    for (int trial = 0; trial < 40; ++trial) {
        const auto ra = random_rects(rng, trial % 7), rb = random_rects(rng, 1 + trial % 5);
        const auto rc = random_rects(rng, trial % 6, 0, 60);
        Roi a = make(ra), b = make(rb);
        ZorHandle<ZorClipList> clip(ZorClipList::create(rc.data(), rc.size()));
        const Pixels pa = pixels_of(ra), pb = pixels_of(rb), pc = pixels_of(rc);
        EXPECT_EQ(pixels_of(a.get()), pa);
        EXPECT_EQ(a->isEmpty(), pa.empty());
        Roi i(a->intersect(b.get())), u(a->unite(b.get()));
        EXPECT_EQ(pixels_of(i.get()), model(-30, 60, [&](int x, int y) { return pa.count({x, y}) && pb.count({x, y}); }));
        EXPECT_EQ(pixels_of(u.get()), model(-30, 60, [&](int x, int y) { return pa.count({x, y}) || pb.count({x, y}); }));
        const int dx = int(rng() % 41) - 10, dy = int(rng() % 41) - 10;
        Roi c(b->intersectClipList(clip.get(), dx, dy)), t(b->translate(dx, dy));
        EXPECT_EQ(pixels_of(c.get()), model(-30, 60, [&](int x, int y) { return pb.count({x, y}) && pc.count({x + dx, y + dy}); }));
        EXPECT_EQ(pixels_of(t.get()), model(-50, 80, [&](int x, int y) { return pb.count({x - dx, y - dy}); }));
    }
    const double factors[] = {2, 0.5, 3, 1.5, 0.25, -2, -0.5, 1};
    for (int f = 0; f < 8; ++f)
        for (double c : {0.0, 0.5, 3.0, -2.25}) {
            const double xs = factors[f], ys = factors[(f + 3) % 8];
            const auto rr = random_rects(rng, 4, -10, 20);
            const Pixels p = pixels_of(rr);
            Roi out(make(rr)->scale(xs, ys, c, -c));
            EXPECT_EQ(pixels_of(out.get()), model(-120, 120, [&](int i, int j) {
                          const double px = c + (i + 0.5 - c) / xs, py = -c + (j + 0.5 + c) / ys;
                          return p.count({int(std::floor(px)), int(std::floor(py))}) > 0;
                      })) << "xs " << xs << " ys " << ys << " about " << c;
        }
    for (auto [type, lr, tb] : {std::tuple{ZOR_FLIP_TOP_BOTTOM, false, true}, {ZOR_FLIP_LEFT_RIGHT, true, false},
                                {ZOR_FLIP_ROTATE_180, true, true}})
        for (double c : {4.5, 7.0, -3.5, 0.25, 0.75}) {
            const auto rr = random_rects(rng, 5);
            const Pixels p = pixels_of(rr);
            Roi out(make(rr)->flip(type, c, c + 1));
            const int kx = int(std::floor(2 * c + 0.5)), ky = int(std::floor(2 * (c + 1) + 0.5));
            EXPECT_EQ(pixels_of(out.get()), model(-80, 80, [&](int i, int j) { return p.count({lr ? kx - i : i, tb ? ky - j : j}) > 0; }));
        }
    Roi empty(ZorRoi::create()), zero(Roi(ZorRoi::create(0, 0, 10, 10))->scale(0, 2, 0, 0));
    ZorHandle<ZorRectList> list(empty->getRectList());
    int x = 7;
    EXPECT_EQ(list->getNext(&x, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(std::make_tuple(x, empty->numRects(), zero->isEmpty()), std::make_tuple(7, 0, true));
    ZorHandle<ZorClipList> no_clip(ZorClipList::create(nullptr, 0));
    Roi none(Roi(ZorRoi::create(0, 0, 10, 10))->intersectClipList(no_clip.get(), -ZOR_COORD_LIMIT, 0));  // nothing to move
    EXPECT_TRUE(none && none->isEmpty());
    list.reset(), empty.reset(), zero.reset(), none.reset(), no_clip.reset();
    EXPECT_EQ(ZorObject::liveCount(), live);
}

}  // namespace
