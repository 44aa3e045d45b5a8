// The portable arithmetic, logic and constant kernels: row bodies of 8-byte
// words (kl_arith_ops.h).
#include "kl_arith_ops.h"

void kl_portable_arith(kl_impl &t) { arith_entries<Words>(t); }

extern "C" uint32_t kl_s16_to_kl_f32(short v) { return static_cast<uint32_t>(static_cast<uint16_t>(v)) << 16; }
