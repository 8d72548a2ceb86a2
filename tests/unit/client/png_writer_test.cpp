// The picture file of a frame dump.
#include <gtest/gtest.h>
#include <png.h>

#include <cstring>

#include "client/png_writer.h"
#include "tests/support/process.h"

using namespace halvoran_client;

namespace {

TEST(PngWriter, WritesEveryPixelScaledAcross) {
    std::string dir = testing_support::makeTempDir("png");
    std::string path = dir + "/two.png";
    // 2 x 2: red, green / blue, white.
    std::vector<uint8_t> rgb{255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255};
    std::string error;
    ASSERT_TRUE(writePng(path, 2, 2, rgb, 2, error)) << error;

    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    ASSERT_NE(png_image_begin_read_from_file(&image, path.c_str()), 0) << image.message;
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> back(PNG_IMAGE_SIZE(image));
    ASSERT_NE(png_image_finish_read(&image, nullptr, back.data(), 0, nullptr), 0) << image.message;
    EXPECT_EQ(image.width, 4u);
    EXPECT_EQ(image.height, 2u);
    std::vector<uint8_t> expected{255, 0, 0,   255, 0, 0,   0,   255, 0,   0,   255, 0,
                                  0,   0, 255, 0,   0, 255, 255, 255, 255, 255, 255, 255};
    EXPECT_EQ(back, expected);
    std::remove(path.c_str());
    std::remove(dir.c_str());
}

TEST(PngWriter, SaysWhyItCannotWrite) {
    std::string error;
    EXPECT_FALSE(writePng("/nonexistent-dir/x.png", 1, 1, {1, 2, 3}, 1, error));
    EXPECT_NE(error.find("/nonexistent-dir/x.png"), std::string::npos);
    EXPECT_FALSE(writePng("/tmp/never.png", 2, 2, {1, 2, 3}, 1, error));
}

}  // namespace
