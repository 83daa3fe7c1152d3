// Proxies and stubs of the standard enumerators: IEnumString, IEnumGUID, IEnumUnknown,
// IEnumConnectionPoints and IEnumConnections share one template; a traits class says how one
// element travels.
#include "platform/com/connpoint.h"
#include "platform/com/enum.h"
#include "platform/remote/families.h"
#include "platform/remote/family_util.h"

namespace zyn::remote {
namespace {

// The most elements one Next call may ask for across the wire; a larger request is refused
// before the object is asked, so one call cannot make the server allocate without bound.
constexpr ULONG kMaxBatch = 65536;

struct StringTraits {
  using Out = LPOLESTR;
  static void Discard(Out* item) {
    CoTaskMemFree(*item);
    *item = nullptr;
  }
  template <class List>
  static void ToWire(List list, unsigned i, Out item, Apartment&) {
    if (item) list.set(i, item);
  }
  template <class Reader>
  static HRESULT FromWire(Reader reader, Out* item) {
    *item = com::TaskStrDup(std::string_view(reader.cStr(), reader.size()));
    return *item ? S_OK : E_OUTOFMEMORY;
  }
};

struct GuidTraits {
  using Out = GUID;
  static void Discard(Out* item) { *item = GUID{}; }
  template <class List>
  static void ToWire(List list, unsigned i, Out item, Apartment&) {
    kj::byte scratch[16];
    list.set(i, GuidBytes(item, scratch));
  }
  template <class Reader>
  static HRESULT FromWire(Reader reader, Out* item) {
    return ReadGuid(reader, item) ? S_OK : RPC_E_SERVERFAULT;
  }
};

struct UnknownTraits {
  using Out = IUnknown*;
  static void Discard(Out* item) {
    if (*item) (*item)->Release();
    *item = nullptr;
  }
  template <class List>
  static void ToWire(List list, unsigned i, Out item, Apartment& apartment) {
    if (item) list.set(i, Export(item, apartment));
  }
  template <class Reader>
  static HRESULT FromWire(Reader reader, Out* item) {
    return Import(reader, IID_IUnknown, reinterpret_cast<void**>(item));
  }
};

struct ConnectionPointTraits {
  using Out = IConnectionPoint*;
  static void Discard(Out* item) {
    if (*item) (*item)->Release();
    *item = nullptr;
  }
  template <class List>
  static void ToWire(List list, unsigned i, Out item, Apartment& apartment) {
    if (item) list.set(i, Export(item, apartment).castAs<wire::ConnectionPoint>());
  }
  template <class Reader>
  static HRESULT FromWire(Reader reader, Out* item) {
    return Import(reader, IID_IConnectionPoint, reinterpret_cast<void**>(item));
  }
};

struct ConnectionTraits {
  using Out = CONNECTDATA;
  static void Discard(Out* item) {
    if (item->pUnk) item->pUnk->Release();
    *item = CONNECTDATA{};
  }
  template <class List>
  static void ToWire(List list, unsigned i, Out item, Apartment& apartment) {
    list[i].setCookie(item.dwCookie);
    if (item.pUnk) list[i].setSink(Export(item.pUnk, apartment));
  }
  template <class Reader>
  static HRESULT FromWire(Reader reader, Out* item) {
    *item = CONNECTDATA{nullptr, reader.getCookie()};
    if (!reader.hasSink()) return S_OK;
    return Import(reader.getSink(), IID_IUnknown, reinterpret_cast<void**>(&item->pUnk));
  }
};

template <class I, class W, class Traits>
class EnumProxy final : public Facet<I> {
 public:
  using Out = typename Traits::Out;
  using Facet<I>::Facet;

  HRESULT Next(ULONG celt, Out* rgelt, ULONG* pceltFetched) override {
    if (pceltFetched) *pceltFetched = 0;
    if (rgelt == nullptr) return E_POINTER;
    return this->template Invoke<W>([&](typename W::Client c) {
      auto request = c.nextRequest();
      request.setCelt(celt);
      request.setWantFetched(pceltFetched != nullptr);
      return request.send().then([&](auto r) -> HRESULT {
        auto items = r.getItems();
        if (items.size() > celt) return RPC_E_SERVERFAULT;
        for (unsigned i = 0; i < items.size(); ++i) {
          HRESULT hr = Traits::FromWire(items[i], &rgelt[i]);
          if (FAILED(hr)) {
            for (unsigned j = 0; j < i; ++j)
              Traits::Discard(&rgelt[j]);
            return hr;
          }
        }
        if (pceltFetched) *pceltFetched = items.size();
        return r.getHr();
      });
    });
  }

  HRESULT Skip(ULONG celt) override {
    return this->template Invoke<W>([&](typename W::Client c) {
      auto request = c.skipRequest();
      request.setCelt(celt);
      return request.send().then([](auto r) { return HRESULT{r.getHr()}; });
    });
  }

  HRESULT Reset() override {
    return this->template Invoke<W>([&](typename W::Client c) {
      return c.resetRequest().send().then([](auto r) { return HRESULT{r.getHr()}; });
    });
  }

  HRESULT Clone(I** ppenum) override {
    if (ppenum == nullptr) return E_POINTER;
    *ppenum = nullptr;
    return this->template Invoke<W>([&](typename W::Client c) {
      return c.cloneRequest().send().then([&](auto r) -> HRESULT {
        HRESULT hr = r.getHr();
        if (FAILED(hr) || !r.hasEnum()) return hr;
        HRESULT imported = Import(r.getEnum(), com::IidOf<I>(), reinterpret_cast<void**>(ppenum));
        return FAILED(imported) ? imported : hr;
      });
    });
  }
};

template <class I, class W, class Traits>
kj::Promise<void> HandleEnum(Stub& stub, uint16_t method, Context context) {
  using Out = typename Traits::Out;
  switch (method) {
    case 0: {  // next
      auto p = context.getParams().getAs<typename W::NextParams>();
      const ULONG celt = p.getCelt();
      const bool wantFetched = p.getWantFetched();
      context.releaseParams();
      if (celt > kMaxBatch) {
        context.getResults().template initAs<typename W::NextResults>().setHr(E_INVALIDARG);
        return kj::READY_NOW;
      }
      struct Result {
        HRESULT hr = E_FAIL;
        std::vector<Out> items;
        ULONG fetched = 0;
        ~Result() {
          for (Out& item : items)
            Traits::Discard(&item);
        }
      };
      Apartment& apartment = stub.apartment();
      return Serve<I, Result>(
          stub,
          [celt, wantFetched](I* itf, Result& r) {
            r.items.assign(celt == 0 ? 1 : celt, Out{});
            r.hr = itf->Next(celt, r.items.data(), wantFetched ? &r.fetched : nullptr);
            if (!wantFetched) r.fetched = (celt == 1 && r.hr == S_OK) ? 1 : 0;
            if (FAILED(r.hr) || r.fetched > celt) r.fetched = 0;
          },
          [context, &apartment](Result& r) mutable {
            auto out = context.getResults().template initAs<typename W::NextResults>();
            out.setHr(r.hr);
            auto list = out.initItems(r.fetched);
            for (unsigned i = 0; i < r.fetched; ++i)
              Traits::ToWire(list, i, r.items[i], apartment);
          });
    }
    case 1: {  // skip
      const ULONG celt = context.getParams().getAs<typename W::SkipParams>().getCelt();
      context.releaseParams();
      return Serve<I, HrOnly>(
          stub, [celt](I* itf, HrOnly& r) { r.hr = itf->Skip(celt); },
          [context](HrOnly& r) mutable {
            context.getResults().template initAs<typename W::SkipResults>().setHr(r.hr);
          });
    }
    case 2:  // reset
      return Serve<I, HrOnly>(
          stub, [](I* itf, HrOnly& r) { r.hr = itf->Reset(); },
          [context](HrOnly& r) mutable {
            context.getResults().template initAs<typename W::ResetResults>().setHr(r.hr);
          });
    case 3: {  // clone
      struct Result {
        HRESULT hr = E_FAIL;
        OutObject clone;
      };
      Apartment& apartment = stub.apartment();
      return Serve<I, Result>(
          stub,
          [&apartment](I* itf, Result& r) {
            I* clone = nullptr;
            r.hr = itf->Clone(&clone);
            r.clone.object = clone;
            r.clone.apartment = &apartment;
          },
          [context, &apartment](Result& r) mutable {
            auto out = context.getResults().template initAs<typename W::CloneResults>();
            out.setHr(r.hr);
            if (SUCCEEDED(r.hr) && r.clone.object)
              out.setEnum(Export(r.clone.object, apartment).template castAs<W>());
          });
    }
    default:
      return KJ_EXCEPTION(UNIMPLEMENTED, "unknown enumerator method", method);
  }
}

}  // namespace

void RegisterEnumFamily() {
  RegisterFacet(IID_IEnumString,
                &MakeFacet<EnumProxy<IEnumString, wire::EnumString, StringTraits>>);
  RegisterFacet(IID_IEnumGUID, &MakeFacet<EnumProxy<IEnumGUID, wire::EnumGuid, GuidTraits>>);
  RegisterFacet(IID_IEnumUnknown,
                &MakeFacet<EnumProxy<IEnumUnknown, wire::EnumUnknown, UnknownTraits>>);
  RegisterFacet(
      IID_IEnumConnectionPoints,
      &MakeFacet<
          EnumProxy<IEnumConnectionPoints, wire::EnumConnectionPoints, ConnectionPointTraits>>);
  RegisterFacet(IID_IEnumConnections,
                &MakeFacet<EnumProxy<IEnumConnections, wire::EnumConnections, ConnectionTraits>>);
  RegisterStubHandler(
      capnp::typeId<wire::EnumConnectionPoints>(),
      &HandleEnum<IEnumConnectionPoints, wire::EnumConnectionPoints, ConnectionPointTraits>);
  RegisterStubHandler(capnp::typeId<wire::EnumConnections>(),
                      &HandleEnum<IEnumConnections, wire::EnumConnections, ConnectionTraits>);
  RegisterStubHandler(capnp::typeId<wire::EnumString>(),
                      &HandleEnum<IEnumString, wire::EnumString, StringTraits>);
  RegisterStubHandler(capnp::typeId<wire::EnumGuid>(),
                      &HandleEnum<IEnumGUID, wire::EnumGuid, GuidTraits>);
  RegisterStubHandler(capnp::typeId<wire::EnumUnknown>(),
                      &HandleEnum<IEnumUnknown, wire::EnumUnknown, UnknownTraits>);
}

}  // namespace zyn::remote
