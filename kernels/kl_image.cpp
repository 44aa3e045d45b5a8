// Image descriptors and the tables shared by the kernels and drivers.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kl.h"

namespace {

// ---- Table rules -------------------------------------------------------------

// Byte j of 24 consecutive bytes from a pixel boundary holds sample j / sbytes;
// its enable bit is (first - j) mod 24 when that sample's band is selected.
// sbytes is the bytes per enable unit and sample (1 for byte enables of 8-bit
// samples, 2 for byte enables of 16-bit samples); unit is 1 for byte-indexed
// patterns, 2 for sample-indexed ones.
constexpr uint32_t band_pattern(int n, int m, int sbytes, int first) {
    uint32_t p = 0;
    m &= (1 << n) - 1;
    for (int j = 0; j < 24; ++j) {
        int sample = (j / sbytes) % n;
        if (m & (1 << (n - 1 - sample))) p |= uint32_t{1} << (((first - j) % 24 + 24) % 24);
    }
    return p;
}
constexpr uint32_t band8(int n, int m) { return band_pattern(n, m, 1, 7); }
constexpr uint32_t band16b(int n, int m) { return band_pattern(n, m, 2, 7); }
constexpr uint32_t band16(int n, int m) { return band_pattern(n, m, 1, 3); }

constexpr int32_t offset8(int n, int m) {
    if (m <= 0 || m >= (1 << n)) return 0;
    int top = 0;
    for (int b = 0; b < 4; ++b)
        if (m & (1 << b)) top = b;
    return n - 1 - top;
}

constexpr uint32_t expand8(int n, int i) {
    uint32_t r = 0;
    for (int k = 0; k < 8; ++k)
        if (i & (1 << k)) r |= ((uint32_t{1} << n) - 1) << (n * k);
    return r;
}

constexpr uint32_t rgb_mask(int m) {
    uint32_t r = 0;
    for (int k = 0; k < 4; ++k)
        if (m & (1 << k)) r |= uint32_t{0xff} << (8 * k);
    return r;
}

static_assert(band8(3, 1) == 0x924924 && band8(3, 6) == 0x6db6db && band8(2, 1) == 0x555555);
static_assert(band16b(3, 1) == 0x30c30c && band16b(4, 5) == 0x333333);
static_assert(band16(3, 1) == 0x492492 && band16(3, 6) == 0xb6db6d);
static_assert(rgb_mask(14) == 0xffffff00 && expand8(4, 3) == 0xff);

// Page-aligned pixel buffer of n bytes (at least one, so that an empty image
// still has a buffer of its own to free).
void *alloc_pixels(size_t n) {
    void *p = nullptr;
    long ps = sysconf(_SC_PAGESIZE);
    size_t align = ps > 0 ? static_cast<size_t>(ps) : 4096;
    if (posix_memalign(&p, align, n ? n : 1) != 0) return nullptr;
    return p;
}

// Line bytes by the descriptor rule, or -1 when the arguments are not
// acceptable (bad bands, align or type, negative size, line bytes beyond int).
long long line_bytes(int type, int bands, int w, int align) {
    if (bands < 1 || bands > 4) return -1;
    if (align != 0 && align != 8 && align != 16 && align != 32 && align != 64) return -1;
    if (w < 0) return -1;
    long long lb;
    if (type == KL_BIT) {
        long long a = align ? align : 8;
        lb = (w + a - 1) / a * a / 8;
    } else if (type == KL_BYTE || type == KL_SHORT) {
        long long a = align ? align / 8 : 4;
        long long bytes = static_cast<long long>(w) * bands * (type == KL_SHORT ? 2 : 1);
        lb = (bytes + a - 1) / a * a;
    } else {
        return -1;
    }
    return lb > INT32_MAX ? -1 : lb;
}

// Fills img by the descriptor rule; allocates the pixels when data is null.
kl_image *fill(kl_image *img, int type, int bands, int w, int h, void *data, int align) {
    long long lb = line_bytes(type, bands, w, align);
    if (lb < 0 || h < 0) return nullptr;
    if (!data) {
        data = alloc_pixels(static_cast<size_t>(lb) * static_cast<size_t>(h));
        if (!data) return nullptr;
    }
    std::memset(img, 0, sizeof *img);
    img->fb = 0;
    img->type = static_cast<int16_t>(type);
    img->bands = bands;
    img->bmask = (1 << bands) - 1;
    img->data = static_cast<unsigned char *>(data);
    img->lb = static_cast<int32_t>(lb);
    img->bpp = type == KL_BIT ? 0 : (type == KL_SHORT ? 2 * bands : bands);
    img->w = w;
    img->h = h;
    img->parent = 0;
    return img;
}

}  // namespace

// ---- Tables ------------------------------------------------------------------

#define KL_R4(f, n, i) f(n, i), f(n, i + 1), f(n, i + 2), f(n, i + 3)
#define KL_R16(f, n, i) KL_R4(f, n, i), KL_R4(f, n, i + 4), KL_R4(f, n, i + 8), KL_R4(f, n, i + 12)
#define KL_R256(f, n)                                                                          \
    KL_R16(f, n, 0), KL_R16(f, n, 16), KL_R16(f, n, 32), KL_R16(f, n, 48), KL_R16(f, n, 64),    \
        KL_R16(f, n, 80), KL_R16(f, n, 96), KL_R16(f, n, 112), KL_R16(f, n, 128),               \
        KL_R16(f, n, 144), KL_R16(f, n, 160), KL_R16(f, n, 176), KL_R16(f, n, 192),             \
        KL_R16(f, n, 208), KL_R16(f, n, 224), KL_R16(f, n, 240)
#define KL_RGB(n, i) rgb_mask(i)
#define KL_OFF16(n, i) (2 * offset8(n, i))

extern "C" {

const uint32_t kl_rgb_masks[16] = {KL_R16(KL_RGB, 0, 0)};

const uint32_t kl_band_8_1[16] = {KL_R16(band8, 1, 0)};
const uint32_t kl_band_8_2[16] = {KL_R16(band8, 2, 0)};
const uint32_t kl_band_8_3[16] = {KL_R16(band8, 3, 0)};
const uint32_t kl_band_8_4[16] = {KL_R16(band8, 4, 0)};
const uint32_t *const kl_masks_8[5] = {nullptr, kl_band_8_1, kl_band_8_2, kl_band_8_3, kl_band_8_4};

const uint32_t kl_band_16_1b[16] = {KL_R16(band16b, 1, 0)};
const uint32_t kl_band_16_2b[16] = {KL_R16(band16b, 2, 0)};
const uint32_t kl_band_16_3b[16] = {KL_R16(band16b, 3, 0)};
const uint32_t kl_band_16_4b[16] = {KL_R16(band16b, 4, 0)};
const uint32_t *const kl_masks_16b[5] = {nullptr, kl_band_16_1b, kl_band_16_2b, kl_band_16_3b,
                                         kl_band_16_4b};

const uint32_t kl_band_16_1[16] = {KL_R16(band16, 1, 0)};
const uint32_t kl_band_16_2[16] = {KL_R16(band16, 2, 0)};
const uint32_t kl_band_16_3[16] = {KL_R16(band16, 3, 0)};
const uint32_t kl_band_16_4[16] = {KL_R16(band16, 4, 0)};
const uint32_t *const kl_masks_16[5] = {nullptr, kl_band_16_1, kl_band_16_2, kl_band_16_3,
                                        kl_band_16_4};

const int32_t kl_offset_8_1[16] = {KL_R16(offset8, 1, 0)};
const int32_t kl_offset_8_2[16] = {KL_R16(offset8, 2, 0)};
const int32_t kl_offset_8_3[16] = {KL_R16(offset8, 3, 0)};
const int32_t kl_offset_8_4[16] = {KL_R16(offset8, 4, 0)};
const int32_t *const kl_offset_8[5] = {nullptr, kl_offset_8_1, kl_offset_8_2, kl_offset_8_3,
                                       kl_offset_8_4};

const int32_t kl_offset_16_1[16] = {KL_R16(KL_OFF16, 1, 0)};
const int32_t kl_offset_16_2[16] = {KL_R16(KL_OFF16, 2, 0)};
const int32_t kl_offset_16_3[16] = {KL_R16(KL_OFF16, 3, 0)};
const int32_t kl_offset_16_4[16] = {KL_R16(KL_OFF16, 4, 0)};
const int32_t *const kl_offset_16[5] = {nullptr, kl_offset_16_1, kl_offset_16_2, kl_offset_16_3,
                                        kl_offset_16_4};

const uint32_t kl_expand8_1[256] = {KL_R256(expand8, 1)};
const uint32_t kl_expand8_2[256] = {KL_R256(expand8, 2)};
const uint32_t kl_expand8_3[256] = {KL_R256(expand8, 3)};
const uint32_t kl_expand8_4[256] = {KL_R256(expand8, 4)};
const uint32_t *const kl_expand_8[5] = {nullptr, kl_expand8_1, kl_expand8_2, kl_expand8_3,
                                        kl_expand8_4};

// Two 16-bit lanes of 256.
const uint32_t kl_scale_16_8 = 0x01000100u;

// ---- Descriptors -------------------------------------------------------------

kl_image *kl_initimage(kl_image *img, int type, int bands, int w, int h, void *data, int align) {
    if (!img) return nullptr;
    return fill(img, type, bands, w, h, data, align);
}

kl_image *kl_createimage(int type, int bands, int w, int h, void *data, int align) {
    if (line_bytes(type, bands, w, align) < 0 || h < 0) return nullptr;
    kl_image *img = static_cast<kl_image *>(std::malloc(sizeof(kl_image)));
    if (!img) return nullptr;
    if (!fill(img, type, bands, w, h, data, align)) {
        std::free(img);
        return nullptr;
    }
    return img;
}

void kl_destroyimage(kl_image *img) {
    if (!img) return;
    if (img->parent == 0 && img->data) std::free(img->data);
    std::free(img);
}

void kl_freeimage(kl_image *img) {
    if (img && img->data) std::free(img->data);
}

// A copy that shares the source's pixels is marked as borrowing them, so that
// destroying either descriptor frees the buffer at most once.
kl_image *kl_copyimage(kl_image *src, int alloc) {
    if (!src) return nullptr;
    void *data = nullptr;
    if (alloc) {
        if (src->lb < 0 || src->h < 0) return nullptr;
        data = alloc_pixels(static_cast<size_t>(src->lb) * static_cast<size_t>(src->h));
        if (!data) return nullptr;
    }
    kl_image *img = static_cast<kl_image *>(std::malloc(sizeof(kl_image)));
    if (!img) {
        std::free(data);
        return nullptr;
    }
    *img = *src;
    if (alloc) {
        img->data = static_cast<unsigned char *>(data);
        img->parent = 0;
    } else {
        img->parent = 1;
    }
    return img;
}

}  // extern "C"
