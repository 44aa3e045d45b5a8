#include "zor_region.h"

#include <pixman.h>

#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

namespace {

using Box = pixman_box32_t;

bool in_range(long long v) { return v >= -ZOR_COORD_LIMIT && v <= ZOR_COORD_LIMIT; }

// The box of a rectangle, or false when it leaves the coordinate range. Empty
// rectangles give empty boxes.
bool to_box(const ZorRect &r, Box *b) {
    const long long x1 = static_cast<long long>(r.x) + (r.w > 0 ? r.w : 0);
    const long long y1 = static_cast<long long>(r.y) + (r.h > 0 ? r.h : 0);
    if (!in_range(r.x) || !in_range(r.y) || !in_range(x1) || !in_range(y1)) return false;
    *b = {r.x, r.y, static_cast<int32_t>(x1), static_cast<int32_t>(y1)};
    return true;
}

// Sets region to the union of boxes (any order, overlaps allowed, empty boxes
// ignored).
bool set_boxes(pixman_region32_t *region, std::vector<Box> &boxes) {
    std::erase_if(boxes, [](const Box &b) { return b.x1 >= b.x2 || b.y1 >= b.y2; });
    pixman_region32_fini(region);
    if (!pixman_region32_init_rects(region, boxes.data(), static_cast<int>(boxes.size()))) {
        pixman_region32_init(region);
        return false;
    }
    return true;
}

std::vector<Box> boxes_of(const pixman_region32_t *region) {
    int n = 0;
    const Box *b = pixman_region32_rectangles(const_cast<pixman_region32_t *>(region), &n);
    return std::vector<Box>(b, b + n);
}

// Columns whose centres fall in the image of [a0, a1) under p -> c + (p - c) * s.
bool scale_span(int32_t a0, int32_t a1, double s, double c, int32_t *b0, int32_t *b1) {
    const double e0 = c + (a0 - c) * s, e1 = c + (a1 - c) * s;
    double lo, hi;
    if (s > 0) {  // [e0, e1): i + 0.5 >= e0 and i + 0.5 < e1
        lo = std::ceil(e0 - 0.5);
        hi = std::ceil(e1 - 0.5);
    } else {  // (e1, e0]: i + 0.5 > e1 and i + 0.5 <= e0
        lo = std::floor(e1 - 0.5) + 1;
        hi = std::floor(e0 - 0.5) + 1;
    }
    if (!(std::fabs(lo) <= ZOR_COORD_LIMIT) || !(std::fabs(hi) <= ZOR_COORD_LIMIT)) return false;
    *b0 = static_cast<int32_t>(lo);
    *b1 = static_cast<int32_t>(hi);
    return true;
}

// Runs a region operation: an exception (an allocation that failed inside a
// container) becomes the null result the callers are promised. Temporaries
// are held by handles, so nothing is left behind.
template <class F>
auto no_throw(F &&f) noexcept -> decltype(f()) {
    try {
        return f();
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

// ---- Clip lists ---------------------------------------------------------------

ZorClipList::ZorClipList() = default;

ZorClipList::~ZorClipList() {
    if (region_) {
        pixman_region32_fini(region_);
        delete region_;
    }
}

ZorClipList *ZorClipList::make() noexcept {
    ZorHandle<ZorClipList> c(new (std::nothrow) ZorClipList);
    if (!c) return nullptr;
    c->region_ = new (std::nothrow) pixman_region32_t;
    if (!c->region_) return nullptr;
    pixman_region32_init(c->region_);
    return c.release();
}

ZorClipList *ZorClipList::create(const ZorRect *rects, std::size_t n) noexcept {
    if (!rects && n > 0) return nullptr;
    return no_throw([&]() -> ZorClipList * {
        std::vector<Box> boxes(n);
        for (std::size_t i = 0; i < n; ++i)
            if (!to_box(rects[i], &boxes[i])) return nullptr;
        ZorHandle<ZorClipList> c(make());
        if (!c || !set_boxes(c->region_, boxes)) return nullptr;
        return c.release();
    });
}

std::size_t ZorClipList::numRects() const { return pixman_region32_n_rects(region_); }

ZorRect ZorClipList::rect(std::size_t i) const {
    int n = 0;
    const Box *b = pixman_region32_rectangles(region_, &n);
    if (i >= static_cast<std::size_t>(n)) return {0, 0, 0, 0};
    return {b[i].x1, b[i].y1, b[i].x2 - b[i].x1, b[i].y2 - b[i].y1};
}

// ---- Rectangle lists ----------------------------------------------------------

ZorRectList::ZorRectList() = default;

ZorRectList::~ZorRectList() { delete[] rects_; }

ZorRectList *ZorRectList::make(const pixman_region32 *region) noexcept {
    int n = 0;
    const Box *b = pixman_region32_rectangles(const_cast<pixman_region32 *>(region), &n);
    ZorHandle<ZorRectList> list(new (std::nothrow) ZorRectList);
    if (!list) return nullptr;
    const std::size_t count = n > 0 ? static_cast<std::size_t>(n) : 0;
    list->rects_ = new (std::nothrow) ZorRect[count ? count : 1];
    if (!list->rects_) return nullptr;
    list->count_ = count;
    for (std::size_t i = 0; i < count; ++i)
        list->rects_[i] = {b[i].x1, b[i].y1, b[i].x2 - b[i].x1, b[i].y2 - b[i].y1};
    return list.release();
}

int ZorRectList::getNext(int *x, int *y, int *w, int *h) {
    if (next_ >= count_) return 0;
    const ZorRect &r = rects_[next_++];
    if (x) *x = r.x;
    if (y) *y = r.y;
    if (w) *w = r.w;
    if (h) *h = r.h;
    return 1;
}

std::size_t ZorRectList::size() const { return count_; }
void ZorRectList::rewind() { next_ = 0; }

// ---- Regions ------------------------------------------------------------------

ZorRoi::ZorRoi() = default;

ZorRoi::~ZorRoi() {
    if (region_) {
        pixman_region32_fini(region_);
        delete region_;
    }
}

ZorRoi *ZorRoi::make() noexcept {
    ZorHandle<ZorRoi> r(new (std::nothrow) ZorRoi);
    if (!r) return nullptr;
    r->region_ = new (std::nothrow) pixman_region32_t;
    if (!r->region_) return nullptr;
    pixman_region32_init(r->region_);
    return r.release();
}

ZorRoi *ZorRoi::adopt(ZorRoi *r, bool ok) noexcept {
    if (ok) return r;
    if (r) r->destroy();
    return nullptr;
}

ZorRoi *ZorRoi::create() noexcept { return make(); }

ZorRoi *ZorRoi::create(int x, int y, int w, int h) noexcept {
    const ZorRect r{x, y, w, h};
    return create(&r, 1);
}

ZorRoi *ZorRoi::create(const ZorRect *rects, std::size_t n) noexcept {
    if (!rects && n > 0) return nullptr;
    return no_throw([&]() -> ZorRoi * {
        std::vector<Box> boxes(n);
        for (std::size_t i = 0; i < n; ++i)
            if (!to_box(rects[i], &boxes[i])) return nullptr;
        ZorRoi *r = make();
        return r ? adopt(r, set_boxes(r->region_, boxes)) : nullptr;
    });
}

ZorRoi *ZorRoi::copy() const noexcept {
    ZorRoi *r = make();
    return r ? adopt(r, pixman_region32_copy(r->region_, region_)) : nullptr;
}

ZorRoi *ZorRoi::intersect(const ZorRoi *other) const noexcept {
    if (!other) return nullptr;
    ZorRoi *r = make();
    return r ? adopt(r, pixman_region32_intersect(r->region_, region_, other->region_)) : nullptr;
}

ZorRoi *ZorRoi::unite(const ZorRoi *other) const noexcept {
    if (!other) return nullptr;
    ZorRoi *r = make();
    return r ? adopt(r, pixman_region32_union(r->region_, region_, other->region_)) : nullptr;
}

ZorRoi *ZorRoi::intersectClipList(const ZorClipList *clip, int xoff, int yoff) const noexcept {
    if (!clip) return nullptr;
    return no_throw([&]() -> ZorRoi * {
        std::vector<Box> boxes = boxes_of(clip->region_);
        for (Box &b : boxes) {
            const long long v[4] = {static_cast<long long>(b.x1) - xoff, static_cast<long long>(b.y1) - yoff,
                                    static_cast<long long>(b.x2) - xoff, static_cast<long long>(b.y2) - yoff};
            for (long long c : v)
                if (!in_range(c)) return nullptr;
            b = {static_cast<int32_t>(v[0]), static_cast<int32_t>(v[1]), static_cast<int32_t>(v[2]),
                 static_cast<int32_t>(v[3])};
        }
        ZorHandle<ZorRoi> moved(make());
        if (!moved || !set_boxes(moved->region_, boxes)) return nullptr;
        return intersect(moved.get());
    });
}

ZorRectList *ZorRoi::getRectList() const noexcept { return ZorRectList::make(region_); }

ZorRoi *ZorRoi::scale(double xs, double ys, double x, double y) const noexcept {
    if (!std::isfinite(xs) || !std::isfinite(ys) || !std::isfinite(x) || !std::isfinite(y)) return nullptr;
    return no_throw([&]() -> ZorRoi * {
        std::vector<Box> boxes;
        if (xs != 0 && ys != 0) {
            boxes = boxes_of(region_);
            for (Box &b : boxes) {
                Box s;
                if (!scale_span(b.x1, b.x2, xs, x, &s.x1, &s.x2) || !scale_span(b.y1, b.y2, ys, y, &s.y1, &s.y2))
                    return nullptr;
                b = s;
            }
        }
        ZorRoi *r = make();
        return r ? adopt(r, set_boxes(r->region_, boxes)) : nullptr;
    });
}

ZorRoi *ZorRoi::translate(int dx, int dy) const noexcept {
    const ZorRect e = extents();
    if (!isEmpty() && (!in_range(static_cast<long long>(e.x) + dx) || !in_range(static_cast<long long>(e.y) + dy) ||
                       !in_range(static_cast<long long>(e.x) + e.w + dx) ||
                       !in_range(static_cast<long long>(e.y) + e.h + dy)))
        return nullptr;
    ZorRoi *r = copy();
    if (r) pixman_region32_translate(r->region_, dx, dy);
    return r;
}

ZorRoi *ZorRoi::flip(int type, double x, double y) const noexcept {
    const bool lr = type == ZOR_FLIP_LEFT_RIGHT || type == ZOR_FLIP_ROTATE_180;
    const bool tb = type == ZOR_FLIP_TOP_BOTTOM || type == ZOR_FLIP_ROTATE_180;
    if ((!lr && !tb) || !std::isfinite(x) || !std::isfinite(y)) return nullptr;
    const double kx = std::floor(2 * x + 0.5), ky = std::floor(2 * y + 0.5);
    if (std::fabs(kx) > ZOR_COORD_LIMIT || std::fabs(ky) > ZOR_COORD_LIMIT) return nullptr;
    return no_throw([&]() -> ZorRoi * {
        // Pixel i goes to k - i, so the span [a0, a1) goes to [k - a1 + 1, k - a0 + 1).
        std::vector<Box> boxes = boxes_of(region_);
        for (Box &b : boxes) {
            const long long v[4] = {lr ? static_cast<long long>(kx) - b.x2 + 1 : b.x1,
                                    tb ? static_cast<long long>(ky) - b.y2 + 1 : b.y1,
                                    lr ? static_cast<long long>(kx) - b.x1 + 1 : b.x2,
                                    tb ? static_cast<long long>(ky) - b.y1 + 1 : b.y2};
            for (long long c : v)
                if (!in_range(c)) return nullptr;
            b = {static_cast<int32_t>(v[0]), static_cast<int32_t>(v[1]), static_cast<int32_t>(v[2]),
                 static_cast<int32_t>(v[3])};
        }
        ZorRoi *r = make();
        return r ? adopt(r, set_boxes(r->region_, boxes)) : nullptr;
    });
}

int ZorRoi::numRects() const { return pixman_region32_n_rects(region_); }
bool ZorRoi::isEmpty() const { return !pixman_region32_not_empty(region_); }
bool ZorRoi::contains(int x, int y) const { return pixman_region32_contains_point(region_, x, y, nullptr); }

bool ZorRoi::equals(const ZorRoi *other) const {
    return other && pixman_region32_equal(region_, other->region_);
}

ZorRect ZorRoi::extents() const {
    if (isEmpty()) return {0, 0, 0, 0};
    const Box *e = pixman_region32_extents(region_);
    return {e->x1, e->y1, e->x2 - e->x1, e->y2 - e->y1};
}
