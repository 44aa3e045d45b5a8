// Regions of the host imaging library: regions of interest, rectangle lists and
// window clip lists.
//
// A region is a set of whole pixels, kept as disjoint rectangles. Every region
// operation returns a new object that the caller releases with destroy(); a null
// result means failure (a null argument, a coordinate outside the host's range,
// or an allocation failure). No operation throws, and a failed one leaves
// nothing behind. Coordinates are kept within +-ZOR_COORD_LIMIT.
#pragma once

#include "zor_object.h"

#include <cstddef>

struct pixman_region32;

inline constexpr int ZOR_COORD_LIMIT = 1 << 30;

// A rectangle of pixels: columns x .. x + w - 1, rows y .. y + h - 1.
struct ZorRect {
    int x, y, w, h;
};

// Flip types of ZorRoi::flip.
enum ZorFlipType { ZOR_FLIP_TOP_BOTTOM = 0, ZOR_FLIP_LEFT_RIGHT = 1, ZOR_FLIP_ROTATE_180 = 5 };

// The visible part of a window in screen coordinates, as the window system
// hands it out. Its contents are read only by ZorRoi::intersectClipList.
// Rectangles may overlap; empty ones are ignored.
class ZorClipList : public ZorObject {
public:
    // Null when a rectangle leaves the coordinate range or rects is null with n > 0.
    static ZorClipList *create(const ZorRect *rects, std::size_t n) noexcept;
    std::size_t numRects() const;
    ZorRect rect(std::size_t i) const;  // i < numRects()

private:
    ZorClipList();
    ~ZorClipList() override;
    static ZorClipList *make() noexcept;  // empty; null when out of memory
    friend class ZorRoi;
    pixman_region32 *region_ = nullptr;
};

// The rectangles of a region, one at a time, top to bottom and left to right.
class ZorRectList : public ZorObject {
public:
    // Stores the next rectangle and returns 1; returns 0 when exhausted. Any
    // pointer may be null.
    int getNext(int *x, int *y, int *w, int *h);
    std::size_t size() const;
    void rewind();

private:
    ZorRectList();
    ~ZorRectList() override;
    static ZorRectList *make(const pixman_region32 *region) noexcept;  // null when out of memory
    friend class ZorRoi;
    ZorRect *rects_ = nullptr;
    std::size_t count_ = 0, next_ = 0;
};

class ZorRoi : public ZorObject {
public:
    static ZorRoi *create() noexcept;                                   // empty
    static ZorRoi *create(int x, int y, int w, int h) noexcept;         // one rectangle
    static ZorRoi *create(const ZorRect *rects, std::size_t n) noexcept;  // union; overlaps allowed

    ZorRoi *copy() const noexcept;
    ZorRoi *intersect(const ZorRoi *other) const noexcept;
    ZorRoi *unite(const ZorRoi *other) const noexcept;
    // The clip list moved from screen to image space by subtracting (xoff, yoff),
    // intersected with this region.
    ZorRoi *intersectClipList(const ZorClipList *clip, int xoff, int yoff) const noexcept;
    ZorRectList *getRectList() const noexcept;

    // Scaling about (x, y): the point p goes to x + (p - x) * xs (likewise in y),
    // and the result holds every pixel whose centre (i + 0.5, j + 0.5) falls in
    // the image of the region (half-open edges, so scaled neighbours neither
    // overlap nor leave gaps). A negative factor mirrors; a zero factor gives an
    // empty region. Computed in double precision. Null for non-finite arguments.
    ZorRoi *scale(double xs, double ys, double x, double y) const noexcept;
    ZorRoi *translate(int dx, int dy) const noexcept;
    // Flip about the centre (x, y): column i goes to column k - i with
    // k = floor(2x + 0.5) (left-right), row j to row floor(2y + 0.5) - j
    // (top-bottom), both for the 180-degree rotation. The centre of an image
    // W x H is ((W - 1) / 2, (H - 1) / 2). Null for any other type.
    ZorRoi *flip(int type, double x, double y) const noexcept;

    int numRects() const;
    bool isEmpty() const;
    bool contains(int x, int y) const;
    bool equals(const ZorRoi *other) const;
    ZorRect extents() const;  // {0,0,0,0} when empty

private:
    ZorRoi();
    ~ZorRoi() override;
    static ZorRoi *make() noexcept;  // empty; null when out of memory
    static ZorRoi *adopt(ZorRoi *r, bool ok) noexcept;
    pixman_region32 *region_ = nullptr;
};
