// PNG snapshots of the simulated display.
#include "snapshot.h"

#include "window_system.h"

#include <png.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace wsim {

namespace {

struct PngError {
    char text[256];
};

void onPngError(png_structp png, png_const_charp msg)
{
    auto *e = static_cast<PngError *>(png_get_error_ptr(png));
    std::snprintf(e->text, sizeof e->text, "%s", msg ? msg : "unknown libpng error");
    png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

// Encodes the image into an open file. Only trivially destructible objects live
// in this frame, so the error jump taken by libpng skips no destructor.
bool encode(std::FILE *f, int width, int height, int channels, const std::uint8_t *pixels,
            std::size_t stride, PngError *err)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, err, onPngError, onPngWarning);
    if (!png) {
        std::snprintf(err->text, sizeof err->text, "out of memory");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        std::snprintf(err->text, sizeof err->text, "out of memory");
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8,
                 channels == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int row = 0; row < height; ++row)
        png_write_row(png, pixels + std::size_t(row) * stride);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

bool failWith(std::string *error, std::string msg)
{
    if (error)
        *error = std::move(msg);
    return false;
}

// Bytes 1..3 of a 4-byte pixel as RGB.
inline void rgbFrom24(std::uint8_t *out, const std::uint8_t *px)
{
    out[0] = px[1];
    out[1] = px[2];
    out[2] = px[3];
}

}  // namespace

bool writePng(const std::string &path, int width, int height, int channels, const std::uint8_t *pixels,
              std::size_t stride, std::string *error)
{
    if (width < 1 || height < 1 || width > 0x7fffffff / 3 || (channels != 1 && channels != 3) || !pixels ||
        stride < std::size_t(width) * std::size_t(channels))
        return failWith(error, "cannot write '" + path + "': bad image (" + std::to_string(width) + "x" +
                                   std::to_string(height) + ", " + std::to_string(channels) + " channels)");
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return failWith(error, "cannot open '" + path + "' for writing: " + std::strerror(errno));
    // Only a regular file of ours is removed after a failed write, never a device.
    struct stat st;
    const bool regular = fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
    PngError err{};
    bool ok = encode(f, width, height, channels, pixels, stride, &err);
    std::string why = ok ? "" : err.text;
    if (std::fflush(f) != 0 || std::ferror(f)) {
        if (ok)
            why = std::strerror(errno);
        ok = false;
    }
    if (std::fclose(f) != 0 && ok) {
        why = std::strerror(errno);
        ok = false;
    }
    if (!ok) {
        if (regular)
            std::remove(path.c_str());
        return failWith(error, "cannot write '" + path + "': " + why);
    }
    return true;
}

bool snapshotWindow(const wca::Screen &screen, int window_id, const std::string &path, std::string *error)
{
    const wca::Window *w = screen.window(window_id);
    if (!w)
        return failWith(error, "cannot snapshot window " + std::to_string(window_id) + ": unknown window");
    const int channels = w->depth() == 8 ? 1 : 3;
    const int ww = w->width(), wh = w->height();
    std::vector<std::uint8_t> pixels(std::size_t(ww) * wh * channels, 0);
    const std::uint8_t *fb = w->frameBuffer();
    const int pb = w->pixelBytes(), lb = w->lineBytes();
    // Only the part on screen has frame-buffer pixels; the rest stays black.
    const long x0 = std::max<long>(0, w->x()), x1 = std::min<long>(screen.width(), long(w->x()) + ww);
    const long y0 = std::max<long>(0, w->y()), y1 = std::min<long>(screen.height(), long(w->y()) + wh);
    for (long sy = y0; sy < y1; ++sy) {
        std::uint8_t *out = pixels.data() + std::size_t(sy - w->y()) * ww * channels;
        for (long sx = x0; sx < x1; ++sx) {
            const std::uint8_t *px = fb + sy * lb + sx * pb;
            std::uint8_t *o = out + std::size_t(sx - w->x()) * channels;
            if (channels == 1)
                *o = *px;
            else
                rgbFrom24(o, px);
        }
    }
    return writePng(path, ww, wh, channels, pixels.data(), std::size_t(ww) * channels, error);
}

bool snapshotFrameBuffer(const wca::Screen &screen, int depth, const std::string &path, std::string *error)
{
    const int sw = screen.width(), sh = screen.height();
    if (depth == 8)
        return writePng(path, sw, sh, 1, screen.frameBuffer8(), wca::Screen::kLineBytes8, error);
    if (depth != 24)
        return failWith(error, "cannot snapshot a frame buffer of depth " + std::to_string(depth) +
                                   ": there are depths 8 and 24");
    std::vector<std::uint8_t> pixels(std::size_t(sw) * sh * 3);
    for (int y = 0; y < sh; ++y)
        for (int x = 0; x < sw; ++x)
            rgbFrom24(&pixels[(std::size_t(y) * sw + x) * 3],
                      screen.frameBuffer24() + std::size_t(y) * wca::Screen::kLineBytes24 + x * 4);
    return writePng(path, sw, sh, 3, pixels.data(), std::size_t(sw) * 3, error);
}

std::vector<std::uint8_t> composeScreen(const wca::Screen &screen)
{
    const int sw = screen.width(), sh = screen.height();
    std::vector<std::uint8_t> pixels(std::size_t(sw) * sh * 3, 0);
    // Bottom to top, each window paints its visible region: the regions do not
    // overlap, so every pixel is painted at most once, by the window on top.
    for (const wca::Window *w : screen.stack()) {
        const std::uint8_t *fb = w->frameBuffer();
        const int pb = w->pixelBytes(), lb = w->lineBytes();
        for (const pixman_box32_t &b : w->visibleRects())
            for (int y = b.y1; y < b.y2; ++y)
                for (int x = b.x1; x < b.x2; ++x) {
                    const std::uint8_t *px = fb + std::size_t(y) * lb + std::size_t(x) * pb;
                    std::uint8_t *o = &pixels[(std::size_t(y) * sw + x) * 3];
                    if (pb == 1)
                        o[0] = o[1] = o[2] = *px;
                    else
                        rgbFrom24(o, px);
                }
    }
    return pixels;
}

bool snapshotScreen(const wca::Screen &screen, const std::string &path, std::string *error)
{
    const std::vector<std::uint8_t> pixels = composeScreen(screen);
    return writePng(path, screen.width(), screen.height(), 3, pixels.data(), std::size_t(screen.width()) * 3,
                    error);
}

}  // namespace wsim
