// Band extract and insert, and the 3 <-> 4 samples-per-pixel converters.
//
// The portable bodies move eight 8-bit pixels per step: the source span of
// the eight pixels is read as whole unaligned words and the samples are
// rearranged with shifts inside the words; pixels at the ends of a row
// (before the first and after the last whole step) are moved one by one.
// Sources are read only inside their rows, and only the samples a kernel
// writes are stored. The vector bodies rearrange with byte shuffles (AVX2)
// or permutes (AVX-512) and leave what they do not take to the portable body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kl.h"
#include "kl_body.h"
#include "kl_copy_runs.h"
#include "kl_impl.h"
#include "lane.h"

namespace {
namespace band {
using u8 = unsigned char;

inline uint16_t ld16(const u8 *p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
inline void st16(u8 *p, uint16_t v) { std::memcpy(p, &v, 2); }

// Sample offset of the first selected band of an n-band pixel: the band of
// the highest set bit of m (bit n - 1 - k selects sample k).
inline int first_band(int n, int m) {
    for (int k = 0; k < n; ++k) {
        if ((m >> (n - 1 - k)) & 1) {
            return k;
        }
    }
    return -1;
}

inline ptrdiff_t row_off(int j, int lb) { return static_cast<ptrdiff_t>(j) * lb; }

// Byte o + n * i of the n source words w, for i = 0..7, gathered into one word.
template <int n, int o>
inline uint64_t gather8(const uint64_t *w) {
    uint64_t r = 0;
    for (int i = 0; i < 8; ++i) {
        const int b = o + n * i;
        r |= ((w[b >> 3] >> (8 * (b & 7))) & 0xffu) << (8 * i);
    }
    return r;
}

template <int n, int o>
void extract_rows8(const kl_image *dst, const kl_image *src) {
    const int w = dst->w;
    for (int j = 0; j < dst->h; ++j) {
        u8 *d = dst->data + row_off(j, dst->lb);
        const u8 *s = src->data + row_off(j, src->lb);
        // Leading pixels up to the first aligned destination word.
        int i = static_cast<int>((8 - (reinterpret_cast<uintptr_t>(d) & 7)) & 7);
        if (i > w) {
            i = w;
        }
        for (int k = 0; k < i; ++k) {
            d[k] = s[k * n + o];
        }
        for (; i + 8 <= w; i += 8) {
            uint64_t sw[n];
            std::memcpy(sw, s + i * n, 8 * n);
            lane_store(d + i, gather8<n, o>(sw));
        }
        for (; i < w; ++i) {
            d[i] = s[i * n + o];
        }
    }
}

template <int n>
void extract8(int o, const kl_image *dst, const kl_image *src) {
    switch (o) {
    case 0: extract_rows8<n, 0>(dst, src); break;
    case 1: extract_rows8<n, 1>(dst, src); break;
    case 2: if constexpr (n > 2) extract_rows8<n, (n > 2 ? 2 : 0)>(dst, src); break;
    case 3: if constexpr (n > 3) extract_rows8<n, (n > 3 ? 3 : 0)>(dst, src); break;
    default: break;
    }
}

// Source byte i of a word goes to byte o + n * i of the n destination words;
// only those bytes are stored.
template <int n, int o>
void insert_rows8(const kl_image *dst, const kl_image *src) {
    const int w = dst->w;
    for (int j = 0; j < dst->h; ++j) {
        u8 *d = dst->data + row_off(j, dst->lb);
        const u8 *s = src->data + row_off(j, src->lb);
        int i = 0;
        for (; i + 8 <= w; i += 8) {
            const uint64_t v = lane_load(s + i);
            u8 *p = d + i * n + o;
            for (int k = 0; k < 8; ++k) {
                p[k * n] = static_cast<u8>(v >> (8 * k));
            }
        }
        for (; i < w; ++i) {
            d[i * n + o] = s[i];
        }
    }
}

template <int n>
void insert8(int o, const kl_image *dst, const kl_image *src) {
    switch (o) {
    case 0: insert_rows8<n, 0>(dst, src); break;
    case 1: insert_rows8<n, 1>(dst, src); break;
    case 2: if constexpr (n > 2) insert_rows8<n, (n > 2 ? 2 : 0)>(dst, src); break;
    case 3: if constexpr (n > 3) insert_rows8<n, (n > 3 ? 3 : 0)>(dst, src); break;
    default: break;
    }
}

// The samples of one 3-sample pixel that m selects (bit 2 - k for sample k).
inline void put3(u8 *d, const u8 *s, int m) {
    if (m & 4) d[0] = s[0];
    if (m & 2) d[1] = s[1];
    if (m & 1) d[2] = s[2];
}

inline void copy8_3_4_rows(int m, const kl_image *dst, const kl_image *src) {
    const int w = dst->w;
    const unsigned pair = static_cast<unsigned>(((m << 4) | m) & 0x77);
    for (int j = 0; j < dst->h; ++j) {
        u8 *d = dst->data + row_off(j, dst->lb);
        const u8 *s = src->data + row_off(j, src->lb);
        int i = 0;
        if ((reinterpret_cast<uintptr_t>(d) & 3) == 0) {
            // One pixel to reach an aligned destination word, then eight
            // pixels (24 source bytes, 32 destination bytes) per step.
            if ((reinterpret_cast<uintptr_t>(d) & 7) == 4 && w > 0) {
                put3(d + 1, s, m);
                i = 1;
            }
            for (; i + 8 <= w; i += 8) {
                uint64_t sw[3];
                std::memcpy(sw, s + 3 * i, 24);
                u8 *p = d + 4 * i;
                const uint64_t v0 = sw[0], v1 = (sw[0] >> 48) | (sw[1] << 16),
                               v2 = (sw[1] >> 32) | (sw[2] << 32), v3 = sw[2] >> 16;
                const uint64_t vs[4] = {v0, v1, v2, v3};
                for (int k = 0; k < 4; ++k) {
                    const uint64_t x = vs[k];
                    const uint64_t word = ((x & 0xffffffu) << 8) | (((x >> 24) & 0xffffffu) << 40);
                    partial_store(p + 8 * k, word, pair);
                }
            }
        }
        for (; i < w; ++i) {
            put3(d + 4 * i + 1, s + 3 * i, m);
        }
    }
}

inline void copy8_4_3_rows(int m, const kl_image *dst, const kl_image *src) {
    const int w = dst->w;
    const uint32_t pat = kl_masks_8[3][m & 7];
    const unsigned q0 = lane_band8(pat, 0), q1 = lane_band8(pat, 8), q2 = lane_band8(pat, 16);
    static const int lead[8] = {0, 5, 2, 7, 4, 1, 6, 3};
    for (int j = 0; j < dst->h; ++j) {
        u8 *d = dst->data + row_off(j, dst->lb);
        const u8 *s = src->data + row_off(j, src->lb);
        int i = lead[reinterpret_cast<uintptr_t>(d) & 7];
        if (i > w) {
            i = w;
        }
        for (int k = 0; k < i; ++k) {
            put3(d + 3 * k, s + 4 * k + 1, m);
        }
        for (; i + 8 <= w; i += 8) {
            uint64_t sw[4];
            std::memcpy(sw, s + 4 * i, 32);
            uint64_t t[4];
            for (int k = 0; k < 4; ++k) {
                t[k] = ((sw[k] >> 8) & 0xffffffu) | ((sw[k] >> 40) << 24);
            }
            u8 *p = d + 3 * i;
            partial_store(p, t[0] | (t[1] << 48), q0);
            partial_store(p + 8, (t[1] >> 16) | (t[2] << 32), q1);
            partial_store(p + 16, (t[2] >> 32) | (t[3] << 16), q2);
        }
        for (; i < w; ++i) {
            put3(d + 3 * i, s + 4 * i + 1, m);
        }
    }
}

inline bool same_type(const kl_image *a, const kl_image *b, int type) {
    return a && b && a->type == type && b->type == type && a->w > 0 && a->h > 0;
}

// Moves one band between a pixel-interleaved image and a 1-band image:
// extract reads the first selected band of src into dst, insert writes src
// into the first selected band of dst.
template <int type, bool insert>
void band_move(int band_mask, kl_image *dst, kl_image *src) {
    if (!same_type(dst, src, type)) {
        return;
    }
    const kl_image *multi = insert ? dst : src;
    const kl_image *single = insert ? src : dst;
    const int m = band_mask & multi->bmask;
    if (m == 0 || single->bands != 1 || single->bmask != 1) {
        return;
    }
    const int n = multi->bands;
    if (n == 1) {
        (type == KL_BYTE ? kl_copy_8 : kl_copy_16)(band_mask, dst, src);
        return;
    }
    if (n < 2 || n > 4) {
        return;
    }
    const int o = first_band(n, m);
    if (o < 0) {
        return;
    }
    if constexpr (type == KL_BYTE) {
        auto run = [&](auto f2, auto f3, auto f4) {
            switch (n) {
            case 2: f2(o, dst, src); break;
            case 3: f3(o, dst, src); break;
            default: f4(o, dst, src); break;
            }
        };
        if constexpr (insert) {
            run(insert8<2>, insert8<3>, insert8<4>);
        } else {
            run(extract8<2>, extract8<3>, extract8<4>);
        }
    } else {
        const int ds = insert ? 2 * n : 2, ss = insert ? 2 : 2 * n;
        const int doff = insert ? 2 * o : 0, soff = insert ? 0 : 2 * o;
        for (int j = 0; j < dst->h; ++j) {
            u8 *d = dst->data + row_off(j, dst->lb) + doff;
            const u8 *s = src->data + row_off(j, src->lb) + soff;
            for (int i = 0; i < dst->w; ++i) {
                st16(d + ds * i, ld16(s + ss * i));
            }
        }
    }
}

// Effective mask of a 3/4 conversion, or 0 when the kernel declines.
inline int conv_mask(int band_mask, const kl_image *dst, const kl_image *src, int type, int nd,
                     int ns) {
    if (!same_type(dst, src, type) || dst->bands != nd || src->bands != ns) {
        return 0;
    }
    return band_mask & dst->bmask & src->bmask & 7;
}

inline void copy8_3_4(int band_mask, kl_image *dst, kl_image *src) {
    const int m = conv_mask(band_mask, dst, src, KL_BYTE, 4, 3);
    if (m) {
        copy8_3_4_rows(m, dst, src);
    }
}

inline void copy8_4_3(int band_mask, kl_image *dst, kl_image *src) {
    const int m = conv_mask(band_mask, dst, src, KL_BYTE, 3, 4);
    if (m) {
        copy8_4_3_rows(m, dst, src);
    }
}

inline void copy16_3_4(int band_mask, kl_image *dst, kl_image *src) {
    const int m = conv_mask(band_mask, dst, src, KL_SHORT, 4, 3);
    if (!m) {
        return;
    }
    // One destination pixel per word: source samples 0-2 in lanes 1-3,
    // lane 0 (sample 0 of the destination pixel) never written.
    for (int j = 0; j < dst->h; ++j) {
        u8 *d = dst->data + row_off(j, dst->lb);
        const u8 *s = src->data + row_off(j, src->lb);
        for (int i = 0; i < dst->w; ++i) {
            uint64_t v = 0;
            std::memcpy(&v, s + 6 * i, 6);
            partial_store16(d + 8 * i, v << 16, static_cast<unsigned>(m));
        }
    }
}

inline void copy16_4_3(int band_mask, kl_image *dst, kl_image *src) {
    const int m = conv_mask(band_mask, dst, src, KL_SHORT, 3, 4);
    if (!m) {
        return;
    }
    for (int j = 0; j < dst->h; ++j) {
        u8 *d = dst->data + row_off(j, dst->lb);
        const u8 *s = src->data + row_off(j, src->lb);
        for (int i = 0; i < dst->w; ++i) {
            const u8 *sp = s + 8 * i + 2;
            u8 *dp = d + 6 * i;
            if (m & 4) st16(dp, ld16(sp));
            if (m & 2) st16(dp + 2, ld16(sp + 2));
            if (m & 1) st16(dp + 4, ld16(sp + 4));
        }
    }
}

#if defined(KL_AVX2)

// ---- Band extract, 4 -> 3 converters ---------------------------------------
//
// The layouts whose destination bytes are all written (band extract into a
// one-band image, 4 -> 3 with every band selected) move whole groups of
// pixels per row with byte shuffles: each 16-byte destination chunk of a
// group is the OR of byte shuffles of the 16-byte source chunks that hold its
// bytes. The pixels after the last whole group, and every call the shuffles
// do not take (masked layouts, declines), go to the portable body.

// A group: D destination bytes from S source bytes, byte j of the
// destination from source byte src_of(j).
template <int D, int S>
struct Gather {
    __m128i idx[D / 16][S / 16];
    bool use[D / 16][S / 16] = {};
    template <class F>
    explicit Gather(F src_of) {
        for (int c = 0; c < D / 16; ++c)
            for (int k = 0; k < S / 16; ++k) {
                alignas(16) int8_t b[16];
                for (int i = 0; i < 16; ++i) {
                    const int at = src_of(16 * c + i) - 16 * k;
                    b[i] = at >= 0 && at < 16 ? static_cast<int8_t>(at) : -128;
                    use[c][k] |= at >= 0 && at < 16;
                }
                idx[c][k] = _mm_load_si128(reinterpret_cast<const __m128i *>(b));
            }
    }
    void move(unsigned char *d, const unsigned char *s) const {
        __m128i x[S / 16];
        for (int k = 0; k < S / 16; ++k) x[k] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 16 * k));
        for (int c = 0; c < D / 16; ++c) {
            __m128i r = _mm_setzero_si128();
            for (int k = 0; k < S / 16; ++k)
                if (use[c][k]) r = _mm_or_si128(r, _mm_shuffle_epi8(x[k], idx[c][k]));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 16 * c), r);
        }
    }
};

using kl_layout_fn = void (*)(const kl_image *dst, const kl_image *src);

// Groups of P pixels per row, then the rest to the portable kernel.
template <class G>
void groups_then_rest(const G &g, int P, kl_image *dst, kl_image *src, kl_one_fn portable, int band_mask) {
    const int groups = dst->w / P;
    for (int j = 0; j < dst->h; ++j) {
        unsigned char *d = dst->data + static_cast<ptrdiff_t>(j) * dst->lb;
        const unsigned char *s = src->data + static_cast<ptrdiff_t>(j) * src->lb;
        for (int i = 0; i < groups; ++i, d += P * dst->bpp, s += P * src->bpp) g.move(d, s);
    }
    kl_image d = *dst, s = *src;
    d.data += static_cast<ptrdiff_t>(groups) * P * dst->bpp;
    s.data += static_cast<ptrdiff_t>(groups) * P * src->bpp;
    d.w -= groups * P;
    s.w -= groups * P;
    if (d.w > 0) portable(band_mask, &d, &s);
}

// dst pixel i = sample o of src pixel i (E-byte samples, n = 2..4 bands).
template <int E>
void extract_avx2(int band_mask, kl_image *dst, kl_image *src) {
    const kl_one_fn portable = E == 1 ? band_move<KL_BYTE, false> : band_move<KL_SHORT, false>;
    const int type = E == 1 ? KL_BYTE : KL_SHORT;
    if (!dst || !src || dst->type != type || src->type != type || dst->w < 16 / E || dst->h <= 0 || dst->bands != 1 ||
        dst->bmask != 1 || src->bands < 2 || src->bands > 4)
        return portable(band_mask, dst, src);
    const int n = src->bands, m = band_mask & src->bmask;
    int o = -1;
    for (int k = n - 1; k >= 0; --k)
        if ((m >> (n - 1 - k)) & 1) o = k;
    if (o < 0) return portable(band_mask, dst, src);
    const auto src_of = [n, o](int j) { return (j / E * n + o) * E + j % E; };
    if (n == 2) groups_then_rest(Gather<16, 32>(src_of), 16 / E, dst, src, portable, band_mask);
    else if (n == 3) groups_then_rest(Gather<16, 48>(src_of), 16 / E, dst, src, portable, band_mask);
    else groups_then_rest(Gather<16, 64>(src_of), 16 / E, dst, src, portable, band_mask);
}

// ---- Masked layouts without byte-masked stores -----------------------------
//
// 3 -> 4 conversions (the fourth sample is never written) and 4 -> 3 under a
// partial mask write some bytes of every pixel: straight-line moves of the
// selected samples, a group of pixels (32 destination bytes of the 4-sample
// side) at a time, then pixel by pixel. (Band insert stays with the portable
// body: one store per pixel either way, and its shifts out of whole words
// measured faster.)

// Destination sample at(k) of every pixel from source sample k, where sel(k).
template <unsigned E, unsigned G, unsigned nd, unsigned ns, unsigned Code>
struct Layout {
    // Code: 3 -> 4 (0..7, the mask) or 4 -> 3 (8 + mask).
    static constexpr unsigned kind = Code / 8, v = Code % 8;
    static constexpr unsigned at(unsigned k) { return kind == 0 ? k + 1 : (k ? k - 1 : 0); }
    static constexpr bool sel(unsigned k) { return kind == 0 ? ((v >> (2 - k)) & 1) != 0 : k && ((v >> (3 - k)) & 1); }
    static constexpr runs::Plan group = runs::pixel_plan(G, E, nd, ns, at, sel);
    static constexpr runs::Plan one = runs::pixel_plan(1, E, nd, ns, at, sel);
    static void rows(const kl_image *dst, const kl_image *src) {
        runs::pixel_rows<group, one, G, nd * E, ns * E>(dst->data, dst->lb, src->data, src->lb, dst->w, dst->h);
    }
};

// 4 -> 3 with every band selected: destination sample k from source sample
// k + 1 of every pixel, all destination bytes written. Groups of four source
// vectors (32 8-bit or 16 16-bit pixels): each 16-byte half drops its pixels'
// first samples with a byte shuffle (12 bytes left), and three dword permutes
// and blends pack the four vectors' 24 bytes each into three destination
// vectors. Pixels up to a 32-byte aligned destination and after the last
// group are moved one by one; large calls store the groups non-temporally.
template <unsigned E>
void to3_full(const kl_image *dst, const kl_image *src) {
    using One = Layout<E, 1, 3, 4, 15>;
    constexpr int P = 32 / E;  // pixels per group
    const __m256i drop = E == 1 ? _mm256_setr_epi8(1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15, -1, -1, -1, -1, 1, 2, 3, 5,
                                                   6, 7, 9, 10, 11, 13, 14, 15, -1, -1, -1, -1)
                                : _mm256_setr_epi8(2, 3, 4, 5, 6, 7, 10, 11, 12, 13, 14, 15, -1, -1, -1, -1, 2, 3, 4, 5,
                                                   6, 7, 10, 11, 12, 13, 14, 15, -1, -1, -1, -1);
    // Dwords 0-2 and 4-6 of a shuffled vector hold its 24 bytes.
    const __m256i a0 = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 0, 0), b0 = _mm256_setr_epi32(0, 0, 0, 0, 0, 0, 0, 1);
    const __m256i b1 = _mm256_setr_epi32(2, 4, 5, 6, 0, 0, 0, 0), c1 = _mm256_setr_epi32(0, 0, 0, 0, 0, 1, 2, 4);
    const __m256i c2 = _mm256_setr_epi32(5, 6, 0, 0, 0, 0, 0, 0), d2 = _mm256_setr_epi32(0, 0, 0, 1, 2, 4, 5, 6);
    const bool nt = static_cast<size_t>(dst->w) * static_cast<size_t>(dst->h) * 7 * E > kStreamBytes;
    for (int j = 0; j < dst->h; ++j) {
        unsigned char *d = dst->data + row_off(j, dst->lb);
        const unsigned char *s = src->data + row_off(j, src->lb);
        int i = 0;
        while (i < dst->w && (reinterpret_cast<uintptr_t>(d) & 31) && (reinterpret_cast<uintptr_t>(d) & (E - 1)) == 0)
            runs::apply<One::group>(d, s), d += 3 * E, s += 4 * E, ++i;
        for (; i + P <= dst->w; i += P, d += 3 * P * E, s += 4 * P * E) {
            const __m256i *sv = reinterpret_cast<const __m256i *>(s);
            const __m256i A = _mm256_shuffle_epi8(_mm256_loadu_si256(sv), drop);
            const __m256i B = _mm256_shuffle_epi8(_mm256_loadu_si256(sv + 1), drop);
            const __m256i C = _mm256_shuffle_epi8(_mm256_loadu_si256(sv + 2), drop);
            const __m256i D = _mm256_shuffle_epi8(_mm256_loadu_si256(sv + 3), drop);
            const __m256i o0 = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(A, a0), _mm256_permutevar8x32_epi32(B, b0), 0xc0);
            const __m256i o1 = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(B, b1), _mm256_permutevar8x32_epi32(C, c1), 0xf0);
            const __m256i o2 = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(C, c2), _mm256_permutevar8x32_epi32(D, d2), 0xfc);
            __m256i *dv = reinterpret_cast<__m256i *>(d);
            if (reinterpret_cast<uintptr_t>(d) & 31) {
                _mm256_storeu_si256(dv, o0), _mm256_storeu_si256(dv + 1, o1), _mm256_storeu_si256(dv + 2, o2);
            } else if (nt) {
                _mm256_stream_si256(dv, o0), _mm256_stream_si256(dv + 1, o1), _mm256_stream_si256(dv + 2, o2);
            } else {
                _mm256_store_si256(dv, o0), _mm256_store_si256(dv + 1, o1), _mm256_store_si256(dv + 2, o2);
            }
        }
        for (; i < dst->w; ++i, d += 3 * E, s += 4 * E) runs::apply<One::group>(d, s);
    }
    if (nt) _mm_sfence();
}

// 16-bit 3 -> 4 with samples 2 and 3 selected: those are dword 1 of every
// 8-byte destination pixel, stored four pixels at a time by one dword-masked
// store (vpmaskmovd) of the 24 source bytes rearranged; sample 1, when
// selected, is a 2-byte move per pixel. Pixels after the last group go one by
// one.
template <unsigned M>
void to4_16_dwords(const kl_image *dst, const kl_image *src) {
    using One = Layout<2, 1, 4, 3, M>;
    using First = Layout<2, 4, 4, 3, M & 4>;
    const __m256i rd = _mm256_setr_epi32(-1, -1, -1, -1, -1, -1, 0, 0), wr = _mm256_setr_epi32(0, -1, 0, -1, 0, -1, 0, -1);
    // Source bytes 0-11 and 12-23 to the two halves, then each half's pixels'
    // samples 1 and 2 (bytes 2-5 and 8-11) to its dwords 1 and 3.
    const __m256i halves = _mm256_setr_epi32(0, 1, 2, 0, 3, 4, 5, 0);
    const __m256i pick = _mm256_setr_epi8(0, 0, 0, 0, 2, 3, 4, 5, 0, 0, 0, 0, 8, 9, 10, 11, 0, 0, 0, 0, 2, 3, 4, 5, 0, 0,
                                          0, 0, 8, 9, 10, 11);
    for (int j = 0; j < dst->h; ++j) {
        unsigned char *d = dst->data + row_off(j, dst->lb);
        const unsigned char *s = src->data + row_off(j, src->lb);
        int i = 0;
        for (; i + 4 <= dst->w; i += 4, d += 32, s += 24) {
            const __m256i v = _mm256_maskload_epi32(reinterpret_cast<const int *>(s), rd);
            _mm256_maskstore_epi32(reinterpret_cast<int *>(d), wr, _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(v, halves), pick));
            if constexpr ((M & 4) != 0) runs::apply<First::group>(d, s);
        }
        for (; i < dst->w; ++i, d += 8, s += 6) runs::apply<One::group>(d, s);
    }
}

template <unsigned E, bool To4, unsigned... M>
constexpr kl_layout_fn convert_table[8] = {nullptr, Layout<E, 32 / (4 * E), To4 ? 4 : 3, To4 ? 3 : 4, (To4 ? 0 : 8) + M>::rows...};

template <unsigned E, bool To4>
void convert_avx2(int band_mask, kl_image *dst, kl_image *src) {
    const int m = conv_mask(band_mask, dst, src, E == 1 ? KL_BYTE : KL_SHORT, To4 ? 4 : 3, To4 ? 3 : 4);
    if (!m) return;
    if (!To4 && m == 7) return to3_full<E>(dst, src);
    if (To4 && E == 2 && m == 7) return to4_16_dwords<7>(dst, src);
    if (To4 && E == 2 && m == 3) return to4_16_dwords<3>(dst, src);
    convert_table<E, To4, 1, 2, 3, 4, 5, 6, 7>[m](dst, src);
}

#endif  // KL_AVX2

#if defined(KL_AVX512)

// ---- Band extract and insert, 3 <-> 4 converters ---------------------------
//
// Whole runs of vector-sized pixel groups per row are rearranged with byte or
// 16-bit permutes and written under byte or sample masks; the pixels after
// the last whole group go to the portable body on a descriptor of just
// those pixels. Calls the vectors do not take (declines, one-band layouts)
// go to the portable body as they are.

// Elements of 1 (bytes) or 2 bytes: permutes, masked loads and stores.
template <int E>
struct Lanes {
    static constexpr int L = 64 / E;  // elements per vector
    using M = std::conditional_t<E == 1, __mmask64, __mmask32>;
    static __m512i perm(__m512i idx, __m512i a) {
        if constexpr (E == 1) return _mm512_permutexvar_epi8(idx, a);
        else return _mm512_permutexvar_epi16(idx, a);
    }
    static __m512i perm2(__m512i a, __m512i idx, __m512i b) {
        if constexpr (E == 1) return _mm512_permutex2var_epi8(a, idx, b);
        else return _mm512_permutex2var_epi16(a, idx, b);
    }
    static __m512i load(const void *p, M m) {
        if constexpr (E == 1) return _mm512_maskz_loadu_epi8(m, p);
        else return _mm512_maskz_loadu_epi16(m, p);
    }
    static void store(void *p, M m, __m512i v) {
        if constexpr (E == 1) _mm512_mask_storeu_epi8(p, m, v);
        else _mm512_mask_storeu_epi16(p, m, v);
    }
    static M first(int k) { return k >= L ? ~M{0} : static_cast<M>((uint64_t{1} << k) - 1); }
    // Index vector from f(lane), and the mask of lanes where g(lane) holds.
    template <class F>
    static __m512i index(F f) {
        alignas(64) uint8_t b[64];
        for (int i = 0; i < L; ++i) {
            const int v = f(i);
            if constexpr (E == 1) b[i] = static_cast<uint8_t>(v);
            else {
                b[2 * i] = static_cast<uint8_t>(v);
                b[2 * i + 1] = static_cast<uint8_t>(v >> 8);
            }
        }
        return _mm512_load_si512(b);
    }
    template <class G>
    static M mask(G g) {
        M m = 0;
        for (int i = 0; i < L; ++i)
            if (g(i)) m |= static_cast<M>(M{1} << i);
        return m;
    }
};

// The pixels from g on of both images, for the portable kernel.
inline void tail_of(kl_image &d, kl_image &s, int g) {
    d.data += static_cast<ptrdiff_t>(g) * d.bpp;
    s.data += static_cast<ptrdiff_t>(g) * s.bpp;
    d.w -= g;
    s.w -= g;
}

// dst pixel i = sample o of src pixel i, n = 2..4; L pixels per vector from
// n source vectors, two-table permutes over consecutive pairs of them.
template <class V, int E>
void extract_groups(const kl_image &dst, const kl_image &src, int n, int o, int groups) {
    using X = Lanes<E>;
    constexpr int L = X::L;
    const __m512i lo = X::index([&](int i) { return (n * i + o) & (2 * L - 1); });
    const __m512i hi = X::index([&](int i) { return (n * i + o - L) & (2 * L - 1); });
    const typename X::M from_hi = X::mask([&](int i) { return n * i + o >= 2 * L; });
    const bool nt = static_cast<size_t>(dst.w) * dst.h * E * (n + 1) > kStreamBytes;
    for (int j = 0; j < dst.h; ++j) {
        unsigned char *d = dst.data + row_off(j, dst.lb);
        const unsigned char *s = src.data + row_off(j, src.lb);
        const bool stream = nt && !(reinterpret_cast<uintptr_t>(d) & 63);
        for (int g = 0; g < groups; ++g, d += 64, s += 64 * n) {
            __m512i v[4];
            for (int k = 0; k < n; ++k) v[k] = _mm512_loadu_si512(s + 64 * k);
            __m512i r;
            if (n == 2) {
                r = X::perm2(v[0], lo, v[1]);
            } else if (n == 3) {
                const __m512i r0 = X::perm2(v[0], lo, v[1]), r1 = X::perm2(v[1], hi, v[2]);
                r = E == 1 ? _mm512_mask_blend_epi8(from_hi, r0, r1) : _mm512_mask_blend_epi16(from_hi, r0, r1);
            } else {
                r = _mm512_mask_blend_epi64(0xf0, X::perm2(v[0], lo, v[1]), X::perm2(v[2], lo, v[3]));
            }
            if (stream) V::stream(reinterpret_cast<uintptr_t>(d), r);
            else _mm512_storeu_si512(d, r);
        }
    }
    if (nt) V::drain();
}

// Sample o of dst pixel i = src pixel i; each of the n destination vectors of
// a group gets its pixels by one permute and a mask of the lanes of band o.
template <int E>
void insert_groups(const kl_image &dst, const kl_image &src, int n, int o, int groups) {
    using X = Lanes<E>;
    constexpr int L = X::L;
    __m512i idx[4];
    typename X::M msk[4];
    for (int k = 0; k < n; ++k) {
        idx[k] = X::index([&](int i) { return (L * k + i) / n; });
        msk[k] = X::mask([&](int i) { return (L * k + i) % n == o; });
    }
    for (int j = 0; j < dst.h; ++j) {
        unsigned char *d = dst.data + row_off(j, dst.lb);
        const unsigned char *s = src.data + row_off(j, src.lb);
        for (int g = 0; g < groups; ++g, d += 64 * n, s += 64) {
            const __m512i v = _mm512_loadu_si512(s);
            for (int k = 0; k < n; ++k) X::store(d + 64 * k, msk[k], X::perm(idx[k], v));
        }
    }
}

template <class V, int E, bool Insert>
void move_avx512(int band_mask, kl_image *dst, kl_image *src) {
    constexpr int type = E == 1 ? KL_BYTE : KL_SHORT;
    const kl_one_fn portable = band_move<type, Insert>;
    if (!dst || !src || dst->type != type || src->type != type || dst->w <= 0 || dst->h <= 0) return portable(band_mask, dst, src);
    const kl_image *multi = Insert ? dst : src, *single = Insert ? src : dst;
    const int n = multi->bands, m = band_mask & multi->bmask, o = first_band(n, m);
    const int groups = dst->w / (64 / E);
    if (n < 2 || n > 4 || m == 0 || o < 0 || single->bands != 1 || single->bmask != 1 || groups == 0)
        return portable(band_mask, dst, src);
    if (Insert) insert_groups<E>(*dst, *src, n, o, groups);
    else extract_groups<V, E>(*dst, *src, n, o, groups);
    kl_image d = *dst, s = *src;
    tail_of(d, s, groups * (64 / E));
    if (d.w > 0) portable(band_mask, &d, &s);
}

// 3 -> 4 (To4) or 4 -> 3 samples per pixel: destination sample k + 1 (To4) or
// k (4 -> 3) gets source sample k (To4) or k + 1 where bit 2 - k of m is set.
// A group is the pixels of one 64-byte vector of the 4-sample side.
template <int E, bool To4>
void convert_avx512(int band_mask, kl_image *dst, kl_image *src) {
    const kl_one_fn portable = To4 ? (E == 1 ? copy8_3_4 : copy16_3_4) : (E == 1 ? copy8_4_3 : copy16_4_3);
    const int type = E == 1 ? KL_BYTE : KL_SHORT;
    if (!dst || !src || dst->type != type || src->type != type || dst->w <= 0 || dst->h <= 0 ||
        dst->bands != (To4 ? 4 : 3) || src->bands != (To4 ? 3 : 4))
        return portable(band_mask, dst, src);
    const int m = band_mask & dst->bmask & src->bmask & 7;
    using X = Lanes<E>;
    constexpr int L = X::L, P = L / 4;  // P pixels per group: L samples on the 4-sample side
    const int groups = dst->w / P;
    if (m == 0 || groups == 0) return portable(band_mask, dst, src);
    // Every destination byte written: the AVX2 body's dword permutes and
    // aligned (large: non-temporal) stores beat a permute and masked store.
    if (!To4 && m == 7) return to3_full<E>(dst, src);
    // Lane i of the 4-sample side is sample i % 4 of pixel i / 4; lane i of
    // the 3-sample side sample i % 3 of pixel i / 3.
    const __m512i idx = To4 ? X::index([](int i) { return i % 4 ? i / 4 * 3 + i % 4 - 1 : 0; })
                      : X::index([](int i) { return i < 3 * P ? i / 3 * 4 + i % 3 + 1 : 0; });
    const typename X::M wr = To4 ? X::mask([m](int i) { return i % 4 && ((m >> (3 - i % 4)) & 1); })
                                 : X::mask([m](int i) { return i < 3 * P && ((m >> (2 - i % 3)) & 1); });
    const typename X::M rd = To4 ? X::first(3 * P) : X::first(L);
    for (int j = 0; j < dst->h; ++j) {
        unsigned char *d = dst->data + row_off(j, dst->lb);
        const unsigned char *s = src->data + row_off(j, src->lb);
        for (int g = 0; g < groups; ++g) {
            const __m512i v = X::load(s, rd);
            X::store(d, wr, X::perm(idx, v));
            d += (To4 ? 4 : 3) * P * E;
            s += (To4 ? 3 : 4) * P * E;
        }
    }
    kl_image d = *dst, s = *src;
    tail_of(d, s, groups * P);
    if (d.w > 0) portable(band_mask, &d, &s);
}

#endif  // KL_AVX512

template <class V>
void entries(kl_impl &t) {
    if constexpr (V::isa == kl_isa::portable) {
        t.band_extract_8 = band_move<KL_BYTE, false>;
        t.band_extract_16 = band_move<KL_SHORT, false>;
        t.band_insert_8 = band_move<KL_BYTE, true>;
        t.band_insert_16 = band_move<KL_SHORT, true>;
        t.copy8_3_4 = copy8_3_4;
        t.copy8_4_3 = copy8_4_3;
        t.copy16_3_4 = copy16_3_4;
        t.copy16_4_3 = copy16_4_3;
    }
#if defined(KL_AVX2)
    if constexpr (V::isa == kl_isa::avx2) {
        t.band_extract_8 = extract_avx2<1>;
        t.band_extract_16 = extract_avx2<2>;
        t.copy8_3_4 = convert_avx2<1, true>;
        t.copy16_3_4 = convert_avx2<2, true>;
        t.copy8_4_3 = convert_avx2<1, false>;
        t.copy16_4_3 = convert_avx2<2, false>;
    }
#endif
#if defined(KL_AVX512)
    if constexpr (V::isa == kl_isa::avx512) {
        t.band_extract_8 = move_avx512<V, 1, false>;
        t.band_extract_16 = move_avx512<V, 2, false>;
        t.band_insert_8 = move_avx512<V, 1, true>;
        t.band_insert_16 = move_avx512<V, 2, true>;
        t.copy8_3_4 = convert_avx512<1, true>;
        t.copy16_3_4 = convert_avx512<2, true>;
        t.copy8_4_3 = convert_avx512<1, false>;
        t.copy16_4_3 = convert_avx512<2, false>;
    }
#endif
}

}  // namespace band
}  // namespace
