// Block copy engine against the row-copy model: every destination and source
// alignment mod 64, sources ending or starting at an inaccessible page,
// canaries around and between the rows, and overlapping copies.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "kbuf.h"
#include "kl.h"
#include "ref_copy.h"

namespace {

using Engine = void (*)(void *, int, int, int, void *, int);

struct Named {
    const char *name;
    Engine fn;
};

const Named kEngines[] = {
    {"m2m", kl_gcopy_m2m},   {"m2f", kl_gcopy_m2f},     {"f2m", kl_gcopy_f2m},
    {"f2f", kl_gcopy_f2f},   {"rl_m2m", kl_gcopyrl_m2m}, {"rl_f2f", kl_gcopyrl_f2f},
};

// One copy of h rows of n bytes from src (lb slb) into a fresh destination at
// alignment da, checked byte for byte against the model.
void check_copy(Engine fn, int n, int h, int da, const unsigned char *src, int slb, uint32_t seed,
                const char *what) {
    const int dlb = n + static_cast<int>(seed % 19);
    kbuf::DstBuf d(static_cast<size_t>(n > 0 ? n : 0), h, da, static_cast<size_t>(dlb), seed);
    if (n > 0 && h > 0) {
        ref::gcopy(d.exp_data(), dlb, n, h, src, slb);
    }
    fn(d.data(), dlb, n, h, const_cast<unsigned char *>(src), slb);
    ASSERT_TRUE(d.check()) << what << " n " << n << " h " << h << " dst mod 64 " << da
                           << " src mod 64 " << (reinterpret_cast<uintptr_t>(src) & 63);
}

TEST(Gcopy, EveryAlignmentPairMatchesModel) {
    std::mt19937 g(11);
    for (int da = 0; da < 64; ++da) {
        for (int sa = 0; sa < 64; ++sa) {
            const Named &e = kEngines[(da + sa) % 6];
            const int n = 1 + static_cast<int>(g() % 200);
            const int h = 1 + static_cast<int>(g() % 3);
            const int slb = n + static_cast<int>(g() % 13);
            // Exactly sized heap source at offset sa: reading past the last
            // row is an out-of-bounds access for the sanitizers.
            const size_t bytes = static_cast<size_t>(slb) * (h - 1) + n;
            std::vector<unsigned char> mem(sa + bytes);
            kbuf::fill_random(mem.data(), mem.size(), g());
            check_copy(e.fn, n, h, da, mem.data() + sa, slb, g(), e.name);
        }
    }
}

// Random rows, then large ones, against a guard page on either side.
TEST(Gcopy, SourcesAgainstGuardPages) {
    std::mt19937 g(12);
    const int large[] = {4096, 4097, 8191, 65536 + 37};
    for (int it = 0; it < 1500 + 6 * 4; ++it) {
        const Named &e = kEngines[it % 6];
        const bool big = it >= 1500;
        const int n = big ? large[(it - 1500) / 6] : it < 300 ? it % 150 : 1 + static_cast<int>(g() % 400);
        const int h = big ? 2 + static_cast<int>(g() % 3) : static_cast<int>(g() % 4);
        const int slb = n + static_cast<int>(g() % 70);
        const kbuf::Guard side = it & 1 ? kbuf::Guard::After : kbuf::Guard::Before;
        kbuf::GuardImage s(static_cast<size_t>(n), h, static_cast<size_t>(slb), side, g());
        check_copy(e.fn, n, h, static_cast<int>(g() % 64), s.data(), slb, g(), e.name);
    }
}

TEST(Gcopy, EmptyCallsWriteNothing) {
    kbuf::GuardImage s(64, 2, 64, kbuf::Guard::After, 1);
    for (const Named &e : kEngines) {
        for (auto [n, h] : {std::pair{0, 3}, {5, 0}, {-1, 2}, {4, -1}}) {
            kbuf::DstBuf d(8, 3, 5, 16, 2);
            e.fn(d.data(), d.lb(), n, h, s.data(), s.lb());
            EXPECT_TRUE(d.check()) << e.name << " n " << n << " h " << h;
        }
    }
}

// An area copied onto itself moved by a byte or a row, either way, must equal
// a copy made through a temporary buffer.
TEST(Gcopy, OverlapMatchesCopyThroughTemporary) {
    std::mt19937 g(14);
    struct Shift {
        int bytes, rows;
    };
    const Shift shifts[] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}, {7, 0}, {63, 0}, {65, 0}, {-64, 0},
                            {3, 1}};
    for (const Shift sh : shifts) {
        for (int it = 0; it < 80; ++it) {
            const int n = 1 + static_cast<int>(g() % 300);
            const int h = 1 + static_cast<int>(g() % 4);
            const int lb = n + 1 + static_cast<int>(g() % 80);
            const int off = sh.bytes + sh.rows * lb;
            // One buffer holding both areas, with margin on either side.
            const int pad = 2 * (lb + 70);
            kbuf::DstBuf buf(static_cast<size_t>(pad + lb * h + pad), 1, static_cast<int>(g() % 64),
                             static_cast<size_t>(pad + lb * h + pad), g());
            unsigned char *src = buf.data() + pad;
            unsigned char *dst = src + off;
            // Expected: the source area copied out first, then written back.
            std::vector<unsigned char> tmp(buf.data(), buf.data() + buf.rowbytes());
            ref::gcopy(buf.exp_data() + pad + off, lb, n, h, tmp.data() + pad, lb);
            if (off > 0) {
                kl_gcopyrl_m2m(dst, lb, n, h, src, lb);
            } else {
                kl_gcopy_m2m(dst, lb, n, h, src, lb);
            }
            ASSERT_TRUE(buf.check()) << "shift " << sh.bytes << " bytes " << sh.rows << " rows, n "
                                     << n << " h " << h << " lb " << lb;
        }
    }
}

TEST(Gcopy, OneByteRowsWriteOneByte) {
    kbuf::GuardImage s(1, 3, 9, kbuf::Guard::After, 3);
    for (const Named &e : kEngines)
        for (int da = 0; da < 64; ++da) check_copy(e.fn, 1, 3, da, s.data(), s.lb(), static_cast<uint32_t>(da), e.name);
}

}  // namespace
