// The kernel library: image descriptor, shared tables and every kl_ function.
//
// Kernels are plain functions over kl_image descriptors. A kernel that cannot
// handle its arguments returns without writing; drivers choose compatible
// descriptors beforehand. Kernels keep no state between calls.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
#include <atomic>
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

// ---- Implementation --------------------------------------------------------
// The kernels have a portable implementation and vector ones ("avx2",
// "avx512") that write the same bytes. The first kernel call chooses one for
// the process: the one named by the environment variable WREN_KERNELS
// (portable, avx2 or avx512) when this CPU can run it, otherwise the best one
// it can run, so WREN_KERNELS=portable switches vector code off.
const char *kl_implementation(void);             // the chosen implementation's name
int kl_implementation_available(const char *name);  // 1 when built in and runnable here

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
// Two sources: (band_mask, dst, src1, src2). 8-bit samples are unsigned and
// results clamp to 0..255; 16-bit samples are signed and clamp to -32768..32767.
void kl_add_8(int band_mask, kl_image *dst, kl_image *src1, kl_image *src2);
void kl_sub_8(int band_mask, kl_image *dst, kl_image *src1, kl_image *src2);
void kl_mpy_8(int band_mask, kl_image *dst, kl_image *src1, kl_image *src2);
void kl_max_8(int band_mask, kl_image *dst, kl_image *src1, kl_image *src2);
void kl_min_8(int band_mask, kl_image *dst, kl_image *src1, kl_image *src2);
void kl_and_8(int band_mask, kl_image *dst, kl_image *src1, kl_image *src2);
void kl_or_8(int band_mask, kl_image *dst, kl_image *src1, kl_image *src2);
void kl_xor_8(int band_mask, kl_image *dst, kl_image *src1, kl_image *src2);
void kl_add_16(int band_mask, kl_image *dst, kl_image *src1, kl_image *src2);
void kl_sub_16(int band_mask, kl_image *dst, kl_image *src1, kl_image *src2);
void kl_mpy_16(int band_mask, kl_image *dst, kl_image *src1, kl_image *src2);
void kl_max_16(int band_mask, kl_image *dst, kl_image *src1, kl_image *src2);
void kl_min_16(int band_mask, kl_image *dst, kl_image *src1, kl_image *src2);
void kl_and_16(int band_mask, kl_image *dst, kl_image *src1, kl_image *src2);
void kl_or_16(int band_mask, kl_image *dst, kl_image *src1, kl_image *src2);
void kl_xor_16(int band_mask, kl_image *dst, kl_image *src1, kl_image *src2);

// One source and one signed 16-bit constant per sample of the pixel
// (constants[0] for the first sample in memory).
void kl_addk_8(int band_mask, kl_image *dst, kl_image *src, short *constants);
void kl_subk_8(int band_mask, kl_image *dst, kl_image *src, short *constants);
void kl_ksub_8(int band_mask, kl_image *dst, kl_image *src, short *constants);
void kl_andk_8(int band_mask, kl_image *dst, kl_image *src, short *constants);
void kl_ork_8(int band_mask, kl_image *dst, kl_image *src, short *constants);
void kl_xork_8(int band_mask, kl_image *dst, kl_image *src, short *constants);
void kl_addk_16(int band_mask, kl_image *dst, kl_image *src, short *constants);
void kl_subk_16(int band_mask, kl_image *dst, kl_image *src, short *constants);
void kl_ksub_16(int band_mask, kl_image *dst, kl_image *src, short *constants);
void kl_andk_16(int band_mask, kl_image *dst, kl_image *src, short *constants);
void kl_ork_16(int band_mask, kl_image *dst, kl_image *src, short *constants);
void kl_xork_16(int band_mask, kl_image *dst, kl_image *src, short *constants);

// a * k with a fixed-point factor: clamp(floor((floor((a * k + 128) / 256) + R)
// * 2^(15 - shift) / 128)), R = 2^(shift - 9) when round and shift >= 9, else 0.
// Negative constants are replaced by 0 in the caller's array.
void kl_mpyk_8(int band_mask, kl_image *dst, kl_image *src, short *constants, int shift, int round);

// |a| of signed 16-bit samples, -32768 giving 32767.
void kl_abs_16(int band_mask, kl_image *dst, kl_image *src);

// A 4-byte lane value whose first 16-bit lane is 0 and whose second is v.
uint32_t kl_s16_to_kl_f32(short v);

// ---- Copy and band kernels -----------------------------------------------
// kl_copy_8 / kl_copy_16 copy the samples that band_mask selects in both
// descriptors, converting between 1, 3 and 4 samples per pixel, and move
// overlapping areas correctly. kl_mcopy writes only the bytes of each row that
// the 24-bit pattern enables (byte j when bit (7 - j) mod 24 is set);
// kl_mcopy_rl writes the same bytes working backwards.
void kl_copy_8(int band_mask, kl_image *dst, kl_image *src);
void kl_copy_16(int band_mask, kl_image *dst, kl_image *src);
void kl_mcopy(unsigned pattern, void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb);
void kl_mcopy_rl(unsigned pattern, void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb);
void kl_band_extract_8(int band_mask, kl_image *dst, kl_image *src);
void kl_band_extract_16(int band_mask, kl_image *dst, kl_image *src);
void kl_band_insert_8(int band_mask, kl_image *dst, kl_image *src);
void kl_band_insert_16(int band_mask, kl_image *dst, kl_image *src);
void kl_copy8_3_4(int band_mask, kl_image *dst, kl_image *src);
void kl_copy16_3_4(int band_mask, kl_image *dst, kl_image *src);
void kl_copy8_4_3(int band_mask, kl_image *dst, kl_image *src);
void kl_copy16_4_3(int band_mask, kl_image *dst, kl_image *src);

// ---- Lookup kernels ------------------------------------------------------
// 8-bit results through byte tables; rows and pixels come from src, which the
// destination must cover (otherwise nothing is written). Only the bands that
// mask AND dst->bmask select are written, except by the one-band kernels,
// which write every pixel. 16-bit samples are signed and their tables are
// addressed at the entry of -32768.
// Single lookup, one-band source: table entries of 1, 2 or 4 bytes for 1, 2
// or 4 destination bands (band 0 first); of 4 bytes for 3 bands, bands 0-2 in
// bytes 1-3 (byte 0 is never read).
void kl_lookup8_8(int mask, kl_image *dst, kl_image *src, unsigned char *table);
void kl_lookup8_8_1(int mask, kl_image *dst, kl_image *src, unsigned char *table);
void kl_lookup8_8_2(int mask, kl_image *dst, kl_image *src, unsigned char *table);
void kl_lookup8_8_3(int mask, kl_image *dst, kl_image *src, unsigned char *table);
void kl_lookup8_8_4(int mask, kl_image *dst, kl_image *src, unsigned char *table);
void kl_lookup16_8(int mask, kl_image *dst, kl_image *src, unsigned char *table);
// Multi lookup, as many source bands as destination bands: tables[b] is the
// one-byte table of destination band b, read only when band b is selected.
void kl_mlookup8_8(int mask, kl_image *dst, kl_image *src, unsigned char **tables);
void kl_mlookup8_8_2(int mask, kl_image *dst, kl_image *src, unsigned char **tables);
void kl_mlookup8_8_3(int mask, kl_image *dst, kl_image *src, unsigned char **tables);
void kl_mlookup8_8_4(int mask, kl_image *dst, kl_image *src, unsigned char **tables);
void kl_mlookup16_8(int mask, kl_image *dst, kl_image *src, unsigned char **tables);
void kl_mlookup16_8_2(int mask, kl_image *dst, kl_image *src, unsigned char **tables);
void kl_mlookup16_8_3(int mask, kl_image *dst, kl_image *src, unsigned char **tables);
void kl_mlookup16_8_4(int mask, kl_image *dst, kl_image *src, unsigned char **tables);

// ---- Block copy engine ---------------------------------------------------
// Copy h rows of nbytes bytes: row k of dst (dst + k * dst_lb) receives row k
// of src. Whole 64-byte destination blocks are written with aligned 64-byte
// stores; nothing outside the rows is written. kl_gcopy_* work forwards,
// kl_gcopyrl_* backwards (last row first, each row right to left), which is
// correct when the destination overlaps the source at a higher address.
// nbytes <= 0 or h <= 0 does nothing.
void kl_gcopy_m2m(void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb);
void kl_gcopy_m2f(void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb);
void kl_gcopy_f2m(void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb);
void kl_gcopy_f2f(void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb);
void kl_gcopyrl_m2m(void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb);
void kl_gcopyrl_f2f(void *dst, int dst_lb, int nbytes, int h, void *src, int src_lb);

// ---- Flips and block transposition ---------------------------------------
// kl_transpose_8 / kl_transpose_16 write dst (w x h pixels) as a mirrored copy
// of the source. fliptype 0: destination row r is source row -r (counted from
// the source's data, upwards); 1: destination pixel c of a row is source pixel
// -c (leftwards), rows going down; 5: both. src->data addresses the source
// pixel that lands on the destination's first pixel. Both images have the
// same type and band count; only the samples selected by dst->bmask AND
// src->bmask are written (type 0 copies rows with kl_copy_8 / kl_copy_16 under
// mask -1). Other arguments or flip types write nothing.
void kl_transpose_8(kl_image *dst, kl_image *src, int fliptype);
void kl_transpose_16(kl_image *dst, kl_image *src, int fliptype);

// Column-major blocks: block word i holds sample i of rows 0..7 (8-bit, row r
// in byte r) or rows 0..3 (16-bit, row r in 16-bit lane r). The _in forms
// read count samples of the first min(nrows, 8) (or 4) rows and write count
// words, the bytes of missing rows 0; the _out forms write count samples to
// each of those rows from count words. count <= 0 or nrows < 1 does nothing.
void transpose_in_8(const unsigned char *const *rows, uint64_t *block, int count, int nrows);
void transpose_out_8(const uint64_t *block, unsigned char *const *rows, int count, int nrows);
void transpose_in_16(const int16_t *const *rows, uint64_t *block, int count, int nrows);
void transpose_out_16(const uint64_t *block, int16_t *const *rows, int count, int nrows);
// The 4 x 4 block of 16-bit samples whose row r is w_r, transposed: result
// word c (lane r = lane c of w_r) is stored at (char *)dst + 8 * c * stride.
void transpose16_4x4(uint64_t w0, uint64_t w1, uint64_t w2, uint64_t w3, void *dst, int stride);

// ---- Quick zoom ----------------------------------------------------------
// Exact 2x or 4x bilinear enlargement of one band into dst (w x h pixels, the
// value written to every sample dst->bmask selects). Destination column i of
// the rectangle is zoomed column xphase + i from src->data's pixel (0 <=
// xphase < f), rows likewise; the value at fractions (a/f, b/f) between
// source pixels p00 p01 / p10 p11 is floor(((f-a)(f-b) p00 + a(f-b) p01 +
// (f-a)b p10 + ab p11) / f^2). The source sample read is the first one
// src->bmask selects, 8-bit (or signed 16-bit for the _16 forms). Reads only
// the taps of nonzero weight: columns 0 .. ceil((xphase + w - 1) / f) and rows
// 0 .. ceil((yphase + h - 1) / f). linebuf: 8 bytes per destination column,
// 8-byte aligned, contents not used. The lookup forms store table[value];
// the 16-bit forms take a table of 65536 entries whose first entry is for
// -32768 (the _E / _O 2x variants take its base moved to the entry for 0).
// The 2x forms call their even or odd variant by the parity of xphase plus
// the destination address; both write the same bytes.
void klqdx_scale2x_8(kl_image *src, kl_image *dst, int xphase, int yphase, void *linebuf);
void klqdx_scale4x_8(kl_image *src, kl_image *dst, int xphase, int yphase, void *linebuf);
void klqdx_scale2x_8_lookup_8_8(kl_image *src, kl_image *dst, const unsigned char *table, int xphase, int yphase,
                                void *linebuf);
void klqdx_scale4x_8_lookup_8_8(kl_image *src, kl_image *dst, const unsigned char *table, int xphase, int yphase,
                                void *linebuf);
void klqdx_scale2x_16_lookup_16_8(kl_image *src, kl_image *dst, const unsigned char *table, int xphase, int yphase,
                                  void *linebuf);
void klqdx_scale4x_16_lookup_16_8(kl_image *src, kl_image *dst, const unsigned char *table, int xphase, int yphase,
                                  void *linebuf);
void klqdx_scale2x_8_0(kl_image *src, kl_image *dst, int xphase, int yphase, void *linebuf);
void klqdx_scale2x_8_1(kl_image *src, kl_image *dst, int xphase, int yphase, void *linebuf);
void kl_scale_2x_bilinear_8_1_lookup_8_8_1_E(kl_image *src, kl_image *dst, const unsigned char *table, int xphase,
                                             int yphase, void *linebuf);
void kl_scale_2x_bilinear_8_1_lookup_8_8_1_O(kl_image *src, kl_image *dst, const unsigned char *table, int xphase,
                                             int yphase, void *linebuf);
void kl_scale_2x_bilinear_16_1_lookup_16_8_1_E(kl_image *src, kl_image *dst, const unsigned char *base, int xphase,
                                               int yphase, void *linebuf);
void kl_scale_2x_bilinear_16_1_lookup_16_8_1_O(kl_image *src, kl_image *dst, const unsigned char *base, int xphase,
                                               int yphase, void *linebuf);

// ---- Threshold -------------------------------------------------------------
// kl_threshold_8 / kl_threshold_16: per band that mask, dst->bmask and
// src->bmask all select, dst = map where low <= src <= high, else src;
// values indexed by band (8-bit: clamped to 0..255 first; 16-bit: signed as
// given). Unselected bands keep their bytes. w and h come from dst.
void kl_threshold_8(int mask, kl_image *dst, kl_image *src, const short *low, const short *high, const short *map);
void kl_threshold_16(int mask, kl_image *dst, kl_image *src, const short *low, const short *high, const short *map);
// ---- Affine warp -----------------------------------------------------------
// Destination pixel (X, Y), X = dst->x + i and Y = dst->y + j for pixel (i, j)
// of the area, samples the source at xs = a X + c Y + tx, ys = b X + d Y + ty
// (source pixels from src->data), in 16.16 fixed point with 1/256 phases.
// Pixels whose position falls outside the source (with the filter's margin:
// none for nearest, the next column and row for bilinear, 1.5 pixels before
// and the last 3 columns and rows for bicubic) are not written. row_offsets[r]
// is the byte offset of source row r. The _3_4 kernels write bytes 1-3 of
// each 4-byte destination pixel, never byte 0. The 8-bit bilinear and
// bicubic kernels compute a row's pixels singly by exact integer formulas
// until the destination address is aligned (bilinear 1 band and 3 into 4: to
// 8 bytes, the others to 4), then in groups (bilinear 4, 4, 2 pixels for 1, 3,
// 3 into 4 bands; bicubic 4, 4, 1) from the table weights in 16-bit lanes,
// then the rest singly; the two differ by rounding. The 16-bit kernels use
// Q15 table weights, rounded sums and saturation. A kernel whose layout
// conditions fail (those kl_affine_possible tests) writes nothing; sources
// wider or taller than 32767 pixels have no kernel.
void kl_affine(kl_image *dst, kl_image *src, const char *interp, int *row_offsets, void *table, float a, float b,
               float c, float d, float tx, float ty);
int kl_affine_possible(kl_image *dst, kl_image *src, const char *interp);
#define KL_AFFINE_NN(n) void n(kl_image *dst, kl_image *src, int *row_offsets, float a, float b, float c, float d, \
                               float tx, float ty);
#define KL_AFFINE_FILTER(n) void n(kl_image *dst, kl_image *src, int *row_offsets, void *table, float a, float b, \
                                   float c, float d, float tx, float ty);
KL_AFFINE_NN(kl_affine_nn_8_1_1) KL_AFFINE_NN(kl_affine_nn_8_3_3) KL_AFFINE_NN(kl_affine_nn_8_3_4)
KL_AFFINE_NN(kl_affine_nn_8_4_4) KL_AFFINE_NN(kl_affine_nn_16_1_1) KL_AFFINE_NN(kl_affine_nn_16_3_3)
KL_AFFINE_NN(kl_affine_nn_16_4_4)
KL_AFFINE_FILTER(kl_affine_bl_8_1_1) KL_AFFINE_FILTER(kl_affine_bl_8_3_3) KL_AFFINE_FILTER(kl_affine_bl_8_3_4)
KL_AFFINE_FILTER(kl_affine_bc_8_1_1) KL_AFFINE_FILTER(kl_affine_bc_8_3_3) KL_AFFINE_FILTER(kl_affine_bc_8_3_4)
KL_AFFINE_FILTER(kl_affine_bl_16_1_1) KL_AFFINE_FILTER(kl_affine_bl_16_3_3)
KL_AFFINE_FILTER(kl_affine_bc_16_1_1) KL_AFFINE_FILTER(kl_affine_bc_16_3_3)
#undef KL_AFFINE_NN
#undef KL_AFFINE_FILTER
// Filter tables (malloc'd; null when out of memory), entries of four signed
// 16-bit lanes. Bilinear 8-bit: entry f (0..255) is (A, B, A, B), entry 256 + f
// is (A, A, B, B), A = (256 - f) * 64, B = f * 64. Bilinear 16-bit: A = (256 -
// f) * 128 (32767 for f = 0), B = f * 128, entry f (A, A, B, B), entry 256 + f
// (A, B, A, B). Bicubic (alpha -0.5 unless given): word f holds the four
// weights of phase f; the 8-bit table (weights scaled by 16387, one unit of
// correction towards that sum) then holds each weight replicated in a word,
// four words per phase; the 16-bit table (scaled by 32768, phase 0 exactly
// 32767) three words per phase, each weight three times.
void *kl_affine_create_bilinear(void);
void *kl_affine_create_bilinear_16(void);
void *kl_affine_create_bicubic(void);
void *kl_affine_create_bicubic_16(void);
void *kl_affine_create_bicubic_given_alpha_8(float alpha);
void *kl_affine_create_bicubic_given_alpha_16(float alpha);
uint64_t bilinear_x_filter(int f);
uint64_t bilinear_y_filter(int f);
uint64_t bilinear_x_filter_16(int f);
uint64_t bilinear_y_filter_16(int f);

// ---- Resampling ----------------------------------------------------------
// Scaling by (xscale, yscale) with a translation through a separable filter
// of 1 to KL_MAXRESAMPLE taps per direction (kl_resample.cpp describes the
// arithmetic and geometry). Destination column i is centred on source
// position (i - xtrans) / xscale, source pixel k covering [k, k + 1).
enum { KL_MAXRESAMPLE = 8 };

// A resample table: kind 0 nearest, 1 bilinear, 2 bicubic, 3 general. A
// filter table holds `subsamples` phase entries of 32 bytes: Q14 weights
// (16384 = 1.0), one after the other for 8-bit data, each twice for 16-bit
// data (layout KL_BYTE or KL_SHORT). A direction of width 1 has none.
typedef struct kl_resample_table {
    int32_t kind;
    int32_t edgeH, edgeV;
    int16_t *filterH, *filterV;
    int32_t subsamplesH, subsamplesV;
    int32_t filterwidthH, filterwidthV;
    int32_t layout;  // the sample type the weights are laid out for
} kl_resample_table;

// Builders: null for an edge mode outside 0..2, a width outside
// 1..KL_MAXRESAMPLE, subsamples below 1 (or above 2^20) where a filter needs
// them, missing coefficients, or no memory. type 8 lays the weights out for
// 8-bit data, any other value for 16-bit data. Weights are truncated and
// saturated to -32768..32767.
kl_resample_table *kl_resample_create_nearest(int edge);
kl_resample_table *kl_resample_create_bilinear(int subsH, int subsV, int type, int edge);
kl_resample_table *kl_resample_create_bicubic(int subsH, int subsV, int type, int edge);
// coeffs: phase-major, phase p tap k at p * width + k.
kl_resample_table *kl_resample_create_general(const float *coeffsH, const float *coeffsV, int subsH, int subsV,
                                              int widthH, int widthV, int type, int edgeH, int edgeV);
void kl_resample_destroy(kl_resample_table *table);

// Writes the samples that mask AND dst->bmask select. Returns 1 when done
// (also when nothing had to be written), 0 when a buffer could not be
// allocated or the arguments are not ones a builder and a driver make
// (different types or pixel sizes, a scale that is not positive and finite...);
// nothing is written then.
int kl_scale(int mask, kl_image *dst, kl_image *src, float xscale, float yscale, float xtrans, float ytrans,
             kl_resample_table *table);

// kl_scale in two steps for callers that must not fail half-way: the bytes
// of workspace a call needs (0 when it writes nothing, -1 for arguments
// kl_scale refuses), and the call with that workspace (8-byte aligned), which
// allocates nothing.
long kl_scale_worksize(int mask, kl_image *dst, kl_image *src, float xscale, float yscale, float xtrans,
                       float ytrans, kl_resample_table *table);
int kl_scale_work(int mask, kl_image *dst, kl_image *src, float xscale, float yscale, float xtrans, float ytrans,
                  kl_resample_table *table, void *work);

// The two-pass resampler behind kl_scale for edge modes zero fill and extend:
// iTableH[i] is the first source sample (pixel index x samples per pixel) of
// column i's footprint, iTableV[j] the first source row of row j, phasesH /
// phasesV the phase entries per column / row (unused for width 1). buffer
// holds kl_resample_bufsize bytes, 8-byte aligned, or is null (allocated
// here). 1 when done, 0 on failure (nothing written).
int kl_resample_general(kl_image *src, kl_image *dst, int filterwidthH, int filterwidthV, int *iTableH,
                        int *iTableV, int16_t **phasesH, int16_t **phasesV, int integer_scale, int edgeH, int edgeV,
                        void *buffer);
// The same in single-precision floating point: the sum of sample x wH x wV
// x 2^-28 over the taps, truncated toward zero and clamped.
int kl_resample_general_reference(kl_image *src, kl_image *dst, int filterwidthH, int filterwidthV, int *iTableH,
                                  int *iTableV, int16_t **phasesH, int16_t **phasesV, int integer_scale, int edgeH,
                                  int edgeV, void *buffer);
long kl_resample_bufsize(kl_image *src, kl_image *dst, int filterwidthH, int *iTableH, int *iTableV);
// trunc(c0 * 2^shift), trunc(c1 * 2^shift) as two 16-bit lanes (saturated);
// trunc(c * 2^shift) in both lanes, the layout of a 16-bit weight.
uint32_t float_to_fixed_8(float c0, float c1, int shift);
uint32_t float_to_fixed_16(float c, int shift);
// Process-wide: nonzero use_reference replaces kl_resample_general by the
// reference; zero do_special_cases switches the 2x paths off. Each kl_scale
// call reads them once, at its start, so setting them while calls run on
// other threads is safe (those calls keep the value they started with).
#ifdef __cplusplus
extern std::atomic<int> use_reference;
extern std::atomic<int> do_special_cases;
#else
extern _Atomic int use_reference;
extern _Atomic int do_special_cases;
#endif
// ---- Convolution ---------------------------------------------------------
// Correlation of one 8-bit band with N x N coefficients (N = 3, 5, 7):
// coefficient (i, j) multiplies the source pixel (x - r + j, y - r + i),
// r = N / 2; callers wanting a true convolution pass the coefficients
// reversed. dst and src cover the same area (src at least as large); exactly
// the destination pixels whose footprint lies in src extended by its x, y,
// padx and pady are written, every other pixel keeps its value. The general
// kernels take k[N x N] and act for edge 0 or 1; the separable ones take a
// horizontal h[N] and a vertical v[N] and act for edge 0, 1 or 2. Several
// bands are filtered band by band: the lowest selected bands of src and dst
// pair up, then the next ones, as long as both are in mask; the real source
// pixels around the area take part as for one band. Fixed point: general
// Q = trunc(k * 2^s), s <= 12 the largest with 2^s <= 32767 / max|k|, taps
// floor((P * Q + 128) / 256) summed in wrapping 16 bits, packed with
// pack_scale 15 - s after round_8 (5x5, 7x7; the 3x3 body truncates and its
// lead-in and tail pixels are computed in single precision); separable
// coefficients within +-3 use x 4096 and 16-bit sums, larger ones
// x 2^t x 256 and exact 32-bit horizontal sums divided by 2^(2t + 8).
void kl_convolve3x3_8(int mask, kl_image *dst, kl_image *src, float *k, int edge, int flag);
void kl_convolve5x5_8(int mask, kl_image *dst, kl_image *src, float *k, int edge, int flag);
void kl_convolve7x7_8(int mask, kl_image *dst, kl_image *src, float *k, int edge, int flag);
void kl_sconvolve3x3_8(int mask, kl_image *dst, kl_image *src, float *h, float *v, int edge);
void kl_sconvolve5x5_8(int mask, kl_image *dst, kl_image *src, float *h, float *v, int edge);
void kl_sconvolve7x7_8(int mask, kl_image *dst, kl_image *src, float *h, float *v, int edge);
// One-band workers with the fixed-point coefficients made (mask bit 0 and
// dst->bmask bit 0 select the band). low: 1 for the 16-bit separable form.
void kl_convolve3x3_nwzf_8(int mask, kl_image *dst, kl_image *src, float *k, short *Q, int pack_scale);
void kl_convolve5x5_nwzf_8(int mask, kl_image *dst, kl_image *src, short *Q, int pack_scale);
void kl_convolve7x7_nwzf_8(int mask, kl_image *dst, kl_image *src, short *Q, int pack_scale);
void kl_sconvolve3x3_nwzf_8(int mask, kl_image *dst, kl_image *src, short *H, short *V, int pack_scale, int low);
void kl_sconvolve5x5_nwzf_8(int mask, kl_image *dst, kl_image *src, short *H, short *V, int pack_scale, int low);
void kl_sconvolve7x7_nwzf_8(int mask, kl_image *dst, kl_image *src, short *H, short *V, int pack_scale, int low);
// Rounding added before packing at pack_scale p: 2^(6 - p) in both 16-bit
// lanes for p <= 6, else 0. num_bits[m]: set bits of m.
extern const uint32_t round_8[16];
extern const int32_t num_bits[16];

// ---- Set value -----------------------------------------------------------
// values[b] into sample b of every pixel, for the samples mask AND
// dst->bmask selects; the 8-bit form clamps values to 0..255. Reads nothing.
void kl_setval_8(int mask, kl_image *dst, const short *values);
void kl_setval_16(int mask, kl_image *dst, const short *values);

// ---- Frame-buffer combine ------------------------------------------------
// Every pixel of a 4-sample 8-bit dst written whole as 0, band1, band2,
// band3 from three one-band images at least dst's size.
void kl_combine_wren(kl_image *dst, kl_image *band1, kl_image *band2, kl_image *band3);

#ifdef __cplusplus
}
#endif
