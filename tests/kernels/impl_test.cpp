// The kernel implementation seam: the program runs once per implementation
// (WREN_KERNELS set by the test registration); a run for an implementation
// this CPU lacks skips every test, a run for one it has must get it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "kl.h"

namespace {

class Implementation : public ::testing::Environment {
public:
    void SetUp() override {
        const char *want = std::getenv("WREN_KERNELS");
        if (!want || !*want) return;
        if (!kl_implementation_available(want)) {
            GTEST_SKIP() << "kernel implementation " << want << " not available on this CPU";
        }
        ASSERT_STREQ(kl_implementation(), want);
    }
};

const auto *const kEnv = ::testing::AddGlobalTestEnvironment(new Implementation);

TEST(Implementation, NamesAndAvailability) {
    const std::string active = kl_implementation();
    EXPECT_TRUE(active == "portable" || active == "avx2" || active == "avx512") << active;
    EXPECT_TRUE(kl_implementation_available(active.c_str()));
    EXPECT_TRUE(kl_implementation_available("portable"));
    EXPECT_FALSE(kl_implementation_available("sse9"));
    EXPECT_FALSE(kl_implementation_available(""));
    EXPECT_FALSE(kl_implementation_available(nullptr));
    // The best available one is chosen when nothing is forced.
    const char *want = std::getenv("WREN_KERNELS");
    if (!want || !*want) {
        for (const char *best : {"avx512", "avx2"}) {
            if (kl_implementation_available(best)) {
                EXPECT_EQ(active, best);
                break;
            }
        }
    }
}

}  // namespace
