// Convolution kernels of the host imaging library.
#pragma once

#include "zor_object.h"

#include <memory>

// A width x height array of coefficients, row-major, with a key pixel: the
// kernel element that lies over the pixel being computed. Nothing here throws.
class ZorKernel : public ZorObject {
public:
    static constexpr unsigned kMaxSide = 256;

    // 1 to kMaxSide coefficients each way, finite values (null: all zero), the
    // key inside the kernel. Null for other arguments or when memory runs out.
    static ZorKernel *create(unsigned width, unsigned height, const float *values, int keyX, int keyY) noexcept;

    unsigned getWidth() const { return w_; }
    unsigned getHeight() const { return h_; }
    // width x height values, row-major.
    float *getValue() const { return values_.get(); }
    int getKeyX() const { return kx_; }
    int getKeyY() const { return ky_; }

    // Replaces the values (width x height finite floats); ZOR_FAILURE changes nothing.
    int setValues(const float *values) noexcept;

private:
    ZorKernel() = default;
    ~ZorKernel() override = default;

    unsigned w_ = 0, h_ = 0;
    int kx_ = 0, ky_ = 0;
    std::unique_ptr<float[]> values_;
};
