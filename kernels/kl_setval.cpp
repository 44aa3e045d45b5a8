// Set value: the checks, then the active implementation's body
// (kl_setval_body.h).
#include "kl.h"
#include "kl_impl.h"

namespace {

// sb: sample size in bytes.
template <int sb>
void setval(int mask, kl_image *dst, const short *values) {
    const int type = sb == 1 ? KL_BYTE : KL_SHORT;
    if (!dst || !dst->data || !values || dst->type != type || dst->w <= 0 || dst->h <= 0) return;
    const int n = dst->bands;
    if (n < 1 || n > 4 || dst->bpp != n * sb) return;
    const int m = mask & dst->bmask & ((1 << n) - 1);
    if (!m) return;
    (sb == 1 ? kl_impl_active().setval_8 : kl_impl_active().setval_16)(dst, m, values);
}

}  // namespace

extern "C" {

void kl_setval_8(int mask, kl_image *dst, const short *values) { setval<1>(mask, dst, values); }
void kl_setval_16(int mask, kl_image *dst, const short *values) { setval<2>(mask, dst, values); }

}  // extern "C"
