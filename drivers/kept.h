// Process-wide tables of the driver families: lookup caches keyed by a
// lookup's version, filter and resample tables built on first use. Each
// family keeps one state object, made on first use and released (not
// destroyed) when the device object is deleted, or by wren_release_tables()
// so that tests can start from nothing.
//
// A family's state type T has a noexcept default constructor and a noexcept
// release() that frees what it owns and leaves it as if new:
//
//     struct LookupCache { ...; void release() noexcept; };
//     LookupCache &cache = wren::kept<LookupCache>();
//
// Calls may overlap, so a family's state is a TableCache: a table is made
// once, published whole, never changed, and handed to each call as a shared
// pointer that keeps it alive for as long as the call uses it, however often
// another call replaces it or the tables are released meanwhile.
#pragma once

#include <memory>
#include <mutex>
#include <new>
#include <utility>

namespace wren {

using ReleaseFn = void (*)() noexcept;

// Adds fn to what release_kept() calls; false when the fixed list is full
// (the state is then released only with the process).
bool keep_release(ReleaseFn fn) noexcept;
// Releases every family's state, in the order first used.
void release_kept() noexcept;

template <class T>
T &kept() noexcept {
    // Never destroyed: the device may be deleted (and release its state)
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

// One table of a family, T, made for a Key: what it is made from (a host
// object's version and data address, the window layout, ...). Holds the table
// of the last key asked for.
template <class Key, class T>
class TableCache {
public:
    using Ptr = std::shared_ptr<T>;

    // The table for key: the one kept if it was made for key, else make()'s
    // (a Ptr; null when it cannot be made), which is kept from then on. The
    // first caller makes it, under the cache's lock: a caller on another
    // thread waits and shares it. *built (if given) tells whether make() ran.
    // make() must not throw.
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

// A Ptr owning p (freed with free_fn), or null (p freed) when p is null or
// there is no memory for the sharing.
template <class T, class Free>
std::shared_ptr<T> share(T *p, Free free_fn) noexcept {
    if (!p) return nullptr;
    try {
        return std::shared_ptr<T>(p, free_fn);
    } catch (...) {
        return nullptr;  // p was freed by the failed constructor
    }
}

}  // namespace wren

extern "C" {
// Releases the tables of every driver family (they are rebuilt on next use).
__attribute__((visibility("default"))) void wren_release_tables(void);
}
