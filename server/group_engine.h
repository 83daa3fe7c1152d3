// GroupEngine: the state of one OPC group that its update thread shares with the group object,
// and the thread itself.
//
// The group object (OpcGroup) and its update thread own the engine together, so a thread that
// could not be stopped in time finishes its cycle on an engine that is still whole.
//
// Locks, in the order they may be taken:
//   mutex (the group lock): the item table, the sampling list, the query and the three value
//     sets. The update thread holds it from taking a request until the callbacks of the cycle
//     have returned, so a method that needs it waits for a running cycle.
//   queueMutex: the request queue; taken inside the group lock by the thread, alone by the
//     methods that queue or cancel.
//   sinkMutex: the thread's own sink list. The thread holds it while it calls the sinks, so
//     once Unadvise has taken a sink out the sink is never called again.
//   registrationMutex: the Global Interface Table registrations of the connected sinks. Kept
//     apart from the sink list so that a group can end while its thread is stuck in a call.
// Settings the thread reads between cycles (rate, active, enable, deadband, client handle) are
// atomics and need no lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "interfaces/opc_da.h"
#include "platform/com/unknown.h"
#include "platform/perf/pdh.h"
#include "server/event_set.h"
#include "server/value_change_set.h"

// One item of a group.
struct ItemRecord {
  std::optional<std::string> accessPath;  // stored and returned, never interpreted
  std::string itemId;                     // the counter path the group samples
  VARTYPE requestedType = VT_EMPTY;
  DWORD blobSize = 0;    // the client's blob, stored and never read
  BYTE* blob = nullptr;  // (never dereferenced)
  bool active = false;
  OPCHANDLE clientHandle = 0;
  PDH_HCOUNTER counter = nullptr;  // null while the counter is not in the group's query
};

// A queued asynchronous read or refresh.
struct AsyncRequest {
  static constexpr long kRefreshFromDevice = -1;
  static constexpr long kRefreshFromCache = -2;

  DWORD transactionId = 0;
  DWORD cancelId = 0;  // 0: cancelled
  std::vector<OPCHANDLE> serverHandles;
  std::vector<PDH_HCOUNTER> counters;  // one slot per item, in the read's own query
  ValueChangeSet values;
  long count = 0;  // kRefreshFromDevice, kRefreshFromCache, or the number of items to read
};

class GroupEngine {
 public:
  enum Event : std::size_t {
    kStop = 0,
    kRateChanged = 1,
    kActiveChanged = 2,
    kSinksChanged = 3,
    kRequestQueued = 4,
    kEventCount = 5,
  };

  static constexpr DWORD kInfiniteRate = 0xFFFFFFFF;
  static constexpr DWORD kMinimumRate = 100;

  // Takes the group's query (opened by the caller), closed when the engine goes.
  GroupEngine(OPCHANDLE serverGroup, PDH_HQUERY query);
  ~GroupEngine();
  GroupEngine(const GroupEngine&) = delete;
  GroupEngine& operator=(const GroupEngine&) = delete;

  // Settings.
  const OPCHANDLE serverGroup;
  std::atomic<DWORD> updateRate{kInfiniteRate};
  std::atomic<bool> active{true};
  std::atomic<bool> enabled{true};
  std::atomic<OPCHANDLE> clientGroup{0};
  std::atomic<LONG> timeBias{0};
  std::atomic<float> percentDeadband{0.0f};
  std::string Name() const;
  void SetName(std::string name);

  // Under the group lock.
  mutable std::mutex mutex;
  PDH_HQUERY query;
  std::map<OPCHANDLE, ItemRecord> items;
  OPCHANDLE lastItemHandle = 0;
  // The items whose counters are in the query, in the order they were added. Each entry
  // carries a copy of what a cycle reads of the item's record, so a cycle walks one compact
  // array instead of reaching into every record of the table; SyncSampling keeps the copies
  // equal to the records.
  struct SamplingEntry {
    OPCHANDLE handle;
    PDH_HCOUNTER counter;
    OPCHANDLE clientHandle;
    bool active;
  };
  std::vector<SamplingEntry> sampling;
  std::unique_ptr<ValueChangeSet> current;
  std::unique_ptr<ValueChangeSet> previous;
  std::unique_ptr<ValueChangeSet> change;

  // Adds the item's counter to the query, appends its handle to the sampling list and
  // collects once so rate counters have a first sample. Under the group lock.
  PDH_STATUS AddToQuery(OPCHANDLE handle, ItemRecord& item);
  // Takes the item's counter out of the query and its handle out of the sampling list: the
  // PDH status, or E_FAIL when the handle was not in the list. Under the group lock.
  HRESULT RemoveFromQuery(OPCHANDLE handle, ItemRecord& item);
  // Copies the item's active flag and client handle into its sampling entry, if it has one.
  // Under the group lock, after every change of either.
  void SyncSampling(OPCHANDLE handle, const ItemRecord& item);
  bool HasActiveItem() const;  // under the group lock

  // Queues a request and signals kRequestQueued; returns its cancel ID.
  DWORD Queue(std::unique_ptr<AsyncRequest> request);
  // Marks the queued request with this cancel ID cancelled; false when there is none.
  bool Cancel(DWORD cancelId);

  // Sinks. A sink is registered in the process's Global Interface Table when it is advised;
  // the thread fetches its own reference from the table.
  HRESULT RegisterSink(DWORD cookie, IUnknown* sink);
  // Takes the sink out of the thread's list and out of the table; it is not called again.
  void UnregisterSink(DWORD cookie);
  // Revokes every registration (the group's end). Does not wait for a callback in progress.
  void UnregisterAllSinks();

  EventSet events{kEventCount};

  // The update thread's body; `self` keeps the engine alive while it runs.
  static void RunUpdateThread(std::shared_ptr<GroupEngine> self);
  // Waits up to `timeout` for RunUpdateThread to have returned.
  bool WaitUntilThreadEnded(std::chrono::milliseconds timeout);

 private:
  struct Registration {
    DWORD cookie;     // the connection point's cookie
    DWORD gitCookie;  // the Global Interface Table's
  };
  struct ThreadSink {
    DWORD cookie;
    com::ComPtr<IOPCDataCallback> sink;
  };
  enum class Wait { kTimed, kUntimed };

  void Run();
  void BuildSinkList();
  // Step 2 of the loop: serves the first request or runs a periodic cycle. `fromRequest` says
  // the wait was woken by kRequestQueued; returns false when there was nothing to do.
  bool CycleStep(bool fromRequest);
  // The cycle kinds, under the group lock; each returns the cycle's result and leaves the set
  // to send in *toSend (null: nothing to send).
  HRESULT PeriodicCycle(ValueChangeSet** toSend);
  HRESULT RefreshFromDevice(ValueChangeSet** toSend);
  HRESULT ReadCycle(AsyncRequest& request, ValueChangeSet** toSend);
  enum class Callback { kDataChange, kReadComplete };
  void Send(Callback kind, DWORD transactionId, HRESULT result, ValueChangeSet& set);

  // The values a periodic cycle read, before it records them; kept to reuse its capacity.
  struct Sample {
    const SamplingEntry* item;
    double value;
  };
  std::vector<Sample> samples_;

  mutable std::mutex nameMutex_;
  std::string name_;

  std::mutex queueMutex_;
  std::deque<std::unique_ptr<AsyncRequest>> queue_;
  DWORD requestCounter_ = 0;

  std::mutex sinkMutex_;
  std::vector<ThreadSink> threadSinks_;
  std::mutex registrationMutex_;
  std::vector<Registration> registrations_;

  std::mutex endedMutex_;
  std::condition_variable endedChanged_;
  bool ended_ = false;
};
