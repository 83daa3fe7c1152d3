// Proxies and stubs of a group's interfaces: IOPCGroupStateMgt, IOPCItemMgt, IOPCSyncIO and
// IOPCAsyncIO2.
//
// Arrays travel with their count. A stub refuses (E_INVALIDARG) a call whose list is shorter
// than its count before the object sees it, so no object reads past what arrived; a proxy
// refuses an answer whose list is shorter than the count it expects (RPC_E_SERVERFAULT).
#include "platform/remote/families.h"
#include "platform/remote/family_util.h"
#include "platform/remote/opc_records.h"

namespace zyn::remote {
namespace {

using WState = wire::OpcGroupStateMgt;
using WItems = wire::OpcItemMgt;
using WSync = wire::OpcSyncIO;
using WAsync = wire::OpcAsyncIO2;

// Proxy side: *ppErrors from the answer's n errors.
template <class R>
HRESULT TakeErrors(R& r, DWORD n, HRESULT** ppErrors) {
  HRESULT hr = r.getHr();
  if (FAILED(hr) || ppErrors == nullptr || !r.hasErrors()) return hr;
  HRESULT copied = TaskArrayFromList(r.getErrors(), n, ppErrors);
  return FAILED(copied) ? copied : hr;
}

template <class List>
void SetHandles(List list, const OPCHANDLE* handles, DWORD n) {
  for (DWORD i = 0; i < n; ++i)
    list.set(i, handles[i]);
}

class StateProxy final : public Facet<IOPCGroupStateMgt> {
 public:
  using Facet::Facet;

  HRESULT GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                   FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                   OPCHANDLE* phServerGroup) override {
    if (ppName) *ppName = nullptr;
    return Invoke<WState>([&](WState::Client c) {
      auto q = c.getStateRequest();
      q.setWantUpdateRate(pUpdateRate != nullptr);
      q.setWantActive(pActive != nullptr);
      q.setWantName(ppName != nullptr);
      q.setWantTimeBias(pTimeBias != nullptr);
      q.setWantPercentDeadband(pPercentDeadband != nullptr);
      q.setWantLcid(pLCID != nullptr);
      q.setWantClientGroup(phClientGroup != nullptr);
      q.setWantServerGroup(phServerGroup != nullptr);
      return q.send().then([&](auto r) -> HRESULT {
        HRESULT hr = r.getHr();
        if (FAILED(hr)) return hr;
        if (ppName && FAILED(TaskStringFromText(r.hasName(), r.getName(), ppName)))
          return E_OUTOFMEMORY;
        if (pUpdateRate) *pUpdateRate = r.getUpdateRate();
        if (pActive) *pActive = r.getActive();
        if (pTimeBias) *pTimeBias = r.getTimeBias();
        if (pPercentDeadband) *pPercentDeadband = r.getPercentDeadband();
        if (pLCID) *pLCID = r.getLcid();
        if (phClientGroup) *phClientGroup = r.getClientGroup();
        if (phServerGroup) *phServerGroup = r.getServerGroup();
        return hr;
      });
    });
  }

  HRESULT SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                   LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                   OPCHANDLE* phClientGroup) override {
    return Invoke<WState>([&](WState::Client c) {
      auto q = c.setStateRequest();
      q.setHasRequestedUpdateRate(pRequestedUpdateRate != nullptr);
      if (pRequestedUpdateRate) q.setRequestedUpdateRate(*pRequestedUpdateRate);
      q.setWantRevisedUpdateRate(pRevisedUpdateRate != nullptr);
      q.setHasActive(pActive != nullptr);
      if (pActive) q.setActive(*pActive);
      q.setHasTimeBias(pTimeBias != nullptr);
      if (pTimeBias) q.setTimeBias(*pTimeBias);
      q.setHasPercentDeadband(pPercentDeadband != nullptr);
      if (pPercentDeadband) q.setPercentDeadband(*pPercentDeadband);
      q.setHasLcid(pLCID != nullptr);
      if (pLCID) q.setLcid(*pLCID);
      q.setHasClientGroup(phClientGroup != nullptr);
      if (phClientGroup) q.setClientGroup(*phClientGroup);
      return q.send().then([&](auto r) {
        if (pRevisedUpdateRate) *pRevisedUpdateRate = r.getRevisedUpdateRate();
        return HRESULT{r.getHr()};
      });
    });
  }

  HRESULT SetName(LPCWSTR szName) override {
    return Invoke<WState>([&](WState::Client c) {
      auto q = c.setNameRequest();
      if (szName) q.setName(szName);
      return q.send().then([](auto r) { return HRESULT{r.getHr()}; });
    });
  }

  HRESULT CloneGroup(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) override {
    if (ppUnk) *ppUnk = nullptr;
    return Invoke<WState>([&](WState::Client c) {
      auto q = c.cloneGroupRequest();
      if (szName) q.setName(szName);
      WriteGuid(riid, q.initIid(16));
      q.setWantObject(ppUnk != nullptr);
      return q.send().then([&](auto r) -> HRESULT {
        HRESULT hr = r.getHr();
        if (FAILED(hr) || !ppUnk || !r.hasObject()) return hr;
        HRESULT imported = Import(r.getObject(), riid, reinterpret_cast<void**>(ppUnk));
        return FAILED(imported) ? imported : hr;
      });
    });
  }
};

class ItemsProxy final : public Facet<IOPCItemMgt> {
 public:
  using Facet::Facet;

  HRESULT AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                   HRESULT** ppErrors) override {
    return AddOrValidate(false, dwCount, pItemArray, FALSE, ppAddResults, ppErrors);
  }

  HRESULT ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                        OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) override {
    return AddOrValidate(true, dwCount, pItemArray, bBlobUpdate, ppValidationResults, ppErrors);
  }

  HRESULT RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override {
    if (ppErrors) *ppErrors = nullptr;
    return Invoke<WItems>([&](WItems::Client c) {
      auto q = c.removeItemsRequest();
      q.setCount(dwCount);
      q.setHasServer(phServer != nullptr);
      if (phServer) SetHandles(q.initServer(dwCount), phServer, dwCount);
      q.setWantErrors(ppErrors != nullptr);
      return q.send().then([&](auto r) { return TakeErrors(r, dwCount, ppErrors); });
    });
  }

  HRESULT SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                         HRESULT** ppErrors) override {
    if (ppErrors) *ppErrors = nullptr;
    return Invoke<WItems>([&](WItems::Client c) {
      auto q = c.setActiveStateRequest();
      q.setCount(dwCount);
      q.setHasServer(phServer != nullptr);
      if (phServer) SetHandles(q.initServer(dwCount), phServer, dwCount);
      q.setActive(bActive);
      q.setWantErrors(ppErrors != nullptr);
      return q.send().then([&](auto r) { return TakeErrors(r, dwCount, ppErrors); });
    });
  }

  HRESULT SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                           HRESULT** ppErrors) override {
    if (ppErrors) *ppErrors = nullptr;
    return Invoke<WItems>([&](WItems::Client c) {
      auto q = c.setClientHandlesRequest();
      q.setCount(dwCount);
      q.setHasServer(phServer != nullptr);
      if (phServer) SetHandles(q.initServer(dwCount), phServer, dwCount);
      q.setHasClient(phClient != nullptr);
      if (phClient) SetHandles(q.initClient(dwCount), phClient, dwCount);
      q.setWantErrors(ppErrors != nullptr);
      return q.send().then([&](auto r) { return TakeErrors(r, dwCount, ppErrors); });
    });
  }

  HRESULT SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                       HRESULT** ppErrors) override {
    if (ppErrors) *ppErrors = nullptr;
    return Invoke<WItems>([&](WItems::Client c) {
      auto q = c.setDatatypesRequest();
      q.setCount(dwCount);
      q.setHasServer(phServer != nullptr);
      if (phServer) SetHandles(q.initServer(dwCount), phServer, dwCount);
      q.setHasRequested(pRequestedDatatypes != nullptr);
      if (pRequestedDatatypes) {
        auto list = q.initRequested(dwCount);
        for (DWORD i = 0; i < dwCount; ++i)
          list.set(i, pRequestedDatatypes[i]);
      }
      q.setWantErrors(ppErrors != nullptr);
      return q.send().then([&](auto r) { return TakeErrors(r, dwCount, ppErrors); });
    });
  }

  HRESULT CreateEnumerator(REFIID riid, IUnknown** ppUnk) override {
    if (ppUnk) *ppUnk = nullptr;
    return Invoke<WItems>([&](WItems::Client c) {
      auto q = c.createEnumeratorRequest();
      WriteGuid(riid, q.initIid(16));
      q.setWantObject(ppUnk != nullptr);
      return q.send().then([&](auto r) -> HRESULT {
        HRESULT hr = r.getHr();
        if (FAILED(hr) || !ppUnk || !r.hasObject()) return hr;
        HRESULT imported = Import(r.getObject(), riid, reinterpret_cast<void**>(ppUnk));
        return FAILED(imported) ? imported : hr;
      });
    });
  }

 private:
  HRESULT AddOrValidate(bool validate, DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                        OPCITEMRESULT** ppResults, HRESULT** ppErrors) {
    if (ppResults) *ppResults = nullptr;
    if (ppErrors) *ppErrors = nullptr;
    auto finish = [&](auto& r) -> HRESULT {
      HRESULT hr = r.getHr();
      if (FAILED(hr)) return hr;
      OPCITEMRESULT* results = nullptr;
      HRESULT* errors = nullptr;
      if (ppResults && r.hasResults()) {
        HRESULT copied = ReadItemResults(r.getResults(), dwCount, &results);
        if (FAILED(copied)) return copied;
      }
      if (ppErrors && r.hasErrors()) {
        HRESULT copied = TaskArrayFromList(r.getErrors(), dwCount, &errors);
        if (FAILED(copied)) {
          FreeItemResults(results, dwCount);
          return copied;
        }
      }
      if (ppResults) *ppResults = results;
      if (ppErrors) *ppErrors = errors;
      return hr;
    };
    return Invoke<WItems>([&](WItems::Client c) -> kj::Promise<HRESULT> {
      if (validate) {
        auto q = c.validateItemsRequest();
        q.setCount(dwCount);
        q.setHasItems(pItemArray != nullptr);
        if (pItemArray) WriteItemDefs(pItemArray, dwCount, q.initItems(dwCount));
        q.setBlobUpdate(bBlobUpdate);
        q.setWantResults(ppResults != nullptr);
        q.setWantErrors(ppErrors != nullptr);
        return q.send().then([&, finish](auto r) mutable { return finish(r); });
      }
      auto q = c.addItemsRequest();
      q.setCount(dwCount);
      q.setHasItems(pItemArray != nullptr);
      if (pItemArray) WriteItemDefs(pItemArray, dwCount, q.initItems(dwCount));
      q.setWantResults(ppResults != nullptr);
      q.setWantErrors(ppErrors != nullptr);
      return q.send().then([&, finish](auto r) mutable { return finish(r); });
    });
  }
};

class SyncProxy final : public Facet<IOPCSyncIO> {
 public:
  using Facet::Facet;

  HRESULT Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
               OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) override {
    if (ppItemValues) *ppItemValues = nullptr;
    if (ppErrors) *ppErrors = nullptr;
    return Invoke<WSync>([&](WSync::Client c) {
      auto q = c.readRequest();
      q.setSource(dwSource);
      q.setCount(dwCount);
      q.setHasServer(phServer != nullptr);
      if (phServer) SetHandles(q.initServer(dwCount), phServer, dwCount);
      q.setWantValues(ppItemValues != nullptr);
      q.setWantErrors(ppErrors != nullptr);
      return q.send().then([&](auto r) -> HRESULT {
        HRESULT hr = r.getHr();
        if (FAILED(hr)) return hr;
        OPCITEMSTATE* states = nullptr;
        if (ppItemValues && r.hasValues()) {
          HRESULT copied = ReadItemStates(r.getValues(), dwCount, &states);
          if (FAILED(copied)) return copied;
        }
        HRESULT errs = TakeErrors(r, dwCount, ppErrors);
        if (FAILED(errs)) {
          FreeItemStates(states, dwCount);
          return errs;
        }
        if (ppItemValues) *ppItemValues = states;
        return hr;
      });
    });
  }

  HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                HRESULT** ppErrors) override {
    if (ppErrors) *ppErrors = nullptr;
    return Invoke<WSync>([&](WSync::Client c) -> kj::Promise<HRESULT> {
      auto q = c.writeRequest();
      q.setCount(dwCount);
      q.setHasServer(phServer != nullptr);
      if (phServer) SetHandles(q.initServer(dwCount), phServer, dwCount);
      q.setHasValues(pItemValues != nullptr);
      if (pItemValues) {
        HRESULT hr = WriteVariants(pItemValues, dwCount, q.initValues(dwCount));
        if (FAILED(hr)) return hr;
      }
      q.setWantErrors(ppErrors != nullptr);
      return q.send().then([&](auto r) { return TakeErrors(r, dwCount, ppErrors); });
    });
  }
};

class AsyncProxy final : public Facet<IOPCAsyncIO2> {
 public:
  using Facet::Facet;

  HRESULT Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
               HRESULT** ppErrors) override {
    if (ppErrors) *ppErrors = nullptr;
    return Invoke<WAsync>([&](WAsync::Client c) {
      auto q = c.readRequest();
      q.setCount(dwCount);
      q.setHasServer(phServer != nullptr);
      if (phServer) SetHandles(q.initServer(dwCount), phServer, dwCount);
      q.setTransactionId(dwTransactionID);
      q.setWantCancelId(pdwCancelID != nullptr);
      q.setWantErrors(ppErrors != nullptr);
      return q.send().then([&](auto r) {
        if (pdwCancelID) *pdwCancelID = r.getCancelId();
        return TakeErrors(r, dwCount, ppErrors);
      });
    });
  }

  HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                DWORD* pdwCancelID, HRESULT** ppErrors) override {
    if (ppErrors) *ppErrors = nullptr;
    return Invoke<WAsync>([&](WAsync::Client c) -> kj::Promise<HRESULT> {
      auto q = c.writeRequest();
      q.setCount(dwCount);
      q.setHasServer(phServer != nullptr);
      if (phServer) SetHandles(q.initServer(dwCount), phServer, dwCount);
      q.setHasValues(pItemValues != nullptr);
      if (pItemValues) {
        HRESULT hr = WriteVariants(pItemValues, dwCount, q.initValues(dwCount));
        if (FAILED(hr)) return hr;
      }
      q.setTransactionId(dwTransactionID);
      q.setWantCancelId(pdwCancelID != nullptr);
      q.setWantErrors(ppErrors != nullptr);
      return q.send().then([&](auto r) {
        if (pdwCancelID) *pdwCancelID = r.getCancelId();
        return TakeErrors(r, dwCount, ppErrors);
      });
    });
  }

  HRESULT Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) override {
    return Invoke<WAsync>([&](WAsync::Client c) {
      auto q = c.refresh2Request();
      q.setSource(dwSource);
      q.setTransactionId(dwTransactionID);
      q.setWantCancelId(pdwCancelID != nullptr);
      return q.send().then([&](auto r) {
        if (pdwCancelID) *pdwCancelID = r.getCancelId();
        return HRESULT{r.getHr()};
      });
    });
  }

  HRESULT Cancel2(DWORD dwCancelID) override {
    return Invoke<WAsync>([&](WAsync::Client c) {
      auto q = c.cancel2Request();
      q.setCancelId(dwCancelID);
      return q.send().then([](auto r) { return HRESULT{r.getHr()}; });
    });
  }

  HRESULT SetEnable(BOOL bEnable) override {
    return Invoke<WAsync>([&](WAsync::Client c) {
      auto q = c.setEnableRequest();
      q.setEnable(bEnable);
      return q.send().then([](auto r) { return HRESULT{r.getHr()}; });
    });
  }

  HRESULT GetEnable(BOOL* pbEnable) override {
    return Invoke<WAsync>([&](WAsync::Client c) {
      auto q = c.getEnableRequest();
      q.setWantEnable(pbEnable != nullptr);
      return q.send().then([&](auto r) {
        if (pbEnable) *pbEnable = r.getEnable();
        return HRESULT{r.getHr()};
      });
    });
  }
};

// ---- stub side ----

struct ErrorsResult {
  HRESULT hr = E_FAIL;
  OutMem<HRESULT> errors;
  DWORD cancelId = 0;
};

template <class Results>
auto ReplyErrors(Context context, DWORD count) {
  return [context, count](ErrorsResult& r) mutable {
    auto out = context.getResults().initAs<Results>();
    out.setHr(r.hr);
    if constexpr (requires { out.setCancelId(0u); }) out.setCancelId(r.cancelId);
    if (FAILED(r.hr) || r.errors.p == nullptr) return;
    auto list = out.initErrors(count);
    for (DWORD i = 0; i < count; ++i)
      list.set(i, r.errors.p[i]);
  };
}

// Handles of a call: null when they did not come, false when fewer than count came.
template <class P>
bool ReadHandles(P p, DWORD count, std::shared_ptr<std::vector<OPCHANDLE>>* out) {
  if (!p.getHasServer()) return true;
  auto list = p.getServer();
  if (list.size() < count) return false;
  *out = SharedCopy<OPCHANDLE>(list, count);
  return true;
}

inline OPCHANDLE* Data(const std::shared_ptr<std::vector<OPCHANDLE>>& v) {
  return v ? v->data() : nullptr;
}

template <class Results>
kj::Promise<void> Refuse(Context context) {
  context.getResults().initAs<Results>().setHr(E_INVALIDARG);
  return kj::READY_NOW;
}

kj::Promise<void> HandleState(Stub& stub, uint16_t method, Context context) {
  using I = IOPCGroupStateMgt;
  switch (method) {
    case 0: {  // getState
      auto p = context.getParams().getAs<WState::GetStateParams>();
      const bool wRate = p.getWantUpdateRate(), wActive = p.getWantActive(),
                 wName = p.getWantName(), wBias = p.getWantTimeBias(),
                 wDeadband = p.getWantPercentDeadband(), wLcid = p.getWantLcid(),
                 wClient = p.getWantClientGroup(), wServer = p.getWantServerGroup();
      context.releaseParams();
      struct Result {
        HRESULT hr = E_FAIL;
        DWORD rate = 0;
        BOOL active = 0;
        OutMem<char> name;
        LONG bias = 0;
        FLOAT deadband = 0;
        LCID lcid = 0;
        OPCHANDLE client = 0, server = 0;
      };
      return Serve<I, Result>(
          stub,
          [=](I* itf, Result& r) {
            r.hr = itf->GetState(wRate ? &r.rate : nullptr, wActive ? &r.active : nullptr,
                                 wName ? &r.name.p : nullptr, wBias ? &r.bias : nullptr,
                                 wDeadband ? &r.deadband : nullptr, wLcid ? &r.lcid : nullptr,
                                 wClient ? &r.client : nullptr, wServer ? &r.server : nullptr);
          },
          [context](Result& r) mutable {
            auto out = context.getResults().initAs<WState::GetStateResults>();
            out.setHr(r.hr);
            out.setUpdateRate(r.rate);
            out.setActive(r.active);
            if (SUCCEEDED(r.hr) && r.name.p) out.setName(r.name.p);
            out.setTimeBias(r.bias);
            out.setPercentDeadband(r.deadband);
            out.setLcid(r.lcid);
            out.setClientGroup(r.client);
            out.setServerGroup(r.server);
          });
    }
    case 1: {  // setState
      auto p = context.getParams().getAs<WState::SetStateParams>();
      auto opt = [](bool has, auto v) { return has ? std::optional(v) : std::nullopt; };
      const auto rate = opt(p.getHasRequestedUpdateRate(), p.getRequestedUpdateRate());
      const auto active = opt(p.getHasActive(), p.getActive());
      const auto bias = opt(p.getHasTimeBias(), p.getTimeBias());
      const auto deadband = opt(p.getHasPercentDeadband(), p.getPercentDeadband());
      const auto lcid = opt(p.getHasLcid(), p.getLcid());
      const auto client = opt(p.getHasClientGroup(), p.getClientGroup());
      const bool wantRevised = p.getWantRevisedUpdateRate();
      context.releaseParams();
      struct Result {
        HRESULT hr = E_FAIL;
        DWORD revised = 0;
      };
      return Serve<I, Result>(
          stub,
          [=](I* itf, Result& r) mutable {
            auto ptr = [](auto& o) { return o ? &*o : nullptr; };
            auto rate_ = rate;
            auto active_ = active;
            auto bias_ = bias;
            auto deadband_ = deadband;
            auto lcid_ = lcid;
            auto client_ = client;
            r.hr = itf->SetState(ptr(rate_), wantRevised ? &r.revised : nullptr, ptr(active_),
                                 ptr(bias_), ptr(deadband_), ptr(lcid_), ptr(client_));
          },
          [context](Result& r) mutable {
            auto out = context.getResults().initAs<WState::SetStateResults>();
            out.setHr(r.hr);
            out.setRevisedUpdateRate(r.revised);
          });
    }
    case 2: {  // setName
      auto p = context.getParams().getAs<WState::SetNameParams>();
      auto name = ReadOptionalText(p.hasName(), p.getName());
      context.releaseParams();
      return Serve<I, HrOnly>(
          stub, [name](I* itf, HrOnly& r) { r.hr = itf->SetName(CStrOrNull(name)); },
          [context](HrOnly& r) mutable {
            context.getResults().initAs<WState::SetNameResults>().setHr(r.hr);
          });
    }
    case 3: {  // cloneGroup
      auto p = context.getParams().getAs<WState::CloneGroupParams>();
      auto name = ReadOptionalText(p.hasName(), p.getName());
      IID iid;
      const bool ok = ReadGuid(p.getIid(), &iid);
      const bool want = p.getWantObject();
      context.releaseParams();
      return ServeObject<I, WState::CloneGroupResults>(
          stub, context, [=](I* itf, IUnknown** object) {
            return ok ? itf->CloneGroup(CStrOrNull(name), iid, want ? object : nullptr)
                      : E_INVALIDARG;
          });
    }
    default:
      return KJ_EXCEPTION(UNIMPLEMENTED, "IOPCGroupStateMgt method", method);
  }
}

kj::Promise<void> HandleItems(Stub& stub, uint16_t method, Context context) {
  using I = IOPCItemMgt;
  switch (method) {
    case 0:    // addItems
    case 1: {  // validateItems
      const bool validate = method == 1;
      DWORD count;
      bool hasItems, wantResults, wantErrors;
      BOOL blobUpdate = FALSE;
      capnp::List<wire::ItemDef>::Reader list;
      if (validate) {
        auto p = context.getParams().getAs<WItems::ValidateItemsParams>();
        count = p.getCount();
        hasItems = p.getHasItems();
        list = p.getItems();
        blobUpdate = p.getBlobUpdate();
        wantResults = p.getWantResults();
        wantErrors = p.getWantErrors();
      } else {
        auto p = context.getParams().getAs<WItems::AddItemsParams>();
        count = p.getCount();
        hasItems = p.getHasItems();
        list = p.getItems();
        wantResults = p.getWantResults();
        wantErrors = p.getWantErrors();
      }
      auto defs = std::make_shared<ItemDefs>();
      const bool ok = !hasItems || (list.size() >= count && defs->Read(list));
      context.releaseParams();
      struct Result {
        HRESULT hr = E_FAIL;
        DWORD count = 0;
        OPCITEMRESULT* results = nullptr;
        OutMem<HRESULT> errors;
        ~Result() { FreeItemResults(results, count); }
      };
      auto reply = [context, validate](Result& r) mutable {
        auto write = [&r](auto out) {
          out.setHr(r.hr);
          if (FAILED(r.hr)) return;
          if (r.results) WriteItemResults(r.results, r.count, out.initResults(r.count));
          if (r.errors.p) {
            auto list = out.initErrors(r.count);
            for (DWORD i = 0; i < r.count; ++i)
              list.set(i, r.errors.p[i]);
          }
        };
        if (validate)
          write(context.getResults().initAs<WItems::ValidateItemsResults>());
        else
          write(context.getResults().initAs<WItems::AddItemsResults>());
      };
      if (!ok) {
        Result refused;
        refused.hr = E_INVALIDARG;
        reply(refused);
        return kj::READY_NOW;
      }
      return Serve<I, Result>(
          stub,
          [=](I* itf, Result& r) {
            r.count = count;
            OPCITEMDEF* items = hasItems ? defs->data() : nullptr;
            if (validate)
              r.hr =
                  itf->ValidateItems(count, items, blobUpdate, wantResults ? &r.results : nullptr,
                                     wantErrors ? &r.errors.p : nullptr);
            else
              r.hr = itf->AddItems(count, items, wantResults ? &r.results : nullptr,
                                   wantErrors ? &r.errors.p : nullptr);
          },
          std::move(reply));
    }
    case 2: {  // removeItems
      auto p = context.getParams().getAs<WItems::RemoveItemsParams>();
      const DWORD count = p.getCount();
      std::shared_ptr<std::vector<OPCHANDLE>> server;
      const bool ok = ReadHandles(p, count, &server);
      const bool want = p.getWantErrors();
      context.releaseParams();
      if (!ok) return Refuse<WItems::RemoveItemsResults>(context);
      return Serve<I, ErrorsResult>(
          stub,
          [=](I* itf, ErrorsResult& r) {
            r.hr = itf->RemoveItems(count, Data(server), want ? &r.errors.p : nullptr);
          },
          ReplyErrors<WItems::RemoveItemsResults>(context, count));
    }
    case 3: {  // setActiveState
      auto p = context.getParams().getAs<WItems::SetActiveStateParams>();
      const DWORD count = p.getCount();
      std::shared_ptr<std::vector<OPCHANDLE>> server;
      const bool ok = ReadHandles(p, count, &server);
      const BOOL active = p.getActive();
      const bool want = p.getWantErrors();
      context.releaseParams();
      if (!ok) return Refuse<WItems::SetActiveStateResults>(context);
      return Serve<I, ErrorsResult>(
          stub,
          [=](I* itf, ErrorsResult& r) {
            r.hr = itf->SetActiveState(count, Data(server), active, want ? &r.errors.p : nullptr);
          },
          ReplyErrors<WItems::SetActiveStateResults>(context, count));
    }
    case 4: {  // setClientHandles
      auto p = context.getParams().getAs<WItems::SetClientHandlesParams>();
      const DWORD count = p.getCount();
      std::shared_ptr<std::vector<OPCHANDLE>> server, client;
      bool ok = ReadHandles(p, count, &server);
      if (p.getHasClient()) {
        auto list = p.getClient();
        ok = ok && list.size() >= count;
        if (ok) client = SharedCopy<OPCHANDLE>(list, count);
      }
      const bool want = p.getWantErrors();
      context.releaseParams();
      if (!ok) return Refuse<WItems::SetClientHandlesResults>(context);
      return Serve<I, ErrorsResult>(
          stub,
          [=](I* itf, ErrorsResult& r) {
            r.hr = itf->SetClientHandles(count, Data(server), Data(client),
                                         want ? &r.errors.p : nullptr);
          },
          ReplyErrors<WItems::SetClientHandlesResults>(context, count));
    }
    case 5: {  // setDatatypes
      auto p = context.getParams().getAs<WItems::SetDatatypesParams>();
      const DWORD count = p.getCount();
      std::shared_ptr<std::vector<OPCHANDLE>> server;
      std::shared_ptr<std::vector<VARTYPE>> types;
      bool ok = ReadHandles(p, count, &server);
      if (p.getHasRequested()) {
        auto list = p.getRequested();
        ok = ok && list.size() >= count;
        if (ok) types = SharedCopy<VARTYPE>(list, count);
      }
      const bool want = p.getWantErrors();
      context.releaseParams();
      if (!ok) return Refuse<WItems::SetDatatypesResults>(context);
      return Serve<I, ErrorsResult>(
          stub,
          [=](I* itf, ErrorsResult& r) {
            r.hr = itf->SetDatatypes(count, Data(server), types ? types->data() : nullptr,
                                     want ? &r.errors.p : nullptr);
          },
          ReplyErrors<WItems::SetDatatypesResults>(context, count));
    }
    case 6: {  // createEnumerator
      auto p = context.getParams().getAs<WItems::CreateEnumeratorParams>();
      IID iid;
      const bool ok = ReadGuid(p.getIid(), &iid);
      const bool want = p.getWantObject();
      context.releaseParams();
      return ServeObject<I, WItems::CreateEnumeratorResults>(
          stub, context, [=](I* itf, IUnknown** object) {
            return ok ? itf->CreateEnumerator(iid, want ? object : nullptr) : E_INVALIDARG;
          });
    }
    default:
      return KJ_EXCEPTION(UNIMPLEMENTED, "IOPCItemMgt method", method);
  }
}

kj::Promise<void> HandleSync(Stub& stub, uint16_t method, Context context) {
  using I = IOPCSyncIO;
  if (method == 0) {  // read
    auto p = context.getParams().getAs<WSync::ReadParams>();
    const auto source = static_cast<OPCDATASOURCE>(p.getSource());
    const DWORD count = p.getCount();
    std::shared_ptr<std::vector<OPCHANDLE>> server;
    const bool ok = ReadHandles(p, count, &server);
    const bool wantValues = p.getWantValues(), wantErrors = p.getWantErrors();
    context.releaseParams();
    if (!ok) return Refuse<WSync::ReadResults>(context);
    struct Result {
      HRESULT hr = E_FAIL;
      DWORD count = 0;
      OPCITEMSTATE* states = nullptr;
      OutMem<HRESULT> errors;
      ~Result() { FreeItemStates(states, count); }
    };
    return Serve<I, Result>(
        stub,
        [=](I* itf, Result& r) {
          r.count = count;
          r.hr = itf->Read(source, count, Data(server), wantValues ? &r.states : nullptr,
                           wantErrors ? &r.errors.p : nullptr);
        },
        [context](Result& r) mutable {
          auto out = context.getResults().initAs<WSync::ReadResults>();
          out.setHr(r.hr);
          if (FAILED(r.hr)) return;
          if (r.states) {
            HRESULT hr = WriteItemStates(r.states, r.count, out.initValues(r.count));
            if (FAILED(hr)) {
              out.setHr(hr);
              return;
            }
          }
          if (r.errors.p) {
            auto list = out.initErrors(r.count);
            for (DWORD i = 0; i < r.count; ++i)
              list.set(i, r.errors.p[i]);
          }
        });
  }
  if (method == 1) {  // write
    auto p = context.getParams().getAs<WSync::WriteParams>();
    const DWORD count = p.getCount();
    std::shared_ptr<std::vector<OPCHANDLE>> server;
    bool ok = ReadHandles(p, count, &server);
    std::shared_ptr<VariantArray> values;
    if (p.getHasValues()) {
      values = std::make_shared<VariantArray>();
      ok = ok && p.getValues().size() >= count && SUCCEEDED(values->Read(p.getValues()));
    }
    const bool want = p.getWantErrors();
    context.releaseParams();
    if (!ok) return Refuse<WSync::WriteResults>(context);
    return Serve<I, ErrorsResult>(
        stub,
        [=](I* itf, ErrorsResult& r) {
          r.hr = itf->Write(count, Data(server), values ? values->data() : nullptr,
                            want ? &r.errors.p : nullptr);
        },
        ReplyErrors<WSync::WriteResults>(context, count));
  }
  return KJ_EXCEPTION(UNIMPLEMENTED, "IOPCSyncIO method", method);
}

kj::Promise<void> HandleAsync(Stub& stub, uint16_t method, Context context) {
  using I = IOPCAsyncIO2;
  switch (method) {
    case 0: {  // read
      auto p = context.getParams().getAs<WAsync::ReadParams>();
      const DWORD count = p.getCount(), transaction = p.getTransactionId();
      std::shared_ptr<std::vector<OPCHANDLE>> server;
      const bool ok = ReadHandles(p, count, &server);
      const bool wantCancel = p.getWantCancelId(), wantErrors = p.getWantErrors();
      context.releaseParams();
      if (!ok) return Refuse<WAsync::ReadResults>(context);
      return Serve<I, ErrorsResult>(
          stub,
          [=](I* itf, ErrorsResult& r) {
            r.hr = itf->Read(count, Data(server), transaction, wantCancel ? &r.cancelId : nullptr,
                             wantErrors ? &r.errors.p : nullptr);
          },
          ReplyErrors<WAsync::ReadResults>(context, count));
    }
    case 1: {  // write
      auto p = context.getParams().getAs<WAsync::WriteParams>();
      const DWORD count = p.getCount(), transaction = p.getTransactionId();
      std::shared_ptr<std::vector<OPCHANDLE>> server;
      bool ok = ReadHandles(p, count, &server);
      std::shared_ptr<VariantArray> values;
      if (p.getHasValues()) {
        values = std::make_shared<VariantArray>();
        ok = ok && p.getValues().size() >= count && SUCCEEDED(values->Read(p.getValues()));
      }
      const bool wantCancel = p.getWantCancelId(), wantErrors = p.getWantErrors();
      context.releaseParams();
      if (!ok) return Refuse<WAsync::WriteResults>(context);
      return Serve<I, ErrorsResult>(
          stub,
          [=](I* itf, ErrorsResult& r) {
            r.hr =
                itf->Write(count, Data(server), values ? values->data() : nullptr, transaction,
                           wantCancel ? &r.cancelId : nullptr, wantErrors ? &r.errors.p : nullptr);
          },
          ReplyErrors<WAsync::WriteResults>(context, count));
    }
    case 2: {  // refresh2
      auto p = context.getParams().getAs<WAsync::Refresh2Params>();
      const auto source = static_cast<OPCDATASOURCE>(p.getSource());
      const DWORD transaction = p.getTransactionId();
      const bool want = p.getWantCancelId();
      context.releaseParams();
      return Serve<I, ErrorsResult>(
          stub,
          [=](I* itf, ErrorsResult& r) {
            r.hr = itf->Refresh2(source, transaction, want ? &r.cancelId : nullptr);
          },
          [context](ErrorsResult& r) mutable {
            auto out = context.getResults().initAs<WAsync::Refresh2Results>();
            out.setHr(r.hr);
            out.setCancelId(r.cancelId);
          });
    }
    case 3: {  // cancel2
      const DWORD id = context.getParams().getAs<WAsync::Cancel2Params>().getCancelId();
      context.releaseParams();
      return Serve<I, HrOnly>(
          stub, [id](I* itf, HrOnly& r) { r.hr = itf->Cancel2(id); },
          [context](HrOnly& r) mutable {
            context.getResults().initAs<WAsync::Cancel2Results>().setHr(r.hr);
          });
    }
    case 4: {  // setEnable
      const BOOL enable = context.getParams().getAs<WAsync::SetEnableParams>().getEnable();
      context.releaseParams();
      return Serve<I, HrOnly>(
          stub, [enable](I* itf, HrOnly& r) { r.hr = itf->SetEnable(enable); },
          [context](HrOnly& r) mutable {
            context.getResults().initAs<WAsync::SetEnableResults>().setHr(r.hr);
          });
    }
    case 5: {  // getEnable
      const bool want = context.getParams().getAs<WAsync::GetEnableParams>().getWantEnable();
      context.releaseParams();
      struct Result {
        HRESULT hr = E_FAIL;
        BOOL enable = 0;
      };
      return Serve<I, Result>(
          stub, [want](I* itf, Result& r) { r.hr = itf->GetEnable(want ? &r.enable : nullptr); },
          [context](Result& r) mutable {
            auto out = context.getResults().initAs<WAsync::GetEnableResults>();
            out.setHr(r.hr);
            out.setEnable(r.enable);
          });
    }
    default:
      return KJ_EXCEPTION(UNIMPLEMENTED, "IOPCAsyncIO2 method", method);
  }
}

}  // namespace

void RegisterOpcGroupFamily() {
  RegisterFacet(IID_IOPCGroupStateMgt, &MakeFacet<StateProxy>);
  RegisterFacet(IID_IOPCItemMgt, &MakeFacet<ItemsProxy>);
  RegisterFacet(IID_IOPCSyncIO, &MakeFacet<SyncProxy>);
  RegisterFacet(IID_IOPCAsyncIO2, &MakeFacet<AsyncProxy>);
  RegisterStubHandler(capnp::typeId<WState>(), &HandleState);
  RegisterStubHandler(capnp::typeId<WItems>(), &HandleItems);
  RegisterStubHandler(capnp::typeId<WSync>(), &HandleSync);
  RegisterStubHandler(capnp::typeId<WAsync>(), &HandleAsync);
}

}  // namespace zyn::remote
