// Writes an RGB picture as a PNG file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace halvoran_client {

// rgb holds width x height pixels, three bytes each, rows top to bottom. Each pixel is written
// scaleX times side by side, so a picture whose pixels are wider than tall keeps its shape.
// False with a reason when the file cannot be written.
bool writePng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb, int scaleX,
              std::string& error);

}  // namespace halvoran_client
