// The list of proxy and stub families. Each family registers the facets of its interfaces
// (proxy side) and the handlers of their Cap'n Proto interfaces (stub side).
#include <mutex>

#include "platform/remote/families.h"
#include "platform/remote/stub.h"

namespace zyn::remote {

void RegisterMarshalling() {
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterEnumFamily();
    RegisterConnectionPointFamily();
    RegisterOpcCommonFamily();
    RegisterOpcServerFamily();
    RegisterOpcGroupFamily();
    RegisterDataCallbackFamily();
    RegisterMessengerFamily();
    RegisterItemInfoFamily();
    RegisterItemPropertiesFamily();
  });
}

}  // namespace zyn::remote
