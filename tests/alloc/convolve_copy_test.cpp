// The convolution drivers' coefficient copies: when one cannot be allocated,
// "di-1" is reported with the line of that copy, and nothing is written.
#include "../drivers/rig.h"
#include "alloc_fail.h"
#include "wren_device.h"

#include <set>
#include <vector>

namespace {

using rig::device;

TEST(ConvolveCopies, FailureIsReportedWithItsLine) {
    ASSERT_TRUE(allocfail::installed());
    const struct {
        bool sep;
        std::set<int> lines;
        const char *file;
    } cases[] = {{false, {116}, "ConvolveWren"}, {true, {166, 183}, "ConvolveSPWren"}};
    for (const auto &c : cases) {
        rig::Scene sc;
        const int id = sc.window(8, 20, 20, 40, 30);
        rig::Source s(60, 40, 1, 3);
        std::vector<float> v(c.sep ? 3 : 9, 0.1f);
        ZorHandle<ZorKernel> k1(ZorKernel::create(3, c.sep ? 1 : 3, v.data(), 1, c.sep ? 0 : 1));
        ZorHandle<ZorKernel> k2(ZorKernel::create(1, 3, v.data(), 0, 1));
        ZorOp *in = ZorOp::create("convolve8", nullptr, s.img);
        in->setObjParam(1, k1.get());
        ZorOp *out = c.sep ? ZorOp::create("convolve8", nullptr, s.img, nullptr, in) : nullptr;
        if (out) out->setObjParam(1, k2.get());
        rig::Chain chain(sc.image(id), c.sep ? out : in);
        if (out) chain.ops.push_back(in);
        rig::prime({sc.image(id), s.img});
        auto call = [&] {
            return c.sep ? device()->ConvolveSPWren(chain.display, 3) : device()->ConvolveWren(chain.display, 2);
        };
        allocfail::Scope count;
        ASSERT_EQ(call(), ZOR_SUCCESS);
        const long n = count.end().seen;
        std::set<int> seen;
        for (long at = 1; at <= n; ++at) {
            sc.arm();
            ZorSystemState::clearErrors();
            int status;
            {
                allocfail::Scope fail(at);
                status = call();
            }
            for (const ZorErrorRecord &e : ZorSystemState::errors()) {
                if (e.id != "di-1") continue;
                EXPECT_EQ(status, ZOR_FAILURE);
                EXPECT_EQ(e.category, 1);
                EXPECT_EQ(e.flag, 1);
                EXPECT_EQ(e.file, c.file);
                seen.insert(e.line);
                EXPECT_TRUE(sc.check());
            }
        }
        ZorSystemState::clearErrors();
        EXPECT_EQ(seen, c.lines);
    }
}

}  // namespace
