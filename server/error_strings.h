// The fixed English texts of the OPC status codes, as GetErrorString reports them to clients.
//
// The texts are the server's answer whatever locale a client asks for; the client side reuses
// the same table to show a code it received from a server.
#pragma once

#include <string_view>

#include "platform/com/hresult.h"

// Text given for every code that is not an OPC code of the table.
inline constexpr std::string_view kNonOpcErrorText = "Non OPC error";

// The text of an OPC code; kNonOpcErrorText for any other code.
std::string_view OpcErrorText(HRESULT code);
