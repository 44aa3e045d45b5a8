// Allocation failure in driver calls: for one call of each drawing row in
// each layout its driver's plan states, every allocation the call makes (in
// the plug-in, the host, the window system and the simulator alike) is made
// to fail in turn, alone and together with every later one. Each run must
// end in status 0 with the result of the unfailed call, or in status 2 with
// both frame buffers as they were; no host object may be left over or lost,
// no window left locked, and no exception may come out. The window lock
// is swept too: each call locks windows whose clip list it must make. The sanitizer
// build's leak check at exit covers the rest. The kept tables are released
// before each run, so that their making is swept too.
//
// The calls are those of the plan test (rig.h, chains.h): a row joins by
// landing, with no code here.
#include "../drivers/rig.h"
#include "alloc_fail.h"
#include "kept.h"

#include <cstdio>
#include <cstdlib>
#include <tuple>
#include <map>
#include <set>

namespace {

using rig::device;

// One driver call: a row on images of one of its layouts, or a member that
// no row reaches directly.
struct Call {
    std::string name;
    const WrenPath *row;
    rig::Images im;
    int alt;
    std::function<int(rig::RowCall &)> invoke;  // the row's member unless given
    std::function<void(rig::RowCall &)> prepare = {};
};

// For every drawing row, each layout row on its first images (per variant);
// rows of one plan that take the same parameters (the dyadic drivers) once.
std::vector<Call> calls() {
    std::vector<Call> out;
    int n = 0;
    const WrenPath *rows = wren_path_table(&n);
    std::set<std::string> seen;
    for (int i = 0; i < n; ++i) {
        const WrenPath &row = rows[i];
        if (row.state != WREN_PATH_DRAWS) continue;
        std::set<int> variants;
        for (int alt = 0; alt < 2; ++alt) {
            rig::RowCall probe;
            if (!rig::build(probe, row, rig::Images{0, {0, 0}}, alt)) continue;
            const int v = probe.variant(*row.plan);
            std::string key = std::to_string(reinterpret_cast<uintptr_t>(row.plan)) + " " + std::to_string(v);
            for (int k = 0; k + 1 < row.count(); ++k) key += std::string(" ") + row.params[k];
            if (!variants.insert(v).second || !seen.insert(key).second) continue;
            std::set<const wren::Layout *> shown;
            for (const rig::Images &im : rig::all_images(*row.plan)) {
                const wren::Layout *l = rig::layout_of(*row.plan, v, im);
                if (!l || !shown.insert(l).second) continue;
                const std::string name = std::string(row.member) + " " + row.names[0] + " layout " +
                                         std::to_string(l - row.plan->layouts.data()) + (alt ? ", second form" : "");
                out.push_back({name, &row, im, alt, {}});
            }
        }
        // Members no path reaches directly: the plain quick zoom, the set
        // value through a copy.
        if (std::string(row.names[0]) == "scale8bilinear") {
            out.push_back({"qdx_Scale8Wren", &row, {0, {0, 0}}, 0,
                           [](rig::RowCall &c) { return device()->qdx_Scale8Wren(c.display()); }});
        }
        if (std::string(row.names[0]) == "setvalue8") {
            const auto through_copy = [](rig::RowCall &c) {
                ZorOp *set = c.made.ops[1];
                ZorOp *copy = ZorOp::create("copy8", nullptr, set->getDst(), nullptr, set);
                c.made.ops.insert(c.made.ops.begin(), {ZorOp::create(ZOR_DISPLAY_IO_WREN, c.dst, nullptr, nullptr, copy), copy});
            };
            out.push_back({"SetValue8Wren through copy8", &row, {1, {0, 0}}, 0,
                           [](rig::RowCall &c) { return device()->SetValue8Wren(c.display(), 2); }, through_copy});
        }
    }
    return out;
}

struct Attempt {
    int status = -1;
    bool asked = false;  // the plug-in was called (the host's dispatch may fail before)
    bool threw = false;
    allocfail::Stats stats;
    wren_outcome outcome{};
    std::vector<uint8_t> fb8, fb24;
    std::vector<ZorErrorRecord> reports;
};

std::vector<uint8_t> frame(const uint8_t *p, size_t n) { return std::vector<uint8_t>(p, p + n); }

// Builds the call's scene afresh, runs the call with the given plan and
// checks what must hold whatever the plan; returns what happened.
Attempt attempt(const Call &call, long fail_at, bool and_later) {
    rig::RowCall c;
    EXPECT_TRUE(rig::build(c, *call.row, call.im, call.alt)) << "the call could not be built";
    if (call.prepare) call.prepare(c);
    rig::Scene &sc = *c.sc;
    sc.arm();
    // The covering windows move since: the call's lock makes the clip list afresh.
    const std::vector<wca::Window *> stack = sc.screen().stack();
    for (size_t i = 2; i < stack.size(); ++i) sc.screen().moveWindow(stack[i]->id(), stack[i]->x() + 1, stack[i]->y());
    wren_release_tables();
    const std::vector<uint8_t> before8 = frame(sc.screen().frameBuffer8(), sc.screen().frameBuffer8Size());
    const std::vector<uint8_t> before24 = frame(sc.screen().frameBuffer24(), sc.screen().frameBuffer24Size());
    ZorSystemState::clearErrors();
    const long live = ZorObject::liveCount();

    Attempt r;
    {
        allocfail::Scope scope(fail_at, and_later);
        try {
            if (call.invoke) {
                r.status = call.invoke(c);
                r.asked = true;
            } else {
                const ZorDispatchResult d = ZorDispatch(c.display());
                r.status = d.status;
                r.asked = d.asked > 0;
            }
        } catch (...) {
            r.threw = true;
        }
        r.stats = scope.end();
    }
    wren_last_outcome(&r.outcome);
    r.reports = ZorSystemState::errors();
    r.fb8 = frame(sc.screen().frameBuffer8(), sc.screen().frameBuffer8Size());
    r.fb24 = frame(sc.screen().frameBuffer24(), sc.screen().frameBuffer24Size());

    EXPECT_FALSE(r.threw) << "an exception came out of the call";
    EXPECT_TRUE(r.status == ZOR_SUCCESS || r.status == ZOR_FAILURE) << "status " << r.status;
    EXPECT_EQ(ZorObject::liveCount(), live) << "host objects made or lost";
    for (wca::Window *w : sc.screen().stack()) EXPECT_FALSE(w->locked()) << "window " << w->id() << " left locked";
    EXPECT_TRUE(sc.machine().accel().faults().empty()) << sc.machine().accel().faults().front();
    if (r.status == ZOR_FAILURE) {
        EXPECT_TRUE(r.fb8 == before8) << "declined, but the 8-bit frame buffer changed";
        EXPECT_TRUE(r.fb24 == before24) << "declined, but the 24-bit frame buffer changed";
    }
    return r;
}

// WREN_SWEEP_STRIDE=k fails every k-th allocation of each call only, the
// first one the call's number modulo k (the sanitizer build's sample: there
// each run costs ten times as much); unset, every allocation. The convolution
// drivers' coefficient copies report their failure as "di-1" with the line of
// that copy, and decline.
TEST(DriverSweep, EveryAllocationOfEveryCallFailsCleanly) {
    ASSERT_TRUE(allocfail::installed());
    rig::plugin();
    const char *stride_env = std::getenv("WREN_SWEEP_STRIDE");
    const long stride = stride_env && std::atol(stride_env) > 1 ? std::atol(stride_env) : 1;
    long allocations = 0, runs = 0, declined = 0, index = 0;
    const std::map<std::string, std::set<int>> copies = {{"ConvolveWren", {116}}, {"ConvolveSPWren", {166, 183}}};
    std::map<std::string, std::set<int>> reported;
    for (const Call &call : calls()) {
        SCOPED_TRACE(call.name);
        const long first = 1 + index++ % stride;
        const Attempt base = attempt(call, 0, false);
        ASSERT_EQ(base.status, ZOR_SUCCESS) << base.outcome.message;
        ASSERT_GT(base.outcome.rects, 1) << "the call should walk several rectangles";
        allocations += base.stats.seen;
        bool plugin_declined = false;
        for (bool later : {false, true}) {
            // Until the index is past what the call reaches.
            for (long n = first;; n += stride) {
                SCOPED_TRACE(::testing::Message() << "allocation " << n << (later ? " and later" : "") << " fails");
                const Attempt r = attempt(call, n, later);
                if (r.stats.failed == 0) break;
                ++runs;
                if (r.status == ZOR_SUCCESS) {
                    EXPECT_TRUE(r.fb8 == base.fb8 && r.fb24 == base.fb24) << "computed, but not what the unfailed call drew";
                } else {
                    ++declined;
                    plugin_declined |= r.asked;
                }
                for (const ZorErrorRecord &e : r.reports) {
                    if (e.id != "di-1" || !copies.count(call.row->member)) continue;
                    EXPECT_EQ(std::tie(r.status, e.category, e.flag, e.file),
                              std::make_tuple(ZOR_FAILURE, 1, 1, call.row->member));
                    EXPECT_EQ(copies.at(call.row->member).count(e.line), 1u) << "di-1 at line " << e.line;
                    reported[e.file].insert(e.line);
                }
                if (::testing::Test::HasFatalFailure() || n > 10000) break;
            }
        }
        // Some allocation the call needs must have been hit.
        EXPECT_TRUE(plugin_declined);
    }
    if (stride == 1) {  // a stride may skip some copy's allocation
        EXPECT_EQ(reported, copies);
    }
    std::printf("%ld allocations, %ld runs, %ld declined\n", allocations, runs, declined);
}

}  // namespace
