#include "zor_interpolation.h"

#include <cmath>
#include <cstring>
#include <new>

ZorInterpolationTable *ZorInterpolationTable::create(int kernelSize, int subsamples, const float *data) {
    if (kernelSize < 1 || kernelSize > kMaxKernelSize || subsamples < 1 || subsamples > kMaxSubsamples) return nullptr;
    const std::size_t n = static_cast<std::size_t>(kernelSize) * static_cast<std::size_t>(subsamples);
    if (data) {
        for (std::size_t i = 0; i < n; ++i)
            if (!std::isfinite(data[i])) return nullptr;
    }
    std::unique_ptr<float[]> values(new (std::nothrow) float[n]);
    if (!values) return nullptr;
    if (data) {
        std::memcpy(values.get(), data, n * sizeof(float));
    } else {
        for (std::size_t i = 0; i < n; ++i) values[i] = 0.0f;
    }
    ZorInterpolationTable *t = new (std::nothrow) ZorInterpolationTable;
    if (!t) return nullptr;
    t->kernelSize_ = kernelSize;
    t->subsamples_ = subsamples;
    t->data_ = std::move(values);
    return t;
}

int ZorInterpolationTable::setValue(int phase, int tap, float value) {
    if (phase < 0 || phase >= subsamples_ || tap < 0 || tap >= kernelSize_ || !std::isfinite(value)) return ZOR_FAILURE;
    data_[static_cast<std::size_t>(phase) * kernelSize_ + tap] = value;
    markModified();
    return ZOR_SUCCESS;
}
