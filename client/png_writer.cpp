#include "client/png_writer.h"

#include <png.h>

#include <cstring>

namespace halvoran_client {

bool writePng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb, int scaleX,
              std::string& error) {
    if (width <= 0 || height <= 0 || scaleX <= 0 || rgb.size() != size_t(width) * size_t(height) * 3) {
        error = "no picture to write";
        return false;
    }
    const int outWidth = width * scaleX;
    std::vector<uint8_t> scaled(size_t(outWidth) * size_t(height) * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < outWidth; ++x) {
            std::memcpy(&scaled[(size_t(y) * outWidth + x) * 3], &rgb[(size_t(y) * width + x / scaleX) * 3], 3);
        }
    }
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(outWidth);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    if (png_image_write_to_file(&image, path.c_str(), 0, scaled.data(), 0, nullptr) == 0) {
        error = "cannot write " + path + ": " + image.message;
        png_image_free(&image);
        return false;
    }
    return true;
}

}  // namespace halvoran_client
