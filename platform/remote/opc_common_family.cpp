// Proxies and stubs of IOPCCommon, IOPCShutdown and IOPCServerList.
//
// IOPCShutdown is a client's sink: its stub queues the call to the client's apartment and
// answers S_OK at once, because a server that is shutting down must not wait on a client's
// busy thread (see data_callback_family.cpp for the same rule and its reason).
#include "interfaces/opc_common.h"
#include "platform/com/enum.h"
#include "platform/remote/families.h"
#include "platform/remote/family_util.h"
#include "platform/remote/opc.capnp.h"

namespace zyn::remote {
namespace {

using WCommon = wire::OpcCommon;
using WShutdown = wire::OpcShutdown;
using WList = wire::OpcServerList;

class CommonProxy final : public Facet<IOPCCommon> {
 public:
  using Facet::Facet;

  HRESULT SetLocaleID(LCID dwLcid) override {
    return Invoke<WCommon>([&](WCommon::Client c) {
      auto request = c.setLocaleIdRequest();
      request.setLcid(dwLcid);
      return request.send().then([](auto r) { return HRESULT{r.getHr()}; });
    });
  }

  HRESULT GetLocaleID(LCID* pdwLcid) override {
    return Invoke<WCommon>([&](WCommon::Client c) {
      auto request = c.getLocaleIdRequest();
      request.setWantLcid(pdwLcid != nullptr);
      return request.send().then([&](auto r) {
        if (pdwLcid) *pdwLcid = r.getLcid();
        return HRESULT{r.getHr()};
      });
    });
  }

  HRESULT QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override {
    if (pdwCount) *pdwCount = 0;
    if (pdwLcid) *pdwLcid = nullptr;
    return Invoke<WCommon>([&](WCommon::Client c) {
      auto request = c.queryAvailableLocaleIdsRequest();
      request.setWantCount(pdwCount != nullptr);
      request.setWantLcids(pdwLcid != nullptr);
      return request.send().then([&](auto r) -> HRESULT {
        HRESULT hr = r.getHr();
        if (FAILED(hr)) return hr;
        auto list = r.getLcids();
        if (pdwCount) *pdwCount = list.size();
        if (pdwLcid) {
          HRESULT copied = TaskArrayFromList(list, list.size(), pdwLcid);
          if (FAILED(copied)) return copied;
        }
        return hr;
      });
    });
  }

  HRESULT GetErrorString(HRESULT dwError, LPWSTR* ppString) override {
    if (ppString) *ppString = nullptr;
    return Invoke<WCommon>([&](WCommon::Client c) {
      auto request = c.getErrorStringRequest();
      request.setError(dwError);
      request.setWantString(ppString != nullptr);
      return request.send().then([&](auto r) -> HRESULT {
        if (ppString && SUCCEEDED(r.getHr())) {
          HRESULT copied = TaskStringFromText(r.hasString(), r.getString(), ppString);
          if (FAILED(copied)) return copied;
        }
        return r.getHr();
      });
    });
  }

  HRESULT SetClientName(LPCWSTR szName) override {
    return Invoke<WCommon>([&](WCommon::Client c) {
      auto request = c.setClientNameRequest();
      if (szName) request.setName(szName);
      return request.send().then([](auto r) { return HRESULT{r.getHr()}; });
    });
  }
};

class ShutdownProxy final : public Facet<IOPCShutdown> {
 public:
  using Facet::Facet;

  HRESULT ShutdownRequest(LPCWSTR szReason) override {
    return Invoke<WShutdown>([&](WShutdown::Client c) {
      auto request = c.shutdownRequestRequest();
      if (szReason) request.setReason(szReason);
      return request.send().then([](auto r) { return HRESULT{r.getHr()}; });
    });
  }
};

class ServerListProxy final : public Facet<IOPCServerList> {
 public:
  using Facet::Facet;

  HRESULT EnumClassesOfCategories(ULONG cImplemented, CATID rgcatidImpl[], ULONG cRequired,
                                  CATID rgcatidReq[], IEnumGUID** ppenumClsid) override {
    if (ppenumClsid) *ppenumClsid = nullptr;
    // ULONG(-1) means "any": no list travels then. Otherwise the counts bound the lists.
    auto count = [](ULONG n, CATID* list) { return (n == ULONG(-1) || !list) ? 0u : n; };
    return Invoke<WList>([&](WList::Client c) {
      auto request = c.enumClassesOfCategoriesRequest();
      request.setImplementedCount(cImplemented);
      request.setRequiredCount(cRequired);
      request.setWantEnum(ppenumClsid != nullptr);
      kj::byte scratch[16];
      auto impl = request.initImplemented(count(cImplemented, rgcatidImpl));
      for (unsigned i = 0; i < impl.size(); ++i)
        impl.set(i, GuidBytes(rgcatidImpl[i], scratch));
      auto req = request.initRequired(count(cRequired, rgcatidReq));
      for (unsigned i = 0; i < req.size(); ++i)
        req.set(i, GuidBytes(rgcatidReq[i], scratch));
      return request.send().then([&](auto r) -> HRESULT {
        if (FAILED(r.getHr()) || !r.hasEnum() || !ppenumClsid) return r.getHr();
        HRESULT hr = Import(r.getEnum(), IID_IEnumGUID, reinterpret_cast<void**>(ppenumClsid));
        return FAILED(hr) ? hr : r.getHr();
      });
    });
  }

  HRESULT GetClassDetails(REFCLSID clsid, LPOLESTR* ppszProgID, LPOLESTR* ppszUserType) override {
    if (ppszProgID) *ppszProgID = nullptr;
    if (ppszUserType) *ppszUserType = nullptr;
    return Invoke<WList>([&](WList::Client c) {
      auto request = c.getClassDetailsRequest();
      WriteGuid(clsid, request.initClsid(16));
      request.setWantProgId(ppszProgID != nullptr);
      request.setWantUserType(ppszUserType != nullptr);
      return request.send().then([&](auto r) -> HRESULT {
        if (FAILED(r.getHr())) return r.getHr();
        com::TaskMem<char> prog, type;
        LPWSTR raw = nullptr;
        if (ppszProgID) {
          if (FAILED(TaskStringFromText(r.hasProgId(), r.getProgId(), &raw))) return E_OUTOFMEMORY;
          prog.reset(raw);
        }
        if (ppszUserType) {
          if (FAILED(TaskStringFromText(r.hasUserType(), r.getUserType(), &raw)))
            return E_OUTOFMEMORY;
          type.reset(raw);
        }
        if (ppszProgID) *ppszProgID = prog.release();
        if (ppszUserType) *ppszUserType = type.release();
        return r.getHr();
      });
    });
  }

  HRESULT CLSIDFromProgID(LPCOLESTR szProgId, CLSID* clsid) override {
    return Invoke<WList>([&](WList::Client c) {
      auto request = c.clsidFromProgIdRequest();
      if (szProgId) request.setProgId(szProgId);
      request.setWantClsid(clsid != nullptr);
      return request.send().then([&](auto r) -> HRESULT {
        if (clsid && !ReadGuid(r.getClsid(), clsid) && SUCCEEDED(r.getHr()))
          return RPC_E_SERVERFAULT;
        return r.getHr();
      });
    });
  }
};

kj::Promise<void> HandleCommon(Stub& stub, uint16_t method, Context context) {
  switch (method) {
    case 0: {  // setLocaleId
      const LCID lcid = context.getParams().getAs<WCommon::SetLocaleIdParams>().getLcid();
      context.releaseParams();
      return Serve<IOPCCommon, HrOnly>(
          stub, [lcid](IOPCCommon* itf, HrOnly& r) { r.hr = itf->SetLocaleID(lcid); },
          [context](HrOnly& r) mutable {
            context.getResults().initAs<WCommon::SetLocaleIdResults>().setHr(r.hr);
          });
    }
    case 1: {  // getLocaleId
      const bool want = context.getParams().getAs<WCommon::GetLocaleIdParams>().getWantLcid();
      context.releaseParams();
      struct Result {
        HRESULT hr = E_FAIL;
        LCID lcid = 0;
      };
      return Serve<IOPCCommon, Result>(
          stub,
          [want](IOPCCommon* itf, Result& r) { r.hr = itf->GetLocaleID(want ? &r.lcid : nullptr); },
          [context](Result& r) mutable {
            auto out = context.getResults().initAs<WCommon::GetLocaleIdResults>();
            out.setHr(r.hr);
            out.setLcid(r.lcid);
          });
    }
    case 2: {  // queryAvailableLocaleIds
      auto p = context.getParams().getAs<WCommon::QueryAvailableLocaleIdsParams>();
      const bool wantCount = p.getWantCount(), wantLcids = p.getWantLcids();
      context.releaseParams();
      struct Result {
        HRESULT hr = E_FAIL;
        DWORD count = 0;
        OutMem<LCID> lcids;
      };
      return Serve<IOPCCommon, Result>(
          stub,
          [wantCount, wantLcids](IOPCCommon* itf, Result& r) {
            r.hr = itf->QueryAvailableLocaleIDs(wantCount ? &r.count : nullptr,
                                                wantLcids ? &r.lcids.p : nullptr);
          },
          [context](Result& r) mutable {
            auto out = context.getResults().initAs<WCommon::QueryAvailableLocaleIdsResults>();
            out.setHr(r.hr);
            if (FAILED(r.hr) || r.lcids.p == nullptr) return;
            auto list = out.initLcids(r.count);
            for (DWORD i = 0; i < r.count; ++i)
              list.set(i, r.lcids.p[i]);
          });
    }
    case 3: {  // getErrorString
      auto p = context.getParams().getAs<WCommon::GetErrorStringParams>();
      const HRESULT error = p.getError();
      const bool want = p.getWantString();
      context.releaseParams();
      struct Result {
        HRESULT hr = E_FAIL;
        OutMem<char> text;
      };
      return Serve<IOPCCommon, Result>(
          stub,
          [error, want](IOPCCommon* itf, Result& r) {
            r.hr = itf->GetErrorString(error, want ? &r.text.p : nullptr);
          },
          [context](Result& r) mutable {
            auto out = context.getResults().initAs<WCommon::GetErrorStringResults>();
            out.setHr(r.hr);
            if (SUCCEEDED(r.hr) && r.text.p) out.setString(r.text.p);
          });
    }
    case 4: {  // setClientName
      auto p = context.getParams().getAs<WCommon::SetClientNameParams>();
      auto name = ReadOptionalText(p.hasName(), p.getName());
      context.releaseParams();
      return Serve<IOPCCommon, HrOnly>(
          stub, [name](IOPCCommon* itf, HrOnly& r) { r.hr = itf->SetClientName(CStrOrNull(name)); },
          [context](HrOnly& r) mutable {
            context.getResults().initAs<WCommon::SetClientNameResults>().setHr(r.hr);
          });
    }
    default:
      return KJ_EXCEPTION(UNIMPLEMENTED, "IOPCCommon method", method);
  }
}

kj::Promise<void> HandleShutdown(Stub& stub, uint16_t method, Context context) {
  if (method != 0) return KJ_EXCEPTION(UNIMPLEMENTED, "IOPCShutdown method", method);
  auto p = context.getParams().getAs<WShutdown::ShutdownRequestParams>();
  auto reason = ReadOptionalText(p.hasReason(), p.getReason());
  context.releaseParams();
  // Queued, not awaited: the server goes on at once.
  stub.OnApartment<IOPCShutdown>([reason](IOPCShutdown* itf) {
        if (itf) itf->ShutdownRequest(CStrOrNull(reason));
      })
      .detach([](kj::Exception&&) {});
  context.getResults().initAs<WShutdown::ShutdownRequestResults>().setHr(S_OK);
  return kj::READY_NOW;
}

kj::Promise<void> HandleList(Stub& stub, uint16_t method, Context context) {
  Apartment& apartment = stub.apartment();
  switch (method) {
    case 0: {  // enumClassesOfCategories
      auto p = context.getParams().getAs<WList::EnumClassesOfCategoriesParams>();
      std::vector<GUID> impl, req;
      const bool ok = ReadGuids(p.getImplemented(), &impl) && ReadGuids(p.getRequired(), &req);
      ULONG cImpl = p.getImplementedCount(), cReq = p.getRequiredCount();
      const bool want = p.getWantEnum();
      context.releaseParams();
      // A count beyond the list that came would make the object read past it.
      if (!ok || (cImpl != ULONG(-1) && cImpl > impl.size()) ||
          (cReq != ULONG(-1) && cReq > req.size())) {
        context.getResults().initAs<WList::EnumClassesOfCategoriesResults>().setHr(E_INVALIDARG);
        return kj::READY_NOW;
      }
      struct Result {
        HRESULT hr = E_FAIL;
        OutObject enumerator;
      };
      return Serve<IOPCServerList, Result>(
          stub,
          [=, &apartment](IOPCServerList* itf, Result& r) mutable {
            IEnumGUID* found = nullptr;
            r.hr = itf->EnumClassesOfCategories(cImpl, impl.empty() ? nullptr : impl.data(), cReq,
                                                req.empty() ? nullptr : req.data(),
                                                want ? &found : nullptr);
            r.enumerator.object = found;
            r.enumerator.apartment = &apartment;
          },
          [context, &apartment](Result& r) mutable {
            auto out = context.getResults().initAs<WList::EnumClassesOfCategoriesResults>();
            out.setHr(r.hr);
            if (SUCCEEDED(r.hr) && r.enumerator.object)
              out.setEnum(Export(r.enumerator.object, apartment).castAs<wire::EnumGuid>());
          });
    }
    case 1: {  // getClassDetails
      auto p = context.getParams().getAs<WList::GetClassDetailsParams>();
      CLSID clsid;
      const bool ok = ReadGuid(p.getClsid(), &clsid);
      const bool wantProg = p.getWantProgId(), wantType = p.getWantUserType();
      context.releaseParams();
      struct Result {
        HRESULT hr = E_FAIL;
        OutMem<char> prog, type;
      };
      return Serve<IOPCServerList, Result>(
          stub,
          [=](IOPCServerList* itf, Result& r) {
            r.hr = ok ? itf->GetClassDetails(clsid, wantProg ? &r.prog.p : nullptr,
                                             wantType ? &r.type.p : nullptr)
                      : E_INVALIDARG;
          },
          [context](Result& r) mutable {
            auto out = context.getResults().initAs<WList::GetClassDetailsResults>();
            out.setHr(r.hr);
            if (FAILED(r.hr)) return;
            if (r.prog.p) out.setProgId(r.prog.p);
            if (r.type.p) out.setUserType(r.type.p);
          });
    }
    case 2: {  // clsidFromProgId
      auto p = context.getParams().getAs<WList::ClsidFromProgIdParams>();
      auto prog = ReadOptionalText(p.hasProgId(), p.getProgId());
      const bool want = p.getWantClsid();
      context.releaseParams();
      struct Result {
        HRESULT hr = E_FAIL;
        CLSID clsid{};
      };
      return Serve<IOPCServerList, Result>(
          stub,
          [prog, want](IOPCServerList* itf, Result& r) {
            r.hr = itf->CLSIDFromProgID(CStrOrNull(prog), want ? &r.clsid : nullptr);
          },
          [context](Result& r) mutable {
            auto out = context.getResults().initAs<WList::ClsidFromProgIdResults>();
            out.setHr(r.hr);
            WriteGuid(r.clsid, out.initClsid(16));
          });
    }
    default:
      return KJ_EXCEPTION(UNIMPLEMENTED, "IOPCServerList method", method);
  }
}

}  // namespace

void RegisterOpcCommonFamily() {
  RegisterFacet(IID_IOPCCommon, &MakeFacet<CommonProxy>);
  RegisterFacet(IID_IOPCShutdown, &MakeFacet<ShutdownProxy>);
  RegisterFacet(IID_IOPCServerList, &MakeFacet<ServerListProxy>);
  RegisterStubHandler(capnp::typeId<WCommon>(), &HandleCommon);
  RegisterStubHandler(capnp::typeId<WShutdown>(), &HandleShutdown);
  RegisterStubHandler(capnp::typeId<WList>(), &HandleList);
}

}  // namespace zyn::remote
