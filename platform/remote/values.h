// Conversions between the runtime's values and their wire form: GUIDs, FILETIMEs, texts and
// VARIANTs. Readers and builders are the I/O thread's; what Read* returns is owned memory the
// caller may hand to another thread.
#pragma once

#include <capnp/common.h>

#include <optional>
#include <string>

#include "platform/com/filetime.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/types.h"
#include "platform/com/variant.h"
#include "platform/remote/com.capnp.h"

namespace zyn::remote {

// GUIDs travel as their 16 bytes in the field order of the record, little-endian.
void WriteGuid(const GUID& guid, capnp::Data::Builder out);
capnp::Data::Reader GuidBytes(const GUID& guid, kj::ArrayPtr<kj::byte> scratch16);
// A malformed length gives GUID_NULL and false.
bool ReadGuid(capnp::Data::Reader data, GUID* out);

inline void WriteFileTime(const FILETIME& ft, wire::FileTime::Builder out) {
  out.setLow(ft.dwLowDateTime);
  out.setHigh(ft.dwHighDateTime);
}
inline FILETIME ReadFileTime(wire::FileTime::Reader in) {
  return FILETIME{in.getLow(), in.getHigh()};
}

// A Text field that may be unset (a null string) as an owned copy.
std::optional<std::string> ReadOptionalText(bool has, capnp::Text::Reader text);
inline const char* CStrOrNull(const std::optional<std::string>& s) {
  return s ? s->c_str() : nullptr;
}

// VARIANTs. Writing refuses types that cannot travel (interface pointers, references,
// decimals) with DISP_E_BADVARTYPE; reading builds a VARIANT the caller owns and clears, and
// refuses a malformed one the same way (the VARIANT is then VT_EMPTY).
HRESULT WriteVariant(const VARIANT& v, wire::Variant::Builder out);
HRESULT ReadVariant(wire::Variant::Reader in, VARIANT* out);

}  // namespace zyn::remote
