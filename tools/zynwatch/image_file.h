// Screen shots as image files: the device-independent bitmap the messenger hands out (a header
// record and the pixel rows) written as a BMP file, byte for byte, or converted to PNG.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "interfaces/messenger.h"

// Whether a header and a pixel buffer make a picture this code can write: uncompressed, 16,
// 24 or 32 bits per pixel (the record has no room for a colour table), a positive size, and
// at least the bytes the header promises. *error says what is wrong.
bool CheckDib(const tagZYNMBITMAPINFOHEADER& header, std::span<const std::uint8_t> bits,
              std::string* error);

// A BMP file: the 14-byte file header, the 40-byte info header and the pixel rows.
bool EncodeBmp(const tagZYNMBITMAPINFOHEADER& header, std::span<const std::uint8_t> bits,
               std::vector<std::uint8_t>* file, std::string* error);

// A PNG file of 8-bit RGB, rows top-down.
bool EncodePng(const tagZYNMBITMAPINFOHEADER& header, std::span<const std::uint8_t> bits,
               std::vector<std::uint8_t>* file, std::string* error);

// Writes the picture to `path` as PNG when its name ends in ".png", as BMP when it ends in
// ".bmp" (either case).
bool WriteImageFile(const std::string& path, const tagZYNMBITMAPINFOHEADER& header,
                    std::span<const std::uint8_t> bits, std::string* error);

// Whether `path` names a file WriteImageFile can write.
bool IsImageFileName(const std::string& path);
