// Members whose drivers are not built yet. Each is defined as a stub that
// declines ("not built"), so the host computes the operation itself; the path
// table marks their rows from this list at compile time. A driver lands by
// deleting its name here and defining the member in drivers/.
#pragma once

#include <string_view>

#define WREN_NOT_BUILT(X) \

constexpr bool wren_not_built(std::string_view member) {
#define WREN_NAME_IS(m) if (member == #m) return true;
    WREN_NOT_BUILT(WREN_NAME_IS)
#undef WREN_NAME_IS
    return false;
}
