// The window system of the simulated display: one screen with an 8-bit and a
// 24-bit frame buffer, board properties, and a stack of windows.
//
// Frame buffers (geometry in wren_regmap.h). The 8-bit buffer has one byte per
// pixel and 2048-byte lines; the 24-bit buffer has 4-byte pixels (byte 0 unused
// by colour, bytes 1 to 3 red, green, blue) and 8192-byte lines. Both start at
// the screen's top-left pixel and are page aligned. A window of depth 8 shows
// the 8-bit buffer, one of depth 24 the 24-bit buffer, at the window's screen
// position.
//
// Windows. Each window has a depth (8 or 24), a screen position (it may lie
// partly or wholly off screen), a size and a place in the stacking order. Its
// visible region is the part of its rectangle on screen that no window above it
// covers. Every change of geometry or stacking bumps the shared change count;
// the next outermost wca_win_lock of a window's handle then refreshes the
// handle's clip list (a ZorClipList of the visible rectangles, screen
// coordinates) and bounding box. A handle keeps its clip list and bounding box
// while it is locked, whatever happens to the window meanwhile.
//
// Pixels are not moved when windows change: the frame buffers are shared by all
// windows, as on the board.
//
// Errors (bad sizes, unknown windows, destroying a locked window) are reported
// by the result and the text of lastError(); nothing is changed then.
//
// Threads. The screen's own state (the window stack, geometry, visible
// regions, board properties, window images, observers, change count) is
// guarded by one lock of the screen, so windows may be made, moved, raised
// and locked from any thread while other threads draw. A window's handle is
// locked by one thread at a time (wca.h): the refresh of its clip list and
// the lock and unlock observers run with the handle held and under the
// screen's lock. What a caller keeps from the screen is not guarded: a
// Window's geometry accessors, visible() and lastError() read what another
// thread may be changing, and a window must not be destroyed (nor its
// images' records changed by setProperties) while another thread uses it.
#pragma once

#include "wca.h"
#include "wren_regmap.h"

#include <pixman.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class ZorClipList;
class ZorImage;

namespace wca {

// Board and screen properties copied into every window image's device-IO record.
struct BoardProperties {
    void *register_base = nullptr;          // the accelerator's register space
    std::array<std::uint32_t, 64> board{};  // board block (word 0 bits 5-7: generation)
    int stereo = 0;                         // non-zero for a stereo screen
    int high_resolution = 0;                // non-zero for a high-resolution screen
    int map_mode = 0;                       // pixel-mapping mode: 1 or 2, 0 for none
    void *map_base = nullptr;               // mode 1: mapping space, 8 bytes per pixel
    std::int16_t map_line_bytes = 0;
    void *view8_base = nullptr;             // mode 2: 8-bit direct view
    std::int16_t view8_line_bytes = 0;
    void *view16_base = nullptr;            // mode 2: 16-bit direct view
    std::int16_t view16_line_bytes = 0;
};

class Screen;

class Window {
public:
    int id() const { return id_; }
    int depth() const { return depth_; }
    int x() const { return x_; }
    int y() const { return y_; }
    int width() const { return w_; }
    int height() const { return h_; }
    // The current visible region in screen coordinates (not the locked snapshot).
    const pixman_region32_t *visible() const { return &visible_; }
    std::vector<pixman_box32_t> visibleRects() const;
    // The clip-access handle; its owner field points back to this window.
    wca_win *handle() { return &handle_; }
    const wca_win *handle() const { return &handle_; }
    // Held by some thread (wca_win_lock).
    bool locked() const;
    Screen &screen() const { return *screen_; }

    // Frame buffer of the window's depth, its line bytes and bytes per pixel.
    std::uint8_t *frameBuffer() const;
    int lineBytes() const;
    int pixelBytes() const { return depth_ == 8 ? 1 : 4; }

    Window(const Window &) = delete;
    Window &operator=(const Window &) = delete;
    ~Window();

private:
    friend class Screen;
    Window(Screen *screen, int id, int depth, int x, int y, int w, int h);
    static int update(wca_win *win) noexcept;
    static int onLock(wca_win *win) noexcept;
    static void onUnlock(wca_win *win) noexcept;

    Screen *screen_;
    int id_, depth_, x_, y_, w_, h_;
    pixman_region32_t visible_;
    wca_win handle_{};
    volatile int lock_word_ = 0;
    ZorClipList *clip_ = nullptr;       // the handle's clip list, owned
    std::vector<ZorImage *> images_;    // window images made for this window, owned
};

class Screen {
public:
    static constexpr int kLineBytes8 = wren_fb::line_bytes8;
    static constexpr int kLineBytes24 = wren_fb::line_bytes24;
    static constexpr int kMaxWidth = wren_fb::max_width;
    static constexpr int kMaxHeight = wren_fb::max_height;

    using Observer = std::function<void(Window &)>;

    // Throws std::invalid_argument unless 1 <= width <= kMaxWidth and 1 <= height <= kMaxHeight.
    explicit Screen(int width = 1280, int height = 1024);
    ~Screen();
    Screen(const Screen &) = delete;
    Screen &operator=(const Screen &) = delete;

    int width() const { return width_; }
    int height() const { return height_; }
    std::uint8_t *frameBuffer8() const { return fb8_; }
    std::uint8_t *frameBuffer24() const { return fb24_; }
    std::size_t frameBuffer8Size() const { return std::size_t(kLineBytes8) * height_; }
    std::size_t frameBuffer24Size() const { return std::size_t(kLineBytes24) * height_; }

    // Board properties; setting them updates the records of existing window images.
    const BoardProperties &properties() const { return props_; }
    void setProperties(const BoardProperties &p);
    void setRegisterBase(void *base);

    // Windows. createWindow returns the new window's id (> 0), on top of the
    // stack, or 0 for a depth other than 8 or 24, a size below 1 or above 32767,
    // or a position that puts the window outside the host's coordinate range.
    int createWindow(int depth, int x, int y, int w, int h);
    bool moveWindow(int id, int x, int y);
    bool resizeWindow(int id, int w, int h);
    bool raiseWindow(int id);  // to the top
    bool lowerWindow(int id);  // to the bottom
    // Refused while the window's handle is locked.
    bool destroyWindow(int id);

    Window *window(int id) const;                   // null when unknown
    Window *windowFromHandle(const wca_win *h) const;  // null when not one of ours
    std::vector<Window *> stack() const;           // bottom to top
    // The window on top at a screen pixel, null for uncovered screen or off screen.
    Window *windowAt(int x, int y) const;

    // Shared change count, bumped by every change of geometry or stacking.
    unsigned long changeCount() const;

    // A host image standing for the window, carrying the display device-IO
    // record; owned by the window (freed when the window is destroyed). Depth 8
    // gives a 1-band image, depth 24 a 4-band image. Null for an unknown window.
    ZorImage *windowImage(int id);

    // Observers of the outermost lock and unlock of any window's handle. The
    // lock observers run after the handle's clip list has been refreshed. A
    // lock observer refuses the lock by throwing: the exception goes no
    // further, the lock fails, and the unlock observers run so that the lock
    // observers that ran before it can undo what they did. Unlock observers
    // must not fail (what they need is set aside when the lock is taken); an
    // exception from one is dropped and the unlock completes regardless.
    // Observers may add and remove observers; those added run from the next
    // lock or unlock on.
    int addLockObserver(Observer f);
    int addUnlockObserver(Observer f);
    void removeObserver(int token);

    const std::string &lastError() const { return error_; }

private:
    friend class Window;
    bool fail(std::string msg);
    Window *find(int id);
    void changed();          // recompute visible regions, bump the count
    void fillRecord(Window &w, ZorImage *img);

    int width_, height_;
    std::uint8_t *fb8_ = nullptr, *fb24_ = nullptr;
    BoardProperties props_;
    std::vector<std::unique_ptr<Window>> windows_;  // bottom to top
    int next_id_ = 1;
    unsigned long change_count_ = 1;
    struct Obs {
        int token;
        bool lock;
        Observer f;
        bool removed = false;  // removed while observers were running
    };
    // Runs the lock (or unlock) observers; false when a lock observer threw.
    bool notify(Window &w, bool lock) noexcept;
    std::list<Obs> observers_;  // nodes stay put while observers run
    int notifying_ = 0;
    int next_token_ = 1;
    std::string error_;
    // Everything above; recursive: observers and the clip-list refresh call
    // back into the screen.
    mutable std::recursive_mutex mutex_;
};

}  // namespace wca
