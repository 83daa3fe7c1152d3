#include "tools/zynwatch/image_file.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr std::size_t kFileHeaderBytes = 14;
constexpr std::size_t kInfoHeaderBytes = 40;

void Put16(std::vector<std::uint8_t>* out, std::uint16_t v) {
  out->push_back(static_cast<std::uint8_t>(v));
  out->push_back(static_cast<std::uint8_t>(v >> 8));
}

void Put32(std::vector<std::uint8_t>* out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8)
    out->push_back(static_cast<std::uint8_t>(v >> shift));
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::uint32_t Rows(const tagZYNMBITMAPINFOHEADER& h) {
  return static_cast<std::uint32_t>(h.biHeight < 0 ? -static_cast<std::int64_t>(h.biHeight)
                                                   : h.biHeight);
}

// 5 bits of a 16-bit pixel spread over 8.
std::uint8_t Expand5(unsigned v) {
  return static_cast<std::uint8_t>((v << 3) | (v >> 2));
}

}  // namespace

bool CheckDib(const tagZYNMBITMAPINFOHEADER& h, std::span<const std::uint8_t> bits,
              std::string* error) {
  auto fail = [&](const char* why) {
    *error = why;
    return false;
  };
  if (h.biSize != kInfoHeaderBytes) return fail("the picture's header has an unknown size");
  if (h.biCompression != 0) return fail("the picture is compressed");
  if (h.biPlanes != 1) return fail("the picture has more than one plane");
  if (h.biBitCount != 16 && h.biBitCount != 24 && h.biBitCount != 32)
    return fail("the picture has a colour depth this program cannot write");
  if (h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == INT32_MIN)
    return fail("the picture has no pixels");
  const ULONGLONG image = zyn::DibImageBytes(h);
  if (image > 0xFFFFFFFFull - kFileHeaderBytes - kInfoHeaderBytes)
    return fail("the picture is too large for a bitmap file");
  if (bits.size() < image) return fail("the picture has fewer pixel bytes than its header says");
  return true;
}

bool EncodeBmp(const tagZYNMBITMAPINFOHEADER& h, std::span<const std::uint8_t> bits,
               std::vector<std::uint8_t>* file, std::string* error) {
  if (!CheckDib(h, bits, error)) return false;
  const auto image = static_cast<std::uint32_t>(zyn::DibImageBytes(h));
  const std::uint32_t offset = kFileHeaderBytes + kInfoHeaderBytes;
  file->clear();
  file->reserve(offset + image);
  file->push_back('B');
  file->push_back('M');
  Put32(file, offset + image);
  Put16(file, 0);
  Put16(file, 0);
  Put32(file, offset);
  // The info header as received, with the image size filled in and no colour table.
  Put32(file, kInfoHeaderBytes);
  Put32(file, static_cast<std::uint32_t>(h.biWidth));
  Put32(file, static_cast<std::uint32_t>(h.biHeight));
  Put16(file, 1);
  Put16(file, h.biBitCount);
  Put32(file, 0);
  Put32(file, image);
  Put32(file, static_cast<std::uint32_t>(h.biXPelsPerMeter));
  Put32(file, static_cast<std::uint32_t>(h.biYPelsPerMeter));
  Put32(file, 0);
  Put32(file, 0);
  file->insert(file->end(), bits.begin(), bits.begin() + image);
  return true;
}

bool EncodePng(const tagZYNMBITMAPINFOHEADER& h, std::span<const std::uint8_t> bits,
               std::vector<std::uint8_t>* file, std::string* error) {
  if (!CheckDib(h, bits, error)) return false;
  const std::uint32_t width = static_cast<std::uint32_t>(h.biWidth);
  const std::uint32_t height = Rows(h);
  const std::size_t stride = zyn::DibRowBytes(width, h.biBitCount);
  // Tight RGB rows, top-down; a DIB with a positive height lists its bottom row first.
  std::vector<std::uint8_t> rgb(std::size_t{width} * height * 3);
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::uint32_t source = h.biHeight > 0 ? height - 1 - y : y;
    const std::uint8_t* in = bits.data() + std::size_t{source} * stride;
    std::uint8_t* out = rgb.data() + std::size_t{y} * width * 3;
    for (std::uint32_t x = 0; x < width; ++x, out += 3) {
      if (h.biBitCount == 16) {  // X1R5G5B5
        const unsigned v = in[2 * x] | (in[2 * x + 1] << 8);
        out[0] = Expand5((v >> 10) & 31);
        out[1] = Expand5((v >> 5) & 31);
        out[2] = Expand5(v & 31);
      } else {  // blue, green, red (and an unused byte at 32 bits)
        const std::uint8_t* p = in + std::size_t{x} * (h.biBitCount / 8);
        out[0] = p[2];
        out[1] = p[1];
        out[2] = p[0];
      }
    }
  }
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = PNG_FORMAT_RGB;
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&image, nullptr, &size, 0, rgb.data(), 0, nullptr)) {
    *error = std::string("cannot encode PNG: ") + image.message;
    png_image_free(&image);
    return false;
  }
  file->resize(size);
  if (!png_image_write_to_memory(&image, file->data(), &size, 0, rgb.data(), 0, nullptr)) {
    *error = std::string("cannot encode PNG: ") + image.message;
    png_image_free(&image);
    return false;
  }
  file->resize(size);
  png_image_free(&image);
  return true;
}

bool IsImageFileName(const std::string& path) {
  const std::string lower = Lower(path);
  return EndsWith(lower, ".png") || EndsWith(lower, ".bmp");
}

bool WriteImageFile(const std::string& path, const tagZYNMBITMAPINFOHEADER& header,
                    std::span<const std::uint8_t> bits, std::string* error) {
  std::vector<std::uint8_t> file;
  const std::string lower = Lower(path);
  bool encoded = false;
  if (EndsWith(lower, ".png")) {
    encoded = EncodePng(header, bits, &file, error);
  } else if (EndsWith(lower, ".bmp")) {
    encoded = EncodeBmp(header, bits, &file, error);
  } else {
    *error = "the file name must end in .bmp or .png";
  }
  if (!encoded) return false;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(path.c_str(), "wb"), &std::fclose);
  if (!out) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(file.data(), 1, file.size(), out.get()) == file.size() &&
                       std::fflush(out.get()) == 0;
  const int savedErrno = errno;
  if (std::fclose(out.release()) != 0 || !written) {
    *error = path + ": " + std::strerror(written ? errno : savedErrno);
    std::remove(path.c_str());
    return false;
  }
  return true;
}
