// Turning the pixels of a captured screen image into a device-independent bitmap: decoding
// the display's pixel format, stretching to the wanted size, and writing bottom-up rows padded
// to 4 bytes. Kept apart from the X calls so every format can be tested without a display.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/desktop/desktop.h"

namespace zyn::desktop {

// How the pixels of a server image are laid out.
struct PixelLayout {
  int bitsPerPixel = 32;  // 8, 16, 24 or 32
  int scanlinePad = 32;   // each row is padded to a multiple of this many bits
  bool msbFirst = false;  // byte order of a multi-byte pixel
  // Direct colour: where red, green and blue sit in a pixel value.
  std::uint32_t redMask = 0xFF0000;
  std::uint32_t greenMask = 0x00FF00;
  std::uint32_t blueMask = 0x0000FF;
  // Indexed colour: pixel value -> 0x00RRGGBB. When not empty it is used instead of the masks;
  // values past its end read as black.
  std::vector<std::uint32_t> palette;
};

// A picture as 0x00RRGGBB values, rows top-down without padding.
struct RgbImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint32_t> pixels;
};

// Bytes of one row of a server image.
std::size_t SourceRowBytes(std::uint32_t width, const PixelLayout& layout);

// Bytes of one bitmap row: the bits rounded up to whole 32-bit words.
inline std::size_t DibRowBytes(std::uint32_t width, std::uint16_t bitsPerPixel) {
  return static_cast<std::size_t>((std::uint64_t{bitsPerPixel} * width + 31) / 32 * 4);
}

// Decodes width x height pixels from `data` (`size` bytes, rows top-down). False with *error
// when the layout is unsupported or the data is shorter than the rows need.
bool DecodePixels(const std::uint8_t* data, std::size_t size, std::uint32_t width,
                  std::uint32_t height, const PixelLayout& layout, RgbImage* out,
                  std::string* error);

// The picture resized to width x height: each target pixel averages the source pixels it
// covers when shrinking, and takes the nearest one when enlarging. Same size: a copy.
RgbImage Stretch(const RgbImage& source, std::uint32_t width, std::uint32_t height);

// The bit count a bitmap of a display with `displayBitsPerPixel` gets: the display's own for
// 16, 24 and 32; 32 for displays of 8 bits or fewer, whose colour table would not fit the
// header a screen shot carries.
std::uint16_t DibBitsForDisplay(int displayBitsPerPixel);

// Writes the picture as a bottom-up bitmap of 16 (5-5-5, the layout an uncompressed 16-bit
// bitmap has), 24 (BGR) or 32 (BGRX) bits per pixel. False for any other bit count.
bool EncodeDib(const RgbImage& image, std::uint16_t bitsPerPixel, DibImage* out,
               std::string* error);

}  // namespace zyn::desktop
