// Rectangle, block and page fills.
//
// A block fill clears whole aligned blocks; the step's height and width fields
// are measured from the block-aligned corner, so they carry the rectangle's
// misalignment (y AND (block rows - 1), x AND (block width / 4 - 1)). A page
// fill covers the page-aligned interior and fills the ragged borders with
// block steps. Small areas stay on the plain rectangle fill.
#include "wren_fill.h"

using namespace wren_reg;
using namespace wren_val;

namespace {

// Geometry and size thresholds of one screen mode.
struct Mode {
    uint32_t block_w, block_h;
    int x_align_mask, y_align_mask;  // misalignment carried by block steps
    uint32_t page_w, page_h;
    int page_x_align, page_y_align;
    long long block_threshold[2];  // [later board, first generation]
    long long page_threshold[2];
};

constexpr Mode std_mode{32, 4, 7, 3, 320, 16, 80, 16, {128, 384}, {6400, 2560}};
constexpr Mode stereo_mode{32, 2, 7, 1, 320, 8, 80, 8, {80, 0}, {3200, 0}};
constexpr Mode hires_mode{64, 4, 15, 3, 640, 16, 160, 16, {128, 0}, {12800, 0}};

long long floor_div(long long v, long long a) { return v >= 0 ? v / a : -((-v + a - 1) / a); }
long long round_down(long long v, long long a) { return floor_div(v, a) * a; }
long long round_up(long long v, long long a) { return -round_down(-v, a); }

void put(void *regs, uint32_t reg, long long v) { wren_reg_write(regs, reg, static_cast<uint32_t>(v)); }

// The five writes of a size step (block or page size).
void size_step(void *regs, uint32_t code, uint32_t h, uint32_t w) {
    put(regs, fill_p0, code);
    put(regs, fill_p2, 0);
    put(regs, fill_p3, 0);
    put(regs, fill_p4, h);
    put(regs, fill_p5, w);
}

// The five writes of a block step; the width goes to fill_p1 when it ends the sequence.
void block_step(void *regs, const Mode &m, long long x, long long y, long long w, long long h,
                bool last) {
    put(regs, fill_p0, step_blocks);
    put(regs, fill_p2, y);
    put(regs, fill_p3, x);
    put(regs, fill_p4, h + (y & m.y_align_mask));
    put(regs, last ? fill_p1 : fill_p5, w + (x & m.x_align_mask));
}

void hires_group(void *regs, long *credit) {
    wren_credit(regs, credit, 1);
    put(regs, group_control, group_hires_blocks);
}

// The block fill proper, once the threshold has been passed.
void issue_blocks(void *regs, long *credit, const Mode &m, int x, int y, int w, int h) {
    wren_credit(regs, credit, 11);
    put(regs, draw_op, draw_fast);
    size_step(regs, step_block_size, m.block_h, m.block_w);
    block_step(regs, m, x, y, w, h, true);
}

void block_fill(const Mode &m, void *regs, long *credit, int x, int y, int w, int h, int fg) {
    if (static_cast<long long>(w) * h < m.block_threshold[fg ? 1 : 0]) {
        rectangle_fill(regs, credit, x, y, w, h);
        return;
    }
    issue_blocks(regs, credit, m, x, y, w, h);
}

// High-resolution blocks need x and width in multiples of 8: the columns
// outside are done by rectangle fills first. Narrows x and w in place.
void hires_trim_columns(void *regs, long *credit, int y, int h, int *x, int *w) {
    if (*x & 7) {
        int lead = 8 - (*x & 7);
        if (lead > *w) lead = *w;
        if (lead > 0) {
            rectangle_fill(regs, credit, *x, y, lead, h);
            *x += lead;
            *w -= lead;
        }
    }
    if (*w > 0 && (*w & 7)) {
        int tail = *w & 7;
        rectangle_fill(regs, credit, *x + *w - tail, y, tail, h);
        *w -= tail;
    }
}

void block_fill_any(const Mode &m, void *regs, long *credit, int stereo, int hires, int x, int y,
                    int w, int h, int fg) {
    if (&m == &hires_mode)
        block_fill_hires(regs, credit, stereo, hires, x, y, w, h, fg);
    else
        block_fill(m, regs, credit, x, y, w, h, fg);
}

void page_fill(const Mode &m, void *regs, long *credit, int stereo, int hires, int x, int y, int w,
               int h, int fg) {
    const long long xs = round_up(x, m.page_x_align);
    const long long ys = round_up(y, m.page_y_align);
    const long long pw = round_down(w - (xs - x), m.page_x_align);
    const long long ph = round_down(h - (ys - y), m.page_y_align);
    // No whole page inside (pw or ph not positive): the blocks do it all.
    if (pw <= 0 || ph <= 0 || pw * ph < m.page_threshold[fg ? 1 : 0]) {
        block_fill_any(m, regs, credit, stereo, hires, x, y, w, h, fg);
        return;
    }
    if (&m == &hires_mode) {
        // xs and xs + pw are multiples of 8, so the page geometry is unchanged.
        hires_trim_columns(regs, credit, y, h, &x, &w);
        hires_group(regs, credit);
    }
    wren_credit(regs, credit, 16);
    put(regs, draw_op, draw_fast);
    size_step(regs, step_block_size, m.block_h, m.block_w);
    size_step(regs, step_page_size, m.page_h, m.page_w);
    put(regs, fill_p0, step_pages);
    put(regs, fill_p2, ys);
    put(regs, fill_p3, xs);
    put(regs, fill_p4, ph);
    put(regs, fill_p1, pw);

    struct Strip {
        long long x, y, w, h;
    };
    const long long x1 = static_cast<long long>(x) + w, y1 = static_cast<long long>(y) + h;
    const Strip all[4] = {{x, y, xs - x, h},
                          {xs + pw, y, x1 - (xs + pw), h},
                          {xs, y, pw, ys - y},
                          {xs, ys + ph, pw, y1 - (ys + ph)}};
    Strip strips[4];
    int n = 0;
    for (const Strip &s : all)
        if (s.w > 0 && s.h > 0) strips[n++] = s;
    if (n == 0) return;
    wren_credit(regs, credit, 5);
    size_step(regs, step_block_size, m.block_h, m.block_w);
    for (int i = 0; i < n; ++i) {
        wren_credit(regs, credit, 5);
        block_step(regs, m, strips[i].x, strips[i].y, strips[i].w, strips[i].h, i == n - 1);
    }
}

// Step list of the first-generation stereo page fill: code, y, x, height,
// width. Each page fill has its own; the exported Spf routines work on the
// calling thread's.
enum { S_CODE, S_Y, S_X, S_H, S_W };
struct Steps {
    int out[5][5];
    int count;
};
thread_local Steps thread_steps;

void init_steps(Steps &s) {
    const int init[5][5] = {{3, 0, 0, 4, 32}, {4, 0, 0, 16, 320}, {1}, {1}, {1}};
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 5; ++j) s.out[i][j] = init[i][j];
    s.count = 2;
}

void flush_steps(Steps &s, void *regs, long *credit) {
    if (s.count > 2) {
        wren_credit(regs, credit, 5 * s.count);
        for (int i = 0; i < s.count; ++i) {
            put(regs, fill_p0, s.out[i][S_CODE]);
            put(regs, fill_p2, s.out[i][S_Y]);
            put(regs, fill_p3, s.out[i][S_X]);
            put(regs, fill_p4, s.out[i][S_H]);
            put(regs, i == s.count - 1 ? fill_p1 : fill_p5, s.out[i][S_W]);
        }
    }
    s.count = 2;
}

void issue_step(Steps &s, void *regs, long *credit, int a, int b, int n) {
    const int Y = (a / 4) * 16;
    const int X = (a & 3) * 320 + (b ^ ((a & 4) / 2)) * 80;
    if (s.count > 2) {
        int *last = s.out[s.count - 1];
        if (last[S_Y] == Y && last[S_X] + last[S_W] == X) {
            last[S_W] += n * 80;
            return;
        }
    }
    if (s.count >= 5) flush_steps(s, regs, credit);
    int *e = s.out[s.count];
    e[S_CODE] = static_cast<int>(step_pages);
    e[S_Y] = Y;
    e[S_X] = X;
    e[S_H] = 16;
    e[S_W] = n * 80;
    ++s.count;
}

}  // namespace

extern "C" void wren_credit(void *regs, long *credit, int n) {
    *credit -= n;
    while (*credit < queue_reserve) *credit = wren_queue_free(regs) - n;
}

extern "C" void rectangle_fill(void *regs, long *credit, int x, int y, int w, int h) {
    wren_credit(regs, credit, 5);
    put(regs, draw_op, draw_rect);
    put(regs, fill_p0, y);
    put(regs, fill_p1, x);
    put(regs, fill_p4, h);
    put(regs, fill_p5, w);
}

extern "C" void block_fill_std(void *regs, long *credit, int, int, int x, int y, int w, int h,
                               int first_generation) {
    block_fill(std_mode, regs, credit, x, y, w, h, first_generation);
}

extern "C" void block_fill_stereo(void *regs, long *credit, int, int, int x, int y, int w, int h,
                                  int first_generation) {
    block_fill(stereo_mode, regs, credit, x, y, w, h, first_generation);
}

extern "C" void block_fill_hires(void *regs, long *credit, int, int, int x, int y, int w, int h,
                                 int first_generation) {
    const long long threshold = hires_mode.block_threshold[first_generation ? 1 : 0];
    if (static_cast<long long>(w) * h < threshold) {
        rectangle_fill(regs, credit, x, y, w, h);
        return;
    }
    hires_trim_columns(regs, credit, y, h, &x, &w);
    if (w <= 0) return;
    if (static_cast<long long>(w) * h < threshold) {
        rectangle_fill(regs, credit, x, y, w, h);
        return;
    }
    hires_group(regs, credit);
    issue_blocks(regs, credit, hires_mode, x, y, w, h);
}

extern "C" void page_fill_std(void *regs, long *credit, int stereo, int hires, int x, int y, int w,
                              int h, int first_generation) {
    page_fill(std_mode, regs, credit, stereo, hires, x, y, w, h, first_generation);
}

extern "C" void page_fill_stereo(void *regs, long *credit, int stereo, int hires, int x, int y,
                                 int w, int h, int first_generation) {
    page_fill(stereo_mode, regs, credit, stereo, hires, x, y, w, h, first_generation);
}

extern "C" void page_fill_hires(void *regs, long *credit, int stereo, int hires, int x, int y,
                                int w, int h, int first_generation) {
    page_fill(hires_mode, regs, credit, stereo, hires, x, y, w, h, first_generation);
}

extern "C" void block_fill_stereo_wren1(void *regs, long *credit, int x, int y, int w, int h) {
    rectangle_fill(regs, credit, x, y, w, h);
}

extern "C" void SpfInitSeq(void) { init_steps(thread_steps); }

extern "C" void SpfFlushSeq(void *regs, long *credit) { flush_steps(thread_steps, regs, credit); }

extern "C" void SpfIssueStep(void *regs, long *credit, int a, int b, int n) {
    issue_step(thread_steps, regs, credit, a, b, n);
}

extern "C" void page_fill_stereo_wren1(void *regs, long *credit, int x, int y, int w, int h) {
    const long long xs = round_up(x, 80), ys = round_up(y, 8);
    const long long pw = round_down(w - (xs - x), 80), ph = round_down(h - (ys - y), 8);
    if (pw <= 0 || ph <= 0 || pw * ph < 1280) {
        block_fill_stereo_wren1(regs, credit, x, y, w, h);
        return;
    }
    wren_credit(regs, credit, 1);
    put(regs, draw_op, draw_fast);
    Steps steps;
    init_steps(steps);
    for (long long r = ys; r < ys + ph; r += 8) {
        const int parity = static_cast<int>((r >> 2) & 2);
        for (long long c = xs; c < xs + pw; c += 80)
            issue_step(steps, regs, credit, static_cast<int>((r / 8) * 3 + c / 320),
                       parity ^ static_cast<int>((c / 80) & 3), 1);
    }
    flush_steps(steps, regs, credit);
    const long long x1 = static_cast<long long>(x) + w, y1 = static_cast<long long>(y) + h;
    const long long strips[4][4] = {{x, y, xs - x, h},
                                    {xs + pw, y, x1 - (xs + pw), h},
                                    {xs, y, pw, ys - y},
                                    {xs, ys + ph, pw, y1 - (ys + ph)}};
    for (const auto &s : strips)
        if (s[2] > 0 && s[3] > 0)
            block_fill_stereo_wren1(regs, credit, static_cast<int>(s[0]), static_cast<int>(s[1]),
                                    static_cast<int>(s[2]), static_cast<int>(s[3]));
}

extern "C" void wren_fast_fill(int method, void *regs, long *credit, int stereo, int hires,
                               int *board_info, int x, int y, int w, int h) {
    const int word0 = board_info ? board_info[0] : 0;
    const int word4 = board_info ? board_info[4] : 0;
    if (method == WREN_FILL_PAGE && (word4 & 2)) method = WREN_FILL_BLOCK;
    if (method == WREN_FILL_RECT) {
        rectangle_fill(regs, credit, x, y, w, h);
        return;
    }
    if (method != WREN_FILL_BLOCK && method != WREN_FILL_PAGE) return;
    const bool page = method == WREN_FILL_PAGE;
    if ((word0 & 0xe0) < 0x20) {
        if (hires)
            rectangle_fill(regs, credit, x, y, w, h);
        else if (stereo)
            (page ? page_fill_stereo_wren1 : block_fill_stereo_wren1)(regs, credit, x, y, w, h);
        else
            (page ? page_fill_std : block_fill_std)(regs, credit, stereo, hires, x, y, w, h, 1);
        return;
    }
    // A high-resolution screen takes the high-resolution geometry, stereo or not.
    if (hires)
        (page ? page_fill_hires : block_fill_hires)(regs, credit, stereo, hires, x, y, w, h, 0);
    else if (stereo)
        (page ? page_fill_stereo : block_fill_stereo)(regs, credit, stereo, hires, x, y, w, h, 0);
    else
        (page ? page_fill_std : block_fill_std)(regs, credit, stereo, hires, x, y, w, h, 0);
}
