// Overlapping calls: 2 and 4 threads drive one host, device and simulated
// machine at once, each in its own part of the screen (an 8-bit and a 24-bit
// window, a third over both), drawing every drawing path of the path table
// into each window it suits with the plan test's calls (rig.h): first with
// objects of its own, then with the chains below the display (sources,
// lookups, kernels, interpolation tables) shared by all. Every call must compute, tell
// its own outcome, and leave the thread's part of both frame buffers as the
// same call made alone did; the accelerator must see no misuse. The tsan
// preset builds it with ThreadSanitizer. WREN_STRESS_ROUNDS: how often each
// thread makes all its calls (2).
#include "rig.h"

#include <atomic>
#include <latch>
#include <span>
#include <thread>

namespace {

constexpr int kLaneW = 160, kLaneH = 180, kLanes = 4, kTileW = 40, kTileH = 32;

struct Call {
    const WrenPath *row;
    ZorOp *display;
    std::uint64_t alone = 0;  // hash of the lane after the call made alone
};

class Stress : public ::testing::Test {
protected:
    Stress() : sc_({.width = kLaneW * kLanes, .height = kLaneH}, 5) {
        for (int l = 0; l < kLanes; ++l) {
            const int x0 = l * kLaneW;
            const int win[2] = {sc_.window(8, x0 + 4, 4, 100, 70), sc_.window(24, x0 + 4, 90, 100, 70)};
            sc_.window(24, x0 + 30, 30, 30, 100);  // over both
            for (int d = 0; d < 2; ++d) tile_[l][d] = sc_.image(win[d])->createChild(6, 6, d, kTileW, kTileH, d ? 3 : 1);
        }
        sc_.arm();  // every window's clip list made once
        for (int l = 0; l < kLanes; ++l) lane(l, false);
    }

    ~Stress() override {
        for (ZorOp *o : displays_) o->destroy();
        rows_.clear();
        for (auto &t : tile_)
            for (ZorImage *i : t) i->destroy();
    }

    // Lane l's bytes of both frame buffers, row after row: kept as its
    // background the first time, else put back from it (reset) or hashed.
    std::uint64_t lane(int l, bool reset) {
        wca::Screen &s = sc_.screen();
        std::vector<std::uint8_t> &bg = background_[l];
        const bool keep = bg.empty();
        std::uint64_t h = 0xcbf29ce484222325ull;
        for (std::size_t y = 0, at = 0; y < kLaneH; ++y) {
            std::uint8_t *rows[2] = {s.frameBuffer8() + y * wren_fb::line_bytes8 + l * kLaneW,
                                     s.frameBuffer24() + y * wren_fb::line_bytes24 + l * kLaneW * 4};
            const std::size_t n[2] = {kLaneW, kLaneW * 4};
            for (int f = 0; f < 2; ++f) {
                if (keep) bg.insert(bg.end(), rows[f], rows[f] + n[f]);
                else if (reset) std::memcpy(rows[f], bg.data() + at, n[f]);
                for (std::size_t i = 0; i < n[f]; ++i) h = (h ^ rows[f][i]) * 0x100000001b3ull;
                at += n[f];
            }
        }
        return h;
    }

    // Every drawing row into each tile a layout of its plan takes (on the
    // first images that fit): each lane its own call, or (shared) lane 0's
    // chain below a display of each lane. Then every call alone.
    void build(bool shared) {
        int n = 0;
        const WrenPath *table = wren_path_table(&n);
        for (const WrenPath &row : std::span(table, static_cast<std::size_t>(n))) {
            if (row.state != WREN_PATH_DRAWS) continue;
            for (int d = 0; d < 2; ++d) {
                const std::vector<rig::Images> all = rig::all_images(*row.plan);
                const auto fits = std::find_if(all.begin(), all.end(), [&](const rig::Images &im) {
                    rig::RowCall probe;
                    return im.w == (d ? 2 : 0) && rig::build(probe, row, im, 0, &sc_, tile_[0][d]) &&
                           rig::layout_of(*row.plan, probe.variant(*row.plan), im);
                });
                if (fits == all.end()) continue;
                for (int l = 0; l < kLanes; ++l) {
                    if (shared && l > 0) {
                        ZorOp *below = rows_.back()->display()->getOp1();
                        displays_.push_back(ZorOp::create(ZOR_DISPLAY_IO_WREN, tile_[l][d], nullptr, nullptr, below));
                        calls_[l].push_back({&row, displays_.back()});
                        continue;
                    }
                    rows_.push_back(std::make_unique<rig::RowCall>());
                    ASSERT_TRUE(rig::build(*rows_.back(), row, *fits, 0, &sc_, tile_[l][d])) << row.member;
                    calls_[l].push_back({&row, rows_.back()->display()});
                }
            }
        }
        for (int l = 0; l < kLanes; ++l)
            for (Call &c : calls_[l]) {
                lane(l, true);
                ASSERT_EQ(ZorDispatch(c.display).status, ZOR_SUCCESS) << c.row->member << ": " << rig::last().message;
                c.alone = lane(l, false);
            }
    }

    // Lanes 0 .. n - 1 at once, each making its calls `rounds` times in an
    // order of its own; counts the calls and what went wrong.
    void run(int n, int rounds, std::atomic<long> *calls, std::atomic<long> *wrong, std::atomic<long> *outcome) {
        std::latch start(n);
        std::vector<std::thread> threads;
        for (int l = 0; l < n; ++l)
            threads.emplace_back([&, l] {
                std::mt19937 g(static_cast<std::uint32_t>(l * 7 + n));
                std::vector<Call> mine = calls_[l];
                start.arrive_and_wait();
                for (int r = 0; r < rounds; ++r) {
                    std::shuffle(mine.begin(), mine.end(), g);
                    for (const Call &c : mine) {
                        lane(l, true);
                        const int status = ZorDispatch(c.display).status;
                        wren_outcome o{};
                        wren_last_outcome(&o);
                        ++*calls;
                        *wrong += status != ZOR_SUCCESS || lane(l, false) != c.alone;
                        std::string path = ZOR_DISPLAY_IO_WREN;
                        for (int i = 0; i + 1 < c.row->count(); ++i) path += std::string("/") + c.row->names[i];
                        *outcome += o.status != status || path != o.path;
                    }
                }
            });
        for (std::thread &t : threads) t.join();
    }

    void phase(bool shared) {
        build(shared);
        if (HasFatalFailure()) return;
        const char *env = std::getenv("WREN_STRESS_ROUNDS");
        const long live = ZorObject::liveCount();
        for (int n : {2, 4}) {
            sc_.machine().accel().clearFaults();
            std::atomic<long> calls{0}, wrong{0}, outcome{0};
            run(n, env ? std::max(1, std::atoi(env)) : 2, &calls, &wrong, &outcome);
            const auto &faults = sc_.machine().accel().faults();
            std::printf("%s objects, %d threads: %ld calls, %ld wrong results, %ld wrong outcome records, %zu "
                        "accelerator faults\n", shared ? "shared" : "own", n, calls.load(), wrong.load(),
                        outcome.load(), faults.size());
            EXPECT_EQ(wrong + outcome, 0);
            EXPECT_TRUE(faults.empty()) << faults.front();
        }
        EXPECT_EQ(ZorObject::liveCount(), live) << "host objects left behind or lost";
        for (wca::Window *w : sc_.screen().stack()) EXPECT_FALSE(w->locked()) << "window " << w->id();
    }

    rig::Scene sc_;
    ZorImage *tile_[kLanes][2] = {};
    std::vector<std::uint8_t> background_[kLanes];
    std::vector<Call> calls_[kLanes];
    std::vector<std::unique_ptr<rig::RowCall>> rows_;
    std::vector<ZorOp *> displays_;  // of the lanes over lane 0's shared chains
};

TEST_F(Stress, OwnObjects) { phase(false); }

TEST_F(Stress, SharedLookupsKernelsAndTables) { phase(true); }

}  // namespace
