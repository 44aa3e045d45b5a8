// The allocation-failure helper itself: every allocation function fails when
// its number comes, only while a scope is armed, as that function fails;
// blocks it forwarded are freed normally. (That the libraries the program
// loads are reached, the driver and host sweeps show: a failure in the
// plug-in or the host must be seen there.)
#include "alloc_fail.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

namespace {

// Called through volatile pointers, so that no call is folded away.
template <class F>
F opaque(F f) {
    F volatile v = f;
    return v;
}

// One allocation function: allocate (null on failure, whatever the form) and
// free. The throwing forms report failure by std::bad_alloc, whose own
// exception object is allocated with malloc as well.
struct Form {
    const char *name;
    std::function<void *()> alloc;
    std::function<void(void *)> release;
    bool throws = false;
    bool errno_set = false;  // a failure sets errno to ENOMEM
};

using New = void *(*)(std::size_t);
using NewNothrow = void *(*)(std::size_t, const std::nothrow_t &) noexcept;
using NewAligned = void *(*)(std::size_t, std::align_val_t);
using NewAlignedNothrow = void *(*)(std::size_t, std::align_val_t, const std::nothrow_t &) noexcept;
using Delete = void (*)(void *) noexcept;
using DeleteAligned = void (*)(void *, std::align_val_t) noexcept;
constexpr std::align_val_t k64{64};

// The throwing forms as the others: null when std::bad_alloc is thrown.
template <class F>
std::function<void *()> catching(F f) {
    return [f]() -> void * {
        try {
            return f();
        } catch (const std::bad_alloc &) {
            return nullptr;
        }
    };
}

std::vector<Form> forms() {
    auto c_free = [](void *p) { opaque(&std::free)(p); };
    auto del = [](void *p) { opaque<Delete>(&::operator delete)(p); };
    auto del_array = [](void *p) { opaque<Delete>(&::operator delete[])(p); };
    auto del_aligned = [](void *p) { opaque<DeleteAligned>(&::operator delete)(p, k64); };
    auto del_array_aligned = [](void *p) { opaque<DeleteAligned>(&::operator delete[])(p, k64); };
    const std::nothrow_t &nt = std::nothrow;
    return {
        {"malloc", [] { return opaque(&std::malloc)(24); }, c_free, false, true},
        {"calloc", [] { return opaque(&std::calloc)(3, 8); }, c_free, false, true},
        {"realloc", [] { return opaque(&std::realloc)(nullptr, 24); }, c_free, false, true},
        {"valloc", [] { return opaque(&::valloc)(24); }, c_free, false, true},
        {"memalign", [] { return opaque(&::memalign)(64, 24); }, c_free, false, true},
        {"aligned_alloc", [] { return opaque(&std::aligned_alloc)(64, 64); }, c_free, false, true},
        {"posix_memalign",
         [] {
             void *p = reinterpret_cast<void *>(1);
             return opaque(&::posix_memalign)(&p, 64, 24) == 0 ? p : nullptr;
         },
         c_free},
        {"new", catching([] { return opaque<New>(&::operator new)(24); }), del, true},
        {"new[]", catching([] { return opaque<New>(&::operator new[])(24); }), del_array, true},
        {"new nothrow", [&nt] { return opaque<NewNothrow>(&::operator new)(24, nt); }, del},
        {"new[] nothrow", [&nt] { return opaque<NewNothrow>(&::operator new[])(24, nt); }, del_array},
        {"new aligned", catching([] { return opaque<NewAligned>(&::operator new)(24, k64); }), del_aligned, true},
        {"new[] aligned", catching([] { return opaque<NewAligned>(&::operator new[])(24, k64); }), del_array_aligned,
         true},
        {"new aligned nothrow", [&nt] { return opaque<NewAlignedNothrow>(&::operator new)(24, k64, nt); }, del_aligned},
        {"new[] aligned nothrow", [&nt] { return opaque<NewAlignedNothrow>(&::operator new[])(24, k64, nt); },
         del_array_aligned},
    };
}

// For every form: counted only while armed, the named allocation fails (and
// with and_later every later one), the others succeed and are freed normally.
TEST(AllocFail, EveryFormFailsOnItsNumber) {
    ASSERT_TRUE(allocfail::installed());
    for (const Form &f : forms()) {
        SCOPED_TRACE(f.name);
        const struct {
            long at;
            bool later;
            bool want[3];
        } plans[] = {{0, false, {true, true, true}},
                     {1, false, {false, true, true}},
                     {2, false, {true, false, true}},
                     {2, true, {true, false, false}},
                     {4, true, {true, true, true}}};
        for (const auto &plan : plans) {
            SCOPED_TRACE(::testing::Message() << "fail at " << plan.at << (plan.later ? " and later" : ""));
            void *got[3];
            int err[3];
            allocfail::Stats st;
            {
                allocfail::Scope s(plan.at, plan.later);
                for (int i = 0; i < 3; ++i) {
                    errno = 0;
                    got[i] = f.alloc();
                    err[i] = errno;
                }
                st = s.end();
            }
            long failures = 0;
            for (int i = 0; i < 3; ++i) {
                EXPECT_EQ(got[i] != nullptr, plan.want[i]) << "allocation " << i + 1;
                if (f.errno_set && !got[i]) {
                    EXPECT_EQ(err[i], ENOMEM);
                }
                failures += got[i] == nullptr;
                if (got[i]) f.release(got[i]);  // freed after the scope: forwarded blocks are ordinary
            }
            // Each std::bad_alloc thrown allocated its exception object: one
            // more allocation, which fails too when every later one does.
            const long thrown = f.throws ? failures : 0;
            EXPECT_EQ(st.seen, 3 + thrown);
            EXPECT_EQ(st.failed, failures + (plan.later ? thrown : 0));
        }
    }
}

}  // namespace
