// The pixel-mapping feed (wren_feed.h).
#include "wren_feed.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "wren_regmap.h"

namespace {

// One-band source and destination, the source covering the destination.
bool feedable(const kl_image *dst, const kl_image *src, int sb) {
    return dst && src && dst->data && src->data && dst->bands == 1 && src->bands == 1 && src->bpp == sb &&
           dst->w > 0 && dst->h > 0 && src->w >= dst->w && src->h >= dst->h;
}

constexpr ptrdiff_t kSlot = 8, kPitch = wren_fb::map_line_bytes;

inline void put32(unsigned char *p, uint32_t v) { std::memcpy(p, &v, 4); }

inline uint32_t word8(const unsigned char *p) { return static_cast<uint32_t>(*p) << 20; }

inline uint32_t word16(const unsigned char *p) {
    int16_t v;
    std::memcpy(&v, p, 2);
    return (static_cast<uint32_t>(static_cast<int32_t>(v)) << 12) ^ 0x8000000u;
}

// One row of w slots from samples of sb bytes.
template <int sb>
void row_words(unsigned char *d, const unsigned char *s, int x, int w) {
    for (; x < w; ++x) put32(d + x * kSlot, sb == 1 ? word8(s + x) : word16(s + 2 * x));
}

#if defined(__x86_64__)

// AVX2: the words of 8 samples in the low halves of 64-bit lanes, stored by
// dword-masked stores that leave the slots' other halves alone (streaming
// stores of single words would each flush a partial line).
template <int sb>
__attribute__((target("avx2"))) void row_avx2(unsigned char *d, const unsigned char *s, int w) {
    const __m256i low = _mm256_setr_epi32(-1, 0, -1, 0, -1, 0, -1, 0);
    int x = 0;
    for (; x + 8 <= w; x += 8) {
        __m256i a, b;
        if constexpr (sb == 1) {
            const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(s + x));
            a = _mm256_slli_epi64(_mm256_cvtepu8_epi64(v), 20);
            b = _mm256_slli_epi64(_mm256_cvtepu8_epi64(_mm_srli_si128(v, 4)), 20);
        } else {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 2 * x));
            const __m256i flip = _mm256_set1_epi64x(0x8000000);
            a = _mm256_xor_si256(_mm256_slli_epi64(_mm256_cvtepi16_epi64(v), 12), flip);
            b = _mm256_xor_si256(_mm256_slli_epi64(_mm256_cvtepi16_epi64(_mm_srli_si128(v, 8)), 12), flip);
        }
        _mm256_maskstore_epi32(reinterpret_cast<int *>(d + x * kSlot), low, a);
        _mm256_maskstore_epi32(reinterpret_cast<int *>(d + (x + 4) * kSlot), low, b);
    }
    row_words<sb>(d, s, x, w);
}

// The vector rows follow the kernel library's choice (WREN_KERNELS included),
// so each implementation's run of the tests reaches its own feed.
bool has_avx2() {
    static const bool yes = std::strcmp(kl_implementation(), "portable") != 0;
    return yes;
}

#endif

template <int sb>
void feed(kl_image *dst, kl_image *src) {
    if (!feedable(dst, src, sb)) return;
    for (int y = 0; y < dst->h; ++y) {
        unsigned char *d = dst->data + y * kPitch;
        const unsigned char *s = src->data + static_cast<ptrdiff_t>(y) * src->lb;
#if defined(__x86_64__)
        if (has_avx2()) {
            row_avx2<sb>(d, s, dst->w);
            continue;
        }
#endif
        row_words<sb>(d, s, 0, dst->w);
    }
}

}  // namespace

extern "C" {

void kl_rescale_wren_8(kl_image *dst, kl_image *src) { feed<1>(dst, src); }

void kl_rescale_wren_16(kl_image *dst, kl_image *src) { feed<2>(dst, src); }

}  // extern "C"
