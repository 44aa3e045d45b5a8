// Host objects: counting, versions, error reports, operations and images.
#include "zor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <tuple>

namespace {

class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        live_ = ZorObject::liveCount();
        ZorSystemState::clearErrors();
    }
    void TearDown() override { EXPECT_EQ(ZorObject::liveCount(), live_) << "host objects leaked"; }
    long live_ = 0;
};

TEST_F(HostTest, LiveCountFollowsCreationAndDestruction) {
    ZorRoi *a = ZorRoi::create(0, 0, 4, 4);
    ZorRoi *b = a->intersect(a);
    EXPECT_EQ(ZorObject::liveCount(), live_ + 2);
    a->destroy();
    b->destroy();
    EXPECT_EQ(ZorObject::liveCount(), live_);
}

TEST_F(HostTest, VersionsChangeOnEveryModificationAndAreNeverShared) {
    ZorHandle<ZorImage> img(ZorImage::create(8, 8, 1, ZOR_BYTE)), other(ZorImage::create(8, 8, 1, ZOR_BYTE));
    ZorVersionNumber none, v0, v1;
    img->getVersion(v0);
    EXPECT_TRUE(v0 != none);
    EXPECT_TRUE(v0 != other->getVersion());
    img->setOrigin(1, 2);
    img->getVersion(v1);
    EXPECT_TRUE(v1 != v0);
    EXPECT_FALSE(img->getVersion() != v1);  // unchanged
    img->markModified();
    EXPECT_TRUE(img->getVersion() != v1);
    ZorHandle<ZorOp> op(ZorOp::create("add8", img.get()));
    const ZorVersionNumber before = op->getVersion();
    op->setLongParam(1, 5);
    EXPECT_TRUE(op->getVersion() != before);
}

TEST_F(HostTest, NotifyErrorRecordsEveryReport) {
    ZorHandle<ZorRoi> roi(ZorRoi::create());
    ZorSystemState::notifyError(nullptr, 1, "di-1", 1, 51, "Unit", nullptr);
    ZorSystemState::notifyError(zor_global_state, 0, "di-7", 0, 113, "Other", roi.get());
    ZorSystemState::notifyError(nullptr, 0, nullptr, 0, 0, nullptr, nullptr);
    const auto &e = ZorSystemState::errors();
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(std::tie(e[0].state, e[0].category, e[0].id, e[0].flag, e[0].line, e[0].file),
              std::make_tuple(nullptr, 1, "di-1", 1, 51, "Unit"));
    EXPECT_EQ(std::tie(e[1].state, e[1].object, e[2].id), std::make_tuple(zor_global_state, roi.get(), ""));
    EXPECT_STREQ(ZorSystemState::errorText("di-8"), "cannot make the rectangle list of the region");
    EXPECT_STREQ(ZorSystemState::errorText("nope"), "unknown error");
    EXPECT_EQ(roi->getSystemState(), zor_global_state);
}

TEST_F(HostTest, OperationNumbersAndParameters) {
    const char *names[] = {"add8", "copy8", "convert16_8", "threshold16", "rescale16", "scale16bilinear",
                           "xorconst8", ZOR_DISPLAY_IO_WREN};
    for (const char *n : names) {
        const int number = ZorLookupOpNumber(n);
        ASSERT_GT(number, 0) << n;
        EXPECT_STREQ(ZorOpName(number), n);
    }
    EXPECT_NE(ZorLookupOpNumber("add8"), ZorLookupOpNumber("addconst8"));
    EXPECT_EQ(ZorLookupOpNumber("add"), -1);
    EXPECT_EQ(ZorLookupOpNumber("add88"), -1);
    EXPECT_EQ(ZorLookupOpNumber(nullptr), -1);
    EXPECT_EQ(ZorOpName(0), nullptr);
    EXPECT_EQ(ZorOp::create("nope", nullptr), nullptr);

    ZorHandle<ZorImage> a(ZorImage::create(4, 4, 1, ZOR_BYTE)), b(ZorImage::create(4, 4, 1, ZOR_BYTE));
    ZorHandle<ZorOp> add(ZorOp::create("add8", a.get(), a.get(), b.get()));
    ZorHandle<ZorOp> show(ZorOp::create(ZOR_DISPLAY_IO_WREN, b.get(), nullptr, nullptr, add.get()));
    EXPECT_EQ(show->getOp1(), add.get());
    EXPECT_EQ(add->getOp(), ZorLookupOpNumber("add8"));
    EXPECT_EQ(add->getSrc2(), b.get());
    float values[2] = {1.5f, 2};
    add->setPtrParam(1, values);
    add->setFloatParam(2, 0.25f);
    add->setLongParam(3, -7);
    add->setObjParam(4, a.get());
    EXPECT_EQ(std::make_tuple(add->getPtrParam(1), add->getFloatParam(2), add->getLongParam(3), add->getObjParam(4)),
              std::make_tuple(static_cast<void *>(values), 0.25f, -7L, static_cast<ZorObject *>(a.get())));
    // Wrong kind or unset index reads as nothing; a set replaces.
    EXPECT_EQ(std::make_tuple(add->getLongParam(1), add->getPtrParam(2), add->getFloatParam(9)),
              std::make_tuple(0L, nullptr, 0.0f));
    add->setLongParam(1, 4);
    EXPECT_EQ(std::make_tuple(add->getPtrParam(1), add->getLongParam(1)), std::make_tuple(nullptr, 4L));
}

TEST_F(HostTest, StorageRecordsOfMemoryImages) {
    struct Case {
        int datatype;
        unsigned bands, size;
    } cases[] = {{ZOR_BYTE, 1, 1}, {ZOR_BYTE, 3, 1}, {ZOR_SHORT, 4, 2}, {ZOR_SHORT, 1, 2}};
    for (const Case &c : cases) {
        ZorHandle<ZorImage> img(ZorImage::create(13, 5, c.bands, c.datatype));
        ASSERT_TRUE(img);
        unsigned w, h, n;
        int dt;
        img->getInfo(&w, &h, &n, &dt);
        EXPECT_EQ(std::tie(w, h, n, dt), std::make_tuple(13u, 5u, c.bands, c.datatype));
        const ZorStorage *s = img->getStorage("memory");
        ASSERT_TRUE(s);
        EXPECT_EQ(s->samples.pixelStride, c.bands);
        EXPECT_GE(s->samples.scanlineStride, static_cast<int>(13 * c.bands));
        EXPECT_EQ(s->samples.scanlineStride * c.size % 8, 0u);
        EXPECT_EQ(img->getStorage("disk"), nullptr);
        // Child at (5, 2), band 1: its samples are found through the child offsets.
        if (c.bands < 2) continue;
        ZorHandle<ZorImage> child(img->createChild(5, 2, 1, 4, 3, c.bands - 1));
        ASSERT_TRUE(child);
        unsigned cx, cy, cb;
        child->getChildOffsets(&cx, &cy, &cb);
        EXPECT_EQ(std::tie(cx, cy, cb), std::make_tuple(5u, 2u, 1u));
        const ZorStorage *cs = child->getStorage("memory");
        ASSERT_TRUE(cs);
        EXPECT_EQ(cs->samples.address, s->samples.address);
        const auto *expect = static_cast<char *>(s->samples.address) +
                             ((2 + 1) * s->samples.scanlineStride + (5 + 2) * s->samples.pixelStride + 1 + 1) * c.size;
        EXPECT_EQ(child->sampleAddress(2, 1, 1), expect);
        ZorHandle<ZorImage> grandchild(child->createChild(1, 1, 0, 2, 2, 1));
        grandchild->getChildOffsets(&cx, &cy, &cb);
        EXPECT_EQ(std::tie(cx, cy, cb), std::make_tuple(6u, 3u, 1u));
    }
}

TEST_F(HostTest, BitImagesAndChildren) {
    ZorHandle<ZorImage> img(ZorImage::create(20, 6, 2, ZOR_BIT));
    const ZorStorage *s = img->getStorage("memory");
    ASSERT_TRUE(s);
    EXPECT_GE(s->bits.scanlineStride, 3);
    EXPECT_EQ(std::tie(s->bits.bandStride, s->bits.bitOffset), std::make_tuple(6, 0));
    ZorHandle<ZorImage> child(img->createChild(11, 2, 1, 5, 3, 1));
    const ZorStorage *cs = child->getStorage("memory");
    EXPECT_EQ(cs->bits.address, s->bits.address + (6 + 2) * s->bits.scanlineStride + 1);
    EXPECT_EQ(cs->bits.bitOffset, 3);
    EXPECT_EQ(child->sampleAddress(0, 0, 0), cs->bits.address);
}

TEST_F(HostTest, ChildrenMustFitAndKeepStorageAlive) {
    ZorImage *img = ZorImage::create(10, 10, 3, ZOR_BYTE);
    EXPECT_EQ(img->createChild(5, 0, 0, 6, 1, 1), nullptr);
    EXPECT_EQ(img->createChild(0, 0, 2, 1, 1, 2), nullptr);
    EXPECT_EQ(img->createChild(0, 0, 0, 0, 1, 1), nullptr);
    EXPECT_EQ(img->createChild(~0u, 0, 0, 2, 1, 1), nullptr);
    ZorHandle<ZorImage> child(img->createChild(9, 9, 2, 1, 1, 1));
    img->destroy();
    *static_cast<unsigned char *>(child->sampleAddress(0, 0, 0)) = 7;  // still valid
    EXPECT_EQ(ZorImage::create(0, 4, 1, ZOR_BYTE), nullptr);
    EXPECT_EQ(ZorImage::create(4, 4, 5, ZOR_BYTE), nullptr);
    EXPECT_EQ(ZorImage::create(4, 4, 1, 3), nullptr);
    EXPECT_EQ(ZorImage::create(ZorImage::kMaxSide, ZorImage::kMaxSide, 4, ZOR_SHORT), nullptr);  // too big
    unsigned char buf[64];
    EXPECT_EQ(ZorImage::createOver(4, 4, 2, ZOR_BYTE, buf, 7, 2), nullptr);  // row too short
    ZorHandle<ZorImage> over(ZorImage::createOver(4, 4, 2, ZOR_BYTE, buf, 16, 3));
    ASSERT_TRUE(over);
    EXPECT_EQ(over->sampleAddress(1, 2, 1), buf + 2 * 16 + 3 + 1);
}

TEST_F(HostTest, OriginsAndRegionsOfInterest) {
    ZorHandle<ZorImage> img(ZorImage::create(10, 8, 1, ZOR_BYTE));
    EXPECT_EQ(img->getRoi(), nullptr);
    ZorHandle<ZorRoi> whole(ZorRoi::create(0, 0, 10, 8));
    EXPECT_TRUE(img->getImageSpaceRoi()->equals(whole.get()));
    ASSERT_EQ(img->setOrigin(2.5f, -3.0f), ZOR_SUCCESS);
    int ox, oy;
    float fx, fy;
    img->getOrigin(&ox, &oy);
    img->getOrigin(&fx, &fy);
    EXPECT_EQ(std::tie(ox, oy, fx, fy), std::make_tuple(2, -3, 2.5f, -3.0f));  // halves to even
    ZorHandle<ZorRoi> moved(whole->translate(-2, 3));
    EXPECT_TRUE(img->getImageSpaceRoi()->equals(moved.get()));
    EXPECT_EQ(img->setOrigin(NAN, 0), ZOR_FAILURE);

    ZorHandle<ZorRoi> part(ZorRoi::create(8, 6, 5, 5));
    ASSERT_EQ(img->setRoi(part.get()), ZOR_SUCCESS);
    ZorHandle<ZorRoi> cut(ZorRoi::create(8, 6, 2, 2));
    EXPECT_TRUE(img->getRoi()->equals(cut.get()));
    ZorHandle<ZorRoi> cut_is(cut->translate(-2, 3));
    EXPECT_TRUE(img->getImageSpaceRoi()->equals(cut_is.get()));

    // The image's regions are its own: destroying one is refused and reported.
    img->getRoi()->destroy();
    ASSERT_EQ(ZorSystemState::errors().size(), 1u);
    EXPECT_EQ(ZorSystemState::errors()[0].id, "ho-1");
    EXPECT_TRUE(img->getRoi()->equals(cut.get()));
    img->setRoi(nullptr);
    EXPECT_EQ(img->getRoi(), nullptr);
}

TEST_F(HostTest, WindowImagesShareTheirRecord) {
    ZorDisplayIO record{};
    record.depth = 24;
    record.fbLineBytes = 8192;
    record.board[4] = 2;
    record.mapMode = 1;
    ZorHandle<ZorImage> win(ZorImage::createWindow(64, 32, 4, record));
    ASSERT_TRUE(win);
    EXPECT_EQ(win->getStorage("memory"), nullptr);
    EXPECT_EQ(win->sampleAddress(0, 0, 0), nullptr);
    ZorDisplayIO *dio = win->getDeviceInputOutput();
    ASSERT_TRUE(dio);
    EXPECT_EQ(std::tie(dio->depth, dio->fbLineBytes, dio->board[4], dio->mapMode), std::make_tuple(24, 8192, 2, 1));
    ZorHandle<ZorImage> child(win->createChild(3, 4, 1, 10, 10, 3));
    EXPECT_EQ(child->getDeviceInputOutput(), dio);
    dio->state = 5;
    EXPECT_EQ(child->getDeviceInputOutput()->state, 5);
    ZorHandle<ZorImage> mem(ZorImage::create(4, 4, 1, ZOR_BYTE));
    EXPECT_EQ(mem->getDeviceInputOutput(), nullptr);
}

TEST_F(HostTest, RoiListIntersectsDestinationAndSources) {
    ZorHandle<ZorImage> dst(ZorImage::create(10, 10, 1, ZOR_BYTE)), src(ZorImage::create(6, 20, 1, ZOR_BYTE));
    src->setOrigin(-2, 0);  // image space starts at x = 2
    ZorRoi *roi = nullptr;
    ASSERT_EQ(ZoriGetRoiList(&roi, dst.get(), src.get(), nullptr, nullptr), ZOR_SUCCESS);
    ZorHandle<ZorRoi> held(roi), expect(ZorRoi::create(2, 0, 6, 10));
    EXPECT_TRUE(roi->equals(expect.get()));
    EXPECT_EQ(ZoriGetRoiList(&roi, nullptr, src.get(), nullptr, nullptr), ZOR_FAILURE);
    EXPECT_EQ(roi, nullptr);
}

}  // namespace
