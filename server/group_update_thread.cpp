// The update thread of a group: its waits, and the cycles it runs between them.
#include <chrono>
#include <cmath>
#include <thread>

#include "server/catalogue.h"
#include "server/group_engine.h"
#include "server/huv_exception.h"

namespace {

using Clock = std::chrono::steady_clock;

// The PDH outcomes of a collection that end a cycle: a dead query fails the cycle, a query
// without data ends it quietly.
bool CollectionEndsCycle(PDH_STATUS status, HRESULT* result) {
  if (status == PDH_INVALID_HANDLE) {
    *result = E_FAIL;
    return true;
  }
  if (status == PDH_NO_DATA) {
    *result = S_OK;
    return true;
  }
  return false;
}

// Closes a query of the thread's own when it leaves scope.
class ScopedQuery {
 public:
  ScopedQuery() = default;
  ~ScopedQuery() {
    if (query_ != nullptr) PdhCloseQuery(query_);
  }
  ScopedQuery(const ScopedQuery&) = delete;
  ScopedQuery& operator=(const ScopedQuery&) = delete;
  PDH_STATUS Open() { return PdhOpenQuery(nullptr, 0, &query_); }
  PDH_HQUERY get() const { return query_; }

 private:
  PDH_HQUERY query_ = nullptr;
};

}  // namespace

void GroupEngine::RunUpdateThread(std::shared_ptr<GroupEngine> self) {
  self->Run();
  std::vector<ThreadSink> proxies;  // the thread's own references, released here
  {
    std::lock_guard lock(self->sinkMutex_);
    proxies.swap(self->threadSinks_);
  }
  proxies.clear();
  {
    std::lock_guard lock(self->endedMutex_);
    self->ended_ = true;
  }
  self->endedChanged_.notify_all();
}

void GroupEngine::Run() {
  // Our objects and the transport's proxies can be called from any thread, so the thread has
  // no apartment to join: its own sink references are all it needs.

  // Changes signalled before the thread existed are already part of what it starts from.
  events.Reset(kRateChanged);
  events.Reset(kActiveChanged);
  events.Reset(kSinksChanged);
  BuildSinkList();

  enum class Step { kCycle, kTimed, kUntimed };
  Step step = Step::kCycle;
  // Set when a request signal woke a wait: the cycle step then only serves a request and,
  // finding none, goes back to that wait.
  bool fromRequest = false;
  Step requestWait = Step::kTimed;
  // When the last timed-out wait ended, i.e. when the running period began.
  std::optional<Clock::time_point> cycleStart;

  for (;;) {
    switch (step) {
      case Step::kCycle: {
        bool ran = CycleStep(fromRequest);
        if (!ran && fromRequest) {
          step = requestWait;
        } else {
          step = active ? Step::kTimed : Step::kUntimed;
        }
        fromRequest = false;
        // Requests queued while the thread was busy share one signal; keep it up until the
        // queue is empty so none waits for an unrelated wake-up.
        {
          std::lock_guard lock(queueMutex_);
          if (!queue_.empty()) events.Set(kRequestQueued);
        }
        break;
      }

      case Step::kTimed: {
        std::optional<Clock::time_point> due;
        const DWORD rate = updateRate;
        const auto period = std::chrono::milliseconds(rate);
        if (rate != kInfiniteRate) due = (cycleStart ? *cycleStart : Clock::now()) + period;
        const int event = due ? events.WaitUntil(*due) : events.Wait(std::nullopt);
        if (event != EventSet::kTimeout) events.Reset(static_cast<std::size_t>(event));
        switch (event) {
          case EventSet::kTimeout: {
            // The next period is counted from when this one was due, not from when the thread
            // woke: waking a little late every time would stretch each period, and groups of
            // one rate would drift into the same instant and queue behind each other. A
            // thread behind by a whole period starts afresh instead of catching up.
            const Clock::time_point now = Clock::now();
            cycleStart = now - *due < period ? *due : now;
            step = Step::kCycle;
            break;
          }
          case kStop:
            return;
          case kRateChanged:
            // The next cycle runs at once and a full period follows it.
            cycleStart.reset();
            step = Step::kCycle;
            break;
          case kActiveChanged:
            // Normally a deactivation: wait untimed. A group deactivated and activated again
            // before the thread looked is simply active, and gets its cycle at once.
            cycleStart.reset();
            step = active ? Step::kCycle : Step::kUntimed;
            break;
          case kSinksChanged:
            BuildSinkList();
            step = Step::kCycle;
            break;
          case kRequestQueued:
            fromRequest = true;
            requestWait = Step::kTimed;
            step = Step::kCycle;
            break;
        }
        break;
      }

      case Step::kUntimed: {
        const int event = events.Wait(std::nullopt);
        events.Reset(static_cast<std::size_t>(event));
        switch (event) {
          case kStop:
            return;
          case kRateChanged:
            break;  // the new rate applies once the group is active again
          case kSinksChanged:
            BuildSinkList();
            break;
          case kActiveChanged:
            step = Step::kCycle;
            break;
          case kRequestQueued:
            fromRequest = true;
            requestWait = Step::kUntimed;
            step = Step::kCycle;
            break;
        }
        break;
      }
    }
  }
}

bool GroupEngine::CycleStep(bool fromRequest) {
  std::lock_guard lock(mutex);
  std::unique_ptr<AsyncRequest> request;
  {
    std::lock_guard queueLock(queueMutex_);
    if (!queue_.empty()) {
      request = std::move(queue_.front());
      queue_.pop_front();
    }
  }
  if (request && request->cancelId == 0) {
    // A cancelled request is dropped without a word to the client (no OnCancelComplete) and
    // a periodic cycle runs in its place, unless the group is inactive: an inactive group
    // sends nothing unasked.
    request.reset();
    if (!active) return true;
  } else if (!request) {
    if (fromRequest || !active) return false;
  }

  try {
    ValueChangeSet* toSend = nullptr;
    HRESULT result = S_OK;
    if (!request) {
      result = PeriodicCycle(&toSend);
      if (toSend && !toSend->Empty() && enabled) Send(Callback::kDataChange, 0, result, *toSend);
    } else if (request->count == AsyncRequest::kRefreshFromDevice) {
      result = RefreshFromDevice(&toSend);
      if (toSend && !toSend->Empty())
        Send(Callback::kDataChange, request->transactionId, result, *toSend);
    } else if (request->count == AsyncRequest::kRefreshFromCache) {
      if (!current->Empty()) Send(Callback::kDataChange, request->transactionId, S_OK, *current);
    } else {
      result = ReadCycle(*request, &toSend);
      if (toSend && !toSend->Empty())
        Send(Callback::kReadComplete, request->transactionId, result, *toSend);
    }
  } catch (...) {
    // A failure inside a cycle ends that cycle without a callback; the thread goes on.
  }
  return true;
}

HRESULT GroupEngine::PeriodicCycle(ValueChangeSet** toSend) {
  HRESULT result = S_OK;
  if (CollectionEndsCycle(PdhCollectQueryData(query), &result)) return result;

  // The set that was current becomes the one the deadband compares with; the oldest set is
  // reused (emptied) as the new current one.
  change->Clear();
  std::swap(previous, current);
  current->Clear();
  *toSend = change.get();

  // The counters are read first, in one pass like any sampler's, and recorded after, so the
  // library's data and the sets do not take turns in the cache.
  samples_.clear();
  for (const SamplingEntry& item : sampling) {
    double value;
    if (item.active && SampleCounter(item.counter, &value)) samples_.push_back({&item, value});
  }

  const double deadband = percentDeadband;
  try {
    for (const Sample& sample : samples_) {
      const SamplingEntry& item = *sample.item;
      PDH_FMT_COUNTERVALUE value{};
      value.doubleValue = sample.value;
      const std::size_t index =
          current->Append(item.clientHandle, item.handle, value, PDH_FMT_DOUBLE);
      if (deadband > 0) {
        std::size_t p = previous->Find(item.handle, index);
        if (p != ValueChangeSet::npos) {
          const double x = sample.value;
          const double before = previous->Value(p).dblVal;
          const bool suppressed =
              x == 0 ? before == 0 : std::abs((before - x) / x * 100.0) <= deadband;
          if (suppressed) continue;
        }
      }
      // The value sent is the entry just recorded, time stamp included.
      change->AppendFrom(*current, index);
    }
  } catch (const HUVException& e) {
    // What was recorded before the failure is still sent, with the failure as the result.
    result = e.Result();
  }
  return result;
}

HRESULT GroupEngine::RefreshFromDevice(ValueChangeSet** toSend) {
  HRESULT result = S_OK;
  if (CollectionEndsCycle(PdhCollectQueryData(query), &result)) return result;
  current->Clear();
  *toSend = current.get();
  try {
    for (const SamplingEntry& item : sampling) {
      if (!item.active) continue;
      PDH_FMT_COUNTERVALUE value{};
      if (!SampleCounter(item.counter, &value.doubleValue)) continue;
      current->Append(item.clientHandle, item.handle, value, PDH_FMT_DOUBLE);
    }
  } catch (const HUVException& e) {
    result = e.Result();
  }
  return result;
}

HRESULT GroupEngine::ReadCycle(AsyncRequest& request, ValueChangeSet** toSend) {
  ScopedQuery readQuery;
  if (readQuery.Open() != ERROR_SUCCESS) return E_FAIL;
  request.counters.assign(request.serverHandles.size(), nullptr);
  for (std::size_t i = 0; i < request.serverHandles.size(); ++i) {
    auto it = items.find(request.serverHandles[i]);
    // An item removed since the read was queued fails the read as a whole.
    if (it == items.end()) return E_FAIL;
    if (PdhAddCounter(readQuery.get(), it->second.itemId.c_str(), 0, &request.counters[i]) !=
        ERROR_SUCCESS) {
      return E_FAIL;
    }
  }
  HRESULT result = S_OK;
  if (CollectionEndsCycle(PdhCollectQueryData(readQuery.get()), &result)) return result;
  // Rate counters need two samples some time apart.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (CollectionEndsCycle(PdhCollectQueryData(readQuery.get()), &result)) return result;

  *toSend = &request.values;
  try {
    for (std::size_t i = 0; i < request.serverHandles.size(); ++i) {
      const ItemRecord& item = items.at(request.serverHandles[i]);
      if (!item.active) continue;
      PDH_FMT_COUNTERVALUE value{};
      if (!SampleCounter(request.counters[i], &value.doubleValue)) continue;
      request.values.Append(item.clientHandle, request.serverHandles[i], value, PDH_FMT_DOUBLE,
                            current.get());
    }
  } catch (const HUVException& e) {
    result = e.Result();
  }
  for (PDH_HCOUNTER counter : request.counters)
    PdhRemoveCounter(counter);
  return result;
}

void GroupEngine::Send(Callback kind, DWORD transactionId, HRESULT result, ValueChangeSet& set) {
  const OPCHANDLE group = clientGroup;
  std::lock_guard lock(sinkMutex_);
  set.ForArrays([&](const ValueChangeSet::Arrays& a) {
    for (const ThreadSink& entry : threadSinks_) {
      com::ComPtr<IOPCDataCallback> sink = entry.sink;  // held for the length of the call
      try {
        if (kind == Callback::kDataChange) {
          sink->OnDataChange(transactionId, group, S_OK, result, a.count, a.clientHandles, a.values,
                             a.qualities, a.timestamps, a.errors);
        } else {
          sink->OnReadComplete(transactionId, group, S_OK, result, a.count, a.clientHandles,
                               a.values, a.qualities, a.timestamps, a.errors);
        }
      } catch (...) {
        // A sink's result, and whatever it throws, is ignored; the other sinks are called.
      }
    }
  });
}
