// Operation tree and dispatch: registration, withdrawal, longest-path matching.
#include "zor_dispatch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

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
    ZorOpTreeNode *n = base;
    for (const char *name : names) n = n->branch(name);
    return n;
}

TEST(OpTree, BranchMakesEachChildOnce) {
    ZorOpTreeNode base;
    ZorOpTreeNode *a = base.branch("add8");
    EXPECT_EQ(base.branch("add8"), a);
    EXPECT_NE(a->branch("add8"), a);
    EXPECT_EQ(base.children().size(), 1u);
    EXPECT_EQ(base.branch(""), nullptr);
    EXPECT_EQ(base.branch(nullptr), nullptr);
}

TEST(OpTree, AddAndRemoveFunctions) {
    ZorOpTreeNode base;
    RecordingDevice one, two;
    ZorOpTreeNode *a = path(&base, {"d", "x"}), *b = path(&base, {"d", "x", "y"});
    EXPECT_EQ(a->addFunction(&one, fn(&RecordingDevice::Short)), ZOR_SUCCESS);
    EXPECT_EQ(a->addFunction(&one, fn(&RecordingDevice::Short)), ZOR_FAILURE);  // already there
    EXPECT_EQ(a->addFunction(nullptr, fn(&RecordingDevice::Short)), ZOR_FAILURE);
    EXPECT_EQ(a->addFunction(&one, nullptr), ZOR_FAILURE);
    EXPECT_EQ(a->addFunction(&two, fn(&RecordingDevice::Short)), ZOR_SUCCESS);
    EXPECT_EQ(b->addFunction(&one, fn(&RecordingDevice::Long)), ZOR_SUCCESS);
    base.removeFunctions(&one);
    ASSERT_EQ(a->functions().size(), 1u);
    EXPECT_EQ(a->functions()[0].device, &two);
    EXPECT_TRUE(b->functions().empty());
}

TEST(OpTree, RefusesTheNthCall) {
    ZorOpTreeNode base;
    RecordingDevice dev;
    ZorOpTreeNode::refuseAddFunctionAt(3);
    const char *names[] = {"a", "b", "c", "d"};
    std::vector<int> status;
    for (const char *n : names) status.push_back(base.branch(n)->addFunction(&dev, fn(&RecordingDevice::Short)));
    EXPECT_EQ(status, (std::vector<int>{ZOR_SUCCESS, ZOR_SUCCESS, ZOR_FAILURE, ZOR_SUCCESS}));
    ZorOpTreeNode::refuseAddFunctionAt(0);
}

TEST(OpTree, ListsPathsInRegistrationOrder) {
    ZorOpTreeNode base;
    RecordingDevice dev, other;
    path(&base, {"d", "x", "y"})->addFunction(&dev, fn(&RecordingDevice::Long));
    path(&base, {"d", "z"})->addFunction(&other, fn(&RecordingDevice::Short));
    path(&base, {"d", "x"})->addFunction(&dev, fn(&RecordingDevice::Long));
    path(&base, {"d"})->addFunction(&dev, fn(&RecordingDevice::Short));
    const auto all = ZorListPaths(nullptr, &base);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0].names, (std::vector<std::string>{"d", "x", "y"}));
    EXPECT_EQ(all[1].names, (std::vector<std::string>{"d", "z"}));
    EXPECT_EQ(all[0].memberPaths, 2);
    EXPECT_EQ(all[3].memberPaths, 1);
    const auto mine = ZorListPaths(&dev, &base);
    ASSERT_EQ(mine.size(), 3u);
    EXPECT_EQ(mine[1].names, (std::vector<std::string>{"d", "x"}));
    EXPECT_EQ(mine[1].member, fn(&RecordingDevice::Long));
}

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override {
        img_.reset(ZorImage::create(4, 4, 1, ZOR_BYTE));
        rescale_.reset(ZorOp::create("rescale8", img_.get(), img_.get()));
        thr1_.reset(ZorOp::create("threshold8", img_.get(), img_.get(), nullptr, rescale_.get()));
        thr2_.reset(ZorOp::create("threshold8", img_.get(), img_.get(), nullptr, thr1_.get()));
    }
    ZorOp *display(ZorOp *top) {
        show_.reset(ZorOp::create(ZOR_DISPLAY_IO_WREN, img_.get(), nullptr, nullptr, top));
        return show_.get();
    }
    ZorOpTreeNode base_;
    ZorHandle<ZorImage> img_;
    ZorHandle<ZorOp> rescale_, thr1_, thr2_, show_;
};

TEST_F(Dispatch, LongestRegisteredPathWins) {
    RecordingDevice dev;
    path(&base_, {ZOR_DISPLAY_IO_WREN, "threshold8"})->addFunction(&dev, fn(&RecordingDevice::Short));
    path(&base_, {ZOR_DISPLAY_IO_WREN, "threshold8", "threshold8", "rescale8"})
        ->addFunction(&dev, fn(&RecordingDevice::Long));
    struct Case {
        ZorOp *top;
        std::string call;
        int count;
    } cases[] = {
        {thr2_.get(), "Long:4", 4},   // whole chain registered
        {thr1_.get(), "Short:2", 2},  // threshold8/rescale8 has no function: falls to threshold8
        {rescale_.get(), "", 0},      // nothing registered
    };
    for (const Case &c : cases) {
        dev.calls.clear();
        ZorOp *op = display(c.top);
        const ZorDispatchResult r = ZorDispatch(op, &base_);
        EXPECT_EQ(r.count, c.count);
        EXPECT_EQ(r.status, c.count ? ZOR_SUCCESS : ZOR_FAILURE);
        EXPECT_EQ(dev.calls, c.call.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.call});
        if (c.count) {
            EXPECT_EQ(dev.last_op, op);  // the display operation is handed over
            EXPECT_EQ(r.device, &dev);
        }
    }
}

TEST_F(Dispatch, DeclinedUntilSomeDeviceComputes) {
    RecordingDevice no(ZOR_FAILURE), yes;
    ZorOpTreeNode *n = path(&base_, {ZOR_DISPLAY_IO_WREN, "rescale8"});
    n->addFunction(&no, fn(&RecordingDevice::Short));
    EXPECT_EQ(ZorDispatch(display(rescale_.get()), &base_).status, ZOR_FAILURE);
    n->addFunction(&yes, fn(&RecordingDevice::Long));
    const ZorDispatchResult r = ZorDispatch(display(rescale_.get()), &base_);
    EXPECT_EQ(r.status, ZOR_SUCCESS);
    EXPECT_EQ(r.device, &yes);
    EXPECT_EQ(no.calls.size(), 2u);
    EXPECT_EQ(ZorDispatch(nullptr, &base_).count, 0);
}

TEST(Devices, DeletingADeviceWithdrawsItsFunctions) {
    auto *dev = new RecordingDevice;
    zor_global_state->getOpTreeBase()->branch("dev-test")->addFunction(dev, fn(&RecordingDevice::Short));
    EXPECT_EQ(ZorListPaths(dev).size(), 1u);
    delete static_cast<ZorDeviceComputeType *>(dev);
    EXPECT_TRUE(ZorListPaths(dev).empty());
}

TEST(Plugins, LoadFailuresAreExplained) {
    std::string error;
    EXPECT_EQ(ZorPlugin::load("/nonexistent/plugin.so", &error), nullptr);
    EXPECT_NE(error.find("nonexistent"), std::string::npos);
    EXPECT_EQ(ZorPlugin::load(nullptr, &error), nullptr);
    EXPECT_FALSE(error.empty());
}

}  // namespace
