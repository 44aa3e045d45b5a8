// Hardware fast fill: rectangle, block and page fills issued to the accelerator.
//
// The caller programs fill colour, plane mask and raster state beforehand and
// seeds the queue credit from status; these routines only issue drawing
// commands. Coordinates are frame-buffer pixel coordinates.
#pragma once

#include "wren_regs.h"

#ifdef __cplusplus
extern "C" {
#endif

// Fill methods of wren_fast_fill.
enum { WREN_FILL_RECT = 0, WREN_FILL_BLOCK = 1, WREN_FILL_PAGE = 2 };

// Chooses rectangle, block or page fill from method, board generation
// (board_info word 0 bits 5-7), page permission (word 4 bit 1), screen mode and size.
WREN_EXPORT void wren_fast_fill(int method, void *regs, long *credit, int stereo, int hires,
                                int *board_info, int x, int y, int w, int h);

WREN_EXPORT void rectangle_fill(void *regs, long *credit, int x, int y, int w, int h);

WREN_EXPORT void block_fill_std(void *regs, long *credit, int stereo, int hires, int x, int y,
                                int w, int h, int first_generation);
WREN_EXPORT void block_fill_stereo(void *regs, long *credit, int stereo, int hires, int x, int y,
                                   int w, int h, int first_generation);
WREN_EXPORT void block_fill_hires(void *regs, long *credit, int stereo, int hires, int x, int y,
                                  int w, int h, int first_generation);
WREN_EXPORT void page_fill_std(void *regs, long *credit, int stereo, int hires, int x, int y,
                               int w, int h, int first_generation);
WREN_EXPORT void page_fill_stereo(void *regs, long *credit, int stereo, int hires, int x, int y,
                                  int w, int h, int first_generation);
WREN_EXPORT void page_fill_hires(void *regs, long *credit, int stereo, int hires, int x, int y,
                                 int w, int h, int first_generation);

// First-generation stereo boards.
WREN_EXPORT void block_fill_stereo_wren1(void *regs, long *credit, int x, int y, int w, int h);
WREN_EXPORT void page_fill_stereo_wren1(void *regs, long *credit, int x, int y, int w, int h);

// Step list of the first-generation stereo page fill: the calling thread's
// (page_fill_stereo_wren1 keeps one of its own per call).
WREN_EXPORT void SpfInitSeq(void);
WREN_EXPORT void SpfIssueStep(void *regs, long *credit, int a, int b, int n);
WREN_EXPORT void SpfFlushSeq(void *regs, long *credit);

// Queue credit: before n writes, reduce the credit by n, reloading it from
// status while it would leave fewer than the reserve free.
WREN_EXPORT void wren_credit(void *regs, long *credit, int n);

#ifdef __cplusplus
}
#endif
