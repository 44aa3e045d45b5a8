// The allocation-failure helper itself: every allocation function fails when
// its number comes, only while a scope is armed, in this program and in the
// libraries it loads; blocks it forwarded are freed normally.
#include "alloc_fail.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <pixman.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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
};

std::vector<Form> forms() {
    auto c_free = [](void *p) { opaque(&std::free)(p); };
    auto del = [](void *p) { opaque(static_cast<void (*)(void *) noexcept>(&::operator delete))(p); };
    auto del_array = [](void *p) { opaque(static_cast<void (*)(void *) noexcept>(&::operator delete[]))(p); };
    auto del_aligned = [](void *p) {
        opaque(static_cast<void (*)(void *, std::align_val_t) noexcept>(&::operator delete))(p, std::align_val_t(64));
    };
    auto del_array_aligned = [](void *p) {
        opaque(static_cast<void (*)(void *, std::align_val_t) noexcept>(&::operator delete[]))(p,
                                                                                            std::align_val_t(64));
    };
    auto catching = [](auto f) {
        return [f]() -> void * {
            try {
                return f();
            } catch (const std::bad_alloc &) {
                return nullptr;
            }
        };
    };
    const std::nothrow_t &nt = std::nothrow;
    return {
        {"malloc", [] { return opaque(&std::malloc)(24); }, c_free},
        {"calloc", [] { return opaque(&std::calloc)(3, 8); }, c_free},
        {"realloc", [] { return opaque(&std::realloc)(nullptr, 24); }, c_free},
        {"valloc", [] { return opaque(&::valloc)(24); }, c_free},
        {"memalign", [] { return opaque(&::memalign)(64, 24); }, c_free},
        {"aligned_alloc", [] { return opaque(&std::aligned_alloc)(64, 64); }, c_free},
        {"posix_memalign",
         [] {
             void *p = reinterpret_cast<void *>(1);
             const int rc = opaque(&::posix_memalign)(&p, 64, 24);
             return rc == 0 ? p : nullptr;
         },
         c_free},
        {"new", catching([] { return opaque(static_cast<void *(*)(std::size_t)>(&::operator new))(24); }), del, true},
        {"new[]", catching([] { return opaque(static_cast<void *(*)(std::size_t)>(&::operator new[]))(24); }),
         del_array, true},
        {"new nothrow",
         [&nt] { return opaque(static_cast<void *(*)(std::size_t, const std::nothrow_t &) noexcept>(&::operator new))(24, nt); },
         del},
        {"new[] nothrow",
         [&nt] {
             return opaque(static_cast<void *(*)(std::size_t, const std::nothrow_t &) noexcept>(&::operator new[]))(24, nt);
         },
         del_array},
        {"new aligned", catching([] {
             return opaque(static_cast<void *(*)(std::size_t, std::align_val_t)>(&::operator new))(24, std::align_val_t(64));
         }),
         del_aligned, true},
        {"new[] aligned", catching([] {
             return opaque(static_cast<void *(*)(std::size_t, std::align_val_t)>(&::operator new[]))(24,
                                                                                                  std::align_val_t(64));
         }),
         del_array_aligned, true},
        {"new aligned nothrow",
         [&nt] {
             return opaque(static_cast<void *(*)(std::size_t, std::align_val_t, const std::nothrow_t &) noexcept>(
                 &::operator new))(24, std::align_val_t(64), nt);
         },
         del_aligned},
        {"new[] aligned nothrow",
         [&nt] {
             return opaque(static_cast<void *(*)(std::size_t, std::align_val_t, const std::nothrow_t &) noexcept>(
                 &::operator new[]))(24, std::align_val_t(64), nt);
         },
         del_array_aligned},
    };
}

TEST(AllocFail, Installed) { EXPECT_TRUE(allocfail::installed()); }

// For every form: counted only while armed, the named allocation fails (and
// with and_later every later one), the others succeed and are freed normally.
TEST(AllocFail, EveryFormFailsOnItsNumber) {
    for (const Form &f : forms()) {
        SCOPED_TRACE(f.name);
        {
            void *p = f.alloc();  // not armed: neither counted nor failed
            ASSERT_NE(p, nullptr);
            f.release(p);
        }
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
            allocfail::Stats st;
            {
                allocfail::Scope s(plan.at, plan.later);
                for (void *&p : got) p = f.alloc();
                st = s.end();
            }
            long failures = 0;
            for (int i = 0; i < 3; ++i) {
                EXPECT_EQ(got[i] != nullptr, plan.want[i]) << "allocation " << i + 1;
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

// A failing malloc sets errno like the C library's.
TEST(AllocFail, FailedMallocSetsErrno) {
    errno = 0;
    void *p;
    {
        allocfail::Scope s(1);
        p = opaque(&std::malloc)(10);
    }
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(errno, ENOMEM);
}

// Allocations inside a shared library (here the region code of pixman) are
// counted and failed too, and a library that checks its allocations sees
// the failure.
TEST(AllocFail, ReachesSharedLibraries) {
    std::vector<pixman_box32_t> boxes;
    for (int i = 0; i < 64; ++i) boxes.push_back({i * 4, 0, i * 4 + 2, 2 + i});
    pixman_region32_t r;
    allocfail::Stats st;
    bool ok;
    {
        allocfail::Scope s(1, true);
        ok = pixman_region32_init_rects(&r, boxes.data(), static_cast<int>(boxes.size()));
        st = s.end();
    }
    EXPECT_FALSE(ok);
    EXPECT_GE(st.seen, 1);
    EXPECT_EQ(st.failed, st.seen);
    pixman_region32_fini(&r);
    {
        allocfail::Scope s;
        ok = pixman_region32_init_rects(&r, boxes.data(), static_cast<int>(boxes.size()));
        st = s.end();
    }
    EXPECT_TRUE(ok);
    EXPECT_GE(st.seen, 1);
    EXPECT_EQ(st.failed, 0);
    pixman_region32_fini(&r);
}

// A block that realloc grows inside the scope and frees outside it.
TEST(AllocFail, ReallocKeepsTheBlockWhenItFails) {
    char *p = static_cast<char *>(opaque(&std::malloc)(8));
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "abcdefg", 8);
    char *q;
    {
        allocfail::Scope s(1);
        q = static_cast<char *>(opaque(&std::realloc)(p, 1 << 20));
    }
    EXPECT_EQ(q, nullptr);
    EXPECT_STREQ(p, "abcdefg");
    {
        allocfail::Scope s;
        q = static_cast<char *>(opaque(&std::realloc)(p, 1 << 20));
        EXPECT_EQ(s.end().seen, 1);
    }
    ASSERT_NE(q, nullptr);
    EXPECT_STREQ(q, "abcdefg");
    opaque(&std::free)(q);
}

}  // namespace
