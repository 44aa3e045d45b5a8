// Block copy engine: moves rows of bytes between any two byte addresses.
//
// Each destination row is split at 64-byte boundaries. The destination
// blocks that lie wholly inside the row are written with one aligned 64-byte
// store each; the bytes before the first and after the last whole block are
// written as aligned 8-byte words, the two end words under edge masks. No
// destination byte outside the row is written and the destination is never
// read. The source is read only inside the row (host images are not padded),
// with unaligned loads lined up with the destination words.
//
// The forward engine walks rows top to bottom and each row left to right;
// the backward engine walks rows bottom to top and each row right to left.
// Every store's source bytes are loaded before the store, so the backward
// engine copies correctly onto a destination that overlaps the source at a
// higher address, and the forward engine onto one at a lower address.
//
// The rows are copied by kl_copy_rows.h; the exported entries below issue the
// entry barrier and call the engine of the chosen implementation.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kl.h"
#include "kl_copy_rows.h"
#include "kl_impl.h"
#include "lane.h"

namespace {

// Earlier stores, for example pixels just written by another kernel, must be
// visible to this copy's loads.
inline void entry_barrier() { block_sync(); }

}  // namespace

void kl_portable_gcopy(kl_impl &t) {
    t.gcopy = block_engine<Words, false>;
    t.gcopyrl = block_engine<Words, true>;
}

extern "C" {

void kl_gcopy_m2m(void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb) {
    if (nbytes <= 0 || h <= 0) {
        return;
    }
    entry_barrier();
    kl_impl_active().gcopy(dst, dst_lb, nbytes, h, src, src_lb);
}

void kl_gcopyrl_m2m(void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb) {
    if (nbytes <= 0 || h <= 0) {
        return;
    }
    entry_barrier();
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

}  // extern "C"
