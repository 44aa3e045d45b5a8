// The seam between the exported kl_ functions and the code that computes.
//
// An implementation is a table (kl_impl) with one entry per computing kernel;
// every implementation writes the same bytes. The exported functions check
// their arguments and call the entry of the implementation chosen once per
// process (kl_impl_active, kl_dispatch.cpp: the one WREN_KERNELS names, or the
// best this CPU runs).
//
// Each family owns two files:
//   kl_<family>.cpp     its exported functions: the checks, then the entry
//                       (those of the KL_ lists below are made in kl_dispatch.cpp);
//   kl_<family>_body.h  its bodies, templates over the body policy V in the
//                       family's namespace, and entries<V>(t), which puts the
//                       bodies V has into the table.
// One file per implementation compiles every body header for its instruction
// set: kl_portable.cpp (V = Words, kl_body.h: 8-byte words and lane.h),
// kl_avx2.cpp and kl_avx512.cpp (their lane vocabulary and policy at the top,
// everything under a target pragma so that the library loads on any CPU). A
// vector table starts as a copy of the portable one; each family's
// entries<V> replaces what the family has a body for.
//
// Adding a vector body to a family touches its body header only:
//   1. write it once over the vocabulary, generic over V (V::W, V::bytes,
//      V::load / V::store, adds_u8, max_s16, ... as kl_arith_body.h does); an
//      instruction the vocabulary lacks (byte permutes, gathers) is written
//      with intrinsics inside #if defined(KL_AVX2) or defined(KL_AVX512),
//      which the instruction-set files define and the portable one does not;
//   2. assign it in the family's entries<V> for the policies it serves, e.g.
//      if constexpr (V::isa == kl_isa::avx512) t.lookup8[0] = single<V, false, 1>;
//      arguments the body does not take go to the family's portable template.
// An entry of a new shape is a line in its family's block of kl_impl below.
// Bodies include no system header the instruction-set files do not include
// before their pragma (its templates would be compiled for the vector target,
// and the linker may keep that copy for portable code too), and round
// floating point alike on every target (the library is built without fused
// multiply-adds). The kernel tests and the CRC families run under every
// implementation (WREN_KERNELS=portable|avx2|avx512).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "kl.h"

// The implementations, from the fallback to the best.
enum class kl_isa { portable, avx2, avx512 };

// ---- Arithmetic, logic, copy and band: the entries check their arguments ----
// Kernels by signature, named without their kl_ prefix.
#define KL_TWO_SOURCE(X)                                                                                    \
    X(add_8) X(sub_8) X(mpy_8) X(max_8) X(min_8) X(and_8) X(or_8) X(xor_8) X(add_16) X(sub_16) X(mpy_16) \
    X(max_16) X(min_16) X(and_16) X(or_16) X(xor_16)
#define KL_CONSTANT(X)                                                                                   \
    X(addk_8) X(subk_8) X(ksub_8) X(andk_8) X(ork_8) X(xork_8) X(addk_16) X(subk_16) X(ksub_16) X(andk_16) \
    X(ork_16) X(xork_16)
#define KL_ONE_SOURCE(X)                                                                                   \
    X(abs_16) X(band_extract_8) X(band_extract_16) X(band_insert_8) X(band_insert_16) X(copy8_3_4)        \
    X(copy16_3_4) X(copy8_4_3) X(copy16_4_3)
#define KL_MASKED_ROWS(X) X(mcopy) X(mcopy_rl)

using kl_two_fn = void (*)(int, kl_image *, kl_image *, kl_image *);
using kl_const_fn = void (*)(int, kl_image *, kl_image *, short *);
using kl_one_fn = void (*)(int, kl_image *, kl_image *);
using kl_mpyk_fn = void (*)(int, kl_image *, kl_image *, short *, int, int);
using kl_rows_fn = void (*)(unsigned, void *, int, int, int, void *, int);
using kl_block_fn = void (*)(void *, int, int, int, void *, int);
using kl_thresh_fn = void (*)(int, kl_image *, kl_image *, const short *, const short *, const short *);

// ---- The other entries take what the exported function has checked --------

// Lookups: the destination covers the source area, m is the band mask to
// write (1 for one band) and the tables of its bands are there.
using kl_lut_fn = void (*)(const kl_image *dst, const kl_image *src, int m, const unsigned char *table);
using kl_mlut_fn = void (*)(const kl_image *dst, const kl_image *src, int m, const unsigned char *const *tables);

// Flips: type 0, 1 or 5, m the bands to write. Block transposition (kl.h):
// count >= 1 and nrows >= 1.
using kl_flip_fn = void (*)(kl_image *dst, kl_image *src, int type, int m);
using kl_tin8_fn = void (*)(const unsigned char *const *rows, uint64_t *block, int count, int nrows);
using kl_tout8_fn = void (*)(const uint64_t *block, unsigned char *const *rows, int count, int nrows);
using kl_tin16_fn = void (*)(const int16_t *const *rows, uint64_t *block, int count, int nrows);
using kl_tout16_fn = void (*)(const uint64_t *block, int16_t *const *rows, int count, int nrows);
using kl_t4x4_fn = void (*)(uint64_t w0, uint64_t w1, uint64_t w2, uint64_t w3, void *dst, int stride);

// Quick zoom: table is null (8-bit values stored as they are) or addressed at
// the entry of value 0.
using kl_zoom_fn = void (*)(const kl_image *src, const kl_image *dst, int xphase, int yphase, void *linebuf,
                            const unsigned char *table);

// Affine kernels by kind, sample size (8-bit, 16-bit) and layout; null where
// there is none. Nearest ignores the table.
using kl_affine_fn = void (*)(kl_image *dst, kl_image *src, const int *ro, const void *table, float a, float b,
                              float c, float d, float tx, float ty);
enum { KL_AFFINE_NEAREST, KL_AFFINE_BILINEAR, KL_AFFINE_BICUBIC };
enum { KL_AFFINE_1_1, KL_AFFINE_3_3, KL_AFFINE_3_4, KL_AFFINE_4_4 };  // source -> destination bands

// Convolution with the fixed-point coefficients made (kl.h); several bands
// are filtered band by band.
using kl_conv_fn = void (*)(int mask, kl_image *dst, kl_image *src, const float *k, const short *Q, int ps);
using kl_sconv_fn = void (*)(int mask, kl_image *dst, kl_image *src, const short *H, const short *V, int ps,
                             int low);

// The resampler's passes (kl_resample.cpp plans them). The horizontal pass
// filters n source rows (up to 8 of 8-bit samples, 4 of 16-bit): rows[i]
// points at the first held pixel b0 of its row, whose nb pixels are readable,
// and outs[i] receives the w filtered pixels of spp samples. Column i's
// footprint starts at source sample iTableH[i] (pixel iTableH[i] / spp); taps
// past the held pixels read 0, or with extend the nearest held pixel.
struct kl_resample_h {
    const int *iTableH;
    const int16_t *const *phases;  // column i's phase entry (fw > 1)
    int b0, nb, spp, fw, layout, w;
    bool extend;
    uint64_t *block, *out;  // scratch: 8 bytes per sample of nb + 1 pixels, of w pixels
    const void *plan;       // made by resample_plan, else null
};
using kl_resample_h_fn = void (*)(const kl_resample_h &h, const unsigned char *const *rows,
                                  unsigned char *const *outs, int n);
// Prepares the horizontal pass of one call in `bytes` of space that lives as
// long as the call (setting h.plan), or returns false: the pass then works
// with block and out. Null where a body needs no plan.
using kl_resample_plan_fn = bool (*)(kl_resample_h &h, void *space, size_t bytes);
// The vertical pass of row d of dst: its samples from the fw filtered rows
// taps[k] with the weights wk[k] (fw 1: the row itself), written where mask
// selects (full: every sample); work: 8 bytes of scratch per sample.
using kl_resample_v_fn = void (*)(const kl_image *dst, unsigned char *d, int mask, bool full,
                                  const unsigned char *const *taps, const int *wk, int fw, void *work);
// Nearest neighbour without filtering: destination column i from source pixel
// col[i], row j from source row row[j]; line: scratch of a destination row.
using kl_resample_nn_fn = void (*)(kl_image *dst, const kl_image *src, int mask, const int *col, const int *row,
                                   int edgeH, int edgeV, unsigned char *line, bool doubling);

// Set value (m the bands to write) and the combine of three bands.
using kl_setval_fn = void (*)(const kl_image *dst, int m, const short *values);
using kl_combine_fn = void (*)(const kl_image *dst, const kl_image *band1, const kl_image *band2,
                               const kl_image *band3);

struct kl_impl {
    const char *name;

    // arithmetic, logic and constants (kl_arith_body.h), band moves and 3 <-> 4
    // converters (kl_band_body.h), masked rows (kl_copy_body.h)
#define KL_ENTRY(n, type) type n;
#define KL_TWO_ENTRY(n) KL_ENTRY(n, kl_two_fn)
#define KL_CONST_ENTRY(n) KL_ENTRY(n, kl_const_fn)
#define KL_ONE_ENTRY(n) KL_ENTRY(n, kl_one_fn)
#define KL_ROWS_ENTRY(n) KL_ENTRY(n, kl_rows_fn)
    KL_TWO_SOURCE(KL_TWO_ENTRY)
    KL_CONSTANT(KL_CONST_ENTRY)
    KL_ONE_SOURCE(KL_ONE_ENTRY)
    KL_MASKED_ROWS(KL_ROWS_ENTRY)
#undef KL_ENTRY
#undef KL_TWO_ENTRY
#undef KL_CONST_ENTRY
#undef KL_ONE_ENTRY
#undef KL_ROWS_ENTRY
    kl_mpyk_fn mpyk_8;

    // block copy engines, forward and backward (kl_copy_body.h)
    kl_block_fn gcopy, gcopyrl;

    // thresholds (kl_threshold_body.h)
    kl_thresh_fn threshold_8, threshold_16;

    // lookups (kl_lookup_body.h)
    kl_lut_fn lookup8[4], lookup16[4];     // single lookup into 1..4 bands
    kl_mlut_fn mlookup8[3], mlookup16[3];  // multi lookup, 2..4 bands

    // flips and block transposition (kl_transpose_body.h)
    kl_flip_fn transpose_8, transpose_16;
    kl_tin8_fn transpose_in_8;
    kl_tout8_fn transpose_out_8;
    kl_tin16_fn transpose_in_16;
    kl_tout16_fn transpose_out_16;
    kl_t4x4_fn transpose16_4x4;

    // quick zoom (kl_qdx_body.h)
    kl_zoom_fn zoom8[2], zoom16[2];  // 2x, 4x

    // affine warp (kl_affine_body.h)
    kl_affine_fn affine[3][2][4];  // kind, sample size, layout

    // convolution (kl_convolve_body.h)
    kl_conv_fn convolve[3];    // general: 3x3, 5x5, 7x7
    kl_sconv_fn sconvolve[3];  // separable

    // resampling (kl_resample_body.h)
    kl_resample_h_fn resample_h[2];  // 8-bit, 16-bit samples
    kl_resample_plan_fn resample_plan[2];
    kl_resample_v_fn resample_v[2];
    kl_resample_nn_fn resample_nearest;

    // set value and combine (kl_setval_body.h, kl_combine_body.h)
    kl_setval_fn setval_8, setval_16;
    kl_combine_fn combine_wren;
};

// The named implementation ("portable", "avx2", "avx512"), or null when it is
// not built in or this CPU cannot run it.
const kl_impl *kl_impl_find(const char *name);

// The implementation the exported functions use: WREN_KERNELS when it names
// an available one, otherwise the best available. Chosen on first use.
__attribute__((visibility("hidden"))) const kl_impl &kl_impl_active();

// The implementations' tables (kl_portable.cpp, kl_avx2.cpp, kl_avx512.cpp);
// the vector ones are null when not built, and their code runs only on a CPU
// with the features kl_impl_find checks.
const kl_impl *kl_impl_portable();
const kl_impl *kl_impl_avx2();
const kl_impl *kl_impl_avx512();

// The 3x3 convolution's lead-in and tail pixel (x, y) in single precision,
// shared by every implementation so that all round alike (kl_convolve.cpp).
unsigned char kl_conv_float3x3(const kl_image *src, int x, int y, const float *k);
