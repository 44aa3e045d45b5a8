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
#include "lane.h"

namespace {

using u8 = unsigned char;

// The cnt source bytes at p, placed at byte positions pos .. pos + cnt - 1 of
// a word; the rest of the word is zero. Reads exactly cnt bytes.
inline uint64_t load_part(const u8 *p, unsigned pos, unsigned cnt) {
    u8 t[8] = {};
    std::memcpy(t + pos, p, cnt);
    return lane_load(t);
}

// One 64-byte destination block from 64 source bytes; all of the source is
// loaded before any of the destination is stored.
inline void copy_block(u8 *d, const u8 *s) {
    uint64_t w[8];
    std::memcpy(w, s, 64);
    block_store(d, w);
}

// Bytes [d, d + n) from [s, s + n), 0 <= n, as aligned destination words:
// the first and last word under edge masks, whole words between them.
inline void words_fwd(u8 *d, const u8 *s, size_t n) {
    if (n == 0) {
        return;
    }
    const uintptr_t F = reinterpret_cast<uintptr_t>(d);
    const uintptr_t E = F + n - 1;
    uintptr_t A = F & ~uintptr_t{7};
    const unsigned r = static_cast<unsigned>(F - A);
    const size_t first = (8 - r) < n ? 8 - r : n;
    partial_store(reinterpret_cast<u8 *>(A), load_part(s, r, static_cast<unsigned>(first)),
                  lane_edge8(F, E));
    A += 8;
    s += first;
    for (; A + 7 <= E; A += 8, s += 8) {
        std::memcpy(reinterpret_cast<u8 *>(A), s, 8);
    }
    if (A <= E) {
        const unsigned cnt = static_cast<unsigned>(E - A + 1);
        partial_store(reinterpret_cast<u8 *>(A), load_part(s, 0, cnt), lane_edge8(A, E));
    }
}

// The same bytes, written from the last word to the first.
inline void words_bwd(u8 *d, const u8 *s, size_t n) {
    if (n == 0) {
        return;
    }
    const uintptr_t F = reinterpret_cast<uintptr_t>(d);
    const uintptr_t E = F + n - 1;
    const uintptr_t A0 = F & ~uintptr_t{7};
    uintptr_t A = E & ~uintptr_t{7};
    if (A == A0) {
        partial_store(reinterpret_cast<u8 *>(A0),
                      load_part(s, static_cast<unsigned>(F - A0), static_cast<unsigned>(n)),
                      lane_edge8(F, E));
        return;
    }
    // Last word: bytes A .. E.
    const u8 *sp = s + (A - F);
    partial_store(reinterpret_cast<u8 *>(A), load_part(sp, 0, static_cast<unsigned>(E - A + 1)),
                  lane_edge8(A, E));
    for (A -= 8; A > A0; A -= 8) {
        sp -= 8;
        const uint64_t w = lane_load(sp);
        std::memcpy(reinterpret_cast<u8 *>(A), &w, 8);
    }
    const unsigned r = static_cast<unsigned>(F - A0);
    partial_store(reinterpret_cast<u8 *>(A0), load_part(s, r, 8 - r), lane_edge8(F, E));
}

inline void row_fwd(u8 *d, const u8 *s, size_t n) {
    const uintptr_t D = reinterpret_cast<uintptr_t>(d);
    const uintptr_t b0 = (D + 63) & ~uintptr_t{63};
    const uintptr_t b1 = (D + n) & ~uintptr_t{63};
    if (b0 >= b1) {
        words_fwd(d, s, n);
        return;
    }
    words_fwd(d, s, b0 - D);
    for (uintptr_t p = b0; p < b1; p += 64) {
        copy_block(reinterpret_cast<u8 *>(p), s + (p - D));
    }
    words_fwd(reinterpret_cast<u8 *>(b1), s + (b1 - D), D + n - b1);
}

inline void row_bwd(u8 *d, const u8 *s, size_t n) {
    const uintptr_t D = reinterpret_cast<uintptr_t>(d);
    const uintptr_t b0 = (D + 63) & ~uintptr_t{63};
    const uintptr_t b1 = (D + n) & ~uintptr_t{63};
    if (b0 >= b1) {
        words_bwd(d, s, n);
        return;
    }
    words_bwd(reinterpret_cast<u8 *>(b1), s + (b1 - D), D + n - b1);
    for (uintptr_t p = b1; p > b0;) {
        p -= 64;
        copy_block(reinterpret_cast<u8 *>(p), s + (p - D));
    }
    words_bwd(d, s, b0 - D);
}

// Earlier stores, for example pixels just written by another kernel, must be
// visible to this copy's loads.
inline void entry_barrier() { block_sync(); }

}  // namespace

extern "C" {

void kl_gcopy_m2m(void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb) {
    if (nbytes <= 0 || h <= 0) {
        return;
    }
    entry_barrier();
    u8 *d = static_cast<u8 *>(dst);
    const u8 *s = static_cast<const u8 *>(src);
    for (int k = 0; k < h; ++k) {
        row_fwd(d + static_cast<ptrdiff_t>(k) * dst_lb, s + static_cast<ptrdiff_t>(k) * src_lb,
                static_cast<size_t>(nbytes));
    }
}

void kl_gcopyrl_m2m(void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb) {
    if (nbytes <= 0 || h <= 0) {
        return;
    }
    entry_barrier();
    u8 *d = static_cast<u8 *>(dst);
    const u8 *s = static_cast<const u8 *>(src);
    for (int k = h - 1; k >= 0; --k) {
        row_bwd(d + static_cast<ptrdiff_t>(k) * dst_lb, s + static_cast<ptrdiff_t>(k) * src_lb,
                static_cast<size_t>(nbytes));
    }
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
