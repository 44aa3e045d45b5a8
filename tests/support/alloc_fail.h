// Allocation-failure injection for tests.
//
// Linked into a test program (wren_alloc_fail() in tests/CMakeLists.txt),
// alloc_fail.cpp replaces malloc, calloc, realloc, valloc, memalign,
// posix_memalign, aligned_alloc and every form of operator new for the whole
// process, the plug-in and the stand-ins included, and forwards each call to
// the next definition (the C library's and the C++ runtime's, or the
// sanitizer runtime's in the ASan+UBSan build, which then still checks every
// access, free and leak). free is replaced only to recognise the blocks
// handed out while the forwarding is being set up.
//
// While a Scope is armed every allocation is counted (1, 2, 3, ...), and the
// one whose number the scope names fails, and with `and_later` every one
// after it, the way that function fails: null with errno ENOMEM, ENOMEM from
// posix_memalign, std::bad_alloc from the throwing forms of operator new,
// null from the nothrow forms. Allocations made while no scope is armed are
// neither counted nor failed; realloc(p, 0) only frees. One thread at a time.
//
// The replacements are compiled without sanitizer instrumentation (the
// sanitizer runtime allocates while it sets itself up) and the C ones end in
// tail calls of the next definition, so that the leak checker still sees who
// allocated (it leaves the dynamic linker's blocks alone).
#pragma once

namespace allocfail {

struct Stats {
    long seen = 0;    // allocations made while armed, failed ones included
    long failed = 0;  // allocations made to fail
};

// Arms the injection for its lifetime. fail_at is the number of the
// allocation that fails (1 = the first one made while armed), 0 for none:
// then the scope only counts. Scopes do not nest.
class Scope {
public:
    explicit Scope(long fail_at = 0, bool and_later = false);
    ~Scope();
    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;

    // Disarms (once) and returns what the scope saw; later calls return the same.
    Stats end();
    // The figures so far.
    Stats now() const;

private:
    bool ended_ = false;
    Stats final_;
};

// True when this process's allocation functions are the replacements (the
// helper is linked and its symbols are the ones the libraries bind to).
bool installed();

}  // namespace allocfail
