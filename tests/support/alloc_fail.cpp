// Replacement allocation functions that count and fail on demand, forwarding
// to the next definition in the process (see alloc_fail.h).
//
// Built with -fno-builtin: the compiler must not turn the forwarding calls
// into calls of the functions defined here (malloc + memset into calloc).
#include "alloc_fail.h"

#include <dlfcn.h>
#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// noexcept as declared by the C library: a noexcept caller can then end in a
// tail call of them.
using malloc_fn = void *(*)(std::size_t) noexcept;
using calloc_fn = void *(*)(std::size_t, std::size_t) noexcept;
using realloc_fn = void *(*)(void *, std::size_t) noexcept;
using free_fn = void (*)(void *) noexcept;
using memalign_fn = void *(*)(std::size_t, std::size_t) noexcept;
using posix_memalign_fn = int (*)(void **, std::size_t, std::size_t) noexcept;
using new_fn = void *(*)(std::size_t);
using new_nothrow_fn = void *(*)(std::size_t, const std::nothrow_t &);
using new_aligned_fn = void *(*)(std::size_t, std::align_val_t);
using new_aligned_nothrow_fn = void *(*)(std::size_t, std::align_val_t, const std::nothrow_t &);

// Every replaced function: the field of Next, its symbol, its type.
#define ALLOC_FUNCTIONS(X)                                                   \
    X(malloc, "malloc", malloc_fn)                                           \
    X(calloc, "calloc", calloc_fn)                                           \
    X(realloc, "realloc", realloc_fn)                                        \
    X(free, "free", free_fn)                                                 \
    X(valloc, "valloc", malloc_fn)                                           \
    X(memalign, "memalign", memalign_fn)                                     \
    X(posix_memalign, "posix_memalign", posix_memalign_fn)                   \
    X(aligned_alloc, "aligned_alloc", memalign_fn)                           \
    X(new_, "_Znwm", new_fn)                                                 \
    X(new_array, "_Znam", new_fn)                                            \
    X(new_nothrow, "_ZnwmRKSt9nothrow_t", new_nothrow_fn)                    \
    X(new_array_nothrow, "_ZnamRKSt9nothrow_t", new_nothrow_fn)              \
    X(new_aligned, "_ZnwmSt11align_val_t", new_aligned_fn)                   \
    X(new_array_aligned, "_ZnamSt11align_val_t", new_aligned_fn)             \
    X(new_aligned_nothrow, "_ZnwmSt11align_val_tRKSt9nothrow_t", new_aligned_nothrow_fn) \
    X(new_array_aligned_nothrow, "_ZnamSt11align_val_tRKSt9nothrow_t", new_aligned_nothrow_fn)

struct Next {
#define FIELD(f, sym, T) T f;
    ALLOC_FUNCTIONS(FIELD)
#undef FIELD
};

Next next;
// 0: not looked up yet, 1: looking up (dlsym may allocate), 2: ready.
std::atomic<int> phase{0};

// Blocks handed out while dlsym runs; never given back. Each block is
// preceded by its size, so that realloc can move it.
alignas(64) unsigned char boot[256 * 1024];
std::size_t boot_used = 0;

bool from_boot(const void *p) {
    const auto *c = static_cast<const unsigned char *>(p);
    return c >= boot && c < boot + sizeof boot;
}

void *boot_alloc(std::size_t n, std::size_t align) {
    if (align < 16) align = 16;
    std::size_t at = (boot_used + sizeof(std::size_t) + align - 1) / align * align;
    if (at + n > sizeof boot || n > sizeof boot) return nullptr;
    std::memcpy(boot + at - sizeof(std::size_t), &n, sizeof n);
    boot_used = at + n;
    return boot + at;  // zero: the buffer is never reused
}

std::size_t boot_size(const void *p) {
    std::size_t n;
    std::memcpy(&n, static_cast<const unsigned char *>(p) - sizeof n, sizeof n);
    return n;
}

template <class F>
void look_up(F &f, const char *name) {
    f = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// True once the next definitions are known; false while they are being
// looked up (the caller then serves the request from the boot buffer).
bool ready() {
    const int p = phase.load(std::memory_order_acquire);
    if (p == 2) return true;
    if (p == 1) return false;
    phase.store(1, std::memory_order_release);
#define LOOK_UP(f, sym, T) look_up(next.f, sym);
    ALLOC_FUNCTIONS(LOOK_UP)
#undef LOOK_UP
    phase.store(2, std::memory_order_release);
    return true;
}

// The injection state.
std::atomic<bool> armed{false};
std::atomic<long> fail_at{0};
std::atomic<bool> and_later{false};
std::atomic<long> seen{0};
std::atomic<long> failed{0};

// Set while a forwarded call runs: what the next definition allocates on its
// own behalf (the C++ runtime's operator new calls malloc) is part of the
// request being forwarded, not a request of its own.
__attribute__((tls_model("initial-exec"))) thread_local bool forwarding = false;

struct Forwarding {
    bool was;
    Forwarding() : was(forwarding) { forwarding = true; }
    ~Forwarding() { forwarding = was; }
};

// Counts one request and tells whether it fails.
bool fail_now() {
    if (!armed.load(std::memory_order_relaxed) || forwarding) return false;
    const long n = seen.fetch_add(1, std::memory_order_relaxed) + 1;
    const long at = fail_at.load(std::memory_order_relaxed);
    const bool fail = at > 0 && (n == at || (n > at && and_later.load(std::memory_order_relaxed)));
    if (fail) failed.fetch_add(1, std::memory_order_relaxed);
    return fail;
}

void *fail_null() {
    errno = ENOMEM;
    return nullptr;
}

}  // namespace

// ---- the C allocation functions -------------------------------------------------
// (noexcept as the C library declares them). Each ends in a tail call of the
// next definition: that one then sees the real caller, which the leak checker
// needs to recognise (and leave alone) what the dynamic linker allocates.

extern "C" {

void *malloc(std::size_t n) noexcept {
    if (!ready()) return boot_alloc(n, 16);
    if (fail_now()) return fail_null();
    return next.malloc(n);
}

void *calloc(std::size_t n, std::size_t size) noexcept {
    if (!ready()) return size && n > sizeof boot / size ? nullptr : boot_alloc(n * size, 16);
    if (fail_now()) return fail_null();
    return next.calloc(n, size);
}

void *realloc(void *p, std::size_t n) noexcept {
    if (p && from_boot(p)) {
        void *q = malloc(n ? n : 1);
        if (q) std::memcpy(q, p, boot_size(p) < n ? boot_size(p) : n);
        return q;
    }
    if (!ready()) return p ? nullptr : boot_alloc(n, 16);
    // realloc(p, 0) frees: not an allocation.
    if (!(p && n == 0) && fail_now()) return fail_null();
    return next.realloc(p, n);
}

void free(void *p) noexcept {
    if (!p || from_boot(p)) return;
    if (!ready()) return;  // cannot happen: p came from a forwarded call
    return next.free(p);
}

void *valloc(std::size_t n) noexcept {
    if (!ready()) return boot_alloc(n, 4096);
    if (fail_now()) return fail_null();
    return next.valloc(n);
}

void *memalign(std::size_t align, std::size_t n) noexcept {
    if (!ready()) return boot_alloc(n, align);
    if (fail_now()) return fail_null();
    return next.memalign(align, n);
}

void *aligned_alloc(std::size_t align, std::size_t n) noexcept {
    if (!ready()) return boot_alloc(n, align);
    if (fail_now()) return fail_null();
    return next.aligned_alloc(align, n);
}

int posix_memalign(void **out, std::size_t align, std::size_t n) noexcept {
    if (!ready()) {
        void *p = boot_alloc(n, align);
        if (!p) return ENOMEM;
        *out = p;
        return 0;
    }
    if (fail_now()) return ENOMEM;
    return next.posix_memalign(out, align, n);
}

}  // extern "C"

// ---- operator new -----------------------------------------------------------------

namespace {

// Counts the request, fails it as that form fails (std::bad_alloc, or null
// from the nothrow forms), or forwards it.
template <class F, class... A>
void *forward_new(F &fn, bool nothrow, std::size_t n, A... a) {
    ready();
    if (fail_now()) {
        if (nothrow) return nullptr;
        throw std::bad_alloc();
    }
    Forwarding f;
    return fn(n, a...);
}

}  // namespace

void *operator new(std::size_t n) { return forward_new(next.new_, false, n); }
void *operator new[](std::size_t n) { return forward_new(next.new_array, false, n); }
void *operator new(std::size_t n, const std::nothrow_t &t) noexcept { return forward_new(next.new_nothrow, true, n, t); }
void *operator new[](std::size_t n, const std::nothrow_t &t) noexcept {
    return forward_new(next.new_array_nothrow, true, n, t);
}
void *operator new(std::size_t n, std::align_val_t a) { return forward_new(next.new_aligned, false, n, a); }
void *operator new[](std::size_t n, std::align_val_t a) { return forward_new(next.new_array_aligned, false, n, a); }
void *operator new(std::size_t n, std::align_val_t a, const std::nothrow_t &t) noexcept {
    return forward_new(next.new_aligned_nothrow, true, n, a, t);
}
void *operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t &t) noexcept {
    return forward_new(next.new_array_aligned_nothrow, true, n, a, t);
}

// ---- the scope --------------------------------------------------------------------

namespace allocfail {

Scope::Scope(long at, bool later) {
    ready();
    seen.store(0, std::memory_order_relaxed);
    failed.store(0, std::memory_order_relaxed);
    fail_at.store(at > 0 ? at : 0, std::memory_order_relaxed);
    and_later.store(later, std::memory_order_relaxed);
    armed.store(true, std::memory_order_seq_cst);
}

Scope::~Scope() { end(); }

Stats Scope::end() {
    if (!ended_) {
        armed.store(false, std::memory_order_seq_cst);
        final_ = now();
        ended_ = true;
    }
    return final_;
}

Stats Scope::now() const {
    if (ended_) return final_;
    return Stats{seen.load(std::memory_order_relaxed), failed.load(std::memory_order_relaxed)};
}

bool installed() {
    ready();
    // Every library binds to what the global lookup finds first: it must be
    // the definition here, and a next one must exist to forward to.
#define CHECK_SYMBOL(f, sym, T)                                                                       \
    if (dlsym(RTLD_DEFAULT, sym) != reinterpret_cast<void *>(ours.f) || !next.f || next.f == ours.f) \
        return false;
    const Next ours = {&::malloc, &::calloc, &::realloc, &::free, &::valloc, &::memalign, &::posix_memalign,
                       &::aligned_alloc, &::operator new, &::operator new[], &::operator new, &::operator new[],
                       &::operator new, &::operator new[], &::operator new, &::operator new[]};
    ALLOC_FUNCTIONS(CHECK_SYMBOL)
#undef CHECK_SYMBOL
    return true;
}

}  // namespace allocfail
