// The window system and its handles: clip lists tile the screen, changes
// reach the next lock, the lock nests, excludes other threads and is all or
// nothing, and window images carry the display record.
#include "wca.h"
#include "window_system.h"
#include "zor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <random>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

namespace {

struct Geo {
    int id, x, y, w, h;
};

// The clip lists of the stack (bottom to top in model), as locked handles
// hand them out, and the uncovered screen cover every pixel exactly once,
// each pixel going to the topmost window of the model there.
void checkTiling(wca::Screen &s, const std::vector<Geo> &model) {
    const int W = s.width(), H = s.height();
    std::vector<int> owner(std::size_t(W) * H, 0), hits(std::size_t(W) * H, 0);
    for (const Geo &g : model)
        for (int y = std::max(0, g.y); y < std::min(H, g.y + g.h); ++y)
            for (int x = std::max(0, g.x); x < std::min(W, g.x + g.w); ++x) owner[std::size_t(y) * W + x] = g.id;
    for (const Geo &g : model) {
        wca_win *h = s.window(g.id)->handle();
        ASSERT_EQ(wca_win_lock(h), WCA_OK);
        auto *clip = static_cast<const ZorClipList *>(wca_win_clipinfo(h));
        ASSERT_NE(clip, nullptr);
        EXPECT_EQ(std::tie(h->x, h->y, h->w, h->h), std::tie(g.x, g.y, g.w, g.h));
        for (std::size_t i = 0; i < clip->numRects(); ++i) {
            const ZorRect r = clip->rect(i);
            ASSERT_TRUE(r.w > 0 && r.h > 0 && r.x >= 0 && r.y >= 0 && r.x + r.w <= W && r.y + r.h <= H);
            for (int y = r.y; y < r.y + r.h; ++y)
                for (int x = r.x; x < r.x + r.w; ++x) {
                    ASSERT_EQ(owner[std::size_t(y) * W + x], g.id) << "window " << g.id << " at " << x << "," << y;
                    ++hits[std::size_t(y) * W + x];
                }
        }
        ASSERT_EQ(wca_win_unlock(h), WCA_OK);
    }
    for (std::size_t i = 0; i < hits.size(); ++i) {
        ASSERT_EQ(hits[i], owner[i] ? 1 : 0) << "pixel " << i % W << "," << i / W;
        wca::Window *top = s.windowAt(int(i % W), int(i / W));
        ASSERT_EQ(top ? top->id() : 0, owner[i]);
    }
}

TEST(WindowClip, RandomStacksTileTheScreen) {
    std::mt19937 rng(4711);
    auto geo = [&](int W, int H) {  // some windows stick out of the screen on any side
        std::uniform_int_distribution<int> px(-W / 3, W), py(-H / 3, H), sw(1, W), sh(1, H);
        return Geo{0, px(rng), py(rng), sw(rng), sh(rng)};
    };
    for (int run = 0; run < 20; ++run) {
        wca::Screen s(97, 61);
        std::vector<Geo> model;
        for (int i = 0, n = 1 + int(rng() % 8); i < n; ++i) {
            Geo g = geo(s.width(), s.height());
            g.id = s.createWindow(rng() % 2 ? 8 : 24, g.x, g.y, g.w, g.h);
            ASSERT_GT(g.id, 0) << s.lastError();
            model.push_back(g);
        }
        checkTiling(s, model);
        for (int step = 0; step < 12 && !model.empty(); ++step) {  // each change seen at the next lock
            const std::size_t k = rng() % model.size();
            const Geo g = model[k], to = geo(s.width(), s.height());
            switch (rng() % 5) {
            case 0: ASSERT_TRUE(s.moveWindow(g.id, to.x, to.y)); model[k].x = to.x, model[k].y = to.y; break;
            case 1: ASSERT_TRUE(s.resizeWindow(g.id, to.w, to.h)); model[k].w = to.w, model[k].h = to.h; break;
            case 2: ASSERT_TRUE(s.raiseWindow(g.id)); model.erase(model.begin() + long(k)), model.push_back(g); break;
            case 3: ASSERT_TRUE(s.lowerWindow(g.id)); model.erase(model.begin() + long(k)), model.insert(model.begin(), g); break;
            default: ASSERT_TRUE(s.destroyWindow(g.id)); model.erase(model.begin() + long(k));
            }
            std::vector<int> ids, want;
            for (wca::Window *w : s.stack()) ids.push_back(w->id());
            for (const Geo &m : model) want.push_back(m.id);
            ASSERT_EQ(ids, want);
            checkTiling(s, model);
        }
    }
}

// While locked the handle keeps its clip list and bounding box; the next
// lock sees the changes. Observers see every outermost lock and unlock, may
// change the observers while they run (new ones run from the next lock on);
// an unlock observer that throws stops neither the unlock nor the observers after it.
TEST(WindowClip, ChangesReachTheNextLockAndObserversCannotBreakIt) {
    wca::Screen s(200, 100);
    const int a = s.createWindow(8, 10, 10, 50, 40), b = s.createWindow(24, 150, 50, 30, 30);
    wca_win *h = s.window(a)->handle();
    std::vector<int> seen;
    bool throw_on_unlock = false;
    int self = s.addLockObserver([&](wca::Window &w) { seen.push_back(w.id()); });
    s.addUnlockObserver([&](wca::Window &w) {
        seen.push_back(-w.id());
        if (throw_on_unlock) throw std::runtime_error("unlock observer");
    });
    s.addUnlockObserver([&](wca::Window &) { seen.push_back(-100); });

    ASSERT_EQ(wca_win_lock(h), WCA_OK);
    EXPECT_EQ(h->changed, 1);
    auto *clip = static_cast<const ZorClipList *>(wca_win_clipinfo(h));
    ASSERT_TRUE(s.moveWindow(b, 20, 20));
    ASSERT_TRUE(s.moveWindow(a, 12, 10));
    ASSERT_EQ(wca_win_lock(h), WCA_OK);
    EXPECT_EQ(wca_win_clipinfo(h), clip);
    EXPECT_EQ(clip->numRects(), 1u);
    EXPECT_EQ(h->x, 10);
    ASSERT_EQ(wca_win_unlock(h), WCA_OK);
    throw_on_unlock = true;  // from now on (the unlock is noexcept: a throw out of it ends the program)
    EXPECT_EQ(wca_win_unlock(h), WCA_OK);
    EXPECT_FALSE(s.window(a)->locked());
    EXPECT_EQ(seen, (std::vector<int>{a, -a, -100}));

    // An observer removing itself and adding another while it runs. The first
    // lock sees the moves (a at x 12), the second nothing since.
    seen.clear();
    s.removeObserver(self);
    self = s.addLockObserver([&](wca::Window &) {
        seen.push_back(1);
        s.removeObserver(self);
        s.addLockObserver([&](wca::Window &) { seen.push_back(3); });
    });
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(wca_win_lock(h), WCA_OK);
        EXPECT_EQ(std::make_tuple(h->changed, h->x), std::make_tuple(1 - i, 12));
        ASSERT_EQ(wca_win_unlock(h), WCA_OK);
    }
    EXPECT_EQ(seen, (std::vector<int>{1, -a, -100, 3, -a, -100}));
    EXPECT_EQ(s.windowFromHandle(h), s.window(a));
}

// A handle wired to its own words and counters, as a window system sets one
// up; a bare one has only the counts.
struct Rig {
    wca_win h{};
    volatile int lock_word = -1, unlock_word = -1;
    unsigned long shared = 5;
    int updates = 0, locks = 0, unlocks = 0;

    static Rig *of(wca_win *w) { return static_cast<Rig *>(w->owner); }
    explicit Rig(bool bare = false) {
        h.change_count = 5;
        h.shared_count = &shared;
        if (bare) return;
        h.lock_word = &lock_word;
        h.unlock_word = &unlock_word;
        h.update = [](wca_win *w) {  // 1 only when it brings the handle up to date
            ++of(w)->updates;
            const int r = w->change_count + 1 == *w->shared_count ? 1 : 7;
            w->change_count = *w->shared_count;
            return r;
        };
        h.lock_fn = [](wca_win *w) -> int { return ++of(w)->locks, WCA_OK; };
        h.unlock_fn = [](wca_win *w) { ++of(w)->unlocks; };
        h.owner = this;
    }
};

// Random lock / unlock / count-change sequences against a plain model of the
// rules, also on bare handles: without words, functions and update (a change
// then shows as 1 at every lock), half of them without a shared count.
TEST(WcaLock, RandomSequencesFollowTheModel) {
    std::mt19937 rng(20261206);
    for (int run = 0; run < 50; ++run) {
        const bool bare = run % 4 == 3;
        Rig r(bare);
        if (run % 8 == 7) r.h.shared_count = nullptr;
        int clip = 0, depth = 0, updates = 0, locks = 0, unlocks = 0;
        r.h.clip = &clip;
        unsigned long seen = r.h.change_count;
        for (int step = 0; step < 200; ++step) {
            const unsigned op = rng() % 3;
            if (op == 0) {
                r.shared += rng() % 3;
            } else if (op == 1) {
                r.lock_word = -1;
                ASSERT_EQ(wca_win_lock(&r.h), WCA_OK);
                if (++depth == 1) {
                    locks += !bare;
                    ASSERT_EQ(r.lock_word, bare ? -1 : 1);
                    int want = bare && r.h.shared_count && seen != r.shared;
                    if (!bare && seen != r.shared) ++updates, want = seen + 1 == r.shared ? 1 : 7, seen = r.shared;
                    ASSERT_EQ(r.h.changed, want);
                } else {
                    ASSERT_EQ(r.lock_word, -1);  // inner levels leave the word alone
                }
            } else {
                r.unlock_word = -1;
                ASSERT_EQ(wca_win_unlock(&r.h), depth == 0 ? WCA_ERROR : WCA_OK);  // never below 0
                if (depth > 0 && --depth == 0) {
                    unlocks += !bare;
                    ASSERT_EQ(r.unlock_word, bare ? -1 : 0);
                } else {
                    ASSERT_EQ(r.unlock_word, -1);
                }
            }
            ASSERT_EQ(std::tie(r.h.lock_depth, r.updates, r.locks, r.unlocks), std::tie(depth, updates, locks, unlocks));
            ASSERT_EQ(wca_win_clipinfo(&r.h), depth ? &clip : nullptr);  // clip information only while locked
        }
    }
}

// A lock that fails (update, lock function, a depth that cannot grow) is not
// taken: the handle is left as before (no holder, depth, lock word, change
// count), so the next lock is a first one (RandomSequencesFollowTheModel).
TEST(WcaLock, FailedLockChangesNothing) {
    const struct {
        const char *what;
        wca_update_fn update;
        wca_lock_fn lock;
        int depth, changed;  // depth before; the changed flag after the failed lock
    } cases[] = {
        {"update fails", [](wca_win *) { return -1; }, [](wca_win *) -> int { return WCA_OK; }, 0, 42},
        {"lock function refuses", [](wca_win *) { return 1; }, [](wca_win *) -> int { return WCA_ERROR; }, 0, 1},
        {"depth at its limit", nullptr, nullptr, INT_MAX, 42},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Rig r;
        r.h.changed = 42;
        r.shared = 6;  // the first lock updates
        if (c.update) r.h.update = c.update, r.h.lock_fn = c.lock;
        r.h.lock_depth = c.depth;
        EXPECT_EQ(wca_win_lock(&r.h), WCA_ERROR);
        EXPECT_EQ(std::make_tuple(r.h.holder, r.h.lock_depth, int(r.lock_word), r.h.change_count, r.h.changed, r.unlocks),
                  std::make_tuple(0ul, c.depth, -1, 5ul, c.changed, 0));
    }
}

// Another thread cannot unlock a held handle, and its lock waits for the
// holder's outermost unlock (then runs the update and lock function itself).
TEST(WcaLock, AnotherThreadWaitsForTheOutermostUnlock) {
    Rig r;
    ASSERT_EQ(wca_win_lock(&r.h), WCA_OK);
    ASSERT_EQ(wca_win_lock(&r.h), WCA_OK);
    std::atomic<int> unlocked{1}, locked{1};
    std::thread other([&] {
        unlocked = wca_win_unlock(&r.h);
        locked = wca_win_lock(&r.h);
        EXPECT_EQ(r.h.lock_depth, 1);
        EXPECT_EQ(wca_win_unlock(&r.h), WCA_OK);
    });
    while (unlocked == 1) std::this_thread::yield();
    ASSERT_EQ(wca_win_unlock(&r.h), WCA_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(locked, 1) << "the lock was taken while this thread still held the handle";
    ASSERT_EQ(wca_win_unlock(&r.h), WCA_OK);
    other.join();
    EXPECT_EQ(std::make_tuple(unlocked.load(), locked.load()), std::make_tuple(WCA_ERROR, WCA_OK));
    EXPECT_EQ(std::tie(r.locks, r.unlocks, r.h.lock_depth), std::make_tuple(2, 2, 0));
}

// Window images and their children share the display record of the window,
// whose board properties follow also when set later (handle, depth and frame
// buffer: every driver test draws through them into windows and their
// children); a resized window gets an image of its new size; a destroyed one
// leaves no handle in children.
TEST(WindowImage, RecordFollowsTheWindowAndItsProperties) {
    wca::Screen s(640, 480);
    for (int depth : {8, 24}) {
        const int id = s.createWindow(depth, 33, -4, 100, 70);
        ZorImage *img = s.windowImage(id);
        ASSERT_NE(img, nullptr);
        EXPECT_EQ(s.windowImage(id), img);
        EXPECT_EQ(std::make_tuple(img->getWidth(), img->getHeight(), img->getBands()), std::make_tuple(100u, 70u, depth == 8 ? 1u : 4u));
        ZorHandle<ZorImage> child(img->createChild(4, 5, depth == 8 ? 0 : 1, 10, 10, depth == 8 ? 1 : 3));
        int regs[4];
        std::uint8_t space[64];
        wca::BoardProperties p = s.properties();
        for (std::size_t i = 0; i < 64; ++i) p.board[i] = 0x1000u * unsigned(i) + 0x40;
        p.stereo = 1, p.map_mode = 2, p.map_base = space, p.view16_line_bytes = 4096;
        s.setProperties(p);
        s.setRegisterBase(regs);
        const ZorDisplayIO *rec = img->getDeviceInputOutput();
        EXPECT_EQ(child->getDeviceInputOutput(), rec);
        EXPECT_EQ(std::tie(rec->regs, rec->stereo, rec->mapMode, rec->mapBase, rec->view16LineBytes),
                  std::make_tuple(static_cast<void *>(regs), 1, 2, static_cast<std::uint8_t *>(space), 4096));
        for (int i = 0; i < 64; ++i) EXPECT_EQ(rec->board[i], 0x1000 * i + 0x40);
        s.setRegisterBase(nullptr);
        ASSERT_TRUE(s.resizeWindow(id, 40, 10));
        ZorImage *img2 = s.windowImage(id);
        ASSERT_NE(img2, img);
        EXPECT_EQ(img2->getWidth(), 40u);
        ASSERT_TRUE(s.destroyWindow(id));
        EXPECT_EQ(child->getDeviceInputOutput()->window, nullptr);
    }
}

}  // namespace
