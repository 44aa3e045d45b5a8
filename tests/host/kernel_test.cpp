// Kernel objects: made as a host program makes them, argument checks, values
// copied, a new version on every change, carried as an operation's object
// parameter.
#include "zor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

TEST(Kernel, KeepsItsValuesAndKey) {
    const long live = ZorObject::liveCount();
    {
        std::vector<float> v(15);
        for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i) - 7.5f;
        ZorHandle<ZorKernel> k(ZorKernel::create(5, 3, v.data(), 2, 1));
        ASSERT_TRUE(k);
        EXPECT_EQ(k->getWidth(), 5u);
        EXPECT_EQ(k->getHeight(), 3u);
        EXPECT_EQ(k->getKeyX(), 2);
        EXPECT_EQ(k->getKeyY(), 1);
        EXPECT_NE(k->getValue(), v.data());
        EXPECT_EQ(std::vector<float>(k->getValue(), k->getValue() + 15), v);
        const ZorVersionNumber before = k->getVersion();
        v[3] = 100.0f;
        EXPECT_EQ(k->setValues(v.data()), ZOR_SUCCESS);
        EXPECT_EQ(k->getValue()[3], 100.0f);
        EXPECT_NE(k->getVersion(), before);
        const ZorVersionNumber after = k->getVersion();
        v[0] = NAN;
        EXPECT_EQ(k->setValues(v.data()), ZOR_FAILURE);
        EXPECT_EQ(k->getVersion(), after);
        EXPECT_EQ(k->getValue()[0], -7.5f);

        ZorHandle<ZorKernel> zero(ZorKernel::create(3, 3, nullptr, 1, 1));
        ASSERT_TRUE(zero);
        EXPECT_EQ(zero->getValue()[8], 0.0f);
        ZorOp *op = ZorOp::create("convolve8", nullptr);
        op->setObjParam(1, zero.get());
        EXPECT_EQ(dynamic_cast<ZorKernel *>(op->getObjParam(1)), zero.get());
        op->destroy();
    }
    EXPECT_EQ(ZorObject::liveCount(), live);
}

TEST(Kernel, RefusesBadArguments) {
    const float inf[1] = {INFINITY};
    const struct {
        unsigned w, h;
        int kx, ky;
        const float *v;
    } bad[] = {{0, 3, 0, 0, nullptr},  {3, 0, 0, 0, nullptr}, {257, 1, 0, 0, nullptr},
               {3, 3, 3, 0, nullptr},  {3, 3, 0, -1, nullptr}, {1, 1, 0, 0, inf}};
    for (const auto &c : bad) EXPECT_FALSE(ZorKernel::create(c.w, c.h, c.v, c.kx, c.ky)) << c.w << "x" << c.h;
}

}  // namespace
