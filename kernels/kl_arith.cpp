// The arithmetic, logic and constant kernels are generated as table calls in
// kl_dispatch.cpp; their bodies are in kl_arith_body.h.
#include <cstdint>

#include "kl.h"

extern "C" uint32_t kl_s16_to_kl_f32(short v) { return static_cast<uint32_t>(static_cast<uint16_t>(v)) << 16; }
