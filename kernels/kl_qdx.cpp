// Quick zoom: exact 2x and 4x bilinear enlargement of one band, optionally
// through a lookup table.
//
// Destination column X of the zoomed image lies at source position X / f, so
// with u = xphase + i (i the column in the rectangle), k = u div f and
// a = u mod f, and likewise v, m, b for rows, the output is
//     ((f - a)(f - b) p(k, m) + a(f - b) p(k + 1, m)
//      + (f - a) b p(k, m + 1) + a b p(k + 1, m + 1)) >> (2 log2 f)
// (floor; for 2x this is the average of the 1, 2 or 4 grid neighbours).
// Each source line is interpolated horizontally once into the line buffer,
// as 32-bit sums, and reused for the f output rows that need it; the
// vertical step combines two such lines.
//
// A tap whose weight is 0 is not read, so a rectangle reads source columns
// 0 .. ceil((xphase + w - 1) / f) and rows 0 .. ceil((yphase + h - 1) / f)
// from the descriptor's first pixel: nothing past the last grid position it
// covers. Sums are formed in 32 bits, so 16-bit samples of any value give
// their exact interpolation (a weighted mean, always within -32768..32767).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "kl.h"
#include "kl_impl.h"

namespace {

using u8 = unsigned char;

template <class S>
inline int32_t sample(const u8 *p) {
    S v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Byte offset of the first selected sample of a pixel of n samples of sb bytes.
inline int first_selected(int n, int m, int sb) {
    for (int k = 0; k < n; ++k)
        if ((m >> (n - 1 - k)) & 1) return k * sb;
    return -1;
}

// One output row of one-band 8-bit samples from two lines of horizontal sums.
void zoom_row8(unsigned char *d, const int32_t *a, const int32_t *b, int wa, int wb, int shift,
               const unsigned char *table, int w) {
    if (table) {
        for (int i = 0; i < w; ++i) d[i] = table[(wa * a[i] + wb * b[i]) >> shift];
    } else {
        for (int i = 0; i < w; ++i) d[i] = static_cast<u8>((wa * a[i] + wb * b[i]) >> shift);
    }
}

// F: 2 or 4; S: uint8_t or int16_t samples; the byte stored for value v is
// table[v], or v itself without a table (8-bit samples only).
template <int F, class S>
void zoom(const kl_image *src, const kl_image *dst, int xphase, int yphase, void *linebuf, const u8 *table) {
    constexpr int shift = F == 2 ? 2 : 4;
    const int want = sizeof(S) == 1 ? KL_BYTE : KL_SHORT;
    if (!src || !dst || !src->data || !dst->data || !linebuf) return;
    if (src->type != want || dst->type != KL_BYTE || src->bands < 1 || src->bands > 4 || dst->bands < 1 ||
        dst->bands > 4)
        return;
    if (xphase < 0 || xphase >= F || yphase < 0 || yphase >= F || dst->w <= 0 || dst->h <= 0) return;
    const int soff = first_selected(src->bands, src->bmask, static_cast<int>(sizeof(S)));
    if (soff < 0) return;
    // The destination samples written: every selected one of each pixel.
    int doff[4], nd = 0;
    for (int k = 0; k < dst->bands; ++k)
        if ((dst->bmask >> (dst->bands - 1 - k)) & 1) doff[nd++] = k;
    if (nd == 0) return;

    const int w = dst->w;
    const ptrdiff_t sbpp = static_cast<ptrdiff_t>(src->bands) * static_cast<ptrdiff_t>(sizeof(S));
    const ptrdiff_t dbpp = dst->bands;
    int32_t *lines[2] = {static_cast<int32_t *>(linebuf), static_cast<int32_t *>(linebuf) + w};

    // Horizontal sums of source row m for the rectangle's columns (weight f):
    // the columns before the first grid position, whole grid periods, then
    // the last partial period; a tap of weight 0 is not read.
    auto across = [&](int m, int32_t *H) {
        const u8 *row = src->data + static_cast<ptrdiff_t>(m) * src->lb + soff;
        auto p = [&](int k) { return sample<S>(row + k * sbpp); };
        int i = 0, k = 0, a = xphase;
        if (a != 0) {
            const int32_t p0 = p(0), p1 = p(1);
            for (; i < w && a < F; ++i, ++a) H[i] = (F - a) * p0 + a * p1;
            k = 1;
        }
        for (; i + F <= w; i += F, ++k) {
            const int32_t p0 = p(k), p1 = p(k + 1);
            for (int t = 0; t < F; ++t) H[i + t] = (F - t) * p0 + t * p1;
        }
        if (i < w) {
            const int32_t p0 = p(k);
            H[i] = F * p0;
            if (i + 1 < w) {
                const int32_t p1 = p(k + 1);
                for (int t = 1; i + t < w; ++t) H[i + t] = (F - t) * p0 + t * p1;
            }
        }
    };

    int held0 = -1, held1 = -1;  // source rows in lines[0], lines[1]
    for (int j = 0; j < dst->h; ++j) {
        const int v = yphase + j, m = v / F, b = v % F;
        if (held0 != m) {
            if (held1 == m) {
                std::swap(lines[0], lines[1]);
                held1 = -1;
            } else {
                across(m, lines[0]);
            }
            held0 = m;
        }
        if (b != 0 && held1 != m + 1) {
            across(m + 1, lines[1]);
            held1 = m + 1;
        }
        const int32_t *A = lines[0], *B = lines[1];
        u8 *d = dst->data + static_cast<ptrdiff_t>(j) * dst->lb;
        const int32_t wa = F - b, wb = b;
        if (nd == 1 && dbpp == 1) {
            // The vector bodies take 8-bit values; 16-bit ones index a table
            // around its middle.
            (sizeof(S) == 1 ? kl_impl_active().zoom_row8 : zoom_row8)(d, A, b == 0 ? A : B, wa, wb, shift, table, w);
        } else {
            for (int i = 0; i < w; ++i) {
                const int32_t v = (wa * A[i] + wb * (b == 0 ? 0 : B[i])) >> shift;
                const u8 value = table ? table[v] : static_cast<u8>(v);
                for (int t = 0; t < nd; ++t) d[i * dbpp + doff[t]] = value;
            }
        }
    }
}

}  // namespace

extern "C" {

// The even and odd 2x forms compute the same bytes; the dispatchers pick one
// by the parity of xphase plus the destination address.
void klqdx_scale2x_8_0(kl_image *src, kl_image *dst, int xphase, int yphase, void *linebuf) {
    zoom<2, uint8_t>(src, dst, xphase, yphase, linebuf, nullptr);
}
void klqdx_scale2x_8_1(kl_image *src, kl_image *dst, int xphase, int yphase, void *linebuf) {
    zoom<2, uint8_t>(src, dst, xphase, yphase, linebuf, nullptr);
}
void kl_scale_2x_bilinear_8_1_lookup_8_8_1_E(kl_image *src, kl_image *dst, const unsigned char *table, int xphase,
                                             int yphase, void *linebuf) {
    if (!table) return;
    zoom<2, uint8_t>(src, dst, xphase, yphase, linebuf, table);
}
void kl_scale_2x_bilinear_8_1_lookup_8_8_1_O(kl_image *src, kl_image *dst, const unsigned char *table, int xphase,
                                             int yphase, void *linebuf) {
    if (!table) return;
    zoom<2, uint8_t>(src, dst, xphase, yphase, linebuf, table);
}
void kl_scale_2x_bilinear_16_1_lookup_16_8_1_E(kl_image *src, kl_image *dst, const unsigned char *base, int xphase,
                                               int yphase, void *linebuf) {
    if (!base) return;
    zoom<2, int16_t>(src, dst, xphase, yphase, linebuf, base);
}
void kl_scale_2x_bilinear_16_1_lookup_16_8_1_O(kl_image *src, kl_image *dst, const unsigned char *base, int xphase,
                                               int yphase, void *linebuf) {
    if (!base) return;
    zoom<2, int16_t>(src, dst, xphase, yphase, linebuf, base);
}

static bool odd(int xphase, const kl_image *dst) {
    return dst && ((static_cast<uintptr_t>(xphase) + reinterpret_cast<uintptr_t>(dst->data)) & 1);
}

void klqdx_scale2x_8(kl_image *src, kl_image *dst, int xphase, int yphase, void *linebuf) {
    (odd(xphase, dst) ? klqdx_scale2x_8_1 : klqdx_scale2x_8_0)(src, dst, xphase, yphase, linebuf);
}

void klqdx_scale4x_8(kl_image *src, kl_image *dst, int xphase, int yphase, void *linebuf) {
    zoom<4, uint8_t>(src, dst, xphase, yphase, linebuf, nullptr);
}

void klqdx_scale2x_8_lookup_8_8(kl_image *src, kl_image *dst, const unsigned char *table, int xphase, int yphase,
                                void *linebuf) {
    (odd(xphase, dst) ? kl_scale_2x_bilinear_8_1_lookup_8_8_1_O
                      : kl_scale_2x_bilinear_8_1_lookup_8_8_1_E)(src, dst, table, xphase, yphase, linebuf);
}

void klqdx_scale4x_8_lookup_8_8(kl_image *src, kl_image *dst, const unsigned char *table, int xphase, int yphase,
                                void *linebuf) {
    if (!table) return;
    zoom<4, uint8_t>(src, dst, xphase, yphase, linebuf, table);
}

void klqdx_scale2x_16_lookup_16_8(kl_image *src, kl_image *dst, const unsigned char *table, int xphase, int yphase,
                                  void *linebuf) {
    if (!table) return;
    (odd(xphase, dst) ? kl_scale_2x_bilinear_16_1_lookup_16_8_1_O
                      : kl_scale_2x_bilinear_16_1_lookup_16_8_1_E)(src, dst, table + 32768, xphase, yphase, linebuf);
}

void klqdx_scale4x_16_lookup_16_8(kl_image *src, kl_image *dst, const unsigned char *table, int xphase, int yphase,
                                  void *linebuf) {
    if (!table) return;
    const unsigned char *base = table + 32768;
    zoom<4, int16_t>(src, dst, xphase, yphase, linebuf, base);
}

}  // extern "C"

void kl_portable_qdx(kl_impl &t) { t.zoom_row8 = zoom_row8; }
