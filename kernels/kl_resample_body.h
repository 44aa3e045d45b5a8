// The resampler's passes, after the checks and the planning of the frame
// (kl_resample.cpp describes the arithmetic and geometry): the horizontal
// pass over a group of source rows, the vertical pass of a destination row,
// and nearest neighbour without filtering (the 2x paths' pixel and line
// doubling).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kl.h"
#include "kl_body.h"
#include "kl_impl.h"

namespace {
namespace resample {

using u8 = unsigned char;

inline int16_t weight(const int16_t *entry, int layout, int k) { return layout == KL_BYTE ? entry[k] : entry[2 * k]; }

inline int spp_of(const kl_image *im) { return im->type == KL_SHORT ? im->bpp / 2 : im->bpp; }

inline bool full_mask(const kl_image *dst, int mask) {
    const int spp = spp_of(dst);
    return mask == (1 << spp) - 1 || (dst->fb && spp == 4 && mask == 7);
}

// Block words of the taps of a column whose footprint starts `base` pixels
// into the block's nb pixels: beyond them the zero pixel (word nb * spp, zero
// fill) or the nearest held pixel (extend).
inline void tap_words(int *idx, int base, int fw, int nb, int spp, bool extend) {
    if (base >= 0 && base + fw <= nb) {
        for (int k = 0; k < fw; ++k) idx[k] = (base + k) * spp;
        return;
    }
    for (int k = 0; k < fw; ++k) {
        const int p = base + k;
        idx[k] = (p >= 0 && p < nb ? p : !extend ? nb : p < 0 ? 0 : nb - 1) * spp;
    }
}

inline int16_t filter16(uint32_t acc) {
    const int v = static_cast<int32_t>(acc + 8192u) >> 14;
    return static_cast<int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
}
inline u8 narrow8(int16_t v) { return static_cast<u8>(v < 0 ? 0 : (v >> 6) > 255 ? 255 : v >> 6); }

// floor((s * w + 128) / 256) modulo 2^16 in 16-bit arithmetic: with w = 256 hi
// + lo (hi signed, lo 0..255) it is s * hi + floor((s * lo + 128) / 256), and
// s * lo + 128 < 2^16. Loops of these vectorise on 16-bit lanes.
struct Weight16 {
    uint16_t hi, lo;
    explicit Weight16(int w) : hi(static_cast<uint16_t>(w >> 8)), lo(static_cast<uint16_t>(w & 0xff)) {}
};
inline uint16_t mul16(uint16_t s, Weight16 w) {
    return static_cast<uint16_t>(static_cast<uint16_t>(s * w.hi) +
                                 static_cast<uint16_t>(static_cast<uint16_t>(s * w.lo + 128) >> 8));
}
inline u8 narrow16(uint16_t v) { return narrow8(static_cast<int16_t>(v)); }

// Eight 16-bit lanes (the compiler's generic vectors: SSE2 on the baseline).
typedef uint16_t u16x8 __attribute__((vector_size(16)));
typedef int16_t i16x8 __attribute__((vector_size(16)));
typedef uint8_t u8x8 __attribute__((vector_size(8)));

inline u16x8 load8(const void *p) {
    u8x8 b;
    std::memcpy(&b, p, 8);
    return __builtin_convertvector(b, u16x8);
}

// Horizontal filter of one block: out word i * SPP + b from the block words
// of column i's taps, the 8 rows of a word in 8 lanes.
template <int SPP>
inline void hfilter8(const uint64_t *block, uint64_t *out, const kl_resample_h &h) {
    const int16_t *const *phases = h.phases;
    const int layout = h.layout, w = h.w, fw = h.fw;
    for (int i = 0; i < w; ++i) {
        uint64_t *o = out + static_cast<size_t>(i) * SPP;
        // word(k): the block word of tap k; inside the block the taps follow each other.
        auto column = [&](auto word) {
            if (fw == 1) {
                std::memcpy(o, block + word(0), 8 * SPP);
                return;
            }
            u16x8 acc[SPP];
            for (int b = 0; b < SPP; ++b) acc[b] = u16x8{} + 32;
            for (int k = 0; k < fw; ++k) {
                const Weight16 wk(weight(phases[i], layout, k));
                const uint64_t *t = block + word(k);
                for (int b = 0; b < SPP; ++b) {
                    const u16x8 s = load8(t + b);
                    acc[b] += s * wk.hi + ((s * wk.lo + 128) >> 8);
                }
            }
            for (int b = 0; b < SPP; ++b) {
                i16x8 v = reinterpret_cast<i16x8>(acc[b]) >> 6;
                v = v < 0 ? i16x8{} : v;
                v = v > 255 ? i16x8{} + 255 : v;
                const u8x8 r = __builtin_convertvector(v, u8x8);
                std::memcpy(o + b, &r, 8);
            }
        };
        const int base = h.iTableH[i] / SPP - h.b0;
        if (base >= 0 && base + fw <= h.nb) {
            column([base](int k) { return (base + k) * SPP; });
        } else {
            int ci[KL_MAXRESAMPLE];
            tap_words(ci, base, fw, h.nb, SPP, h.extend);
            column([&ci](int k) { return ci[k]; });
        }
    }
}

inline void filter_block_8(const uint64_t *block, uint64_t *out, const kl_resample_h &h) {
    switch (h.spp) {
    case 1: hfilter8<1>(block, out, h); break;
    case 2: hfilter8<2>(block, out, h); break;
    case 3: hfilter8<3>(block, out, h); break;
    default: hfilter8<4>(block, out, h); break;
    }
}

inline void filter_block_16(const uint64_t *block, uint64_t *out, const kl_resample_h &h) {
    const int16_t *const *phases = h.phases;
    const int layout = h.layout, w = h.w, spp = h.spp, fw = h.fw;
    for (int i = 0; i < w; ++i) {
        int ci[KL_MAXRESAMPLE];
        tap_words(ci, h.iTableH[i] / spp - h.b0, fw, h.nb, spp, h.extend);
        if (fw == 1) {
            for (int b = 0; b < spp; ++b) out[i * spp + b] = block[ci[0] + b];
            continue;
        }
        int wk[KL_MAXRESAMPLE] = {};
        for (int k = 0; k < fw; ++k) wk[k] = weight(phases[i], layout, k);
        for (int b = 0; b < spp; ++b) {
            uint32_t acc[4] = {};
            for (int k = 0; k < fw; ++k) {
                int16_t s[4];
                std::memcpy(s, block + ci[k] + b, 8);
                for (int r = 0; r < 4; ++r) acc[r] += static_cast<uint32_t>(s[r] * wk[k]);
            }
            int16_t o[4];
            for (int r = 0; r < 4; ++r) o[r] = filter16(acc[r]);
            std::memcpy(out + i * spp + b, o, 8);
        }
    }
}

// The horizontal pass of up to 8 (16-bit: 4) source rows: the held pixels
// of every row transposed into column-major block words, filtered column by
// column, and transposed back into the rows outs.
template <class V>
void horizontal8(const kl_resample_h &h, const u8 *const *rows, u8 *const *outs, int n) {
    transpose_in_8(rows, h.block, h.nb * h.spp, n);
    filter_block_8(h.block, h.out, h);
    transpose_out_8(h.out, outs, h.w * h.spp, n);
}

template <class V>
void horizontal16(const kl_resample_h &h, const u8 *const *rows, u8 *const *outs, int n) {
    transpose_in_16(reinterpret_cast<const int16_t *const *>(rows), h.block, h.nb * h.spp, n);
    filter_block_16(h.block, h.out, h);
    transpose_out_16(h.out, reinterpret_cast<int16_t *const *>(outs), h.w * h.spp, n);
}

// The filtered samples of a row: dn samples from the fw >= 2 rows taps[k]
// with the weights wk[k], summed in sums (2 bytes per byte of the row).
template <class V>
void vertical8(const u8 *const *taps, const int *wk, int fw, int dn, u8 *rowout, void *sums) {
    if (fw == 2) {  // the two- and four-tap filters in one sweep
        const u8 *t0 = taps[0], *t1 = taps[1];
        const Weight16 w0(wk[0]), w1(wk[1]);
        for (int n = 0; n < dn; ++n)
            rowout[n] = narrow16(static_cast<uint16_t>(32 + mul16(t0[n], w0) + mul16(t1[n], w1)));
    } else if (fw == 4) {
        const u8 *t0 = taps[0], *t1 = taps[1], *t2 = taps[2], *t3 = taps[3];
        const Weight16 w0(wk[0]), w1(wk[1]), w2(wk[2]), w3(wk[3]);
        for (int n = 0; n < dn; ++n)
            rowout[n] = narrow16(static_cast<uint16_t>(32 + mul16(t0[n], w0) + mul16(t1[n], w1) +
                                                       mul16(t2[n], w2) + mul16(t3[n], w3)));
    } else {
        uint16_t *acc = reinterpret_cast<uint16_t *>(sums);
        const Weight16 w0(wk[0]);
        for (int n = 0; n < dn; ++n) acc[n] = static_cast<uint16_t>(32 + mul16(taps[0][n], w0));
        for (int k = 1; k < fw; ++k) {
            const u8 *t = taps[k];
            const Weight16 w(wk[k]);
            for (int n = 0; n < dn; ++n) acc[n] = static_cast<uint16_t>(acc[n] + mul16(t[n], w));
        }
        for (int n = 0; n < dn; ++n) rowout[n] = narrow16(acc[n]);
    }
}

template <class V>
void vertical16(const u8 *const *taps, const int *wk, int fw, int dn, u8 *rowout, void *sums) {
    // The products add modulo 2^32 in any order: tap by tap over the row.
    uint32_t *acc = static_cast<uint32_t *>(sums);
    const auto at = [](const u8 *t, int n) {
        int16_t s;
        std::memcpy(&s, t + 2 * n, 2);
        return s;
    };
    for (int n = 0; n < dn; ++n) acc[n] = static_cast<uint32_t>(at(taps[0], n) * wk[0]);
    for (int k = 1; k < fw; ++k) {
        const u8 *t = taps[k];
        const int w = wk[k];
        for (int n = 0; n < dn; ++n) acc[n] += static_cast<uint32_t>(at(t, n) * w);
    }
    int16_t *ro = reinterpret_cast<int16_t *>(rowout);
    for (int n = 0; n < dn; ++n) ro[n] = filter16(acc[n]);
}

// Writes the selected samples of one destination row from row (dn samples).
inline void put_row(const kl_image *dst, u8 *d, const u8 *row, int mask, bool full) {
    const int spp = spp_of(dst), esz = dst->type == KL_SHORT ? 2 : 1;
    if (full) {
        std::memcpy(d, row, static_cast<size_t>(dst->w) * spp * esz);
        return;
    }
    for (int b = 0; b < spp; ++b) {
        if (!(mask >> (spp - 1 - b) & 1)) continue;
        for (int i = 0; i < dst->w; ++i) {
            const size_t o = (static_cast<size_t>(i) * spp + b) * esz;
            std::memcpy(d + static_cast<size_t>(i) * dst->bpp + b * esz, row + o, esz);
        }
    }
}

// The vertical pass of row d of dst (kl_resample_v_fn).
template <class V, bool W16>
void vertical(const kl_image *dst, u8 *d, int mask, bool full, const u8 *const *taps, const int *wk, int fw,
              void *work) {
    if (fw == 1) {
        if (full && dst->fb) kl_gcopy_m2f(d, dst->lb, dst->w * dst->bpp, 1, const_cast<u8 *>(taps[0]), 0);
        else put_row(dst, d, taps[0], mask, full);
        return;
    }
    const int dn = dst->w * spp_of(dst);
    u8 *sums = static_cast<u8 *>(work), *rowout = sums + (static_cast<size_t>(dn) * (W16 ? 4 : 2) + 7) / 8 * 8;
    if constexpr (W16) vertical16<V>(taps, wk, fw, dn, rowout, sums);
    else vertical8<V>(taps, wk, fw, dn, rowout, sums);
    put_row(dst, d, rowout, mask, full);
}

// Nearest neighbour without filtering (the 2x paths' pixel and line doubling,
// for every factor): each destination row is gathered once from its source
// row and repeated while the source row stays the same. The columns and rows
// are those of the general path, so the bytes are too.
template <class V>
void nearest(kl_image *dst, const kl_image *src, int mask, const int *col, const int *row, int edgeH, int edgeV,
             u8 *line, bool doubling) {
    const int bpp = dst->bpp, w = dst->w;
    const bool full = full_mask(dst, mask);
    const long long xlo = -static_cast<long long>(src->x), xhi = static_cast<long long>(src->w) + src->padx;
    const long long ylo = -static_cast<long long>(src->y), yhi = static_cast<long long>(src->h) + src->pady;
    const u8 *prev = nullptr;
    // One-byte pixels two columns apart (a reduction by 2): a vector body
    // takes the even bytes of the source run.
    [[maybe_unused]] bool two = false;
#if defined(KL_AVX2)
    if constexpr (V::isa != kl_isa::portable) {
        int a = 0, b = w;
        while (a < w && (col[a] < xlo || col[a] >= xhi)) ++a;
        while (b > a && (col[b - 1] < xlo || col[b - 1] >= xhi)) --b;
        two = bpp == 1 && !doubling && b - a > 64;
        for (int i = a + 1; two && i < b; ++i) two = col[i] == col[i - 1] + 2;
    }
#endif
    for (int j = 0; j < dst->h; ++j) {
        long long r = row[j];
        if (edgeV == KL_EDGE_NO_WRITE && (r < 0 || r >= src->h)) continue;
        if ((r < ylo || r >= yhi) && edgeV == KL_EDGE_EXTEND) r = r < ylo ? ylo : yhi - 1;
        const bool zero = r < ylo || r >= yhi;
        const u8 *s = zero ? nullptr : src->data + r * src->lb;
        if (s != prev || j == 0 || zero) {
            // At exactly 2x the columns inside the source double each source
            // pixel (col[i + 2] = col[i] + 1), the first perhaps once.
            // Elsewhere the columns inside the source, [ia, ib), are gathered
            // without edge tests.
            int ia = w, ib = w;
            if (!zero) {
                ia = 0;
                while (ia < w && (col[ia] < xlo || col[ia] >= xhi)) ++ia;
                while (ib > ia && (col[ib - 1] < xlo || col[ib - 1] >= xhi)) --ib;
            }
            if (!zero && !(doubling && (bpp == 1 || bpp == 4))) {
                u8 *to = line;
                if (bpp == 1) {
                    int i = ia;
#if defined(KL_AVX2)
                    // Bytes up to the last column's only: the last 32 go singly.
                    if constexpr (V::isa != kl_isa::portable) {
                        const u8 *from = s + col[ia];
                        const __m256i lo = _mm256_set1_epi16(0xff);
                        for (; two && i + 64 < ib; i += 32, from += 64) {
                            const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from));
                            const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from + 32));
                            const __m256i e = _mm256_packus_epi16(_mm256_and_si256(x, lo), _mm256_and_si256(y, lo));
                            _mm256_storeu_si256(reinterpret_cast<__m256i *>(to + i), _mm256_permute4x64_epi64(e, 0xd8));
                        }
                    }
#endif
                    for (; i < ib; ++i) to[i] = s[col[i]];
                } else if (bpp == 4) {
                    for (int i = ia; i < ib; ++i) std::memcpy(to + 4 * i, s + 4 * static_cast<std::ptrdiff_t>(col[i]), 4);
                } else {
                    for (int i = ia; i < ib; ++i)
                        std::memcpy(to + static_cast<size_t>(i) * bpp, s + static_cast<std::ptrdiff_t>(col[i]) * bpp, bpp);
                }
            } else if (!zero) {
                int k = ia;
                auto one = [&](int at) { std::memcpy(line + static_cast<size_t>(at) * bpp, s + static_cast<std::ptrdiff_t>(col[at]) * bpp, bpp); };
                if (k < ib && (k + 1 >= ib || col[k + 1] != col[k])) one(k++);
                const int pairs = (ib - k) / 2;
                if (pairs > 0) {
                    const u8 *from = s + static_cast<std::ptrdiff_t>(col[k]) * bpp;
                    u8 *to = line + static_cast<size_t>(k) * bpp;
                    if (bpp == 1) {
                        for (int p = 0; p < pairs; ++p) {
                            const uint16_t v = static_cast<uint16_t>(from[p] * 0x101);
                            std::memcpy(to + 2 * p, &v, 2);
                        }
                    } else {
                        for (int p = 0; p < pairs; ++p) {
                            uint32_t px;
                            std::memcpy(&px, from + 4 * p, 4);
                            const uint64_t v = px | static_cast<uint64_t>(px) << 32;
                            std::memcpy(to + 8 * p, &v, 8);
                        }
                    }
                    k += 2 * pairs;
                }
                if (k < ib) one(k++);
            }
            for (int i = 0; i < w; ++i) {
                if (i == ia && ia < ib) {  // the columns inside the source are done
                    i = ib - 1;
                    continue;
                }
                long long c = col[i];
                u8 *o = line + static_cast<size_t>(i) * bpp;
                if (c < xlo || c >= xhi) {
                    if (edgeH == KL_EDGE_EXTEND) c = c < xlo ? xlo : xhi - 1;
                    else { std::memset(o, 0, bpp); continue; }  // zero fill (no-write columns are cut below)
                }
                if (zero) std::memset(o, 0, bpp);
                else if (bpp == 1) *o = s[c];
                else if (bpp == 4) std::memcpy(o, s + c * 4, 4);
                else if (bpp == 3) std::memcpy(o, s + c * 3, 3);
                else std::memcpy(o, s + c * bpp, bpp);
            }
            prev = s;
        }
        u8 *d = dst->data + static_cast<std::ptrdiff_t>(j) * dst->lb;
        int i0 = 0, i1 = w;
        if (edgeH == KL_EDGE_NO_WRITE) {
            while (i0 < w && col[i0] < 0) ++i0;
            while (i1 > i0 && col[i1 - 1] >= src->w) --i1;
        }
        if (i0 >= i1) continue;
        kl_image part = *dst;
        part.w = i1 - i0;
        if (full) {
            std::memcpy(d + static_cast<size_t>(i0) * bpp, line + static_cast<size_t>(i0) * bpp,
                        static_cast<size_t>(part.w) * bpp);
        } else {
            // put_row takes samples in row order; the line holds whole pixels.
            put_row(&part, d + static_cast<size_t>(i0) * bpp, line + static_cast<size_t>(i0) * bpp, mask, false);
        }
    }
}

// ---- Planned passes of the vector bodies ---------------------------------------
//
// The horizontal pass filters row by row instead of in transposed blocks:
// the destination samples go in blocks of `lanes` (16-bit lanes), and the
// taps of a block (of each half of it for AVX2) lie in a window of `window`
// bytes, so that each tap of every lane comes out of the window by a byte
// permute. A window lies in the row or in the edge buffer: the row's first
// and last bytes with kPad bytes beyond either end, zeros (zero fill) or the
// end pixel repeated (extend), which is what taps past the held pixels read.
// The plan, made once per call, holds per block its windows' starts and per
// lane the first tap's offset in the window and the weights of the taps. A
// block that fits no window is computed sample by sample; a call with many
// such blocks (strong reductions) takes the transposed blocks instead.
// Positions are byte coordinates c = pixel * spp + sample from the first
// held pixel, negative left of it.

constexpr int kPad = 64, kHold = 128;  // edge buffer: bytes beyond either end, row bytes at either end
constexpr int32_t kEdgeBit = 1 << 30;  // a window start in the edge buffer

// The sum of a sample from its fw taps t(k) with the weights wk(k).
template <class T, class Wt>
inline u8 filtered(int fw, T t, Wt wk) {
    int acc = 32;
    for (int k = 0; k < fw; ++k) acc += (t(k) * wk(k) + 128) >> 8;
    return narrow8(static_cast<int16_t>(static_cast<uint16_t>(acc)));
}

// Destination sample s of the horizontal pass from the held row `row`.
inline u8 hsample(const kl_resample_h &h, const u8 *row, int s) {
    const int spp = h.spp, i = s / spp, b = s % spp;
    int ci[KL_MAXRESAMPLE];
    tap_words(ci, h.iTableH[i] / spp - h.b0, h.fw, h.nb, spp, h.extend);
    const int zero = h.nb * spp;
    return filtered(
        h.fw, [&](int k) { return ci[k] == zero ? 0 : static_cast<int>(row[ci[k] + b]); },
        [&](int k) { return h.fw == 1 ? 16384 : static_cast<int>(weight(h.phases[i], h.layout, k)); });
}

struct HPlan {
    int blocks, lanes, halves, window, fw, nbytes, dn, spp;
    bool extend, edges;
    int nreg, reg_lo[2], reg_hi[2], reg_at[2];  // edge buffer regions: coordinates [lo, hi) at offset at
    u8 *edge;
    int32_t *base;  // blocks * halves window starts; base[block * halves] < 0: sample by sample
    uint8_t *idx;   // blocks * lanes first-tap offsets
    int16_t *wts;   // blocks * fw * lanes weights, tap-major within a block
    // Halving: two taps of weight 8192 on neighbouring pixels, two pixels
    // further from one column to the next (a reduction by 2 at phase 1/2):
    // sample b of column i is the rounded-up mean of the samples b of pixels
    // first + 2i and first + 2i + 1. Columns [h0, h1) have both in the row.
    bool halving;
    int first, h0, h1;
    alignas(64) uint8_t even[64], odd[64];  // AVX-512: bytes of the even and odd pixels' samples in 128
};

// The edge buffer's bytes for `row`.
inline void fill_edges(const HPlan &P, const u8 *row) {
    const int spp = P.spp, n = P.nbytes;
    for (int r = 0; r < P.nreg; ++r) {
        u8 *e = P.edge + P.reg_at[r];
        const int lo = P.reg_lo[r], hi = P.reg_hi[r];
        const int in0 = lo < 0 ? 0 : lo, in1 = hi < n ? hi : n;
        if (!P.extend || n == 0) {
            if (lo < 0) std::memset(e, 0, static_cast<size_t>(-lo));
            if (hi > n) std::memset(e + (n - lo), 0, static_cast<size_t>(hi - n));
        } else {
            for (int c = lo, b = (lo % spp + spp) % spp; c < 0; ++c, b = b + 1 == spp ? 0 : b + 1) e[c - lo] = row[b];
            for (int c = n, b = 0; c < hi; ++c, b = b + 1 == spp ? 0 : b + 1) e[c - lo] = row[n - spp + b];
        }
        if (in1 > in0) std::memcpy(e + (in0 - lo), row + in0, static_cast<size_t>(in1 - in0));
    }
}

// Builds the plan in space: blocks of `lanes` samples in `halves` windows of
// `window` bytes each. False when it does not fit, or when too many blocks
// would be computed sample by sample (most_singly < 0: any).
inline bool make_plan(kl_resample_h &h, void *space, size_t bytes, int lanes, int halves, int window, int most_singly) {
    const int spp = h.spp, fw = h.fw, dn = h.w * spp, nbytes = h.nb * spp;
    if (dn < 1 || fw < 1 || fw > KL_MAXRESAMPLE || (fw > 1 && !h.phases)) return false;
    const int blocks = (dn + lanes - 1) / lanes, per = lanes / halves;
    uintptr_t at = (reinterpret_cast<uintptr_t>(space) + 63) & ~uintptr_t{63};
    const uintptr_t end = reinterpret_cast<uintptr_t>(space) + bytes;
    const auto take = [&](size_t n) {
        const uintptr_t r = at;
        at = (at + n + 63) & ~uintptr_t{63};
        return r;
    };
    HPlan *P = reinterpret_cast<HPlan *>(take(sizeof(HPlan)));
    const uintptr_t edge = take(2 * (kPad + kHold));
    const uintptr_t base = take(sizeof(int32_t) * static_cast<size_t>(blocks) * halves);
    const uintptr_t idx = take(static_cast<size_t>(blocks) * lanes);
    const uintptr_t wts = take(sizeof(int16_t) * static_cast<size_t>(blocks) * fw * lanes);
    if (at > end) return false;
    HPlan &p = *P;
    p = HPlan{};
    p.blocks = blocks, p.lanes = lanes, p.halves = halves, p.window = window, p.fw = fw, p.nbytes = nbytes;
    p.dn = dn, p.spp = spp, p.extend = h.extend;
    p.edge = reinterpret_cast<u8 *>(edge);
    p.base = reinterpret_cast<int32_t *>(base);
    p.idx = reinterpret_cast<uint8_t *>(idx);
    p.wts = reinterpret_cast<int16_t *>(wts);
    if (nbytes <= 2 * kHold) {
        p.nreg = 1;
        p.reg_lo[0] = -kPad, p.reg_hi[0] = nbytes + kPad, p.reg_at[0] = 0;
    } else {
        p.nreg = 2;
        p.reg_lo[0] = -kPad, p.reg_hi[0] = kHold, p.reg_at[0] = 0;
        p.reg_lo[1] = nbytes - kHold, p.reg_hi[1] = nbytes + kPad, p.reg_at[1] = kPad + kHold;
    }
    // Halving: 1, 2 or 4 samples a pixel.
    if (fw == 2 && (spp == 1 || spp == 2 || spp == 4)) {
        bool halving = true;
        const int p0 = h.iTableH[0] / spp - h.b0;
        for (int i = 0; halving && i < h.w; ++i)
            halving = h.iTableH[i] / spp - h.b0 == p0 + 2 * i && weight(h.phases[i], h.layout, 0) == 8192 &&
                      weight(h.phases[i], h.layout, 1) == 8192;
        if (halving) {
            p.halving = true;
            p.first = p0;
            // Both taps in the row: 0 <= p0 + 2i and p0 + 2i + 2 <= nb.
            int a = p0 >= 0 ? 0 : (-p0 + 1) / 2, b = h.nb - p0 >= 2 ? (h.nb - p0 - 2) / 2 + 1 : 0;
            if (b > h.w) b = h.w;
            if (a > b) a = b;
            p.h0 = a, p.h1 = b;
            for (int j = 0; j < 64; ++j) {
                p.even[j] = static_cast<uint8_t>(2 * (j / spp) * spp + j % spp);
                p.odd[j] = static_cast<uint8_t>(p.even[j] + spp);
            }
            h.plan = P;
            return true;
        }
    }
    const auto first_of = [&](int s) { return (h.iTableH[s / spp] / spp - h.b0) * spp + s % spp; };
    // The window start for taps [lo, hi], or -1.
    const auto place = [&](int lo, int hi) -> int32_t {
        if (hi - lo >= window) return -1;
        if (lo >= 0 && hi < nbytes && nbytes >= window) return lo < nbytes - window ? lo : nbytes - window;
        for (int r = 0; r < p.nreg; ++r) {
            if (lo < p.reg_lo[r] || hi >= p.reg_hi[r]) continue;
            const int start = lo < p.reg_hi[r] - window ? lo : p.reg_hi[r] - window;
            p.edges = true;
            return kEdgeBit | (p.reg_at[r] + start - p.reg_lo[r]);
        }
        return -1;
    };
    int singly = 0;
    for (int bl = 0; bl < blocks; ++bl) {
        bool ok = true;
        for (int hf = 0; hf < halves; ++hf) {
            const int s0 = bl * lanes + hf * per;
            int32_t start = hf ? p.base[bl * halves] : 0;  // a half without samples takes the first's window
            if (s0 < dn) {
                int lo = INT32_MAX, hi = INT32_MIN;
                for (int s = s0; s < s0 + per && s < dn; ++s) {
                    const int f = first_of(s);
                    lo = f < lo ? f : lo;
                    hi = f + (fw - 1) * spp > hi ? f + (fw - 1) * spp : hi;
                }
                start = place(lo, hi);
            }
            if (start < 0) ok = false;
            p.base[bl * halves + hf] = start;
            for (int s = s0; s < s0 + per; ++s) {
                const int l = s - bl * lanes;
                uint8_t &x = p.idx[static_cast<size_t>(bl) * lanes + l];
                x = 0;
                for (int k = 0; k < fw; ++k) p.wts[(static_cast<size_t>(bl) * fw + k) * lanes + l] = 0;
                if (s >= dn || start < 0) continue;
                int f = first_of(s);
                if (start & kEdgeBit) {
                    // The offset within the edge buffer region that holds the window.
                    const int off = start & ~kEdgeBit;
                    const int r = p.nreg == 2 && off >= p.reg_at[1] ? 1 : 0;
                    f = f - p.reg_lo[r] + p.reg_at[r] - off;
                } else {
                    f -= start;
                }
                x = static_cast<uint8_t>(f);
                const int i = s / spp;
                for (int k = 0; k < fw; ++k)
                    p.wts[(static_cast<size_t>(bl) * fw + k) * lanes + l] =
                        fw == 1 ? int16_t{16384} : weight(h.phases[i], h.layout, k);
            }
        }
        if (!ok) {
            p.base[bl * halves] = -1;
            ++singly;
        }
    }
    if (most_singly < 0 ? singly > 0 : 8 * singly > blocks) return false;
    h.plan = P;
    return true;
}

// The samples of block bl computed one by one.
inline void hblock_scalar(const kl_resample_h &h, const HPlan &P, const u8 *row, u8 *out, int bl) {
    const int s0 = bl * P.lanes, s1 = s0 + P.lanes < P.dn ? s0 + P.lanes : P.dn;
    for (int s = s0; s < s1; ++s) out[s] = hsample(h, row, s);
}

// A halving row: columns outside [h0, h1) sample by sample, the rest by
// `mid`, which returns the columns it did from h0 on; the others are means.
template <class Mid>
inline void halve_row(const kl_resample_h &h, const HPlan &P, const u8 *row, u8 *out, Mid mid) {
    const int spp = P.spp;
    for (int s = 0; s < P.h0 * spp; ++s) out[s] = hsample(h, row, s);
    const u8 *in = row + static_cast<ptrdiff_t>(P.first + 2 * P.h0) * spp;
    u8 *o = out + P.h0 * spp;
    const int n = (P.h1 - P.h0) * spp, done = mid(in, o, n);
    for (int s = done; s < n; ++s) {
        const int i = s / spp, b = s % spp;
        o[s] = static_cast<u8>((in[2 * i * spp + b] + in[(2 * i + 1) * spp + b] + 1) >> 1);
    }
    for (int s = P.h1 * spp; s < P.dn; ++s) out[s] = hsample(h, row, s);
}

// The vertical pass of dn samples from fw >= 2 rows, sample by sample.
inline void vsamples(const u8 *const *taps, const int *wk, int fw, int from, int to, u8 *out) {
    for (int n = from; n < to; ++n)
        out[n] = filtered(fw, [&](int k) { return static_cast<int>(taps[k][n]); }, [&](int k) { return wk[k]; });
}

// Two taps of weight 8192 are the rounded-up mean.
inline bool mean_weights(const int *wk, int fw) { return fw == 2 && wk[0] == 8192 && wk[1] == 8192; }

#if defined(KL_AVX2)

// Eight lanes of samples times weights, each floor((s * w + 128) / 256).
inline __m256i hmul(__m256i s, __m256i w) { return _mm256_mulhrs_epi16(_mm256_slli_epi16(s, 7), w); }

// The window's bytes: in the row or in the edge buffer.
inline const u8 *window_at(const HPlan &P, const u8 *row, int32_t b) {
    return b & kEdgeBit ? P.edge + (b & ~kEdgeBit) : row + b;
}

// Means of the even and odd pixels of 64 bytes, 32 samples a step.
inline int halve_avx2(const u8 *in, u8 *o, int n, int spp) {
    int s = 0;
    for (; s + 32 <= n; s += 32) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + 2 * s));
        const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + 2 * s + 32));
        __m256i e, od;
        if (spp == 1) {
            const __m256i m = _mm256_set1_epi16(0xff);
            e = _mm256_packus_epi16(_mm256_and_si256(x, m), _mm256_and_si256(y, m));
            od = _mm256_packus_epi16(_mm256_srli_epi16(x, 8), _mm256_srli_epi16(y, 8));
        } else if (spp == 2) {
            const __m256i m = _mm256_set1_epi32(0xffff);
            e = _mm256_packus_epi32(_mm256_and_si256(x, m), _mm256_and_si256(y, m));
            od = _mm256_packus_epi32(_mm256_srli_epi32(x, 16), _mm256_srli_epi32(y, 16));
        } else {
            e = _mm256_castps_si256(_mm256_shuffle_ps(_mm256_castsi256_ps(x), _mm256_castsi256_ps(y), 0x88));
            od = _mm256_castps_si256(_mm256_shuffle_ps(_mm256_castsi256_ps(x), _mm256_castsi256_ps(y), 0xdd));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(o + s), _mm256_permute4x64_epi64(_mm256_avg_epu8(e, od), 0xd8));
    }
    return s;
}

template <int FW, bool NARROW>
inline void hblocks_avx2(const kl_resample_h &h, const HPlan &P, const u8 *row, u8 *out) {
    const int fw = FW ? FW : P.fw, spp = h.spp;
    for (int bl = 0; bl < P.blocks; ++bl) {
        const int32_t *base = P.base + 2 * bl;
        if (base[0] < 0) {
            hblock_scalar(h, P, row, out, bl);
            continue;
        }
        const u8 *w0 = window_at(P, row, base[0]), *w1 = window_at(P, row, base[1]);
        const __m256i A = _mm256_loadu2_m128i(reinterpret_cast<const __m128i *>(w1), reinterpret_cast<const __m128i *>(w0));
        const __m256i ix = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(P.idx + 16 * bl)));
        const int16_t *w = P.wts + static_cast<size_t>(bl) * fw * 16;
        __m256i acc = _mm256_set1_epi16(32);
        if constexpr (NARROW) {
            // The odd control bytes 0x80 (plus the tap offset) select zero.
            const __m256i ctl = _mm256_or_si256(ix, _mm256_set1_epi16(static_cast<short>(0x8000)));
            for (int k = 0; k < fw; ++k) {
                const __m256i t = _mm256_shuffle_epi8(A, _mm256_add_epi8(ctl, _mm256_set1_epi8(static_cast<char>(k * spp))));
                acc = _mm256_add_epi16(acc, hmul(t, _mm256_load_si256(reinterpret_cast<const __m256i *>(w + 16 * k))));
            }
        } else {
            const __m256i B = _mm256_loadu2_m128i(reinterpret_cast<const __m128i *>(w1 + 16),
                                                  reinterpret_cast<const __m128i *>(w0 + 16));
            const __m256i ctl = _mm256_or_si256(ix, _mm256_set1_epi16(static_cast<short>(0xc000)));
            for (int k = 0; k < fw; ++k) {
                const __m256i p = _mm256_add_epi8(ctl, _mm256_set1_epi8(static_cast<char>(k * spp)));
                const __m256i a = _mm256_shuffle_epi8(A, _mm256_or_si256(p, _mm256_cmpgt_epi8(p, _mm256_set1_epi8(15))));
                const __m256i b = _mm256_shuffle_epi8(B, _mm256_sub_epi8(p, _mm256_set1_epi8(16)));
                acc = _mm256_add_epi16(acc, hmul(_mm256_or_si256(a, b),
                                                 _mm256_load_si256(reinterpret_cast<const __m256i *>(w + 16 * k))));
            }
        }
        const __m256i v = _mm256_packus_epi16(_mm256_srai_epi16(acc, 6), _mm256_setzero_si256());
        u8 *o = out + 16 * bl;
        _mm_storel_epi64(reinterpret_cast<__m128i *>(o), _mm256_castsi256_si128(v));
        if (16 * bl + 8 < P.dn) _mm_storel_epi64(reinterpret_cast<__m128i *>(o + 8), _mm256_extracti128_si256(v, 1));
    }
}

// Blocks of 16 samples in two windows, one per 128-bit half; tap k of a lane
// is byte idx + k * spp of its half's window. A 16-byte window takes one byte
// shuffle a tap; a 32-byte one two, one per 16-byte half, whose odd control
// bytes are 0xc0 (plus the tap offset): negative before and after the shift,
// so they select zero.
inline void hrow_avx2(const kl_resample_h &h, const HPlan &P, const u8 *row, u8 *out) {
    if (P.halving) return halve_row(h, P, row, out, [&](const u8 *in, u8 *o, int n) { return halve_avx2(in, o, n, P.spp); });
    if (P.edges) fill_edges(P, row);
    const bool narrow = P.window == 16;
    switch (P.fw) {
    case 2: return narrow ? hblocks_avx2<2, true>(h, P, row, out) : hblocks_avx2<2, false>(h, P, row, out);
    case 4: return narrow ? hblocks_avx2<4, true>(h, P, row, out) : hblocks_avx2<4, false>(h, P, row, out);
    default: return narrow ? hblocks_avx2<0, true>(h, P, row, out) : hblocks_avx2<0, false>(h, P, row, out);
    }
}

// The vertical pass straight into out: 32 samples a step, then 16, then one by one.
inline void vrow_avx2(const u8 *const *taps, const int *wk, int fw, int dn, u8 *out) {
    int n = 0;
    if (mean_weights(wk, fw)) {
        for (; n + 32 <= dn; n += 32)
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + n),
                                _mm256_avg_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(taps[0] + n)),
                                                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(taps[1] + n))));
        return vsamples(taps, wk, fw, n, dn, out);
    }
    __m256i w[KL_MAXRESAMPLE];
    for (int k = 0; k < fw; ++k) w[k] = _mm256_set1_epi16(static_cast<short>(wk[k]));
    const auto sum16 = [&](int at) {
        __m256i acc = _mm256_set1_epi16(32);
        for (int k = 0; k < fw; ++k)
            acc = _mm256_add_epi16(
                acc, hmul(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(taps[k] + at))), w[k]));
        return _mm256_srai_epi16(acc, 6);
    };
    for (; n + 32 <= dn; n += 32) {
        const __m256i v = _mm256_permute4x64_epi64(_mm256_packus_epi16(sum16(n), sum16(n + 16)), 0xd8);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + n), v);
    }
    for (; n + 16 <= dn; n += 16) {
        const __m256i v = _mm256_permute4x64_epi64(_mm256_packus_epi16(sum16(n), _mm256_setzero_si256()), 0xd8);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + n), _mm256_castsi256_si128(v));
    }
    vsamples(taps, wk, fw, n, dn, out);
}

#endif  // KL_AVX2

#if defined(KL_AVX512)

inline __m512i hmul512(__m512i s, __m512i w) { return _mm512_mulhrs_epi16(_mm512_slli_epi16(s, 7), w); }
inline __mmask64 first_bytes(long n) { return n >= 64 ? ~__mmask64{0} : n <= 0 ? 0 : (__mmask64{1} << n) - 1; }

// Means of the even and odd pixels of 128 bytes, 64 samples a step: the
// samples of the even and the odd pixels by two-source byte permutes.
inline int halve_avx512(const HPlan &P, const u8 *in, u8 *o, int n) {
    const __m512i ie = _mm512_load_si512(P.even), io = _mm512_load_si512(P.odd);
    int s = 0;
    for (; s + 64 <= n; s += 64) {
        const __m512i x = _mm512_loadu_si512(in + 2 * s), y = _mm512_loadu_si512(in + 2 * s + 64);
        _mm512_storeu_si512(o + s, _mm512_avg_epu8(_mm512_permutex2var_epi8(x, ie, y), _mm512_permutex2var_epi8(x, io, y)));
    }
    return s;
}

// Blocks of 32 samples in one 128-byte window: tap k of a lane is byte
// idx + k * spp of the window (a two-source byte permute into the even bytes).
inline void hrow_avx512(const kl_resample_h &h, const HPlan &P, const u8 *row, u8 *out) {
    if (P.halving) return halve_row(h, P, row, out, [&](const u8 *in, u8 *o, int n) { return halve_avx512(P, in, o, n); });
    if (P.edges) fill_edges(P, row);
    const int fw = P.fw, spp = h.spp;
    for (int bl = 0; bl < P.blocks; ++bl) {
        const int32_t base = P.base[bl];
        if (base < 0) {
            hblock_scalar(h, P, row, out, bl);
            continue;
        }
        const u8 *win = base & kEdgeBit ? P.edge + (base & ~kEdgeBit) : row + base;
        const __m512i lo = _mm512_loadu_si512(win), hi = _mm512_loadu_si512(win + 64);
        const __m512i ix = _mm512_cvtepu8_epi16(_mm256_load_si256(reinterpret_cast<const __m256i *>(P.idx + 32 * bl)));
        const int16_t *w = P.wts + static_cast<size_t>(bl) * fw * 32;
        __m512i acc = _mm512_set1_epi16(32);
        for (int k = 0; k < fw; ++k) {
            const __m512i p = _mm512_add_epi16(ix, _mm512_set1_epi16(static_cast<short>(k * spp)));
            const __m512i t = _mm512_maskz_permutex2var_epi8(0x5555555555555555ull, lo, p, hi);
            acc = _mm512_add_epi16(acc, hmul512(t, _mm512_load_si512(w + 32 * k)));
        }
        const __m256i v = _mm512_cvtusepi16_epi8(_mm512_max_epi16(_mm512_srai_epi16(acc, 6), _mm512_setzero_si512()));
        const int left = P.dn - 32 * bl;
        if (left >= 32) _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 32 * bl), v);
        else _mm256_mask_storeu_epi8(out + 32 * bl, static_cast<__mmask32>(first_bytes(left)), v);
    }
}

// The vertical pass: 32 samples a step (64 for means), the last under a
// mask; only the samples of the bands in mask are stored, unless full.
inline void vrow_avx512(const u8 *const *taps, const int *wk, int fw, int dn, u8 *out, int spp, int mask, bool full) {
    uint64_t pats[4] = {~uint64_t{0}, ~uint64_t{0}, ~uint64_t{0}, ~uint64_t{0}};
    if (!full) {  // pats[r]: bit j selects sample r + j of a run starting at a pixel
        for (int r = 0; r < spp; ++r) {
            pats[r] = 0;
            for (int j = 0, b = r; j < 64; ++j, b = b + 1 == spp ? 0 : b + 1)
                if (mask >> (spp - 1 - b) & 1) pats[r] |= uint64_t{1} << j;
        }
    }
    if (mean_weights(wk, fw)) {
        for (int n = 0; n < dn; n += 64) {
            const __mmask64 m = first_bytes(dn - n);
            const __m512i v =
                _mm512_avg_epu8(_mm512_maskz_loadu_epi8(m, taps[0] + n), _mm512_maskz_loadu_epi8(m, taps[1] + n));
            _mm512_mask_storeu_epi8(out + n, m & pats[n % spp], v);
        }
        return;
    }
    __m512i w[KL_MAXRESAMPLE];
    for (int k = 0; k < fw; ++k) w[k] = _mm512_set1_epi16(static_cast<short>(wk[k]));
    for (int n = 0; n < dn; n += 32) {
        const __mmask32 m = static_cast<__mmask32>(first_bytes(dn - n));
        __m512i acc = _mm512_set1_epi16(32);
        for (int k = 0; k < fw; ++k)
            acc = _mm512_add_epi16(acc, hmul512(_mm512_cvtepu8_epi16(_mm256_maskz_loadu_epi8(m, taps[k] + n)), w[k]));
        const __m256i v = _mm512_cvtusepi16_epi8(_mm512_max_epi16(_mm512_srai_epi16(acc, 6), _mm512_setzero_si512()));
        _mm256_mask_storeu_epi8(out + n, m & static_cast<__mmask32>(pats[n % spp]), v);
    }
}

#endif  // KL_AVX512

// The horizontal pass of a vector body: planned rows one by one, else the
// transposed blocks.
template <class V>
void horizontal_planned(const kl_resample_h &h, const u8 *const *rows, u8 *const *outs, int n) {
    if (!h.plan) return horizontal8<V>(h, rows, outs, n);
    const HPlan &P = *static_cast<const HPlan *>(h.plan);
    for (int r = 0; r < n; ++r) {
#if defined(KL_AVX512)
        if constexpr (V::isa == kl_isa::avx512) {
            hrow_avx512(h, P, rows[r], outs[r]);
            continue;
        }
#endif
#if defined(KL_AVX2)
        hrow_avx2(h, P, rows[r], outs[r]);
#endif
    }
}

template <class V>
bool plan_for(kl_resample_h &h, void *space, size_t bytes) {
    h.plan = nullptr;
    if (h.layout != KL_BYTE && h.fw > 1) return false;
    if constexpr (V::isa == kl_isa::avx512) return make_plan(h, space, bytes, 32, 1, 128, 0);
    // 16-byte windows where every block fits them (one byte shuffle a tap).
    return make_plan(h, space, bytes, 16, 2, 16, -1) || make_plan(h, space, bytes, 16, 2, 32, 0);
}

// The vertical pass of a vector body for 8-bit samples.
template <class V>
void vertical_vector(const kl_image *dst, u8 *d, int mask, bool full, const u8 *const *taps, const int *wk, int fw,
                     void *work) {
    if (fw == 1) return vertical<V, false>(dst, d, mask, full, taps, wk, fw, work);
    const int spp = spp_of(dst), dn = dst->w * spp;
#if defined(KL_AVX512)
    if constexpr (V::isa == kl_isa::avx512) {
        vrow_avx512(taps, wk, fw, dn, d, spp, mask, full);
        return;
    }
#endif
#if defined(KL_AVX2)
    if (full) {
        vrow_avx2(taps, wk, fw, dn, d);
        return;
    }
    u8 *rowout = static_cast<u8 *>(work);
    vrow_avx2(taps, wk, fw, dn, rowout);
    put_row(dst, d, rowout, mask, false);
#endif
}

template <class V>
void entries(kl_impl &t) {
    if constexpr (V::isa == kl_isa::portable) {
        t.resample_h[0] = horizontal8<V>;
        t.resample_h[1] = horizontal16<V>;
        t.resample_v[0] = vertical<V, false>;
        t.resample_v[1] = vertical<V, true>;
        t.resample_nearest = nearest<V>;
    } else {
        t.resample_h[0] = horizontal_planned<V>;
        t.resample_plan[0] = plan_for<V>;
        t.resample_v[0] = vertical_vector<V>;
        t.resample_nearest = nearest<V>;
    }
}

}  // namespace resample
}  // namespace
