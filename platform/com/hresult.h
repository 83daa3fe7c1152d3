// HRESULT: the 32-bit status every operation across a component boundary returns.
//
// Bit 31 set means failure. Success codes other than S_OK (S_FALSE, OPC_S_*) carry "worked,
// but" information, so callers test with SUCCEEDED/FAILED rather than comparing with S_OK.
#pragma once

#include <string>

#include "platform/com/types.h"

using HRESULT = std::int32_t;

constexpr bool SUCCEEDED(HRESULT hr) {
  return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
  return hr < 0;
}
constexpr HRESULT MakeHResult(std::uint32_t bits) {
  return static_cast<HRESULT>(bits);
}

// Generic codes.
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeHResult(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = MakeHResult(0x80004002);
inline constexpr HRESULT E_POINTER = MakeHResult(0x80004003);
inline constexpr HRESULT E_ABORT = MakeHResult(0x80004004);
inline constexpr HRESULT E_FAIL = MakeHResult(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = MakeHResult(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = MakeHResult(0x80070005);
inline constexpr HRESULT E_HANDLE = MakeHResult(0x80070006);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHResult(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = MakeHResult(0x80070057);

// Class activation.
inline constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHResult(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHResult(0x80040111);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHResult(0x80040154);
inline constexpr HRESULT CO_E_CLASSSTRING = MakeHResult(0x800401F3);
inline constexpr HRESULT CO_E_RUNAS_LOGON_FAILURE = MakeHResult(0x8000401A);
inline constexpr HRESULT CO_E_SERVER_START_TIMEOUT = MakeHResult(0x8000401E);

// Connection points.
inline constexpr HRESULT CONNECT_E_NOCONNECTION = MakeHResult(0x80040200);
inline constexpr HRESULT CONNECT_E_ADVISELIMIT = MakeHResult(0x80040201);
inline constexpr HRESULT CONNECT_E_CANNOTCONNECT = MakeHResult(0x80040202);

// Automation.
inline constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHResult(0x80020005);
inline constexpr HRESULT DISP_E_OVERFLOW = MakeHResult(0x8002000A);
inline constexpr HRESULT DISP_E_BADVARTYPE = MakeHResult(0x80020008);
inline constexpr HRESULT DISP_E_BADINDEX = MakeHResult(0x8002000B);
inline constexpr HRESULT DISP_E_ARRAYISLOCKED = MakeHResult(0x8002000D);

// OPC Data Access.
inline constexpr HRESULT OPC_E_INVALIDHANDLE = MakeHResult(0xC0040001);
inline constexpr HRESULT OPC_E_BADTYPE = MakeHResult(0xC0040004);
inline constexpr HRESULT OPC_E_PUBLIC = MakeHResult(0xC0040005);
inline constexpr HRESULT OPC_E_BADRIGHTS = MakeHResult(0xC0040006);
inline constexpr HRESULT OPC_E_UNKNOWNITEMID = MakeHResult(0xC0040007);
inline constexpr HRESULT OPC_E_INVALIDITEMID = MakeHResult(0xC0040008);
inline constexpr HRESULT OPC_E_INVALIDFILTER = MakeHResult(0xC0040009);
inline constexpr HRESULT OPC_E_UNKNOWNPATH = MakeHResult(0xC004000A);
inline constexpr HRESULT OPC_E_RANGE = MakeHResult(0xC004000B);
inline constexpr HRESULT OPC_E_DUPLICATENAME = MakeHResult(0xC004000C);
inline constexpr HRESULT OPC_S_UNSUPPORTEDRATE = MakeHResult(0x0004000D);
inline constexpr HRESULT OPC_S_CLAMP = MakeHResult(0x0004000E);
inline constexpr HRESULT OPC_S_INUSE = MakeHResult(0x0004000F);
inline constexpr HRESULT OPC_E_INVALIDCONFIGFILE = MakeHResult(0xC0040010);
inline constexpr HRESULT OPC_E_NOTFOUND = MakeHResult(0xC0040011);
inline constexpr HRESULT OPC_E_INVALID_PID = MakeHResult(0xC0040203);

namespace com {

// "0x80004005" style text for logs and messages.
std::string HResultToHex(HRESULT hr);

}  // namespace com
