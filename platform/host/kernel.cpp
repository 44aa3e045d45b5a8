#include "zor.h"

#include <cmath>
#include <cstring>
#include <new>

namespace {

bool finite_all(const float *v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(v[i])) return false;
    return true;
}

}  // namespace

ZorKernel *ZorKernel::create(unsigned width, unsigned height, const float *values, int keyX, int keyY) noexcept {
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) return nullptr;
    if (keyX < 0 || keyY < 0 || keyX >= static_cast<int>(width) || keyY >= static_cast<int>(height)) return nullptr;
    const std::size_t n = std::size_t{width} * height;
    if (values && !finite_all(values, n)) return nullptr;
    std::unique_ptr<float[]> v(new (std::nothrow) float[n]);
    if (!v) return nullptr;
    if (values) {
        std::memcpy(v.get(), values, n * sizeof(float));
    } else {
        for (std::size_t i = 0; i < n; ++i) v[i] = 0.0f;
    }
    ZorKernel *k = new (std::nothrow) ZorKernel;
    if (!k) return nullptr;
    k->w_ = width;
    k->h_ = height;
    k->kx_ = keyX;
    k->ky_ = keyY;
    k->values_ = std::move(v);
    return k;
}

int ZorKernel::setValues(const float *values) noexcept {
    const std::size_t n = std::size_t{w_} * h_;
    if (!values || !finite_all(values, n)) return ZOR_FAILURE;
    std::memcpy(values_.get(), values, n * sizeof(float));
    markModified();
    return ZOR_SUCCESS;
}
