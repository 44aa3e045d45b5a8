// Quick zoom: the checks, then the active implementation's body
// (kl_qdx_body.h describes what the bodies do).
#include <cstdint>

#include "kl.h"
#include "kl_impl.h"

namespace {

using u8 = unsigned char;

// F: 2 or 4; S: uint8_t or int16_t samples; table: null for 8-bit samples
// stored as they are, else the entry of value 0 (8-bit: the table itself).
template <int F, class S>
void zoom(kl_image *src, kl_image *dst, int xphase, int yphase, void *linebuf, const u8 *table) {
    const int want = sizeof(S) == 1 ? KL_BYTE : KL_SHORT;
    if (!src || !dst || !src->data || !dst->data || !linebuf) return;
    if (src->type != want || dst->type != KL_BYTE || src->bands < 1 || src->bands > 4 || dst->bands < 1 ||
        dst->bands > 4)
        return;
    if (xphase < 0 || xphase >= F || yphase < 0 || yphase >= F || dst->w <= 0 || dst->h <= 0) return;
    // A selected source sample to read and a destination sample to write.
    if (!(src->bmask & ((1 << src->bands) - 1)) || !(dst->bmask & ((1 << dst->bands) - 1))) return;
    const kl_impl &t = kl_impl_active();
    (sizeof(S) == 1 ? t.zoom8 : t.zoom16)[F == 4](src, dst, xphase, yphase, linebuf, table);
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
