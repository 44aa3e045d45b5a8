// Lock and unlock of window-clip handles: nesting, lock words, update and unlock functions.
#include "wca.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <random>
#include <thread>
#include <tuple>

namespace {

// A handle wired to its own words and counters, as a window system sets one up.
struct Rig {
    wca_win h{};
    volatile int lock_word = -1, unlock_word = -1;
    unsigned long shared = 5;
    int updates = 0, locks = 0, unlocks = 0;

    static Rig *of(wca_win *w) { return static_cast<Rig *>(w->owner); }
    Rig() {
        h.lock_word = &lock_word;
        h.unlock_word = &unlock_word;
        h.change_count = 5;
        h.shared_count = &shared;
        // Reports 1 only when it brings the handle up to date.
        h.update = [](wca_win *w) {
            ++of(w)->updates;
            const int r = w->change_count + 1 == *w->shared_count ? 1 : 7;
            w->change_count = *w->shared_count;
            return r;
        };
        h.lock_fn = [](wca_win *w) -> int {
            ++of(w)->locks;
            return WCA_OK;
        };
        h.unlock_fn = [](wca_win *w) { ++of(w)->unlocks; };
        h.owner = this;
    }
};

// Random lock / unlock / count-change sequences against a plain model of the rules.
TEST(WcaLock, RandomSequencesFollowTheModel) {
    std::mt19937 rng(20261206);
    for (int run = 0; run < 50; ++run) {
        Rig r;
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
                    ++locks;
                    ASSERT_EQ(r.lock_word, 1);
                    int want = 0;
                    if (seen != r.shared) {
                        ++updates;
                        want = seen + 1 == r.shared ? 1 : 7;  // the update's own result
                        seen = r.shared;
                    }
                    ASSERT_EQ(r.h.changed, want);
                } else {
                    ASSERT_EQ(r.lock_word, -1);  // inner levels leave the word alone
                }
            } else {
                r.unlock_word = -1;
                const int rc = wca_win_unlock(&r.h);
                // An unlocked handle refuses: the depth never goes negative.
                ASSERT_EQ(rc, depth == 0 ? WCA_ERROR : WCA_OK);
                if (depth > 0 && --depth == 0) {
                    ++unlocks;
                    ASSERT_EQ(r.unlock_word, 0);
                } else {
                    ASSERT_EQ(r.unlock_word, -1);
                }
            }
            ASSERT_EQ(std::tie(r.h.lock_depth, r.updates, r.locks, r.unlocks), std::tie(depth, updates, locks, unlocks));
            ASSERT_EQ(wca_win_clipinfo(&r.h), depth ? &clip : nullptr);  // clip information only while locked
        }
    }
}

// An outermost lock whose update or lock function fails is not taken: depth,
// lock word and changed flag stay as they were, the unlock function is not
// called, and the next lock tries again.
TEST(WcaLock, FailedLockChangesNothing) {
    const struct {
        const char *what;
        wca_update_fn update;
        wca_lock_fn lock;
        int changed;  // the flag after the failed lock
    } cases[] = {
        {"update fails", [](wca_win *) { return -1; }, [](wca_win *) -> int { return WCA_OK; }, 42},
        // The update did refresh the handle; only the lock is not taken.
        {"lock function refuses", [](wca_win *) { return 1; }, [](wca_win *) -> int { return WCA_ERROR; }, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Rig r;
        r.h.changed = 42;
        r.shared = 6;  // the first lock updates
        r.h.update = c.update;
        r.h.lock_fn = c.lock;
        r.lock_word = -1;
        EXPECT_EQ(wca_win_lock(&r.h), WCA_ERROR);
        EXPECT_EQ(std::make_tuple(r.h.lock_depth, int(r.lock_word), r.h.changed, r.unlocks), std::make_tuple(0, -1, c.changed, 0));
        EXPECT_EQ(wca_win_clipinfo(&r.h), nullptr);
        EXPECT_EQ(wca_win_unlock(&r.h), WCA_ERROR);  // nothing to release
        // Once the functions work again the lock is taken, and updates.
        r.h.update = [](wca_win *w) {
            w->change_count = *w->shared_count;
            return 1;
        };
        r.h.lock_fn = [](wca_win *w) -> int {
            ++Rig::of(w)->locks;
            return WCA_OK;
        };
        ASSERT_EQ(wca_win_lock(&r.h), WCA_OK);
        EXPECT_EQ(std::make_tuple(r.h.lock_depth, int(r.lock_word), r.h.changed, r.locks), std::make_tuple(1, 1, 1, 1));
        ASSERT_EQ(wca_win_unlock(&r.h), WCA_OK);
        EXPECT_EQ(r.unlocks, 1);
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

// A depth that cannot grow any further refuses another level; optional
// fields may be null; the bounding box is there locked or not.
TEST(WcaLock, EdgesOfTheHandle) {
    Rig r;
    r.h.lock_depth = INT_MAX;
    EXPECT_EQ(wca_win_lock(&r.h), WCA_ERROR);
    EXPECT_EQ(r.h.lock_depth, INT_MAX);

    r.h.lock_depth = 0;
    r.h.lock_word = r.h.unlock_word = nullptr;
    r.h.lock_fn = nullptr;
    r.h.unlock_fn = nullptr;
    r.h.update = nullptr;
    r.h.change_count = 0;
    ASSERT_EQ(wca_win_lock(&r.h), WCA_OK);
    EXPECT_EQ(r.h.changed, 1);  // a change was announced that nothing could refresh
    ASSERT_EQ(wca_win_unlock(&r.h), WCA_OK);
    r.h.shared_count = nullptr;
    ASSERT_EQ(wca_win_lock(&r.h), WCA_OK);
    EXPECT_EQ(r.h.changed, 0);
    ASSERT_EQ(wca_win_unlock(&r.h), WCA_OK);

    int x = 11, y = 12, w = 13, h = 14;
    r.h.x = -3, r.h.y = 4, r.h.w = 50, r.h.h = 60;
    EXPECT_EQ(wca_win_bbox(nullptr, &x, &y, &w, &h), WCA_ERROR);
    EXPECT_EQ(std::tie(x, y, w, h), std::make_tuple(11, 12, 13, 14));
    EXPECT_EQ(wca_win_bbox(&r.h, nullptr, &y, nullptr, nullptr), WCA_OK);
    EXPECT_EQ(wca_win_bbox(&r.h, &x, &y, &w, &h), WCA_OK);
    EXPECT_EQ(std::tie(x, y, w, h), std::make_tuple(-3, 4, 50, 60));
    EXPECT_EQ(wca_win_lock(nullptr), WCA_ERROR);
    EXPECT_EQ(wca_win_unlock(nullptr), WCA_ERROR);
    EXPECT_EQ(wca_win_clipinfo(nullptr), nullptr);
}

}  // namespace
