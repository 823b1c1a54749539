// PNG output and input through libpng.
#include "tools/capture/png_writer.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace ombrel::capture {

namespace {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// libpng reports errors by longjmp; the handler keeps its text for the caller.
void onPngError(png_structp png, png_const_charp message) {
    auto* error = static_cast<std::string*>(png_get_error_ptr(png));
    *error = message;
    png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

} // namespace

bool writePng(const std::string& path, const Image& image, std::string& error) {
    if (image.width <= 0 || image.height <= 0 ||
        image.rgba.size() != size_t(image.width) * image.height * 4) {
        error = path + ": image has no pixels or a wrong buffer size";
        return false;
    }
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        error = path + ": cannot open for writing: " + std::strerror(errno);
        return false;
    }
    std::string pngError;
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &pngError, onPngError, onPngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        error = path + ": out of memory";
        return false;
    }
    // Rows of RGB built before setjmp so that no object with a destructor is skipped by longjmp.
    std::vector<uint8_t> rgb(size_t(image.width) * image.height * 3);
    std::vector<png_bytep> rows(image.height);
    for (int y = 0; y < image.height; ++y) {
        uint8_t* out = &rgb[size_t(y) * image.width * 3];
        const uint8_t* in = image.pixel(0, image.height - 1 - y);
        for (int x = 0; x < image.width; ++x) {
            out[3 * x + 0] = in[4 * x + 0];
            out[3 * x + 1] = in[4 * x + 1];
            out[3 * x + 2] = in[4 * x + 2];
        }
        rows[y] = out;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        error = path + ": " + pngError;
        return false;
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_rows(png, info, rows.data());
    png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fflush(file.get()) != 0 || std::ferror(file.get())) {
        error = path + ": write failed: " + std::strerror(errno);
        return false;
    }
    return true;
}

bool readPng(const std::string& path, Image& image, std::string& error) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) {
        error = path + ": " + png.message;
        return false;
    }
    png.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> top(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, top.data(), 0, nullptr)) {
        error = path + ": " + png.message;
        png_image_free(&png);
        return false;
    }
    image.width = int(png.width);
    image.height = int(png.height);
    image.rgba.resize(top.size());
    const size_t row = size_t(image.width) * 4;
    for (int y = 0; y < image.height; ++y)
        std::memcpy(&image.rgba[size_t(y) * row], &top[size_t(image.height - 1 - y) * row], row);
    return true;
}

} // namespace ombrel::capture
