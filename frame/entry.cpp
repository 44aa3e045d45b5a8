#include "wren_device.h"

#include "kept.h"
#include "os_sysinfo.h"

#include <cstring>
#include <string_view>

namespace {
bool allocation_fails = false;
}

ZorDeviceComputeTypeWren::ZorDeviceComputeTypeWren() : ZorDeviceComputeType("ZorDeviceComputeWren") {}
// The families' process-wide tables go with the device.
ZorDeviceComputeTypeWren::~ZorDeviceComputeTypeWren() { wren::release_kept(); }

void *ZorDeviceComputeTypeWren::operator new(std::size_t size, const std::nothrow_t &) noexcept {
    return allocation_fails ? nullptr : ::operator new(size, std::nothrow);
}
void ZorDeviceComputeTypeWren::operator delete(void *p) noexcept { ::operator delete(p); }
void ZorDeviceComputeTypeWren::operator delete(void *p, const std::nothrow_t &) noexcept { ::operator delete(p); }
void ZorDeviceComputeTypeWren::setAllocationFailure(bool fail) { allocation_fails = fail; }

extern "C" ZorDeviceComputeType *ZorCreateComputeType() {
    // The machine class need not be NUL-terminated when it fills the buffer.
    char machine[8] = {};
    if (os_sysinfo(OS_SI_MACHINE, machine, sizeof machine) < 1) return nullptr;
    if (std::string_view(machine, strnlen(machine, sizeof machine)) != "vor4u") return nullptr;

    auto *device = new (std::nothrow) ZorDeviceComputeTypeWren;
    if (!device) {
        ZorSystemState::notifyError(nullptr, 1, "di-1", 1, 51, "ZorDeviceComputeTypeWren", nullptr);
        return nullptr;
    }
    if (device->describeMembers() == ZOR_FAILURE) {
        delete static_cast<ZorDeviceComputeType *>(device);
        return nullptr;
    }
    return device;
}

extern "C" const char *wren_version() { return WREN_VERSION; }
