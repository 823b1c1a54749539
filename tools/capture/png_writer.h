// PNG output for captured frames: RGBA8 pixels as read back from GL (bottom row first).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ombrel::capture {

// One RGBA8 image with rows in GL order: row 0 is the bottom of the picture.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgba; // width * height * 4 bytes

    const uint8_t* pixel(int x, int y) const { return &rgba[(size_t(y) * width + x) * 4]; }
};

// Writes the image top row first, as RGB (the alpha of the window is meaningless). On failure
// returns false and fills error with the path and the reason.
bool writePng(const std::string& path, const Image& image, std::string& error);

// Reads an 8-bit RGB or RGBA PNG back into an Image (bottom row first), for tests and checks.
bool readPng(const std::string& path, Image& image, std::string& error);

} // namespace ombrel::capture
