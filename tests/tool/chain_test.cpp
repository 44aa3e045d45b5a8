// The tool's chain building, row by row of the device's path table: every row
// either builds a chain the device recognises as that row, with each
// parameter where the row says, or names the kind the tool cannot build.
#include "../../tools/chain.h"

#include <gtest/gtest.h>

#include <numbers>

namespace {

using tool::ParamItem;

// The plug-in, loaded once for the whole program.
const ZorPlugin &plugin() {
    static std::unique_ptr<ZorPlugin> p = ZorPlugin::load(WREN_PLUGIN_PATH);
    if (!p) std::abort();
    return *p;
}

std::span<const WrenPath> table() { return tool::path_table(plugin()); }

const WrenPath &row_named(const char *name) {
    const WrenPath *row = tool::find_path(table(), name);
    if (!row) std::abort();
    return *row;
}

tool::Pixels pixels(int w, int h, int bands, int seed) {
    tool::Pixels p(w, h, bands);
    for (std::size_t i = 0; i < p.v.size(); ++i) p.v[i] = static_cast<std::uint8_t>(i * 7 + seed);
    return p;
}

// The value given for use u of an item: distinct per use, so that the order
// in which uses reach the operations shows.
std::vector<double> value_for(const ParamItem &p, int u) {
    if (p.kind == "matrix") return {1, 2, 3, 4, 5, 6};
    if (p.kind == "itable") return {2, 2, 0.75, 0.25 + u, 0.5, 0.5};  // 2 taps at 2 phases
    if (p.kind == "kernel") return {3, 1, 0.25, 0.5 + u, 0.25};
    if (p.slot == ParamItem::Slot::float_) return {0.5 + u};
    return {static_cast<double>(3 + u)};
}

TEST(ToolChain, EveryRowBuildsAChainTheDeviceRecognisesOrNamesTheKind) {
    ASSERT_FALSE(table().empty());
    for (const WrenPath &row : table()) {
        const std::string name = tool::path_name(row);
        SCOPED_TRACE(name);
        std::vector<ParamItem> items;
        std::string error;
        ASSERT_TRUE(tool::param_items(row, &items, &error)) << error;

        const int nimages = tool::images_of(row);
        std::vector<tool::Pixels> src;
        for (int i = 0; i < nimages; ++i) src.push_back(pixels(8, 6, 1, i));
        std::vector<const tool::Pixels *> ptrs;
        for (const auto &s : src) ptrs.push_back(&s);
        tool::ParamValues values;
        std::map<std::string, int> uses;
        for (const ParamItem &p : items)
            if (p.slot != ParamItem::Slot::src) values[p.option].push_back(value_for(p, uses[p.option]++));

        ZorHandle<ZorImage> dst(ZorImage::create(8, 6, 1, ZOR_BYTE));
        auto chain = tool::Chain::make(row, dst.get(), ptrs, values, &error);
        const std::string kind = tool::unbuildable_kind(row);
        if (!kind.empty()) {
            EXPECT_FALSE(chain);
            EXPECT_EQ(error, "the tool cannot build " + kind + " parameters yet");
            continue;
        }
        ASSERT_TRUE(chain) << error;

        const auto path_of = reinterpret_cast<const WrenPath *(*)(ZorOp *, int)>(plugin().symbol("wren_path_of"));
        ASSERT_TRUE(path_of);
        EXPECT_EQ(path_of(chain->display(), row.count()), &row);
        EXPECT_EQ(chain->display()->getDst(), dst.get());

        std::vector<ZorOp *> ops;
        for (ZorOp *o = chain->display()->getOp1(); o; o = o->getOp1()) ops.push_back(o);
        ASSERT_EQ(static_cast<int>(ops.size()), row.count() - 1);
        for (std::size_t i = 0; i < ops.size(); ++i) EXPECT_STREQ(ops[i]->getName(), row.names[i]);

        EXPECT_EQ((ops.back()->getSrc1() != nullptr) + (ops.back()->getSrc2() != nullptr), nimages);

        std::map<std::string, int> seen;
        for (const ParamItem &p : items) {
            ZorOp *op = ops[static_cast<std::size_t>(p.op)];
            if (p.slot == ParamItem::Slot::src) {
                // An inner operation reads what the one below it made, the
                // last one the given images, in order (and no others, above).
                ZorImage *read = p.index == 1 ? op->getSrc1() : op->getSrc2();
                ASSERT_TRUE(read);
                if (p.op < static_cast<int>(ops.size()) - 1) {
                    EXPECT_EQ(read, ops[p.op + 1]->getDst());
                } else {
                    EXPECT_EQ(*static_cast<std::uint8_t *>(read->sampleAddress(5, 3, 0)), src[p.index - 1].at(5, 3, 0));
                }
                continue;
            }
            const std::vector<double> want = value_for(p, seen[p.option]++);
            SCOPED_TRACE(p.option + " of operation " + std::to_string(p.op));
            if (p.slot == ParamItem::Slot::float_) {
                // Angles are given in degrees, taken in radians.
                const double v = p.kind == "angle" ? want[0] * std::numbers::pi / 180 : want[0];
                EXPECT_EQ(op->getFloatParam(p.index), static_cast<float>(v));
            } else if (p.slot == ParamItem::Slot::long_) {
                EXPECT_EQ(op->getLongParam(p.index), static_cast<long>(want[0]));
            } else if (p.kind == "itable") {
                const auto *t = dynamic_cast<const ZorInterpolationTable *>(op->getObjParam(p.index));
                ASSERT_TRUE(t);
                EXPECT_EQ(t->getKernelSize(), 2);
                EXPECT_EQ(t->getSubsamples(), 2);
                for (int k = 0; k < 4; ++k) EXPECT_EQ(t->getData()[k], static_cast<float>(want[2 + k]));
            } else if (p.kind == "kernel") {
                // Width, height, then the values; keyed at the centre.
                const auto *k = dynamic_cast<const ZorKernel *>(op->getObjParam(p.index));
                ASSERT_TRUE(k);
                EXPECT_EQ(k->getWidth(), 3u);
                EXPECT_EQ(k->getHeight(), 1u);
                EXPECT_EQ(k->getKeyX(), 1);
                EXPECT_EQ(k->getKeyY(), 0);
                EXPECT_EQ(std::vector<float>(k->getValue(), k->getValue() + 3),
                          std::vector<float>(want.begin() + 2, want.end()));
            } else if (p.slot == ParamItem::Slot::obj) {
                // A lookup whose every entry is the value given (a one-value table).
                const auto *l = dynamic_cast<const ZorLookup *>(op->getObjParam(p.index));
                ASSERT_TRUE(l);
                const unsigned n = l->getNumEntries() ? l->getNumEntries() : static_cast<unsigned>(l->getEntriesList()[0]);
                const std::uint8_t *t = l->getNumEntries() ? l->getData() : l->getDataList()[0];
                ASSERT_TRUE(n == 256 || n == 65536) << n;
                for (unsigned j = 0; j < n; ++j) ASSERT_EQ(t[j], static_cast<std::uint8_t>(want[0])) << j;
            } else if (p.kind == "ints") {
                const auto *a = static_cast<const std::int32_t *>(op->getPtrParam(p.index));
                ASSERT_TRUE(a);
                for (int k = 0; k < 4; ++k) EXPECT_EQ(a[k], static_cast<std::int32_t>(want[0]));
            } else {
                const auto *a = static_cast<const float *>(op->getPtrParam(p.index));
                ASSERT_TRUE(a);
                const std::size_t n = std::max<std::size_t>(4, want.size());
                for (std::size_t k = 0; k < n; ++k)
                    EXPECT_EQ(a[k], static_cast<float>(want[std::min(k, want.size() - 1)])) << k;
                if (p.kind == "values") {
                    // Set values make a result with one band per value.
                    ASSERT_TRUE(op->getDst());
                    EXPECT_EQ(op->getDst()->getBands(), 1u);
                }
            }
        }
    }
}

// What wren paths prints for a row comes from its description alone.
TEST(ToolChain, TakesDescribesTheRowInWords) {
    struct Case {
        const char *path, *takes;
    } cases[] = {
        {"add8", "2 images"},
        {"copy8", "1 image"},
        {"setvalue8", "no image, --value"},
        {"addconst8", "1 image, --const"},
        {"andconst8", "1 image, --const (integers)"},
        {"transpose8", "1 image, flip (1 integer)"},
        {"threshold8/threshold8/rescale8", "1 image, low (2x), high (2x), map (2x), scale, offset"},
        {"affine8nearest", "1 image, --matrix (6 numbers)"},
        {"convolve8/convolve8", "1 image, --kernel (2x), --edge (1 integer, 2x)"},
        {"rotate8nearest", "1 image, --angle (degrees)"},
    };
    for (const Case &c : cases) EXPECT_EQ(tool::takes(row_named(c.path)), c.takes) << c.path;
}

TEST(ToolChain, UnreadableItemsAreRefused) {
    const char *bad[] = {"src3", "src1:x:y", "ptr:floats:const", "ptr1:floats", "ptr1::const", "knob1:floats:x",
                         "ptr1:floats:const:more", "ptr123:floats:const"};
    for (const char *item : bad) {
        WrenPath row{{"add8"}, {item}, "", "Add8Wren", nullptr, WREN_PATH_DRAWS, nullptr};
        std::vector<ParamItem> items;
        std::string error;
        EXPECT_FALSE(tool::param_items(row, &items, &error)) << item;
        EXPECT_NE(error.find(item), std::string::npos) << error;
    }
}

}  // namespace
