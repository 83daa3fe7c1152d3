// Proxy and stub of IEnumOPCItemAttributes, a group's item enumerator.
#include <cstring>

#include "platform/remote/families.h"
#include "platform/remote/family_util.h"
#include "platform/remote/opc_records.h"

namespace zyn::remote {
namespace {

using WAttrs = wire::EnumOpcItemAttributes;

// The most records one Next call may ask for across the wire.
constexpr ULONG kMaxBatch = 65536;

void FreeAttributes(OPCITEMATTRIBUTES* items, ULONG n) {
  if (items == nullptr) return;
  for (ULONG i = 0; i < n; ++i) {
    CoTaskMemFree(items[i].szAccessPath);
    CoTaskMemFree(items[i].szItemID);
    CoTaskMemFree(items[i].pBlob);
    VariantClear(&items[i].vEUInfo);
  }
  CoTaskMemFree(items);
}

class AttributesProxy final : public Facet<IEnumOPCItemAttributes> {
 public:
  using Facet::Facet;

  HRESULT Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) override {
    if (ppItemArray) *ppItemArray = nullptr;
    if (pceltFetched) *pceltFetched = 0;
    return Invoke<WAttrs>([&](WAttrs::Client c) {
      auto q = c.nextRequest();
      q.setCelt(celt);
      q.setWantItems(ppItemArray != nullptr);
      q.setWantFetched(pceltFetched != nullptr);
      return q.send().then([&](auto r) -> HRESULT {
        HRESULT hr = r.getHr();
        auto list = r.getItems();
        if (FAILED(hr) || !ppItemArray || !r.hasItems()) return hr;
        const ULONG n = list.size();
        if (n > celt) return RPC_E_SERVERFAULT;
        auto items = com::TaskAllocArray<OPCITEMATTRIBUTES>(n);
        if (!items) return E_OUTOFMEMORY;
        for (ULONG i = 0; i < n; ++i) {
          auto in = list[i];
          OPCITEMATTRIBUTES& o = items[i];
          bool ok = SUCCEEDED(TaskStringFromText(in.hasAccessPath(), in.getAccessPath(),
                                                 &o.szAccessPath)) &&
                    SUCCEEDED(TaskStringFromText(in.hasItemId(), in.getItemId(), &o.szItemID));
          o.bActive = in.getActive();
          o.hClient = in.getClient();
          o.hServer = in.getServer();
          o.dwAccessRights = in.getAccessRights();
          auto blob = in.getBlob();
          if (blob.size()) {
            o.pBlob = static_cast<BYTE*>(CoTaskMemAlloc(blob.size()));
            ok = ok && o.pBlob;
            if (o.pBlob) {
              std::memcpy(o.pBlob, blob.begin(), blob.size());
              o.dwBlobSize = static_cast<DWORD>(blob.size());
            }
          }
          o.vtRequestedDataType = in.getRequestedDataType();
          o.vtCanonicalDataType = in.getCanonicalDataType();
          o.dwEUType = static_cast<OPCEUTYPE>(in.getEuType());
          ok = ok && SUCCEEDED(ReadVariant(in.getEuInfo(), &o.vEUInfo));
          if (!ok) {
            FreeAttributes(items.release(), i + 1);
            return RPC_E_SERVERFAULT;
          }
        }
        *ppItemArray = items.release();
        if (pceltFetched) *pceltFetched = n;
        return hr;
      });
    });
  }

  HRESULT Skip(ULONG celt) override {
    return Invoke<WAttrs>([&](WAttrs::Client c) {
      auto q = c.skipRequest();
      q.setCelt(celt);
      return q.send().then([](auto r) { return HRESULT{r.getHr()}; });
    });
  }

  HRESULT Reset() override {
    return Invoke<WAttrs>([&](WAttrs::Client c) {
      return c.resetRequest().send().then([](auto r) { return HRESULT{r.getHr()}; });
    });
  }

  HRESULT Clone(IEnumOPCItemAttributes** ppEnum) override {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = nullptr;
    return Invoke<WAttrs>([&](WAttrs::Client c) {
      return c.cloneRequest().send().then([&](auto r) -> HRESULT {
        if (FAILED(r.getHr()) || !r.hasEnum()) return r.getHr();
        HRESULT hr =
            Import(r.getEnum(), IID_IEnumOPCItemAttributes, reinterpret_cast<void**>(ppEnum));
        return FAILED(hr) ? hr : r.getHr();
      });
    });
  }
};

kj::Promise<void> HandleAttributes(Stub& stub, uint16_t method, Context context) {
  using I = IEnumOPCItemAttributes;
  Apartment& apartment = stub.apartment();
  switch (method) {
    case 0: {  // next
      auto p = context.getParams().getAs<WAttrs::NextParams>();
      const ULONG celt = p.getCelt();
      const bool wantItems = p.getWantItems(), wantFetched = p.getWantFetched();
      context.releaseParams();
      if (celt > kMaxBatch) {
        context.getResults().initAs<WAttrs::NextResults>().setHr(E_INVALIDARG);
        return kj::READY_NOW;
      }
      struct Result {
        HRESULT hr = E_FAIL;
        OPCITEMATTRIBUTES* items = nullptr;
        ULONG fetched = 0;
        ~Result() { FreeAttributes(items, fetched); }
      };
      return Serve<I, Result>(
          stub,
          [=](I* itf, Result& r) {
            r.hr =
                itf->Next(celt, wantItems ? &r.items : nullptr, wantFetched ? &r.fetched : nullptr);
            if (!wantFetched) r.fetched = (r.hr == S_OK && r.items) ? celt : 0;
            if (r.fetched > celt) r.fetched = 0;
          },
          [context](Result& r) mutable {
            auto out = context.getResults().initAs<WAttrs::NextResults>();
            out.setHr(r.hr);
            if (FAILED(r.hr) || !r.items) return;
            auto list = out.initItems(r.fetched);
            for (ULONG i = 0; i < r.fetched; ++i) {
              const OPCITEMATTRIBUTES& a = r.items[i];
              auto w = list[i];
              if (a.szAccessPath) w.setAccessPath(a.szAccessPath);
              if (a.szItemID) w.setItemId(a.szItemID);
              w.setActive(a.bActive);
              w.setClient(a.hClient);
              w.setServer(a.hServer);
              w.setAccessRights(a.dwAccessRights);
              if (a.pBlob && a.dwBlobSize) w.setBlob(capnp::Data::Reader(a.pBlob, a.dwBlobSize));
              w.setRequestedDataType(a.vtRequestedDataType);
              w.setCanonicalDataType(a.vtCanonicalDataType);
              w.setEuType(a.dwEUType);
              if (FAILED(WriteVariant(a.vEUInfo, w.initEuInfo()))) out.setHr(DISP_E_BADVARTYPE);
            }
          });
    }
    case 1: {  // skip
      const ULONG celt = context.getParams().getAs<WAttrs::SkipParams>().getCelt();
      context.releaseParams();
      return Serve<I, HrOnly>(
          stub, [celt](I* itf, HrOnly& r) { r.hr = itf->Skip(celt); },
          [context](HrOnly& r) mutable {
            context.getResults().initAs<WAttrs::SkipResults>().setHr(r.hr);
          });
    }
    case 2:  // reset
      return Serve<I, HrOnly>(
          stub, [](I* itf, HrOnly& r) { r.hr = itf->Reset(); },
          [context](HrOnly& r) mutable {
            context.getResults().initAs<WAttrs::ResetResults>().setHr(r.hr);
          });
    case 3: {  // clone
      struct Result {
        HRESULT hr = E_FAIL;
        OutObject clone;
      };
      return Serve<I, Result>(
          stub,
          [&apartment](I* itf, Result& r) {
            I* clone = nullptr;
            r.hr = itf->Clone(&clone);
            r.clone.object = clone;
            r.clone.apartment = &apartment;
          },
          [context, &apartment](Result& r) mutable {
            auto out = context.getResults().initAs<WAttrs::CloneResults>();
            out.setHr(r.hr);
            if (SUCCEEDED(r.hr) && r.clone.object)
              out.setEnum(Export(r.clone.object, apartment).castAs<WAttrs>());
          });
    }
    default:
      return KJ_EXCEPTION(UNIMPLEMENTED, "IEnumOPCItemAttributes method", method);
  }
}

}  // namespace

void RegisterItemInfoFamily() {
  RegisterFacet(IID_IEnumOPCItemAttributes, &MakeFacet<AttributesProxy>);
  RegisterStubHandler(capnp::typeId<WAttrs>(), &HandleAttributes);
}

}  // namespace zyn::remote
