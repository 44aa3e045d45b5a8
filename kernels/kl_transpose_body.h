// Flips and block transposition: the bodies, after the checks of the
// exported functions (kl_transpose.cpp).
//
// kl_transpose_8 / kl_transpose_16 write the destination as a mirrored copy of
// the source: type 0 copies rows in reverse order (the implementation's copy
// body, walking the source rows upwards), types 1 and 5 reverse the pixel
// order of every row (type 5 walking the source rows upwards too). A mirrored row is
// built one destination word at a time: the word's bytes come from the whole
// source pixels it covers, read with unaligned loads that stay inside the
// source row (head and tail words byte-exact), and the word is stored under
// the row-end mask and the band enables of its cycle offset.
//
// The block helpers turn up to 8 rows of bytes (4 of 16-bit samples) into one
// word per sample position holding that position's sample of every row, and
// back: three rounds of byte interleaving transpose an 8 x 8 byte block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kl.h"
#include "kl_body.h"
#include "kl_copy_body.h"
#include "kl_impl.h"
#include "lane.h"

namespace {
namespace transpose {


using u8 = unsigned char;

// Row offset of source byte j of a mirrored row, relative to the start pixel:
// pixel j / bpp counted backwards, its sample bytes kept in order.
inline ptrdiff_t mirror(ptrdiff_t j, ptrdiff_t bpp) { return j % bpp - (j / bpp) * bpp; }

// Bytes q .. q + 7 of the mirrored row of n bytes from start pixel s; bytes
// outside the row are 0 and their source bytes are not read.
inline uint64_t edge_word(const u8 *s, ptrdiff_t q, ptrdiff_t n, ptrdiff_t bpp) {
    uint64_t w = 0;
    for (ptrdiff_t t = 0; t < 8; ++t) {
        const ptrdiff_t j = q + t;
        if (j >= 0 && j < n) w |= static_cast<uint64_t>(s[mirror(j, bpp)]) << (8 * t);
    }
    return w;
}

// Bytes q .. q + 7 (all inside the row, q >= 0) of the mirrored row: the whole
// source pixels they cover are loaded, then the bytes rearranged.
template <ptrdiff_t bpp>
inline uint64_t body_word(const u8 *s, ptrdiff_t q) {
    if (bpp == 1) return __builtin_bswap64(lane_load(s - q - 7));
    if (q % bpp == 0) {
        if (bpp == 2) {
            const uint64_t x = lane_load(s - q - 6);
            return (x >> 48) | (x << 48) | ((x >> 16) & 0x00000000ffff0000ull) | ((x << 16) & 0x0000ffff00000000ull);
        }
        if (bpp == 4) {
            const uint64_t x = lane_load(s - q - 4);
            return (x >> 32) | (x << 32);
        }
        if (bpp == 8) return lane_load(s - q);
    }
    const ptrdiff_t p0 = q / bpp, p1 = (q + 7) / bpp, lo = -p1 * bpp;
    u8 buf[24];
    std::memcpy(buf, s + lo, static_cast<size_t>((p1 - p0 + 1) * bpp));
    uint64_t w = 0;
    for (ptrdiff_t t = 0; t < 8; ++t) w |= static_cast<uint64_t>(buf[mirror(q + t, bpp) - lo]) << (8 * t);
    return w;
}

// One mirrored row of n >= 1 bytes at d from start pixel s, byte j written
// when bit (7 - j) mod 24 of the band pattern is set.
template <ptrdiff_t bpp>
inline void mirror_row(u8 *d, const u8 *s, ptrdiff_t n, uint32_t pat) {
    lane_row<false>(
        reinterpret_cast<uintptr_t>(d), static_cast<size_t>(n),
        [&](uintptr_t A, ptrdiff_t q, unsigned edge) {
            partial_store(reinterpret_cast<void *>(A), edge_word(s, q, n, bpp), edge & lane_band8(pat, lane_phase(q)));
        },
        [&](uintptr_t A, ptrdiff_t q, size_t k) {
            lane_words<false>(A, q, k, pat, [&](uintptr_t, ptrdiff_t p) { return body_word<bpp>(s, p); });
        });
}

// One mirrored row of w whole pixels of bpp bytes.
template <ptrdiff_t bpp>
inline void mirror_pixels(u8 *d, const u8 *s, ptrdiff_t w) {
    for (ptrdiff_t i = 0; i < w; ++i) std::memcpy(d + i * bpp, s - i * bpp, bpp);
}

// One mirrored row of w bytes: eight at a time, byte-reversed.
inline void mirror_bytes(u8 *d, const u8 *s, ptrdiff_t w) {
    ptrdiff_t i = 0;
    for (; i + 8 <= w; i += 8) lane_store(d + i, __builtin_bswap64(lane_load(s - i - 7)));
    for (; i < w; ++i) d[i] = s[-i];
}

// A flip of sb-byte samples, type 0, 1 or 5, writing the bands of m.
template <class V, int sb>
void flip(kl_image *dst, kl_image *src, int type, int m) {
    const int bands = dst->bands;
    const ptrdiff_t dlb = dst->lb, slb = src->lb;
    const ptrdiff_t bpp = static_cast<ptrdiff_t>(bands) * sb;
    const ptrdiff_t n = dst->w * bpp;
    const uint32_t pat = (sb == 1 ? kl_masks_8 : kl_masks_16b)[bands][m];
    if (type == 0) {
        // Rows in reverse order: the copy body of this implementation, the
        // source rows walked upwards, with the copy's choice of bands (one
        // band and frame buffers take whole pixels).
        const bool rows = bands == 1 || m == (1 << bands) - 1 || dst->fb == 1;
        copy::copy_rows<V, false>(dst->data, dst->lb, static_cast<int>(n), dst->h, src->data, -src->lb,
                                  rows ? 0xffffffu : pat);
        return;
    }
    const ptrdiff_t step = type == 1 ? slb : -slb;
    const bool whole = m == (1 << bands) - 1;
    for (int j = 0; j < dst->h; ++j) {
        u8 *d = dst->data + j * dlb;
        const u8 *s = src->data + j * step;
        // Every band written: whole pixels move, one fixed-size copy each.
        if (whole) {
            switch (bpp) {
            case 1: mirror_bytes(d, s, dst->w); break;
            case 2: mirror_pixels<2>(d, s, dst->w); break;
            case 3: mirror_pixels<3>(d, s, dst->w); break;
            case 4: mirror_pixels<4>(d, s, dst->w); break;
            case 6: mirror_pixels<6>(d, s, dst->w); break;
            default: mirror_pixels<8>(d, s, dst->w); break;
            }
            continue;
        }
        switch (bpp) {
        case 1: mirror_row<1>(d, s, n, pat); break;
        case 2: mirror_row<2>(d, s, n, pat); break;
        case 3: mirror_row<3>(d, s, n, pat); break;
        case 4: mirror_row<4>(d, s, n, pat); break;
        case 6: mirror_row<6>(d, s, n, pat); break;
        default: mirror_row<8>(d, s, n, pat); break;
        }
    }
}

// Transposes an 8 x 8 byte block in place: word r holding row r becomes word
// c holding column c (row 0 in byte 0). Each round interleaves the first four
// words' halves with the last four's, which rotates a byte's 6-bit address
// (row, column) left by one bit; three rounds swap row and column.
inline void transpose8x8(uint64_t w[8]) {
    for (int round = 0; round < 3; ++round) {
        uint64_t y[8];
        for (int j = 0; j < 8; ++j) {
            const uint64_t a = w[j >> 1], b = w[4 + (j >> 1)];
            y[j] = (j & 1) ? lane_merge(lane_half1(a), lane_half1(b)) : lane_merge(lane_half0(a), lane_half0(b));
        }
        std::memcpy(w, y, sizeof y);
    }
}

// Word c of the result holds lane c of w[0..3] in lanes 0..3.
inline void transpose4x4(const uint64_t w[4], uint64_t out[4]) {
    for (unsigned c = 0; c < 4; ++c) {
        uint64_t o = 0;
        for (unsigned r = 0; r < 4; ++r) o |= lane_put16(lane_get16(w[r], c), r);
        out[c] = o;
    }
}

// The block helpers of kl.h, after their checks.
template <class V>
void block4x4(uint64_t w0, uint64_t w1, uint64_t w2, uint64_t w3, void *dst, int stride) {
    const uint64_t w[4] = {w0, w1, w2, w3};
    uint64_t out[4];
    transpose4x4(w, out);
    for (int c = 0; c < 4; ++c) lane_store(static_cast<u8 *>(dst) + static_cast<ptrdiff_t>(8) * c * stride, out[c]);
}

template <class V>
void in8(const unsigned char *const *rows, uint64_t *block, int count, int nrows) {
    const int nr = nrows < 8 ? nrows : 8;
    for (int i = 0; i < count; i += 8) {
        const int k = count - i < 8 ? count - i : 8;
        uint64_t w[8] = {};
        for (int r = 0; r < nr; ++r) w[r] = k == 8 ? lane_load(rows[r] + i) : lane_load_n(rows[r] + i, static_cast<size_t>(k));
        transpose8x8(w);
        std::memcpy(block + i, w, static_cast<size_t>(k) * 8);
    }
}

template <class V>
void out8(const uint64_t *block, unsigned char *const *rows, int count, int nrows) {
    const int nr = nrows < 8 ? nrows : 8;
    for (int i = 0; i < count; i += 8) {
        const int k = count - i < 8 ? count - i : 8;
        uint64_t w[8] = {};
        std::memcpy(w, block + i, static_cast<size_t>(k) * 8);
        transpose8x8(w);
        for (int r = 0; r < nr; ++r) std::memcpy(rows[r] + i, &w[r], static_cast<size_t>(k));
    }
}

template <class V>
void in16(const int16_t *const *rows, uint64_t *block, int count, int nrows) {
    const int nr = nrows < 4 ? nrows : 4;
    for (int i = 0; i < count; i += 4) {
        const int k = count - i < 4 ? count - i : 4;
        uint64_t w[4] = {}, out[4];
        for (int r = 0; r < nr; ++r) w[r] = lane_load_n(rows[r] + i, static_cast<size_t>(k) * 2);
        block4x4<V>(w[0], w[1], w[2], w[3], out, 1);
        std::memcpy(block + i, out, static_cast<size_t>(k) * 8);
    }
}

template <class V>
void out16(const uint64_t *block, int16_t *const *rows, int count, int nrows) {
    const int nr = nrows < 4 ? nrows : 4;
    for (int i = 0; i < count; i += 4) {
        const int k = count - i < 4 ? count - i : 4;
        uint64_t w[4] = {}, out[4];
        std::memcpy(w, block + i, static_cast<size_t>(k) * 8);
        block4x4<V>(w[0], w[1], w[2], w[3], out, 1);
        for (int r = 0; r < nr; ++r) std::memcpy(rows[r] + i, &out[r], static_cast<size_t>(k) * 2);
    }
}

template <class V>
void entries(kl_impl &t) {
    t.transpose_8 = flip<V, 1>;
    t.transpose_16 = flip<V, 2>;
    if constexpr (V::isa == kl_isa::portable) {
        t.transpose_in_8 = in8<V>;
        t.transpose_out_8 = out8<V>;
        t.transpose_in_16 = in16<V>;
        t.transpose_out_16 = out16<V>;
        t.transpose16_4x4 = block4x4<V>;
    }
}

}  // namespace transpose
}  // namespace
