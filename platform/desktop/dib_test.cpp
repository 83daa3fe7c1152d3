#include "platform/desktop/dib.h"

#include <gtest/gtest.h>

namespace zyn::desktop {
namespace {

RgbImage Image(std::uint32_t w, std::uint32_t h, std::vector<std::uint32_t> pixels) {
  return RgbImage{w, h, std::move(pixels)};
}

TEST(DibDecodeTest, ReadsDirectColourAtEveryPixelSize) {
  std::string error;
  RgbImage out;
  // 32 bits, little-endian BGRX, rows padded to 32 bits (no padding needed).
  const std::uint8_t bgrx[] = {0x30, 0x20, 0x10, 0xEE, 0x03, 0x02, 0x01, 0xEE};
  ASSERT_TRUE(DecodePixels(bgrx, sizeof bgrx, 2, 1, PixelLayout{}, &out, &error)) << error;
  EXPECT_EQ(out.pixels, (std::vector<std::uint32_t>{0x102030, 0x010203}));

  // 16 bits, 5-6-5, big-endian pixels, each row padded to 32 bits: 3 pixels take 8 bytes.
  PixelLayout rgb565;
  rgb565.bitsPerPixel = 16;
  rgb565.msbFirst = true;
  rgb565.redMask = 0xF800;
  rgb565.greenMask = 0x07E0;
  rgb565.blueMask = 0x001F;
  const std::uint8_t two[] = {0xF8, 0x00, 0x07, 0xE0, 0x00, 0x1F, 0xAA, 0xAA,
                              0xFF, 0xFF, 0x00, 0x00, 0x84, 0x10, 0xAA, 0xAA};
  ASSERT_TRUE(DecodePixels(two, sizeof two, 3, 2, rgb565, &out, &error)) << error;
  EXPECT_EQ(out.pixels, (std::vector<std::uint32_t>{0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF,
                                                    0x000000, 0x848284}));

  // 24 bits packed, rows padded to 32 bits: 1 pixel takes 4 bytes.
  PixelLayout packed;
  packed.bitsPerPixel = 24;
  const std::uint8_t three[] = {0x03, 0x02, 0x01, 0x99, 0x06, 0x05, 0x04, 0x99};
  ASSERT_TRUE(DecodePixels(three, sizeof three, 1, 2, packed, &out, &error)) << error;
  EXPECT_EQ(out.pixels, (std::vector<std::uint32_t>{0x010203, 0x040506}));
}

TEST(DibDecodeTest, ReadsIndexedColourThroughThePalette) {
  PixelLayout indexed;
  indexed.bitsPerPixel = 8;
  indexed.palette = {0x000000, 0xFF8000, 0x123456};
  const std::uint8_t pixels[] = {2, 1, 0, 7};  // 7 is past the palette: black
  RgbImage out;
  std::string error;
  ASSERT_TRUE(DecodePixels(pixels, sizeof pixels, 4, 1, indexed, &out, &error)) << error;
  EXPECT_EQ(out.pixels, (std::vector<std::uint32_t>{0x123456, 0xFF8000, 0, 0}));
}

TEST(DibDecodeTest, RefusesShortDataAndUnknownPixelSizes) {
  RgbImage out;
  std::string error;
  const std::uint8_t data[15] = {};
  // 2 x 2 at 32 bits needs 16 bytes.
  EXPECT_FALSE(DecodePixels(data, sizeof data, 2, 2, PixelLayout{}, &out, &error));
  EXPECT_FALSE(error.empty());
  PixelLayout odd;
  odd.bitsPerPixel = 4;
  EXPECT_FALSE(DecodePixels(data, sizeof data, 2, 2, odd, &out, &error));
}

TEST(DibStretchTest, ShrinkingAveragesAndEnlargingRepeats) {
  // 4 x 2 to 2 x 1: each target pixel averages a 2 x 2 block.
  RgbImage source = Image(4, 2,
                          {0x000000, 0x0000FF, 0xFF0000, 0xFF0000,  //
                           0x0000FF, 0x000000, 0xFF0000, 0xFF0000});
  RgbImage small = Stretch(source, 2, 1);
  EXPECT_EQ(small.pixels, (std::vector<std::uint32_t>{0x000080, 0xFF0000}));

  // 2 x 1 to 4 x 2: each source pixel covers a 2 x 2 block.
  RgbImage big = Stretch(Image(2, 1, {0x112233, 0x445566}), 4, 2);
  EXPECT_EQ(big.pixels, (std::vector<std::uint32_t>{0x112233, 0x112233, 0x445566, 0x445566,
                                                    0x112233, 0x112233, 0x445566, 0x445566}));

  // A size that is not a multiple: 3 to 2 still reads every column and stays in bounds.
  RgbImage odd = Stretch(Image(3, 1, {0x000000, 0x000000, 0x0000FF}), 2, 1);
  EXPECT_EQ(odd.pixels, (std::vector<std::uint32_t>{0x000000, 0x000080}));
}

TEST(DibEncodeTest, RowsRunBottomUpAndArePaddedToFourBytes) {
  // Top row red, bottom row blue, 3 pixels wide.
  RgbImage image = Image(3, 2, {0xFF0000, 0xFF0000, 0xFF0000, 0x0000FF, 0x0000FF, 0x0000FF});
  DibImage dib;
  std::string error;

  ASSERT_TRUE(EncodeDib(image, 32, &dib, &error)) << error;
  EXPECT_EQ(dib.bits.size(), 2u * 12);
  EXPECT_EQ(dib.bits[0], 0xFF);  // first row in memory is the bottom one: blue
  EXPECT_EQ(dib.bits[2], 0x00);
  EXPECT_EQ(dib.bits[12 + 2], 0xFF);  // then the top: red
  EXPECT_EQ(dib.bits[12 + 3], 0x00);  // the fourth byte of a pixel is 0

  ASSERT_TRUE(EncodeDib(image, 24, &dib, &error)) << error;
  ASSERT_EQ(dib.bits.size(), 2u * 12);  // 9 bytes of pixels padded to 12
  EXPECT_EQ(std::vector<std::uint8_t>(dib.bits.begin(), dib.bits.begin() + 12),
            (std::vector<std::uint8_t>{0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0, 0, 0}));

  // 16 bits: 5-5-5, little-endian; 6 bytes padded to 8.
  ASSERT_TRUE(EncodeDib(image, 16, &dib, &error)) << error;
  ASSERT_EQ(dib.bits.size(), 2u * 8);
  EXPECT_EQ(dib.bits[0] | dib.bits[1] << 8, 0x001F);  // blue
  EXPECT_EQ(dib.bits[8] | dib.bits[9] << 8, 0x7C00);  // red
  EXPECT_EQ(dib.bits[6] | dib.bits[7] << 8, 0);       // padding
  EXPECT_EQ(dib.bitsPerPixel, 16);

  EXPECT_FALSE(EncodeDib(image, 8, &dib, &error));
}

TEST(DibEncodeTest, SizesFollowTheRowFormula) {
  EXPECT_EQ(DibRowBytes(200, 16), 400u);
  EXPECT_EQ(150 * DibRowBytes(200, 16), 60000u);
  EXPECT_EQ(768 * DibRowBytes(1024, 32), 3145728u);
  EXPECT_EQ(DibRowBytes(1, 24), 4u);
  EXPECT_EQ(DibBitsForDisplay(32), 32);
  EXPECT_EQ(DibBitsForDisplay(24), 24);
  EXPECT_EQ(DibBitsForDisplay(16), 16);
  EXPECT_EQ(DibBitsForDisplay(8), 32);
  EXPECT_EQ(DibBitsForDisplay(1), 32);
}

}  // namespace
}  // namespace zyn::desktop
