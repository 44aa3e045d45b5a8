// The AVX2 implementation: the kernels' bodies in 32-byte vectors. AVX2 has
// no byte-masked store, so its vectors take only bodies whose band pattern is
// full (their first and last vector under a mask of whole 8-byte words); the
// row's head and tail words, and bodies under a partial band pattern, stay
// with the portable 8-byte words.
//
// This file holds the AVX2 lane vocabulary and body policy, then compiles
// every family's body header (kl_<family>_body.h) for the AVX2 target,
// function by function (the pragma below, after every system header), so
// that the library still loads and runs on CPUs without it; kl_impl_avx2()
// is asked only after the CPU check. KL_AVX2 lets the body headers compile
// their own AVX2 intrinsics.
#include <immintrin.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kl_impl.h"

#if defined(__x86_64__)

#pragma GCC push_options
#pragma GCC target("avx2,bmi2")

#define KL_AVX2 1

namespace {

using W = __m256i;

// ---- Lane vocabulary -------------------------------------------------------

inline W vload(const void *p, W) { return _mm256_loadu_si256(static_cast<const W *>(p)); }
inline W adds_u8(W a, W b) { return _mm256_adds_epu8(a, b); }
inline W subs_u8(W a, W b) { return _mm256_subs_epu8(a, b); }
inline W max_u8(W a, W b) { return _mm256_max_epu8(a, b); }
inline W min_u8(W a, W b) { return _mm256_min_epu8(a, b); }
inline W adds_s16(W a, W b) { return _mm256_adds_epi16(a, b); }
inline W subs_s16(W a, W b) { return _mm256_subs_epi16(a, b); }
inline W max_s16(W a, W b) { return _mm256_max_epi16(a, b); }
inline W min_s16(W a, W b) { return _mm256_min_epi16(a, b); }
inline W eq_u8(W a, W b) { return _mm256_cmpeq_epi8(a, b); }
inline W eq_s16(W a, W b) { return _mm256_cmpeq_epi16(a, b); }

// Products of the even and the odd bytes in 16-bit lanes, each clamped to 255.
inline W mul_u8(W a, W b) {
    const W lo = _mm256_set1_epi16(0xff);
    const W even = _mm256_min_epu16(_mm256_mullo_epi16(_mm256_and_si256(a, lo), _mm256_and_si256(b, lo)), lo);
    const W odd = _mm256_min_epu16(_mm256_mullo_epi16(_mm256_srli_epi16(a, 8), _mm256_srli_epi16(b, 8)), lo);
    return _mm256_or_si256(even, _mm256_slli_epi16(odd, 8));
}

// Full 32-bit products; where the high half is not the low half's sign, the
// product saturates by the high half's sign.
inline W mul_s16(W a, W b) {
    const W lo = _mm256_mullo_epi16(a, b), hi = _mm256_mulhi_epi16(a, b);
    const W fits = _mm256_cmpeq_epi16(hi, _mm256_srai_epi16(lo, 15));
    const W sat = _mm256_xor_si256(_mm256_srai_epi16(hi, 15), _mm256_set1_epi16(0x7fff));
    return _mm256_blendv_epi8(sat, lo, fits);
}

// |a| as unsigned lanes (32768 for -32768), limited to 32767.
inline W abs_s16(W a) { return _mm256_min_epu16(_mm256_abs_epi16(a), _mm256_set1_epi16(0x7fff)); }

// Bytes of a times the non-negative 16-bit factors k[0..31]: mulhrs of a * 128
// and k is floor((a * k + 128) / 256) exactly; plus round, then the pack at
// scale s: a right shift by 7 - s, or a left shift by s - 7 of the value
// limited to 255, limited to 255 again by the unsigned pack.
inline W mulk_half(__m128i a, const int16_t *k, int16_t round, unsigned s) {
    W v = _mm256_mulhrs_epi16(_mm256_slli_epi16(_mm256_cvtepu8_epi16(a), 7), vload(k, W{}));
    v = _mm256_add_epi16(v, _mm256_set1_epi16(round));
    const W top = _mm256_set1_epi16(255);
    if (s <= 7) return _mm256_srl_epi16(v, _mm_cvtsi32_si128(static_cast<int>(7 - s)));
    return _mm256_min_epu16(_mm256_sll_epi16(_mm256_min_epu16(v, top), _mm_cvtsi32_si128(static_cast<int>(s - 7))), top);
}
inline W mulk_u8(W a, const int16_t *k, int16_t round, unsigned s) {
    const W lo = mulk_half(_mm256_castsi256_si128(a), k, round, s);
    const W hi = mulk_half(_mm256_extracti128_si256(a, 1), k + 16, round, s);
    return _mm256_permute4x64_epi64(_mm256_packus_epi16(lo, hi), 0xd8);
}


// The body policy: whole 32-byte vectors, stored at 32-byte aligned addresses.
struct Avx2 {
    static constexpr kl_isa isa = kl_isa::avx2;
    using W = __m256i;
    static constexpr size_t bytes = 32;
    static constexpr bool masked = false, streams = true;
    static W load(const void *p) { return _mm256_loadu_si256(static_cast<const W *>(p)); }
    static void store(uintptr_t a, W v) { _mm256_store_si256(reinterpret_cast<W *>(a), v); }
    // One 64-byte block: both halves loaded before either is stored.
    static void stream(uintptr_t a, W v) { _mm256_stream_si256(reinterpret_cast<W *>(a), v); }
    static void drain() { _mm_sfence(); }
    // The 8-byte words [lo, hi) of a vector (byte offsets, multiples of 8),
    // for a body's head and tail words: masked loads read nothing outside
    // them, masked stores write nothing else.
    static W words(unsigned lo, unsigned hi) {
        const W at = _mm256_setr_epi64x(0, 8, 16, 24);
        return _mm256_andnot_si256(_mm256_cmpgt_epi64(_mm256_set1_epi64x(lo), at),
                                   _mm256_cmpgt_epi64(_mm256_set1_epi64x(hi), at));
    }
    static W load(uintptr_t p, W mk) { return _mm256_maskload_epi64(reinterpret_cast<const long long *>(p), mk); }
    static void store(uintptr_t a, W v, W mk) { _mm256_maskstore_epi64(reinterpret_cast<long long *>(a), mk, v); }
    // Four blocks, all loaded first.
    static void blocks4(uintptr_t d, const unsigned char *s, bool nt) {
        W v[8];
        for (int i = 0; i < 8; ++i) v[i] = load(s + 32 * i);
        for (int i = 0; i < 8; ++i) nt ? stream(d + 32 * i, v[i]) : store(d + 32 * i, v[i]);
    }
    static void block(uintptr_t d, const unsigned char *s, bool nt) {
        const W x = load(s), y = load(s + 32);
        if (nt) {
            stream(d, x);
            stream(d + 32, y);
        } else {
            store(d, x);
            store(d + 32, y);
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
    t.name = "avx2";
    affine::entries<Avx2>(t);
    arith::entries<Avx2>(t);
    band::entries<Avx2>(t);
    combine::entries<Avx2>(t);
    conv::entries<Avx2>(t);
    copy::entries<Avx2>(t);
    lookup::entries<Avx2>(t);
    resample::entries<Avx2>(t);
    setval::entries<Avx2>(t);
    threshold::entries<Avx2>(t);
    transpose::entries<Avx2>(t);
    zoom::entries<Avx2>(t);
    return t;
}

}  // namespace

#pragma GCC pop_options

const kl_impl *kl_impl_avx2() {
    static const kl_impl t = make();
    return &t;
}

#else

const kl_impl *kl_impl_avx2() { return nullptr; }

#endif
