// Proxy and stub of IOPCItemProperties.
#include "platform/remote/families.h"
#include "platform/remote/family_util.h"
#include "platform/remote/opc_records.h"

namespace zyn::remote {
namespace {

using W = wire::OpcItemProperties;
using I = IOPCItemProperties;

void FreeStrings(LPWSTR* strings, DWORD n) {
  if (strings == nullptr) return;
  for (DWORD i = 0; i < n; ++i)
    CoTaskMemFree(strings[i]);
  CoTaskMemFree(strings);
}

// A task-allocated array of n task-allocated strings from a wire list.
template <class List>
HRESULT TaskStrings(List list, DWORD n, LPWSTR** out) {
  *out = nullptr;
  if (list.size() < n) return RPC_E_SERVERFAULT;
  auto strings = com::TaskAllocArray<LPWSTR>(n);
  if (!strings) return E_OUTOFMEMORY;
  for (DWORD i = 0; i < n; ++i) {
    strings[i] = com::TaskStrDup(std::string_view(list[i].cStr(), list[i].size()));
    if (!strings[i]) {
      FreeStrings(strings.release(), i);
      return E_OUTOFMEMORY;
    }
  }
  *out = strings.release();
  return S_OK;
}

class PropertiesProxy final : public Facet<I> {
 public:
  using Facet::Facet;

  HRESULT QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                   LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) override {
    if (ppPropertyIDs) *ppPropertyIDs = nullptr;
    if (ppDescriptions) *ppDescriptions = nullptr;
    if (ppvtDataTypes) *ppvtDataTypes = nullptr;
    return Invoke<W>([&](W::Client c) {
      auto q = c.queryAvailablePropertiesRequest();
      if (szItemID) q.setItemId(szItemID);
      q.setWantCount(pdwCount != nullptr);
      q.setWantIds(ppPropertyIDs != nullptr);
      q.setWantDescriptions(ppDescriptions != nullptr);
      q.setWantTypes(ppvtDataTypes != nullptr);
      return q.send().then([&](auto r) -> HRESULT {
        HRESULT hr = r.getHr();
        if (FAILED(hr)) return hr;
        const DWORD n = r.getIds().size();
        DWORD* ids = nullptr;
        LPWSTR* descriptions = nullptr;
        VARTYPE* types = nullptr;
        HRESULT copied = S_OK;
        if (ppPropertyIDs) copied = TaskArrayFromList(r.getIds(), n, &ids);
        if (SUCCEEDED(copied) && ppDescriptions)
          copied = TaskStrings(r.getDescriptions(), n, &descriptions);
        if (SUCCEEDED(copied) && ppvtDataTypes) copied = TaskArrayFromList(r.getTypes(), n, &types);
        if (FAILED(copied)) {
          CoTaskMemFree(ids);
          FreeStrings(descriptions, n);
          CoTaskMemFree(types);
          return copied;
        }
        if (pdwCount) *pdwCount = n;
        if (ppPropertyIDs) *ppPropertyIDs = ids;
        if (ppDescriptions) *ppDescriptions = descriptions;
        if (ppvtDataTypes) *ppvtDataTypes = types;
        return hr;
      });
    });
  }

  HRESULT GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                            VARIANT** ppvData, HRESULT** ppErrors) override {
    if (ppvData) *ppvData = nullptr;
    if (ppErrors) *ppErrors = nullptr;
    return Invoke<W>([&](W::Client c) {
      auto q = c.getItemPropertiesRequest();
      if (szItemID) q.setItemId(szItemID);
      q.setCount(dwCount);
      q.setHasIds(pdwPropertyIDs != nullptr);
      if (pdwPropertyIDs) {
        auto ids = q.initIds(dwCount);
        for (DWORD i = 0; i < dwCount; ++i)
          ids.set(i, pdwPropertyIDs[i]);
      }
      q.setWantData(ppvData != nullptr);
      q.setWantErrors(ppErrors != nullptr);
      return q.send().then([&](auto r) -> HRESULT {
        HRESULT hr = r.getHr();
        if (FAILED(hr)) return hr;
        VARIANT* data = nullptr;
        if (ppvData && r.hasData()) {
          auto list = r.getData();
          if (list.size() < dwCount) return RPC_E_SERVERFAULT;
          auto values = com::TaskAllocArray<VARIANT>(dwCount);
          if (!values) return E_OUTOFMEMORY;
          for (DWORD i = 0; i < dwCount; ++i) {
            if (FAILED(ReadVariant(list[i], &values[i]))) {
              for (DWORD j = 0; j < i; ++j)
                VariantClear(&values[j]);
              return RPC_E_SERVERFAULT;
            }
          }
          data = values.release();
        }
        HRESULT* errors = nullptr;
        if (ppErrors && r.hasErrors()) {
          HRESULT copied = TaskArrayFromList(r.getErrors(), dwCount, &errors);
          if (FAILED(copied)) {
            for (DWORD j = 0; data && j < dwCount; ++j)
              VariantClear(&data[j]);
            CoTaskMemFree(data);
            return copied;
          }
        }
        if (ppvData) *ppvData = data;
        if (ppErrors) *ppErrors = errors;
        return hr;
      });
    });
  }

  HRESULT LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                        LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) override {
    if (ppszNewItemIDs) *ppszNewItemIDs = nullptr;
    if (ppErrors) *ppErrors = nullptr;
    return Invoke<W>([&](W::Client c) {
      auto q = c.lookupItemIdsRequest();
      if (szItemID) q.setItemId(szItemID);
      q.setCount(dwCount);
      q.setHasIds(pdwPropertyIDs != nullptr);
      if (pdwPropertyIDs) {
        auto ids = q.initIds(dwCount);
        for (DWORD i = 0; i < dwCount; ++i)
          ids.set(i, pdwPropertyIDs[i]);
      }
      q.setWantItemIds(ppszNewItemIDs != nullptr);
      q.setWantErrors(ppErrors != nullptr);
      return q.send().then([&](auto r) -> HRESULT {
        HRESULT hr = r.getHr();
        if (FAILED(hr)) return hr;
        LPWSTR* ids = nullptr;
        if (ppszNewItemIDs && r.hasItemIds()) {
          HRESULT copied = TaskStrings(r.getItemIds(), dwCount, &ids);
          if (FAILED(copied)) return copied;
        }
        HRESULT* errors = nullptr;
        if (ppErrors && r.hasErrors()) {
          HRESULT copied = TaskArrayFromList(r.getErrors(), dwCount, &errors);
          if (FAILED(copied)) {
            FreeStrings(ids, dwCount);
            return copied;
          }
        }
        if (ppszNewItemIDs) *ppszNewItemIDs = ids;
        if (ppErrors) *ppErrors = errors;
        return hr;
      });
    });
  }
};

kj::Promise<void> HandleProperties(Stub& stub, uint16_t method, Context context) {
  switch (method) {
    case 0: {  // queryAvailableProperties
      auto p = context.getParams().getAs<W::QueryAvailablePropertiesParams>();
      auto id = ReadOptionalText(p.hasItemId(), p.getItemId());
      const bool wCount = p.getWantCount(), wIds = p.getWantIds(), wDesc = p.getWantDescriptions(),
                 wTypes = p.getWantTypes();
      context.releaseParams();
      struct Result {
        HRESULT hr = E_FAIL;
        DWORD count = 0;
        OutMem<DWORD> ids;
        LPWSTR* descriptions = nullptr;
        OutMem<VARTYPE> types;
        ~Result() { FreeStrings(descriptions, count); }
      };
      return Serve<I, Result>(
          stub,
          [=](I* itf, Result& r) mutable {
            r.hr = itf->QueryAvailableProperties(
                id ? id->data() : nullptr, wCount ? &r.count : nullptr, wIds ? &r.ids.p : nullptr,
                wDesc ? &r.descriptions : nullptr, wTypes ? &r.types.p : nullptr);
          },
          [context](Result& r) mutable {
            auto out = context.getResults().initAs<W::QueryAvailablePropertiesResults>();
            out.setHr(r.hr);
            if (FAILED(r.hr)) return;
            // The count travels as the lists' length; without the count nothing more can.
            const DWORD n = r.count;
            auto ids = out.initIds(n);
            for (DWORD i = 0; r.ids.p && i < n; ++i)
              ids.set(i, r.ids.p[i]);
            if (r.descriptions) {
              auto list = out.initDescriptions(n);
              for (DWORD i = 0; i < n; ++i)
                if (r.descriptions[i]) list.set(i, r.descriptions[i]);
            }
            if (r.types.p) {
              auto list = out.initTypes(n);
              for (DWORD i = 0; i < n; ++i)
                list.set(i, r.types.p[i]);
            }
          });
    }
    case 1:    // getItemProperties
    case 2: {  // lookupItemIds
      std::optional<std::string> id;
      DWORD count;
      std::shared_ptr<std::vector<DWORD>> ids;
      bool ok = true, wantOut, wantErrors;
      auto read = [&](auto p) {
        id = ReadOptionalText(p.hasItemId(), p.getItemId());
        count = p.getCount();
        if (p.getHasIds()) {
          ok = p.getIds().size() >= count;
          if (ok) ids = SharedCopy<DWORD>(p.getIds(), count);
        }
        wantErrors = p.getWantErrors();
      };
      if (method == 1) {
        auto p = context.getParams().getAs<W::GetItemPropertiesParams>();
        read(p);
        wantOut = p.getWantData();
      } else {
        auto p = context.getParams().getAs<W::LookupItemIdsParams>();
        read(p);
        wantOut = p.getWantItemIds();
      }
      context.releaseParams();
      struct Result {
        HRESULT hr = E_FAIL;
        DWORD count = 0;
        VARIANT* data = nullptr;
        LPWSTR* names = nullptr;
        OutMem<HRESULT> errors;
        ~Result() {
          for (DWORD i = 0; data && i < count; ++i)
            VariantClear(&data[i]);
          CoTaskMemFree(data);
          FreeStrings(names, count);
        }
      };
      auto reply = [context, method](Result& r) mutable {
        auto finish = [&r](auto out, auto writeOut) {
          out.setHr(r.hr);
          if (FAILED(r.hr)) return;
          writeOut(out);
          if (r.errors.p) {
            auto list = out.initErrors(r.count);
            for (DWORD i = 0; i < r.count; ++i)
              list.set(i, r.errors.p[i]);
          }
        };
        if (method == 1) {
          finish(context.getResults().initAs<W::GetItemPropertiesResults>(), [&r](auto out) {
            if (!r.data) return;
            auto list = out.initData(r.count);
            for (DWORD i = 0; i < r.count; ++i)
              if (FAILED(WriteVariant(r.data[i], list[i]))) out.setHr(DISP_E_BADVARTYPE);
          });
        } else {
          finish(context.getResults().initAs<W::LookupItemIdsResults>(), [&r](auto out) {
            if (!r.names) return;
            auto list = out.initItemIds(r.count);
            for (DWORD i = 0; i < r.count; ++i)
              if (r.names[i]) list.set(i, r.names[i]);
          });
        }
      };
      if (!ok) {
        Result refused;
        refused.hr = E_INVALIDARG;
        reply(refused);
        return kj::READY_NOW;
      }
      return Serve<I, Result>(
          stub,
          [=](I* itf, Result& r) mutable {
            r.count = count;
            LPWSTR item = id ? id->data() : nullptr;
            DWORD* props = ids ? ids->data() : nullptr;
            if (method == 1)
              r.hr = itf->GetItemProperties(item, count, props, wantOut ? &r.data : nullptr,
                                            wantErrors ? &r.errors.p : nullptr);
            else
              r.hr = itf->LookupItemIDs(item, count, props, wantOut ? &r.names : nullptr,
                                        wantErrors ? &r.errors.p : nullptr);
          },
          std::move(reply));
    }
    default:
      return KJ_EXCEPTION(UNIMPLEMENTED, "IOPCItemProperties method", method);
  }
}

}  // namespace

void RegisterItemPropertiesFamily() {
  RegisterFacet(IID_IOPCItemProperties, &MakeFacet<PropertiesProxy>);
  RegisterStubHandler(capnp::typeId<W>(), &HandleProperties);
}

}  // namespace zyn::remote
