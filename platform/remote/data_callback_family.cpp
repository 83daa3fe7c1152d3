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
// The group's thread builds each data change and hands it to the I/O thread without waiting
// for it to be sent or answered: a client that keeps up costs the group thread no wake-up
// beyond its own timer. Callbacks of one group still arrive, and are queued, in order (a read
// completion, which waits, goes after the data changes handed over before it), and only two
// may be unanswered, so a slow client holds its groups back instead of letting calls pile up.
#include <condition_variable>
#include <mutex>
#include <utility>

#include <capnp/message.h>
#include <kj/function.h>

#include "platform/remote/families.h"
#include "platform/remote/family_util.h"
#include "platform/remote/opc_records.h"

namespace zyn::remote {
namespace {

using W = wire::OpcDataCallback;

// The data changes a sink has not acknowledged yet, and the first failure among the answers
// since it was last asked.
class PendingAnswers {
 public:
  // Waits until fewer than `limit` calls are unanswered; the failure the answers brought,
  // if any.
  HRESULT AwaitRoom(int limit) {
    std::unique_lock lock(mutex_);
    answered_.wait(lock, [this, limit] { return unanswered_ < limit; });
    return std::exchange(failure_, S_OK);
  }
  void Sent() {
    std::lock_guard lock(mutex_);
    ++unanswered_;
  }
  void Answered(HRESULT result) {
    {
      std::lock_guard lock(mutex_);
      --unanswered_;
      if (FAILED(result) && SUCCEEDED(failure_)) failure_ = result;
    }
    answered_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable answered_;
  int unanswered_ = 0;
  HRESULT failure_ = S_OK;
};

class DataCallbackProxy final : public Facet<IOPCDataCallback> {
 public:
  using Facet::Facet;

  static constexpr int kMaxUnanswered = 2;

  // Builds the call here and hands it to the I/O thread without waiting; answers with the
  // failure an earlier call's answer brought, or S_OK. A connection that is gone fails the
  // call at once, as it would a waiting one.
  HRESULT OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                       HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                       VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                       HRESULT* pErrors) override {
    const HRESULT earlier = pending_->AwaitRoom(kMaxUnanswered);
    auto change = kj::heap<capnp::MallocMessageBuilder>();
    const HRESULT hr = WriteDataChange(dwTransid, hGroup, hrMasterquality, hrMastererror, dwCount,
                                       phClientItems, pvValues, pwQualities, pftTimeStamps, pErrors,
                                       change->initRoot<wire::DataChange>());
    if (FAILED(hr)) return hr;
    pending_->Sent();
    // Whatever becomes of the call, its answer is counted: the guard runs when the answer
    // arrives, and also when the call cannot be made or is dropped unmade or unanswered as the
    // loop ends, so no group thread waits for it forever.
    auto outcome = std::make_shared<HRESULT>(RPC_E_DISCONNECTED);
    auto counted = kj::defer([pending = pending_, outcome] { pending->Answered(*outcome); });
    const bool posted =
        IoThread::Get().Post([self = com::ComPtr<DataCallbackProxy>(this), change = kj::mv(change),
                              outcome, counted = kj::mv(counted)]() mutable {
          auto q = self->owner_.Cap().castAs<W>().onDataChangeRequest();
          q.setChange(change->getRoot<wire::DataChange>().asReader());
          IoThread::Get().Tasks().add(
              q.send()
                  .then([outcome](auto r) { *outcome = HRESULT{r.getHr()}; },
                        [outcome](kj::Exception&& e) { *outcome = HrFromException(e); })
                  .attach(kj::mv(counted)));
        });
    // A call the ended loop refused is kept, guard and all, until the process ends.
    if (!posted) {
      pending_->Answered(RPC_E_DISCONNECTED);
      return RPC_E_DISCONNECTED;
    }
    return earlier;
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

 private:
  // Shared with the call in flight, which may end after the proxy is gone.
  std::shared_ptr<PendingAnswers> pending_ = std::make_shared<PendingAnswers>();
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
