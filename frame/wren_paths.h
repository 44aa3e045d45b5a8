// The registered paths: one row per path the device offers the host.
//
// Registration, the wren tool (paths, run, demo) and the tests all read this
// table; a driver's facts (its names, member, what its operations take, what it
// does) are stated here once.
#pragma once

#include "zor.h"

class ZorDeviceComputeTypeWren;
namespace wren {
struct DriverPlan;
}

// What a row's member does when called.
enum wren_path_state {
    WREN_PATH_DRAWS = 0,     // its driver computes the path
    WREN_PATH_NOT_BUILT,     // its driver is not built yet: every call declines
    WREN_PATH_WORKER,        // a worker that needs a kernel from a thin driver: registered, always declines
};

struct WrenPath {
    // Operation names after the device-IO name, display side first: for
    // "threshold8", "rescale8" the display shows the threshold of a rescale.
    const char *names[4];
    // What each operation (same order) takes besides the operation it reads,
    // as space-separated items "slot:kind:option":
    //   src1, src2          a source image (src1:shorts: of signed 16-bit samples)
    //   ptr1:floats:const   pointer parameter 1, one float per selected band
    //   ptr1:ints:const     pointer parameter 1, one 32-bit integer per selected band
    //   ptr1:values:value   set values, one float per band of the result
    //   obj1:lookup:lut     object parameter 1, a lookup
    // Later operations add object, long and float parameters the same way.
    const char *params[4];
    const char *summary;  // one line for people
    const char *member;   // the member function's name
    int (ZorDeviceComputeTypeWren::*fn)(ZorOp *, int);
    wren_path_state state;
    // What its driver takes and does (driver_frame.h): layouts, region, hooks.
    const wren::DriverPlan *plan;

    // Operations in the chain, display included: the count the host passes.
    int count() const {
        int n = 1;
        while (n <= 4 && names[n - 1]) ++n;
        return n;
    }
};

extern "C" {
// The table, in registration order; *n receives the number of rows.
__attribute__((visibility("default"))) const WrenPath *wren_path_table(int *n);
// The row whose names equal the chain below the display operation op
// (count - 1 operations), or null.
__attribute__((visibility("default"))) const WrenPath *wren_path_of(ZorOp *op, int count);
}

typedef const WrenPath *(*wren_path_table_fn)(int *n);
