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
    WREN_NOT_BUILT,      // the path's driver is not built yet
};

enum { WREN_OUTCOME_CHUNKS = 16, WREN_OUTCOME_RECTS = 8 };

typedef struct wren_outcome {
    int size;             // sizeof(wren_outcome) of the plug-in that wrote it
    char path[160];       // "display_ioQORVwren/add8"
    char driver[48];      // "Add8Wren"
    int status;           // what the host was told: 0 computed, 2 declined
    int reason;           // enum wren_reason
    char message[128];    // short explanation of a decline, "" when computed
    int rects;            // destination rectangles written
    int rect[WREN_OUTCOME_RECTS][4];  // the first of them: x, y, w, h in image space
    long usec;            // time spent in the call
    long scratch_bytes;   // bytes of the call's staging and line buffers, 0 when none was made
    int scratch_allocs;   // staging and line buffers allocated during the call
    int chunks;           // staged chunks of rows, over all rectangles
    int chunk_rows[WREN_OUTCOME_CHUNKS];  // rows of the first chunks, in order
    char kernels[16];     // kernel implementation in use ("portable")
    char note[64];        // what else the driver did ("cache hit"), "" when nothing
} wren_outcome;

// Copies the outcome of the last driver call into *out: 0, or -1 when no call
// has been made yet (or out is null). The record is copied whole; callers
// built against another version compare out->size with their own.
__attribute__((visibility("default"))) int wren_last_outcome(wren_outcome *out);

// A short name of a reason ("layout"), or "unknown".
__attribute__((visibility("default"))) const char *wren_reason_name(int reason);

typedef int (*wren_last_outcome_fn)(wren_outcome *out);

#ifdef __cplusplus
}
#endif
