// The AVX2 implementation: the kernels' bodies in 32-byte vectors. AVX2 has
// no byte-masked store, so its vectors take only whole-vector runs of a body
// whose band pattern is full; head and tail words, and bodies under a partial
// band pattern, stay with the portable 8-byte words. For the same reason band
// insert, 3 -> 4 and masked 4 -> 3 conversions stay portable.
//
// Compiled for the AVX2 target function by function (the pragma below, after
// every system header), so that the library still loads and runs on CPUs
// without it; kl_impl_avx2() is asked only after the CPU check.
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

namespace {

using W = __m256i;

// ---- Lane vocabulary of the arithmetic ops ---------------------------------

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

}  // namespace

#include "kl.h"
#include "kl_arith_frame.h"
#include "kl_arith_ops.h"
#include "kl_threshold_ops.h"
#include "kl_copy_rows.h"
#include "lane.h"

namespace {

// The body policy: whole 32-byte vectors, stored at 32-byte aligned addresses.
struct Avx2 {
    using W = __m256i;
    static constexpr size_t bytes = 32;
    static constexpr bool masked = false, streams = true;
    static W load(const void *p) { return _mm256_loadu_si256(static_cast<const W *>(p)); }
    static void store(uintptr_t a, W v) { _mm256_store_si256(reinterpret_cast<W *>(a), v); }
    // One 64-byte block: both halves loaded before either is stored.
    static void stream(uintptr_t a, W v) { _mm256_stream_si256(reinterpret_cast<W *>(a), v); }
    static void drain() { _mm_sfence(); }
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


// ---- Band extract, 4 -> 3 converters ---------------------------------------
//
// The layouts whose destination bytes are all written (band extract into a
// one-band image, 4 -> 3 with every band selected) move whole groups of
// pixels per row with byte shuffles: each 16-byte destination chunk of a
// group is the OR of byte shuffles of the 16-byte source chunks that hold its
// bytes. The pixels after the last whole group, and every call the shuffles
// do not take (masked layouts, declines), go to the portable kernel.

// A group: D destination bytes from S source bytes, byte j of the
// destination from source byte src_of(j).
template <int D, int S>
struct Gather {
    __m128i idx[D / 16][S / 16];
    bool use[D / 16][S / 16] = {};
    template <class F>
    explicit Gather(F src_of) {
        for (int c = 0; c < D / 16; ++c)
            for (int k = 0; k < S / 16; ++k) {
                alignas(16) int8_t b[16];
                for (int i = 0; i < 16; ++i) {
                    const int at = src_of(16 * c + i) - 16 * k;
                    b[i] = at >= 0 && at < 16 ? static_cast<int8_t>(at) : -128;
                    use[c][k] |= at >= 0 && at < 16;
                }
                idx[c][k] = _mm_load_si128(reinterpret_cast<const __m128i *>(b));
            }
    }
    void move(unsigned char *d, const unsigned char *s) const {
        __m128i x[S / 16];
        for (int k = 0; k < S / 16; ++k) x[k] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 16 * k));
        for (int c = 0; c < D / 16; ++c) {
            __m128i r = _mm_setzero_si128();
            for (int k = 0; k < S / 16; ++k)
                if (use[c][k]) r = _mm_or_si128(r, _mm_shuffle_epi8(x[k], idx[c][k]));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 16 * c), r);
        }
    }
};

// Groups of P pixels per row, then the rest to the portable kernel.
template <class G>
void groups_then_rest(const G &g, int P, kl_image *dst, kl_image *src, kl_one_fn portable, int band_mask) {
    const int groups = dst->w / P;
    for (int j = 0; j < dst->h; ++j) {
        unsigned char *d = dst->data + static_cast<ptrdiff_t>(j) * dst->lb;
        const unsigned char *s = src->data + static_cast<ptrdiff_t>(j) * src->lb;
        for (int i = 0; i < groups; ++i, d += P * dst->bpp, s += P * src->bpp) g.move(d, s);
    }
    kl_image d = *dst, s = *src;
    d.data += static_cast<ptrdiff_t>(groups) * P * dst->bpp;
    s.data += static_cast<ptrdiff_t>(groups) * P * src->bpp;
    d.w -= groups * P;
    s.w -= groups * P;
    if (d.w > 0) portable(band_mask, &d, &s);
}

// dst pixel i = sample o of src pixel i (E-byte samples, n = 2..4 bands).
template <int E>
void band_extract(int band_mask, kl_image *dst, kl_image *src) {
    const kl_impl &p = *kl_impl_find("portable");
    const kl_one_fn portable = E == 1 ? p.band_extract_8 : p.band_extract_16;
    const int type = E == 1 ? KL_BYTE : KL_SHORT;
    if (!dst || !src || dst->type != type || src->type != type || dst->w < 16 / E || dst->h <= 0 || dst->bands != 1 ||
        dst->bmask != 1 || src->bands < 2 || src->bands > 4)
        return portable(band_mask, dst, src);
    const int n = src->bands, m = band_mask & src->bmask;
    int o = -1;
    for (int k = n - 1; k >= 0; --k)
        if ((m >> (n - 1 - k)) & 1) o = k;
    if (o < 0) return portable(band_mask, dst, src);
    const auto src_of = [n, o](int j) { return (j / E * n + o) * E + j % E; };
    if (n == 2) groups_then_rest(Gather<16, 32>(src_of), 16 / E, dst, src, portable, band_mask);
    else if (n == 3) groups_then_rest(Gather<16, 48>(src_of), 16 / E, dst, src, portable, band_mask);
    else groups_then_rest(Gather<16, 64>(src_of), 16 / E, dst, src, portable, band_mask);
}

// 4 -> 3 samples per pixel with every band selected: destination sample k
// gets source sample k + 1.
template <int E>
void copy_4_3(int band_mask, kl_image *dst, kl_image *src) {
    const kl_impl &p = *kl_impl_find("portable");
    const kl_one_fn portable = E == 1 ? p.copy8_4_3 : p.copy16_4_3;
    const int type = E == 1 ? KL_BYTE : KL_SHORT;
    if (!dst || !src || dst->type != type || src->type != type || dst->w < 16 / E || dst->h <= 0 || dst->bands != 3 ||
        src->bands != 4 || (band_mask & dst->bmask & src->bmask & 7) != 7)
        return portable(band_mask, dst, src);
    const Gather<48, 64> g([](int j) { return (j / E / 3 * 4 + j / E % 3 + 1) * E + j % E; });
    groups_then_rest(g, 16 / E, dst, src, portable, band_mask);
}

void band_entries(kl_impl &t) {
    t.band_extract_8 = band_extract<1>;
    t.band_extract_16 = band_extract<2>;
    t.copy8_4_3 = copy_4_3<1>;
    t.copy16_4_3 = copy_4_3<2>;
}

#include "kl_convolve_body.h"

kl_impl make() {
    kl_impl t = *kl_impl_find("portable");
    t.name = "avx2";
    arith_entries<Avx2>(t);
    threshold_entries<Avx2>(t);
    copy_entries<Avx2>(t);
    band_entries(t);
    kl_conv_entries(t);
    kl_avx2_affine(t);
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
