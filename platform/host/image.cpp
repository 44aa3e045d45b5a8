#include "zor.h"

#include <cmath>
#include <cstdlib>
#include <new>
#include <string_view>

namespace {

bool valid_shape(unsigned w, unsigned h, unsigned bands, int datatype) {
    return w >= 1 && h >= 1 && w <= ZorImage::kMaxSide && h <= ZorImage::kMaxSide && bands >= 1 && bands <= 4 &&
           datatype >= ZOR_BIT && datatype <= ZOR_SHORT;
}

// Zeroed memory (16-byte aligned), freed when the last user lets go; null
// beyond the host's limit.
std::shared_ptr<void> zeroed(std::size_t bytes) noexcept {
    if (bytes > ZorImage::kMaxBytes) return nullptr;
    void *p = std::calloc(bytes, 1);
    if (!p) return nullptr;
    try {
        return std::shared_ptr<void>(p, std::free);
    } catch (...) {
        return nullptr;  // the shared pointer frees p when it cannot be made
    }
}

template <class T>
void put(T *p, T v) {
    if (p) *p = v;
}

}  // namespace

// ---- Image types ---------------------------------------------------------------

ZorImageType::ZorImageType(unsigned w, unsigned h, unsigned bands, int datatype)
    : w_(w), h_(h), bands_(bands), datatype_(datatype) {}

void ZorImageType::getInfo(unsigned *w, unsigned *h, unsigned *bands, int *datatype) const {
    put(w, w_);
    put(h, h_);
    put(bands, bands_);
    put(datatype, datatype_);
}

void ZorImageType::getInfo(int *w, int *h, int *bands, int *datatype) const {
    put(w, static_cast<int>(w_));
    put(h, static_cast<int>(h_));
    put(bands, static_cast<int>(bands_));
    put(datatype, datatype_);
}

// ---- Images --------------------------------------------------------------------

ZorImage::ZorImage(unsigned w, unsigned h, unsigned bands, int datatype) : ZorImageType(w, h, bands, datatype) {}

ZorImage::~ZorImage() {
    if (roi_) releaseOwned(roi_);
    if (ZorRoi *r = isRoi_.load()) releaseOwned(r);
}

ZorImage *ZorImage::create(unsigned w, unsigned h, unsigned bands, int datatype) noexcept {
    if (!valid_shape(w, h, bands, datatype)) return nullptr;
    auto *img = new (std::nothrow) ZorImage(w, h, bands, datatype);
    if (!img) return nullptr;
    ZorStorage &s = img->storage_;
    std::size_t bytes;
    if (datatype == ZOR_BIT) {
        const unsigned lb = ((w + 7) / 8 + 7) & ~7u;
        s.bits = {nullptr, static_cast<std::uint16_t>(lb), static_cast<std::int32_t>(h), 0};
        bytes = std::size_t{lb} * h * bands;
    } else {
        const unsigned size = datatype == ZOR_SHORT ? 2 : 1;
        const unsigned row = ((w * bands * size + 7) & ~7u) / size;
        s.samples = {nullptr, static_cast<std::int32_t>(row), static_cast<std::uint16_t>(bands)};
        bytes = std::size_t{row} * h * size;
    }
    img->pixels_ = zeroed(bytes);
    if (!img->pixels_) {
        img->destroy();
        return nullptr;
    }
    if (datatype == ZOR_BIT)
        s.bits.address = static_cast<std::uint8_t *>(img->pixels_.get());
    else
        s.samples.address = img->pixels_.get();
    img->inMemory_ = true;
    return img;
}

ZorImage *ZorImage::createOver(unsigned w, unsigned h, unsigned bands, int datatype, void *data,
                               std::int32_t scanlineStride, std::uint16_t pixelStride) noexcept {
    if (!valid_shape(w, h, bands, datatype) || datatype == ZOR_BIT || !data || pixelStride < bands ||
        scanlineStride < 0 || static_cast<unsigned long long>(scanlineStride) < 1ull * w * pixelStride)
        return nullptr;
    auto *img = new (std::nothrow) ZorImage(w, h, bands, datatype);
    if (!img) return nullptr;
    img->storage_.samples = {data, scanlineStride, pixelStride};
    img->inMemory_ = true;
    return img;
}

ZorImage *ZorImage::createWindow(unsigned w, unsigned h, unsigned bands, const ZorDisplayIO &record) noexcept {
    if (!valid_shape(w, h, bands, ZOR_BYTE)) return nullptr;
    ZorHandle<ZorImage> img(new (std::nothrow) ZorImage(w, h, bands, ZOR_BYTE));
    if (!img) return nullptr;
    try {
        img->display_ = std::make_shared<ZorDisplayIO>(record);
    } catch (...) {
        return nullptr;
    }
    return img.release();
}

ZorImage *ZorImage::createChild(unsigned x, unsigned y, unsigned band, unsigned w, unsigned h,
                                 unsigned bands) noexcept {
    if (w < 1 || h < 1 || bands < 1 || x > w_ || w > w_ - x || y > h_ || h > h_ - y || band > bands_ ||
        bands > bands_ - band)
        return nullptr;
    auto *c = new (std::nothrow) ZorImage(w, h, bands, datatype_);
    if (!c) return nullptr;
    c->child_ = true;
    c->cx_ = cx_ + x;
    c->cy_ = cy_ + y;
    c->cb_ = cb_ + band;
    c->pixels_ = pixels_;
    c->storage_ = storage_;
    c->inMemory_ = inMemory_;
    c->display_ = display_;
    if (inMemory_ && datatype_ == ZOR_BIT) {
        // Bit images are addressed from the child's own first pixel.
        ZorBitStorage &b = c->storage_.bits;
        const unsigned bit = b.bitOffset + x;
        b.address += std::size_t{y} * b.scanlineStride + bit / 8 + std::size_t{band} * b.bandStride * b.scanlineStride;
        b.bitOffset = static_cast<std::uint8_t>(bit % 8);
    }
    return c;
}

void ZorImage::getChildOffsets(unsigned *x, unsigned *y, unsigned *band) const {
    put(x, cx_);
    put(y, cy_);
    put(band, cb_);
}

void ZorImage::getChildOffsets(int *x, int *y, int *band) const {
    put(x, static_cast<int>(cx_));
    put(y, static_cast<int>(cy_));
    put(band, static_cast<int>(cb_));
}

void ZorImage::getOrigin(int *x, int *y) const {
    put(x, static_cast<int>(std::nearbyint(ox_)));
    put(y, static_cast<int>(std::nearbyint(oy_)));
}

void ZorImage::getOrigin(float *x, float *y) const {
    put(x, ox_);
    put(y, oy_);
}

int ZorImage::setOrigin(float x, float y) {
    constexpr float limit = 1 << 24;
    if (!(std::fabs(x) <= limit) || !(std::fabs(y) <= limit)) return ZOR_FAILURE;
    ox_ = x;
    oy_ = y;
    if (ZorRoi *r = isRoi_.exchange(nullptr)) releaseOwned(r);
    markModified();
    return ZOR_SUCCESS;
}

ZorRoi *ZorImage::owned(ZorRoi *r) {
    if (r) own(r);
    return r;
}

ZorRoi *ZorImage::getRoi() { return roi_; }

ZorRoi *ZorImage::getImageSpaceRoi() noexcept {
    if (ZorRoi *kept = isRoi_.load(std::memory_order_acquire)) return kept;
    // Made by the first caller and published whole; a caller on another
    // thread that made one too keeps the published one and releases its own.
    int ox, oy;
    getOrigin(&ox, &oy);
    ZorHandle<ZorRoi> whole(roi_ ? nullptr : ZorRoi::create(0, 0, static_cast<int>(w_), static_cast<int>(h_)));
    const ZorRoi *base = roi_ ? roi_ : whole.get();
    ZorRoi *made = base ? owned(base->translate(-ox, -oy)) : nullptr;
    ZorRoi *kept = nullptr;
    if (made && !isRoi_.compare_exchange_strong(kept, made, std::memory_order_acq_rel, std::memory_order_acquire)) {
        releaseOwned(made);
        return kept;
    }
    return made;
}

int ZorImage::setRoi(const ZorRoi *roi) noexcept {
    ZorRoi *cut = nullptr;
    if (roi) {
        ZorHandle<ZorRoi> whole(ZorRoi::create(0, 0, static_cast<int>(w_), static_cast<int>(h_)));
        cut = whole ? roi->intersect(whole.get()) : nullptr;
        if (!cut) return ZOR_FAILURE;
    }
    if (roi_) releaseOwned(roi_);
    if (ZorRoi *r = isRoi_.exchange(nullptr)) releaseOwned(r);
    roi_ = owned(cut);
    markModified();
    return ZOR_SUCCESS;
}

const ZorStorage *ZorImage::getStorage(const char *kind) const {
    return inMemory_ && kind && std::string_view(kind) == "memory" ? &storage_ : nullptr;
}

void *ZorImage::sampleAddress(unsigned x, unsigned y, unsigned band) const {
    if (!inMemory_ || x >= w_ || y >= h_ || band >= bands_) return nullptr;
    if (datatype_ == ZOR_BIT) {
        const ZorBitStorage &b = storage_.bits;
        return b.address + (std::size_t{band} * b.bandStride + y) * b.scanlineStride + (b.bitOffset + x) / 8;
    }
    const ZorSampleStorage &s = storage_.samples;
    const std::size_t size = datatype_ == ZOR_SHORT ? 2 : 1;
    const std::size_t index =
        std::size_t{cy_ + y} * s.scanlineStride + std::size_t{cx_ + x} * s.pixelStride + cb_ + band;
    return static_cast<std::uint8_t *>(s.address) + index * size;
}

int ZoriGetRoiList(ZorRoi **roi, ZorImage *dst, ZorImage *src, ZorImage *other, void *reserved) noexcept {
    if (!roi) return ZOR_FAILURE;
    *roi = nullptr;
    if (!dst || reserved || !dst->getImageSpaceRoi()) return ZOR_FAILURE;
    ZorHandle<ZorRoi> r(dst->getImageSpaceRoi()->copy());
    for (ZorImage *img : {src, other}) {
        if (!img || !r) continue;
        const ZorRoi *ir = img->getImageSpaceRoi();
        r.reset(ir ? r->intersect(ir) : nullptr);
    }
    if (!r) return ZOR_FAILURE;
    *roi = r.release();
    return ZOR_SUCCESS;
}
