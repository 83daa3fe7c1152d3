// The server side of a remote object: one Stub per capability handed out, holding one
// reference on the object. Calls arrive on the I/O thread by Cap'n Proto interface id; the
// handler of that interface decodes the parameters into owned values there, runs the call on
// the object's apartment, and encodes the results back on the I/O thread. So neither the
// message nor a capability is ever touched off the I/O thread, and a call cancelled by a lost
// connection leaves the apartment nothing dangling to write to.
//
// QueryInterface is answered on the I/O thread: it only asks the object which interfaces it
// has (every object of this runtime answers that without locks or waiting), and answering it
// there keeps a server that queries a client's sink from blocking on the client's busy thread.
#pragma once

#include <capnp/capability.h>

#include <functional>
#include <memory>

#include "platform/com/unknown.h"
#include "platform/remote/apartment.h"
#include "platform/remote/com.capnp.h"

namespace zyn::remote {

using Context = capnp::CallContext<capnp::AnyPointer, capnp::AnyPointer>;

class Stub final : public capnp::Capability::Server {
 public:
  Stub(com::ComPtr<IUnknown> object, Apartment& apartment);
  // Hands the reference to the apartment, which releases it there.
  ~Stub();

  DispatchCallResult dispatchCall(uint64_t interfaceId, uint16_t methodId,
                                  Context context) override;

  // Runs work(itf) on the apartment, with itf the object queried for I (null when it does not
  // offer I; the handler then answers E_NOINTERFACE); the promise resolves on the I/O thread.
  template <class I>
  kj::Promise<void> OnApartment(std::function<void(I* itf)> work) {
    return Post([work = std::move(work)](IUnknown* object) {
      com::ComPtr<I> itf;
      if (FAILED(object->QueryInterface(com::IidOf<I>(), itf.ReleaseAndGetVoidAddressOf())))
        itf = nullptr;
      work(itf.Get());
    });
  }

  Apartment& apartment() { return apartment_; }

 private:
  kj::Promise<void> Post(std::function<void(IUnknown*)> work);

  com::ComPtr<IUnknown> object_;
  Apartment& apartment_;
};

// Handles the calls of one Cap'n Proto interface on a stub.
using StubHandler = kj::Promise<void> (*)(Stub& stub, uint16_t methodId, Context context);
void RegisterStubHandler(uint64_t interfaceId, StubHandler handler);

// Loop thread: the capability that hands object out from apartment (the proxy's own
// capability when object is a proxy). A null object gives a null capability.
wire::Object::Client Export(IUnknown* object, Apartment& apartment);

// Registers every proxy and stub family once; Export and Import call it.
void RegisterMarshalling();

}  // namespace zyn::remote
