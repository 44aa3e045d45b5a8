// Process-wide tables of the driver families: lookup caches keyed by a
// lookup's version, filter and resample tables built on first use. Each
// family keeps one state object, made on first use and released (not
// destroyed) when the device object is deleted, or by wren_release_tables()
// so that tests can start from nothing. Calls into the device never overlap,
// so nothing here is locked.
//
// A family's state type T has a noexcept default constructor and a noexcept
// release() that frees what it owns and leaves it as if new:
//
//     struct LookupCache { ...; void release() noexcept; };
//     LookupCache &cache = wren::kept<LookupCache>();
#pragma once

namespace wren {

using ReleaseFn = void (*)() noexcept;

// Adds fn to what release_kept() calls; false when the fixed list is full
// (the state is then released only with the process).
bool keep_release(ReleaseFn fn) noexcept;
// Releases every family's state, in the order first used.
void release_kept() noexcept;

template <class T>
T &kept() noexcept {
    static T state;
    static const bool registered = keep_release([]() noexcept { state.release(); });
    (void)registered;
    return state;
}

}  // namespace wren

extern "C" {
// Releases the tables of every driver family (they are rebuilt on next use).
__attribute__((visibility("default"))) void wren_release_tables(void);
}
