#include "platform/remote/errors.h"

namespace zyn::remote {

HRESULT HrFromException(const kj::Exception& exception) {
  switch (exception.getType()) {
    case kj::Exception::Type::DISCONNECTED:
      return RPC_E_DISCONNECTED;
    case kj::Exception::Type::OVERLOADED:
      return E_OUTOFMEMORY;
    case kj::Exception::Type::UNIMPLEMENTED:
      return E_NOTIMPL;
    default:
      return RPC_E_SERVERFAULT;
  }
}

}  // namespace zyn::remote
