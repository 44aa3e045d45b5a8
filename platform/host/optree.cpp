#include "zor.h"

#include <algorithm>
#include <atomic>
#include <string_view>

namespace {

std::atomic<std::uint64_t> registration_order{0};
std::atomic<long> refuse_countdown{0};

// True when this call is the one refuseAddFunctionAt picked.
bool refused_now() {
    long n = refuse_countdown.load();
    while (n > 0 && !refuse_countdown.compare_exchange_weak(n, n - 1)) {
    }
    return n == 1;
}

}  // namespace

ZorOpTreeNode::ZorOpTreeNode(std::string name) : name_(std::move(name)) {}
ZorOpTreeNode::~ZorOpTreeNode() = default;

const ZorOpTreeNode *ZorOpTreeNode::child(const char *name) const {
    if (!name) return nullptr;
    for (const auto &c : children_)
        if (c->name_ == name) return c.get();
    return nullptr;
}

ZorOpTreeNode *ZorOpTreeNode::branch(const char *name) noexcept {
    if (!name || !*name) return nullptr;
    if (const ZorOpTreeNode *c = child(name)) return const_cast<ZorOpTreeNode *>(c);
    try {
        auto node = std::make_unique<ZorOpTreeNode>(name);
        children_.push_back(std::move(node));
    } catch (...) {
        return nullptr;  // out of memory: nothing was added
    }
    return children_.back().get();
}

int ZorOpTreeNode::addFunction(ZorDeviceComputeType *device, ZorComputeFunction member) noexcept {
    if (refused_now() || !device || !member) return ZOR_FAILURE;
    for (const Function &f : functions_)
        if (f.device == device && f.member == member) return ZOR_FAILURE;
    try {
        functions_.push_back({device, member, ++registration_order});
    } catch (...) {
        return ZOR_FAILURE;  // out of memory: nothing was added
    }
    return ZOR_SUCCESS;
}

void ZorOpTreeNode::removeFunctions(ZorDeviceComputeType *device) noexcept {
    std::erase_if(functions_, [device](const Function &f) { return f.device == device; });
    for (auto &c : children_) c->removeFunctions(device);
}

void ZorOpTreeNode::refuseAddFunctionAt(long n) { refuse_countdown = n > 0 ? n : 0; }
