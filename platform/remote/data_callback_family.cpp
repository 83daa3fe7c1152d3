// Proxy and stub of IOPCDataCallback, the client's sink on a group.
//
// Two ways are known to keep a client's blocked thread and a group's update thread from
// waiting on each other (the client calls the group and waits while the group, holding its
// lock, calls the client's sink, whose call waits for that same client thread): let the
// blocked thread run queued callbacks while it waits, or let the sink's stub answer as soon as
// the call is queued. We take the second. The group ignores what a callback returns, so
// answering S_OK at once loses nothing; and the client's thread never runs a callback in the
// middle of its own half-done operation, which a re-entrant wait would allow.
//
// The group's thread itself sends each callback through the I/O thread and waits for that
// acknowledgement, so callbacks of one group arrive, and are queued, in order.
#include "platform/remote/families.h"
#include "platform/remote/family_util.h"
#include "platform/remote/opc_records.h"

namespace zyn::remote {
namespace {

using W = wire::OpcDataCallback;

class DataCallbackProxy final : public Facet<IOPCDataCallback> {
 public:
  using Facet::Facet;

  HRESULT OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                       HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                       VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                       HRESULT* pErrors) override {
    return Invoke<W>([&](W::Client c) -> kj::Promise<HRESULT> {
      auto q = c.onDataChangeRequest();
      HRESULT hr =
          WriteDataChange(dwTransid, hGroup, hrMasterquality, hrMastererror, dwCount, phClientItems,
                          pvValues, pwQualities, pftTimeStamps, pErrors, q.initChange());
      if (FAILED(hr)) return hr;
      return q.send().then([](auto r) { return HRESULT{r.getHr()}; });
    });
  }

  HRESULT OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                         HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                         VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                         HRESULT* pErrors) override {
    return Invoke<W>([&](W::Client c) -> kj::Promise<HRESULT> {
      auto q = c.onReadCompleteRequest();
      HRESULT hr =
          WriteDataChange(dwTransid, hGroup, hrMasterquality, hrMastererror, dwCount, phClientItems,
                          pvValues, pwQualities, pftTimeStamps, pErrors, q.initChange());
      if (FAILED(hr)) return hr;
      return q.send().then([](auto r) { return HRESULT{r.getHr()}; });
    });
  }

  HRESULT OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr, DWORD dwCount,
                          OPCHANDLE* pClienthandles, HRESULT* pErrors) override {
    return Invoke<W>([&](W::Client c) {
      auto q = c.onWriteCompleteRequest();
      q.setTransid(dwTransid);
      q.setGroup(hGroup);
      q.setMasterError(hrMastererr);
      const DWORD n = (pClienthandles && pErrors) ? dwCount : 0;
      q.setCount(n);
      auto handles = q.initClientHandles(n);
      auto errors = q.initErrors(n);
      for (DWORD i = 0; i < n; ++i) {
        handles.set(i, pClienthandles[i]);
        errors.set(i, pErrors[i]);
      }
      return q.send().then([](auto r) { return HRESULT{r.getHr()}; });
    });
  }

  HRESULT OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) override {
    return Invoke<W>([&](W::Client c) {
      auto q = c.onCancelCompleteRequest();
      q.setTransid(dwTransid);
      q.setGroup(hGroup);
      return q.send().then([](auto r) { return HRESULT{r.getHr()}; });
    });
  }
};

// Queues work for the sink's apartment without waiting for it.
void Queue(Stub& stub, std::function<void(IOPCDataCallback*)> work) {
  stub.OnApartment<IOPCDataCallback>([work = std::move(work)](IOPCDataCallback* sink) {
        if (sink) work(sink);
      })
      .detach([](kj::Exception&&) {});
}

kj::Promise<void> HandleCallback(Stub& stub, uint16_t method, Context context) {
  HRESULT answer = S_OK;
  switch (method) {
    case 0:    // onDataChange
    case 1: {  // onReadComplete
      auto change = std::make_shared<DataChangeCopy>();
      const bool ok =
          method == 0
              ? change->Read(context.getParams().getAs<W::OnDataChangeParams>().getChange())
              : change->Read(context.getParams().getAs<W::OnReadCompleteParams>().getChange());
      context.releaseParams();
      if (ok) {
        Queue(stub, [change, method](IOPCDataCallback* sink) {
          DataChangeCopy& c = *change;
          auto call =
              method == 0 ? &IOPCDataCallback::OnDataChange : &IOPCDataCallback::OnReadComplete;
          (sink->*call)(c.transid, c.group, c.masterQuality, c.masterError, c.count,
                        c.clientItems.data(), c.values.data(), c.qualities.data(),
                        c.timeStamps.data(), c.errors.data());
        });
      } else {
        answer = E_INVALIDARG;
      }
      if (method == 0)
        context.getResults().initAs<W::OnDataChangeResults>().setHr(answer);
      else
        context.getResults().initAs<W::OnReadCompleteResults>().setHr(answer);
      return kj::READY_NOW;
    }
    case 2: {  // onWriteComplete
      auto p = context.getParams().getAs<W::OnWriteCompleteParams>();
      const DWORD transid = p.getTransid(), count = p.getCount();
      const OPCHANDLE group = p.getGroup();
      const HRESULT master = p.getMasterError();
      auto handles = p.getClientHandles();
      auto errors = p.getErrors();
      if (handles.size() < count || errors.size() < count) {
        answer = E_INVALIDARG;
      } else {
        auto h = SharedCopy<OPCHANDLE>(handles, count);
        auto e = SharedCopy<HRESULT>(errors, count);
        Queue(stub, [=](IOPCDataCallback* sink) {
          sink->OnWriteComplete(transid, group, master, count, h->data(), e->data());
        });
      }
      context.releaseParams();
      context.getResults().initAs<W::OnWriteCompleteResults>().setHr(answer);
      return kj::READY_NOW;
    }
    case 3: {  // onCancelComplete
      auto p = context.getParams().getAs<W::OnCancelCompleteParams>();
      const DWORD transid = p.getTransid();
      const OPCHANDLE group = p.getGroup();
      context.releaseParams();
      Queue(stub, [=](IOPCDataCallback* sink) { sink->OnCancelComplete(transid, group); });
      context.getResults().initAs<W::OnCancelCompleteResults>().setHr(S_OK);
      return kj::READY_NOW;
    }
    default:
      return KJ_EXCEPTION(UNIMPLEMENTED, "IOPCDataCallback method", method);
  }
}

}  // namespace

void RegisterDataCallbackFamily() {
  RegisterFacet(IID_IOPCDataCallback, &MakeFacet<DataCallbackProxy>);
  RegisterStubHandler(capnp::typeId<W>(), &HandleCallback);
}

}  // namespace zyn::remote
