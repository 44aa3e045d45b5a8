// Interpolation tables: argument checks (sizes, phases, weights that are not
// finite), the weights kept phase-major, a new version on a change and none
// on a refused one, and an operation carrying two tables as object parameters.
#include "zor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

namespace {

TEST(InterpolationTable, KeepsItsWeightsAndRefusesBadArguments) {
    const long live = ZorObject::liveCount();
    {
        std::vector<float> w = {0.25f, 0.75f, 0.5f, 0.5f, 1.0f, 0.0f};
        ZorHandle<ZorInterpolationTable> t(ZorInterpolationTable::create(2, 3, w.data()));
        ASSERT_TRUE(t);
        EXPECT_EQ(t->getKernelSize(), 2);
        EXPECT_EQ(t->getSubsamples(), 3);
        for (int i = 0; i < 6; ++i) EXPECT_EQ(t->getData()[i], w[i]);
        w[0] = 9;  // copied, not borrowed
        EXPECT_EQ(t->getData()[0], 0.25f);
        const ZorVersionNumber v0 = t->getVersion();
        EXPECT_EQ(t->setValue(2, 1, 0.125f), ZOR_SUCCESS);
        EXPECT_EQ(t->getData()[5], 0.125f);
        const ZorVersionNumber v1 = t->getVersion();
        EXPECT_NE(v0, v1);
        for (auto [p, k, v] : {std::tuple{3, 0, 1.0f}, {0, 2, 1.0f}, {-1, 0, 1.0f}, {0, 0, NAN}})
            EXPECT_EQ(t->setValue(p, k, v), ZOR_FAILURE);
        EXPECT_EQ(t->getVersion(), v1);

        ZorHandle<ZorInterpolationTable> zeros(ZorInterpolationTable::create(8, 64, nullptr));
        ASSERT_TRUE(zeros);
        for (int i = 0; i < 8 * 64; ++i) ASSERT_EQ(zeros->getData()[i], 0.0f);
        const float bad[2] = {1.0f, INFINITY};
        EXPECT_FALSE(ZorInterpolationTable::create(2, 1, bad));
        EXPECT_FALSE(ZorInterpolationTable::create(0, 4, nullptr));
        EXPECT_FALSE(ZorInterpolationTable::create(65, 4, nullptr));
        EXPECT_FALSE(ZorInterpolationTable::create(2, 0, nullptr));
        EXPECT_FALSE(ZorInterpolationTable::create(2, 65537, nullptr));

        ZorHandle<ZorImage> img(ZorImage::create(4, 4, 1, ZOR_BYTE));
        ZorOp *op = ZorOp::create("scale8general", nullptr, img.get());
        ASSERT_TRUE(op);
        op->setObjParam(3, t.get());
        op->setObjParam(4, zeros.get());
        EXPECT_EQ(dynamic_cast<ZorInterpolationTable *>(op->getObjParam(3)), t.get());
        EXPECT_EQ(dynamic_cast<ZorInterpolationTable *>(op->getObjParam(4)), zeros.get());
        op->destroy();
    }
    EXPECT_EQ(ZorObject::liveCount(), live);
}

}  // namespace
