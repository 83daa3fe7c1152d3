#include "platform/com/bstr.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace {

// A BSTR's block: a 32-bit byte count, the bytes, a NUL. The BSTR points just past the count.
constexpr std::size_t kPrefix = sizeof(std::uint32_t);

BSTR Allocate(const char* bytes, UINT len) noexcept {
  auto* block = static_cast<char*>(std::malloc(kPrefix + std::size_t{len} + 1));
  if (block == nullptr) return nullptr;
  const std::uint32_t count = len;
  std::memcpy(block, &count, kPrefix);
  char* text = block + kPrefix;
  if (bytes != nullptr) {
    std::memcpy(text, bytes, len);
  } else {
    std::memset(text, 0, len);
  }
  text[len] = '\0';
  return text;
}

}  // namespace

BSTR SysAllocString(const OLECHAR* text) noexcept {
  if (text == nullptr) return nullptr;
  const std::size_t len = std::strlen(text);
  if (len > std::numeric_limits<UINT>::max()) return nullptr;
  return Allocate(text, static_cast<UINT>(len));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT len) noexcept {
  return Allocate(text, len);
}

BSTR SysAllocStringByteLen(const char* bytes, UINT len) noexcept {
  return Allocate(bytes, len);
}

void SysFreeString(BSTR bstr) noexcept {
  if (bstr != nullptr) std::free(bstr - kPrefix);
}

UINT SysStringLen(BSTR bstr) noexcept {
  if (bstr == nullptr) return 0;
  std::uint32_t count;
  std::memcpy(&count, bstr - kPrefix, kPrefix);
  return count;
}

UINT SysStringByteLen(BSTR bstr) noexcept {
  return SysStringLen(bstr);
}

INT SysReAllocString(BSTR* pbstr, const OLECHAR* text) noexcept {
  if (pbstr == nullptr) return FALSE;
  // The new text is made before the old one is freed: text may point into *pbstr.
  BSTR fresh = nullptr;
  if (text != nullptr) {
    fresh = SysAllocString(text);
    if (fresh == nullptr) return FALSE;
  }
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

namespace com {

Bstr::Bstr(std::string_view text) {
  if (text.size() > std::numeric_limits<UINT>::max())
    throw std::length_error("text too long for a BSTR");
  s_ = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (s_ == nullptr) throw std::bad_alloc();
}

Bstr::Bstr(const Bstr& other) {
  if (other.s_ == nullptr) return;
  s_ = SysAllocStringLen(other.s_, other.length());
  if (s_ == nullptr) throw std::bad_alloc();
}

BSTR* Bstr::put() noexcept {
  SysFreeString(std::exchange(s_, nullptr));
  return &s_;
}

void Bstr::attach(BSTR s) noexcept {
  if (s == s_) return;
  SysFreeString(std::exchange(s_, s));
}

}  // namespace com
