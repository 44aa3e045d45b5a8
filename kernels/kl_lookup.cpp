// Lookup kernels: the checks, then the active implementation's body
// (kl_lookup_body.h describes what the bodies do).
#include "kl.h"
#include "kl_impl.h"

namespace {

using u8 = unsigned char;

// What the kernels agree on before writing: sample types, band counts, a
// destination at least as large as the source area; false writes nothing.
inline bool usable(const kl_image *dst, const kl_image *src, bool is_short, int src_bands) {
    return dst && src && dst->data && src->data && dst->type == KL_BYTE &&
           src->type == (is_short ? KL_SHORT : KL_BYTE) && src->bands == src_bands && src->w > 0 && src->h > 0 &&
           dst->w >= src->w && dst->h >= src->h;
}

// Single lookup into N-band pixels; the one-band form writes every pixel.
template <bool Short, int N>
void lookup(int mask, kl_image *dst, kl_image *src, const u8 *table) {
    if (!table || !usable(dst, src, Short, 1) || dst->bands != N) return;
    const int m = N == 1 ? 1 : mask & dst->bmask & ((1 << N) - 1);
    if (!m) return;
    const kl_impl &t = kl_impl_active();
    (Short ? t.lookup16 : t.lookup8)[N - 1](dst, src, m, table);
}

// Multi lookup into N-band pixels from N-band sources; the table of every
// selected band must be there.
template <bool Short, int N>
void mlookup(int mask, kl_image *dst, kl_image *src, u8 **tables) {
    if (!tables || !usable(dst, src, Short, N) || dst->bands != N) return;
    const int m = mask & dst->bmask & ((1 << N) - 1);
    if (!m) return;
    for (int b = 0; b < N; ++b)
        if (((m >> (N - 1 - b)) & 1) && !tables[b]) return;
    const kl_impl &t = kl_impl_active();
    (Short ? t.mlookup16 : t.mlookup8)[N - 2](dst, src, m, tables);
}

}  // namespace

extern "C" {

void kl_lookup8_8_1(int mask, kl_image *dst, kl_image *src, unsigned char *table) {
    lookup<false, 1>(mask, dst, src, table);
}
void kl_lookup8_8_2(int mask, kl_image *dst, kl_image *src, unsigned char *table) {
    lookup<false, 2>(mask, dst, src, table);
}
void kl_lookup8_8_3(int mask, kl_image *dst, kl_image *src, unsigned char *table) {
    lookup<false, 3>(mask, dst, src, table);
}
void kl_lookup8_8_4(int mask, kl_image *dst, kl_image *src, unsigned char *table) {
    lookup<false, 4>(mask, dst, src, table);
}

void kl_lookup8_8(int mask, kl_image *dst, kl_image *src, unsigned char *table) {
    if (!dst) return;
    switch (dst->bands) {
    case 1: kl_lookup8_8_1(mask, dst, src, table); break;
    case 2: kl_lookup8_8_2(mask, dst, src, table); break;
    case 3: kl_lookup8_8_3(mask, dst, src, table); break;
    case 4: kl_lookup8_8_4(mask, dst, src, table); break;
    default: break;
    }
}

void kl_lookup16_8(int mask, kl_image *dst, kl_image *src, unsigned char *table) {
    if (!dst) return;
    switch (dst->bands) {
    case 1: lookup<true, 1>(mask, dst, src, table); break;
    case 2: lookup<true, 2>(mask, dst, src, table); break;
    case 3: lookup<true, 3>(mask, dst, src, table); break;
    case 4: lookup<true, 4>(mask, dst, src, table); break;
    default: break;
    }
}

void kl_mlookup8_8_2(int mask, kl_image *dst, kl_image *src, unsigned char **tables) {
    mlookup<false, 2>(mask, dst, src, tables);
}
void kl_mlookup8_8_3(int mask, kl_image *dst, kl_image *src, unsigned char **tables) {
    mlookup<false, 3>(mask, dst, src, tables);
}
void kl_mlookup8_8_4(int mask, kl_image *dst, kl_image *src, unsigned char **tables) {
    mlookup<false, 4>(mask, dst, src, tables);
}
void kl_mlookup16_8_2(int mask, kl_image *dst, kl_image *src, unsigned char **tables) {
    mlookup<true, 2>(mask, dst, src, tables);
}
void kl_mlookup16_8_3(int mask, kl_image *dst, kl_image *src, unsigned char **tables) {
    mlookup<true, 3>(mask, dst, src, tables);
}
void kl_mlookup16_8_4(int mask, kl_image *dst, kl_image *src, unsigned char **tables) {
    mlookup<true, 4>(mask, dst, src, tables);
}

void kl_mlookup8_8(int mask, kl_image *dst, kl_image *src, unsigned char **tables) {
    if (!dst) return;
    switch (dst->bands) {
    case 1:
        if (tables) kl_lookup8_8_1(mask, dst, src, tables[0]);
        break;
    case 2: kl_mlookup8_8_2(mask, dst, src, tables); break;
    case 3: kl_mlookup8_8_3(mask, dst, src, tables); break;
    case 4: kl_mlookup8_8_4(mask, dst, src, tables); break;
    default: break;
    }
}

void kl_mlookup16_8(int mask, kl_image *dst, kl_image *src, unsigned char **tables) {
    if (!dst) return;
    switch (dst->bands) {
    case 1:
        if (tables) kl_lookup16_8(mask, dst, src, tables[0]);
        break;
    case 2: kl_mlookup16_8_2(mask, dst, src, tables); break;
    case 3: kl_mlookup16_8_3(mask, dst, src, tables); break;
    case 4: kl_mlookup16_8_4(mask, dst, src, tables); break;
    default: break;
    }
}

}  // extern "C"
