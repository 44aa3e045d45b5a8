#include "kept.h"

namespace {

// More than the families there are; a fixed list never allocates.
constexpr int kMaxFamilies = 32;
wren::ReleaseFn families[kMaxFamilies];
int used = 0;
// Families register on first use, from whichever thread calls first.
std::mutex lock;

}  // namespace

namespace wren {

bool keep_release(ReleaseFn fn) noexcept {
    std::lock_guard<std::mutex> g(lock);
    if (!fn || used == kMaxFamilies) return false;
    families[used++] = fn;
    return true;
}

void release_kept() noexcept {
    std::lock_guard<std::mutex> g(lock);
    for (int i = 0; i < used; ++i) families[i]();
}

}  // namespace wren

extern "C" void wren_release_tables(void) { wren::release_kept(); }
