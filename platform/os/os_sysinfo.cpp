#include "os_sysinfo.h"

#include <cstring>
#include <string>

namespace {

constexpr const char *kDefaultClass = "vor4u";

struct MachineClass {
    bool available = true;
    std::string name = kDefaultClass;
};

MachineClass &machine() {
    static MachineClass m;
    return m;
}

}  // namespace

extern "C" long os_sysinfo(int command, char *buf, long count) {
    const MachineClass &m = machine();
    if (command != OS_SI_MACHINE || count < 0 || !m.available) return -1;
    const long need = static_cast<long>(m.name.size()) + 1;
    if (buf && count > 0) std::memcpy(buf, m.name.c_str(), static_cast<size_t>(need < count ? need : count));
    return need;
}

extern "C" void os_set_machine_class(const char *machine_class) {
    MachineClass &m = machine();
    m.available = machine_class != nullptr;
    m.name = machine_class ? machine_class : "";
}

extern "C" void os_reset_machine_class(void) { machine() = MachineClass{}; }
