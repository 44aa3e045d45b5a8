// Interpolation tables of the host imaging library: the taps of a separable
// resampling filter for one direction, sampled at a number of phases.
#pragma once

#include "zor_object.h"

#include <memory>

// getSubsamples() phases of getKernelSize() taps each, phase-major: the
// weight of tap k at phase p (the sample position's fraction p / subsamples
// beyond the first tap's centre plus half the kernel less one) is
// getData()[p * getKernelSize() + k]. Weights are plain factors (1.0 keeps
// a sample). Nothing here throws; failures return null or ZOR_FAILURE.
class ZorInterpolationTable : public ZorObject {
public:
    static constexpr int kMaxKernelSize = 64;
    static constexpr int kMaxSubsamples = 1 << 16;

    // A table of kernelSize (1 .. kMaxKernelSize) taps at subsamples
    // (1 .. kMaxSubsamples) phases from data (null: all zero). Null for other
    // arguments, a weight that is not finite, or no memory.
    static ZorInterpolationTable *create(int kernelSize, int subsamples, const float *data);

    float *getData() const { return data_.get(); }
    int getSubsamples() const { return subsamples_; }
    int getKernelSize() const { return kernelSize_; }
    // Weight k of phase p becomes value; ZOR_FAILURE (nothing changed) out of range.
    int setValue(int phase, int tap, float value);

private:
    ZorInterpolationTable() = default;
    ~ZorInterpolationTable() override = default;

    int kernelSize_ = 0, subsamples_ = 0;
    std::unique_ptr<float[]> data_;
};
