// The server-browser class every endpoint offers: IOPCServerList over the classes registered
// on its machine (registration.h), read afresh on every call so that a program registered
// while the endpoint runs is listed at once.
#pragma once

#include <string>
#include <vector>

#include "interfaces/opc_common.h"
#include "platform/com/classreg.h"
#include "platform/com/object.h"

namespace zyn::remote {

class ServerList final : public com::ComObject<IOPCServerList> {
 public:
  // dirs: the registration folders; empty means the machine's default folders.
  explicit ServerList(std::vector<std::string> dirs = {});

  HRESULT EnumClassesOfCategories(ULONG cImplemented, CATID rgcatidImpl[], ULONG cRequired,
                                  CATID rgcatidReq[], IEnumGUID** ppenumClsid) override;
  HRESULT GetClassDetails(REFCLSID clsid, LPOLESTR* ppszProgID, LPOLESTR* ppszUserType) override;
  HRESULT CLSIDFromProgID(LPCOLESTR szProgId, CLSID* clsid) override;

 private:
  void Load(com::ClassRegistry& registry) const;

  std::vector<std::string> dirs_;
};

// The class factory of ServerList, for an endpoint to register under CLSID_OPCServerList.
com::ComPtr<IClassFactory> MakeServerListFactory(std::vector<std::string> dirs = {});

}  // namespace zyn::remote
