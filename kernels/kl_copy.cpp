// Copy dispatch and the masked copies.
//
// kl_copy_8 / kl_copy_16 pick the kernel from the two band counts: whole rows
// go to the block copy engine, partial bands in memory to the masked copy,
// one-band layouts to band extract / insert, 3 <-> 4 samples per pixel to the
// converters.
//
// The masked copies are the row copies of kl_copy_body.h under a band
// pattern: every destination byte is written once, under the row's edge mask
// and the band enables at its offset in the 24-byte cycle, and the
// destination is never read.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kl.h"
#include "kl_impl.h"

namespace {

using u8 = unsigned char;

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

void kl_copy_8(int band_mask, kl_image *dst, kl_image *src) {
    copy_dispatch<1>(band_mask, dst, src);
}

void kl_copy_16(int band_mask, kl_image *dst, kl_image *src) {
    copy_dispatch<2>(band_mask, dst, src);
}

}  // extern "C"
