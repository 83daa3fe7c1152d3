// GUID: the 128-bit identifier of interfaces (IID), classes (CLSID) and categories (CATID).
//
// Identifiers are written in code as their canonical text so that they can be compared with
// the published definitions at a glance; the text is parsed at compile time.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/com/hresult.h"
#include "platform/com/types.h"

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];

  friend constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
      if (a.Data4[i] != b.Data4[i]) return false;
    return true;
  }
  // Ordered as the 16 bytes are printed, so maps keyed by GUID list in text order.
  friend constexpr bool operator<(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1) return a.Data1 < b.Data1;
    if (a.Data2 != b.Data2) return a.Data2 < b.Data2;
    if (a.Data3 != b.Data3) return a.Data3 < b.Data3;
    for (int i = 0; i < 8; ++i)
      if (a.Data4[i] != b.Data4[i]) return a.Data4[i] < b.Data4[i];
    return false;
  }
};
static_assert(sizeof(GUID) == 16);

using IID = GUID;
using CLSID = GUID;
using CATID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using REFCATID = const CATID&;

inline constexpr GUID GUID_NULL{};
inline constexpr CLSID CLSID_NULL{};

namespace com {
namespace detail {

constexpr int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", with or without braces.
constexpr std::optional<GUID> ParseGuid(std::string_view text) {
  if (text.size() == 38) {
    if (text.front() != '{' || text.back() != '}') return std::nullopt;
    text = text.substr(1, 36);
  }
  if (text.size() != 36) return std::nullopt;
  std::uint64_t fields[5] = {};
  constexpr std::size_t kWidths[5] = {8, 4, 4, 4, 12};
  std::size_t pos = 0;
  for (int f = 0; f < 5; ++f) {
    if (f > 0) {
      if (text[pos] != '-') return std::nullopt;
      ++pos;
    }
    for (std::size_t i = 0; i < kWidths[f]; ++i, ++pos) {
      int d = HexDigit(text[pos]);
      if (d < 0) return std::nullopt;
      fields[f] = (fields[f] << 4) | static_cast<std::uint64_t>(d);
    }
  }
  GUID g{};
  g.Data1 = static_cast<DWORD>(fields[0]);
  g.Data2 = static_cast<WORD>(fields[1]);
  g.Data3 = static_cast<WORD>(fields[2]);
  g.Data4[0] = static_cast<BYTE>(fields[3] >> 8);
  g.Data4[1] = static_cast<BYTE>(fields[3]);
  for (int i = 0; i < 6; ++i)
    g.Data4[2 + i] = static_cast<BYTE>(fields[4] >> (8 * (5 - i)));
  return g;
}

}  // namespace detail

// Compile-time GUID from its text; a malformed literal fails to compile.
consteval GUID Guid(const char* text) {
  std::string_view view(text);
  auto g = detail::ParseGuid(view);
  if (!g) throw "malformed GUID literal";
  return *g;
}

// Run-time parsing; accepts the text with or without braces, any case.
std::optional<GUID> ParseGuid(std::string_view text);

// Canonical upper-case form with braces: "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}".
std::string GuidToString(const GUID& guid);

// A new random (version 4) GUID.
GUID NewGuid();

struct GuidHash {
  std::size_t operator()(const GUID& g) const noexcept;
};

}  // namespace com

// The classic entry points, for code written against them.
HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid);
HRESULT IIDFromString(LPCOLESTR text, IID* iid);
inline bool IsEqualGUID(REFGUID a, REFGUID b) {
  return a == b;
}
inline bool IsEqualIID(REFIID a, REFIID b) {
  return a == b;
}
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) {
  return a == b;
}

template <>
struct std::hash<GUID> : com::GuidHash {};
