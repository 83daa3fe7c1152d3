// Identifiers of the system's own classes. Clients find the server by its ProgID; the class
// identifier, AppID and type-library identifier are what registration writes under that name.
#pragma once

#include "platform/com/guid.h"

// ZYNServer's server class: the object a client activates, offering the OPC interfaces and
// IZYNMessenger.
inline constexpr CLSID CLSID_ZYNServer = com::Guid("7C52E373-38F3-4579-951A-84ECCD6340B3");
// The server program's AppID (activation and launch settings).
inline constexpr GUID APPID_ZYNServer = com::Guid("86BC93EE-4ABC-4E4F-8CFA-CBB461B0607B");
// The server's type library, which describes the interfaces its objects can be called through.
inline constexpr GUID LIBID_HUVSERVERLib = com::Guid("4657CD9A-7DCC-4920-8F38-7A4EE64636DF");

namespace zyn {

inline constexpr char kServerProgId[] = "ZYNServer.OPCServer.1";
inline constexpr char kServerVersionIndependentProgId[] = "ZYNServer.OPCServer";
inline constexpr char kServerAppIdName[] = "ZYNServer";
// The class's user-visible name, also what the manager shows for the server's ProgID.
inline constexpr char kServerClassName[] = "ZYN Server";

}  // namespace zyn
