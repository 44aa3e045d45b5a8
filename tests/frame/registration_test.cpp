// Entry point and registration of the Wren device.
#include "wren_device.h"
#include "kept.h"
#include "wren_outcome.h"

#include "os_sysinfo.h"
#include "zor_dispatch.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

// What a row's member does: D draws, N not built yet, W worker (declines).
enum Does { D, N, W };

struct Row {
    std::vector<std::string> names;
    const char *member;
    Does does;
};

// The registration table as the host must see it, and which rows draw.
const std::vector<Row> kRows = {
    {{"add8"}, "Add8Wren", D}, {{"addconst8"}, "AddConst8Wren", D}, {{"affine8nearest"}, "Affine8Wren", D},
    {{"affine8bilinear"}, "Affine8Wren", D}, {{"affine8bicubic"}, "Affine8Wren", D}, {{"alu8"}, "Alu8Wren", W},
    {{"aluconst8"}, "AluConst8Wren", W}, {{"and8"}, "And8Wren", D}, {{"andconst8"}, "AndConst8Wren", D},
    {{"convolve8"}, "ConvolveWren", D}, {{"convolve8", "convolve8"}, "ConvolveSPWren", D},
    {{"copy8"}, "Copy8Wren", D}, {{"lookup8_8"}, "Lookup8_8Wren", D}, {{"lookup16_8"}, "Lookup16_8Wren", D},
    {{"max8"}, "Max8Wren", D}, {{"min8"}, "Min8Wren", D}, {{"multiply8"}, "Multiply8Wren", D},
    {{"multiplyconst8"}, "MultiplyConst8Wren", D}, {{"not8"}, "Not8Wren", D}, {{"or8"}, "Or8Wren", D},
    {{"orconst8"}, "OrConst8Wren", D}, {{"lookup8_8", "scale8bilinear"}, "qdx_Scale8Lookup8_8Wren", D},
    {{"lookup16_8", "scale16bilinear"}, "qdx_Scale16Lookup16_8Wren", D}, {{"rescale8"}, "Rescale8Wren", D},
    {{"threshold8", "rescale8"}, "Rescale8Wren", D},
    {{"threshold8", "threshold8", "rescale8"}, "Rescale8Wren", D},
    {{"convert16_8", "threshold16", "threshold16", "rescale16"}, "Rescale16Wren", D},
    {{"rotate8nearest"}, "Rotate8Wren", D}, {{"rotate8bilinear"}, "Rotate8Wren", D},
    {{"rotate8bicubic"}, "Rotate8Wren", D}, {{"scale8nearest"}, "Scale8Wren", D},
    {{"scale8bilinear"}, "Scale8Wren", D}, {{"scale8bicubic"}, "Scale8Wren", D},
    {{"scale8general"}, "Scale8Wren", D}, {{"setvalue8"}, "SetValue8Wren", D},
    {{"subtract8"}, "Subtract8Wren", D}, {{"subtractconst8"}, "SubtractConst8Wren", D},
    {{"subtractfromconst8"}, "SubtractFromConst8Wren", D}, {{"threshold8"}, "Threshold8Wren", D},
    {{"transpose8"}, "Transpose8Wren", D}, {{"xor8"}, "Xor8Wren", D}, {{"xorconst8"}, "XorConst8Wren", D},
};

using Device = std::unique_ptr<ZorDeviceComputeType>;

class Entry : public ::testing::Test {
protected:
    void SetUp() override { ZorSystemState::clearErrors(); }
    void TearDown() override {
        os_reset_machine_class();
        ZorOpTreeNode::refuseAddFunctionAt(0);
        ZorDeviceComputeTypeWren::setAllocationFailure(false);
    }
};

// The host sees the table in order, each member with the number of paths it
// serves; each of the three threshold paths holds one function of its own.
// The path table is the registration table, row for row, and says which rows
// draw: a row that draws is never declined as not built, and one that is not
// built, or a worker, declines every call with that reason.
TEST_F(Entry, RegistersThePathTableInOrder) {
    Device dev(ZorCreateComputeType());
    ASSERT_TRUE(dev);
    EXPECT_STREQ(dev->getName(), "ZorDeviceComputeWren");
    EXPECT_TRUE(ZorSystemState::errors().empty());
    const auto paths = ZorListPaths(dev.get());
    int n = 0;
    const WrenPath *table = wren_path_table(&n);
    ASSERT_EQ(paths.size(), kRows.size());
    ASSERT_EQ(n, static_cast<int>(kRows.size()));
    std::map<std::string, int> per_member;
    for (const Row &row : kRows) ++per_member[row.member];
    for (std::size_t i = 0; i < kRows.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i + 1));
        const Row &row = kRows[i];
        const WrenPath &p = table[i];
        std::vector<std::string> registered = {ZOR_DISPLAY_IO_WREN};
        registered.insert(registered.end(), row.names.begin(), row.names.end());
        EXPECT_EQ(paths[i].names, registered);
        EXPECT_EQ(paths[i].memberName, row.member);
        EXPECT_EQ(paths[i].memberPaths, per_member[row.member]);
        std::vector<std::string> names;
        for (const char *name : p.names)
            if (name) names.emplace_back(name);
        EXPECT_EQ(names, row.names);
        EXPECT_STREQ(p.member, row.member);
        EXPECT_EQ(p.state, row.does == D ? WREN_PATH_DRAWS : row.does == N ? WREN_PATH_NOT_BUILT : WREN_PATH_WORKER);
        EXPECT_TRUE(p.summary && *p.summary);
        for (std::size_t k = 0; k < names.size(); ++k) EXPECT_TRUE(p.params[k]) << k;

        // The chain of the row's operations, with no images: the host matches
        // the row; a drawing driver declines for the missing window, the others
        // for what they are.
        std::vector<ZorHandle<ZorOp>> chain;
        ZorOp *below = nullptr;
        for (auto it = row.names.rbegin(); it != row.names.rend(); ++it) {
            chain.emplace_back(ZorOp::create(it->c_str(), nullptr, nullptr, nullptr, below));
            ASSERT_TRUE(chain.back()) << *it;
            below = chain.back().get();
        }
        ZorHandle<ZorOp> show(ZorOp::create(ZOR_DISPLAY_IO_WREN, nullptr, nullptr, nullptr, below));
        EXPECT_EQ(wren_path_of(show.get(), p.count()), &p);
        const ZorDispatchResult r = ZorDispatch(show.get());
        EXPECT_EQ(r.count, p.count());
        EXPECT_EQ(r.status, ZOR_FAILURE);
        wren_outcome o{};
        ASSERT_EQ(wren_last_outcome(&o), 0);
        EXPECT_EQ(o.size, static_cast<int>(sizeof o));
        EXPECT_STREQ(o.driver, row.member);
        const int expected = row.does == N ? WREN_NOT_BUILT : row.does == W ? WREN_NO_KERNEL : -1;
        if (expected >= 0) {
            EXPECT_EQ(o.reason, expected);
        } else {
            EXPECT_NE(o.reason, WREN_NOT_BUILT);
        }
    }
    const ZorOpTreeNode *d = zor_global_state->getOpTreeBase()->child(ZOR_DISPLAY_IO_WREN);
    ASSERT_TRUE(d);
    const ZorOpTreeNode *t = d->child("threshold8");
    const ZorOpTreeNode *tr = t->child("rescale8"), *ttr = t->child("threshold8")->child("rescale8");
    ASSERT_TRUE(tr && ttr);
    auto functions_of = [&](const ZorOpTreeNode *n) {
        int k = 0;
        for (const auto &f : n->functions()) k += f.device == dev.get();
        return k;
    };
    EXPECT_EQ(std::make_tuple(functions_of(t), functions_of(tr), functions_of(ttr), functions_of(t->child("threshold8"))),
              std::make_tuple(1, 1, 1, 0));
}

// The device starts on machine class "vor4u" exactly, registering its 42 paths
// (withdrawn when it is deleted); on another class, when the host refuses a
// row or when it cannot be allocated ("di-1" reported), nothing stays.
TEST_F(Entry, StartsOnlyWhereItCanAndWithdrawsEverything) {
    struct Case {
        const char *cls;
        bool starts;
        long refuse_at = 0;      // the host refuses this registration
        bool no_memory = false;  // for the device object
    } cases[] = {
        {"vor4u", true},   {nullptr, false},   {"vor4x", false},    {"vor4", false},
        {"vor4uX", false}, {"vor4u12", false}, {"vor4u123", false}, {"vor4u1234567", false},
        {"", false},       {"vor4u", false, 20}, {"vor4u", false, 0, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << (c.cls ? c.cls : "(query fails)") << ", refused at " << c.refuse_at
                                          << (c.no_memory ? ", no memory" : ""));
        ZorSystemState::clearErrors();
        os_set_machine_class(c.cls);
        ZorOpTreeNode::refuseAddFunctionAt(c.refuse_at);
        ZorDeviceComputeTypeWren::setAllocationFailure(c.no_memory);
        const auto before = ZorListPaths().size();
        Device dev(ZorCreateComputeType());
        EXPECT_EQ(dev != nullptr, c.starts);
        EXPECT_EQ(ZorListPaths().size(), before + (dev ? 42 : 0));
        dev.reset();
        EXPECT_EQ(ZorListPaths().size(), before);
        if (!c.no_memory) {
            EXPECT_TRUE(ZorSystemState::errors().empty());
            continue;
        }
        ASSERT_EQ(ZorSystemState::errors().size(), 1u);
        const ZorErrorRecord &e = ZorSystemState::errors()[0];
        EXPECT_EQ(std::tie(e.state, e.category, e.id, e.flag, e.line, e.file, e.object),
                  std::make_tuple(nullptr, 1, "di-1", 1, 51, "ZorDeviceComputeTypeWren", nullptr));
    }
}

TEST_F(Entry, RefusalOfRow20WithdrawsEarlierRowsAndOffersNoLaterOne) {
    ZorDeviceComputeTypeWren dev;
    ZorOpTreeNode base;
    ZorOpTreeNode::refuseAddFunctionAt(20);
    EXPECT_EQ(describeSomeMembers_0(&dev, &base), ZOR_FAILURE);
    EXPECT_TRUE(ZorListPaths(nullptr, &base).empty());
    const ZorOpTreeNode *d = base.child(ZOR_DISPLAY_IO_WREN);
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->child("or8"));           // row 20 was walked to
    EXPECT_FALSE(d->child("orconst8"));     // row 21 never
    EXPECT_FALSE(d->child("xorconst8"));    // nor row 42
    EXPECT_FALSE(d->child("lookup8_8")->child("scale8bilinear"));  // row 22 under an existing name
}

TEST_F(Entry, PluginLoadsThroughTheHost) {
    std::string error;
    auto plugin = ZorPlugin::load(WREN_PLUGIN_PATH, &error);
    ASSERT_TRUE(plugin) << error;
    EXPECT_EQ(ZorListPaths(plugin->device()).size(), 42u);
    EXPECT_TRUE(plugin->symbol("wren_path_table"));
    os_set_machine_class("vor4uu");
    EXPECT_EQ(ZorPlugin::load(WREN_PLUGIN_PATH, &error), nullptr);
    EXPECT_NE(error.find("did not start"), std::string::npos);
}

}  // namespace

namespace {

struct Counted {
    static inline int released = 0;
    int tables = 0;
    void release() noexcept {
        ++released;
        tables = 0;
    }
};

// A family's process-wide state is released when the device goes, and on
// request, and is usable again afterwards.
TEST(Kept, ReleasedWithTheDeviceAndOnRequest) {
    wren::kept<Counted>().tables = 5;
    const int before = Counted::released;
    wren_release_tables();
    EXPECT_EQ(Counted::released, before + 1);
    EXPECT_EQ(wren::kept<Counted>().tables, 0);
    wren::kept<Counted>().tables = 3;
    { Device dev(ZorCreateComputeType()); }
    EXPECT_EQ(Counted::released, before + 2);
    EXPECT_EQ(wren::kept<Counted>().tables, 0);
}

}  // namespace
