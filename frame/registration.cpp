#include "wren_device.h"

using W = ZorDeviceComputeTypeWren;

// Path (names after the device-IO name) and driver, in registration order.
const WrenRegistration wren_registrations[42] = {
    {{"add8"}, &W::Add8Wren},
    {{"addconst8"}, &W::AddConst8Wren},
    {{"affine8nearest"}, &W::Affine8Wren},
    {{"affine8bilinear"}, &W::Affine8Wren},
    {{"affine8bicubic"}, &W::Affine8Wren},
    {{"alu8"}, &W::Alu8Wren},
    {{"aluconst8"}, &W::AluConst8Wren},
    {{"and8"}, &W::And8Wren},
    {{"andconst8"}, &W::AndConst8Wren},
    {{"convolve8"}, &W::ConvolveWren},
    {{"convolve8", "convolve8"}, &W::ConvolveSPWren},
    {{"copy8"}, &W::Copy8Wren},
    {{"lookup8_8"}, &W::Lookup8_8Wren},
    {{"lookup16_8"}, &W::Lookup16_8Wren},
    {{"max8"}, &W::Max8Wren},
    {{"min8"}, &W::Min8Wren},
    {{"multiply8"}, &W::Multiply8Wren},
    {{"multiplyconst8"}, &W::MultiplyConst8Wren},
    {{"not8"}, &W::Not8Wren},
    {{"or8"}, &W::Or8Wren},
    {{"orconst8"}, &W::OrConst8Wren},
    {{"lookup8_8", "scale8bilinear"}, &W::qdx_Scale8Lookup8_8Wren},
    {{"lookup16_8", "scale16bilinear"}, &W::qdx_Scale16Lookup16_8Wren},
    {{"rescale8"}, &W::Rescale8Wren},
    {{"threshold8", "rescale8"}, &W::Rescale8Wren},
    {{"threshold8", "threshold8", "rescale8"}, &W::Rescale8Wren},
    {{"convert16_8", "threshold16", "threshold16", "rescale16"}, &W::Rescale16Wren},
    {{"rotate8nearest"}, &W::Rotate8Wren},
    {{"rotate8bilinear"}, &W::Rotate8Wren},
    {{"rotate8bicubic"}, &W::Rotate8Wren},
    {{"scale8nearest"}, &W::Scale8Wren},
    {{"scale8bilinear"}, &W::Scale8Wren},
    {{"scale8bicubic"}, &W::Scale8Wren},
    {{"scale8general"}, &W::Scale8Wren},
    {{"setvalue8"}, &W::SetValue8Wren},
    {{"subtract8"}, &W::Subtract8Wren},
    {{"subtractconst8"}, &W::SubtractConst8Wren},
    {{"subtractfromconst8"}, &W::SubtractFromConst8Wren},
    {{"threshold8"}, &W::Threshold8Wren},
    {{"transpose8"}, &W::Transpose8Wren},
    {{"xor8"}, &W::Xor8Wren},
    {{"xorconst8"}, &W::XorConst8Wren},
};

int describeSomeMembers_0(ZorDeviceComputeTypeWren *device, ZorOpTreeNode *base) {
    for (const WrenRegistration &row : wren_registrations) {
        ZorOpTreeNode *node = base->branch(ZOR_DISPLAY_IO_WREN);
        for (const char *name : row.names)
            if (name && node) node = node->branch(name);
        const auto member = static_cast<ZorComputeFunction>(row.member);
        if (!node || node->addFunction(device, member) == ZOR_FAILURE) {
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
