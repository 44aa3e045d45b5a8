#include "wren_paths.h"

#include "not_built.h"
#include "wren_device.h"

#include <cstring>

namespace {

using W = ZorDeviceComputeTypeWren;

constexpr wren_path_state state_of(const char *member, bool worker = false) {
    return worker ? WREN_PATH_WORKER : wren_not_built(member) ? WREN_PATH_NOT_BUILT : WREN_PATH_DRAWS;
}

#define MEMBER(m) #m, &W::m, state_of(#m)
#define WORKER(m) #m, &W::m, state_of(#m, true)

constexpr const char *kTwo = "src1 src2";
constexpr const char *kOne = "src1";
constexpr const char *kFloats = "src1 ptr1:floats:const";
constexpr const char *kInts = "src1 ptr1:ints:const";

// Registration order.
const WrenPath rows[] = {
    {{"add8"}, {kTwo}, "a + b, clamped to 255", MEMBER(Add8Wren)},
    {{"addconst8"}, {kFloats}, "a + k per band, k rounded, clamped to 0..255", MEMBER(AddConst8Wren)},
    {{"affine8nearest"}, {"src1 ptr1:matrix:matrix"}, "affine warp, nearest neighbour", MEMBER(Affine8Wren)},
    {{"affine8bilinear"}, {"src1 ptr1:matrix:matrix"}, "affine warp, bilinear", MEMBER(Affine8Wren)},
    {{"affine8bicubic"}, {"src1 ptr1:matrix:matrix"}, "affine warp, bicubic", MEMBER(Affine8Wren)},
    {{"alu8"}, {kTwo}, "dyadic worker: a thin driver gives it the kernel", WORKER(Alu8Wren)},
    {{"aluconst8"}, {kFloats}, "constant worker: a thin driver gives it the kernel", WORKER(AluConst8Wren)},
    {{"and8"}, {kTwo}, "a & b", MEMBER(And8Wren)},
    {{"andconst8"}, {kInts}, "a & k per band, k (low 16 bits) clamped to 0..255", MEMBER(AndConst8Wren)},
    {{"convolve8"}, {"src1 obj1:kernel:kernel long2:edge:edge"}, "3x3, 5x5 or 7x7 convolution",
     MEMBER(ConvolveWren)},
    {{"convolve8", "convolve8"},
     {"src1 obj1:kernel:kernel long2:edge:edge", "src1 obj1:kernel:kernel long2:edge:edge"},
     "separable convolution: N x 1 and 1 x N, in either order", MEMBER(ConvolveSPWren)},
    {{"copy8"}, {kOne}, "copy, converting 1, 3 and 4 bands", MEMBER(Copy8Wren)},
    {{"lookup8_8"}, {"src1 obj1:lookup:lut"}, "table lookup of 8-bit samples", MEMBER(Lookup8_8Wren)},
    {{"lookup16_8"}, {"src1:shorts obj1:lookup:lut"}, "table lookup of 16-bit samples", MEMBER(Lookup16_8Wren)},
    {{"max8"}, {kTwo}, "max(a, b)", MEMBER(Max8Wren)},
    {{"min8"}, {kTwo}, "min(a, b)", MEMBER(Min8Wren)},
    {{"multiply8"}, {kTwo}, "min(a * b, 255)", MEMBER(Multiply8Wren)},
    {{"multiplyconst8"}, {kFloats}, "a * k per band, rounded, clamped to 0..255; k at most 63", MEMBER(MultiplyConst8Wren)},
    {{"not8"}, {kOne}, "255 - a", MEMBER(Not8Wren)},
    {{"or8"}, {kTwo}, "a | b", MEMBER(Or8Wren)},
    {{"orconst8"}, {kInts}, "a | k per band, k (low 16 bits) clamped to 0..255", MEMBER(OrConst8Wren)},
    {{"lookup8_8", "scale8bilinear"}, {"obj1:lookup:lut", "src1 float1:scale:xscale float2:scale:yscale"},
     "2x or 4x bilinear zoom, then a lookup", MEMBER(qdx_Scale8Lookup8_8Wren)},
    {{"lookup16_8", "scale16bilinear"}, {"obj1:lookup:lut", "src1:shorts float1:scale:xscale float2:scale:yscale"},
     "2x or 4x bilinear zoom of 16-bit samples, then a lookup", MEMBER(qdx_Scale16Lookup16_8Wren)},
    {{"rescale8"}, {"src1 ptr1:floats:scale ptr2:floats:offset"}, "a * s + o, clamped to 0..255, by the pixel-mapping unit",
     MEMBER(Rescale8Wren)},
    {{"threshold8", "rescale8"},
     {"ptr1:floats:low ptr2:floats:high ptr3:floats:map", "src1 ptr1:floats:scale ptr2:floats:offset"},
     "rescale with one clamp", MEMBER(Rescale8Wren)},
    {{"threshold8", "threshold8", "rescale8"},
     {"ptr1:floats:low ptr2:floats:high ptr3:floats:map", "ptr1:floats:low ptr2:floats:high ptr3:floats:map",
      "src1 ptr1:floats:scale ptr2:floats:offset"},
     "rescale with both clamps", MEMBER(Rescale8Wren)},
    {{"convert16_8", "threshold16", "threshold16", "rescale16"},
     {"", "ptr1:floats:low ptr2:floats:high ptr3:floats:map", "ptr1:floats:low ptr2:floats:high ptr3:floats:map",
      "src1:shorts ptr1:floats:scale ptr2:floats:offset"},
     "rescale of 16-bit samples with both clamps, to 8 bits", MEMBER(Rescale16Wren)},
    {{"rotate8nearest"}, {"src1 float1:angle:angle"}, "rotation about the origin, nearest neighbour",
     MEMBER(Rotate8Wren)},
    {{"rotate8bilinear"}, {"src1 float1:angle:angle"}, "rotation about the origin, bilinear", MEMBER(Rotate8Wren)},
    {{"rotate8bicubic"}, {"src1 float1:angle:angle"}, "rotation about the origin, bicubic", MEMBER(Rotate8Wren)},
    {{"scale8nearest"}, {"src1 float1:scale:xscale float2:scale:yscale"}, "scaling, nearest neighbour",
     MEMBER(Scale8Wren)},
    {{"scale8bilinear"}, {"src1 float1:scale:xscale float2:scale:yscale"}, "scaling, bilinear", MEMBER(Scale8Wren)},
    {{"scale8bicubic"}, {"src1 float1:scale:xscale float2:scale:yscale"}, "scaling, bicubic", MEMBER(Scale8Wren)},
    {{"scale8general"},
     {"src1 float1:scale:xscale float2:scale:yscale obj3:itable:xfilter obj4:itable:yfilter"},
     "scaling with the given interpolation tables", MEMBER(Scale8Wren)},
    {{"setvalue8"}, {"ptr1:values:value"}, "fill with one value per band, by the accelerator",
     MEMBER(SetValue8Wren)},
    {{"subtract8"}, {kTwo}, "a - b, clamped to 0", MEMBER(Subtract8Wren)},
    {{"subtractconst8"}, {kFloats}, "a - k per band, k rounded, clamped to 0..255", MEMBER(SubtractConst8Wren)},
    {{"subtractfromconst8"}, {kFloats}, "k - a per band, k rounded, clamped to 0..255", MEMBER(SubtractFromConst8Wren)},
    {{"threshold8"}, {"src1 ptr1:floats:low ptr2:floats:high ptr3:floats:map"},
     "samples in [low, high] replaced by map", MEMBER(Threshold8Wren)},
    {{"transpose8"}, {"src1 long1:flip:flip"}, "flips and the half turn", MEMBER(Transpose8Wren)},
    {{"xor8"}, {kTwo}, "a ^ b", MEMBER(Xor8Wren)},
    {{"xorconst8"}, {kInts}, "a ^ k per band, k (low 16 bits) clamped to 0..255", MEMBER(XorConst8Wren)},
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
    for (const WrenPath &row : rows) {
        if (row.count() != count) continue;
        ZorOp *o = op ? op->getOp1() : nullptr;
        int i = 0;
        for (; i < count - 1 && o; ++i, o = o->getOp1()) {
            const char *name = o->getName();
            if (!name || std::strcmp(name, row.names[i]) != 0) break;
        }
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
