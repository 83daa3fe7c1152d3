// The client side of a remote object: RemoteObject holds the capability and answers
// QueryInterface; each interface it offers is a facet (a proxy implementing the C++ interface)
// that shares the object's reference count, so the identity rules of QueryInterface hold for
// a proxy as for a local object.
//
// A proxy may be called from any thread: each call is handed to the I/O thread, which sends
// it, and the calling thread waits for the answer. Out-arrays and strings arrive allocated
// with the task allocator, as from a local object. The capability, and with it the one
// reference the remote object keeps for this client, goes when the last reference here goes.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "platform/com/unknown.h"
#include "platform/remote/com.capnp.h"
#include "platform/remote/errors.h"
#include "platform/remote/io_thread.h"

namespace zyn::remote {

class RemoteObject;

// The part of a facet RemoteObject keeps.
class FacetBase {
 public:
  virtual ~FacetBase() = default;
  virtual IUnknown* AsUnknown() = 0;
};

class RemoteObject final : public IUnknown {
 public:
  // Loop thread only: adopts a capability.
  explicit RemoteObject(wire::Object::Client cap);

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // Loop thread only.
  wire::Object::Client& Cap() { return *cap_; }

  // The RemoteObject behind an interface pointer, or null when the pointer is no proxy.
  static RemoteObject* From(IUnknown* unknown);

  // Marks iid as known to be offered (the sender said so); saves a round trip.
  void AssumeInterface(REFIID riid);

 private:
  ~RemoteObject();
  HRESULT FacetFor(REFIID riid, void** ppv);

  std::atomic<ULONG> refs_{0};
  std::unique_ptr<wire::Object::Client> cap_;
  std::mutex mutex_;
  std::map<IID, std::unique_ptr<FacetBase>> facets_;
};

// A facet: implements interface I by forwarding to the remote object.
template <class I>
class Facet : public I, public FacetBase {
 public:
  explicit Facet(RemoteObject& owner) : owner_(owner) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return owner_.QueryInterface(riid, ppv);
  }
  ULONG AddRef() override { return owner_.AddRef(); }
  ULONG Release() override { return owner_.Release(); }
  IUnknown* AsUnknown() override { return this; }

 protected:
  // Runs send(client) on the I/O thread, where it builds the request and returns the promise
  // of the call's HRESULT (reading its out-values in the continuation); waits for it here.
  // A lost connection or a malformed answer becomes the transport's HRESULT.
  template <class W, class Send>
  HRESULT Invoke(Send&& send) {
    try {
      IoThread& io = IoThread::Get();
      if (!io.IsLive()) return RPC_E_DISCONNECTED;
      return io.Run(
          [&]() -> kj::Promise<HRESULT> { return send(owner_.Cap().template castAs<W>()); });
    } catch (const kj::Exception& e) {
      return HrFromException(e);
    }
  }

  RemoteObject& owner_;
};

using FacetFactory = std::unique_ptr<FacetBase> (*)(RemoteObject& owner);
// Tells RemoteObject how to make the facet of iid. Every proxy family registers its
// interfaces once (see marshal.cpp).
void RegisterFacet(REFIID iid, FacetFactory factory);

template <class P>
std::unique_ptr<FacetBase> MakeFacet(RemoteObject& owner) {
  return std::make_unique<P>(owner);
}

// Loop thread: a proxy for cap, queried for riid (E_NOINTERFACE when this process has no
// proxy for riid or the object does not offer it; the answer is then known without asking
// when `offered` is true). A null capability gives S_OK and null.
HRESULT Import(wire::Object::Client cap, REFIID riid, void** ppv, bool offered = true);

}  // namespace zyn::remote
