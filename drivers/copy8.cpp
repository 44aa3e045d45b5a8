// Copy of an 8-bit image into the window.
//
// kl_copy_8 converts the layouts itself (one band extracted or inserted,
// 3-sample memory pixels into 4-sample window pixels), so there is no scratch
// image; the layouts are those the kernel writes. The band mask handed to it
// is the union of both: a one-band source goes into the bands the window
// selects, a one-band window takes the band the source selects.
#include "driver_frame.h"
#include "wren_device.h"

namespace {

using wren::Masks;

constexpr wren::Layout layouts[] = {
    {0, 0, 1, Masks::any},
    {1, 0, 0, Masks::any},
    {4, 0, 4, Masks::equal},
    {3, 0, 4, Masks::equal},
};

void kernel(wren::Job &j) { kl_copy_8(j.dst.bmask | j.src[0].bmask, &j.dst, &j.src[0]); }

}  // namespace

const wren::DriverPlan wren::copy8_plan{.layouts = layouts, .kernel = kernel};

int ZorDeviceComputeTypeWren::Copy8Wren(ZorOp *op, int count) { return wren::run<int>(wren::copy8_plan, op, count); }
