#include "platform/com/enum.h"

namespace com {

ComPtr<IEnumString> MakeStringEnumerator(std::vector<std::string> items, ComPtr<IUnknown> owner) {
  return MakeVectorEnumerator<IEnumString, LPOLESTR, std::string, StringCopyPolicy>(
      std::move(items), std::move(owner));
}

ComPtr<IEnumUnknown> MakeUnknownEnumerator(std::vector<ComPtr<IUnknown>> items,
                                           ComPtr<IUnknown> owner) {
  return MakeVectorEnumerator<IEnumUnknown, IUnknown*, ComPtr<IUnknown>,
                              InterfaceCopyPolicy<IUnknown>>(std::move(items), std::move(owner));
}

ComPtr<IEnumGUID> MakeGuidEnumerator(std::vector<GUID> items, ComPtr<IUnknown> owner) {
  return MakeVectorEnumerator<IEnumGUID, GUID, GUID, TrivialCopyPolicy<GUID>>(std::move(items),
                                                                              std::move(owner));
}

}  // namespace com
