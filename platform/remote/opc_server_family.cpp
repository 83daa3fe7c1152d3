// Proxies and stubs of IOPCServer and IOPCBrowseServerAddressSpace.
#include "interfaces/opc_da.h"
#include "platform/com/enum.h"
#include "platform/remote/families.h"
#include "platform/remote/family_util.h"
#include "platform/remote/opc.capnp.h"

namespace zyn::remote {
namespace {

using WServer = wire::OpcServer;
using WBrowse = wire::OpcBrowseServerAddressSpace;

// Proxy side: the object a call returned, as a proxy for riid, in *ppUnk.
template <class R>
HRESULT TakeObject(R& r, REFIID riid, IUnknown** ppUnk) {
  HRESULT hr = r.getHr();
  if (FAILED(hr) || ppUnk == nullptr || !r.hasObject()) return hr;
  HRESULT imported = Import(r.getObject(), riid, reinterpret_cast<void**>(ppUnk));
  return FAILED(imported) ? imported : hr;
}

class ServerProxy final : public Facet<IOPCServer> {
 public:
  using Facet::Facet;

  HRESULT AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                   OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID,
                   OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate, REFIID riid,
                   IUnknown** ppUnk) override {
    if (ppUnk) *ppUnk = nullptr;
    return Invoke<WServer>([&](WServer::Client c) {
      auto q = c.addGroupRequest();
      if (szName) q.setName(szName);
      q.setActive(bActive);
      q.setRequestedUpdateRate(dwRequestedUpdateRate);
      q.setClientGroup(hClientGroup);
      q.setHasTimeBias(pTimeBias != nullptr);
      if (pTimeBias) q.setTimeBias(*pTimeBias);
      q.setHasPercentDeadband(pPercentDeadband != nullptr);
      if (pPercentDeadband) q.setPercentDeadband(*pPercentDeadband);
      q.setLcid(dwLCID);
      q.setWantServerGroup(phServerGroup != nullptr);
      q.setWantRevisedUpdateRate(pRevisedUpdateRate != nullptr);
      WriteGuid(riid, q.initIid(16));
      q.setWantObject(ppUnk != nullptr);
      return q.send().then([&](auto r) {
        if (phServerGroup) *phServerGroup = r.getServerGroup();
        if (pRevisedUpdateRate) *pRevisedUpdateRate = r.getRevisedUpdateRate();
        return TakeObject(r, riid, ppUnk);
      });
    });
  }

  HRESULT GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override {
    if (ppString) *ppString = nullptr;
    return Invoke<WServer>([&](WServer::Client c) {
      auto q = c.getErrorStringRequest();
      q.setError(dwError);
      q.setLocale(dwLocale);
      q.setWantString(ppString != nullptr);
      return q.send().then([&](auto r) -> HRESULT {
        if (ppString && SUCCEEDED(r.getHr())) {
          HRESULT copied = TaskStringFromText(r.hasString(), r.getString(), ppString);
          if (FAILED(copied)) return copied;
        }
        return r.getHr();
      });
    });
  }

  HRESULT GetGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) override {
    if (ppUnk) *ppUnk = nullptr;
    return Invoke<WServer>([&](WServer::Client c) {
      auto q = c.getGroupByNameRequest();
      if (szName) q.setName(szName);
      WriteGuid(riid, q.initIid(16));
      q.setWantObject(ppUnk != nullptr);
      return q.send().then([&](auto r) { return TakeObject(r, riid, ppUnk); });
    });
  }

  HRESULT GetStatus(OPCSERVERSTATUS** ppServerStatus) override {
    if (ppServerStatus) *ppServerStatus = nullptr;
    return Invoke<WServer>([&](WServer::Client c) {
      auto q = c.getStatusRequest();
      q.setWantStatus(ppServerStatus != nullptr);
      return q.send().then([&](auto r) -> HRESULT {
        HRESULT hr = r.getHr();
        if (FAILED(hr) || !ppServerStatus || !r.hasStatus()) return hr;
        auto s = r.getStatus();
        auto status = com::TaskAllocArray<OPCSERVERSTATUS>(1);
        if (!status) return E_OUTOFMEMORY;
        OPCSERVERSTATUS& o = status[0];
        o.ftStartTime = ReadFileTime(s.getStartTime());
        o.ftCurrentTime = ReadFileTime(s.getCurrentTime());
        o.ftLastUpdateTime = ReadFileTime(s.getLastUpdateTime());
        o.dwServerState = static_cast<OPCSERVERSTATE>(s.getServerState());
        o.dwGroupCount = s.getGroupCount();
        o.dwBandWidth = s.getBandWidth();
        o.wMajorVersion = s.getMajorVersion();
        o.wMinorVersion = s.getMinorVersion();
        o.wBuildNumber = s.getBuildNumber();
        o.wReserved = s.getReserved();
        if (FAILED(TaskStringFromText(s.hasVendorInfo(), s.getVendorInfo(), &o.szVendorInfo)))
          return E_OUTOFMEMORY;
        *ppServerStatus = status.release();
        return hr;
      });
    });
  }

  HRESULT RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override {
    return Invoke<WServer>([&](WServer::Client c) {
      auto q = c.removeGroupRequest();
      q.setServerGroup(hServerGroup);
      q.setForce(bForce);
      return q.send().then([](auto r) { return HRESULT{r.getHr()}; });
    });
  }

  HRESULT CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, IUnknown** ppUnk) override {
    if (ppUnk) *ppUnk = nullptr;
    return Invoke<WServer>([&](WServer::Client c) {
      auto q = c.createGroupEnumeratorRequest();
      q.setScope(dwScope);
      WriteGuid(riid, q.initIid(16));
      q.setWantObject(ppUnk != nullptr);
      return q.send().then([&](auto r) { return TakeObject(r, riid, ppUnk); });
    });
  }
};

class BrowseProxy final : public Facet<IOPCBrowseServerAddressSpace> {
 public:
  using Facet::Facet;

  HRESULT QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override {
    return Invoke<WBrowse>([&](WBrowse::Client c) {
      auto q = c.queryOrganizationRequest();
      q.setWantType(pNameSpaceType != nullptr);
      return q.send().then([&](auto r) {
        if (pNameSpaceType) *pNameSpaceType = static_cast<OPCNAMESPACETYPE>(r.getType());
        return HRESULT{r.getHr()};
      });
    });
  }

  HRESULT ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override {
    return Invoke<WBrowse>([&](WBrowse::Client c) {
      auto q = c.changeBrowsePositionRequest();
      q.setDirection(dwBrowseDirection);
      if (szString) q.setString(szString);
      return q.send().then([](auto r) { return HRESULT{r.getHr()}; });
    });
  }

  HRESULT BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                           VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                           IEnumString** ppIEnumString) override {
    if (ppIEnumString) *ppIEnumString = nullptr;
    return Invoke<WBrowse>([&](WBrowse::Client c) {
      auto q = c.browseOpcItemIdsRequest();
      q.setFilterType(dwBrowseFilterType);
      if (szFilterCriteria) q.setFilterCriteria(szFilterCriteria);
      q.setDataTypeFilter(vtDataTypeFilter);
      q.setAccessRightsFilter(dwAccessRightsFilter);
      q.setWantEnum(ppIEnumString != nullptr);
      return q.send().then([&](auto r) -> HRESULT {
        if (FAILED(r.getHr()) || !ppIEnumString || !r.hasEnum()) return r.getHr();
        HRESULT hr = Import(r.getEnum(), IID_IEnumString, reinterpret_cast<void**>(ppIEnumString));
        return FAILED(hr) ? hr : r.getHr();
      });
    });
  }

  HRESULT GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override {
    if (szItemID) *szItemID = nullptr;
    return Invoke<WBrowse>([&](WBrowse::Client c) {
      auto q = c.getItemIdRequest();
      if (szItemDataID) q.setItemDataId(szItemDataID);
      q.setWantItemId(szItemID != nullptr);
      return q.send().then([&](auto r) -> HRESULT {
        if (szItemID && SUCCEEDED(r.getHr())) {
          HRESULT copied = TaskStringFromText(r.hasItemId(), r.getItemId(), szItemID);
          if (FAILED(copied)) return copied;
        }
        return r.getHr();
      });
    });
  }

  HRESULT BrowseAccessPaths(LPCWSTR szItemID, IEnumString** ppIEnumString) override {
    if (ppIEnumString) *ppIEnumString = nullptr;
    return Invoke<WBrowse>([&](WBrowse::Client c) {
      auto q = c.browseAccessPathsRequest();
      if (szItemID) q.setItemId(szItemID);
      q.setWantEnum(ppIEnumString != nullptr);
      return q.send().then([&](auto r) -> HRESULT {
        if (FAILED(r.getHr()) || !ppIEnumString || !r.hasEnum()) return r.getHr();
        HRESULT hr = Import(r.getEnum(), IID_IEnumString, reinterpret_cast<void**>(ppIEnumString));
        return FAILED(hr) ? hr : r.getHr();
      });
    });
  }
};

kj::Promise<void> HandleServer(Stub& stub, uint16_t method, Context context) {
  Apartment& apartment = stub.apartment();
  switch (method) {
    case 0: {  // addGroup
      auto p = context.getParams().getAs<WServer::AddGroupParams>();
      auto name = ReadOptionalText(p.hasName(), p.getName());
      const BOOL active = p.getActive();
      const DWORD rate = p.getRequestedUpdateRate();
      const OPCHANDLE client = p.getClientGroup();
      const std::optional<LONG> bias =
          p.getHasTimeBias() ? std::optional<LONG>(p.getTimeBias()) : std::nullopt;
      const std::optional<FLOAT> deadband =
          p.getHasPercentDeadband() ? std::optional<FLOAT>(p.getPercentDeadband()) : std::nullopt;
      const LCID lcid = p.getLcid();
      const bool wantServer = p.getWantServerGroup(), wantRevised = p.getWantRevisedUpdateRate();
      const bool wantObject = p.getWantObject();
      IID iid;
      const bool iidOk = ReadGuid(p.getIid(), &iid);
      context.releaseParams();
      struct Result {
        HRESULT hr = E_FAIL;
        OPCHANDLE server = 0;
        DWORD revised = 0;
        OutObject object;
      };
      return Serve<IOPCServer, Result>(
          stub,
          [=, &apartment](IOPCServer* itf, Result& r) mutable {
            if (!iidOk) {
              r.hr = E_INVALIDARG;
              return;
            }
            LONG b = bias.value_or(0);
            FLOAT d = deadband.value_or(0);
            IUnknown* object = nullptr;
            r.hr = itf->AddGroup(CStrOrNull(name), active, rate, client, bias ? &b : nullptr,
                                 deadband ? &d : nullptr, lcid, wantServer ? &r.server : nullptr,
                                 wantRevised ? &r.revised : nullptr, iid,
                                 wantObject ? &object : nullptr);
            r.object.object = object;
            r.object.apartment = &apartment;
          },
          [context, &apartment](Result& r) mutable {
            auto out = context.getResults().initAs<WServer::AddGroupResults>();
            out.setHr(r.hr);
            out.setServerGroup(r.server);
            out.setRevisedUpdateRate(r.revised);
            if (SUCCEEDED(r.hr) && r.object.object)
              out.setObject(Export(r.object.object, apartment));
          });
    }
    case 1: {  // getErrorString
      auto p = context.getParams().getAs<WServer::GetErrorStringParams>();
      const HRESULT error = p.getError();
      const LCID locale = p.getLocale();
      const bool want = p.getWantString();
      context.releaseParams();
      struct Result {
        HRESULT hr = E_FAIL;
        OutMem<char> text;
      };
      return Serve<IOPCServer, Result>(
          stub,
          [=](IOPCServer* itf, Result& r) {
            r.hr = itf->GetErrorString(error, locale, want ? &r.text.p : nullptr);
          },
          [context](Result& r) mutable {
            auto out = context.getResults().initAs<WServer::GetErrorStringResults>();
            out.setHr(r.hr);
            if (SUCCEEDED(r.hr) && r.text.p) out.setString(r.text.p);
          });
    }
    case 2: {  // getGroupByName
      auto p = context.getParams().getAs<WServer::GetGroupByNameParams>();
      auto name = ReadOptionalText(p.hasName(), p.getName());
      IID iid;
      const bool iidOk = ReadGuid(p.getIid(), &iid);
      const bool want = p.getWantObject();
      context.releaseParams();
      return ServeObject<IOPCServer, WServer::GetGroupByNameResults>(
          stub, context, [=](IOPCServer* itf, IUnknown** object) {
            return iidOk ? itf->GetGroupByName(CStrOrNull(name), iid, want ? object : nullptr)
                         : E_INVALIDARG;
          });
    }
    case 3: {  // getStatus
      const bool want = context.getParams().getAs<WServer::GetStatusParams>().getWantStatus();
      context.releaseParams();
      struct Result {
        HRESULT hr = E_FAIL;
        OutMem<OPCSERVERSTATUS> status;
        ~Result() {
          if (status.p) CoTaskMemFree(status.p->szVendorInfo);
        }
      };
      return Serve<IOPCServer, Result>(
          stub,
          [want](IOPCServer* itf, Result& r) {
            r.hr = itf->GetStatus(want ? &r.status.p : nullptr);
          },
          [context](Result& r) mutable {
            auto out = context.getResults().initAs<WServer::GetStatusResults>();
            out.setHr(r.hr);
            if (FAILED(r.hr) || !r.status.p) return;
            const OPCSERVERSTATUS& s = *r.status.p;
            auto w = out.initStatus();
            WriteFileTime(s.ftStartTime, w.initStartTime());
            WriteFileTime(s.ftCurrentTime, w.initCurrentTime());
            WriteFileTime(s.ftLastUpdateTime, w.initLastUpdateTime());
            w.setServerState(s.dwServerState);
            w.setGroupCount(s.dwGroupCount);
            w.setBandWidth(s.dwBandWidth);
            w.setMajorVersion(s.wMajorVersion);
            w.setMinorVersion(s.wMinorVersion);
            w.setBuildNumber(s.wBuildNumber);
            w.setReserved(s.wReserved);
            if (s.szVendorInfo) w.setVendorInfo(s.szVendorInfo);
          });
    }
    case 4: {  // removeGroup
      auto p = context.getParams().getAs<WServer::RemoveGroupParams>();
      const OPCHANDLE group = p.getServerGroup();
      const BOOL force = p.getForce();
      context.releaseParams();
      return Serve<IOPCServer, HrOnly>(
          stub, [=](IOPCServer* itf, HrOnly& r) { r.hr = itf->RemoveGroup(group, force); },
          [context](HrOnly& r) mutable {
            context.getResults().initAs<WServer::RemoveGroupResults>().setHr(r.hr);
          });
    }
    case 5: {  // createGroupEnumerator
      auto p = context.getParams().getAs<WServer::CreateGroupEnumeratorParams>();
      const auto scope = static_cast<OPCENUMSCOPE>(p.getScope());
      IID iid;
      const bool iidOk = ReadGuid(p.getIid(), &iid);
      const bool want = p.getWantObject();
      context.releaseParams();
      return ServeObject<IOPCServer, WServer::CreateGroupEnumeratorResults>(
          stub, context, [=](IOPCServer* itf, IUnknown** object) {
            return iidOk ? itf->CreateGroupEnumerator(scope, iid, want ? object : nullptr)
                         : E_INVALIDARG;
          });
    }
    default:
      return KJ_EXCEPTION(UNIMPLEMENTED, "IOPCServer method", method);
  }
}

kj::Promise<void> HandleBrowse(Stub& stub, uint16_t method, Context context) {
  Apartment& apartment = stub.apartment();
  using I = IOPCBrowseServerAddressSpace;
  struct EnumResult {
    HRESULT hr = E_FAIL;
    OutObject object;
  };
  auto replyEnum = [&apartment](auto out, EnumResult& r) {
    out.setHr(r.hr);
    if (SUCCEEDED(r.hr) && r.object.object)
      out.setEnum(Export(r.object.object, apartment).castAs<wire::EnumString>());
  };
  switch (method) {
    case 0: {  // queryOrganization
      const bool want = context.getParams().getAs<WBrowse::QueryOrganizationParams>().getWantType();
      context.releaseParams();
      struct Result {
        HRESULT hr = E_FAIL;
        OPCNAMESPACETYPE type = OPC_NS_HIERARCHIAL;
      };
      return Serve<I, Result>(
          stub,
          [want](I* itf, Result& r) { r.hr = itf->QueryOrganization(want ? &r.type : nullptr); },
          [context](Result& r) mutable {
            auto out = context.getResults().initAs<WBrowse::QueryOrganizationResults>();
            out.setHr(r.hr);
            out.setType(r.type);
          });
    }
    case 1: {  // changeBrowsePosition
      auto p = context.getParams().getAs<WBrowse::ChangeBrowsePositionParams>();
      const auto direction = static_cast<OPCBROWSEDIRECTION>(p.getDirection());
      auto text = ReadOptionalText(p.hasString(), p.getString());
      context.releaseParams();
      return Serve<I, HrOnly>(
          stub,
          [=](I* itf, HrOnly& r) { r.hr = itf->ChangeBrowsePosition(direction, CStrOrNull(text)); },
          [context](HrOnly& r) mutable {
            context.getResults().initAs<WBrowse::ChangeBrowsePositionResults>().setHr(r.hr);
          });
    }
    case 2: {  // browseOpcItemIds
      auto p = context.getParams().getAs<WBrowse::BrowseOpcItemIdsParams>();
      const auto filterType = static_cast<OPCBROWSETYPE>(p.getFilterType());
      auto filter = ReadOptionalText(p.hasFilterCriteria(), p.getFilterCriteria());
      const VARTYPE vt = p.getDataTypeFilter();
      const DWORD rights = p.getAccessRightsFilter();
      const bool want = p.getWantEnum();
      context.releaseParams();
      return Serve<I, EnumResult>(
          stub,
          [=, &apartment](I* itf, EnumResult& r) {
            IEnumString* found = nullptr;
            r.hr = itf->BrowseOPCItemIDs(filterType, CStrOrNull(filter), vt, rights,
                                         want ? &found : nullptr);
            r.object.object = found;
            r.object.apartment = &apartment;
          },
          [context, replyEnum](EnumResult& r) mutable {
            replyEnum(context.getResults().initAs<WBrowse::BrowseOpcItemIdsResults>(), r);
          });
    }
    case 3: {  // getItemId
      auto p = context.getParams().getAs<WBrowse::GetItemIdParams>();
      auto dataId = ReadOptionalText(p.hasItemDataId(), p.getItemDataId());
      const bool want = p.getWantItemId();
      context.releaseParams();
      struct Result {
        HRESULT hr = E_FAIL;
        OutMem<char> id;
      };
      return Serve<I, Result>(
          stub,
          [=](I* itf, Result& r) mutable {
            r.hr = itf->GetItemID(dataId ? dataId->data() : nullptr, want ? &r.id.p : nullptr);
          },
          [context](Result& r) mutable {
            auto out = context.getResults().initAs<WBrowse::GetItemIdResults>();
            out.setHr(r.hr);
            if (SUCCEEDED(r.hr) && r.id.p) out.setItemId(r.id.p);
          });
    }
    case 4: {  // browseAccessPaths
      auto p = context.getParams().getAs<WBrowse::BrowseAccessPathsParams>();
      auto id = ReadOptionalText(p.hasItemId(), p.getItemId());
      const bool want = p.getWantEnum();
      context.releaseParams();
      return Serve<I, EnumResult>(
          stub,
          [=, &apartment](I* itf, EnumResult& r) {
            IEnumString* found = nullptr;
            r.hr = itf->BrowseAccessPaths(CStrOrNull(id), want ? &found : nullptr);
            r.object.object = found;
            r.object.apartment = &apartment;
          },
          [context, replyEnum](EnumResult& r) mutable {
            replyEnum(context.getResults().initAs<WBrowse::BrowseAccessPathsResults>(), r);
          });
    }
    default:
      return KJ_EXCEPTION(UNIMPLEMENTED, "IOPCBrowseServerAddressSpace method", method);
  }
}

}  // namespace

void RegisterOpcServerFamily() {
  RegisterFacet(IID_IOPCServer, &MakeFacet<ServerProxy>);
  RegisterFacet(IID_IOPCBrowseServerAddressSpace, &MakeFacet<BrowseProxy>);
  RegisterStubHandler(capnp::typeId<WServer>(), &HandleServer);
  RegisterStubHandler(capnp::typeId<WBrowse>(), &HandleBrowse);
}

}  // namespace zyn::remote
