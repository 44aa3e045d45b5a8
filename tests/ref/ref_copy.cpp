#include "ref_copy.h"

#include <cstring>

namespace ref {
namespace {

unsigned char *sample(const kl_image &im, int sb, int i, int j, int k) {
    return im.data + static_cast<long>(j) * im.lb + static_cast<long>(i) * im.bands * sb + k * sb;
}

void put(const kl_image &d, int sb, int i, int j, int kd, const kl_image &s, int ks) {
    std::memcpy(sample(d, sb, i, j, kd), sample(s, sb, i, j, ks), sb);
}

int type_of(int sb) { return sb == 1 ? KL_BYTE : KL_SHORT; }

bool selects(int bands, int m, int k) { return (m >> (bands - 1 - k)) & 1; }

int first_selected(int bands, int m) {
    for (int k = 0; k < bands; ++k) {
        if (selects(bands, m, k)) {
            return k;
        }
    }
    return -1;
}

}  // namespace

void gcopy(unsigned char *dst, int dst_lb, int nbytes, int h, const unsigned char *src,
           int src_lb) {
    for (int j = 0; j < h; ++j) {
        for (int b = 0; b < nbytes; ++b) {
            dst[static_cast<long>(j) * dst_lb + b] = src[static_cast<long>(j) * src_lb + b];
        }
    }
}

void mcopy(unsigned pattern, unsigned char *dst, int dst_lb, int nbytes, int h,
           const unsigned char *src, int src_lb) {
    for (int j = 0; j < h; ++j) {
        for (int b = 0; b < nbytes; ++b) {
            const int bit = ((7 - b) % 24 + 24) % 24;
            if ((pattern >> bit) & 1) {
                dst[static_cast<long>(j) * dst_lb + b] = src[static_cast<long>(j) * src_lb + b];
            }
        }
    }
}

void copy(int sb, int band_mask, const kl_image &dst, const kl_image &src) {
    const int m_src = band_mask & src.bmask, m_dst = band_mask & dst.bmask, m = m_src & m_dst;
    const int nd = dst.bands, ns = src.bands;
    if (dst.type != src.type || (nd == ns && m == 0) || (nd == 1 && m_src == 0) ||
        (ns == 1 && m_dst == 0) || dst.w <= 0 || dst.h <= 0) {
        return;
    }
    if (nd == 1 && ns == 1) {
        gcopy(dst.data, dst.lb, dst.w * sb, dst.h, src.data, src.lb);
    } else if (nd == 1 && ns >= 2 && ns <= 4) {
        band_extract(sb, m_src, dst, src);
    } else if (ns == 1 && nd >= 2 && nd <= 4) {
        band_insert(sb, m_dst, dst, src);
    } else if (nd == ns && nd >= 2 && nd <= 4) {
        const int full = (1 << nd) - 1;
        const bool whole = (m & full) == full || dst.fb == 1;
        for (int j = 0; j < dst.h; ++j) {
            for (int i = 0; i < dst.w; ++i) {
                for (int k = 0; k < nd; ++k) {
                    if (whole || selects(nd, m, k)) {
                        put(dst, sb, i, j, k, src, k);
                    }
                }
            }
        }
    } else if (nd == 3 && ns == 4) {
        if (m_src <= 7) {
            copy_4_3(sb, m, dst, src);
        }
    } else if (nd == 4 && ns == 3) {
        if (m_dst <= 7) {
            copy_3_4(sb, m, dst, src);
        }
    }
}

namespace {

// One band between an interleaved image and a 1-band image, either way.
void band_move(bool insert, int sb, int band_mask, const kl_image &dst, const kl_image &src) {
    const kl_image &multi = insert ? dst : src, &single = insert ? src : dst;
    if (dst.type != type_of(sb) || src.type != type_of(sb) || dst.w <= 0 || dst.h <= 0) {
        return;
    }
    const int m = band_mask & multi.bmask;
    if (m == 0 || single.bands != 1 || single.bmask != 1) {
        return;
    }
    if (multi.bands == 1) {
        copy(sb, band_mask, dst, src);
        return;
    }
    if (multi.bands < 2 || multi.bands > 4) {
        return;
    }
    const int o = first_selected(multi.bands, m);
    if (o < 0) {
        return;
    }
    for (int j = 0; j < dst.h; ++j) {
        for (int i = 0; i < dst.w; ++i) {
            put(dst, sb, i, j, insert ? o : 0, src, insert ? 0 : o);
        }
    }
}

}  // namespace

void band_extract(int sb, int band_mask, const kl_image &dst, const kl_image &src) {
    band_move(false, sb, band_mask, dst, src);
}

void band_insert(int sb, int band_mask, const kl_image &dst, const kl_image &src) {
    band_move(true, sb, band_mask, dst, src);
}

namespace {

// Samples 0-2 of 3-sample pixels into samples 1-3 of 4-sample ones (to4), or back.
void convert(bool to4, int sb, int band_mask, const kl_image &dst, const kl_image &src) {
    if (dst.type != type_of(sb) || src.type != type_of(sb) || dst.bands != 3 + to4 || src.bands != 4 - to4) return;
    const int m = band_mask & dst.bmask & src.bmask & 7;
    for (int j = 0; j < dst.h; ++j) {
        for (int i = 0; i < dst.w; ++i) {
            for (int k = 0; k < 3; ++k) {
                if ((m >> (2 - k)) & 1) {
                    put(dst, sb, i, j, k + to4, src, k + !to4);
                }
            }
        }
    }
}

}  // namespace

void copy_3_4(int sb, int band_mask, const kl_image &dst, const kl_image &src) {
    convert(true, sb, band_mask, dst, src);
}

void copy_4_3(int sb, int band_mask, const kl_image &dst, const kl_image &src) {
    convert(false, sb, band_mask, dst, src);
}

}  // namespace ref
