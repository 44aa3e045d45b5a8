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
                    for (int i = ia; i < ib; ++i) to[i] = s[col[i]];
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

template <class V>
void entries(kl_impl &t) {
    if constexpr (V::isa == kl_isa::portable) {
        t.resample_h[0] = horizontal8<V>;
        t.resample_h[1] = horizontal16<V>;
        t.resample_v[0] = vertical<V, false>;
        t.resample_v[1] = vertical<V, true>;
        t.resample_nearest = nearest<V>;
    }
}

}  // namespace resample
}  // namespace
