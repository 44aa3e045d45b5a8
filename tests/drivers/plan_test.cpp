// Every drawing row of the path table, read from its driver's plan: each
// layout row computes on images that fit it and writes only the bytes the
// destination shows; images that no layout row takes are declined for their
// layout with nothing written; a region with nothing in it is nothing to do
// (success, the window never locked, no register touched); a window with
// nothing on screen is computed with no rectangle; a clip failure declines,
// leaves the window unlocked and is reported by the drivers that report it.
// A new row is covered by its plan alone.
#include "rig.h"

#include <cstdio>
#include <map>
#include <set>
#include <tuple>
#include <utility>

namespace {

using rig::Images;
using rig::RowCall;

struct Row {
    const WrenPath *path;
    const wren::DriverPlan *plan;
};

std::vector<Row> drawing_rows() {
    int n = 0;
    const WrenPath *t = wren_path_table(&n);
    std::vector<Row> out;
    for (int i = 0; i < n; ++i)
        if (t[i].state == WREN_PATH_DRAWS) out.push_back({&t[i], t[i].plan});
    return out;
}

std::string what(const Row &r, const Images &im, int alt) {
    std::string s = std::string(r.path->member) + " " + r.path->names[0] + ": window " + std::to_string(im.w);
    for (int i = 0; i < r.plan->sources; ++i) s += ", source " + std::to_string(im.s[i]);
    return s + (alt ? ", second form" : "");
}

// The call's status and outcome; the host objects balance.
rig::Ran call(RowCall &c, const Row &r) {
    return rig::counted([&] { return (rig::device()->*r.path->fn)(c.display(), r.path->count()); });
}

TEST(DriverPlans, LayoutsComputeAndOthersDecline) {
    int computed = 0, declined = 0;
    const std::unique_ptr<rig::Scene> sc = rig::row_scene();
    for (const Row &r : drawing_rows()) {
        ASSERT_TRUE(r.plan) << r.path->member << ": no plan";
        // Each variant of the row's chain (a lookup's two forms).
        std::set<int> variants;
        for (int alt = 0; alt < 2; ++alt) {
            RowCall probe;
            ASSERT_TRUE(rig::build(probe, *r.path, Images{0, {0, 0}}, alt, sc.get()));
            const int v = probe.variant(*r.plan);
            if (!variants.insert(v).second) continue;
            std::set<const wren::Layout *> shown;
            for (const Images &im : rig::all_images(*r.plan)) {
                const wren::Layout *l = rig::layout_of(*r.plan, v, im);
                if (l && !shown.insert(l).second) continue;  // each row once, on its first images
                SCOPED_TRACE(what(r, im, alt));
                RowCall c;
                ASSERT_TRUE(rig::build(c, *r.path, im, alt, sc.get()));
                c.sc->arm();
                const auto [status, o] = call(c, r);
                if (l) {
                    EXPECT_EQ(status, ZOR_SUCCESS) << o.message;
                    EXPECT_GT(o.rects, 1);
                    EXPECT_TRUE(c.sc->changed_only_in(c.id, c.dst));
                    ++computed;
                } else {
                    EXPECT_EQ(status, ZOR_FAILURE);
                    EXPECT_TRUE(o.reason == WREN_LAYOUT || o.reason == WREN_BAND_MASK) << o.message;
                    EXPECT_EQ(o.scratch_allocs, 0);  // declined before anything was made
                    EXPECT_TRUE(c.sc->check());
                    ++declined;
                }
            }
            const auto serves = [v](const wren::Layout &l) { return !l.variants || ((l.variants >> v) & 1); };
            EXPECT_EQ(static_cast<long>(shown.size()), std::count_if(r.plan->layouts.begin(), r.plan->layouts.end(), serves))
                << r.path->member << ": a layout row no images reach";
        }
    }
    std::printf("%d layout rows computed, %d layouts declined\n", computed, declined);
}

// What each plan takes, pinned: for every variant, a bit per combination of
// the test's images (rig::all_images) set when a layout row takes it, in hex.
// A changed layouts table changes its line here (re-recorded on purpose).
TEST(DriverPlans, WhatEachPlanTakes) {
    std::map<const wren::DriverPlan *, std::string> taken;
    for (const Row &r : drawing_rows()) {
        if (taken.count(r.plan)) continue;
        std::string bits;
        for (int v = 0; v < 3; ++v) {
            if (!r.plan->variant && v) break;
            for (const Images &im : rig::all_images(*r.plan)) bits += rig::layout_of(*r.plan, v, im) ? '1' : '0';
        }
        std::string hex;
        for (size_t i = 0; i < bits.size(); i += 4) {
            int d = 0;
            for (size_t k = i; k < i + 4; ++k) d = 2 * d + (k < bits.size() && bits[k] == '1');
            hex += "0123456789abcdef"[d];
        }
        taken[r.plan] = std::string(r.path->member) + " " + hex;
    }
    std::string all;
    for (const Row &r : drawing_rows())
        if (taken.count(r.plan)) all += taken[r.plan] + "\n", taken.erase(r.plan);
    EXPECT_EQ(all, R"(Add8Wren 800000000000200000014014000000000080000000000
AddConst8Wren 80850200
Affine8Wren 80840002001000080040000
ConvolveWren 88852204
ConvolveSPWren 88852204
Copy8Wren fe8d2280
Lookup8_8Wren 82082082021408000000000
Lookup16_8Wren 82082082021408000000000
MultiplyConst8Wren 80850200
Not8Wren 80850200
qdx_Scale8Lookup8_8Wren 88002200
qdx_Scale16Lookup16_8Wren 88002200
Rescale8Wren 80000000
Rescale16Wren 80000000
Rotate8Wren 80840002001000080040000
Scale8Wren 81e79e78
SetValue8Wren f8
Threshold8Wren 80850200
Transpose8Wren 80850200
)");
}

// The drivers that report a clip failure ("di-7") and the line they give.
const std::map<std::string, int> kClipReports = {{"SetValue8Wren", 113}, {"Rescale8Wren", 236}, {"Rescale16Wren", 237}};

// On each row's first layout: nothing to do, nothing on screen, no clip list.
TEST(DriverPlans, EmptyHiddenAndUnclippable) {
    for (const Row &r : drawing_rows()) {
        SCOPED_TRACE(r.path->member + std::string(" ") + r.path->names[0]);
        const Images im{0, {0, 0}};
        {  // The destination's region is empty.
            RowCall c;
            ASSERT_TRUE(rig::build(c, *r.path, im));
            ZorHandle<ZorRoi> none(ZorRoi::create());
            c.dst->setRoi(none.get());
            c.dst->getImageSpaceRoi();
            c.sc->arm();
            volatile int locked = 0;
            c.sc->screen().window(c.id)->handle()->lock_word = &locked;
            c.sc->machine().accel().clearTrace();
            const auto [status, o] = call(c, r);
            EXPECT_EQ(status, ZOR_SUCCESS) << o.message;
            EXPECT_EQ(o.rects, 0);
            EXPECT_EQ(locked, 0);
            EXPECT_TRUE(c.sc->machine().accel().trace().empty());
            EXPECT_TRUE(c.sc->check());
            c.sc->screen().window(c.id)->handle()->lock_word = nullptr;
        }
        // The window lies off the screen (rows on it but no column, or the
        // other way round): locked, set up, unlocked, nothing written.
        for (const auto &[x, y] : {std::pair{-95, 10}, {260, 10}, {10, -65}, {10, 130}}) {
            RowCall c;
            ASSERT_TRUE(rig::build(c, *r.path, im));
            c.sc->screen().moveWindow(c.id, x, y);
            c.sc->arm();
            const auto [status, o] = call(c, r);
            EXPECT_EQ(status, ZOR_SUCCESS) << o.message;
            EXPECT_EQ(o.rects, 0);
            EXPECT_EQ(c.sc->machine().accel().reg(wren_reg::raster_op), 0x83u);
            EXPECT_EQ(c.dst->getDeviceInputOutput()->state, 0);
            EXPECT_TRUE(c.sc->check());
        }
        {  // The clip list cannot be had: declined, unlocked, reported where the driver reports it.
            RowCall c;
            ASSERT_TRUE(rig::build(c, *r.path, im));
            c.sc->arm();
            wca_win *h = c.sc->screen().window(c.id)->handle();
            h->update = [](wca_win *w) {
                w->clip = nullptr;
                return 1;
            };
            h->change_count = ~0ul;
            ZorSystemState::clearErrors();
            const auto [status, o] = call(c, r);
            EXPECT_EQ(status, ZOR_FAILURE);
            EXPECT_EQ(o.reason, WREN_CLIP) << o.message;
            EXPECT_EQ(h->lock_depth, 0);
            EXPECT_TRUE(c.sc->check());
            const auto line = kClipReports.find(r.path->member);
            const auto &errs = ZorSystemState::errors();
            ASSERT_EQ(errs.size(), line == kClipReports.end() ? 0u : 1u);
            if (!errs.empty()) {
                EXPECT_EQ(std::tie(errs[0].id, errs[0].line, errs[0].file),
                          std::make_tuple(std::string("di-7"), line->second, std::string(r.path->member)));
            }
            ZorSystemState::clearErrors();
        }
    }
}

}  // namespace
