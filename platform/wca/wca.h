// Window-clip access: lock a window's handle, read its clip list and bounding box.
//
// The handle is a record shared with the window system (window_system.h). The
// lock calls below work directly on its fields; the window system fills in the
// words, counts and functions when it creates the window and refreshes the clip
// list and bounding box from the update function.
//
// While a handle is locked its clip list and bounding box stay valid. The lock
// nests; only the outermost lock and unlock touch the lock words and call the
// update, lock and unlock functions.
//
// Lock and unlock are all or nothing and never throw. A lock that cannot be
// taken (the update or the lock function fails) leaves the depth and the lock
// word as they were and returns WCA_ERROR; an unlock of a locked handle always
// succeeds. The functions in the handle must not throw either, and the unlock
// function must not fail: whatever it needs is set aside when the lock is taken.
//
// The lock excludes other threads: a thread that locks a handle another
// thread holds waits until that thread's outermost unlock. Only the thread
// holding a handle unlocks it. The update, lock and unlock functions run in
// the thread taking or releasing the outermost level, with the handle held.
#pragma once

#ifdef __cplusplus
#define WCA_NOEXCEPT noexcept
extern "C" {
#else
#define WCA_NOEXCEPT
#endif

typedef struct wca_win wca_win;

// Recomputes the handle's clip list and bounding box. A result of 0 or more is
// stored in the handle's changed flag (the window system returns 1 when it
// refreshed them); a negative result means they could not be refreshed, and
// the lock fails.
typedef int (*wca_update_fn)(wca_win *win);
// Called when the outermost lock has been taken (after the update): WCA_OK, or
// WCA_ERROR to refuse the lock, having undone whatever it did.
typedef int (*wca_lock_fn)(wca_win *win);
// Called when the outermost lock is released.
typedef void (*wca_notify_fn)(wca_win *win);

struct wca_win {
    int lock_depth;                             // nesting depth, 0 when unlocked
    volatile int *lock_word;                    // set to 1 on the outermost lock (may be null)
    volatile int *unlock_word;                  // set to 0 on the outermost unlock (may be null)
    unsigned long change_count;                 // shared count seen at the last update
    const volatile unsigned long *shared_count; // the window system's change count (may be null)
    wca_update_fn update;                       // refreshes clip and bbox when the counts differ
    int changed;                                // result of the last update, 0 when none was needed
    wca_notify_fn unlock_fn;                    // optional, called on the outermost unlock
    wca_lock_fn lock_fn;                        // optional, called on the outermost lock

    // Filled in by the update function; read while locked.
    void *clip;                                 // opaque clip list for ZorRoi::intersectClipList
    int x, y, w, h;                             // screen position and size of the window
    void *owner;                                // the window system's own data

    unsigned long holder;                       // the holding thread, 0 when free (the lock's own)
};

// Status of the calls that return int.
enum { WCA_OK = 0, WCA_ERROR = -1 };

// Takes one level of the lock. Returns WCA_ERROR, with nothing changed, for a
// null handle, a depth that cannot grow, or an outermost lock whose update or
// lock function fails.
int wca_win_lock(wca_win *win) WCA_NOEXCEPT;

// Releases one level. Returns WCA_ERROR (and changes nothing) for a null handle,
// one that is not locked, or one that another thread holds.
int wca_win_unlock(wca_win *win) WCA_NOEXCEPT;

// The clip list of a locked handle, in screen coordinates; null when the handle
// is null or not locked (an unlocked clip list may be out of date).
void *wca_win_clipinfo(wca_win *win) WCA_NOEXCEPT;

// Screen position and size of the window; any of the pointers may be null.
// Returns WCA_ERROR (leaving the outputs unchanged) for a null handle.
int wca_win_bbox(wca_win *win, int *x, int *y, int *w, int *h) WCA_NOEXCEPT;

#ifdef __cplusplus
}
#endif
