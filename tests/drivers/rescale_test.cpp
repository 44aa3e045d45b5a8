// The rescale drivers end to end through the simulated pixel-mapping unit:
// chain reading and its refusals, the registers and their order, and the
// window pixels against clamp(s x + o, lo, hi) in both mapping modes.
//
// Precision of the unit as programmed: the slope code keeps 9 significant
// bits (|g| >= 1) or an absolute step of 2^-8 (|g| < 1), so over the input
// range between the clamps the mapped value is off by less than one output
// level. 8-bit results are within 1 of the rounded exact value. 16-bit
// samples also carry input thresholds rounded to whole samples, which moves
// the line by up to half a sample: within 1 + |s| / 2 levels.
#include "rig.h"

#include <cmath>

namespace {

using rig::Scene;
using rig::Source;

struct Thr {
    float low, high, map;
};

// A rescale (8- or 16-bit) under thresholds (top first), shown in dst.
struct RescaleChain {
    float scale, offset;
    std::vector<Thr> thr;
    rig::Chain *chain = nullptr;
    RescaleChain(ZorImage *dst, ZorImage *src, bool wide, float s, float o, std::vector<Thr> t)
        : scale(s), offset(o), thr(std::move(t)) {
        ZorOp *op = ZorOp::create(wide ? "rescale16" : "rescale8", nullptr, src);
        op->setPtrParam(1, &scale);
        op->setPtrParam(2, &offset);
        std::vector<ZorOp *> below;
        for (auto it = thr.rbegin(); it != thr.rend(); ++it) {
            below.push_back(op);
            op = ZorOp::create(wide ? "threshold16" : "threshold8", nullptr, nullptr, nullptr, op);
            op->setPtrParam(1, &it->low);
            op->setPtrParam(2, &it->high);
            op->setPtrParam(3, &it->map);
        }
        if (wide) {
            below.push_back(op);
            op = ZorOp::create("convert16_8", nullptr, nullptr, nullptr, op);
        }
        chain = new rig::Chain(dst, op);
        chain->ops.insert(chain->ops.end(), below.begin(), below.end());
    }
    ~RescaleChain() { delete chain; }
};

// A signed 16-bit source image with samples from f(x, y).
template <class F>
ZorHandle<ZorImage> shorts(int w, int h, F f) {
    ZorHandle<ZorImage> img(ZorImage::create(w, h, 1, ZOR_SHORT));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) *static_cast<int16_t *>(img->sampleAddress(x, y, 0)) = f(x, y);
    img->markModified();
    return img;
}

wsim::MachineOptions mode(int m) {
    wsim::MachineOptions o = Scene::small();
    o.map_mode = m;
    return o;
}

// ---- Chains, checks and their refusals -------------------------------------

// What each chain takes; a decline writes nothing, leaves the window unlocked
// and the unit untouched. Mode 0 (no mapping unit) declines after the clip.
TEST(Rescale, WhatIsAcceptedAndWhatDeclines) {
    const Thr top200{200, 255, 200}, bottom20{0, 20, 20}, low10{10, 50, 50}, top100{100, 255, 100};
    const Thr w_top200{200, 32767, 200}, w_bottom20{-32768, 20, 20}, w_top255{255, 32767, 255}, w_bottom0{-32768, 0, 0};
    const struct {
        const char *what;
        bool wide;
        float s, o;
        std::vector<Thr> thr;
        int reason, mode = 1;
    } cases[] = {
        {"scale 2: inputs 0 .. 127.5", false, 2, 0, {}, WREN_OK},
        {"scale 0", false, 0, 0, {}, WREN_PARAMETER},
        {"scale 1, offset 10: input -10 for the bottom", false, 1, 10, {}, WREN_PARAMETER},
        {"negative scale", false, -1, 255, {}, WREN_OK},
        {"one top clamp", false, 1, 0, {top200}, WREN_OK},
        {"one bottom clamp", false, 1, 0, {bottom20}, WREN_OK},
        {"a threshold with low 10", false, 1, 0, {low10}, WREN_PARAMETER},
        {"both clamps", false, 1.5f, -30, {top200, bottom20}, WREN_OK},
        {"two tops", false, 1, 0, {top200, top100}, WREN_PARAMETER},
        {"scale NaN", false, NAN, 0, {}, WREN_PARAMETER},
        {"mode 0", false, 2, 0, {}, WREN_LAYOUT, 0},
        {"16-bit: top clamp above 255", true, 1.0f / 128, 100, {{300, 32767, 300}, w_bottom0}, WREN_PARAMETER},
        {"16-bit: bottom clamp below 0", true, 1.0f / 128, 100, {w_top200, {-32768, -5, -5}}, WREN_PARAMETER},
        {"16-bit: two bottoms", true, 1.0f / 128, 100, {{-32768, 5, 5}, w_bottom0}, WREN_PARAMETER},
        {"16-bit: input beyond 32767", true, 1.0f / 256, 0, {w_top255, w_bottom0}, WREN_PARAMETER},
        {"16-bit: 8-bit threshold form", true, 1.0f / 128, 100, {top200, {0, 0, 0}}, WREN_PARAMETER},
        {"16-bit: accepted", true, 1.0f / 256, 128, {w_top255, w_bottom0}, WREN_OK},
        {"16-bit: both clamps", true, 1.0f / 128, 100, {w_top200, w_bottom20}, WREN_OK},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Scene sc(mode(c.mode));
        const int id = sc.window(8, 30, 20, 90, 60);
        Source s(90, 60, 1, 77);
        auto s16 = shorts(90, 60, [](int x, int y) { return static_cast<int16_t>(x * 100 - y); });
        ZorImage *src = c.wide ? s16.get() : s.img;
        RescaleChain rc(sc.image(id), src, c.wide, c.s, c.o, c.thr);
        const auto [status, o] = rig::run(sc, {sc.image(id), src}, [&] { return rc.chain->run().status; });
        EXPECT_EQ(o.reason, c.reason) << o.message;
        EXPECT_TRUE(rig::ended(sc, status, c.reason == WREN_OK));
    }
}

// Scale 2, offset 0: the thirteen writes, in order, after waiting for 17 free
// entries, then until idle.
TEST(Rescale8, RegistersAndTheirOrder) {
    using namespace wren_reg;
    Scene sc;
    const int id = sc.window(8, 30, 20, 40, 30);
    Source s(40, 30, 1, 5);
    RescaleChain rc(sc.image(id), s.img, false, 2, 0, {});
    rig::prime({sc.image(id), s.img});
    sc.image(id)->getDeviceInputOutput()->state = 7;
    sc.arm();
    auto &acc = sc.machine().accel();
    acc.clearTrace();
    acc.scriptStatus({16, 16, 17, wren_val::status_busy | 17});
    ASSERT_EQ(rc.chain->run().status, ZOR_SUCCESS) << rig::last().message;
    const std::vector<wsim::RegAccess> want = {
        {status, 16, false}, {status, 16, false}, {status, 17, false},
        {map_slope, 0xc0000001u, true},  // g = -2: mantissa -256, exponent 1
        {map_out_lo, 0, true}, {map_out_hi, 255, true}, {map_in_lo, 0, true},
        {map_in_hi, 0x07f00000u, true},  // 127.5 / 255 of 2^28, top 8 bits
        {fill_color, 0xffffff, true}, {map_aux0, 0, true}, {map_aux1, 0, true},
        {raster_mode, wren_val::mode_map, true}, {group_control, wren_val::group_map8, true},
        {raster_op, 0x83, true}, {plane_mask_lo, 0xff, true}, {plane_mask_hi, 0, true},
        {status, wren_val::status_busy | 17, false}, {status, wsim::Accelerator::kDefaultFree, false},
    };
    EXPECT_EQ(acc.trace(), want);
    EXPECT_EQ(sc.image(id)->getDeviceInputOutput()->state, 0);
}

// ---- 16-bit chain ----------------------------------------------------------

TEST(Rescale16, RegistersOfTheFullChain) {
    using namespace wren_reg;
    Scene sc;
    const int id = sc.window(8, 10, 10, 30, 20);
    auto src = shorts(30, 20, [](int x, int y) { return static_cast<int16_t>(x * 1000 - y * 700); });
    // lo 20, hi 200; inputs -10240 .. 12800, rounded to the nearest sample
    // (truncating x + 0.5 would give -10239).
    RescaleChain rc(sc.image(id), src.get(), true, 1.0f / 128, 100, {{200, 32767, 200}, {-32768, 20, 20}});
    rig::prime({sc.image(id), src.get()});
    sc.arm();
    ASSERT_EQ(rc.chain->run().status, ZOR_SUCCESS) << rig::last().message;
    const auto &acc = sc.machine().accel();
    EXPECT_EQ(acc.reg(map_slope), 0xc0000001u);
    EXPECT_EQ(acc.reg(map_out_lo), 21u);
    EXPECT_EQ(acc.reg(map_out_hi), 201u);
    EXPECT_EQ(acc.reg(map_in_lo), 0xf5800000u);
    EXPECT_EQ(acc.reg(map_in_hi), 0x0b200000u);
}

// ---- Pixels ----------------------------------------------------------------

// Random maps (negative scales included) through both modes and both sample
// sizes into a covered window: visible pixels of the region hold
// clamp(s x + o, lo, hi) within the unit's precision, nothing else changes.
TEST(Rescale, WindowShowsTheClampedMapInBothModes) {
    std::mt19937 g(2026);
    std::uniform_real_distribution<float> u(0, 1);
    int drawn = 0;
    double worst8 = 0, worst16 = 0;
    for (int m : {1, 2})
        for (bool wide : {false, true})
            for (int round = 0; round < 12; ++round) {
                // Clamps first, then a scale and offset whose inputs fit.
                float lo = std::floor(u(g) * 120), hi = lo + std::floor(u(g) * (255 - lo));
                // 16-bit chains with both thresholds, the top one only (the low side keeps
                // its default 0) or none (the rescale alone, clamped to 0..255).
                const int sides16 = round % 4 == 1 ? 1 : round % 4 == 2 ? 0 : 2;
                if (wide && sides16 < 2) lo = 0;
                if (wide && sides16 == 0) hi = 255;
                const bool neg = round % 3 == 0;
                const float span_in = wide ? 1 + u(g) * 60000 : 1 + u(g) * 254;
                float s = (hi - lo) / span_in * (neg ? -1 : 1);
                if (s == 0) s = neg ? -1 : 1;
                const float in_min = wide ? -32768 : 0, in_max = wide ? 32767 : 255;
                const float x_at_lo = in_min + u(g) * (in_max - in_min - std::fabs((hi - lo) / s));
                // y = s (x - x_at_lo) + lo for s > 0; the top at x_at_lo for s < 0.
                const float o = s > 0 ? lo - s * x_at_lo : hi - s * x_at_lo;
                std::vector<Thr> thr;
                if (wide) thr = sides16 == 2   ? std::vector<Thr>{{hi, 32767, hi}, {-32768, lo, lo}}
                                : sides16 == 1 ? std::vector<Thr>{{hi, 32767, hi}}
                                               : std::vector<Thr>{};
                else if (round % 2) thr = {{-0.0f, lo, lo}, {hi, 255, hi}};
                else if (lo != 0) thr = {{0, lo, lo}}, hi = 255;
                else thr = {{hi, 255, hi}};
                SCOPED_TRACE(::testing::Message() << "mode " << m << (wide ? " 16" : " 8") << "-bit, s " << s
                                                  << " o " << o << " clamp " << lo << ".." << hi);
                Scene sc(mode(m), static_cast<uint32_t>(round + 10));
                int id;
                ZorHandle<ZorImage> dst = rig::covered_child(sc, 8, 0, 1, &id);
                Source s8(83, 52, 1, g());
                const float x0 = s > 0 ? (lo - o) / s : (hi - o) / s;
                auto s16 = shorts(83, 52, [&](int x, int y) {
                    const float t = x0 + (static_cast<float>((x * 7 + y * 13) % 97) - 20) / 57.0f * std::fabs((hi - lo) / s);
                    return static_cast<int16_t>(std::clamp(t, -32768.0f, 32767.0f));
                });
                ZorImage *src = wide ? s16.get() : s8.img;
                src->setOrigin(5, 1);
                RescaleChain rc(dst.get(), src, wide, s, o, thr);
                // The host routes only the whole 16-bit chain; the shorter ones reach the driver directly.
                const auto [status, out] = rig::run(sc, {dst.get(), src}, [&] {
                    return wide && thr.size() < 2
                               ? rig::device()->Rescale16Wren(rc.chain->display, 3 + static_cast<int>(thr.size()))
                               : rc.chain->run().status;
                });
                if (status != ZOR_SUCCESS) {  // inputs a rounding step outside the range
                    EXPECT_EQ(out.reason, WREN_PARAMETER) << out.message;
                    EXPECT_TRUE(sc.check());
                    continue;
                }
                ++drawn;
                wca::Window *win = sc.screen().window(id);
                int dox, doy;
                dst->getOrigin(&dox, &doy);
                const double tol = wide ? 1 + std::fabs(s) / 2 : 1;
                auto region = rig::region_of(src, dst.get());
                sc.expect(id, dst.get(), region.get(), 1, [&](int x, int y, int) {
                    const int sx = x - dox + 5, sy = y - doy + 1;
                    const int v = wide ? *static_cast<int16_t *>(src->sampleAddress(sx, sy, 0)) : s8.px(sx, sy)[0];
                    if (m == 2 && v == (wide ? wsim::Accelerator::kView16Empty : wsim::Accelerator::kView8Empty))
                        return -1;  // the direct view's blind value
                    const double exact = std::clamp(static_cast<double>(s) * v + o, double(lo), double(hi));
                    const int want = static_cast<int>(std::floor(exact + 0.5));
                    const int got = sc.screen().frameBuffer8()[static_cast<size_t>(win->y() + 4 + y) * wren_fb::line_bytes8 +
                                                               win->x() + 5 + x];
                    double &worst = wide ? worst16 : worst8;
                    worst = std::max(worst, std::fabs(got - exact) - (wide ? std::fabs(s) / 2 : 0));
                    return std::abs(got - want) <= tol ? got : want;
                });
                EXPECT_TRUE(sc.check());
            }
    EXPECT_GT(drawn, 30);
    RecordProperty("worst8", std::to_string(worst8));
    RecordProperty("worst16", std::to_string(worst16));
    std::printf("largest error: 8-bit %.3f levels, 16-bit %.3f levels beyond |s|/2\n", worst8, worst16);
}

}  // namespace
