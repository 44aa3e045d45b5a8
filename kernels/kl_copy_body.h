// Row copies, generic over the body policy (kl_body.h): the block
// copy engine and the masked copies.
//
// A row's head and tail words are written under their edge masks from
// bounded loads of just the row's bytes; the body is written under the band
// enables of the 24-bit pattern. With a full pattern the body goes in aligned
// 64-byte destination blocks (V::block) wherever a block lies wholly inside
// the row, with 8-byte words around them; otherwise in masked vectors
// (V::masked) or in words. The destination is never read, and the source is
// read only inside its rows (host images are not padded). Backward (Bwd)
// rows go from the last to the first and each row from right to left, every
// store's source bytes loaded before the store, so that a destination
// overlapping its source at a higher address is copied correctly (and a
// forward copy onto one at a lower address).
//
// The block copy engine is the copy under the full pattern; the exported
// kl_gcopy_ entries (kl_dispatch.cpp) issue a store-to-load barrier first, so
// that earlier stores, for example pixels just written by another kernel, are
// seen by the copy's loads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kl_body.h"
#include "kl_copy_runs.h"
#include "lane.h"

namespace {
namespace copy {

template <class V, bool Bwd>
inline void copy_row(unsigned char *d, const unsigned char *s, size_t n, uint32_t pat, const Cycle<uint8_t, false> &en, bool nt) {
    const uintptr_t D = reinterpret_cast<uintptr_t>(d);
    const auto word = [&](uintptr_t A) { lane_store(reinterpret_cast<void *>(A), lane_load(s + (A - D))); };
    lane_row<Bwd>(
        D, n,
        [&](uintptr_t A, ptrdiff_t q, unsigned edge) {
            partial_store(reinterpret_cast<void *>(A), lane_load_row(s, q, n), edge & lane_band8(pat, lane_phase(q)));
        },
        [&](uintptr_t A, ptrdiff_t q, size_t k) {
            const uintptr_t B = A + 8 * k;
            if (pat == 0xffffffu) {
                // Words up to the first 64-byte boundary, whole blocks, words after them.
                // Four blocks per step where there are as many, all loaded
                // before any is stored (so a store does not wait on a load
                // of the same offset within a page).
                if (!Bwd) {
#if defined(KL_AVX2)
                    // Up to the streaming size, a string move: it writes whole
                    // lines without reading them first and stays in the caches.
                    // Its bytes go in ascending order, as a forward copy needs.
                    if constexpr (V::isa != kl_isa::portable) {
                        if (!nt && B - A >= 1024) {
                            unsigned char *dd = reinterpret_cast<unsigned char *>(A);
                            const unsigned char *ss = s + (A - D);
                            size_t len = B - A;
                            // AVX2 has no 64-byte streaming store: apart rows go to the
                            // C library's copy, which picks its stores by size.
                            if (V::isa == kl_isa::avx2 && (dd + len <= ss || ss + len <= dd)) {
                                std::memcpy(dd, ss, len);
                                return;
                            }
                            asm volatile("rep movsb" : "+D"(dd), "+S"(ss), "+c"(len) : : "memory");
                            return;
                        }
                    }
#endif
                    for (; A < B && (A & 63); A += 8) word(A);
                    for (; B - A >= 256; A += 256) V::blocks4(A, s + (A - D), nt);
                    for (; B - A >= 64; A += 64) V::block(A, s + (A - D), nt);
                    for (; A < B; A += 8) word(A);
                } else {
                    uintptr_t C = B;
                    for (; C > A && (C & 63); C -= 8) word(C - 8);
                    for (; C - A >= 256; C -= 256) V::blocks4(C - 256, s + (C - 256 - D), nt);
                    for (; C - A >= 64; C -= 64) V::block(C - 64, s + (C - 64 - D), nt);
                    for (; C > A; C -= 8) word(C - 8);
                }
                return;
            }
            if constexpr (V::masked) {
                // Vector-aligned destination blocks under the band enables,
                // the first and last also limited to the body's bytes.
                const uintptr_t X0 = A & ~(V::bytes - 1);
                const size_t blocks = (B - X0 + V::bytes - 1) / V::bytes;
                for (size_t i = 0; i < blocks; ++i) {
                    const uintptr_t X = X0 + V::bytes * (Bwd ? blocks - 1 - i : i);
                    const ptrdiff_t p = static_cast<ptrdiff_t>(X - D);
                    const unsigned lo = X < A ? static_cast<unsigned>(A - X) : 0;
                    const unsigned hi = X + V::bytes > B ? static_cast<unsigned>(B - X) : V::bytes;
                    const auto mk = V::range(lo, hi) & V::enables(en.at(lane_phase(p)));
                    V::store(X, V::load(s + p, mk), mk);
                }
                return;
            }
            lane_words<Bwd>(A, q, k, pat, [&](uintptr_t, ptrdiff_t p) { return lane_load(s + p); });
        });
}

#if defined(KL_AVX2)

// Masked rows without byte-masked stores (kl_copy_runs.h): the band patterns
// with their moves made at compile time, any other pattern with its moves
// made per call. A row that overlaps its own source goes word by word in the
// walk's direction.
using PatternRow = void (*)(unsigned char *d, const unsigned char *s, size_t n);

template <uint32_t P>
void pattern_row(unsigned char *d, const unsigned char *s, size_t n) {
    runs::pattern_row(d, s, n, P, runs::Cycles<P>::R, [](unsigned char *dd, const unsigned char *ss) {
        runs::apply<runs::Cycles<P>::plan>(dd, ss);
    });
}

struct KnownPattern {
    uint32_t p;
    PatternRow row;
};

// Entry I: sample size 1 + I / 28; of the rest r, 2 bands for r < 4, 3 for
// r < 12, else 4, under the mask that is left; masks that select no band or
// every band have no entry.
template <unsigned I>
constexpr KnownPattern known_pattern() {
    constexpr unsigned E = 1 + I / 28, r = I % 28, n = r < 4 ? 2 : r < 12 ? 3 : 4, m = r < 4 ? r : r < 12 ? r - 4 : r - 12;
    if constexpr (m == 0 || m + 1 == 1u << n) return {0, nullptr};
    else return {runs::band_pattern(E, n, m), pattern_row<runs::band_pattern(E, n, m)>};
}

template <unsigned... I>
struct KnownPatterns {
    static constexpr KnownPattern all[] = {known_pattern<I>()...};
};

inline PatternRow known_row(uint32_t p) {
    using K = KnownPatterns<0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24,
                            25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47,
                            48, 49, 50, 51, 52, 53, 54, 55>;
    for (const KnownPattern &k : K::all)
        if (k.row && k.p == p) return k.row;
    return nullptr;
}

template <bool Bwd>
void pattern_rows(unsigned char *dst, int dst_lb, size_t n, int h, const unsigned char *src, int src_lb, uint32_t pat,
                  const Cycle<uint8_t, false> &en) {
    const PatternRow known = known_row(pat);
    runs::Plan plan;
    if (!known) plan = runs::cycle_plan(pat, 4);
    for (int i = 0; i < h; ++i) {
        const int k = Bwd ? h - 1 - i : i;
        unsigned char *d = dst + static_cast<ptrdiff_t>(k) * dst_lb;
        const unsigned char *s = src + static_cast<ptrdiff_t>(k) * src_lb;
        if (d < s + n && s < d + n) copy_row<Words, Bwd>(d, s, n, pat, en, false);
        else if (known) known(d, s, n);
        else runs::pattern_row(d, s, n, pat, 4, [&plan](unsigned char *dd, const unsigned char *ss) { runs::apply(plan, dd, ss); });
    }
}

#endif

// h rows of nbytes from src to dst (row k at dst + k * dst_lb from src + k *
// src_lb), the bytes the pattern enables; nothing when nbytes or h is not
// positive.
template <class V, bool Bwd>
void copy_rows(void *dst, int dst_lb, int nbytes, int h, const void *src, int src_lb, uint32_t pat) {
    if (nbytes <= 0 || h <= 0) return;
    size_t n = static_cast<size_t>(nbytes);
    // Rows without gaps between them are one row, when that keeps every
    // byte's place in the 24-byte pattern.
    if (h > 1 && dst_lb == nbytes && src_lb == nbytes && (pat == 0xffffffu || n % 24 == 0)) {
        n *= static_cast<size_t>(h);
        h = 1;
    }
#if defined(KL_AVX2)
    if constexpr (V::isa == kl_isa::avx2) {
        if (pat != 0xffffffu) {
            return pattern_rows<Bwd>(static_cast<unsigned char *>(dst), dst_lb, n, h,
                                     static_cast<const unsigned char *>(src), src_lb, pat, Cycle<uint8_t, false>{});
        }
    }
#endif
    // A copy computes nothing, so the string move keeps up with streaming
    // stores until the copy outgrows the last-level cache of most machines
    // (AVX2: the C library's copy, see copy_row).
    const bool nt = V::streams && V::isa != kl_isa::avx2 && 2 * n * static_cast<size_t>(h) > 8 * kStreamBytes;
    Cycle<uint8_t, false> en;
    if constexpr (V::masked) en.fill([pat](unsigned o) { return lane_band8(pat, o) & 0x80u ? 0xff : 0; });
    for (int i = 0; i < h; ++i) {
        const int k = Bwd ? h - 1 - i : i;
        copy_row<V, Bwd>(static_cast<unsigned char *>(dst) + static_cast<ptrdiff_t>(k) * dst_lb,
                         static_cast<const unsigned char *>(src) + static_cast<ptrdiff_t>(k) * src_lb,
                         n, pat, en, nt);
    }
    if (nt) V::drain();
}

template <class V, bool Bwd>
void block_engine(void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb) {
    copy_rows<V, Bwd>(dst, dst_lb, nbytes, h, src, src_lb, 0xffffffu);
}

template <class V, bool Bwd>
void masked_copy(unsigned pattern, void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb) {
    const uint32_t pat = pattern & 0xffffffu;
    if (pat) copy_rows<V, Bwd>(dst, dst_lb, nbytes, h, src, src_lb, pat);
}

// The block and masked copy entries of an implementation.
template <class V>
void entries(kl_impl &t) {
    t.gcopy = block_engine<V, false>;
    t.gcopyrl = block_engine<V, true>;
    t.mcopy = masked_copy<V, false>;
    t.mcopy_rl = masked_copy<V, true>;
}

}  // namespace copy
}  // namespace
