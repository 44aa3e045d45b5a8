#include "zor.h"

#include <algorithm>
#include <iterator>
#include <new>
#include <string_view>

namespace {

// The operations the host knows, numbered from 1 in this order.
constexpr std::string_view op_names[] = {
    ZOR_DISPLAY_IO_WREN,
    "add8", "addconst8", "affine8nearest", "affine8bilinear", "affine8bicubic", "alu8", "aluconst8",
    "and8", "andconst8", "convolve8", "copy8", "lookup8_8", "lookup16_8", "max8", "min8", "multiply8",
    "multiplyconst8", "not8", "or8", "orconst8", "scale8bilinear", "scale16bilinear", "rescale8",
    "threshold8", "convert16_8", "threshold16", "rescale16", "rotate8nearest", "rotate8bilinear",
    "rotate8bicubic", "scale8nearest", "scale8bicubic", "scale8general", "setvalue8", "subtract8",
    "subtractconst8", "subtractfromconst8", "transpose8", "xor8", "xorconst8",
    "copy16", "convert8_16", "lookup8_16", "setvalue16",
};

}  // namespace

int ZorLookupOpNumber(const char *name) {
    if (!name) return -1;
    auto it = std::find(std::begin(op_names), std::end(op_names), std::string_view(name));
    return it == std::end(op_names) ? -1 : static_cast<int>(it - std::begin(op_names)) + 1;
}

const char *ZorOpName(int number) {
    if (number < 1 || number > static_cast<int>(std::size(op_names))) return nullptr;
    return op_names[number - 1].data();  // the literals are NUL-terminated
}

ZorOp::ZorOp(int number, ZorImage *dst, ZorImage *src1, ZorImage *src2, ZorOp *op1)
    : number_(number), dst_(dst), src1_(src1), src2_(src2), op1_(op1) {}
ZorOp::~ZorOp() = default;

ZorOp *ZorOp::create(const char *name, ZorImage *dst, ZorImage *src1, ZorImage *src2, ZorOp *op1) noexcept {
    const int number = ZorLookupOpNumber(name);
    return number < 0 ? nullptr : new (std::nothrow) ZorOp(number, dst, src1, src2, op1);
}

void ZorOp::setOp1(ZorOp *op1) {
    op1_ = op1;
    markModified();
}

const ZorOp::Param *ZorOp::param(int i) const {
    for (const auto &[index, p] : params_)
        if (index == i) return &p;
    return nullptr;
}

void ZorOp::setParam(int i, Param p) {
    if (const Param *old = param(i))
        *const_cast<Param *>(old) = p;
    else
        params_.emplace_back(i, p);
    markModified();
}

template <class T>
static T read(const std::variant<std::monostate, void *, ZorObject *, long, float> *p) {
    const T *v = p ? std::get_if<T>(p) : nullptr;
    return v ? *v : T{};
}

void *ZorOp::getPtrParam(int i) const { return read<void *>(param(i)); }
ZorObject *ZorOp::getObjParam(int i) const { return read<ZorObject *>(param(i)); }
long ZorOp::getLongParam(int i) const { return read<long>(param(i)); }
float ZorOp::getFloatParam(int i) const { return read<float>(param(i)); }
void ZorOp::setPtrParam(int i, void *p) { setParam(i, p); }
void ZorOp::setObjParam(int i, ZorObject *o) { setParam(i, o); }
void ZorOp::setLongParam(int i, long v) { setParam(i, v); }
void ZorOp::setFloatParam(int i, float v) { setParam(i, v); }
