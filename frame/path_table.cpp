#include "wren_paths.h"

#include "driver_frame.h"
#include "wren_device.h"

#include <cstring>

namespace {

using W = ZorDeviceComputeTypeWren;

#define MEMBER(m, plan) #m, &W::m, WREN_PATH_DRAWS, &wren::plan##_plan
#define WORKER(m, plan) #m, &W::m, WREN_PATH_WORKER, &wren::plan##_plan

constexpr const char *kTwo = "src1 src2";
constexpr const char *kOne = "src1";
constexpr const char *kFloats = "src1 ptr1:floats:const";
constexpr const char *kInts = "src1 ptr1:ints:const";

// Registration order.
const WrenPath rows[] = {
    {{"add8"}, {kTwo}, "a + b, clamped to 255", MEMBER(Add8Wren, alu8)},
    {{"addconst8"}, {kFloats}, "a + k per band, k rounded, clamped to 0..255", MEMBER(AddConst8Wren, aluconst8)},
    {{"affine8nearest"}, {"src1 ptr1:matrix:matrix"}, "affine warp, nearest neighbour", MEMBER(Affine8Wren, affine8)},
    {{"affine8bilinear"}, {"src1 ptr1:matrix:matrix"}, "affine warp, bilinear", MEMBER(Affine8Wren, affine8)},
    {{"affine8bicubic"}, {"src1 ptr1:matrix:matrix"}, "affine warp, bicubic", MEMBER(Affine8Wren, affine8)},
    {{"alu8"}, {kTwo}, "dyadic worker: a thin driver gives it the kernel", WORKER(Alu8Wren, alu8)},
    {{"aluconst8"}, {kFloats}, "constant worker: a thin driver gives it the kernel", WORKER(AluConst8Wren, aluconst8)},
    {{"and8"}, {kTwo}, "a & b", MEMBER(And8Wren, alu8)},
    {{"andconst8"}, {kInts}, "a & k per band, k (low 16 bits) clamped to 0..255", MEMBER(AndConst8Wren, aluconst8)},
    {{"convolve8"}, {"src1 obj1:kernel:kernel long2:edge:edge"}, "3x3, 5x5 or 7x7 convolution",
     MEMBER(ConvolveWren, convolve8)},
    {{"convolve8", "convolve8"},
     {"src1 obj1:kernel:kernel long2:edge:edge", "src1 obj1:kernel:kernel long2:edge:edge"},
     "separable convolution: N x 1 and 1 x N, in either order", MEMBER(ConvolveSPWren, convolve_sp)},
    {{"copy8"}, {kOne}, "copy, converting 1, 3 and 4 bands", MEMBER(Copy8Wren, copy8)},
    {{"lookup8_8"}, {"src1 obj1:lookup:lut"}, "table lookup of 8-bit samples", MEMBER(Lookup8_8Wren, lookup8)},
    {{"lookup16_8"}, {"src1:shorts obj1:lookup:lut"}, "table lookup of 16-bit samples", MEMBER(Lookup16_8Wren, lookup16)},
    {{"max8"}, {kTwo}, "max(a, b)", MEMBER(Max8Wren, alu8)},
    {{"min8"}, {kTwo}, "min(a, b)", MEMBER(Min8Wren, alu8)},
    {{"multiply8"}, {kTwo}, "min(a * b, 255)", MEMBER(Multiply8Wren, alu8)},
    {{"multiplyconst8"}, {kFloats}, "a * k per band, rounded, clamped to 0..255; k at most 63", MEMBER(MultiplyConst8Wren, multiplyconst8)},
    {{"not8"}, {kOne}, "255 - a", MEMBER(Not8Wren, not8)},
    {{"or8"}, {kTwo}, "a | b", MEMBER(Or8Wren, alu8)},
    {{"orconst8"}, {kInts}, "a | k per band, k (low 16 bits) clamped to 0..255", MEMBER(OrConst8Wren, aluconst8)},
    {{"lookup8_8", "scale8bilinear"}, {"obj1:lookup:lut", "src1 float1:scale:xscale float2:scale:yscale"},
     "2x or 4x bilinear zoom, then a lookup", MEMBER(qdx_Scale8Lookup8_8Wren, zoom_lookup8)},
    {{"lookup16_8", "scale16bilinear"}, {"obj1:lookup:lut", "src1:shorts float1:scale:xscale float2:scale:yscale"},
     "2x or 4x bilinear zoom of 16-bit samples, then a lookup", MEMBER(qdx_Scale16Lookup16_8Wren, zoom_lookup16)},
    {{"rescale8"}, {"src1 ptr1:floats:scale ptr2:floats:offset"}, "a * s + o, clamped to 0..255, by the pixel-mapping unit",
     MEMBER(Rescale8Wren, rescale8)},
    {{"threshold8", "rescale8"},
     {"ptr1:floats:low ptr2:floats:high ptr3:floats:map", "src1 ptr1:floats:scale ptr2:floats:offset"},
     "rescale with one clamp", MEMBER(Rescale8Wren, rescale8)},
    {{"threshold8", "threshold8", "rescale8"},
     {"ptr1:floats:low ptr2:floats:high ptr3:floats:map", "ptr1:floats:low ptr2:floats:high ptr3:floats:map",
      "src1 ptr1:floats:scale ptr2:floats:offset"},
     "rescale with both clamps", MEMBER(Rescale8Wren, rescale8)},
    {{"convert16_8", "threshold16", "threshold16", "rescale16"},
     {"", "ptr1:floats:low ptr2:floats:high ptr3:floats:map", "ptr1:floats:low ptr2:floats:high ptr3:floats:map",
      "src1:shorts ptr1:floats:scale ptr2:floats:offset"},
     "rescale of 16-bit samples with both clamps, to 8 bits", MEMBER(Rescale16Wren, rescale16)},
    {{"rotate8nearest"}, {"src1 float1:angle:angle"}, "rotation about the origin, nearest neighbour",
     MEMBER(Rotate8Wren, rotate8)},
    {{"rotate8bilinear"}, {"src1 float1:angle:angle"}, "rotation about the origin, bilinear", MEMBER(Rotate8Wren, rotate8)},
    {{"rotate8bicubic"}, {"src1 float1:angle:angle"}, "rotation about the origin, bicubic", MEMBER(Rotate8Wren, rotate8)},
    {{"scale8nearest"}, {"src1 float1:scale:xscale float2:scale:yscale"}, "scaling, nearest neighbour",
     MEMBER(Scale8Wren, scale8)},
    {{"scale8bilinear"}, {"src1 float1:scale:xscale float2:scale:yscale"}, "scaling, bilinear", MEMBER(Scale8Wren, scale8)},
    {{"scale8bicubic"}, {"src1 float1:scale:xscale float2:scale:yscale"}, "scaling, bicubic", MEMBER(Scale8Wren, scale8)},
    {{"scale8general"},
     {"src1 float1:scale:xscale float2:scale:yscale obj3:itable:xfilter obj4:itable:yfilter"},
     "scaling with the given interpolation tables", MEMBER(Scale8Wren, scale8)},
    {{"setvalue8"}, {"ptr1:values:value"}, "fill with one value per band, by the accelerator",
     MEMBER(SetValue8Wren, setvalue8)},
    {{"subtract8"}, {kTwo}, "a - b, clamped to 0", MEMBER(Subtract8Wren, alu8)},
    {{"subtractconst8"}, {kFloats}, "a - k per band, k rounded, clamped to 0..255", MEMBER(SubtractConst8Wren, aluconst8)},
    {{"subtractfromconst8"}, {kFloats}, "k - a per band, k rounded, clamped to 0..255", MEMBER(SubtractFromConst8Wren, aluconst8)},
    {{"threshold8"}, {"src1 ptr1:floats:low ptr2:floats:high ptr3:floats:map"},
     "samples in [low, high] replaced by map", MEMBER(Threshold8Wren, threshold8)},
    {{"transpose8"}, {"src1 long1:flip:flip"}, "flips and the half turn", MEMBER(Transpose8Wren, transpose8)},
    {{"xor8"}, {kTwo}, "a ^ b", MEMBER(Xor8Wren, alu8)},
    {{"xorconst8"}, {kInts}, "a ^ k per band, k (low 16 bits) clamped to 0..255", MEMBER(XorConst8Wren, aluconst8)},
};
static_assert(sizeof rows / sizeof rows[0] == 42, "the device registers 42 paths");

#undef MEMBER
#undef WORKER

}  // namespace

extern "C" const WrenPath *wren_path_table(int *n) {
    if (n) *n = static_cast<int>(sizeof rows / sizeof rows[0]);
    return rows;
}

extern "C" const WrenPath *wren_path_of(ZorOp *op, int count) {
    // The chain's names, read once: up to the longest row's.
    constexpr int kMax = 4;
    const char *chain[kMax] = {};
    int have = 0;
    for (ZorOp *o = op ? op->getOp1() : nullptr; o && have < kMax && have < count - 1; o = o->getOp1()) chain[have++] = o->getName();
    for (const WrenPath &row : rows) {
        if (row.count() != count || count - 1 > have) continue;
        int i = 0;
        while (i < count - 1 && chain[i] && std::strcmp(chain[i], row.names[i]) == 0) ++i;
        if (i == count - 1) return &row;
    }
    return nullptr;
}

int describeSomeMembers_0(ZorDeviceComputeTypeWren *device, ZorOpTreeNode *base) {
    for (const WrenPath &row : rows) {
        ZorOpTreeNode *node = base->branch(ZOR_DISPLAY_IO_WREN);
        for (const char *name : row.names)
            if (name && node) node = node->branch(name);
        if (!node || node->addFunction(device, static_cast<ZorComputeFunction>(row.fn)) == ZOR_FAILURE) {
            base->removeFunctions(device);
            return ZOR_FAILURE;
        }
    }
    return ZOR_SUCCESS;
}

int ZorDeviceComputeTypeWren::describeMembers() {
    ZorOpTreeNode *base = zor_global_state->getOpTreeBase();
    if (describeSomeMembers_0(this, base) == ZOR_FAILURE) {
        base->removeFunctions(this);
        return ZOR_FAILURE;
    }
    return ZOR_SUCCESS;
}
