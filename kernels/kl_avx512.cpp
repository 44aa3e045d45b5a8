// The AVX-512 implementation (F, BW, VL and VBMI): the kernels' bodies in
// 64-byte vectors. Byte-masked loads and stores let a vector cover any part
// of a row under its band enables: masked-off bytes are neither read nor
// written.
//
// This file holds the AVX-512 lane vocabulary and body policy, then compiles
// every family's body header (kl_<family>_body.h) for the AVX-512 target,
// function by function (the pragma below, after every system header), so
// that the library still loads and runs on CPUs without it;
// kl_impl_avx512() is asked only after the CPU check. KL_AVX512 (and
// KL_AVX2, whose instructions the target includes) let the body headers
// compile their own intrinsics.
#include <immintrin.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kl_impl.h"

#if defined(__x86_64__)

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl,avx512vbmi,bmi2")
// GCC 12 reports its own intrinsics' undefined pass-through operands as uninitialized.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#define KL_AVX2 1
#define KL_AVX512 1

namespace {

using W = __m512i;

// ---- Lane vocabulary -------------------------------------------------------

inline W vload(const void *p, W) { return _mm512_loadu_si512(p); }
inline W adds_u8(W a, W b) { return _mm512_adds_epu8(a, b); }
inline W subs_u8(W a, W b) { return _mm512_subs_epu8(a, b); }
inline W max_u8(W a, W b) { return _mm512_max_epu8(a, b); }
inline W min_u8(W a, W b) { return _mm512_min_epu8(a, b); }
inline W adds_s16(W a, W b) { return _mm512_adds_epi16(a, b); }
inline W subs_s16(W a, W b) { return _mm512_subs_epi16(a, b); }
inline W max_s16(W a, W b) { return _mm512_max_epi16(a, b); }
inline W min_s16(W a, W b) { return _mm512_min_epi16(a, b); }
inline W eq_u8(W a, W b) { return _mm512_movm_epi8(_mm512_cmpeq_epi8_mask(a, b)); }
inline W eq_s16(W a, W b) { return _mm512_movm_epi16(_mm512_cmpeq_epi16_mask(a, b)); }

// Products of the even and the odd bytes in 16-bit lanes, each clamped to 255.
inline W mul_u8(W a, W b) {
    const W lo = _mm512_set1_epi16(0xff);
    const W even = _mm512_min_epu16(_mm512_mullo_epi16(_mm512_and_si512(a, lo), _mm512_and_si512(b, lo)), lo);
    const W odd = _mm512_min_epu16(_mm512_mullo_epi16(_mm512_srli_epi16(a, 8), _mm512_srli_epi16(b, 8)), lo);
    return _mm512_or_si512(even, _mm512_slli_epi16(odd, 8));
}

// Full 32-bit products; where the high half is not the low half's sign, the
// product saturates by the high half's sign.
inline W mul_s16(W a, W b) {
    const W lo = _mm512_mullo_epi16(a, b), hi = _mm512_mulhi_epi16(a, b);
    const __mmask32 fits = _mm512_cmpeq_epi16_mask(hi, _mm512_srai_epi16(lo, 15));
    const W sat = _mm512_xor_si512(_mm512_srai_epi16(hi, 15), _mm512_set1_epi16(0x7fff));
    return _mm512_mask_blend_epi16(fits, sat, lo);
}

// |a| as unsigned lanes (32768 for -32768), limited to 32767.
inline W abs_s16(W a) { return _mm512_min_epu16(_mm512_abs_epi16(a), _mm512_set1_epi16(0x7fff)); }

// Bytes of a times the non-negative 16-bit factors k[0..63]: mulhrs of a * 128
// and k is floor((a * k + 128) / 256) exactly; plus round, then the pack at
// scale s: a right shift by 7 - s, or a left shift by s - 7 of the value
// limited to 255, limited to 255 again by the unsigned pack.
inline W mulk_half(__m256i a, const int16_t *k, int16_t round, unsigned s) {
    W v = _mm512_mulhrs_epi16(_mm512_slli_epi16(_mm512_cvtepu8_epi16(a), 7), _mm512_loadu_si512(k));
    v = _mm512_add_epi16(v, _mm512_set1_epi16(round));
    const W top = _mm512_set1_epi16(255);
    if (s <= 7) return _mm512_srl_epi16(v, _mm_cvtsi32_si128(static_cast<int>(7 - s)));
    return _mm512_min_epu16(_mm512_sll_epi16(_mm512_min_epu16(v, top), _mm_cvtsi32_si128(static_cast<int>(s - 7))), top);
}
inline W mulk_u8(W a, const int16_t *k, int16_t round, unsigned s) {
    const W lo = mulk_half(_mm512_castsi512_si256(a), k, round, s);
    const W hi = mulk_half(_mm512_extracti64x4_epi64(a, 1), k + 32, round, s);
    return _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7), _mm512_packus_epi16(lo, hi));
}


// The body policy: 64-byte vectors with byte masks.
struct Avx512 {
    static constexpr kl_isa isa = kl_isa::avx512;
    using W = __m512i;
    using M = __mmask64;
    static constexpr size_t bytes = 64;
    static constexpr bool masked = true, streams = true;
    static W load(const void *p) { return _mm512_loadu_si512(p); }
    static W load(const void *p, M m) { return _mm512_maskz_loadu_epi8(m, p); }
    static void store(uintptr_t a, W v) { _mm512_store_si512(reinterpret_cast<void *>(a), v); }
    static void store(uintptr_t a, W v, M m) { _mm512_mask_storeu_epi8(reinterpret_cast<void *>(a), m, v); }
    static M range(unsigned lo, unsigned hi) {
        return (hi >= 64 ? ~M{0} : (M{1} << hi) - 1) & ~((M{1} << lo) - 1);
    }
    static M enables(const uint8_t *en) { return _mm512_movepi8_mask(_mm512_loadu_si512(en)); }
    static void stream(uintptr_t a, W v) { _mm512_stream_si512(reinterpret_cast<W *>(a), v); }
    static void drain() { _mm_sfence(); }
    static void block(uintptr_t d, const unsigned char *s, bool nt) {
        if (nt) stream(d, load(s));
        else store(d, load(s));
    }
    // Four blocks, all loaded first.
    static void blocks4(uintptr_t d, const unsigned char *s, bool nt) {
        const W v0 = load(s), v1 = load(s + 64), v2 = load(s + 128), v3 = load(s + 192);
        if (nt) {
            stream(d, v0), stream(d + 64, v1), stream(d + 128, v2), stream(d + 192, v3);
        } else {
            store(d, v0), store(d + 64, v1), store(d + 128, v2), store(d + 192, v3);
        }
    }
};

}  // namespace

#include "kl_affine_body.h"
#include "kl_arith_body.h"
#include "kl_band_body.h"
#include "kl_combine_body.h"
#include "kl_convolve_body.h"
#include "kl_copy_body.h"
#include "kl_lookup_body.h"
#include "kl_qdx_body.h"
#include "kl_resample_body.h"
#include "kl_setval_body.h"
#include "kl_threshold_body.h"
#include "kl_transpose_body.h"

namespace {

kl_impl make() {
    kl_impl t = *kl_impl_portable();
    t.name = "avx512";
    affine::entries<Avx512>(t);
    arith::entries<Avx512>(t);
    band::entries<Avx512>(t);
    combine::entries<Avx512>(t);
    conv::entries<Avx512>(t);
    copy::entries<Avx512>(t);
    lookup::entries<Avx512>(t);
    resample::entries<Avx512>(t);
    setval::entries<Avx512>(t);
    threshold::entries<Avx512>(t);
    transpose::entries<Avx512>(t);
    zoom::entries<Avx512>(t);
    return t;
}

}  // namespace

#pragma GCC pop_options

const kl_impl *kl_impl_avx512() {
    static const kl_impl t = make();
    return &t;
}

#else

const kl_impl *kl_impl_avx512() { return nullptr; }

#endif
