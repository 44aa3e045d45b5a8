// The portable implementation: every family's bodies over 8-byte words
// (Words, kl_body.h). It defines the bytes every other implementation writes
// and runs on any CPU.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kl_impl.h"

#include "kl_affine_body.h"
#include "kl_arith_body.h"
#include "kl_band_body.h"
#include "kl_combine_body.h"
#include "kl_convolve_body.h"
#include "kl_copy_body.h"
#include "kl_lookup_body.h"
#include "kl_qdx_body.h"
#include "kl_resample_body.h"
#include "kl_setval_body.h"
#include "kl_threshold_body.h"
#include "kl_transpose_body.h"

namespace {

kl_impl make() {
    kl_impl t{};
    t.name = "portable";
    affine::entries<Words>(t);
    arith::entries<Words>(t);
    band::entries<Words>(t);
    combine::entries<Words>(t);
    conv::entries<Words>(t);
    copy::entries<Words>(t);
    lookup::entries<Words>(t);
    resample::entries<Words>(t);
    setval::entries<Words>(t);
    threshold::entries<Words>(t);
    transpose::entries<Words>(t);
    zoom::entries<Words>(t);
    return t;
}

}  // namespace

const kl_impl *kl_impl_portable() {
    static const kl_impl t = make();
    return &t;
}
