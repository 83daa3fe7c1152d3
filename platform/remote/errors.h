// The results the transport itself gives, and how a failed remote call becomes one.
#pragma once

#include <kj/exception.h>

#include "platform/com/hresult.h"

namespace zyn::remote {

// The connection to the object's process is gone.
inline constexpr HRESULT RPC_E_DISCONNECTED = MakeHResult(0x80010108);
// The call failed inside the transport or the other side answered with something malformed.
inline constexpr HRESULT RPC_E_SERVERFAULT = MakeHResult(0x80010105);
// The machine could not be reached.
inline constexpr HRESULT RPC_S_SERVER_UNAVAILABLE = MakeHResult(0x800706BA);

HRESULT HrFromException(const kj::Exception& exception);

}  // namespace zyn::remote
