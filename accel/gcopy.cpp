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
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kl.h"
#include "kl_impl.h"
#include "lane.h"

namespace {

using u8 = unsigned char;

// One 64-byte destination block from 64 source bytes; all of the source is
// loaded before any of the destination is stored.
inline void copy_block(uintptr_t d, const u8 *s) {
    uint64_t w[8];
    std::memcpy(w, s, 64);
    block_store(reinterpret_cast<void *>(d), w);
}

inline void copy_word(uintptr_t d, const u8 *s) { lane_store(reinterpret_cast<void *>(d), lane_load(s)); }

// One row: head and tail words under edge masks; between them whole words,
// as aligned 64-byte blocks wherever a block lies wholly inside the row.
template <bool Bwd>
inline void row(u8 *d, const u8 *s, size_t n) {
    const uintptr_t D = reinterpret_cast<uintptr_t>(d);
    lane_row<Bwd>(
        D, n,
        [&](uintptr_t A, ptrdiff_t q, unsigned edge) {
            partial_store(reinterpret_cast<void *>(A), lane_load_row(s, q, n), edge);
        },
        [&](uintptr_t A, ptrdiff_t, size_t k) {
            const uintptr_t B = A + 8 * k;
            if (!Bwd) {
                for (; A < B && (A & 63); A += 8) copy_word(A, s + (A - D));
                for (; B - A >= 64; A += 64) copy_block(A, s + (A - D));
                for (; A < B; A += 8) copy_word(A, s + (A - D));
                return;
            }
            uintptr_t C = B;
            for (; C > A && (C & 63); C -= 8) copy_word(C - 8, s + (C - 8 - D));
            for (; C - A >= 64; C -= 64) copy_block(C - 64, s + (C - 64 - D));
            for (; C > A; C -= 8) copy_word(C - 8, s + (C - 8 - D));
        });
}

// Rows top to bottom (forward) or bottom to top (backward).
template <bool Bwd>
void engine(void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb) {
    for (int i = 0; i < h; ++i) {
        const int k = Bwd ? h - 1 - i : i;
        row<Bwd>(static_cast<u8 *>(dst) + static_cast<ptrdiff_t>(k) * dst_lb,
                 static_cast<const u8 *>(src) + static_cast<ptrdiff_t>(k) * src_lb, static_cast<size_t>(nbytes));
    }
}

// Earlier stores, for example pixels just written by another kernel, must be
// visible to this copy's loads.
inline void entry_barrier() { block_sync(); }

}  // namespace

void kl_portable_gcopy(kl_impl &t) {
    t.gcopy = engine<false>;
    t.gcopyrl = engine<true>;
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
