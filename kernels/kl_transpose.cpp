// Flips and block transposition: the checks, then the active implementation's
// body (kl_transpose_body.h describes what the bodies do).
#include <cstdint>

#include "kl.h"
#include "kl_impl.h"

namespace {

// sb: sample size in bytes.
template <int sb>
void flip(kl_image *dst, kl_image *src, int type) {
    if (!dst || !src || !dst->data || !src->data) return;
    const int want = sb == 1 ? KL_BYTE : KL_SHORT;
    const int bands = dst->bands;
    const int m = dst->bmask & src->bmask & 0xf;
    if (dst->type != want || src->type != want || src->bands != bands || bands < 1 || bands > 4 || m == 0) return;
    if ((type != 0 && type != 1 && type != 5) || dst->w <= 0 || dst->h <= 0) return;
    (sb == 1 ? kl_impl_active().transpose_8 : kl_impl_active().transpose_16)(dst, src, type, m);
}

bool block_args(const void *rows, const void *block, int count, int nrows) {
    return rows && block && count > 0 && nrows >= 1;
}

}  // namespace

extern "C" {

void kl_transpose_8(kl_image *dst, kl_image *src, int fliptype) { flip<1>(dst, src, fliptype); }

void kl_transpose_16(kl_image *dst, kl_image *src, int fliptype) { flip<2>(dst, src, fliptype); }

void transpose_in_8(const unsigned char *const *rows, uint64_t *block, int count, int nrows) {
    if (block_args(rows, block, count, nrows)) kl_impl_active().transpose_in_8(rows, block, count, nrows);
}

void transpose_out_8(const uint64_t *block, unsigned char *const *rows, int count, int nrows) {
    if (block_args(rows, block, count, nrows)) kl_impl_active().transpose_out_8(block, rows, count, nrows);
}

void transpose_in_16(const int16_t *const *rows, uint64_t *block, int count, int nrows) {
    if (block_args(rows, block, count, nrows)) kl_impl_active().transpose_in_16(rows, block, count, nrows);
}

void transpose_out_16(const uint64_t *block, int16_t *const *rows, int count, int nrows) {
    if (block_args(rows, block, count, nrows)) kl_impl_active().transpose_out_16(block, rows, count, nrows);
}

void transpose16_4x4(uint64_t w0, uint64_t w1, uint64_t w2, uint64_t w3, void *dst, int stride) {
    kl_impl_active().transpose16_4x4(w0, w1, w2, w3, dst, stride);
}

}  // extern "C"
