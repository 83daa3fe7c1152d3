#include "platform/com/guid.h"

#include <cstdio>
#include <random>

namespace com {

std::optional<GUID> ParseGuid(std::string_view text) {
  return detail::ParseGuid(text);
}

std::string GuidToString(const GUID& g) {
  char buf[39];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

GUID NewGuid() {
  thread_local std::mt19937_64 engine{std::random_device{}()};
  std::uint64_t hi = engine(), lo = engine();
  GUID g{};
  g.Data1 = static_cast<DWORD>(hi >> 32);
  g.Data2 = static_cast<WORD>(hi >> 16);
  g.Data3 = static_cast<WORD>((hi & 0x0fff) | 0x4000);  // version 4
  for (int i = 0; i < 8; ++i)
    g.Data4[i] = static_cast<BYTE>(lo >> (8 * (7 - i)));
  g.Data4[0] = static_cast<BYTE>((g.Data4[0] & 0x3f) | 0x80);  // RFC 4122 variant
  return g;
}

std::size_t GuidHash::operator()(const GUID& g) const noexcept {
  std::uint64_t h = (std::uint64_t{g.Data1} << 32) ^ (std::uint64_t{g.Data2} << 16) ^ g.Data3;
  for (BYTE b : g.Data4)
    h = h * 1099511628211ull ^ b;
  return static_cast<std::size_t>(h);
}

}  // namespace com

HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid) {
  if (clsid == nullptr) return E_INVALIDARG;
  if (text == nullptr) return CO_E_CLASSSTRING;
  auto g = com::ParseGuid(text);
  if (!g) return CO_E_CLASSSTRING;
  *clsid = *g;
  return S_OK;
}

HRESULT IIDFromString(LPCOLESTR text, IID* iid) {
  if (iid == nullptr) return E_INVALIDARG;
  if (text == nullptr) return E_INVALIDARG;
  auto g = com::ParseGuid(text);
  if (!g) return E_INVALIDARG;
  *iid = *g;
  return S_OK;
}
