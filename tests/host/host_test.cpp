// Host objects: counting, versions, the values objects keep, images and their
// children, origins and regions, and dispatch of operation chains. What the
// host refuses is in tests/platform/bad_input_test.cpp.
#include "zor.h"
#include "zor_dispatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

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

std::vector<uint8_t> ramp(size_t n, int step = 1) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * step);
    return v;
}

// Every modification through the host's calls gives a version never seen
// before; a refused one changes neither the version nor the data. Objects
// are counted while they live.
TEST_F(HostTest, EveryModificationGivesANewVersion) {
    ZorRoi *a = ZorRoi::create(0, 0, 4, 4), *b = a->intersect(a);
    EXPECT_EQ(ZorObject::liveCount(), live_ + 2);
    a->destroy();
    b->destroy();
    EXPECT_EQ(ZorObject::liveCount(), live_);

    const auto data = ramp(256 * 2);
    const unsigned entries[] = {256, 100};
    const int offsets[] = {0, 10};
    ZorHandle<ZorImage> img(ZorImage::create(8, 8, 1, ZOR_BYTE)), other(ZorImage::create(8, 8, 1, ZOR_BYTE));
    ZorHandle<ZorOp> op(ZorOp::create("add8", img.get()));
    ZorHandle<ZorLookup> single(ZorLookup::create(2, 0, 256, data.data()));
    ZorHandle<ZorLookup> combined(ZorLookup::createCombined(2, entries, offsets, nullptr));
    std::vector<float> kv(15, 0.5f);
    ZorHandle<ZorKernel> kernel(ZorKernel::create(5, 3, kv.data(), 2, 1));
    ZorHandle<ZorInterpolationTable> table(ZorInterpolationTable::create(2, 3, nullptr));
    const uint8_t v9[] = {9, 9, 9};
    const struct {
        const char *what;
        ZorObject *o;
        std::function<int()> apply;
        int status;
    } changes[] = {
        {"image origin", img.get(), [&] { return img->setOrigin(1, 2); }, ZOR_SUCCESS},
        {"image marked", img.get(), [&] { return img->markModified(), ZOR_SUCCESS; }, ZOR_SUCCESS},
        {"operation parameter", op.get(), [&] { return op->setLongParam(1, 5), ZOR_SUCCESS; }, ZOR_SUCCESS},
        {"kernel values", kernel.get(), [&] { return kv[3] = 100, kernel->setValues(kv.data()); }, ZOR_SUCCESS},
        {"kernel values NaN", kernel.get(), [&] { return kv[5] = NAN, kernel->setValues(kv.data()); }, ZOR_FAILURE},
        {"table weight", table.get(), [&] { return table->setValue(2, 1, 0.125f); }, ZOR_SUCCESS},
        {"table weight NaN", table.get(), [&] { return table->setValue(0, 0, NAN); }, ZOR_FAILURE},
        {"table phase 3 of 3", table.get(), [&] { return table->setValue(3, 0, 1.0f); }, ZOR_FAILURE},
        {"table phase -1", table.get(), [&] { return table->setValue(-1, 0, 1.0f); }, ZOR_FAILURE},
        {"table tap 2 of 2", table.get(), [&] { return table->setValue(0, 2, 1.0f); }, ZOR_FAILURE},
        {"single offset", single.get(), [&] { return single->setOffset(-5); }, ZOR_SUCCESS},
        {"single values", single.get(), [&] { return single->setValues(1, 253, 3, v9); }, ZOR_SUCCESS},
        {"single values past the end", single.get(), [&] { return single->setValues(0, 254, 3, v9); }, ZOR_FAILURE},
        {"single values of band 2", single.get(), [&] { return single->setValues(2, 0, 1, v9); }, ZOR_FAILURE},
        {"single table offset", single.get(), [&] { return single->setTableOffset(0, 1); }, ZOR_FAILURE},
        {"single table", single.get(), [&] { return single->setTable(0, 0, 3, v9); }, ZOR_FAILURE},
        {"single offset out of range", single.get(), [&] { return single->setOffset(40000); }, ZOR_FAILURE},
        {"combined table offset", combined.get(), [&] { return combined->setTableOffset(1, -7); }, ZOR_SUCCESS},
        {"combined values", combined.get(), [&] { return combined->setValues(1, 97, 3, v9); }, ZOR_SUCCESS},
        {"combined values past table 1", combined.get(), [&] { return combined->setValues(1, 98, 3, v9); }, ZOR_FAILURE},
        {"combined table", combined.get(), [&] { return combined->setTable(0, 3, 3, v9); }, ZOR_SUCCESS},
        {"combined table of 0", combined.get(), [&] { return combined->setTable(0, 3, 0, v9); }, ZOR_FAILURE},
        {"combined offset", combined.get(), [&] { return combined->setOffset(1); }, ZOR_FAILURE},
        {"in place, then marked", single.get(), [&] { return single->getData()[0] ^= 1, single->markModified(), ZOR_SUCCESS; },
         ZOR_SUCCESS},
    };
    std::vector<uint64_t> seen;
    for (ZorObject *o : std::initializer_list<ZorObject *>{img.get(), other.get(), op.get(), kernel.get(), table.get(),
                                                           single.get(), combined.get()})
        seen.push_back(o->getVersion().value());
    EXPECT_EQ(std::count(seen.begin(), seen.end(), ZorVersionNumber().value()), 0);
    for (const auto &c : changes) {
        SCOPED_TRACE(c.what);
        const ZorVersionNumber before = c.o->getVersion();
        EXPECT_EQ(c.apply(), c.status);
        const ZorVersionNumber after = c.o->getVersion();
        if (c.status == ZOR_SUCCESS) {
            EXPECT_EQ(std::find(seen.begin(), seen.end(), after.value()), seen.end());
            seen.push_back(after.value());
        } else {
            EXPECT_TRUE(after == before);
        }
    }
    EXPECT_EQ(std::make_tuple(kernel->getValue()[3], kernel->getValue()[5], table->getData()[5], table->getData()[0]),
              std::make_tuple(100.0f, 0.5f, 0.125f, 0.0f));
    EXPECT_EQ(std::make_tuple(single->getOffset(), single->getData()[253 * 2 + 1], single->getData()[254 * 2], single->getData()[0]),
              std::make_tuple(-5, 9, data[254 * 2], uint8_t(data[0] ^ 1)));
    EXPECT_EQ(std::make_tuple(combined->getOffsetsList()[1], combined->getDataList()[1][99]), std::make_tuple(-7, 9));
    EXPECT_EQ(std::make_tuple(combined->getEntriesList()[0], combined->getOffsetsList()[0], combined->getDataList()[0][2]),
              std::make_tuple(3, 3, 9));
}

// Lookups of both forms and tables keep copies of what they are given.
TEST_F(HostTest, ObjectsCopyTheirValues) {
    auto data = ramp(100 * 3, 7);
    ZorHandle<ZorLookup> l(ZorLookup::create(3, 10, 100, data.data()));
    ASSERT_TRUE(l);
    EXPECT_EQ(std::make_tuple(l->getNBands(), l->getInputNBands(), l->getOffset(), l->getNumEntries()),
              std::make_tuple(3u, 1u, 10, 100u));
    EXPECT_FALSE(l->getEntriesList() || l->getOffsetsList() || l->getDataList());
    const auto t0 = ramp(256), t1 = ramp(100, 3), t2 = ramp(65536);
    const unsigned entries[] = {256, 100, 65536};
    const int offsets[] = {0, 10, -32768};
    const uint8_t *tables[] = {t0.data(), t1.data(), t2.data()};
    ZorHandle<ZorLookup> c(ZorLookup::createCombined(3, entries, offsets, tables));
    ASSERT_TRUE(c);
    EXPECT_EQ(std::make_tuple(c->getNBands(), c->getInputNBands(), c->getNumEntries(), c->getData()),
              std::make_tuple(3u, 3u, 0u, static_cast<uint8_t *>(nullptr)));
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(std::make_tuple(c->getEntriesList()[k], c->getOffsetsList()[k]), std::make_tuple(int32_t(entries[k]), offsets[k]));
        EXPECT_TRUE(std::equal(tables[k], tables[k] + entries[k], c->getDataList()[k]));
    }
    std::vector<float> w = {0.25f, 0.75f, 0.5f, 0.5f, 1.0f, 0.0f};
    ZorHandle<ZorInterpolationTable> t(ZorInterpolationTable::create(2, 3, w.data()));
    const std::vector<float> w0 = w;
    std::fill(data.begin(), data.end(), 1);
    w.assign(6, 9);
    const auto data0 = ramp(300, 7);
    EXPECT_TRUE(std::equal(data0.begin(), data0.end(), l->getData()));
    EXPECT_EQ(std::vector<float>(t->getData(), t->getData() + 6), w0);
    ZorHandle<ZorLookup> z(ZorLookup::create(1, -32768, 65536, nullptr));
    EXPECT_EQ(std::count(z->getData(), z->getData() + 65536, 0), 65536);
}

// Storage records of memory images, and children found through their
// offsets (a grandchild's add up), which keep the storage alive.
TEST_F(HostTest, ImagesAndTheirChildren) {
    const struct {
        int datatype;
        unsigned bands, size;
    } cases[] = {{ZOR_BYTE, 1, 1}, {ZOR_BYTE, 3, 1}, {ZOR_SHORT, 4, 2}, {ZOR_SHORT, 1, 2}};
    for (const auto &c : cases) {
        ZorHandle<ZorImage> img(ZorImage::create(13, 5, c.bands, c.datatype));
        unsigned w, h, n, cx, cy, cb;
        int dt;
        img->getInfo(&w, &h, &n, &dt);
        EXPECT_EQ(std::tie(w, h, n, dt), std::make_tuple(13u, 5u, c.bands, c.datatype));
        const ZorStorage *s = img->getStorage("memory");
        ASSERT_TRUE(s);
        EXPECT_EQ(s->samples.pixelStride, c.bands);
        EXPECT_GE(s->samples.scanlineStride, static_cast<int>(13 * c.bands));
        EXPECT_EQ(s->samples.scanlineStride * c.size % 8, 0u);
        EXPECT_EQ(img->getStorage("disk"), nullptr);
        if (c.bands < 2) continue;
        ZorHandle<ZorImage> child(img->createChild(5, 2, 1, 4, 3, c.bands - 1));
        EXPECT_EQ(child->sampleAddress(2, 1, 1), static_cast<char *>(s->samples.address) +
                                                     ((2 + 1) * s->samples.scanlineStride + (5 + 2) * s->samples.pixelStride + 1 + 1) * c.size);
        ZorHandle<ZorImage> grandchild(child->createChild(1, 1, 0, 2, 2, 1));
        grandchild->getChildOffsets(&cx, &cy, &cb);
        EXPECT_EQ(std::tie(cx, cy, cb), std::make_tuple(6u, 3u, 1u));
    }
    ZorImage *img = ZorImage::create(10, 10, 3, ZOR_BYTE);
    ZorHandle<ZorImage> child(img->createChild(9, 9, 2, 1, 1, 1));
    img->destroy();
    *static_cast<unsigned char *>(child->sampleAddress(0, 0, 0)) = 7;  // still valid
    unsigned char buf[64];
    ZorHandle<ZorImage> over(ZorImage::createOver(4, 4, 2, ZOR_BYTE, buf, 16, 3));
    EXPECT_EQ(over->sampleAddress(1, 2, 1), buf + 2 * 16 + 3 + 1);
}

// Origins round halves to even and move the image-space region; a region of
// interest is cut to the image.
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
    EXPECT_EQ(std::tie(ox, oy, fx, fy), std::make_tuple(2, -3, 2.5f, -3.0f));
    ZorHandle<ZorRoi> moved(whole->translate(-2, 3));
    EXPECT_TRUE(img->getImageSpaceRoi()->equals(moved.get()));
    ZorHandle<ZorRoi> part(ZorRoi::create(8, 6, 5, 5)), cut(ZorRoi::create(8, 6, 2, 2));
    ASSERT_EQ(img->setRoi(part.get()), ZOR_SUCCESS);
    EXPECT_TRUE(img->getRoi()->equals(cut.get()));
    ZorHandle<ZorRoi> cut_is(cut->translate(-2, 3));
    EXPECT_TRUE(img->getImageSpaceRoi()->equals(cut_is.get()));
    img->setRoi(nullptr);
    EXPECT_EQ(img->getRoi(), nullptr);
}

// Reports keep their state, object and id (a null one empty); ids have their texts.
TEST_F(HostTest, NotifyErrorRecordsEveryReport) {
    ZorHandle<ZorRoi> roi(ZorRoi::create());
    ZorSystemState::notifyError(zor_global_state, 0, "di-7", 0, 113, "Other", roi.get());
    ZorSystemState::notifyError(nullptr, 0, nullptr, 0, 0, nullptr, nullptr);
    const auto &e = ZorSystemState::errors();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(std::tie(e[0].state, e[0].object, e[1].id), std::make_tuple(zor_global_state, roi.get(), ""));
    EXPECT_STREQ(ZorSystemState::errorText("di-8"), "cannot make the rectangle list of the region");
    EXPECT_STREQ(ZorSystemState::errorText("nope"), "unknown error");
    EXPECT_EQ(roi->getSystemState(), zor_global_state);
}

// A device whose functions record how they were called.
class RecordingDevice : public ZorDeviceComputeType {
public:
    explicit RecordingDevice(int answer = ZOR_SUCCESS) : ZorDeviceComputeType("Recording"), answer_(answer) {}
    int Short(ZorOp *op, int count) { return note("Short", op, count); }
    int Long(ZorOp *op, int count) { return note("Long", op, count); }
    int note(const char *what, ZorOp *op, int count) {
        calls.push_back(std::string(what) + ":" + std::to_string(count));
        last_op = op;
        return answer_;
    }
    std::vector<std::string> calls;
    ZorOp *last_op = nullptr;

private:
    int answer_;
};

ZorComputeFunction fn(int (RecordingDevice::*m)(ZorOp *, int)) { return static_cast<ZorComputeFunction>(m); }

ZorOpTreeNode *path(ZorOpTreeNode *base, std::initializer_list<const char *> names) {
    for (const char *name : names) base = base->branch(name);
    return base;
}

// The longest path of the chain below the display with a function wins (of
// several: Entry.RegistersThePathTableInOrder); a device that declines hands the
// call to the next one on the path; one whose functions are removed is not called.
TEST_F(HostTest, DispatchTakesTheLongestPathAndTheNextDevice) {
    ZorOpTreeNode base;
    ZorHandle<ZorImage> img(ZorImage::create(4, 4, 1, ZOR_BYTE));
    ZorHandle<ZorOp> rescale(ZorOp::create("rescale8", img.get(), img.get()));
    ZorHandle<ZorOp> thr1(ZorOp::create("threshold8", img.get(), img.get(), nullptr, rescale.get()));
    RecordingDevice dev, no(ZOR_FAILURE), yes;
    path(&base, {ZOR_DISPLAY_IO_WREN, "threshold8"})->addFunction(&dev, fn(&RecordingDevice::Short));
    ZorOpTreeNode *n = path(&base, {ZOR_DISPLAY_IO_WREN, "rescale8"});
    n->addFunction(&no, fn(&RecordingDevice::Short));
    const struct {
        ZorOp *top;
        RecordingDevice *by;
        std::string call;
        int count;
        bool ok;
    } cases[] = {
        {thr1.get(), &dev, "Short:2", 2, true},    // threshold8/rescale8 has no function: falls to threshold8
        {rescale.get(), &no, "Short:2", 2, false}, // declined, nothing else there
    };
    for (const auto &c : cases) {
        c.by->calls.clear();
        ZorHandle<ZorOp> show(ZorOp::create(ZOR_DISPLAY_IO_WREN, img.get(), nullptr, nullptr, c.top));
        const ZorDispatchResult r = ZorDispatch(show.get(), &base);
        EXPECT_EQ(std::make_tuple(r.count, r.status), std::make_tuple(c.count, c.ok ? ZOR_SUCCESS : ZOR_FAILURE));
        EXPECT_EQ(c.by->calls, std::vector<std::string>{c.call});
        EXPECT_EQ(c.by->last_op, show.get());  // the display operation is handed over
        EXPECT_EQ(r.device, c.ok ? c.by : nullptr);
    }
    n->addFunction(&yes, fn(&RecordingDevice::Long));
    ZorHandle<ZorOp> show(ZorOp::create(ZOR_DISPLAY_IO_WREN, img.get(), nullptr, nullptr, rescale.get()));
    ZorDispatchResult r = ZorDispatch(show.get(), &base);
    EXPECT_EQ(std::make_tuple(r.status, r.device, no.calls.size(), yes.calls.size()),
              std::make_tuple(ZOR_SUCCESS, static_cast<ZorDeviceComputeType *>(&yes), 2u, 1u));
    base.removeFunctions(&yes);
    r = ZorDispatch(show.get(), &base);
    EXPECT_EQ(std::make_tuple(r.status, no.calls.size(), yes.calls.size()), std::make_tuple(ZOR_FAILURE, 3u, 1u));
    ASSERT_EQ(n->functions().size(), 1u);
    EXPECT_EQ(n->functions()[0].device, &no);
}

}  // namespace
