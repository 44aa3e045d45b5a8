// Masked copies against the model: random and band patterns, every
// destination alignment mod 8, sources against guard pages, and the backward
// copy onto an overlapping destination.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "kbuf.h"
#include "kl.h"
#include "ref_copy.h"

namespace {

using MCopy = void (*)(unsigned, void *, int, int, int, void *, int);

unsigned pick_pattern(std::mt19937 &g) {
    switch (g() % 4) {
    case 0: return g() & 0xffffffu;
    case 1: return g();  // bits above 24 are ignored
    case 2: return kl_masks_8[1 + g() % 4][g() % 16];
    default: return kl_masks_16b[1 + g() % 4][g() % 16];
    }
}

TEST(MCopy, MatchesModel) {
    std::mt19937 g(31);
    for (MCopy f : {kl_mcopy, kl_mcopy_rl}) {
        for (int it = 0; it < 3000; ++it) {
            const unsigned pat = pick_pattern(g);
            const int n = it % 50 == 0 ? 500 + static_cast<int>(g() % 3000) : static_cast<int>(g() % 71);
            const int h = it % 30 == 0 ? 9 : static_cast<int>(g() % 4);
            const int dlb = n + static_cast<int>(g() % 17), slb = n + static_cast<int>(g() % 17);
            kbuf::DstBuf d(static_cast<size_t>(n), h, static_cast<int>(g() % 64),
                           static_cast<size_t>(dlb), g());
            kbuf::GuardImage s(static_cast<size_t>(n), h, static_cast<size_t>(slb),
                               it & 1 ? kbuf::Guard::After : kbuf::Guard::Before, g());
            ref::mcopy(pat & 0xffffffu, d.exp_data(), dlb, n, h, s.data(), slb);
            f(pat, d.data(), dlb, n, h, s.data(), slb);
            ASSERT_TRUE(d.check()) << (f == kl_mcopy ? "forward" : "backward") << " pattern 0x"
                                   << std::hex << pat << std::dec << " n " << n << " h " << h;
        }
    }
}

TEST(MCopy, OneByteAtOffsetSeven) {
    for (unsigned pat : {0x80u, 0x800000u, 0xffffffu, 0x7fffffu}) {
        kbuf::DstBuf d(1, 1, 7, 1, pat);
        unsigned char s = 0x5a;
        if (pat & 0x80) d.exp_data()[0] = 0x5a;
        kl_mcopy(pat, d.data(), 1, 1, 1, &s, 1);
        EXPECT_TRUE(d.check()) << std::hex << pat;
    }
}

// The backward masked copy moves an area onto itself at a higher address
// (by a byte, a pixel or a row), the forward one at a lower address, as a
// copy through a temporary would.
TEST(MCopy, OverlapMatchesTemporary) {
    std::mt19937 g(32);
    for (const bool back : {true, false}) {
        for (int it = 0; it < 400; ++it) {
            const unsigned pat = pick_pattern(g) & 0xffffffu;
            const int n = 1 + static_cast<int>(g() % 200), h = 1 + static_cast<int>(g() % 4);
            const int lb = n + static_cast<int>(g() % 30);
            const int off = it % 3 == 0 ? lb : 1 + static_cast<int>(g() % 70);
            const size_t total = static_cast<size_t>(lb * (h + 2) + 100);
            kbuf::DstBuf buf(total, 1, static_cast<int>(g() % 64), total, g());
            std::vector<unsigned char> snap(buf.data(), buf.data() + total);
            const int doff = back ? off : 0, soff = back ? 0 : off;
            ref::mcopy(pat, buf.exp_data() + doff, lb, n, h, snap.data() + soff, lb);
            (back ? kl_mcopy_rl : kl_mcopy)(pat, buf.data() + doff, lb, n, h, buf.data() + soff, lb);
            ASSERT_TRUE(buf.check()) << "back " << back << " off " << off << " n " << n << " h " << h;
        }
    }
}

}  // namespace
