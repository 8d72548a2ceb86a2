// The frame dump format of the simulated camera, with its encoder and a decoder.
//
// After the command line "df" the camera sends, in this order:
//
//   "ACK\r"        the acknowledgement of the command (4 text bytes)
//   0x01           frame start
//   143 rows, top to bottom, each:
//     0x02         row start
//     80 pixels, left to right, each three bytes R, G, B; every pixel byte lies in 16..240
//                  and is never ':' (0x3A), so no pixel byte is 0..3, ':' or 0xFF
//   0x03           frame end
//   ':'            the prompt
//
// 4 + 1 + 143 * (1 + 240) + 1 + 1 = 34470 bytes in all, below the 34645 that Halvoran accepts;
// the output is complete at the first ':' after the byte 3, as Halvoran expects.
// Pixels cover about twice as much width as height: show a frame at 160 x 143 (scaleX 2).
//
// The decoder takes the bytes as Halvoran streams them on its image port: text before the frame
// start (the acknowledgement) is skipped, a row with too few pixels is filled with black, extra
// bytes in a row are ignored, and a missing ':' is accepted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim::frame {

constexpr int kWidth = 80;
constexpr int kHeight = 143;
constexpr uint8_t kFrameStart = 1;
constexpr uint8_t kRowStart = 2;
constexpr uint8_t kFrameEnd = 3;
constexpr uint8_t kPrompt = ':';
constexpr uint8_t kPixelMin = 16;
constexpr uint8_t kPixelMax = 240;
// Size of the frame part (frame start to prompt, both included).
constexpr size_t kFrameBytes = 1 + size_t(kHeight) * (1 + 3 * kWidth) + 1 + 1;

// An RGB picture, 3 bytes per pixel, rows top to bottom.
struct Image {
    int width = kWidth;
    int height = kHeight;
    std::vector<uint8_t> rgb = std::vector<uint8_t>(size_t(kWidth) * kHeight * 3, 0);

    uint8_t* at(int x, int y) { return &rgb[(size_t(y) * width + x) * 3]; }
    const uint8_t* at(int x, int y) const { return &rgb[(size_t(y) * width + x) * 3]; }
};

// A colour value as the camera can send it: clamped to 16..240, and 58 (':') sent as 59.
uint8_t pixelByte(int value);

// The frame part of the dump (frame start .. prompt) for an image of kWidth x kHeight.
std::vector<uint8_t> encode(const Image& image);

// Decodes a dump (with or without the leading acknowledgement). Returns false, with a reason
// in *error, when there is no frame start or no row at all.
bool decode(const uint8_t* data, size_t size, Image& out, std::string* error = nullptr);
inline bool decode(const std::vector<uint8_t>& data, Image& out, std::string* error = nullptr) {
    return decode(data.data(), data.size(), out, error);
}

}  // namespace sim::frame
