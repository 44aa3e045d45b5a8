// Clip lists of window stacks: visible areas tile the screen, changes reach the next lock.
#include "window_system.h"
#include "zor.h"

#include <gtest/gtest.h>
#include <new>

#include <random>
#include <stdexcept>
#include <tuple>
#include <vector>

namespace {

struct Geo {
    int id, x, y, w, h;
};

// Clip rectangles of a window as its handle hands them out under the lock.
std::vector<ZorRect> lockedClip(wca::Window &w) {
    std::vector<ZorRect> out;
    wca_win *h = w.handle();
    EXPECT_EQ(wca_win_lock(h), WCA_OK);
    auto *clip = static_cast<const ZorClipList *>(wca_win_clipinfo(h));
    EXPECT_NE(clip, nullptr);
    if (clip)
        for (std::size_t i = 0; i < clip->numRects(); ++i)
            out.push_back(clip->rect(i));
    int bx, by, bw, bh;
    EXPECT_EQ(wca_win_bbox(h, &bx, &by, &bw, &bh), WCA_OK);
    EXPECT_EQ(std::tie(bx, by, bw, bh), std::make_tuple(w.x(), w.y(), w.width(), w.height()));
    EXPECT_EQ(wca_win_unlock(h), WCA_OK);
    return out;
}

// Checks that the clip lists of the stack (bottom to top in model) and the
// uncovered screen cover every screen pixel exactly once, and that each pixel
// belongs to the topmost window of the model there.
void checkTiling(wca::Screen &s, const std::vector<Geo> &model) {
    const int W = s.width(), H = s.height();
    std::vector<int> owner(std::size_t(W) * H, 0), hits(std::size_t(W) * H, 0);
    for (const Geo &g : model)
        for (int y = std::max(0, g.y); y < std::min(H, g.y + g.h); ++y)
            for (int x = std::max(0, g.x); x < std::min(W, g.x + g.w); ++x)
                owner[std::size_t(y) * W + x] = g.id;  // later = higher
    for (const Geo &g : model) {
        wca::Window *w = s.window(g.id);
        ASSERT_NE(w, nullptr);
        for (const ZorRect &r : lockedClip(*w)) {
            ASSERT_TRUE(r.w > 0 && r.h > 0 && r.x >= 0 && r.y >= 0 && r.x + r.w <= W && r.y + r.h <= H)
                << "window " << g.id << ": " << r.x << "," << r.y << " " << r.w << "x" << r.h;
            for (int y = r.y; y < r.y + r.h; ++y)
                for (int x = r.x; x < r.x + r.w; ++x) {
                    const std::size_t i = std::size_t(y) * W + x;
                    ASSERT_EQ(owner[i], g.id) << "window " << g.id << " at " << x << "," << y;
                    ++hits[i];
                }
        }
    }
    for (std::size_t i = 0; i < hits.size(); ++i) {
        // Uncovered screen is the complement; covered pixels exactly once.
        ASSERT_EQ(hits[i], owner[i] ? 1 : 0) << "pixel " << i % W << "," << i / W;
        wca::Window *top = s.windowAt(int(i % W), int(i / W));
        ASSERT_EQ(top ? top->id() : 0, owner[i]);
    }
}

Geo randomGeo(std::mt19937 &rng, int W, int H) {
    // Some windows stick out of the screen on any side.
    std::uniform_int_distribution<int> px(-W / 3, W), py(-H / 3, H), sw(1, W), sh(1, H);
    return Geo{0, px(rng), py(rng), sw(rng), sh(rng)};
}

TEST(WindowClip, RandomStacksTileTheScreen) {
    std::mt19937 rng(4711);
    for (int run = 0; run < 20; ++run) {
        wca::Screen s(97, 61);
        std::vector<Geo> model;
        const int n = 1 + int(rng() % 8);
        for (int i = 0; i < n; ++i) {
            Geo g = randomGeo(rng, s.width(), s.height());
            g.id = s.createWindow(rng() % 2 ? 8 : 24, g.x, g.y, g.w, g.h);
            ASSERT_GT(g.id, 0) << s.lastError();
            model.push_back(g);
        }
        checkTiling(s, model);
        // Random changes, each seen at the next lock.
        for (int step = 0; step < 12 && !model.empty(); ++step) {
            const std::size_t k = rng() % model.size();
            const Geo g = model[k];
            const unsigned what = rng() % 5;  // move, resize, raise, lower, destroy
            if (what < 2) {
                const Geo to = randomGeo(rng, s.width(), s.height());
                ASSERT_TRUE(what ? s.resizeWindow(g.id, to.w, to.h) : s.moveWindow(g.id, to.x, to.y));
                (what ? model[k].w : model[k].x) = what ? to.w : to.x;
                (what ? model[k].h : model[k].y) = what ? to.h : to.y;
            } else {
                ASSERT_TRUE(what == 2 ? s.raiseWindow(g.id) : what == 3 ? s.lowerWindow(g.id) : s.destroyWindow(g.id));
                model.erase(model.begin() + long(k));
                if (what == 2) model.push_back(g);
                if (what == 3) model.insert(model.begin(), g);
            }
            std::vector<int> ids, want;
            for (wca::Window *w : s.stack()) ids.push_back(w->id());
            for (const Geo &m : model) want.push_back(m.id);
            ASSERT_EQ(ids, want);
            checkTiling(s, model);
        }
    }
}

TEST(WindowClip, HandleKeepsItsClipWhileLockedAndSeesChangesAtTheNextLock) {
    wca::Screen s(200, 100);
    const int a = s.createWindow(8, 10, 10, 50, 40);
    const int b = s.createWindow(24, 150, 50, 30, 30);
    wca_win *h = s.window(a)->handle();
    std::vector<int> seen;  // observers: +id on lock, -id on unlock
    s.addLockObserver([&](wca::Window &w) { seen.push_back(w.id()); });
    const int t = s.addUnlockObserver([&](wca::Window &w) { seen.push_back(-w.id()); });

    ASSERT_EQ(wca_win_lock(h), WCA_OK);
    EXPECT_EQ(h->changed, 1);
    auto *clip = static_cast<const ZorClipList *>(wca_win_clipinfo(h));
    ASSERT_NE(clip, nullptr);
    // Changes while locked leave the clip list and bbox alone.
    ASSERT_TRUE(s.moveWindow(b, 20, 20));
    ASSERT_TRUE(s.moveWindow(a, 12, 10));
    ASSERT_EQ(wca_win_lock(h), WCA_OK);
    EXPECT_EQ(wca_win_clipinfo(h), clip);
    EXPECT_EQ(clip->numRects(), 1u);
    EXPECT_EQ(h->x, 10);
    ASSERT_EQ(wca_win_unlock(h), WCA_OK);
    ASSERT_EQ(wca_win_unlock(h), WCA_OK);
    EXPECT_EQ(seen, (std::vector<int>{a, -a}));

    // The next lock sees b on top (screen 20..49 x 20..49) and a at x 12.
    ASSERT_EQ(wca_win_lock(h), WCA_OK);
    EXPECT_EQ(h->changed, 1);
    EXPECT_EQ(h->x, 12);
    ZorHandle<ZorRoi> all(ZorRoi::create(0, 0, 50, 40));
    ZorHandle<ZorRoi> vis(all->intersectClipList(static_cast<const ZorClipList *>(wca_win_clipinfo(h)), 12, 10));
    ASSERT_NE(vis, nullptr);
    EXPECT_FALSE(vis->contains(8, 10));
    EXPECT_FALSE(vis->contains(37, 39));
    EXPECT_TRUE(vis->contains(38, 39));
    EXPECT_TRUE(vis->contains(7, 39));
    ASSERT_EQ(wca_win_unlock(h), WCA_OK);
    ASSERT_EQ(wca_win_lock(h), WCA_OK);
    EXPECT_EQ(h->changed, 0);  // nothing changed since
    ASSERT_EQ(wca_win_unlock(h), WCA_OK);

    s.removeObserver(t);
    ASSERT_TRUE(s.raiseWindow(a));
    ASSERT_EQ(wca_win_lock(h), WCA_OK);
    ZorHandle<ZorRoi> whole(all->intersectClipList(static_cast<const ZorClipList *>(wca_win_clipinfo(h)), 12, 10));
    EXPECT_TRUE(whole->equals(all.get()));
    ASSERT_EQ(wca_win_unlock(h), WCA_OK);
    EXPECT_EQ(seen, (std::vector<int>{a, -a, a, -a, a, -a, a}));
    EXPECT_EQ(s.windowFromHandle(h), s.window(a));
}

// A lock observer that throws refuses the lock: the exception stays inside
// the window system, the window is not locked, and the unlock observers run so
// that earlier lock observers can undo. An unlock observer that throws does
// not stop the unlock or the observers after it.
TEST(WindowClip, ObserversThatFailCannotBreakTheLock) {
    wca::Screen s(200, 100);
    const int a = s.createWindow(8, 10, 10, 50, 40);
    wca_win *h = s.window(a)->handle();
    std::vector<int> seen;
    bool refuse = true, throw_on_unlock = false;
    s.addLockObserver([&](wca::Window &) { seen.push_back(1); });
    s.addLockObserver([&](wca::Window &) {
        if (refuse)
            throw std::bad_alloc();
        seen.push_back(2);
    });
    s.addUnlockObserver([&](wca::Window &) {
        seen.push_back(-1);
        if (throw_on_unlock)
            throw std::runtime_error("unlock observer");
    });
    s.addUnlockObserver([&](wca::Window &) { seen.push_back(-2); });

    int rc = WCA_OK;
    EXPECT_NO_THROW(rc = wca_win_lock(h));
    EXPECT_EQ(rc, WCA_ERROR);
    EXPECT_FALSE(s.window(a)->locked());
    EXPECT_EQ(seen, (std::vector<int>{1, -1, -2}));
    EXPECT_TRUE(s.destroyWindow(s.createWindow(8, 0, 0, 5, 5)));  // the screen still works

    seen.clear();
    refuse = false;
    throw_on_unlock = true;
    ASSERT_EQ(wca_win_lock(h), WCA_OK);
    EXPECT_NO_THROW(rc = wca_win_unlock(h));
    EXPECT_EQ(rc, WCA_OK);
    EXPECT_FALSE(s.window(a)->locked());
    EXPECT_EQ(seen, (std::vector<int>{1, 2, -1, -2}));
    EXPECT_TRUE(s.destroyWindow(a));
}

// Observers may remove themselves or others, and add new ones, while they run;
// the ones added run from the next lock on.
TEST(WindowClip, ObserversMayChangeTheObserversWhileTheyRun) {
    wca::Screen s(100, 100);
    const int a = s.createWindow(8, 0, 0, 10, 10);
    wca_win *h = s.window(a)->handle();
    std::vector<int> seen;
    int self = 0, other = 0;
    self = s.addLockObserver([&](wca::Window &) {
        seen.push_back(1);
        s.removeObserver(self);
        s.removeObserver(other);
        s.addLockObserver([&](wca::Window &) { seen.push_back(3); });
    });
    other = s.addLockObserver([&](wca::Window &) { seen.push_back(2); });
    ASSERT_EQ(wca_win_lock(h), WCA_OK);
    ASSERT_EQ(wca_win_unlock(h), WCA_OK);
    EXPECT_EQ(seen, (std::vector<int>{1}));
    ASSERT_EQ(wca_win_lock(h), WCA_OK);
    ASSERT_EQ(wca_win_unlock(h), WCA_OK);
    EXPECT_EQ(seen, (std::vector<int>{1, 3}));
}

TEST(WindowClip, BadRequestsAreRefusedWithAMessage) {
    EXPECT_THROW(wca::Screen(0, 10), std::invalid_argument);
    EXPECT_THROW(wca::Screen(2049, 10), std::invalid_argument);
    EXPECT_THROW(wca::Screen(10, -1), std::invalid_argument);

    wca::Screen s(100, 100);
    const int bad[][5] = {{16, 0, 0, 10, 10}, {8, 0, 0, 0, 10}, {24, 0, 0, 10, -3}, {8, 0, 0, 40000, 10},
                          {8, 1 << 29, 0, 10, 10}};
    for (auto &b : bad) {
        EXPECT_EQ(s.createWindow(b[0], b[1], b[2], b[3], b[4]), 0);
        EXPECT_FALSE(s.lastError().empty());
    }
    EXPECT_TRUE(s.stack().empty());
    EXPECT_FALSE(s.moveWindow(42, 0, 0));
    EXPECT_NE(s.lastError().find("unknown window 42"), std::string::npos);
    EXPECT_FALSE(s.resizeWindow(42, 1, 1) || s.raiseWindow(42) || s.lowerWindow(42) || s.destroyWindow(42));
    EXPECT_EQ(s.windowImage(42), nullptr);

    const int w = s.createWindow(8, 0, 0, 10, 10);
    const unsigned long before = s.changeCount();
    EXPECT_FALSE(s.resizeWindow(w, 0, 5));
    EXPECT_FALSE(s.moveWindow(w, -(1 << 29), 0));
    EXPECT_EQ(s.changeCount(), before);
    EXPECT_EQ(s.window(w)->width(), 10);
    // A locked window stays until it is unlocked.
    wca_win_lock(s.window(w)->handle());
    EXPECT_FALSE(s.destroyWindow(w));
    EXPECT_NE(s.lastError().find("locked"), std::string::npos);
    wca_win_unlock(s.window(w)->handle());
    EXPECT_TRUE(s.destroyWindow(w));
}

}  // namespace
