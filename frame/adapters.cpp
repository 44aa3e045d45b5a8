#include "adapters.h"

#include <cstdint>

namespace {

// Band mask of n used bands starting at band cb of pixels `bands` samples
// wide; -1 when they do not fit in the pixel.
int band_mask(int n, int cb, int bands) {
    if (n < 1 || n > 4 || cb < 0 || bands < 1 || bands > 4 || n + cb > bands) {
        return -1;
    }
    return ((1 << n) - 1) << (bands - n - cb);
}

bool fits32(int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

}  // namespace

int zor2kl_image(ZorImage *image, kl_image *k) {
    if (!image || !k) {
        return ZOR_FAILURE;
    }
    // Sizes and offsets are worked out in 64 bits; whatever does not fit the
    // descriptor's 32-bit fields cannot be described.
    unsigned uw = 0, uh = 0, un = 0, ucx = 0, ucy = 0, ucb = 0;
    int datatype = -1;
    image->getInfo(&uw, &uh, &un, &datatype);
    image->getChildOffsets(&ucx, &ucy, &ucb);
    if (!fits32(uw) || !fits32(uh) || !fits32(ucx) || !fits32(ucy) || !fits32(ucb) || un < 1 || un > 4) {
        return ZOR_FAILURE;
    }
    const int n = static_cast<int>(un), cb = static_cast<int>(ucb);
    k->w = static_cast<int32_t>(uw);
    k->h = static_cast<int32_t>(uh);
    k->x = static_cast<int32_t>(ucx);
    k->y = static_cast<int32_t>(ucy);
    k->fb = 0;

    switch (datatype) {
    case ZOR_BYTE:
    case ZOR_SHORT: {
        const ZorStorage *st = image->getStorage("memory");
        if (!st || !st->samples.address) {
            return ZOR_FAILURE;
        }
        const int stride = st->samples.pixelStride;
        if (stride < 1 || stride > 4) {
            return ZOR_FAILURE;
        }
        const int64_t size = datatype == ZOR_BYTE ? 1 : 2;
        const int64_t lb = size * st->samples.scanlineStride;
        if (!fits32(lb)) {
            return ZOR_FAILURE;
        }
        k->type = datatype == ZOR_BYTE ? KL_BYTE : KL_SHORT;
        k->bands = stride;
        k->bpp = static_cast<int32_t>(size * stride);
        k->lb = static_cast<int32_t>(lb);
        // The child's first pixel: rows and pixels into the storage.
        const int64_t offset = static_cast<int64_t>(ucy) * lb + static_cast<int64_t>(ucx) * k->bpp;
        k->data = static_cast<unsigned char *>(st->samples.address) + static_cast<std::ptrdiff_t>(offset);
        k->x = k->y = k->padx = k->pady = k->parent = 0;
        break;
    }
    case ZOR_BIT: {
        const ZorStorage *st = image->getStorage("memory");
        if (!st || !st->bits.address) {
            return ZOR_FAILURE;
        }
        const int64_t padx = 8 * static_cast<int64_t>(st->bits.scanlineStride) - st->bits.bitOffset - uw;
        const int64_t pady = static_cast<int64_t>(st->bits.bandStride) - ucy - uh;
        if (!fits32(padx) || !fits32(pady)) {
            return ZOR_FAILURE;
        }
        k->type = KL_BIT;
        k->bands = n;
        k->data = st->bits.address;
        k->lb = st->bits.scanlineStride;
        k->bpp = 0;
        k->parent = 0;
        k->x = st->bits.bitOffset;
        k->padx = static_cast<int32_t>(padx);
        k->pady = static_cast<int32_t>(pady);
        break;
    }
    default:
        return ZOR_FAILURE;
    }
    if (k->bands < 1 || k->bands > 4) {
        return ZOR_FAILURE;
    }
    // A child band offset that does not leave room for the used bands (for bit
    // images any nonzero one, whose bands are planes) cannot be described.
    const int m = band_mask(n, cb, k->bands);
    if (m < 0) {
        return ZOR_FAILURE;
    }
    k->bmask = m;
    return ZOR_SUCCESS;
}

int zor2kl_window(ZorImage *image, kl_image *k) {
    if (!image || !k) {
        return ZOR_FAILURE;
    }
    const ZorDisplayIO *dio = image->getDeviceInputOutput();
    if (!dio) {
        return ZOR_FAILURE;
    }
    unsigned w = 0, h = 0, un = 0, cx = 0, cy = 0, ucb = 0;
    image->getDimensions(&w, &h, &un);
    image->getChildOffsets(&cx, &cy, &ucb);
    if (!fits32(w) || !fits32(h) || !fits32(cx) || !fits32(cy) || un > 4 || ucb > 4) {
        return ZOR_FAILURE;
    }
    const int n = static_cast<int>(un), cb = static_cast<int>(ucb);
    switch (dio->depth) {
    case 8:
        k->bands = 1;
        k->bmask = 1;
        k->bpp = 1;
        break;
    case 24: {
        k->bands = 4;
        k->bpp = 4;
        const int m = band_mask(n, cb, 4);
        if (m < 0) {
            return ZOR_FAILURE;
        }
        k->bmask = m;
        break;
    }
    default:
        return ZOR_FAILURE;
    }
    if (!dio->fbBase) {
        return ZOR_FAILURE;
    }
    k->fb = 1;
    k->type = KL_BYTE;
    k->lb = dio->fbLineBytes;
    k->w = static_cast<int32_t>(w);
    k->h = static_cast<int32_t>(h);
    k->x = k->y = k->padx = k->pady = k->parent = 0;
    const int64_t offset = static_cast<int64_t>(cy) * k->lb + static_cast<int64_t>(cx) * k->bpp;
    k->data = dio->fbBase + static_cast<std::ptrdiff_t>(offset);
    return ZOR_SUCCESS;
}
