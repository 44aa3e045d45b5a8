// Lookup objects: both forms as a host program makes them, argument checks,
// a new version on every modification (and none on a refused one), and an
// operation carrying the lookup as object parameter 1.
#include "zor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <vector>

namespace {

class LookupTest : public ::testing::Test {
protected:
    void SetUp() override { live_ = ZorObject::liveCount(); }
    void TearDown() override { EXPECT_EQ(ZorObject::liveCount(), live_) << "host objects leaked"; }
    long live_ = 0;
};

std::vector<uint8_t> ramp(size_t n, int step = 1) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * step);
    return v;
}

TEST_F(LookupTest, SingleFormKeepsItsEntries) {
    const auto data = ramp(100 * 3, 7);
    ZorHandle<ZorLookup> l(ZorLookup::create(3, 10, 100, data.data()));
    ASSERT_TRUE(l);
    EXPECT_EQ(l->getNBands(), 3u);
    EXPECT_EQ(l->getInputNBands(), 1u);
    EXPECT_EQ(l->getOffset(), 10);
    EXPECT_EQ(l->getNumEntries(), 100u);
    ASSERT_TRUE(l->getData());
    EXPECT_NE(l->getData(), data.data());  // copied
    EXPECT_TRUE(std::equal(data.begin(), data.end(), l->getData()));
    EXPECT_FALSE(l->getEntriesList());
    EXPECT_FALSE(l->getOffsetsList());
    EXPECT_FALSE(l->getDataList());

    ZorHandle<ZorLookup> z(ZorLookup::create(1, -32768, 65536, nullptr));
    ASSERT_TRUE(z);
    EXPECT_EQ(z->getOffset(), -32768);
    EXPECT_EQ(std::accumulate(z->getData(), z->getData() + 65536, 0), 0);
}

TEST_F(LookupTest, CombinedFormKeepsOneTablePerBand) {
    const auto t0 = ramp(256), t1 = ramp(100, 3), t2 = ramp(65536);
    const unsigned entries[] = {256, 100, 65536};
    const int offsets[] = {0, 10, -32768};
    const uint8_t *tables[] = {t0.data(), t1.data(), t2.data()};
    ZorHandle<ZorLookup> l(ZorLookup::createCombined(3, entries, offsets, tables));
    ASSERT_TRUE(l);
    EXPECT_EQ(l->getNBands(), 3u);
    EXPECT_EQ(l->getInputNBands(), 3u);
    EXPECT_EQ(l->getNumEntries(), 0u);
    EXPECT_FALSE(l->getData());
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(l->getEntriesList()[k], static_cast<int32_t>(entries[k]));
        EXPECT_EQ(l->getOffsetsList()[k], offsets[k]);
        EXPECT_NE(l->getDataList()[k], tables[k]);
        EXPECT_TRUE(std::equal(tables[k], tables[k] + entries[k], l->getDataList()[k]));
    }
}

TEST_F(LookupTest, BadArgumentsMakeNothing) {
    const unsigned ok_entries[] = {256, 256}, zero[] = {256, 0}, many[] = {65537, 1};
    const int ok_offsets[] = {0, 0}, far[] = {0, 32768};
    struct Bad {
        const char *what;
        std::function<ZorLookup *()> make;
    };
    const Bad bad[] = {
        {"0 bands", [] { return ZorLookup::create(0, 0, 256, nullptr); }},
        {"5 bands", [] { return ZorLookup::create(5, 0, 256, nullptr); }},
        {"0 entries", [] { return ZorLookup::create(1, 0, 0, nullptr); }},
        {"65537 entries", [] { return ZorLookup::create(1, 0, 65537, nullptr); }},
        {"offset -32769", [] { return ZorLookup::create(1, -32769, 10, nullptr); }},
        {"offset 32768", [] { return ZorLookup::create(1, 32768, 10, nullptr); }},
        {"combined, 0 bands", [&] { return ZorLookup::createCombined(0, ok_entries, ok_offsets, nullptr); }},
        {"combined, no counts", [&] { return ZorLookup::createCombined(2, nullptr, ok_offsets, nullptr); }},
        {"combined, no offsets", [&] { return ZorLookup::createCombined(2, ok_entries, nullptr, nullptr); }},
        {"combined, a table of 0", [&] { return ZorLookup::createCombined(2, zero, ok_offsets, nullptr); }},
        {"combined, a table too long", [&] { return ZorLookup::createCombined(2, many, ok_offsets, nullptr); }},
        {"combined, offset out of range", [&] { return ZorLookup::createCombined(2, ok_entries, far, nullptr); }},
    };
    for (const Bad &b : bad) {
        EXPECT_EQ(b.make(), nullptr) << b.what;
        EXPECT_EQ(ZorObject::liveCount(), live_) << b.what;
    }
}

// Each modification, made through the host's calls, gives a version never
// seen before; a refused one changes neither the version nor the data.
TEST_F(LookupTest, EveryModificationGivesANewVersion) {
    const auto data = ramp(256 * 2);
    const unsigned entries[] = {256, 100};
    const int offsets[] = {0, 10};
    ZorHandle<ZorLookup> single(ZorLookup::create(2, 0, 256, data.data()));
    ZorHandle<ZorLookup> combined(ZorLookup::createCombined(2, entries, offsets, nullptr));
    ASSERT_TRUE(single && combined);
    const uint8_t v9[] = {9, 9, 9};
    struct Change {
        const char *what;
        ZorLookup *l;
        std::function<int(ZorLookup *)> apply;
        int status;
    };
    const Change changes[] = {
        {"single offset", single.get(), [](ZorLookup *l) { return l->setOffset(-5); }, ZOR_SUCCESS},
        {"single values", single.get(), [&](ZorLookup *l) { return l->setValues(1, 253, 3, v9); }, ZOR_SUCCESS},
        {"single values past the end", single.get(), [&](ZorLookup *l) { return l->setValues(0, 254, 3, v9); },
         ZOR_FAILURE},
        {"single values of band 2", single.get(), [&](ZorLookup *l) { return l->setValues(2, 0, 1, v9); },
         ZOR_FAILURE},
        {"single table offset", single.get(), [](ZorLookup *l) { return l->setTableOffset(0, 1); }, ZOR_FAILURE},
        {"single table", single.get(), [&](ZorLookup *l) { return l->setTable(0, 0, 3, v9); }, ZOR_FAILURE},
        {"single offset out of range", single.get(), [](ZorLookup *l) { return l->setOffset(40000); }, ZOR_FAILURE},
        {"combined table offset", combined.get(), [](ZorLookup *l) { return l->setTableOffset(1, -7); },
         ZOR_SUCCESS},
        {"combined values", combined.get(), [&](ZorLookup *l) { return l->setValues(1, 97, 3, v9); }, ZOR_SUCCESS},
        {"combined values past table 1", combined.get(), [&](ZorLookup *l) { return l->setValues(1, 98, 3, v9); },
         ZOR_FAILURE},
        {"combined table", combined.get(), [&](ZorLookup *l) { return l->setTable(0, 3, 3, v9); }, ZOR_SUCCESS},
        {"combined table of 0", combined.get(), [&](ZorLookup *l) { return l->setTable(0, 3, 0, v9); },
         ZOR_FAILURE},
        {"combined offset", combined.get(), [](ZorLookup *l) { return l->setOffset(1); }, ZOR_FAILURE},
        {"in place, then marked", single.get(),
         [](ZorLookup *l) {
             l->getData()[0] ^= 1;
             l->markModified();
             return ZOR_SUCCESS;
         },
         ZOR_SUCCESS},
    };
    std::vector<uint64_t> seen = {single->getVersion().value(), combined->getVersion().value()};
    for (const Change &c : changes) {
        const ZorVersionNumber before = c.l->getVersion();
        EXPECT_EQ(c.apply(c.l), c.status) << c.what;
        const ZorVersionNumber after = c.l->getVersion();
        if (c.status == ZOR_SUCCESS) {
            EXPECT_TRUE(after != before) << c.what;
            EXPECT_EQ(std::find(seen.begin(), seen.end(), after.value()), seen.end()) << c.what;
            seen.push_back(after.value());
        } else {
            EXPECT_TRUE(after == before) << c.what;
        }
    }
    // What the successful changes did.
    EXPECT_EQ(single->getOffset(), -5);
    EXPECT_EQ(single->getData()[253 * 2 + 1], 9);
    EXPECT_EQ(single->getData()[254 * 2 + 0], data[254 * 2]);
    EXPECT_EQ(single->getData()[0], data[0] ^ 1);
    EXPECT_EQ(combined->getOffsetsList()[1], -7);
    EXPECT_EQ(combined->getDataList()[1][99], 9);
    EXPECT_EQ(combined->getEntriesList()[0], 3);
    EXPECT_EQ(combined->getOffsetsList()[0], 3);
    EXPECT_EQ(combined->getDataList()[0][2], 9);
}

TEST_F(LookupTest, OperationCarriesTheLookupAsObjectParameterOne) {
    ZorHandle<ZorImage> src(ZorImage::create(4, 4, 1, ZOR_BYTE));
    ZorHandle<ZorLookup> l(ZorLookup::create(1, 0, 256, nullptr));
    ZorHandle<ZorOp> op(ZorOp::create("lookup8_8", nullptr, src.get()));
    ASSERT_TRUE(src && l && op);
    op->setObjParam(1, l.get());
    EXPECT_EQ(op->getObjParam(1), l.get());
    EXPECT_EQ(dynamic_cast<ZorLookup *>(op->getObjParam(1)), l.get());
    EXPECT_EQ(op->getObjParam(2), nullptr);
    EXPECT_EQ(op->getPtrParam(1), nullptr);  // another kind of parameter
}

}  // namespace
