// Band extract and insert, and the 3 <-> 4 samples-per-pixel converters.
//
// The 8-bit kernels move eight pixels per step: the source span of the eight
// pixels is read as whole unaligned words and the samples are rearranged with
// shifts inside the words; pixels at the ends of a row (before the first and
// after the last whole step) are moved one by one. Sources are read only
// inside their rows, and only the samples a kernel writes are stored.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kl.h"
#include "kl_impl.h"
#include "lane.h"

namespace {

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

void copy8_3_4_rows(int m, const kl_image *dst, const kl_image *src) {
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

void copy8_4_3_rows(int m, const kl_image *dst, const kl_image *src) {
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

void copy8_3_4(int band_mask, kl_image *dst, kl_image *src) {
    const int m = conv_mask(band_mask, dst, src, KL_BYTE, 4, 3);
    if (m) {
        copy8_3_4_rows(m, dst, src);
    }
}

void copy8_4_3(int band_mask, kl_image *dst, kl_image *src) {
    const int m = conv_mask(band_mask, dst, src, KL_BYTE, 3, 4);
    if (m) {
        copy8_4_3_rows(m, dst, src);
    }
}

void copy16_3_4(int band_mask, kl_image *dst, kl_image *src) {
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

void copy16_4_3(int band_mask, kl_image *dst, kl_image *src) {
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

}  // namespace

void kl_portable_band(kl_impl &t) {
    t.band_extract_8 = band_move<KL_BYTE, false>;
    t.band_extract_16 = band_move<KL_SHORT, false>;
    t.band_insert_8 = band_move<KL_BYTE, true>;
    t.band_insert_16 = band_move<KL_SHORT, true>;
    t.copy8_3_4 = copy8_3_4;
    t.copy8_4_3 = copy8_4_3;
    t.copy16_3_4 = copy16_3_4;
    t.copy16_4_3 = copy16_4_3;
}
