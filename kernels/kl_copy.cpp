// Copy dispatch and the masked copies.
//
// kl_copy_8 / kl_copy_16 pick the kernel from the two band counts: whole rows
// go to the block copy engine, partial bands in memory to the masked copy,
// one-band layouts to band extract / insert, 3 <-> 4 samples per pixel to the
// converters.
//
// The masked copies write each destination word once under its byte enables
// (the row's edge mask AND the band pattern rotated to the word) and never
// read the destination. Source bytes are read only inside the row: the words
// at the two ends of a row are loaded byte-exact, the words between them with
// unaligned 8-byte loads that line up with the destination word.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kl.h"
#include "lane.h"

namespace {

using u8 = unsigned char;

// Rotations of a 24-bit pattern, 0 <= r < 24.
inline unsigned rotl24(unsigned p, unsigned r) {
    return r ? ((p << r) | (p >> (24 - r))) & 0xffffffu : p;
}

// The runs of set bits of every 8-bit byte-enable mask (bit 7 = byte 0), so a
// masked word is written with one store per run rather than one per byte.
struct Runs {
    uint8_t n;
    uint8_t at[4];
    uint8_t len[4];
};

struct RunTable {
    Runs r[256];
    constexpr RunTable() : r{} {
        for (unsigned m = 0; m < 256; ++m) {
            Runs x{};
            unsigned k = 0;
            while (k < 8) {
                if ((m >> (7 - k)) & 1) {
                    unsigned s = k;
                    while (k < 8 && ((m >> (7 - k)) & 1)) ++k;
                    x.at[x.n] = static_cast<uint8_t>(s);
                    x.len[x.n] = static_cast<uint8_t>(k - s);
                    ++x.n;
                } else {
                    ++k;
                }
            }
            r[m] = x;
        }
    }
};
constexpr RunTable kRuns;

// Bytes 0 .. len-1 of w to p .. p+len-1, 1 <= len <= 8.
inline void store_span(u8 *p, uint64_t w, unsigned len) {
    switch (len) {
    case 8: lane_store(p, w); return;
    case 7: lane_store32(p, static_cast<uint32_t>(w)); p += 4; w >>= 32; [[fallthrough]];
    case 3: {
        uint16_t v = static_cast<uint16_t>(w);
        std::memcpy(p, &v, 2);
        p[2] = static_cast<u8>(w >> 16);
        return;
    }
    case 6: lane_store32(p, static_cast<uint32_t>(w)); p += 4; w >>= 32; [[fallthrough]];
    case 2: {
        uint16_t v = static_cast<uint16_t>(w);
        std::memcpy(p, &v, 2);
        return;
    }
    case 5: lane_store32(p, static_cast<uint32_t>(w)); p += 4; w >>= 32; [[fallthrough]];
    case 1: *p = static_cast<u8>(w); return;
    case 4: lane_store32(p, static_cast<uint32_t>(w)); return;
    default: return;
    }
}

// Writes exactly the bytes of w that m enables (bit 7 = byte 0) to the word at p.
inline void store_masked(u8 *p, uint64_t w, unsigned m) {
    m &= 0xffu;
    if (m == 0xffu) {
        lane_store(p, w);
        return;
    }
    const Runs &r = kRuns.r[m];
    for (unsigned i = 0; i < r.n; ++i) {
        store_span(p + r.at[i], w >> (8 * r.at[i]), r.len[i]);
    }
}

// The cnt source bytes at s, placed at byte positions pos.. of a zero word.
inline uint64_t load_part(const u8 *s, unsigned pos, unsigned cnt) {
    u8 t[8] = {};
    std::memcpy(t + pos, s, cnt);
    return lane_load(t);
}

// One row of the forward masked copy: n >= 1 bytes at d from s, byte j
// written when bit (7 - j) mod 24 of pat is set.
inline void mrow_fwd(u8 *d, const u8 *s, size_t n, unsigned pat) {
    const uintptr_t F = reinterpret_cast<uintptr_t>(d);
    const uintptr_t E = F + n - 1;
    uintptr_t A = F & ~uintptr_t{7};
    const unsigned r = static_cast<unsigned>(F - A);
    unsigned q = rotl24(pat, (24 - r) % 24);
    const size_t first = (8 - r) < n ? 8 - r : n;
    store_masked(reinterpret_cast<u8 *>(A), load_part(s, r, static_cast<unsigned>(first)),
                 lane_edge8(F, E) & q);
    q = rotl24(q, 8);
    A += 8;
    s += first;
    for (; A + 7 <= E; A += 8, s += 8) {
        store_masked(reinterpret_cast<u8 *>(A), lane_load(s), q);
        q = rotl24(q, 8);
    }
    if (A <= E) {
        store_masked(reinterpret_cast<u8 *>(A), load_part(s, 0, static_cast<unsigned>(E - A + 1)),
                     lane_edge8(A, E) & q);
    }
}

// The same bytes, from the row's last word to its first.
inline void mrow_bwd(u8 *d, const u8 *s, size_t n, unsigned pat) {
    const uintptr_t F = reinterpret_cast<uintptr_t>(d);
    const uintptr_t E = F + n - 1;
    const uintptr_t A0 = F & ~uintptr_t{7};
    uintptr_t A = E & ~uintptr_t{7};
    const unsigned r = static_cast<unsigned>(F - A0);
    if (A == A0) {
        store_masked(reinterpret_cast<u8 *>(A0), load_part(s, r, static_cast<unsigned>(n)),
                     lane_edge8(F, E) & rotl24(pat, (24 - r) % 24));
        return;
    }
    // The last word holds row bytes A - F ..; its enables are the pattern
    // rotated left by (A - F) mod 24.
    unsigned q = rotl24(pat, static_cast<unsigned>((A - F) % 24));
    const u8 *sp = s + (A - F);
    store_masked(reinterpret_cast<u8 *>(A), load_part(sp, 0, static_cast<unsigned>(E - A + 1)),
                 lane_edge8(A, E) & q);
    for (A -= 8; A > A0; A -= 8) {
        sp -= 8;
        q = rotl24(q, 16);  // right by 8 within 24 bits
        store_masked(reinterpret_cast<u8 *>(A), lane_load(sp), q);
    }
    q = rotl24(q, 16);
    store_masked(reinterpret_cast<u8 *>(A0), load_part(s, r, 8 - r), lane_edge8(F, E) & q);
}

// The destination starts inside the source area, after its start.
inline bool copies_backward(const kl_image *dst, const kl_image *src) {
    const uintptr_t s = reinterpret_cast<uintptr_t>(src->data);
    const uintptr_t d = reinterpret_cast<uintptr_t>(dst->data);
    const intptr_t extent = static_cast<intptr_t>(src->h) * src->lb;
    return s < d && static_cast<intptr_t>(d - s) <= extent;
}

inline void block_rows(const kl_image *dst, const kl_image *src, int nbytes, bool bwd) {
    if (bwd) {
        kl_gcopyrl_m2m(dst->data, dst->lb, nbytes, dst->h, src->data, src->lb);
    } else {
        kl_gcopy_m2m(dst->data, dst->lb, nbytes, dst->h, src->data, src->lb);
    }
}

// Shared dispatch; sb is the sample size in bytes.
template <int sb>
void copy_dispatch(int band_mask, kl_image *dst, kl_image *src) {
    if (!dst || !src) {
        return;
    }
    const int m_src = band_mask & src->bmask;
    const int m_dst = band_mask & dst->bmask;
    const int m = m_src & m_dst;
    const int nd = dst->bands, ns = src->bands;
    if (dst->type != src->type || (nd == ns && m == 0) || (nd == 1 && m_src == 0) ||
        (ns == 1 && m_dst == 0) || dst->w <= 0 || dst->h <= 0) {
        return;
    }
    const bool bwd = copies_backward(dst, src);
    if (nd == 1 && ns == 1) {
        block_rows(dst, src, dst->w * sb, bwd);
    } else if (nd == 1 && ns >= 2 && ns <= 4) {
        (sb == 1 ? kl_band_extract_8 : kl_band_extract_16)(m_src, dst, src);
    } else if (ns == 1 && nd >= 2 && nd <= 4) {
        (sb == 1 ? kl_band_insert_8 : kl_band_insert_16)(m_dst, dst, src);
    } else if (nd == ns && nd >= 2 && nd <= 4) {
        const int full = (1 << nd) - 1;
        const int nbytes = dst->w * nd * sb;
        if ((m & full) == full || dst->fb == 1) {
            block_rows(dst, src, nbytes, bwd);
        } else {
            const unsigned pat = (sb == 1 ? kl_masks_8 : kl_masks_16b)[nd][m & 15];
            (bwd ? kl_mcopy_rl : kl_mcopy)(pat, dst->data, dst->lb, nbytes, dst->h, src->data,
                                           src->lb);
        }
    } else if (nd == 3 && ns == 4) {
        if (m_src <= 7) {
            (sb == 1 ? kl_copy8_4_3 : kl_copy16_4_3)(m, dst, src);
        }
    } else if (nd == 4 && ns == 3) {
        if (m_dst <= 7) {
            (sb == 1 ? kl_copy8_3_4 : kl_copy16_3_4)(m, dst, src);
        }
    }
}

}  // namespace

extern "C" {

void kl_mcopy(unsigned pattern, void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb) {
    const unsigned pat = pattern & 0xffffffu;
    if (pat == 0 || h < 1 || nbytes <= 0) {
        return;
    }
    u8 *d = static_cast<u8 *>(dst);
    const u8 *s = static_cast<const u8 *>(src);
    for (int k = 0; k < h; ++k) {
        mrow_fwd(d + static_cast<ptrdiff_t>(k) * dst_lb, s + static_cast<ptrdiff_t>(k) * src_lb,
                 static_cast<size_t>(nbytes), pat);
    }
}

void kl_mcopy_rl(unsigned pattern, void *dst, int dst_lb, int nbytes, int h, void *src,
                 int src_lb) {
    const unsigned pat = pattern & 0xffffffu;
    if (pat == 0 || h < 1 || nbytes <= 0) {
        return;
    }
    u8 *d = static_cast<u8 *>(dst);
    const u8 *s = static_cast<const u8 *>(src);
    for (int k = h - 1; k >= 0; --k) {
        mrow_bwd(d + static_cast<ptrdiff_t>(k) * dst_lb, s + static_cast<ptrdiff_t>(k) * src_lb,
                 static_cast<size_t>(nbytes), pat);
    }
}

void kl_copy_8(int band_mask, kl_image *dst, kl_image *src) {
    copy_dispatch<1>(band_mask, dst, src);
}

void kl_copy_16(int band_mask, kl_image *dst, kl_image *src) {
    copy_dispatch<2>(band_mask, dst, src);
}

}  // extern "C"
