#include "sim/frame_format.h"

#include <algorithm>

namespace sim::frame {

uint8_t pixelByte(int value) {
    int v = std::clamp(value, int(kPixelMin), int(kPixelMax));
    if (v == kPrompt) v = kPrompt + 1;
    return static_cast<uint8_t>(v);
}

std::vector<uint8_t> encode(const Image& image) {
    std::vector<uint8_t> out;
    out.reserve(kFrameBytes);
    out.push_back(kFrameStart);
    for (int y = 0; y < kHeight; ++y) {
        out.push_back(kRowStart);
        for (int x = 0; x < kWidth; ++x) {
            for (int c = 0; c < 3; ++c) {
                int v = 0;
                if (x < image.width && y < image.height) v = image.at(x, y)[c];
                out.push_back(pixelByte(v));
            }
        }
    }
    out.push_back(kFrameEnd);
    out.push_back(kPrompt);
    return out;
}

bool decode(const uint8_t* data, size_t size, Image& out, std::string* error) {
    out = Image();
    size_t i = 0;
    while (i < size && data[i] != kFrameStart) ++i;
    if (i == size) {
        if (error) *error = "no frame start (byte 1)";
        return false;
    }
    ++i;
    int row = -1;
    int column = 0;  // byte index within the row
    for (; i < size; ++i) {
        const uint8_t b = data[i];
        if (b == kFrameEnd || b == kPrompt) break;
        if (b == kRowStart) {
            ++row;
            column = 0;
            continue;
        }
        if (row < 0 || row >= kHeight) continue;  // pixel bytes outside a row are skipped
        if (column < kWidth * 3) out.rgb[size_t(row) * kWidth * 3 + column] = b;
        ++column;
    }
    if (row < 0) {
        if (error) *error = "no row (byte 2) in the frame";
        return false;
    }
    return true;
}

}  // namespace sim::frame
