// Window-clip access calls on the shared handle record.
#include "wca.h"

#include <atomic>
#include <climits>

namespace {

// This thread's mark in a handle's holder word: an address only it owns.
unsigned long self() noexcept
{
    static thread_local const char tag = 0;
    return reinterpret_cast<unsigned long>(&tag);
}

std::atomic_ref<unsigned long> holder(wca_win *win) noexcept { return std::atomic_ref<unsigned long>(win->holder); }

// Waits until no thread holds the handle, then holds it.
void take(wca_win *win, unsigned long me) noexcept
{
    unsigned long seen = 0;
    while (!holder(win).compare_exchange_weak(seen, me, std::memory_order_acquire, std::memory_order_relaxed)) {
        if (seen != 0)
            holder(win).wait(seen, std::memory_order_relaxed);
        seen = 0;
    }
}

void give(wca_win *win) noexcept
{
    holder(win).store(0, std::memory_order_release);
    holder(win).notify_all();
}

bool mine(wca_win *win) noexcept { return holder(win).load(std::memory_order_relaxed) == self(); }

}  // namespace

extern "C" {

int wca_win_lock(wca_win *win) noexcept
{
    if (!win)
        return WCA_ERROR;
    const bool nested = mine(win);
    if (!nested)
        take(win, self());
    if (win->lock_depth == INT_MAX) {
        if (!nested)
            give(win);
        return WCA_ERROR;
    }
    if (++win->lock_depth != 1)
        return WCA_OK;
    // The outermost lock: taken whole or not at all.
    const int word = win->lock_word ? *win->lock_word : 0;
    auto refuse = [&] {
        win->lock_depth = 0;
        if (win->lock_word)
            *win->lock_word = word;
        give(win);
        return WCA_ERROR;
    };
    if (win->lock_word)
        *win->lock_word = 1;
    // The window system bumps its count from other threads.
    const bool differ = win->shared_count && win->change_count != __atomic_load_n(win->shared_count, __ATOMIC_ACQUIRE);
    int changed = 0;
    if (differ)
        changed = win->update ? win->update(win) : 1;  // 1: a change nothing can refresh
    if (changed < 0)
        return refuse();  // an out-of-date clip list is not handed out
    win->changed = changed;
    if (win->lock_fn && win->lock_fn(win) != WCA_OK)
        return refuse();
    return WCA_OK;
}

int wca_win_unlock(wca_win *win) noexcept
{
    // Unlocking an unlocked handle would drive the depth negative, and the next
    // lock would then neither set the lock word nor refresh the clip list.
    if (!win || !mine(win) || win->lock_depth <= 0)
        return WCA_ERROR;
    if (--win->lock_depth != 0)
        return WCA_OK;
    if (win->unlock_word)
        *win->unlock_word = 0;
    if (win->unlock_fn)
        win->unlock_fn(win);
    give(win);
    return WCA_OK;
}

void *wca_win_clipinfo(wca_win *win) noexcept
{
    if (!win || !mine(win) || win->lock_depth <= 0)
        return nullptr;
    return win->clip;
}

int wca_win_bbox(wca_win *win, int *x, int *y, int *w, int *h) noexcept
{
    if (!win)
        return WCA_ERROR;
    if (x)
        *x = win->x;
    if (y)
        *y = win->y;
    if (w)
        *w = win->w;
    if (h)
        *h = win->h;
    return WCA_OK;
}

}  // extern "C"
