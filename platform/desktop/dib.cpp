#include "platform/desktop/dib.h"

#include <bit>

namespace zyn::desktop {

namespace {

// Reads one pixel value of `bytes` bytes in the image's byte order.
std::uint32_t ReadPixel(const std::uint8_t* p, int bytes, bool msbFirst) {
  std::uint32_t value = 0;
  if (msbFirst) {
    for (int i = 0; i < bytes; ++i)
      value = (value << 8) | p[i];
  } else {
    for (int i = bytes - 1; i >= 0; --i)
      value = (value << 8) | p[i];
  }
  return value;
}

// One colour channel of a direct-colour pixel, scaled to 0..255 whatever its width.
struct Channel {
  explicit Channel(std::uint32_t mask)
      : shift(mask ? std::countr_zero(mask) : 0), max(mask ? mask >> shift : 0) {}
  std::uint32_t Extract(std::uint32_t pixel, std::uint32_t mask) const {
    if (max == 0) return 0;
    std::uint32_t v = (pixel & mask) >> shift;
    return static_cast<std::uint32_t>((std::uint64_t{v} * 255 + max / 2) / max);
  }
  int shift;
  std::uint32_t max;
};

// Source span of one target pixel along one axis: [first, first + count).
struct Span {
  std::uint32_t first;
  std::uint32_t count;
};

std::vector<Span> Spans(std::uint32_t source, std::uint32_t target) {
  std::vector<Span> spans(target);
  for (std::uint32_t i = 0; i < target; ++i) {
    std::uint64_t begin = std::uint64_t{i} * source / target;
    std::uint64_t end = std::uint64_t{i + 1} * source / target;
    if (end > begin) {
      spans[i] = {static_cast<std::uint32_t>(begin), static_cast<std::uint32_t>(end - begin)};
    } else {
      // Enlarging: the source pixel under the target pixel's centre.
      std::uint64_t centre = (2 * std::uint64_t{i} + 1) * source / (2 * std::uint64_t{target});
      spans[i] = {static_cast<std::uint32_t>(centre), 1};
    }
  }
  return spans;
}

}  // namespace

std::size_t SourceRowBytes(std::uint32_t width, const PixelLayout& layout) {
  const std::uint64_t pad = layout.scanlinePad > 0 ? layout.scanlinePad : 8;
  const std::uint64_t bits = std::uint64_t{width} * layout.bitsPerPixel;
  return static_cast<std::size_t>((bits + pad - 1) / pad * (pad / 8));
}

bool DecodePixels(const std::uint8_t* data, std::size_t size, std::uint32_t width,
                  std::uint32_t height, const PixelLayout& layout, RgbImage* out,
                  std::string* error) {
  const int bpp = layout.bitsPerPixel;
  if (bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) {
    *error = "unsupported pixel size of " + std::to_string(bpp) + " bits";
    return false;
  }
  if (layout.scanlinePad % 8 != 0 || layout.scanlinePad <= 0) {
    *error = "unsupported row padding";
    return false;
  }
  const std::size_t stride = SourceRowBytes(width, layout);
  if (height > 0 && (size / height < stride || stride * height > size)) {
    *error = "the image data is shorter than its rows";
    return false;
  }
  const int bytes = bpp / 8;
  const Channel red(layout.redMask), green(layout.greenMask), blue(layout.blueMask);
  out->width = width;
  out->height = height;
  out->pixels.assign(std::size_t{width} * height, 0);
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::uint8_t* row = data + std::size_t{y} * stride;
    std::uint32_t* target = out->pixels.data() + std::size_t{y} * width;
    for (std::uint32_t x = 0; x < width; ++x) {
      std::uint32_t pixel = ReadPixel(row + std::size_t{x} * bytes, bytes, layout.msbFirst);
      if (!layout.palette.empty()) {
        target[x] = pixel < layout.palette.size() ? layout.palette[pixel] & 0xFFFFFF : 0;
      } else {
        target[x] = red.Extract(pixel, layout.redMask) << 16 |
                    green.Extract(pixel, layout.greenMask) << 8 |
                    blue.Extract(pixel, layout.blueMask);
      }
    }
  }
  return true;
}

RgbImage Stretch(const RgbImage& source, std::uint32_t width, std::uint32_t height) {
  if (source.width == width && source.height == height) return source;
  RgbImage out;
  out.width = width;
  out.height = height;
  out.pixels.assign(std::size_t{width} * height, 0);
  if (source.width == 0 || source.height == 0) return out;
  const std::vector<Span> columns = Spans(source.width, width);
  const std::vector<Span> rows = Spans(source.height, height);
  for (std::uint32_t y = 0; y < height; ++y) {
    const Span rs = rows[y];
    for (std::uint32_t x = 0; x < width; ++x) {
      const Span cs = columns[x];
      std::uint64_t r = 0, g = 0, b = 0;
      for (std::uint32_t sy = rs.first; sy < rs.first + rs.count; ++sy) {
        const std::uint32_t* line = source.pixels.data() + std::size_t{sy} * source.width;
        for (std::uint32_t sx = cs.first; sx < cs.first + cs.count; ++sx) {
          r += line[sx] >> 16 & 0xFF;
          g += line[sx] >> 8 & 0xFF;
          b += line[sx] & 0xFF;
        }
      }
      const std::uint64_t n = std::uint64_t{rs.count} * cs.count;
      out.pixels[std::size_t{y} * width + x] = static_cast<std::uint32_t>(
          (r + n / 2) / n << 16 | (g + n / 2) / n << 8 | (b + n / 2) / n);
    }
  }
  return out;
}

std::uint16_t DibBitsForDisplay(int displayBitsPerPixel) {
  if (displayBitsPerPixel == 16 || displayBitsPerPixel == 24) return displayBitsPerPixel;
  return 32;
}

bool EncodeDib(const RgbImage& image, std::uint16_t bitsPerPixel, DibImage* out,
               std::string* error) {
  if (bitsPerPixel != 16 && bitsPerPixel != 24 && bitsPerPixel != 32) {
    *error = "unsupported bitmap depth of " + std::to_string(bitsPerPixel) + " bits";
    return false;
  }
  const std::size_t rowBytes = DibRowBytes(image.width, bitsPerPixel);
  out->width = image.width;
  out->height = image.height;
  out->bitsPerPixel = bitsPerPixel;
  out->bits.assign(rowBytes * image.height, 0);
  for (std::uint32_t y = 0; y < image.height; ++y) {
    // Bottom-up: the picture's top row is the bitmap's last.
    std::uint8_t* row = out->bits.data() + std::size_t{image.height - 1 - y} * rowBytes;
    const std::uint32_t* source = image.pixels.data() + std::size_t{y} * image.width;
    for (std::uint32_t x = 0; x < image.width; ++x) {
      const std::uint32_t rgb = source[x];
      const std::uint8_t r = rgb >> 16 & 0xFF, g = rgb >> 8 & 0xFF, b = rgb & 0xFF;
      if (bitsPerPixel == 16) {
        const std::uint16_t v = static_cast<std::uint16_t>((r >> 3) << 10 | (g >> 3) << 5 | b >> 3);
        row[2 * x] = v & 0xFF;
        row[2 * x + 1] = v >> 8;
      } else {
        std::uint8_t* p = row + std::size_t{x} * (bitsPerPixel / 8);
        p[0] = b;
        p[1] = g;
        p[2] = r;
        if (bitsPerPixel == 32) p[3] = 0;
      }
    }
  }
  return true;
}

}  // namespace zyn::desktop
