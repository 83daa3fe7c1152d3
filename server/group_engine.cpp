#include "server/group_engine.h"

#include <algorithm>
#include <utility>

#include "platform/com/git.h"

GroupEngine::GroupEngine(OPCHANDLE serverGroupHandle, PDH_HQUERY groupQuery)
    : serverGroup(serverGroupHandle),
      query(groupQuery),
      current(std::make_unique<ValueChangeSet>()),
      previous(std::make_unique<ValueChangeSet>()),
      change(std::make_unique<ValueChangeSet>()) {}

GroupEngine::~GroupEngine() {
  // The last owner runs this, so nobody else can hold the group lock; it is taken anyway so
  // the query is closed the way every other use of it is made.
  std::lock_guard lock(mutex);
  if (query != nullptr) PdhCloseQuery(query);
}

std::string GroupEngine::Name() const {
  std::lock_guard lock(nameMutex_);
  return name_;
}

void GroupEngine::SetName(std::string name) {
  std::lock_guard lock(nameMutex_);
  name_ = std::move(name);
}

PDH_STATUS GroupEngine::AddToQuery(OPCHANDLE handle, ItemRecord& item) {
  PDH_HCOUNTER counter = nullptr;
  PDH_STATUS status = PdhAddCounter(query, item.itemId.c_str(), 0, &counter);
  if (status != ERROR_SUCCESS) return status;
  try {
    sampling.push_back(SamplingEntry{handle, counter, item.clientHandle, item.active});
  } catch (...) {
    PdhRemoveCounter(counter);
    throw;
  }
  item.counter = counter;
  // Rate counters need a sample to compare the first cycle's with.
  PdhCollectQueryData(query);
  return ERROR_SUCCESS;
}

HRESULT GroupEngine::RemoveFromQuery(OPCHANDLE handle, ItemRecord& item) {
  HRESULT hr = static_cast<HRESULT>(PdhRemoveCounter(item.counter));
  item.counter = nullptr;
  auto it = std::find_if(sampling.begin(), sampling.end(),
                         [handle](const SamplingEntry& e) { return e.handle == handle; });
  if (it == sampling.end()) return E_FAIL;
  sampling.erase(it);
  return hr;
}

void GroupEngine::SyncSampling(OPCHANDLE handle, const ItemRecord& item) {
  for (SamplingEntry& entry : sampling) {
    if (entry.handle == handle) {
      entry.clientHandle = item.clientHandle;
      entry.active = item.active;
      return;
    }
  }
}

bool GroupEngine::HasActiveItem() const {
  return std::any_of(items.begin(), items.end(),
                     [](const auto& entry) { return entry.second.active; });
}

DWORD GroupEngine::Queue(std::unique_ptr<AsyncRequest> request) {
  DWORD cancelId;
  {
    std::lock_guard lock(queueMutex_);
    // Cancel IDs count up from 1; 0 means "cancelled", so it is skipped when they wrap.
    cancelId = ++requestCounter_;
    if (cancelId == 0) cancelId = ++requestCounter_;
    request->cancelId = cancelId;
    queue_.push_back(std::move(request));
  }
  events.Set(kRequestQueued);
  return cancelId;
}

bool GroupEngine::Cancel(DWORD cancelId) {
  std::lock_guard lock(queueMutex_);
  for (auto& request : queue_) {
    if (request->cancelId == cancelId) {
      request->cancelId = 0;
      return true;
    }
  }
  return false;
}

HRESULT GroupEngine::RegisterSink(DWORD cookie, IUnknown* sink) {
  com::ComPtr<com::GlobalInterfaceTable> git = com::GetGlobalInterfaceTable();
  DWORD gitCookie = 0;
  HRESULT hr = git->RegisterInterfaceInGlobal(sink, IID_IOPCDataCallback, &gitCookie);
  if (FAILED(hr)) return hr;
  try {
    std::lock_guard lock(registrationMutex_);
    registrations_.push_back(Registration{cookie, gitCookie});
  } catch (...) {
    git->RevokeInterfaceFromGlobal(gitCookie);
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

void GroupEngine::UnregisterSink(DWORD cookie) {
  std::optional<DWORD> gitCookie;
  com::ComPtr<IOPCDataCallback> proxy;  // released after the lock
  {
    // Waits for a callback in progress: once this returns the sink is not called again.
    std::lock_guard lock(sinkMutex_);
    {
      std::lock_guard registrationLock(registrationMutex_);
      auto reg = std::find_if(registrations_.begin(), registrations_.end(),
                              [cookie](const Registration& r) { return r.cookie == cookie; });
      if (reg != registrations_.end()) {
        gitCookie = reg->gitCookie;
        registrations_.erase(reg);
      }
    }
    auto own = std::find_if(threadSinks_.begin(), threadSinks_.end(),
                            [cookie](const ThreadSink& s) { return s.cookie == cookie; });
    if (own != threadSinks_.end()) {
      proxy = std::move(own->sink);
      threadSinks_.erase(own);
    }
  }
  if (gitCookie) com::GetGlobalInterfaceTable()->RevokeInterfaceFromGlobal(*gitCookie);
}

void GroupEngine::UnregisterAllSinks() {
  // The thread's own references go when the thread ends (or with the engine).
  std::vector<Registration> registrations;
  {
    std::lock_guard lock(registrationMutex_);
    registrations.swap(registrations_);
  }
  com::ComPtr<com::GlobalInterfaceTable> git = com::GetGlobalInterfaceTable();
  for (const Registration& r : registrations)
    git->RevokeInterfaceFromGlobal(r.gitCookie);
}

void GroupEngine::BuildSinkList() {
  com::ComPtr<com::GlobalInterfaceTable> git = com::GetGlobalInterfaceTable();
  std::vector<ThreadSink> old;  // released after the lock
  std::lock_guard lock(sinkMutex_);
  std::vector<Registration> registrations;
  {
    std::lock_guard registrationLock(registrationMutex_);
    registrations = registrations_;
  }
  std::vector<ThreadSink> fresh;
  fresh.reserve(registrations.size());
  for (const Registration& r : registrations) {
    com::ComPtr<IOPCDataCallback> proxy;
    if (SUCCEEDED(git->GetInterfaceFromGlobal(r.gitCookie, IID_IOPCDataCallback,
                                              proxy.ReleaseAndGetVoidAddressOf()))) {
      fresh.push_back(ThreadSink{r.cookie, std::move(proxy)});
    }
  }
  old.swap(threadSinks_);
  threadSinks_.swap(fresh);
}

bool GroupEngine::WaitUntilThreadEnded(std::chrono::milliseconds timeout) {
  std::unique_lock lock(endedMutex_);
  return endedChanged_.wait_for(lock, timeout, [this] { return ended_; });
}
