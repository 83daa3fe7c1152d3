// BSTR: a length-prefixed text owned by the component runtime.
//
// As in the classic runtime, a BSTR points at the first character, with a 32-bit length just
// before it and a NUL after it, so it can be passed where a plain C text is expected. Unlike
// the classic runtime the characters are UTF-8 and the length counts bytes. A null BSTR is
// the empty text.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/com/types.h"

using BSTR = char*;

BSTR SysAllocString(const OLECHAR* text) noexcept;
BSTR SysAllocStringLen(const OLECHAR* text, UINT len) noexcept;  // text may be null: zeroed
BSTR SysAllocStringByteLen(const char* bytes, UINT len) noexcept;
void SysFreeString(BSTR bstr) noexcept;
UINT SysStringLen(BSTR bstr) noexcept;      // bytes, not counting the NUL
UINT SysStringByteLen(BSTR bstr) noexcept;  // the same, for byte strings
// Replaces *pbstr with a new copy of text (the old one is freed). FALSE when memory runs out.
INT SysReAllocString(BSTR* pbstr, const OLECHAR* text) noexcept;

namespace com {

// Owns one BSTR.
class Bstr {
 public:
  Bstr() noexcept = default;
  explicit Bstr(std::string_view text);
  Bstr(const Bstr& other);
  Bstr(Bstr&& other) noexcept : s_(std::exchange(other.s_, nullptr)) {}
  Bstr& operator=(Bstr other) noexcept {
    std::swap(s_, other.s_);
    return *this;
  }
  ~Bstr() { SysFreeString(s_); }

  BSTR get() const noexcept { return s_; }
  BSTR* put() noexcept;  // frees the held text and returns the slot
  [[nodiscard]] BSTR release() noexcept { return std::exchange(s_, nullptr); }
  void attach(BSTR s) noexcept;
  std::string_view view() const noexcept {
    return s_ ? std::string_view(s_, SysStringLen(s_)) : std::string_view();
  }
  std::string str() const { return std::string(view()); }
  UINT length() const noexcept { return SysStringLen(s_); }

 private:
  BSTR s_ = nullptr;
};

// The view of a BSTR that may be null.
inline std::string_view BstrView(BSTR s) noexcept {
  return s ? std::string_view(s, SysStringLen(s)) : std::string_view();
}

}  // namespace com
