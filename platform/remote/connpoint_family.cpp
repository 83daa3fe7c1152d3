// Proxies and stubs of IConnectionPointContainer and IConnectionPoint. A sink given to Advise
// travels as a capability of the client's own; the point keeps a proxy of it, whose release
// (Unadvise, or the group's end) drops the capability.

#include "platform/com/connpoint.h"
#include "platform/remote/families.h"
#include "platform/remote/family_util.h"

namespace zyn::remote {
namespace {

using WPoint = wire::ConnectionPoint;
using WContainer = wire::ConnectionPointContainer;

class ConnectionPointProxy final : public Facet<IConnectionPoint> {
 public:
  using Facet::Facet;

  HRESULT GetConnectionInterface(IID* pIID) override {
    if (pIID == nullptr) return E_POINTER;
    return Invoke<WPoint>([&](WPoint::Client c) {
      return c.getConnectionInterfaceRequest().send().then([&](auto r) -> HRESULT {
        if (SUCCEEDED(r.getHr()) && !ReadGuid(r.getIid(), pIID)) return RPC_E_SERVERFAULT;
        return r.getHr();
      });
    });
  }

  HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override {
    if (ppCPC == nullptr) return E_POINTER;
    *ppCPC = nullptr;
    return Invoke<WPoint>([&](WPoint::Client c) {
      return c.getConnectionPointContainerRequest().send().then([&](auto r) -> HRESULT {
        if (FAILED(r.getHr()) || !r.hasContainer()) return r.getHr();
        HRESULT hr = Import(r.getContainer(), IID_IConnectionPointContainer,
                            reinterpret_cast<void**>(ppCPC));
        return FAILED(hr) ? hr : r.getHr();
      });
    });
  }

  HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override {
    if (pdwCookie) *pdwCookie = 0;
    // The sink's calls will run on the apartment of the thread that advises it.
    Apartment& apartment = CallerApartment();
    return Invoke<WPoint>([&](WPoint::Client c) {
      auto request = c.adviseRequest();
      request.setHasSink(pUnkSink != nullptr);
      if (pUnkSink) request.setSink(Export(pUnkSink, apartment));
      request.setWantCookie(pdwCookie != nullptr);
      return request.send().then([&](auto r) -> HRESULT {
        if (pdwCookie) *pdwCookie = r.getCookie();
        return r.getHr();
      });
    });
  }

  HRESULT Unadvise(DWORD dwCookie) override {
    return Invoke<WPoint>([&](WPoint::Client c) {
      auto request = c.unadviseRequest();
      request.setCookie(dwCookie);
      return request.send().then([](auto r) { return HRESULT{r.getHr()}; });
    });
  }

  HRESULT EnumConnections(IEnumConnections** ppEnum) override {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = nullptr;
    return Invoke<WPoint>([&](WPoint::Client c) {
      return c.enumConnectionsRequest().send().then([&](auto r) -> HRESULT {
        if (FAILED(r.getHr()) || !r.hasEnum()) return r.getHr();
        HRESULT hr = Import(r.getEnum(), IID_IEnumConnections, reinterpret_cast<void**>(ppEnum));
        return FAILED(hr) ? hr : r.getHr();
      });
    });
  }
};

class ContainerProxy final : public Facet<IConnectionPointContainer> {
 public:
  using Facet::Facet;

  HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = nullptr;
    return Invoke<WContainer>([&](WContainer::Client c) {
      return c.enumConnectionPointsRequest().send().then([&](auto r) -> HRESULT {
        if (FAILED(r.getHr()) || !r.hasEnum()) return r.getHr();
        HRESULT hr =
            Import(r.getEnum(), IID_IEnumConnectionPoints, reinterpret_cast<void**>(ppEnum));
        return FAILED(hr) ? hr : r.getHr();
      });
    });
  }

  HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override {
    if (ppCP == nullptr) return E_POINTER;
    *ppCP = nullptr;
    return Invoke<WContainer>([&](WContainer::Client c) {
      auto request = c.findConnectionPointRequest();
      WriteGuid(riid, request.initIid(16));
      return request.send().then([&](auto r) -> HRESULT {
        if (FAILED(r.getHr()) || !r.hasPoint()) return r.getHr();
        HRESULT hr = Import(r.getPoint(), IID_IConnectionPoint, reinterpret_cast<void**>(ppCP));
        return FAILED(hr) ? hr : r.getHr();
      });
    });
  }
};

kj::Promise<void> HandlePoint(Stub& stub, uint16_t method, Context context) {
  Apartment& apartment = stub.apartment();
  switch (method) {
    case 0: {  // getConnectionInterface
      struct Result {
        HRESULT hr = E_FAIL;
        IID iid{};
      };
      return Serve<IConnectionPoint, Result>(
          stub,
          [](IConnectionPoint* itf, Result& r) { r.hr = itf->GetConnectionInterface(&r.iid); },
          [context](Result& r) mutable {
            auto out = context.getResults().initAs<WPoint::GetConnectionInterfaceResults>();
            out.setHr(r.hr);
            WriteGuid(r.iid, out.initIid(16));
          });
    }
    case 1: {  // getConnectionPointContainer
      struct Result {
        HRESULT hr = E_FAIL;
        OutObject container;
      };
      return Serve<IConnectionPoint, Result>(
          stub,
          [&apartment](IConnectionPoint* itf, Result& r) {
            IConnectionPointContainer* container = nullptr;
            r.hr = itf->GetConnectionPointContainer(&container);
            r.container.object = container;
            r.container.apartment = &apartment;
          },
          [context, &apartment](Result& r) mutable {
            auto out = context.getResults().initAs<WPoint::GetConnectionPointContainerResults>();
            out.setHr(r.hr);
            if (SUCCEEDED(r.hr) && r.container.object)
              out.setContainer(Export(r.container.object, apartment).castAs<WContainer>());
          });
    }
    case 2: {  // advise
      auto p = context.getParams().getAs<WPoint::AdviseParams>();
      com::ComPtr<IUnknown> sink;
      if (p.getHasSink()) {
        HRESULT hr = Import(p.getSink(), IID_IUnknown, sink.ReleaseAndGetVoidAddressOf());
        if (FAILED(hr)) {
          context.getResults().initAs<WPoint::AdviseResults>().setHr(hr);
          return kj::READY_NOW;
        }
      }
      const bool wantCookie = p.getWantCookie();
      context.releaseParams();
      struct Result {
        HRESULT hr = E_FAIL;
        DWORD cookie = 0;
      };
      return Serve<IConnectionPoint, Result>(
          stub,
          [sink, wantCookie](IConnectionPoint* itf, Result& r) {
            r.hr = itf->Advise(sink.Get(), wantCookie ? &r.cookie : nullptr);
          },
          [context](Result& r) mutable {
            auto out = context.getResults().initAs<WPoint::AdviseResults>();
            out.setHr(r.hr);
            out.setCookie(r.cookie);
          });
    }
    case 3: {  // unadvise
      const DWORD cookie = context.getParams().getAs<WPoint::UnadviseParams>().getCookie();
      context.releaseParams();
      return Serve<IConnectionPoint, HrOnly>(
          stub, [cookie](IConnectionPoint* itf, HrOnly& r) { r.hr = itf->Unadvise(cookie); },
          [context](HrOnly& r) mutable {
            context.getResults().initAs<WPoint::UnadviseResults>().setHr(r.hr);
          });
    }
    case 4: {  // enumConnections
      struct Result {
        HRESULT hr = E_FAIL;
        OutObject enumerator;
      };
      return Serve<IConnectionPoint, Result>(
          stub,
          [&apartment](IConnectionPoint* itf, Result& r) {
            IEnumConnections* found = nullptr;
            r.hr = itf->EnumConnections(&found);
            r.enumerator.object = found;
            r.enumerator.apartment = &apartment;
          },
          [context, &apartment](Result& r) mutable {
            auto out = context.getResults().initAs<WPoint::EnumConnectionsResults>();
            out.setHr(r.hr);
            if (SUCCEEDED(r.hr) && r.enumerator.object)
              out.setEnum(Export(r.enumerator.object, apartment).castAs<wire::EnumConnections>());
          });
    }
    default:
      return KJ_EXCEPTION(UNIMPLEMENTED, "connection point method", method);
  }
}

kj::Promise<void> HandleContainer(Stub& stub, uint16_t method, Context context) {
  Apartment& apartment = stub.apartment();
  if (method == 0) {  // enumConnectionPoints
    struct Result {
      HRESULT hr = E_FAIL;
      OutObject enumerator;
    };
    return Serve<IConnectionPointContainer, Result>(
        stub,
        [&apartment](IConnectionPointContainer* itf, Result& r) {
          IEnumConnectionPoints* found = nullptr;
          r.hr = itf->EnumConnectionPoints(&found);
          r.enumerator.object = found;
          r.enumerator.apartment = &apartment;
        },
        [context, &apartment](Result& r) mutable {
          auto out = context.getResults().initAs<WContainer::EnumConnectionPointsResults>();
          out.setHr(r.hr);
          if (SUCCEEDED(r.hr) && r.enumerator.object)
            out.setEnum(
                Export(r.enumerator.object, apartment).castAs<wire::EnumConnectionPoints>());
        });
  }
  if (method != 1) return KJ_EXCEPTION(UNIMPLEMENTED, "container method", method);
  IID iid;
  const bool ok =
      ReadGuid(context.getParams().getAs<WContainer::FindConnectionPointParams>().getIid(), &iid);
  context.releaseParams();
  struct Result {
    HRESULT hr = E_FAIL;
    OutObject point;
  };
  return Serve<IConnectionPointContainer, Result>(
      stub,
      [ok, iid, &apartment](IConnectionPointContainer* itf, Result& r) {
        IConnectionPoint* point = nullptr;
        r.hr = ok ? itf->FindConnectionPoint(iid, &point) : E_INVALIDARG;
        r.point.object = point;
        r.point.apartment = &apartment;
      },
      [context, &apartment](Result& r) mutable {
        auto out = context.getResults().initAs<WContainer::FindConnectionPointResults>();
        out.setHr(r.hr);
        if (SUCCEEDED(r.hr) && r.point.object)
          out.setPoint(Export(r.point.object, apartment).castAs<WPoint>());
      });
}

}  // namespace

void RegisterConnectionPointFamily() {
  RegisterFacet(IID_IConnectionPoint, &MakeFacet<ConnectionPointProxy>);
  RegisterFacet(IID_IConnectionPointContainer, &MakeFacet<ContainerProxy>);
  RegisterStubHandler(capnp::typeId<WPoint>(), &HandlePoint);
  RegisterStubHandler(capnp::typeId<WContainer>(), &HandleContainer);
}

}  // namespace zyn::remote
