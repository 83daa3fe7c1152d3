#include "tools/zynwatch/image_file.h"

#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

tagZYNMBITMAPINFOHEADER Header(LONG width, LONG height, WORD bits) {
  tagZYNMBITMAPINFOHEADER h{};
  h.biSize = 40;
  h.biWidth = width;
  h.biHeight = height;
  h.biPlanes = 1;
  h.biBitCount = bits;
  return h;
}

std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}

// Decodes a PNG into tight RGB rows, top-down.
std::vector<std::uint8_t> DecodePng(const std::vector<std::uint8_t>& file, png_uint_32* width,
                                    png_uint_32* height) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) return {};
  image.format = PNG_FORMAT_RGB;
  std::vector<std::uint8_t> rgb(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) return {};
  *width = image.width;
  *height = image.height;
  return rgb;
}

// 3 x 2 at 24 bits: rows padded from 9 to 12 bytes, the bottom row first. Bottom row: blue,
// green, red; top row: white, black, grey.
const std::vector<std::uint8_t> kBits24 = {
    255, 0,   0,   0, 255, 0, 0,   0,   255, 0xEE, 0xEE, 0xEE,
    255, 255, 255, 0, 0,   0, 128, 128, 128, 0xEE, 0xEE, 0xEE,
};

TEST(Bmp, FileHeaderInfoHeaderAndRowsAsGiven) {
  std::vector<std::uint8_t> file;
  std::string error;
  ASSERT_TRUE(EncodeBmp(Header(3, 2, 24), kBits24, &file, &error)) << error;
  ASSERT_EQ(file.size(), 14u + 40u + 24u);
  EXPECT_EQ(file[0], 'B');
  EXPECT_EQ(file[1], 'M');
  EXPECT_EQ(U32(file, 2), file.size());
  EXPECT_EQ(U32(file, 6), 0u);
  EXPECT_EQ(U32(file, 10), 54u);
  EXPECT_EQ(U32(file, 14), 40u);
  EXPECT_EQ(U32(file, 18), 3u);
  EXPECT_EQ(U32(file, 22), 2u);
  EXPECT_EQ(file[26] | (file[27] << 8), 1);
  EXPECT_EQ(file[28] | (file[29] << 8), 24);
  EXPECT_EQ(U32(file, 30), 0u);
  EXPECT_EQ(U32(file, 34), 24u);  // the image size, filled in
  EXPECT_TRUE(std::equal(kBits24.begin(), kBits24.end(), file.begin() + 54));
}

TEST(Bmp, OnlyThePromisedBytesAreWritten) {
  std::vector<std::uint8_t> longer = kBits24;
  longer.resize(100, 7);
  std::vector<std::uint8_t> file;
  std::string error;
  ASSERT_TRUE(EncodeBmp(Header(3, 2, 24), longer, &file, &error)) << error;
  EXPECT_EQ(file.size(), 78u);
}

TEST(Png, RowsComeTopDownInRgb) {
  std::vector<std::uint8_t> file;
  std::string error;
  ASSERT_TRUE(EncodePng(Header(3, 2, 24), kBits24, &file, &error)) << error;
  png_uint_32 width = 0, height = 0;
  std::vector<std::uint8_t> rgb = DecodePng(file, &width, &height);
  ASSERT_EQ(width, 3u);
  ASSERT_EQ(height, 2u);
  EXPECT_EQ(rgb, (std::vector<std::uint8_t>{255, 255, 255, 0, 0, 0, 128, 128, 128,  // top
                                            0, 0, 255, 0, 255, 0, 255, 0, 0}));
}

TEST(Png, ThirtyTwoAndSixteenBitPixelsAndTopDownPictures) {
  // 2 x 1 at 32 bits: red, then green; the fourth byte is unused and must not matter.
  std::vector<std::uint8_t> bits32 = {0, 0, 255, 0, 0, 255, 0, 0};
  std::vector<std::uint8_t> file;
  std::string error;
  ASSERT_TRUE(EncodePng(Header(2, 1, 32), bits32, &file, &error)) << error;
  png_uint_32 width = 0, height = 0;
  EXPECT_EQ(DecodePng(file, &width, &height), (std::vector<std::uint8_t>{255, 0, 0, 0, 255, 0}));

  // 1 x 2 at 16 bits (5 bits each of red, green, blue), rows listed top-down (negative
  // height): red above blue.
  std::vector<std::uint8_t> bits16 = {0x00, 0x7C, 0, 0, 0x1F, 0x00, 0, 0};
  ASSERT_TRUE(EncodePng(Header(1, -2, 16), bits16, &file, &error)) << error;
  EXPECT_EQ(DecodePng(file, &width, &height), (std::vector<std::uint8_t>{255, 0, 0, 0, 0, 255}));
}

TEST(Dib, MalformedPicturesAreRefused) {
  std::string error;
  std::vector<std::uint8_t> file;
  EXPECT_FALSE(CheckDib(Header(3, 2, 24), std::span(kBits24).first(23), &error));
  EXPECT_NE(error.find("fewer pixel bytes"), std::string::npos);
  EXPECT_FALSE(CheckDib(Header(3, 2, 8), kBits24, &error));
  EXPECT_FALSE(CheckDib(Header(-3, 2, 24), kBits24, &error));
  EXPECT_FALSE(CheckDib(Header(3, 0, 24), kBits24, &error));
  tagZYNMBITMAPINFOHEADER compressed = Header(3, 2, 24);
  compressed.biCompression = 1;
  EXPECT_FALSE(CheckDib(compressed, kBits24, &error));
  // A header promising more than a bitmap file can hold.
  EXPECT_FALSE(EncodeBmp(Header(40000, 40000, 32), kBits24, &file, &error));
  EXPECT_FALSE(EncodePng(Header(3, 2, 24), {}, &file, &error));
}

TEST(ImageFile, TheNameChoosesTheFormat) {
  char pattern[] = "/tmp/zynwatch-image-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  std::string error;
  auto read = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
  };
  ASSERT_TRUE(WriteImageFile(dir + "/a.PNG", Header(3, 2, 24), kBits24, &error)) << error;
  EXPECT_EQ(read(dir + "/a.PNG").at(1), 'P');
  ASSERT_TRUE(WriteImageFile(dir + "/b.bmp", Header(3, 2, 24), kBits24, &error)) << error;
  EXPECT_EQ(read(dir + "/b.bmp").size(), 78u);
  EXPECT_FALSE(WriteImageFile(dir + "/c.jpg", Header(3, 2, 24), kBits24, &error));
  EXPECT_FALSE(std::filesystem::exists(dir + "/c.jpg"));
  EXPECT_FALSE(WriteImageFile(dir + "/no/such/d.bmp", Header(3, 2, 24), kBits24, &error));
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
  EXPECT_TRUE(IsImageFileName("x.Bmp"));
  EXPECT_FALSE(IsImageFileName("png"));
  std::filesystem::remove_all(dir);
}

}  // namespace
