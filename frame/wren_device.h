// The Wren compute device: the device object, its driver member functions and
// the plug-in's entry point.
#pragma once

#include "kl.h"
#include "wren_paths.h"
#include "zor.h"

#include <cstddef>
#include <new>

// Kernels handed to the workers.
using WrenDyadicKernel = void (*)(int bmask, kl_image *dst, kl_image *src1, kl_image *src2);
using WrenConstKernel = void (*)(int bmask, kl_image *dst, kl_image *src, short *constants);

class ZorDeviceComputeTypeWren : public ZorDeviceComputeType {
public:
    ZorDeviceComputeTypeWren();
    ~ZorDeviceComputeTypeWren() override;

    // Allocation of the device object; setAllocationFailure(true) makes it fail
    // until reset, so the entry point's reaction can be tested.
    static void *operator new(std::size_t size, const std::nothrow_t &) noexcept;
    static void operator delete(void *p) noexcept;
    static void operator delete(void *p, const std::nothrow_t &) noexcept;
    static void setAllocationFailure(bool fail);

    // Registers every row of the path table: ZOR_SUCCESS or ZOR_FAILURE.
    int describeMembers();

    // Drivers: the display operation and the number of operations of the
    // matched path; ZOR_SUCCESS when drawn, ZOR_FAILURE when declined.
    //
    // Constants. The constant drivers (AddConst8Wren and the rest of the
    // AluConst8Wren family, MultiplyConst8Wren) and SetValue8Wren take their
    // values from getPtrParam(1) of the operation: an array holding one value
    // per band the window selects, in band order (32-bit integers for and, or
    // and xor; floats otherwise). The parameter is a bare pointer and carries
    // no length, so the drivers read as many values as the window selects
    // bands: a host that passes fewer makes them read past the end of its
    // array. SetValue8Wren declines when its operation's image has fewer bands
    // than that, which is all it can check.
    int Add8Wren(ZorOp *op, int count);
    int AddConst8Wren(ZorOp *op, int count);
    int Affine8Wren(ZorOp *op, int count);
    int Alu8Wren(ZorOp *op, int count);
    int AluConst8Wren(ZorOp *op, int count);
    int And8Wren(ZorOp *op, int count);
    int AndConst8Wren(ZorOp *op, int count);
    int ConvolveWren(ZorOp *op, int count);
    int ConvolveSPWren(ZorOp *op, int count);
    int Copy8Wren(ZorOp *op, int count);
    int Lookup8_8Wren(ZorOp *op, int count);
    int Lookup16_8Wren(ZorOp *op, int count);
    int Max8Wren(ZorOp *op, int count);
    int Min8Wren(ZorOp *op, int count);
    int Multiply8Wren(ZorOp *op, int count);
    int MultiplyConst8Wren(ZorOp *op, int count);
    int Not8Wren(ZorOp *op, int count);
    int Or8Wren(ZorOp *op, int count);
    int OrConst8Wren(ZorOp *op, int count);
    int qdx_Scale8Lookup8_8Wren(ZorOp *op, int count);
    int qdx_Scale16Lookup16_8Wren(ZorOp *op, int count);
    int Rescale8Wren(ZorOp *op, int count);
    int Rescale16Wren(ZorOp *op, int count);
    int Rotate8Wren(ZorOp *op, int count);
    int Scale8Wren(ZorOp *op, int count);
    int SetValue8Wren(ZorOp *op, int count);
    int Subtract8Wren(ZorOp *op, int count);
    int SubtractConst8Wren(ZorOp *op, int count);
    int SubtractFromConst8Wren(ZorOp *op, int count);
    int Threshold8Wren(ZorOp *op, int count);
    int Transpose8Wren(ZorOp *op, int count);
    int Xor8Wren(ZorOp *op, int count);
    int XorConst8Wren(ZorOp *op, int count);

    // Workers with their kernel; the registered forms above get no kernel.
    int Alu8Wren(ZorOp *op, int count, WrenDyadicKernel kernel);
    int AluConst8Wren(ZorOp *op, int count, WrenConstKernel kernel);
    // Plain 2x and 4x zoom, reached from Scale8Wren.
    int qdx_Scale8Wren(ZorOp *op);
};

// Registers the path table's rows in order below base; on a refusal withdraws what
// the device registered and returns ZOR_FAILURE.
int describeSomeMembers_0(ZorDeviceComputeTypeWren *device, ZorOpTreeNode *base);

extern "C" {
// Entry point: the device, or null when it does not apply or cannot start.
ZorDeviceComputeType *ZorCreateComputeType();
// The plug-in's version, "major.minor.patch"; its library carries the same.
__attribute__((visibility("default"))) const char *wren_version();
}
