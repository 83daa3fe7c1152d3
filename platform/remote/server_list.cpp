#include "platform/remote/server_list.h"

#include "platform/com/taskmem.h"
#include "platform/remote/registration.h"

namespace zyn::remote {

ServerList::ServerList(std::vector<std::string> dirs) : dirs_(std::move(dirs)) {}

void ServerList::Load(com::ClassRegistry& registry) const {
  LoadClassFiles(registry, dirs_.empty() ? ReadClassFiles() : ReadClassFiles(dirs_));
}

HRESULT ServerList::EnumClassesOfCategories(ULONG cImplemented, CATID rgcatidImpl[],
                                            ULONG cRequired, CATID rgcatidReq[],
                                            IEnumGUID** ppenumClsid) {
  com::ClassRegistry registry;
  Load(registry);
  return registry.EnumClassesOfCategories(cImplemented, rgcatidImpl, cRequired, rgcatidReq,
                                          ppenumClsid);
}

HRESULT ServerList::GetClassDetails(REFCLSID clsid, LPOLESTR* ppszProgID, LPOLESTR* ppszUserType) {
  if (ppszProgID) *ppszProgID = nullptr;
  if (ppszUserType) *ppszUserType = nullptr;
  if (ppszProgID == nullptr || ppszUserType == nullptr) return E_POINTER;
  com::ClassRegistry registry;
  Load(registry);
  std::optional<com::ClassRegistration> found = registry.FindClass(clsid);
  if (!found) return REGDB_E_CLASSNOTREG;
  const std::string& progId =
      found->progId.empty() ? found->versionIndependentProgId : found->progId;
  com::TaskMem<char> prog(com::TaskStrDup(progId));
  com::TaskMem<char> type(com::TaskStrDup(found->description));
  if (!prog || !type) return E_OUTOFMEMORY;
  *ppszProgID = prog.release();
  *ppszUserType = type.release();
  return S_OK;
}

HRESULT ServerList::CLSIDFromProgID(LPCOLESTR szProgId, CLSID* clsid) {
  if (clsid == nullptr) return E_POINTER;
  com::ClassRegistry registry;
  Load(registry);
  return registry.CLSIDFromProgID(szProgId, clsid);
}

com::ComPtr<IClassFactory> MakeServerListFactory(std::vector<std::string> dirs) {
  auto factory = com::MakeObject<com::FunctionClassFactory>(
      [dirs = std::move(dirs)](REFIID riid, void** ppv) -> HRESULT {
        auto list = com::MakeObject<ServerList>(dirs);
        if (!list) return E_OUTOFMEMORY;
        return list->QueryInterface(riid, ppv);
      });
  return com::ComPtr<IClassFactory>(factory.Get());
}

}  // namespace zyn::remote
