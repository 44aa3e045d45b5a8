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

namespace wren {

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

// Input values of a lookup: 0..255 or -32768..32767.
struct Inputs {
    long first, count;
};
inline constexpr Inputs inputs8{0, 256}, inputs16{-32768, 65536};

// A host's table of n entries for the input values offset .. offset + n - 1,
// entry i at data + i * stride.
struct HostTable {
    const unsigned char *data;
    long offset, n;
    int stride = 1;
    bool covers(Inputs in) const { return offset == in.first && n == in.count; }
    // out[i * step] for input value in.first + i: its entry; below the table
    // the first entry, above it the last.
    void expand(Inputs in, unsigned char *out, int step) const {
        for (long i = 0; i < in.count; ++i) {
            const long e = in.first + i - offset;
            out[i * step] = data[(e < 0 ? 0 : e >= n ? n - 1 : e) * stride];
        }
    }
};

}  // namespace wren

extern "C" {
// Releases the tables of every driver family (they are rebuilt on next use).
__attribute__((visibility("default"))) void wren_release_tables(void);
}
