#include "zor.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

namespace {

std::atomic<std::uint64_t> next_version{0};
std::atomic<long> live_objects{0};
std::atomic<long> dropped_reports{0};

std::vector<ZorErrorRecord> &error_log() {
    static std::vector<ZorErrorRecord> log;
    return log;
}

// Reports come from any thread.
std::mutex &error_lock() {
    static std::mutex m;
    return m;
}

}  // namespace

ZorObject::ZorObject() {
    markModified();
    ++live_objects;
}

ZorObject::~ZorObject() { --live_objects; }

void ZorObject::destroy() {
    if (owned_) {
        ZorSystemState::notifyError(getSystemState(), 1, "ho-1", 0, __LINE__, "ZorObject", this);
        return;
    }
    delete this;
}

void ZorObject::markModified() { version_.value_ = ++next_version; }

ZorSystemState *ZorObject::getSystemState() const { return zor_global_state; }

long ZorObject::liveCount() { return live_objects; }

ZorSystemState::ZorSystemState() : base_(std::make_unique<ZorOpTreeNode>()) {}
ZorSystemState::~ZorSystemState() = default;

ZorOpTreeNode *ZorSystemState::getOpTreeBase() { return base_.get(); }

void ZorSystemState::notifyError(ZorSystemState *state, int category, const char *id, int flag, int line,
                                 const char *file, const ZorObject *object) noexcept {
    // A report that cannot be recorded (no memory for it) is dropped and counted.
    try {
        std::lock_guard<std::mutex> g(error_lock());
        error_log().push_back({state, category, id ? id : "", flag, line, file ? file : "", object});
    } catch (...) {
        ++dropped_reports;
    }
}

long ZorSystemState::droppedErrors() noexcept { return dropped_reports; }

const std::vector<ZorErrorRecord> &ZorSystemState::errors() { return error_log(); }

void ZorSystemState::clearErrors() noexcept {
    std::vector<ZorErrorRecord> none;
    std::lock_guard<std::mutex> g(error_lock());
    none.swap(error_log());
}

const char *ZorSystemState::errorText(const char *id) {
    static constexpr struct {
        std::string_view id;
        const char *text;
    } catalog[] = {
        {"di-1", "cannot allocate the compute device"},
        {"di-6", "the region to compute is empty"},
        {"di-7", "cannot clip the region to the window"},
        {"di-8", "cannot make the rectangle list of the region"},
        {"di-95", "bad operation chain"},
        {"ho-1", "an object owned by another object cannot be destroyed"},
    };
    if (id)
        for (const auto &e : catalog)
            if (e.id == id) return e.text;
    return "unknown error";
}

namespace {
ZorSystemState global_state;
}
ZorSystemState *const zor_global_state = &global_state;

ZorDeviceType::ZorDeviceType(const char *name) : name_(name ? name : "") {}
ZorDeviceType::~ZorDeviceType() = default;
void ZorDeviceType::printStatus() { std::printf("%s\n", name_.c_str()); }
void ZorDeviceType::optimizeMemoryUsage() {}

ZorDeviceComputeType::~ZorDeviceComputeType() { zor_global_state->getOpTreeBase()->removeFunctions(this); }
