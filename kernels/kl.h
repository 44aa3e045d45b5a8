// The kernel library: image descriptor, shared tables and every kl_ function.
//
// Kernels are plain functions over kl_image descriptors. A kernel that cannot
// handle its arguments returns without writing; drivers choose compatible
// descriptors beforehand. Kernels keep no state between calls.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Sample types.
enum { KL_BIT = 1, KL_BYTE = 8, KL_SHORT = 16 };

// Edge modes of the filtering kernels.
enum { KL_EDGE_NO_WRITE = 0, KL_EDGE_ZERO_FILL = 1, KL_EDGE_EXTEND = 2 };

// An image or a rectangle of one. Pixel (i, j) of the area is at
// data + j * lb + i * bpp; for KL_BIT, pixel i of a row is bit x + i counted
// from the row's first byte. In an image of n bands, bit n - 1 - k of bmask
// selects sample k (sample 0 at the lowest address); kernels write only
// selected samples.
typedef struct kl_image {
    int16_t fb;      // 1 when data addresses a window in the frame buffer
    int16_t type;    // KL_BIT, KL_BYTE or KL_SHORT
    int32_t bands;   // samples per stored pixel, 1 to 4 (the pixel stride)
    int32_t bmask;   // band mask, at most 4 bits
    unsigned char *data;  // first pixel of the area
    int32_t lb;      // line bytes
    int32_t bpp;     // bytes per pixel (0 for KL_BIT)
    int32_t w, h;    // area in pixels
    int32_t x, y;    // readable pixels left of and rows above the area (KL_BIT: bit offset)
    int32_t padx, pady;  // readable pixels right of and rows below the area
    int32_t parent;  // nonzero when data is borrowed and must not be freed
} kl_image;

// ---- Descriptors ---------------------------------------------------------
kl_image *kl_createimage(int type, int bands, int w, int h, void *data, int align);
kl_image *kl_initimage(kl_image *img, int type, int bands, int w, int h, void *data, int align);
void kl_destroyimage(kl_image *img);
void kl_freeimage(kl_image *img);
kl_image *kl_copyimage(kl_image *src, int alloc);

// ---- Shared tables -------------------------------------------------------
extern const uint32_t kl_rgb_masks[16];
extern const uint32_t *const kl_masks_8[5];
extern const uint32_t kl_band_8_1[16], kl_band_8_2[16], kl_band_8_3[16], kl_band_8_4[16];
extern const uint32_t *const kl_masks_16b[5];
extern const uint32_t kl_band_16_1b[16], kl_band_16_2b[16], kl_band_16_3b[16], kl_band_16_4b[16];
extern const uint32_t *const kl_masks_16[5];
extern const uint32_t kl_band_16_1[16], kl_band_16_2[16], kl_band_16_3[16], kl_band_16_4[16];
extern const int32_t *const kl_offset_8[5];
extern const int32_t kl_offset_8_1[16], kl_offset_8_2[16], kl_offset_8_3[16], kl_offset_8_4[16];
extern const int32_t *const kl_offset_16[5];
extern const int32_t kl_offset_16_1[16], kl_offset_16_2[16], kl_offset_16_3[16], kl_offset_16_4[16];
extern const uint32_t *const kl_expand_8[5];
extern const uint32_t kl_expand8_1[256], kl_expand8_2[256], kl_expand8_3[256], kl_expand8_4[256];
extern const uint32_t kl_scale_16_8;

// ---- Arithmetic and logic kernels ----------------------------------------

// ---- Copy and band kernels -----------------------------------------------

// ---- Block copy engine ---------------------------------------------------

#ifdef __cplusplus
}
#endif
