// The AVX-512 implementation (F, BW, VL and VBMI): the kernels' bodies in
// 64-byte vectors. Byte-masked loads and stores let a vector cover any part
// of a row under its band enables: masked-off bytes are neither read nor
// written.
//
// Compiled for the AVX-512 target function by function (the pragma below,
// after every system header), so that the library still loads and runs on
// CPUs without it; kl_impl_avx512() is asked only after the CPU check.
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

namespace {

using W = __m512i;

// ---- Lane vocabulary of the arithmetic ops ---------------------------------

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

}  // namespace

#include "kl.h"
#include "kl_arith_frame.h"
#include "kl_arith_ops.h"
#include "kl_threshold_ops.h"
#include "kl_copy_rows.h"
#include "lane.h"

namespace {

// The body policy: 64-byte vectors with byte masks.
struct Avx512 {
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

// ---- Band extract and insert, 3 <-> 4 converters ---------------------------
//
// Whole runs of vector-sized pixel groups per row are rearranged with byte or
// 16-bit permutes and written under byte or sample masks; the pixels after
// the last whole group go to the portable kernel on a descriptor of just
// those pixels. Calls the vectors do not take (declines, one-band layouts)
// go to the portable kernel as they are.

// Elements of 1 (bytes) or 2 bytes: permutes, masked loads and stores.
template <int E>
struct Lanes {
    static constexpr int L = 64 / E;  // elements per vector
    using M = std::conditional_t<E == 1, __mmask64, __mmask32>;
    static W perm(W idx, W a) {
        if constexpr (E == 1) return _mm512_permutexvar_epi8(idx, a);
        else return _mm512_permutexvar_epi16(idx, a);
    }
    static W perm2(W a, W idx, W b) {
        if constexpr (E == 1) return _mm512_permutex2var_epi8(a, idx, b);
        else return _mm512_permutex2var_epi16(a, idx, b);
    }
    static W load(const void *p, M m) {
        if constexpr (E == 1) return _mm512_maskz_loadu_epi8(m, p);
        else return _mm512_maskz_loadu_epi16(m, p);
    }
    static void store(void *p, M m, W v) {
        if constexpr (E == 1) _mm512_mask_storeu_epi8(p, m, v);
        else _mm512_mask_storeu_epi16(p, m, v);
    }
    static M first(int k) { return k >= L ? ~M{0} : static_cast<M>((uint64_t{1} << k) - 1); }
    // Index vector from f(lane), and the mask of lanes where g(lane) holds.
    template <class F>
    static W index(F f) {
        alignas(64) uint8_t b[64];
        for (int i = 0; i < L; ++i) {
            const int v = f(i);
            if constexpr (E == 1) b[i] = static_cast<uint8_t>(v);
            else {
                b[2 * i] = static_cast<uint8_t>(v);
                b[2 * i + 1] = static_cast<uint8_t>(v >> 8);
            }
        }
        return _mm512_load_si512(b);
    }
    template <class G>
    static M mask(G g) {
        M m = 0;
        for (int i = 0; i < L; ++i)
            if (g(i)) m |= static_cast<M>(M{1} << i);
        return m;
    }
};

inline ptrdiff_t row_at(int j, int lb) { return static_cast<ptrdiff_t>(j) * lb; }

// The pixels from g on of both images, for the portable kernel.
inline void tail_of(kl_image &d, kl_image &s, int g) {
    d.data += static_cast<ptrdiff_t>(g) * d.bpp;
    s.data += static_cast<ptrdiff_t>(g) * s.bpp;
    d.w -= g;
    s.w -= g;
}

// Sample offset of the first selected band of n (bit n - 1 - k for sample k).
inline int first_band(int n, int m) {
    for (int k = 0; k < n; ++k)
        if ((m >> (n - 1 - k)) & 1) return k;
    return -1;
}

// dst pixel i = sample o of src pixel i, n = 2..4; L pixels per vector from
// n source vectors, two-table permutes over consecutive pairs of them.
template <int E>
void extract_groups(const kl_image &dst, const kl_image &src, int n, int o, int groups) {
    using X = Lanes<E>;
    constexpr int L = X::L;
    const W lo = X::index([&](int i) { return (n * i + o) & (2 * L - 1); });
    const W hi = X::index([&](int i) { return (n * i + o - L) & (2 * L - 1); });
    const typename X::M from_hi = X::mask([&](int i) { return n * i + o >= 2 * L; });
    const bool nt = static_cast<size_t>(dst.w) * dst.h * E * (n + 1) > kStreamBytes;
    for (int j = 0; j < dst.h; ++j) {
        unsigned char *d = dst.data + row_at(j, dst.lb);
        const unsigned char *s = src.data + row_at(j, src.lb);
        const bool stream = nt && !(reinterpret_cast<uintptr_t>(d) & 63);
        for (int g = 0; g < groups; ++g, d += 64, s += 64 * n) {
            W v[4];
            for (int k = 0; k < n; ++k) v[k] = _mm512_loadu_si512(s + 64 * k);
            W r;
            if (n == 2) {
                r = X::perm2(v[0], lo, v[1]);
            } else if (n == 3) {
                const W r0 = X::perm2(v[0], lo, v[1]), r1 = X::perm2(v[1], hi, v[2]);
                r = E == 1 ? _mm512_mask_blend_epi8(from_hi, r0, r1) : _mm512_mask_blend_epi16(from_hi, r0, r1);
            } else {
                r = _mm512_mask_blend_epi64(0xf0, X::perm2(v[0], lo, v[1]), X::perm2(v[2], lo, v[3]));
            }
            if (stream) Avx512::stream(reinterpret_cast<uintptr_t>(d), r);
            else _mm512_storeu_si512(d, r);
        }
    }
    if (nt) Avx512::drain();
}

// Sample o of dst pixel i = src pixel i; each of the n destination vectors of
// a group gets its pixels by one permute and a mask of the lanes of band o.
template <int E>
void insert_groups(const kl_image &dst, const kl_image &src, int n, int o, int groups) {
    using X = Lanes<E>;
    constexpr int L = X::L;
    W idx[4];
    typename X::M msk[4];
    for (int k = 0; k < n; ++k) {
        idx[k] = X::index([&](int i) { return (L * k + i) / n; });
        msk[k] = X::mask([&](int i) { return (L * k + i) % n == o; });
    }
    for (int j = 0; j < dst.h; ++j) {
        unsigned char *d = dst.data + row_at(j, dst.lb);
        const unsigned char *s = src.data + row_at(j, src.lb);
        for (int g = 0; g < groups; ++g, d += 64 * n, s += 64) {
            const W v = _mm512_loadu_si512(s);
            for (int k = 0; k < n; ++k) X::store(d + 64 * k, msk[k], X::perm(idx[k], v));
        }
    }
}

template <int E, bool Insert>
void band_move(int band_mask, kl_image *dst, kl_image *src) {
    const kl_one_fn portable = Insert ? (E == 1 ? kl_impl_find("portable")->band_insert_8 : kl_impl_find("portable")->band_insert_16)
                                      : (E == 1 ? kl_impl_find("portable")->band_extract_8 : kl_impl_find("portable")->band_extract_16);
    const int type = E == 1 ? KL_BYTE : KL_SHORT;
    if (!dst || !src || dst->type != type || src->type != type || dst->w <= 0 || dst->h <= 0) return portable(band_mask, dst, src);
    const kl_image *multi = Insert ? dst : src, *single = Insert ? src : dst;
    const int n = multi->bands, m = band_mask & multi->bmask, o = first_band(n, m);
    const int groups = dst->w / (64 / E);
    if (n < 2 || n > 4 || m == 0 || o < 0 || single->bands != 1 || single->bmask != 1 || groups == 0)
        return portable(band_mask, dst, src);
    if (Insert) insert_groups<E>(*dst, *src, n, o, groups);
    else extract_groups<E>(*dst, *src, n, o, groups);
    kl_image d = *dst, s = *src;
    tail_of(d, s, groups * (64 / E));
    if (d.w > 0) portable(band_mask, &d, &s);
}

// 3 -> 4 (To4) or 4 -> 3 samples per pixel: destination sample k + 1 (To4) or
// k (4 -> 3) gets source sample k (To4) or k + 1 where bit 2 - k of m is set.
// A group is the pixels of one 64-byte vector of the 4-sample side.
template <int E, bool To4>
void convert(int band_mask, kl_image *dst, kl_image *src) {
    const kl_impl &p = *kl_impl_find("portable");
    const kl_one_fn portable = To4 ? (E == 1 ? p.copy8_3_4 : p.copy16_3_4) : (E == 1 ? p.copy8_4_3 : p.copy16_4_3);
    const int type = E == 1 ? KL_BYTE : KL_SHORT;
    if (!dst || !src || dst->type != type || src->type != type || dst->w <= 0 || dst->h <= 0 ||
        dst->bands != (To4 ? 4 : 3) || src->bands != (To4 ? 3 : 4))
        return portable(band_mask, dst, src);
    const int m = band_mask & dst->bmask & src->bmask & 7;
    using X = Lanes<E>;
    constexpr int L = X::L, P = L / 4;  // P pixels per group: L samples on the 4-sample side
    const int groups = dst->w / P;
    if (m == 0 || groups == 0) return portable(band_mask, dst, src);
    // Lane i of the 4-sample side is sample i % 4 of pixel i / 4; lane i of
    // the 3-sample side sample i % 3 of pixel i / 3.
    const W idx = To4 ? X::index([](int i) { return i % 4 ? i / 4 * 3 + i % 4 - 1 : 0; })
                      : X::index([](int i) { return i < 3 * P ? i / 3 * 4 + i % 3 + 1 : 0; });
    const typename X::M wr = To4 ? X::mask([m](int i) { return i % 4 && ((m >> (3 - i % 4)) & 1); })
                                 : X::mask([m](int i) { return i < 3 * P && ((m >> (2 - i % 3)) & 1); });
    const typename X::M rd = To4 ? X::first(3 * P) : X::first(L);
    for (int j = 0; j < dst->h; ++j) {
        unsigned char *d = dst->data + row_at(j, dst->lb);
        const unsigned char *s = src->data + row_at(j, src->lb);
        for (int g = 0; g < groups; ++g) {
            const W v = X::load(s, rd);
            X::store(d, wr, X::perm(idx, v));
            d += (To4 ? 4 : 3) * P * E;
            s += (To4 ? 3 : 4) * P * E;
        }
    }
    kl_image d = *dst, s = *src;
    tail_of(d, s, groups * P);
    if (d.w > 0) portable(band_mask, &d, &s);
}

void band_entries(kl_impl &t) {
    t.band_extract_8 = band_move<1, false>;
    t.band_extract_16 = band_move<2, false>;
    t.band_insert_8 = band_move<1, true>;
    t.band_insert_16 = band_move<2, true>;
    t.copy8_3_4 = convert<1, true>;
    t.copy16_3_4 = convert<2, true>;
    t.copy8_4_3 = convert<1, false>;
    t.copy16_4_3 = convert<2, false>;
}

// One quick-zoom row: 64 outputs per step, their sums narrowed to bytes and,
// with a table, looked up 128 entries at a time (bit 7 picks the half).
void zoom_row8(unsigned char *d, const int32_t *a, const int32_t *b, int wa, int wb, int shift,
               const unsigned char *table, int w) {
    const W va = _mm512_set1_epi32(wa), vb = _mm512_set1_epi32(wb);
    const __m128i sh = _mm_cvtsi32_si128(shift);
    W t0 = _mm512_setzero_si512(), t1 = t0, t2 = t0, t3 = t0;
    if (table) {
        t0 = _mm512_loadu_si512(table);
        t1 = _mm512_loadu_si512(table + 64);
        t2 = _mm512_loadu_si512(table + 128);
        t3 = _mm512_loadu_si512(table + 192);
    }
    auto quarter = [&](int at, int n) {
        const __mmask16 k = n >= 16 ? __mmask16(0xffff) : n <= 0 ? __mmask16(0) : __mmask16((1u << n) - 1);
        const W x = _mm512_maskz_loadu_epi32(k, a + at), y = _mm512_maskz_loadu_epi32(k, b + at);
        return _mm512_cvtepi32_epi8(
            _mm512_sra_epi32(_mm512_add_epi32(_mm512_mullo_epi32(x, va), _mm512_mullo_epi32(y, vb)), sh));
    };
    for (int i = 0; i < w; i += 64) {
        const int n = w - i;
        W v = _mm512_castsi128_si512(quarter(i, n));
        v = _mm512_inserti32x4(v, quarter(i + 16, n - 16), 1);
        v = _mm512_inserti32x4(v, quarter(i + 32, n - 32), 2);
        v = _mm512_inserti32x4(v, quarter(i + 48, n - 48), 3);
        if (table) {
            const W lo = _mm512_permutex2var_epi8(t0, v, t1), hi = _mm512_permutex2var_epi8(t2, v, t3);
            v = _mm512_mask_blend_epi8(_mm512_movepi8_mask(v), lo, hi);
        }
        _mm512_mask_storeu_epi8(d + i, n >= 64 ? ~__mmask64(0) : (__mmask64(1) << n) - 1, v);
    }
}

#include "kl_convolve_body.h"

kl_impl make() {
    kl_impl t = *kl_impl_find("portable");
    t.zoom_row8 = zoom_row8;
    t.name = "avx512";
    arith_entries<Avx512>(t);
    threshold_entries<Avx512>(t);
    copy_entries<Avx512>(t);
    band_entries(t);
    kl_conv_entries(t);
    kl_avx2_affine(t);
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
