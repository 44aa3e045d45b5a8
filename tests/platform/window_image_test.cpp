// Window images: the display device-IO record and a driver's use of it.
#include "window_system.h"
#include "zor.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

TEST(WindowImage, RecordFieldsFollowDepthAndProperties) {
    wca::Screen s(640, 480);
    std::uint8_t space[64];
    int regs[4];
    wca::BoardProperties p;
    for (std::size_t i = 0; i < 64; ++i)
        p.board[i] = 0x1000u * unsigned(i) + 0x40;
    p.stereo = 1;
    p.map_mode = 2;
    p.map_base = space;
    p.map_line_bytes = 16384;
    p.view8_base = space + 8;
    p.view8_line_bytes = 2048;
    p.view16_base = space + 16;
    p.view16_line_bytes = 4096;
    s.setProperties(p);

    for (int depth : {8, 24}) {
        const int id = s.createWindow(depth, 33, -4, 100, 70);
        ZorImage *img = s.windowImage(id);
        ASSERT_NE(img, nullptr);
        EXPECT_EQ(s.windowImage(id), img);
        EXPECT_EQ(std::make_tuple(img->getWidth(), img->getHeight(), img->getBands()),
                  std::make_tuple(100u, 70u, depth == 8 ? 1u : 4u));
        ZorHandle<ZorImage> child(img->createChild(4, 5, depth == 8 ? 0 : 1, 10, 10, depth == 8 ? 1 : 3));
        ASSERT_NE(child, nullptr);

        // Properties set later reach the image and its children alike.
        s.setRegisterBase(regs);
        for (const ZorDisplayIO *rec : {img->getDeviceInputOutput(), child->getDeviceInputOutput()}) {
            ASSERT_NE(rec, nullptr);
            EXPECT_EQ(std::tie(rec->window, rec->depth, rec->regs, rec->fbBase, rec->fbLineBytes),
                      std::make_tuple(static_cast<void *>(s.window(id)->handle()), depth, static_cast<void *>(regs),
                                      depth == 8 ? s.frameBuffer8() : s.frameBuffer24(), depth == 8 ? 2048 : 8192));
            for (int i = 0; i < 64; ++i) EXPECT_EQ(rec->board[i], 0x1000 * i + 0x40);
            EXPECT_EQ(std::tie(rec->stereo, rec->highRes, rec->mapMode, rec->mapBase, rec->mapLineBytes),
                      std::make_tuple(1, 0, 2, static_cast<std::uint8_t *>(space), 16384));
            EXPECT_EQ(std::tie(rec->view8Base, rec->view8LineBytes, rec->view16Base, rec->view16LineBytes),
                      std::make_tuple(static_cast<std::uint8_t *>(space + 8), 2048, static_cast<std::uint8_t *>(space + 16), 4096));
        }
        s.setRegisterBase(nullptr);

        // A resized window gets an image of its new size; a destroyed one
        // leaves no handle behind in surviving children.
        ASSERT_TRUE(s.resizeWindow(id, 40, 10));
        ZorImage *img2 = s.windowImage(id);
        ASSERT_NE(img2, img);
        EXPECT_EQ(img2->getWidth(), 40u);
        ASSERT_TRUE(s.destroyWindow(id));
        EXPECT_EQ(child->getDeviceInputOutput()->window, nullptr);
    }
}

// The path a driver takes: record -> handle -> lock -> clip list and bbox ->
// region to write -> frame-buffer addresses.
TEST(WindowImage, DriverPathWritesOnlyVisiblePixels) {
    wca::Screen s(128, 64);
    const int id = s.createWindow(8, 10, 5, 40, 20);
    s.createWindow(8, 30, 0, 100, 12);  // covers the window's top right
    ZorImage *img = s.windowImage(id);
    ZorDisplayIO *rec = img->getDeviceInputOutput();
    auto *win = static_cast<wca_win *>(rec->window);

    ASSERT_EQ(wca_win_lock(win), WCA_OK);
    rec->clipList = static_cast<const ZorClipList *>(wca_win_clipinfo(win));
    ASSERT_EQ(wca_win_bbox(win, &rec->bboxX, &rec->bboxY, &rec->bboxW, &rec->bboxH), WCA_OK);
    ZorHandle<ZorRoi> roi(img->getImageSpaceRoi()->intersectClipList(rec->clipList, rec->bboxX, rec->bboxY));
    ASSERT_NE(roi, nullptr);
    ZorHandle<ZorRectList> list(roi->getRectList());
    int x, y, w, h;
    while (list->getNext(&x, &y, &w, &h))
        for (int r = 0; r < h; ++r)
            for (int c = 0; c < w; ++c)
                rec->fbBase[(rec->bboxY + y + r) * rec->fbLineBytes + rec->bboxX + x + c] = 0xaa;
    ASSERT_EQ(wca_win_unlock(win), WCA_OK);

    for (int sy = 0; sy < s.height(); ++sy)
        for (int sx = 0; sx < s.width(); ++sx) {
            const wca::Window *top = s.windowAt(sx, sy);
            ASSERT_EQ(s.frameBuffer8()[sy * wren_fb::line_bytes8 + sx], top && top->id() == id ? 0xaa : 0) << sx << "," << sy;
        }
}

}  // namespace
