// The frame every driver runs in.
//
// A DriverCall is made at the top of a driver and lives for the call. It
// adapts the destination window and the sources, holds the region to compute,
// locks the window and reads its clip list and bounding box, clips the region
// to the visible area, programs the raster setup, and hands out descriptors
// narrowed to each destination rectangle (and to chunks of rows staged
// through one scratch buffer). Whatever it acquired it releases when it goes
// out of scope, on every path: unlock, scratch buffer, rectangle list,
// clipped region, region.
//
// A driver returns either call.computed(rects) or call.decline(reason, ...);
// the outcome is recorded for wren_last_outcome() and, with WREN_TRACE=1,
// printed to standard error.
#pragma once

#include "adapters.h"
#include "kl.h"
#include "wren_outcome.h"
#include "zor.h"

#include <cstddef>
#include <initializer_list>
#include <vector>

struct wca_win;

namespace wren {

// A destination rectangle in image space.
struct Rect {
    int x, y, w, h;
};

// An image taking part in a call: its reference descriptor (never changed
// once made) and its integer origin.
struct Placed {
    kl_image k{};
    int ox = 0, oy = 0;
};

// A descriptor of ref narrowed to rows row .. row + n - 1 of the rectangle,
// for an image whose origin is (ox, oy).
kl_image narrow(const kl_image &ref, int ox, int oy, const Rect &r, int row, int n);

class DriverCall {
public:
    DriverCall(const char *driver, ZorOp *op, int count);
    ~DriverCall();
    DriverCall(const DriverCall &) = delete;
    DriverCall &operator=(const DriverCall &) = delete;

    // Records a decline and returns ZOR_FAILURE.
    int decline(wren_reason reason, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
    // Records success with the number of rectangles written; returns ZOR_SUCCESS.
    int computed(int rects);

    // The destination window: device-IO record, child offsets, origin and its
    // descriptor. False (declined) when it is not a window that can be described.
    bool window(ZorImage *dst);
    // A source image in memory, with its origin.
    bool source(ZorImage *src, Placed &s);

    // The region to compute; an owned one is released at the end of the call.
    bool region(ZorRoi *r, bool owned = true);
    // True when the region holds no pixel.
    bool region_empty() const { return !r_ || r_->numRects() == 0; }
    // One scratch buffer for staging rows of `bands` samples, wide enough for
    // maxw pixels and at least 8192 bytes.
    bool scratch(int bands, int maxw);

    // Locks the window, stores its clip list and bounding box in the device-IO
    // record, moves the window descriptor to the window's screen position,
    // clips the region and lists its rectangles. Declines when a rectangle
    // would leave the window image or one of the given sources.
    bool clip(std::initializer_list<const Placed *> sources = {});
    // Raster setup for the window's depth: plane groups 1 with mask 0xff, or
    // 7 with the window's band mask expanded to bytes; raster operation 0x83.
    bool raster_setup();
    // The same with an explicit plane mask.
    bool raster_setup(unsigned long plane_mask);

    const std::vector<Rect> &rects() const { return rects_; }
    // The reason recorded by the last decline.
    int last_reason() const { return reason_; }

    // Working copies for one rectangle (row offset row, n rows).
    kl_image window_at(const Rect &r, int row, int n) const { return narrow(kd, dox, doy, r, row, n); }
    kl_image window_at(const Rect &r) const { return window_at(r, 0, r.h); }
    static kl_image at(const Placed &p, const Rect &r, int row, int n) { return narrow(p.k, p.ox, p.oy, r, row, n); }
    static kl_image at(const Placed &p, const Rect &r) { return at(p, r, 0, r.h); }

    // Walks the rectangle's rows in chunks that fit the scratch buffer:
    // f(row, n, scratch) with the scratch described over the buffer with the
    // rectangle's width and n rows.
    template <class F>
    void chunks(const Rect &r, F &&f) {
        kl_image s;
        if (!kl_initimage(&s, scratch_type_, scratch_bands_, r.w, 0, scratch_buf_, 0) || s.lb <= 0) {
            return;
        }
        const int per = static_cast<int>(scratch_size_ / static_cast<std::size_t>(s.lb));
        if (per < 1) {
            return;
        }
        for (int row = 0; row < r.h; row += per) {
            const int n = r.h - row < per ? r.h - row : per;
            s.h = n;
            note_chunk(n);
            f(row, n, s);
        }
    }

    // Filled by window().
    ZorImage *dst = nullptr;
    ZorDisplayIO *dio = nullptr;
    int cx = 0, cy = 0, cb = 0;
    int dox = 0, doy = 0;
    kl_image kd{};
    // Filled by clip().
    int bx = 0, by = 0, bw = 0, bh = 0;

private:
    void note_chunk(int n);
    void finish();

    const char *driver_;
    ZorOp *op_;
    int count_;
    long start_ns_;
    bool done_ = false;
    int status_ = ZOR_FAILURE;
    int reason_ = WREN_OK;
    char message_[128] = {};
    int rects_written_ = 0;

    wca_win *win_ = nullptr;
    bool locked_ = false;
    ZorRoi *r_ = nullptr;
    bool r_owned_ = false;
    ZorRoi *roi2_ = nullptr;
    ZorRectList *list_ = nullptr;
    std::vector<Rect> rects_;

    void *scratch_buf_ = nullptr;
    std::size_t scratch_size_ = 0;
    int scratch_bands_ = 0;
    int scratch_type_ = KL_BYTE;
    int scratch_allocs_ = 0;
    int chunks_ = 0;
    int chunk_rows_[WREN_OUTCOME_CHUNKS] = {};
};

}  // namespace wren
