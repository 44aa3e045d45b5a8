// Tables the drivers keep between calls: lookup tables keyed by a host
// object's version and data, filter and resample tables made on first use.
//
// Calls may overlap, so a table is made once under its cache's lock,
// published whole, never changed, and handed to each call as a shared
// pointer that keeps it alive for as long as the call uses it, however often
// another call replaces it or the tables are released meanwhile. A host table
// that already covers every input is used where it lies and never copied.
//
// kept<T>() is a family's cache T, made on first use and released (not
// destroyed) when the device object is deleted or by wren_release_tables().
#pragma once

#include <memory>
#include <mutex>
#include <new>

#include "kl.h"

class ZorLookup;

namespace wren {

class Ctx;

using ReleaseFn = void (*)() noexcept;
// Adds fn to what release_kept() calls; false when the fixed list is full.
bool keep_release(ReleaseFn fn) noexcept;
void release_kept() noexcept;

template <class T>
T &kept() noexcept {
    // Never destroyed: the device may be deleted (and release its tables)
    // after the program's statics have gone.
    alignas(T) static unsigned char storage[sizeof(T)];
    static T &state = *new (storage) T;
    static const bool registered = keep_release([]() noexcept { state.release(); });
    (void)registered;
    return state;
}

// The key of a table that depends on nothing: made once.
struct Once {
    bool operator==(const Once &) const = default;
};

// The table T of the last Key asked for (what it is made from: a host
// object's version and data address, the window layout, ...).
template <class Key, class T>
class TableCache {
public:
    using Ptr = std::shared_ptr<T>;

    // The kept table if it was made for key, else make()'s (a Ptr, null when it
    // cannot be made; make() must not throw), kept from then on. A caller on
    // another thread waits and shares it. *built tells whether make() ran.
    template <class Make>
    Ptr get(const Key &key, Make &&make, bool *built = nullptr) noexcept {
        if (built) *built = false;
        std::lock_guard<std::mutex> g(m_);
        if (table_ && key_ == key) return table_;
        Ptr t = make();
        if (!t) return t;
        if (built) *built = true;
        key_ = key;
        table_.swap(t);  // the old table goes with its last user
        return table_;
    }

    void release() noexcept {
        Ptr old;
        std::lock_guard<std::mutex> g(m_);
        old.swap(table_);
        key_ = Key{};
    }

private:
    std::mutex m_;
    Key key_{};
    Ptr table_;
};

// A Ptr owning p (freed with free_fn); null (p freed) when p is null or there
// is no memory for the sharing.
template <class T, class Free>
std::shared_ptr<T> share(T *p, Free free_fn) noexcept {
    if (!p) return nullptr;
    try {
        return std::shared_ptr<T>(p, free_fn);
    } catch (...) {
        return nullptr;  // p was freed by the failed constructor
    }
}

// The kernels' tables of lookup lut for the bands destination d selects:
// a single lookup's (256 or 65536 entries of d's pixel size) in tables[0],
// otherwise one table of 256 (65536) bytes per selected band b in tables[b].
// Used in place when the host's already are, else made once and kept until
// the lookup's version or d's band layout changes; keep holds them for the
// call. False (declined on c) when the lookup cannot serve d.
template <bool Short>
bool lookup_tables(Ctx &c, ZorLookup &lut, bool single, const kl_image &d, unsigned char *tables[4],
                   std::shared_ptr<void> &keep);

}  // namespace wren

extern "C" {
// Releases the tables of every driver family (they are rebuilt on next use).
__attribute__((visibility("default"))) void wren_release_tables(void);
}
