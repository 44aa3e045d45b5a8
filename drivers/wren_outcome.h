// What the last driver call did, for tools and tests that want to know why a
// path declined. With WREN_TRACE=1 in the environment every call also prints
// one line to standard error.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Why a driver declined; WREN_OK when it computed.
enum wren_reason {
    WREN_OK = 0,
    WREN_NO_KERNEL,      // a worker reached without a kernel
    WREN_NO_WINDOW,      // the destination cannot be described as a window
    WREN_NO_SOURCE,      // a source cannot be described as an image in memory
    WREN_BAND_MASK,      // band masks of the images differ
    WREN_LAYOUT,         // a band layout the driver does not handle
    WREN_PARAMETER,      // a parameter is missing or cannot be used
    WREN_REGION,         // the region to compute cannot be formed
    WREN_SCRATCH,        // the scratch image cannot be made
    WREN_LOCK,           // the window cannot be locked
    WREN_CLIP,           // the region cannot be met with the clip list
    WREN_RECT_LIST,      // the rectangle list cannot be made
    WREN_BOUNDS,         // a rectangle to compute leaves one of the images
    WREN_RASTER_SETUP,   // the raster setup refused
    WREN_CHAIN,          // the operation chain is not one the driver computes
};

enum { WREN_OUTCOME_CHUNKS = 16 };

typedef struct wren_outcome {
    char path[160];       // "display_ioQORVwren/add8"
    char driver[48];      // "Add8Wren"
    int status;           // what the host was told: 0 computed, 2 declined
    int reason;           // enum wren_reason
    char message[128];    // short explanation of a decline, "" when computed
    int rects;            // destination rectangles written
    long usec;            // time spent in the call
    long scratch_bytes;   // size of the scratch buffer, 0 when none was made
    int scratch_allocs;   // scratch buffers allocated during the call
    int chunks;           // staged chunks of rows, over all rectangles
    int chunk_rows[WREN_OUTCOME_CHUNKS];  // rows of the first chunks, in order
} wren_outcome;

// Copies the outcome of the last driver call into *out: 0, or -1 when no call
// has been made yet (or out is null).
__attribute__((visibility("default"))) int wren_last_outcome(wren_outcome *out);

// A short name of a reason ("layout"), or "unknown".
__attribute__((visibility("default"))) const char *wren_reason_name(int reason);

typedef int (*wren_last_outcome_fn)(wren_outcome *out);

#ifdef __cplusplus
}
#endif
