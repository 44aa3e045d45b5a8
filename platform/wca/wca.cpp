// Window-clip access calls on the shared handle record.
#include "wca.h"

#include <climits>

extern "C" {

int wca_win_lock(wca_win *win) noexcept
{
    if (!win || win->lock_depth == INT_MAX)
        return WCA_ERROR;
    if (++win->lock_depth != 1)
        return WCA_OK;
    // The outermost lock: taken whole or not at all.
    const int word = win->lock_word ? *win->lock_word : 0;
    auto refuse = [&] {
        win->lock_depth = 0;
        if (win->lock_word)
            *win->lock_word = word;
        return WCA_ERROR;
    };
    if (win->lock_word)
        *win->lock_word = 1;
    const bool differ = win->shared_count && win->change_count != *win->shared_count;
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
    if (!win || win->lock_depth <= 0)
        return WCA_ERROR;
    if (--win->lock_depth != 0)
        return WCA_OK;
    if (win->unlock_word)
        *win->unlock_word = 0;
    if (win->unlock_fn)
        win->unlock_fn(win);
    return WCA_OK;
}

void *wca_win_clipinfo(wca_win *win) noexcept
{
    if (!win || win->lock_depth <= 0)
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
