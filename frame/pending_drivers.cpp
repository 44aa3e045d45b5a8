// Drivers not built yet: each declines, so the host computes the operation.
// A driver replaces its line here by its definition in drivers/. The bodies are
// weak, so a driver defined in drivers/ takes over even before its line goes.
#include "wren_device.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string_view>

using W = ZorDeviceComputeTypeWren;

namespace {

// The address the registered member resolves to, pending or not.
std::map<std::string_view, std::uintptr_t> &pending() {
    static std::map<std::string_view, std::uintptr_t> members;
    return members;
}

bool mark_pending(std::string_view name, int (W::*member)(ZorOp *, int)) {
    std::uintptr_t address;
    std::memcpy(&address, &member, sizeof address);
    return pending().emplace(name, address).second;
}

// Declining by name keeps the bodies distinct, so no two members share an
// address and each keeps its own symbol.
[[gnu::noipa]] int decline(const char *member) { return member ? ZOR_FAILURE : ZOR_FAILURE; }

}  // namespace

extern "C" int wren_driver_pending(const char *member) {
    if (!member) return 0;
    const auto it = pending().find(member);
    if (it == pending().end()) return 0;
    // The member still resolves to its weak declining body unless a driver
    // defines it.
    Dl_info info{};
    void *entry = nullptr;
    if (!dladdr1(reinterpret_cast<void *>(it->second), &info, &entry, RTLD_DL_SYMENT) || !entry) return 0;
    return ELF64_ST_BIND(static_cast<const ElfW(Sym) *>(entry)->st_info) == STB_WEAK;
}

#define WREN_PENDING(member)                                                                      \
    [[gnu::weak]] int W::member(ZorOp *, int) { return decline(#member); } \
    static const bool member##_pending = mark_pending(#member, &W::member);

WREN_PENDING(Affine8Wren)
WREN_PENDING(ConvolveWren)
WREN_PENDING(ConvolveSPWren)
WREN_PENDING(Lookup8_8Wren)
WREN_PENDING(Lookup16_8Wren)
WREN_PENDING(qdx_Scale8Lookup8_8Wren)
WREN_PENDING(qdx_Scale16Lookup16_8Wren)
WREN_PENDING(Rescale8Wren)
WREN_PENDING(Rescale16Wren)
WREN_PENDING(Rotate8Wren)
WREN_PENDING(Scale8Wren)
WREN_PENDING(Threshold8Wren)
WREN_PENDING(Transpose8Wren)

// Workers and the plain zoom, reached from drivers only.
[[gnu::weak]] int W::Alu8Wren(ZorOp *, int, WrenDyadicKernel) {
    return decline("Alu8Wren worker");
}
[[gnu::weak]] int W::AluConst8Wren(ZorOp *, int, WrenConstKernel) {
    return decline("AluConst8Wren worker");
}
[[gnu::weak]] int W::qdx_Scale8Wren(ZorOp *) { return decline("qdx_Scale8Wren"); }
