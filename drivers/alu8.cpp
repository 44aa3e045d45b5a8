// Dyadic arithmetic and logic: two 8-bit sources combined into the window.
//
// All eight drivers name a kernel and hand it to Alu8Wren. A 3-band source
// beside a 4-band one is widened to 4 bands in scratch rows; two 3-band
// sources are combined into 3-band scratch rows that are then widened into
// the window. All band masks must be equal.
#include "driver_frame.h"
#include "wren_device.h"

namespace {

using wren::Masks;
using wren::Stage;

constexpr wren::Layout layouts[] = {
    {1, 1, 1, Masks::equal},
    {4, 4, 4, Masks::equal},
    {4, 3, 4, Masks::equal, Stage::widen2, 4},
    {3, 4, 4, Masks::equal, Stage::widen1, 4},
    {3, 3, 4, Masks::equal, Stage::expand, 3},
};

struct Params {
    WrenDyadicKernel kernel;
};

void kernel(wren::Job &j) { j.c.p<Params>().kernel(j.bmask, &j.dst, &j.src[0], &j.src[1]); }

}  // namespace

const wren::DriverPlan wren::alu8_plan{.sources = 2, .layouts = layouts, .kernel = kernel};

int ZorDeviceComputeTypeWren::Alu8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, nullptr); }

int ZorDeviceComputeTypeWren::Alu8Wren(ZorOp *op, int count, WrenDyadicKernel kernel) {
    if (!kernel) {
        return wren::refuse(op, count, WREN_NO_KERNEL, "the dyadic worker needs a kernel from a driver such as add8");
    }
    return wren::run(wren::alu8_plan, op, count, Params{kernel});
}

int ZorDeviceComputeTypeWren::Add8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_add_8); }
int ZorDeviceComputeTypeWren::And8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_and_8); }
int ZorDeviceComputeTypeWren::Max8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_max_8); }
int ZorDeviceComputeTypeWren::Min8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_min_8); }
int ZorDeviceComputeTypeWren::Multiply8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_mpy_8); }
int ZorDeviceComputeTypeWren::Or8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_or_8); }
int ZorDeviceComputeTypeWren::Subtract8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_sub_8); }
int ZorDeviceComputeTypeWren::Xor8Wren(ZorOp *op, int count) { return Alu8Wren(op, count, kl_xor_8); }
