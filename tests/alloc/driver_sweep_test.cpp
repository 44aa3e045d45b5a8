// Allocation failure in driver calls: for one call of each landed driver and
// layout, every allocation the call makes (in the plug-in, the host, the
// window system and the simulator alike) is made to fail in turn, alone and
// together with every later one. Each run must end in status 0 with the
// result of the unfailed call, or in status 2 with both frame buffers as they
// were; no host object may be left over or lost, no window left locked, and
// no exception may come out. The sanitizer build's leak check at exit
// covers the rest.
//
// The calls come from the device's path table: every row whose driver draws
// is swept in each layout its parameters allow, so a driver joins by landing.
// A row that takes a kind of parameter the sweep cannot make yet fails the
// test until a maker is added to calls().
#include "../drivers/rig.h"
#include "alloc_fail.h"
#include "kept.h"
#include "wren_device.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using rig::Scene;
using rig::Source;

using rig::device;

// Everything one run needs, made before the injection is armed.
struct Setup {
    std::unique_ptr<Scene> scene;
    std::vector<std::unique_ptr<Source>> sources;
    std::vector<ZorHandle<ZorImage>> images;  // children and results
    std::vector<ZorHandle<ZorLookup>> lookups;
    std::vector<ZorHandle<ZorInterpolationTable>> tables;
    std::vector<ZorHandle<ZorKernel>> kernels;
    std::unique_ptr<rig::Chain> chain;
    float floats[4] = {0, 0, 0, 0};
    int32_t ints[4] = {0, 0, 0, 0};
    float more[12] = {};  // threshold values of chains
    ZorImage *dst = nullptr;

    Source *source(int w, int h, int stride, uint32_t seed, bool last3 = false) {
        sources.push_back(std::make_unique<Source>(w, h, stride, seed, 0, last3));
        return sources.back().get();
    }
    ZorImage *keep(ZorImage *img) {
        images.emplace_back(img);
        return img;
    }
};

// One driver call: how its scene is built and how it is made.
struct Call {
    std::string name;
    std::function<void(Setup &)> build;
    // Through the host's dispatch unless given.
    std::function<int(Setup &)> invoke;
};

// A window at (10, 5) with another window over part of it, so that the call
// has several rectangles to walk.
ZorImage *covered_window(Setup &s, int depth) {
    wsim::MachineOptions o;
    o.width = 160;
    o.height = 64;
    s.scene = std::make_unique<Scene>(o, 5);
    const int id = s.scene->window(depth, 10, 5, 60, 40);
    s.scene->window(depth, 30, 20, 20, 50);
    return s.scene->image(id);
}

// The window image's child showing bands 1-3 of each 4-byte pixel.
ZorImage *last_three(Setup &s, ZorImage *win) { return s.keep(win->createChild(0, 0, 1, 60, 40, 3)); }

void dyadic(Setup &s, const char *op, int depth, int b1, int b2) {
    ZorImage *win = covered_window(s, depth);
    const bool three = b1 == 3 || b2 == 3;
    s.dst = three ? last_three(s, win) : win;
    Source *a = s.source(60, 40, b1, 11, three && b1 == 4);
    Source *b = s.source(60, 40, b2, 12, three && b2 == 4);
    s.chain = std::make_unique<rig::Chain>(s.dst, ZorOp::create(op, nullptr, a->img, b->img));
    rig::prime({s.dst, a->img, b->img});
}

// One source of `stride` samples; the constants of ptr1, floats or integers.
void monadic(Setup &s, const char *op, int depth, int stride, const char *constants) {
    ZorImage *win = covered_window(s, depth);
    s.dst = stride == 3 ? last_three(s, win) : win;
    Source *a = s.source(60, 40, stride, 13, false);
    ZorOp *o = ZorOp::create(op, nullptr, a->img);
    const float f[4] = {3.5f, 0.25f, -2.0f, 7.0f};
    const int32_t n[4] = {0x5a, 0x0f, 0xf0, 0x33};
    for (int k = 0; k < 4; ++k) {
        s.floats[k] = f[k];
        s.ints[k] = n[k];
    }
    if (constants) o->setPtrParam(1, std::string(constants) == "ints" ? static_cast<void *>(s.ints) : s.floats);
    s.chain = std::make_unique<rig::Chain>(s.dst, o);
    rig::prime({s.dst, a->img});
}

void set_value(Setup &s, int depth, bool through_copy) {
    s.dst = covered_window(s, depth);
    const float f[4] = {10, 20, 30, 40};
    for (int k = 0; k < 4; ++k) s.floats[k] = f[k];
    ZorImage *res = s.keep(ZorImage::create(40, 30, depth == 8 ? 1 : 4, ZOR_BYTE));
    res->setOrigin(-5, -3);
    ZorOp *set = ZorOp::create("setvalue8", res);
    set->setPtrParam(1, s.floats);
    if (!through_copy) {
        s.chain = std::make_unique<rig::Chain>(s.dst, set);
    } else {
        s.chain = std::make_unique<rig::Chain>(s.dst, ZorOp::create("copy8", nullptr, res, nullptr, set));
        s.chain->ops.push_back(set);
    }
    rig::prime({s.dst, res});
}

// A lookup of `stride`-sample pixels (16-bit samples for lookup16_8) through
// a single lookup of `out` bands (offset and entries as given) or, with
// combined, one table per band.
void lookup(Setup &s, const char *op, int depth, int stride, bool combined, int out, int offset, int entries) {
    ZorImage *win = covered_window(s, depth);
    s.dst = stride == 3 ? last_three(s, win) : win;
    ZorImage *src = nullptr;
    if (std::string(op) == "lookup16_8") {
        src = s.keep(ZorImage::create(60, 40, static_cast<unsigned>(stride), ZOR_SHORT));
        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 60; ++x)
                for (int k = 0; k < stride; ++k)
                    *static_cast<int16_t *>(src->sampleAddress(x, y, k)) = static_cast<int16_t>((x * 977 + y * 131 + k) - 2000);
        src->markModified();
    } else {
        src = s.source(60, 40, stride, 14, false)->img;
    }
    std::vector<uint8_t> values(static_cast<size_t>(entries) * 4);
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<uint8_t>(i * 37);
    ZorLookup *lut = nullptr;
    if (combined) {
        unsigned n[4];
        int o[4];
        const uint8_t *t[4];
        for (int k = 0; k < out; ++k) {
            n[k] = static_cast<unsigned>(entries);
            o[k] = offset;
            t[k] = values.data() + k;
        }
        lut = ZorLookup::createCombined(static_cast<unsigned>(out), n, o, t);
    } else {
        lut = ZorLookup::create(static_cast<unsigned>(out), offset, static_cast<unsigned>(entries), values.data());
    }
    s.lookups.emplace_back(lut);
    ZorOp *o = ZorOp::create(op, nullptr, src);
    o->setObjParam(1, lut);
    s.chain = std::make_unique<rig::Chain>(s.dst, o);
    rig::prime({s.dst, src});
}

// A flip of a source of `stride` samples (3: into the window's bands 1-3).
void flip(Setup &s, const char *op, int depth, int stride, long type) {
    ZorImage *win = covered_window(s, depth);
    s.dst = stride == 3 ? last_three(s, win) : win;
    Source *a = s.source(60, 40, stride, 14, false);
    ZorOp *o = ZorOp::create(op, nullptr, a->img);
    o->setLongParam(1, type);
    s.chain = std::make_unique<rig::Chain>(s.dst, o);
    rig::prime({s.dst, a->img});
}

// The plain quick zoom, which the scale driver will reach: 2x or 4x.
void zoom(Setup &s, float factor) {
    s.dst = covered_window(s, 8);
    Source *a = s.source(31, 21, 1, 15, false);
    ZorOp *o = ZorOp::create("scale8bilinear", nullptr, a->img);
    o->setFloatParam(1, factor);
    o->setFloatParam(2, factor);
    s.chain = std::make_unique<rig::Chain>(s.dst, o);
    rig::prime({s.dst, a->img});
}

// A 2x or 4x zoom of a one-band source through a one-band lookup (16-bit
// samples for the "lookup16_8" form), built or used in place.
void lookup_zoom(Setup &s, const char *op, float factor, bool full) {
    s.dst = covered_window(s, 8);
    const bool wide = std::string(op) == "lookup16_8";
    ZorImage *src = nullptr;
    if (wide) {
        src = s.keep(ZorImage::create(31, 21, 1, ZOR_SHORT));
        for (int y = 0; y < 21; ++y)
            for (int x = 0; x < 31; ++x)
                *static_cast<int16_t *>(src->sampleAddress(x, y, 0)) = static_cast<int16_t>(x * 2111 - y * 977);
        src->markModified();
    } else {
        src = s.source(31, 21, 1, 15, false)->img;
    }
    const long first = wide ? -32768 : 0, n = full ? (wide ? 65536 : 256) : 100;
    std::vector<uint8_t> values(static_cast<size_t>(n));
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<uint8_t>(i * 37);
    s.lookups.emplace_back(ZorLookup::create(1, full ? static_cast<int>(first) : 10, static_cast<unsigned>(n), values.data()));
    ZorOp *sc = ZorOp::create(wide ? "scale16bilinear" : "scale8bilinear", nullptr, src);
    sc->setFloatParam(1, factor);
    sc->setFloatParam(2, factor);
    ZorOp *lk = ZorOp::create(op, nullptr, nullptr, nullptr, sc);
    lk->setObjParam(1, s.lookups.back().get());
    s.chain = std::make_unique<rig::Chain>(s.dst, lk);
    s.chain->ops.push_back(sc);
    rig::prime({s.dst, src});
}

// A rescale chain into an 8-bit window, top first (names of a path table
// row): the thresholds clamp at 200 (top) and 20 (bottom).
void rescale(Setup &s, const WrenPath &row) {
    s.dst = covered_window(s, 8);
    const int n = row.count() - 1;
    const bool wide = std::string(row.names[n - 1]) == "rescale16";
    ZorImage *src = nullptr;
    if (wide) {
        src = s.keep(ZorImage::create(60, 40, 1, ZOR_SHORT));
        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 60; ++x)
                *static_cast<int16_t *>(src->sampleAddress(x, y, 0)) = static_cast<int16_t>(x * 977 - y * 1311);
        src->markModified();
    } else {
        src = s.source(60, 40, 1, 16, false)->img;
    }
    s.floats[0] = wide ? 1.0f / 128 : 2.0f;
    s.floats[1] = wide ? 100.0f : -10.0f;
    ZorOp *op = ZorOp::create(row.names[n - 1], nullptr, src);
    op->setPtrParam(1, &s.floats[0]);
    op->setPtrParam(2, &s.floats[1]);
    std::vector<ZorOp *> below;
    const float sides[2][3] = {{200, wide ? 32767.0f : 255.0f, 200}, {wide ? -32768.0f : 0.0f, 20, 20}};
    for (int i = n - 2, t = 0; i >= 0; --i) {
        below.push_back(op);
        op = ZorOp::create(row.names[i], nullptr, nullptr, nullptr, op);
        if (std::string(row.names[i]).rfind("threshold", 0) == 0) {
            for (int k = 0; k < 3; ++k) {
                s.more[3 * t + k] = sides[t][k];
                op->setPtrParam(k + 1, &s.more[3 * t + k]);
            }
            ++t;
        }
    }
    s.chain = std::make_unique<rig::Chain>(s.dst, op);
    s.chain->ops.insert(s.chain->ops.end(), below.begin(), below.end());
    rig::prime({s.dst, src});
}

// A warp of a source of `stride` samples (3: into the window's bands 1-3) by
// the affine matrix or the angle; the filter tables are released first, so
// that the call makes them and their allocation is swept too.
void warp(Setup &s, const char *op, int depth, int stride, bool rotate) {
    static const float m[6] = {0.9f, 0.35f, -0.35f, 0.9f, 4.0f, -2.0f};
    ZorImage *win = covered_window(s, depth);
    s.dst = stride == 3 ? last_three(s, win) : win;
    Source *a = s.source(60, 40, stride, 17, false);
    ZorOp *o = ZorOp::create(op, nullptr, a->img);
    if (rotate) {
        o->setFloatParam(1, 0.3f);
    } else {
        o->setPtrParam(1, const_cast<float *>(m));
    }
    s.chain = std::make_unique<rig::Chain>(s.dst, o);
    rig::prime({s.dst, a->img});
    wren_release_tables();
}

// A scaling of a source of `stride` samples (3: into the window's bands 1-3)
// by xs, ys; the general path takes two interpolation tables of 4 and 2 taps.
void scaling(Setup &s, const char *op, int depth, int stride, float xs, float ys) {
    ZorImage *win = covered_window(s, depth);
    s.dst = stride == 3 ? last_three(s, win) : win;
    Source *a = s.source(40, 30, stride, 16, false);
    ZorOp *o = ZorOp::create(op, nullptr, a->img);
    o->setFloatParam(1, xs);
    o->setFloatParam(2, ys);
    if (std::string(op) == "scale8general") {
        const float h[2 * 4] = {-0.1f, 0.6f, 0.6f, -0.1f, -0.05f, 0.3f, 0.8f, -0.05f}, v[2 * 2] = {1, 0, 0.5f, 0.5f};
        ZorInterpolationTable *th = ZorInterpolationTable::create(4, 2, h), *tv = ZorInterpolationTable::create(2, 2, v);
        s.tables.emplace_back(th);
        s.tables.emplace_back(tv);
        o->setObjParam(3, th);
        o->setObjParam(4, tv);
    }
    s.chain = std::make_unique<rig::Chain>(s.dst, o);
    rig::prime({s.dst, a->img});
}

// A 5x5 convolution, or a 5 x 1 then 1 x 5 chain, of a `stride`-sample
// source (3: into the window's bands 1-3, one band at a time).
void convolution(Setup &s, bool separable, int depth, int stride, long edge) {
    ZorImage *win = covered_window(s, depth);
    s.dst = stride == 3 ? last_three(s, win) : win;
    Source *a = s.source(60, 40, stride, 16, false);
    const float v[25] = {0.5f, 1, 2, 1, 0.5f, 1, 0.25f, -1, 0.125f, 1, 0, 0, 1, 0, 0, 1, 1, 1, 1, 1, -2, 0, 1, 0, 0};
    ZorOp *in = ZorOp::create("convolve8", nullptr, a->img);
    s.kernels.emplace_back(ZorKernel::create(5, separable ? 1 : 5, v, 2, separable ? 0 : 2));
    in->setObjParam(1, s.kernels.back().get());
    in->setLongParam(2, edge);
    if (!separable) {
        s.chain = std::make_unique<rig::Chain>(s.dst, in);
    } else {
        ZorOp *out = ZorOp::create("convolve8", nullptr, a->img, nullptr, in);
        s.kernels.emplace_back(ZorKernel::create(1, 5, v + 5, 0, 2));
        out->setObjParam(1, s.kernels.back().get());
        out->setLongParam(2, edge);
        s.chain = std::make_unique<rig::Chain>(s.dst, out);
        s.chain->ops.push_back(in);
    }
    rig::prime({s.dst, a->img});
}

void convolutions(std::vector<Call> &c, bool separable) {
    const std::string op = separable ? "convolve8/convolve8" : "convolve8";
    c.push_back({op + ", 1 band, zero fill", [=](Setup &s) { convolution(s, separable, 8, 1, 1); }, {}});
    c.push_back({op + ", 3 bands by band", [=](Setup &s) { convolution(s, separable, 24, 3, 0); }, {}});
}

// The calls for every drawing row of the path table, by what its operations
// take; *unknown collects the rows no maker fits.
std::vector<Call> calls(std::vector<std::string> *unknown) {
    std::vector<Call> c;
    int n = 0;
    const WrenPath *rows = wren_path_table(&n);
    for (int i = 0; i < n; ++i) {
        const WrenPath &row = rows[i];
        if (row.state != WREN_PATH_DRAWS) continue;
        const std::string op = row.names[0], takes = row.params[0];
        const char *name = row.names[0];
        if (row.count() == 3 && takes == "obj1:lookup:lut") {
            c.push_back({op + " of a 2x zoom, table built", [name](Setup &s) { lookup_zoom(s, name, 2.0f, false); }, {}});
            c.push_back({op + " of a 4x zoom, table in place", [name](Setup &s) { lookup_zoom(s, name, 4.0f, true); }, {}});
        } else if (std::string(row.member).rfind("Rescale", 0) == 0) {
            c.push_back({op + " (" + row.summary + ")", [&row](Setup &s) { rescale(s, row); }, {}});
        } else if (takes == "src1 obj1:kernel:kernel long2:edge:edge") {
            convolutions(c, row.count() == 3);
        } else if (row.count() != 2) {
            unknown->push_back(op + " (a chain)");
        } else if (takes == "src1 src2") {
            c.push_back({op + ", 1 band", [name](Setup &s) { dyadic(s, name, 8, 1, 1); }, {}});
            c.push_back({op + ", 4 bands", [name](Setup &s) { dyadic(s, name, 24, 4, 4); }, {}});
            c.push_back({op + ", 3 + 4 bands staged", [name](Setup &s) { dyadic(s, name, 24, 3, 4); }, {}});
        } else if (takes == "src1 ptr1:floats:low ptr2:floats:high ptr3:floats:map") {
            const auto make = [name](int depth, int stride) {
                return [name, depth, stride](Setup &s) {
                    monadic(s, name, depth, stride, nullptr);
                    const float v[12] = {50, 0, 100, 20, 150, 80, 255, 20, 0, 255, 7, 9};
                    std::copy(v, v + 12, s.more);
                    for (int k = 0; k < 3; ++k) s.chain->ops[0]->setPtrParam(k + 1, s.more + 4 * k);
                };
            };
            c.push_back({op + ", 1 band", make(8, 1), {}});
            c.push_back({op + ", 4 bands", make(24, 4), {}});
            c.push_back({op + ", 3 bands staged", make(24, 3), {}});
        } else if (takes == "src1" || takes.rfind("src1 ptr1:floats:", 0) == 0 || takes.rfind("src1 ptr1:ints:", 0) == 0) {
            const char *k = takes == "src1" ? nullptr : takes.find(":ints:") != std::string::npos ? "ints" : "floats";
            c.push_back({op + ", 1 band", [name, k](Setup &s) { monadic(s, name, 8, 1, k); }, {}});
            c.push_back({op + ", 4 bands", [name, k](Setup &s) { monadic(s, name, 24, 4, k); }, {}});
            c.push_back({op + ", 3 bands", [name, k](Setup &s) { monadic(s, name, 24, 3, k); }, {}});
        } else if (takes == "src1 obj1:lookup:lut" || takes == "src1:shorts obj1:lookup:lut") {
            const bool full = op == "lookup8_8";
            c.push_back({op + ", 1 band, table used in place", [name, full](Setup &s) {
                             lookup(s, name, 8, 1, false, 1, full ? 0 : -32768, full ? 256 : 65536);
                         }, {}});
            c.push_back({op + ", 1 band, table built", [name](Setup &s) { lookup(s, name, 8, 1, false, 1, 10, 100); }, {}});
            c.push_back({op + ", 4 bands, one table per band", [name](Setup &s) { lookup(s, name, 24, 4, true, 4, -5, 300); }, {}});
            c.push_back({op + ", 3 bands staged", [name](Setup &s) { lookup(s, name, 24, 3, true, 3, 10, 100); }, {}});
            c.push_back({op + ", 1 band into 4 bands", [name](Setup &s) { lookup(s, name, 24, 1, false, 4, 0, 200); }, {}});
        } else if (takes == "ptr1:values:value") {
            c.push_back({op + ", 8-bit", [](Setup &s) { set_value(s, 8, false); }, {}});
            c.push_back({op + ", 24-bit", [](Setup &s) { set_value(s, 24, false); }, {}});
            c.push_back({op + " through copy8", [](Setup &s) { set_value(s, 24, true); },
                         [](Setup &s) { return device()->SetValue8Wren(s.chain->display, 2); }});
        } else if (takes == "src1 long1:flip:flip") {
            c.push_back({op + ", 1 band, half turn", [name](Setup &s) { flip(s, name, 8, 1, 5); }, {}});
            c.push_back({op + ", 4 bands, mirror", [name](Setup &s) { flip(s, name, 24, 4, 1); }, {}});
            c.push_back({op + ", 3 bands staged", [name](Setup &s) { flip(s, name, 24, 3, 0); }, {}});
        } else if (takes == "src1 ptr1:matrix:matrix" || takes == "src1 float1:angle:angle") {
            const bool rot = takes != "src1 ptr1:matrix:matrix";
            c.push_back({op + ", 1 band", [name, rot](Setup &s) { warp(s, name, 8, 1, rot); }, {}});
            c.push_back({op + ", 3 bands into 4", [name, rot](Setup &s) { warp(s, name, 24, 3, rot); }, {}});
        } else if (takes.rfind("src1 float1:scale:xscale float2:scale:yscale", 0) == 0) {
            c.push_back({op + ", 1 band, 1.5", [name](Setup &s) { scaling(s, name, 8, 1, 1.5f, 1.5f); }, {}});
            c.push_back({op + ", 1 band, 2x", [name](Setup &s) { scaling(s, name, 8, 1, 2.0f, 2.0f); }, {}});
            c.push_back({op + ", 4 bands, 0.75 x 1.25", [name](Setup &s) { scaling(s, name, 24, 4, 0.75f, 1.25f); }, {}});
            c.push_back({op + ", 3 bands staged", [name](Setup &s) { scaling(s, name, 24, 3, 1.5f, 2.0f); }, {}});
        } else {
            unknown->push_back(op + " (" + takes + ")");
        }
    }
    // Members that no path reaches yet.
    c.push_back({"qdx_Scale8Wren, 2x", [](Setup &s) { zoom(s, 2.0f); },
                 [](Setup &s) { return device()->qdx_Scale8Wren(s.chain->display); }});
    c.push_back({"qdx_Scale8Wren, 4x", [](Setup &s) { zoom(s, 4.0f); },
                 [](Setup &s) { return device()->qdx_Scale8Wren(s.chain->display); }});
    return c;
}

struct Attempt {
    int status = -1;
    bool asked = false;  // the plug-in was called (the host's dispatch may fail before)
    bool threw = false;
    allocfail::Stats stats;
    wren_outcome outcome{};
    std::vector<uint8_t> fb8, fb24;
};

std::vector<uint8_t> frame(const uint8_t *p, size_t n) { return std::vector<uint8_t>(p, p + n); }

// Builds the call's scene afresh, runs the call with the given plan and
// checks what must hold whatever the plan; returns what happened.
Attempt attempt(const Call &call, long fail_at, bool and_later) {
    Setup s;
    call.build(s);
    EXPECT_TRUE(s.chain && s.chain->display) << "the call could not be built";
    Scene &sc = *s.scene;
    sc.arm();
    const std::vector<uint8_t> before8 = frame(sc.screen().frameBuffer8(), sc.screen().frameBuffer8Size());
    const std::vector<uint8_t> before24 = frame(sc.screen().frameBuffer24(), sc.screen().frameBuffer24Size());
    ZorSystemState::clearErrors();
    const long live = ZorObject::liveCount();

    Attempt r;
    {
        allocfail::Scope scope(fail_at, and_later);
        try {
            if (call.invoke) {
                r.status = call.invoke(s);
                r.asked = true;
            } else {
                const ZorDispatchResult d = s.chain->run();
                r.status = d.status;
                r.asked = d.asked > 0;
            }
        } catch (...) {
            r.threw = true;
        }
        r.stats = scope.end();
    }
    wren_last_outcome(&r.outcome);
    r.fb8 = frame(sc.screen().frameBuffer8(), sc.screen().frameBuffer8Size());
    r.fb24 = frame(sc.screen().frameBuffer24(), sc.screen().frameBuffer24Size());

    EXPECT_FALSE(r.threw) << "an exception came out of the call";
    EXPECT_TRUE(r.status == ZOR_SUCCESS || r.status == ZOR_FAILURE) << "status " << r.status;
    EXPECT_EQ(ZorObject::liveCount(), live) << "host objects made or lost";
    for (wca::Window *w : sc.screen().stack()) EXPECT_FALSE(w->locked()) << "window " << w->id() << " left locked";
    if (r.status == ZOR_FAILURE) {
        EXPECT_TRUE(r.fb8 == before8) << "declined, but the 8-bit frame buffer changed";
        EXPECT_TRUE(r.fb24 == before24) << "declined, but the 24-bit frame buffer changed";
    } else if (r.status == ZOR_SUCCESS) {
        EXPECT_TRUE(sc.machine().accel().faults().empty()) << sc.machine().accel().faults().front();
    }
    return r;
}

struct Figures {
    long allocations = 0;  // made by the unfailed call
    long runs = 0, declined = 0, computed = 0;
    std::map<std::string, int> reasons;  // why the declines declined
};

TEST(DriverSweep, EveryAllocationOfEveryCallFailsCleanly) {
    ASSERT_TRUE(allocfail::installed());
    rig::plugin();
    std::vector<std::pair<std::string, Figures>> table;
    Figures total;
    std::vector<std::string> unknown;
    const std::vector<Call> all = calls(&unknown);
    for (const std::string &row : unknown) ADD_FAILURE() << "the sweep cannot make a call of " << row << " yet";
    for (const Call &call : all) {
        SCOPED_TRACE(call.name);
        const Attempt base = attempt(call, 0, false);
        ASSERT_EQ(base.status, ZOR_SUCCESS) << base.outcome.message;
        ASSERT_GT(base.outcome.rects, 1) << "the call should walk several rectangles";
        Figures f;
        f.allocations = base.stats.seen;
        bool plugin_declined = false;
        for (bool later : {false, true}) {
            // Until the index is past what the call reaches.
            for (long n = 1;; ++n) {
                SCOPED_TRACE(::testing::Message() << "allocation " << n << (later ? " and later" : "") << " fails");
                const Attempt r = attempt(call, n, later);
                if (r.stats.failed == 0) break;
                ++f.runs;
                if (r.status == ZOR_SUCCESS) {
                    ++f.computed;
                    EXPECT_TRUE(r.fb8 == base.fb8 && r.fb24 == base.fb24) << "computed, but not what the unfailed call drew";
                } else {
                    ++f.declined;
                    ++f.reasons[r.asked ? wren_reason_name(r.outcome.reason) : "host dispatch"];
                    plugin_declined |= r.asked;
                }
                if (::testing::Test::HasFatalFailure() || n > 10000) break;
            }
        }
        // Some allocation the call needs must have been hit.
        EXPECT_TRUE(plugin_declined);
        total.allocations += f.allocations;
        total.runs += f.runs;
        total.declined += f.declined;
        total.computed += f.computed;
        table.emplace_back(call.name, f);
    }
    std::printf("%-32s %6s %6s %8s %8s  declines by reason\n", "call", "allocs", "runs", "declined", "computed");
    for (const auto &[name, f] : table) {
        std::string reasons;
        for (const auto &[why, n] : f.reasons) reasons += " " + why + " " + std::to_string(n) + ";";
        std::printf("%-32s %6ld %6ld %8ld %8ld %s\n", name.c_str(), f.allocations, f.runs, f.declined, f.computed,
                    reasons.c_str());
    }
    std::printf("%-32s %6ld %6ld %8ld %8ld\n", "all calls", total.allocations, total.runs, total.declined,
                total.computed);
}

}  // namespace
