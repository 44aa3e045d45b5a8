// Window system of the simulated display.
#include "window_system.h"

#include "zor.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace wca {

namespace {

// Largest window side: the host's region coordinates and the 16-bit line-byte
// fields leave room for this much.
constexpr int kMaxSide = 32767;
// Windows are kept well inside the host's coordinate range, so that every
// screen coordinate derived from them (position + size, offsets) fits.
constexpr int kMaxPos = 1 << 28;

using Guard = std::lock_guard<std::recursive_mutex>;

std::uint8_t *allocFrameBuffer(std::size_t bytes)
{
    void *p = std::aligned_alloc(4096, (bytes + 4095) / 4096 * 4096);
    if (!p)
        throw std::bad_alloc();
    std::memset(p, 0, bytes);
    return static_cast<std::uint8_t *>(p);
}

}  // namespace

// ---- Window -----------------------------------------------------------------

Window::Window(Screen *screen, int id, int depth, int x, int y, int w, int h)
    : screen_(screen), id_(id), depth_(depth), x_(x), y_(y), w_(w), h_(h)
{
    pixman_region32_init(&visible_);
    handle_.lock_depth = 0;
    handle_.lock_word = &lock_word_;
    handle_.unlock_word = &lock_word_;
    handle_.change_count = 0;  // differs from the screen's count: the first lock updates
    handle_.shared_count = &screen->change_count_;
    handle_.update = &Window::update;
    handle_.changed = 0;
    handle_.unlock_fn = &Window::onUnlock;
    handle_.lock_fn = &Window::onLock;
    handle_.clip = nullptr;
    handle_.x = x;
    handle_.y = y;
    handle_.w = w;
    handle_.h = h;
    handle_.owner = this;
}

Window::~Window()
{
    for (ZorImage *img : images_) {
        // Children of the image share its record and may outlive it: make their
        // handle null so that clip access on them fails instead of reaching a
        // freed window.
        if (ZorDisplayIO *rec = img->getDeviceInputOutput()) {
            rec->window = nullptr;
            rec->clipList = nullptr;
        }
        img->destroy();
    }
    if (clip_)
        clip_->destroy();
    pixman_region32_fini(&visible_);
}

bool Window::locked() const
{
    return std::atomic_ref<unsigned long>(const_cast<unsigned long &>(handle_.holder)).load() != 0;
}

std::vector<pixman_box32_t> Window::visibleRects() const
{
    Guard g(screen_->mutex_);
    int n = 0;
    const pixman_box32_t *b = pixman_region32_rectangles(const_cast<pixman_region32_t *>(&visible_), &n);
    return std::vector<pixman_box32_t>(b, b + n);
}

std::uint8_t *Window::frameBuffer() const
{
    return depth_ == 8 ? screen_->frameBuffer8() : screen_->frameBuffer24();
}

int Window::lineBytes() const
{
    return depth_ == 8 ? Screen::kLineBytes8 : Screen::kLineBytes24;
}

int Window::update(wca_win *win) noexcept
{
    Window *self = static_cast<Window *>(win->owner);
    Guard g(self->screen_->mutex_);
    ZorClipList *clip = nullptr;
    try {
        std::vector<ZorRect> rects;
        for (const pixman_box32_t &b : self->visibleRects())
            rects.push_back(ZorRect{b.x1, b.y1, b.x2 - b.x1, b.y2 - b.y1});
        clip = ZorClipList::create(rects.data(), rects.size());
    } catch (...) {
    }
    // No memory for the new clip list: the lock fails rather than hand out the
    // old one (the window may have been covered since); the next lock tries again.
    if (!clip)
        return WCA_ERROR;
    if (self->clip_)
        self->clip_->destroy();
    self->clip_ = clip;
    win->clip = clip;
    win->x = self->x_;
    win->y = self->y_;
    win->w = self->w_;
    win->h = self->h_;
    win->change_count = self->screen_->change_count_;
    return 1;
}

int Window::onLock(wca_win *win) noexcept
{
    Window *self = static_cast<Window *>(win->owner);
    if (self->screen_->notify(*self, true))
        return WCA_OK;
    self->screen_->notify(*self, false);  // undo what the lock observers did
    return WCA_ERROR;
}

void Window::onUnlock(wca_win *win) noexcept
{
    Window *self = static_cast<Window *>(win->owner);
    self->screen_->notify(*self, false);
}

// ---- Screen -----------------------------------------------------------------

Screen::Screen(int width, int height) : width_(width), height_(height)
{
    if (width < 1 || width > kMaxWidth || height < 1 || height > kMaxHeight)
        throw std::invalid_argument("screen size " + std::to_string(width) + "x" + std::to_string(height) +
                                    " outside 1x1 to " + std::to_string(kMaxWidth) + "x" +
                                    std::to_string(kMaxHeight));
    fb8_ = allocFrameBuffer(frameBuffer8Size());
    try {
        fb24_ = allocFrameBuffer(frameBuffer24Size());
    } catch (...) {
        std::free(fb8_);
        throw;
    }
}

Screen::~Screen()
{
    windows_.clear();
    std::free(fb8_);
    std::free(fb24_);
}

unsigned long Screen::changeCount() const
{
    return std::atomic_ref<unsigned long>(const_cast<unsigned long &>(change_count_)).load();
}

bool Screen::fail(std::string msg)
{
    error_ = std::move(msg);
    return false;
}

Window *Screen::find(int id)
{
    for (auto &w : windows_)
        if (w->id_ == id)
            return w.get();
    fail("unknown window " + std::to_string(id));
    return nullptr;
}

Window *Screen::window(int id) const
{
    Guard g(mutex_);
    for (auto &w : windows_)
        if (w->id_ == id)
            return w.get();
    return nullptr;
}

Window *Screen::windowFromHandle(const wca_win *h) const
{
    Guard g(mutex_);
    for (auto &w : windows_)
        if (&w->handle_ == h)
            return w.get();
    return nullptr;
}

std::vector<Window *> Screen::stack() const
{
    Guard g(mutex_);
    std::vector<Window *> v;
    for (auto &w : windows_)
        v.push_back(w.get());
    return v;
}

Window *Screen::windowAt(int x, int y) const
{
    Guard g(mutex_);
    if (x < 0 || y < 0 || x >= width_ || y >= height_)
        return nullptr;
    for (auto it = windows_.rbegin(); it != windows_.rend(); ++it) {
        const Window &w = **it;
        if (x >= w.x_ && y >= w.y_ && x - w.x_ < w.w_ && y - w.y_ < w.h_)
            return it->get();
    }
    return nullptr;
}

void Screen::changed()
{
    // From the top down: each window sees what the screen still shows after
    // the windows above it took their part.
    pixman_region32_t uncovered;
    pixman_region32_init_rect(&uncovered, 0, 0, unsigned(width_), unsigned(height_));
    for (auto it = windows_.rbegin(); it != windows_.rend(); ++it) {
        Window &w = **it;
        pixman_region32_t r;
        pixman_region32_init_rect(&r, w.x_, w.y_, unsigned(w.w_), unsigned(w.h_));
        pixman_region32_intersect(&w.visible_, &r, &uncovered);
        pixman_region32_subtract(&uncovered, &uncovered, &r);
        pixman_region32_fini(&r);
    }
    pixman_region32_fini(&uncovered);
    // Read by wca_win_lock without the screen's lock.
    std::atomic_ref<unsigned long>(change_count_).fetch_add(1, std::memory_order_release);
}

static bool validGeometry(int x, int y, int w, int h, std::string &why)
{
    if (w < 1 || h < 1 || w > kMaxSide || h > kMaxSide) {
        why = "window size " + std::to_string(w) + "x" + std::to_string(h) + " outside 1x1 to 32767x32767";
        return false;
    }
    if (x < -kMaxPos || x > kMaxPos || y < -kMaxPos || y > kMaxPos) {
        why = "window position (" + std::to_string(x) + ", " + std::to_string(y) + ") out of range";
        return false;
    }
    return true;
}

int Screen::createWindow(int depth, int x, int y, int w, int h)
{
    Guard g(mutex_);
    if (depth != 8 && depth != 24) {
        fail("window depth " + std::to_string(depth) + " is not 8 or 24");
        return 0;
    }
    std::string why;
    if (!validGeometry(x, y, w, h, why)) {
        fail(why);
        return 0;
    }
    const int id = next_id_++;
    windows_.push_back(std::unique_ptr<Window>(new Window(this, id, depth, x, y, w, h)));
    changed();
    return id;
}

bool Screen::moveWindow(int id, int x, int y)
{
    Guard g(mutex_);
    Window *w = find(id);
    if (!w)
        return false;
    std::string why;
    if (!validGeometry(x, y, w->w_, w->h_, why))
        return fail(why);
    w->x_ = x;
    w->y_ = y;
    changed();
    return true;
}

bool Screen::resizeWindow(int id, int width, int height)
{
    Guard g(mutex_);
    Window *w = find(id);
    if (!w)
        return false;
    std::string why;
    if (!validGeometry(w->x_, w->y_, width, height, why))
        return fail(why);
    w->w_ = width;
    w->h_ = height;
    changed();
    return true;
}

bool Screen::raiseWindow(int id)
{
    Guard g(mutex_);
    if (!find(id))
        return false;
    auto it = std::find_if(windows_.begin(), windows_.end(), [id](auto &w) { return w->id_ == id; });
    std::rotate(it, it + 1, windows_.end());
    changed();
    return true;
}

bool Screen::lowerWindow(int id)
{
    Guard g(mutex_);
    if (!find(id))
        return false;
    auto it = std::find_if(windows_.begin(), windows_.end(), [id](auto &w) { return w->id_ == id; });
    std::rotate(windows_.begin(), it, it + 1);
    changed();
    return true;
}

bool Screen::destroyWindow(int id)
{
    Guard g(mutex_);
    Window *w = find(id);
    if (!w)
        return false;
    if (w->locked())
        return fail("window " + std::to_string(id) + " is locked");
    windows_.erase(std::find_if(windows_.begin(), windows_.end(), [id](auto &p) { return p->id_ == id; }));
    changed();
    return true;
}

void Screen::fillRecord(Window &w, ZorImage *img)
{
    ZorDisplayIO *rec = img->getDeviceInputOutput();
    if (!rec)
        return;
    rec->window = &w.handle_;
    rec->depth = w.depth_;
    rec->regs = props_.register_base;
    rec->fbBase = w.frameBuffer();
    rec->fbLineBytes = std::int16_t(w.lineBytes());
    for (int i = 0; i < 64; ++i)
        rec->board[i] = std::int32_t(props_.board[i]);
    rec->stereo = props_.stereo;
    rec->highRes = props_.high_resolution;
    rec->mapMode = props_.map_mode;
    rec->mapBase = static_cast<std::uint8_t *>(props_.map_base);
    rec->mapLineBytes = props_.map_line_bytes;
    rec->view8Base = static_cast<std::uint8_t *>(props_.view8_base);
    rec->view8LineBytes = props_.view8_line_bytes;
    rec->view16Base = static_cast<std::uint8_t *>(props_.view16_base);
    rec->view16LineBytes = props_.view16_line_bytes;
}

void Screen::setProperties(const BoardProperties &p)
{
    Guard g(mutex_);
    props_ = p;
    for (auto &w : windows_)
        for (ZorImage *img : w->images_)
            fillRecord(*w, img);
}

void Screen::setRegisterBase(void *base)
{
    Guard g(mutex_);
    BoardProperties p = props_;
    p.register_base = base;
    setProperties(p);
}

ZorImage *Screen::windowImage(int id)
{
    Guard g(mutex_);
    Window *w = find(id);
    if (!w)
        return nullptr;
    const unsigned bands = w->depth_ == 8 ? 1 : 4;
    for (ZorImage *img : w->images_)
        if (img->getWidth() == unsigned(w->w_) && img->getHeight() == unsigned(w->h_))
            return img;
    ZorDisplayIO rec{};
    rec.bboxX = w->x_;
    rec.bboxY = w->y_;
    rec.bboxW = w->w_;
    rec.bboxH = w->h_;
    ZorImage *img = ZorImage::createWindow(unsigned(w->w_), unsigned(w->h_), bands, rec);
    if (!img) {
        fail("the host made no window image for window " + std::to_string(id));
        return nullptr;
    }
    w->images_.push_back(img);
    fillRecord(*w, img);
    return img;
}

int Screen::addLockObserver(Observer f)
{
    Guard g(mutex_);
    observers_.push_back(Obs{next_token_, true, std::move(f)});
    return next_token_++;
}

int Screen::addUnlockObserver(Observer f)
{
    Guard g(mutex_);
    observers_.push_back(Obs{next_token_, false, std::move(f)});
    return next_token_++;
}

void Screen::removeObserver(int token)
{
    Guard g(mutex_);
    for (auto it = observers_.begin(); it != observers_.end();) {
        if (it->token != token) {
            ++it;
        } else if (notifying_) {
            (it++)->removed = true;  // it may be running: erased when the observers are done
        } else {
            it = observers_.erase(it);
        }
    }
}

bool Screen::notify(Window &w, bool lock) noexcept
{
    // Walks the observers present when it starts; neither allocates nor copies.
    Guard g(mutex_);
    ++notifying_;
    bool ok = true;
    std::size_t left = observers_.size();
    for (auto it = observers_.begin(); ok && left > 0; ++it, --left) {
        if (it->lock != lock || it->removed)
            continue;
        try {
            it->f(w);
        } catch (...) {
            ok = !lock;  // a lock observer refuses; an unlock goes on regardless
        }
    }
    if (--notifying_ == 0)
        observers_.remove_if([](const Obs &o) { return o.removed; });
    return ok;
}

}  // namespace wca
