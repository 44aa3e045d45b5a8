// The choice of implementation, made once per process, and the exported
// kernels of kl_impl.h's lists and the block copy engine: each a call of the
// chosen implementation's entry.
#include <cstdlib>
#include <cstring>

#include "kl.h"
#include "kl_impl.h"
#include "lane.h"

namespace {

// Implementations from the best to the fallback.
const char *const kBest[] = {"avx512", "avx2", "portable"};

// The CPU features an implementation's code uses.
bool cpu_runs(const char *name) {
#if defined(__x86_64__)
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
    if (std::strcmp(name, "avx2") == 0) return avx2;
    if (std::strcmp(name, "avx512") == 0)
        return avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi");
#endif
    (void)name;
    return false;
}

const kl_impl *choose() {
    const char *want = std::getenv("WREN_KERNELS");
    if (want && *want) {
        if (const kl_impl *t = kl_impl_find(want)) return t;
    }
    for (const char *name : kBest) {
        if (const kl_impl *t = kl_impl_find(name)) return t;
    }
    return nullptr;
}

}  // namespace

const kl_impl *kl_impl_find(const char *name) {
    if (!name) return nullptr;
    if (std::strcmp(name, "portable") == 0) return kl_impl_portable();
    if (std::strcmp(name, "avx2") == 0) return cpu_runs(name) ? kl_impl_avx2() : nullptr;
    if (std::strcmp(name, "avx512") == 0) return cpu_runs(name) ? kl_impl_avx512() : nullptr;
    return nullptr;
}

const kl_impl &kl_impl_active() {
    static const kl_impl *const active = choose();
    return *active;
}

extern "C" {

#define KL_FORWARD_TWO(n) \
    void kl_##n(int m, kl_image *d, kl_image *a, kl_image *b) { kl_impl_active().n(m, d, a, b); }
#define KL_FORWARD_CONST(n) \
    void kl_##n(int m, kl_image *d, kl_image *s, short *k) { kl_impl_active().n(m, d, s, k); }
#define KL_FORWARD_ONE(n) \
    void kl_##n(int m, kl_image *d, kl_image *s) { kl_impl_active().n(m, d, s); }
#define KL_FORWARD_ROWS(n)                                                                         \
    void kl_##n(unsigned pattern, void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb) { \
        kl_impl_active().n(pattern, dst, dst_lb, nbytes, h, src, src_lb);                        \
    }
KL_TWO_SOURCE(KL_FORWARD_TWO)
KL_CONSTANT(KL_FORWARD_CONST)
KL_ONE_SOURCE(KL_FORWARD_ONE)
KL_MASKED_ROWS(KL_FORWARD_ROWS)

// The block copy engine's entries: a store-to-load barrier first, so that
// earlier stores (pixels just written by another kernel) are seen by the
// copy's loads; the m2f, f2m and f2f names are the same engines.
void kl_gcopy_m2m(void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb) {
    if (nbytes <= 0 || h <= 0) return;
    block_sync();
    kl_impl_active().gcopy(dst, dst_lb, nbytes, h, src, src_lb);
}
void kl_gcopyrl_m2m(void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb) {
    if (nbytes <= 0 || h <= 0) return;
    block_sync();
    kl_impl_active().gcopyrl(dst, dst_lb, nbytes, h, src, src_lb);
}
void kl_gcopy_m2f(void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb) {
    kl_gcopy_m2m(dst, dst_lb, nbytes, h, src, src_lb);
}
void kl_gcopy_f2m(void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb) {
    kl_gcopy_m2m(dst, dst_lb, nbytes, h, src, src_lb);
}
void kl_gcopy_f2f(void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb) {
    kl_gcopy_m2m(dst, dst_lb, nbytes, h, src, src_lb);
}
void kl_gcopyrl_f2f(void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb) {
    kl_gcopyrl_m2m(dst, dst_lb, nbytes, h, src, src_lb);
}

void kl_mpyk_8(int band_mask, kl_image *dst, kl_image *src, short *constants, int shift, int round) {
    kl_impl_active().mpyk_8(band_mask, dst, src, constants, shift, round);
}

const char *kl_implementation(void) { return kl_impl_active().name; }

int kl_implementation_available(const char *name) { return kl_impl_find(name) != nullptr; }

}  // extern "C"
