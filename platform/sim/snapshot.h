// PNG snapshots of the simulated display.
//
// Pixels of the 24-bit frame buffer are written as RGB from bytes 1, 2 and 3 of
// the 4-byte pixel (byte 0 is not shown); pixels of the 8-bit frame buffer as
// grey (in a 1-channel PNG when only 8-bit pixels are shown, else as three equal
// channels).
//
// - a window: its whole rectangle, read from the frame buffer of its depth at
//   its screen position, whatever covers it; parts off screen are black.
// - a frame buffer: the screen's width x height of the 8-bit or 24-bit buffer.
// - the screen: what the window stack shows; each pixel comes from the frame
//   buffer of the topmost window there, screen not covered by any window is black.
//
// Every function returns true on success; on failure it returns false, stores
// a message in *error (when given) and leaves no partial file behind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace wca {
class Screen;
}

namespace wsim {

bool snapshotWindow(const wca::Screen &screen, int window_id, const std::string &path,
                    std::string *error = nullptr);
bool snapshotFrameBuffer(const wca::Screen &screen, int depth, const std::string &path,
                         std::string *error = nullptr);
bool snapshotScreen(const wca::Screen &screen, const std::string &path, std::string *error = nullptr);

// The screen as the window stack shows it, 3 bytes (R, G, B) per pixel, rows of
// width * 3 bytes, top to bottom.
std::vector<std::uint8_t> composeScreen(const wca::Screen &screen);

// Writes 8-bit grey (channels 1) or RGB (channels 3) pixels, rows stride bytes apart.
bool writePng(const std::string &path, int width, int height, int channels, const std::uint8_t *pixels,
              std::size_t stride, std::string *error = nullptr);

}  // namespace wsim
