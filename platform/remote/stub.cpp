#include "platform/remote/stub.h"

#include <kj/debug.h>

#include <map>
#include <mutex>

#include "platform/remote/proxy.h"
#include "platform/remote/values.h"

namespace zyn::remote {
namespace {

struct HandlerRegistry {
  std::mutex mutex;
  std::map<uint64_t, StubHandler> handlers;
};

HandlerRegistry& Handlers() {
  static HandlerRegistry registry;
  return registry;
}

StubHandler FindHandler(uint64_t interfaceId) {
  HandlerRegistry& registry = Handlers();
  std::lock_guard lock(registry.mutex);
  auto it = registry.handlers.find(interfaceId);
  return it == registry.handlers.end() ? nullptr : it->second;
}

}  // namespace

void RegisterStubHandler(uint64_t interfaceId, StubHandler handler) {
  HandlerRegistry& registry = Handlers();
  std::lock_guard lock(registry.mutex);
  registry.handlers[interfaceId] = handler;
}

Stub::Stub(com::ComPtr<IUnknown> object, Apartment& apartment)
    : object_(std::move(object)), apartment_(apartment) {}

Stub::~Stub() {
  apartment_.Post([object = std::move(object_)]() mutable { object.Reset(); });
}

kj::Promise<void> Stub::Post(std::function<void(IUnknown*)> work) {
  auto paf = kj::newPromiseAndCrossThreadFulfiller<void>();
  auto fulfiller =
      std::make_shared<kj::Own<kj::CrossThreadPromiseFulfiller<void>>>(kj::mv(paf.fulfiller));
  apartment_.Post([object = object_, work = std::move(work), fulfiller]() mutable {
    KJ_IF_MAYBE (e, kj::runCatchingExceptions([&]() { work(object.Get()); })) {
      (*fulfiller)->reject(kj::mv(*e));
    } else {
      (*fulfiller)->fulfill();
    }
    object.Reset();
  });
  return kj::mv(paf.promise);
}

Stub::DispatchCallResult Stub::dispatchCall(uint64_t interfaceId, uint16_t methodId,
                                            Context context) {
  if (interfaceId == capnp::typeId<wire::Object>()) {
    if (methodId != 0) return internalUnimplemented("Object", interfaceId, methodId);
    GUID iid;
    auto params = context.getParams().getAs<wire::Object::QueryInterfaceParams>();
    HRESULT hr = E_NOINTERFACE;
    if (ReadGuid(params.getIid(), &iid)) {
      com::ComPtr<IUnknown> itf;
      hr = object_->QueryInterface(iid, itf.ReleaseAndGetVoidAddressOf());
    }
    context.releaseParams();
    context.getResults().initAs<wire::Object::QueryInterfaceResults>().setHr(hr);
    return {kj::READY_NOW, false};
  }
  StubHandler handler = FindHandler(interfaceId);
  if (handler == nullptr) return internalUnimplemented("zynwatch object", interfaceId, methodId);
  return {handler(*this, methodId, context), false};
}

wire::Object::Client Export(IUnknown* object, Apartment& apartment) {
  RegisterMarshalling();
  if (RemoteObject* proxy = RemoteObject::From(object)) return proxy->Cap();
  com::ComPtr<IUnknown> identity;
  object->QueryInterface(IID_IUnknown, identity.ReleaseAndGetVoidAddressOf());
  capnp::Capability::Client cap = kj::heap<Stub>(std::move(identity), apartment);
  return cap.castAs<wire::Object>();
}

}  // namespace zyn::remote
