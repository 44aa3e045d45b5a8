// The members whose drivers are not built yet: each declines through the
// driver frame, so the outcome and the trace say why.
#include "driver_frame.h"
#include "not_built.h"
#include "wren_device.h"

using W = ZorDeviceComputeTypeWren;

#define WREN_STUB(m)                                                                        \
    int W::m(ZorOp *op, int count) {                                                        \
        return wren::DriverCall(op, count, #m).decline(WREN_NOT_BUILT, "driver not built yet"); \
    }
WREN_NOT_BUILT(WREN_STUB)
#undef WREN_STUB

