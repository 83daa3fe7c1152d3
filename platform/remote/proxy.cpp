#include "platform/remote/proxy.h"

#include <utility>

#include "platform/com/object.h"
#include "platform/remote/stub.h"
#include "platform/remote/values.h"

namespace zyn::remote {
namespace {

// Answered only by RemoteObject, to find the proxy behind an interface pointer.
constexpr IID kIidRemoteObject = com::Guid("5D0B6C47-2F43-4C1E-9B2E-6A0D8E3E7F11");

struct FacetRegistry {
  std::mutex mutex;
  std::map<IID, FacetFactory> factories;
};

FacetRegistry& Facets() {
  static FacetRegistry registry;
  return registry;
}

FacetFactory FindFactory(REFIID iid) {
  FacetRegistry& registry = Facets();
  std::lock_guard lock(registry.mutex);
  auto it = registry.factories.find(iid);
  return it == registry.factories.end() ? nullptr : it->second;
}

}  // namespace

void RegisterFacet(REFIID iid, FacetFactory factory) {
  FacetRegistry& registry = Facets();
  std::lock_guard lock(registry.mutex);
  registry.factories[iid] = factory;
}

RemoteObject::RemoteObject(wire::Object::Client cap)
    : cap_(std::make_unique<wire::Object::Client>(kj::mv(cap))) {}

RemoteObject::~RemoteObject() {
  facets_.clear();
  IoThread& io = IoThread::Get();
  if (io.OnThisThread()) {
    cap_.reset();
  } else if (io.IsLive()) {
    io.Post([cap = std::move(cap_)]() mutable { cap.reset(); });
  } else {
    // The loop has ended (process exit): the capability cannot be touched any more; its
    // memory goes with the process.
    static_cast<void>(cap_.release());
  }
}

ULONG RemoteObject::AddRef() {
  return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG RemoteObject::Release() {
  ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}

RemoteObject* RemoteObject::From(IUnknown* unknown) {
  if (unknown == nullptr) return nullptr;
  void* found = nullptr;
  if (FAILED(unknown->QueryInterface(kIidRemoteObject, &found)) || found == nullptr) return nullptr;
  auto* object = static_cast<RemoteObject*>(found);
  object->Release();
  return object;
}

void RemoteObject::AssumeInterface(REFIID riid) {
  FacetFactory factory = FindFactory(riid);
  if (factory == nullptr) return;
  std::lock_guard lock(mutex_);
  if (!facets_.count(riid)) facets_.emplace(riid, factory(*this));
}

HRESULT RemoteObject::FacetFor(REFIID riid, void** ppv) {
  std::lock_guard lock(mutex_);
  auto it = facets_.find(riid);
  if (it == facets_.end()) return E_NOINTERFACE;
  IUnknown* facet = it->second->AsUnknown();
  facet->AddRef();
  *ppv = facet;
  return S_OK;
}

HRESULT RemoteObject::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == kIidRemoteObject) {
    AddRef();
    *ppv = static_cast<IUnknown*>(this);
    return S_OK;
  }
  if (SUCCEEDED(FacetFor(riid, ppv))) return S_OK;
  FacetFactory factory = FindFactory(riid);
  if (factory == nullptr) return E_NOINTERFACE;
  // Ask the object itself once; the answer is kept as the facet.
  HRESULT hr;
  try {
    IoThread& io = IoThread::Get();
    if (!io.IsLive()) return RPC_E_DISCONNECTED;
    hr = io.Run([&]() -> kj::Promise<HRESULT> {
      auto request = cap_->queryInterfaceRequest();
      WriteGuid(riid, request.initIid(16));
      return request.send().then([](auto response) { return HRESULT{response.getHr()}; });
    });
  } catch (const kj::Exception& e) {
    return HrFromException(e);
  }
  if (FAILED(hr)) return hr;
  AssumeInterface(riid);
  return FacetFor(riid, ppv);
}

HRESULT Import(wire::Object::Client cap, REFIID riid, void** ppv, bool offered) {
  RegisterMarshalling();
  *ppv = nullptr;
  com::ComPtr<RemoteObject> object = com::MakeObject<RemoteObject>(kj::mv(cap));
  if (!object) return E_OUTOFMEMORY;
  if (offered) object->AssumeInterface(riid);
  return object->QueryInterface(riid, ppv);
}

}  // namespace zyn::remote
