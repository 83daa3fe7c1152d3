// Small helpers for UTF-8 text: counting characters and cutting without splitting one.
#pragma once

#include <cstddef>
#include <string_view>

// True for the bytes that continue a multi-byte character (10xxxxxx).
constexpr bool IsUtf8Continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Number of characters (code points) in `text`.
constexpr std::size_t Utf8Length(std::string_view text) {
  std::size_t n = 0;
  for (char c : text) {
    if (!IsUtf8Continuation(c)) ++n;
  }
  return n;
}

// The longest prefix of `text` of at most `maxBytes` bytes that ends on a character boundary.
constexpr std::string_view Utf8Prefix(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  std::size_t end = maxBytes;
  while (end > 0 && IsUtf8Continuation(text[end]))
    --end;
  return text.substr(0, end);
}
