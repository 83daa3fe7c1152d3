#include "tools/zynwatch/error_text.h"

#include <cstdio>

#include "platform/remote/errors.h"
#include "server/error_strings.h"

namespace {

// The messages of the generic codes the system's calls return, worded as administrators know
// them from other tools.
const char* SystemMessage(HRESULT hr) {
  switch (hr) {
    case E_FAIL:
      return "Unspecified error";
    case E_POINTER:
      return "Invalid pointer";
    case E_INVALIDARG:
      return "The parameter is incorrect.";
    case E_NOTIMPL:
      return "Not implemented";
    case E_OUTOFMEMORY:
      return "Not enough memory resources are available to complete this operation.";
    case E_NOINTERFACE:
      return "No such interface supported";
    case E_ACCESSDENIED:
      return "Access is denied.";
    case REGDB_E_CLASSNOTREG:
      return "Class not registered";
    case CO_E_SERVER_START_TIMEOUT:
      return "The server did not respond in time.";
    case CONNECT_E_NOCONNECTION:
      return "The connection does not exist.";
    case CONNECT_E_ADVISELIMIT:
      return "The connection limit has been reached.";
    case CONNECT_E_CANNOTCONNECT:
      return "The connection cannot be made.";
    case DISP_E_TYPEMISMATCH:
      return "Type mismatch.";
    case E_UNEXPECTED:
      return "Catastrophic failure";
    case zyn::remote::RPC_S_SERVER_UNAVAILABLE:
      return "The RPC server is unavailable.";
    case zyn::remote::RPC_E_DISCONNECTED:
      return "The object invoked has disconnected from its clients.";
    case zyn::remote::RPC_E_SERVERFAULT:
      return "The server threw an exception.";
    default:
      return nullptr;
  }
}

}  // namespace

std::string ErrorText(HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%x", static_cast<unsigned>(hr));
  std::string_view opc = OpcErrorText(hr);
  // Built by appending: GCC 12 warns (-Wrestrict, wrongly) about operator+ on these at -O2.
  std::string text;
  if (opc != kNonOpcErrorText) {
    text.append(opc).append("\nError code: ").append(code);
  } else if (const char* message = SystemMessage(hr)) {
    text = message;
  } else {
    text.append("Error ").append(code);
  }
  return text;
}
