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
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef struct wca_win wca_win;

// Recomputes the handle's clip list and bounding box; the result is stored in
// the handle's changed flag (the window system returns 1 when it refreshed them).
typedef int (*wca_update_fn)(wca_win *win);
// Called when the outermost lock is taken (after the update) or released.
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
    wca_notify_fn lock_fn;                      // optional, called on the outermost lock

    // Filled in by the update function; read while locked.
    void *clip;                                 // opaque clip list for ZorRoi::intersectClipList
    int x, y, w, h;                             // screen position and size of the window
    void *owner;                                // the window system's own data
};

// Status of the calls that return int.
enum { WCA_OK = 0, WCA_ERROR = -1 };

// Takes one level of the lock. Returns WCA_ERROR for a null handle.
int wca_win_lock(wca_win *win);

// Releases one level. Returns WCA_ERROR (and changes nothing) for a null handle
// or one that is not locked.
int wca_win_unlock(wca_win *win);

// The clip list of a locked handle, in screen coordinates; null when the handle
// is null or not locked (an unlocked clip list may be out of date).
void *wca_win_clipinfo(wca_win *win);

// Screen position and size of the window; any of the pointers may be null.
// Returns WCA_ERROR (leaving the outputs unchanged) for a null handle.
int wca_win_bbox(wca_win *win, int *x, int *y, int *w, int *h);

#ifdef __cplusplus
}
#endif
