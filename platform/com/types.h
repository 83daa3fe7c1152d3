// Basic scalar types of the component runtime.
//
// The system's interfaces are written with the classic component-model type names (DWORD,
// BOOL, LPWSTR, ...). Keeping those names lets the interface signatures read exactly as the
// published interface definitions do, while the widths are fixed with <cstdint> so the layout
// is the same on every Linux target.
//
// Text is UTF-8 everywhere: LPWSTR/LPCWSTR are `char*`/`const char*` holding UTF-8, not UTF-16.
#pragma once

#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using ULONG = std::uint32_t;
using USHORT = std::uint16_t;
using CHAR = char;
using SHORT = std::int16_t;
using LONG = std::int32_t;
using INT = std::int32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using FLOAT = float;
using DOUBLE = double;
using BOOL = std::int32_t;
using LCID = DWORD;
using LANGID = WORD;
using VARTYPE = std::uint16_t;
using SCODE = std::int32_t;

// Text types: UTF-8 inside (the names are kept so signatures match the standard ones).
using OLECHAR = char;
using LPWSTR = char*;
using LPCWSTR = const char*;
using LPOLESTR = char*;
using LPCOLESTR = const char*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// VARIANT_BOOL: -1 is true, 0 is false.
using VARIANT_BOOL = std::int16_t;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// Locale identifiers used by the system.
inline constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
inline constexpr WORD LANG_ENGLISH = 0x09;
inline constexpr WORD LANG_GERMAN = 0x07;
constexpr WORD PRIMARYLANGID(LANGID lang) {
  return static_cast<WORD>(lang & 0x3ff);
}
constexpr WORD SUBLANGID(LANGID lang) {
  return static_cast<WORD>(lang >> 10);
}
constexpr LANGID MAKELANGID(WORD primary, WORD sub) {
  return static_cast<LANGID>((sub << 10) | primary);
}
constexpr LCID MAKELCID(LANGID lang, WORD sort) {
  return (DWORD{sort} << 16) | lang;
}
constexpr LANGID LANGIDFROMLCID(LCID lcid) {
  return static_cast<LANGID>(lcid & 0xffff);
}
