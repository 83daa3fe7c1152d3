// The group object: its life, settings, reads and refreshes, and the data-callback connection
// point. The item methods are in opc_group_items.cpp, the update thread in
// group_update_thread.cpp.
#include "server/opc_group.h"

#include <chrono>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/com/taskmem.h"
#include "server/catalogue.h"
#include "server/group_calls.h"
#include "server/group_engine.h"

namespace {

// How long Shutdown gives the update thread to end.
constexpr std::chrono::milliseconds kThreadStopTimeout{5000};

}  // namespace

com::ComPtr<OpcGroup> OpcGroup::Create(GroupHost* host, OPCHANDLE hServerGroup, LCID locale) {
  PDH_HQUERY query = nullptr;
  if (PdhOpenQuery(nullptr, 0, &query) != ERROR_SUCCESS) return nullptr;
  std::shared_ptr<GroupEngine> engine;
  try {
    engine = std::make_shared<GroupEngine>(hServerGroup, query);
  } catch (const std::bad_alloc&) {
    PdhCloseQuery(query);
    return nullptr;
  }
  try {
    return com::MakeObject<OpcGroup>(Key{}, host, hServerGroup, locale, std::move(engine));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

OpcGroup::OpcGroup(Key, GroupHost* host, OPCHANDLE /*hServerGroup*/, LCID locale,
                   std::shared_ptr<GroupEngine> engine)
    : engine_(std::move(engine)),
      locale_(locale),
      host_(host),
      dataCallback_(
          static_cast<IConnectionPointContainer*>(this), IID_IOPCDataCallback,
          com::ConnectionPoint::Options{
              com::ConnectionPoint::kUnlimited,
              [this](DWORD cookie, IUnknown* sink) { return OnSinkAdvised(cookie, sink); },
              [this](DWORD cookie, IUnknown*) { OnSinkUnadvised(cookie); }}) {}

std::string OpcGroup::Name() const {
  return engine_->Name();
}

void OpcGroup::MarkRemoved() {
  removed_ = true;
}

bool OpcGroup::IsRemoved() const {
  return removed_;
}

void OpcGroup::Shutdown() {
  std::thread thread;
  {
    std::lock_guard lock(lifeMutex_);
    if (shutDown_) return;
    shutDown_ = true;
    thread = std::move(thread_);
  }
  host_ = nullptr;
  if (!thread.joinable()) return;
  engine_->events.Set(GroupEngine::kStop);
  if (thread.get_id() == std::this_thread::get_id()) {
    // The last reference went inside a callback of the thread itself: it stops as soon as
    // the callback returns, on the engine it owns.
    thread.detach();
  } else if (engine_->WaitUntilThreadEnded(kThreadStopTimeout)) {
    thread.join();
  } else {
    // Stuck, most likely in a client's callback. It owns the engine and its sink references,
    // so it may finish whenever that call returns; nothing it touches is freed before.
    thread.detach();
  }
}

void OpcGroup::OnFinalRelease() {
  Shutdown();
  // The connection point releases the sinks themselves when it is destroyed; the requests
  // still queued and the value sets go with the engine.
  engine_->UnregisterAllSinks();
}

// IOPCGroupStateMgt

HRESULT OpcGroup::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                           FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                           OPCHANDLE* phServerGroup) {
  if (ppName) *ppName = nullptr;
  if (!pUpdateRate || !pActive || !ppName || !pTimeBias || !pPercentDeadband || !pLCID ||
      !phClientGroup || !phServerGroup) {
    return E_POINTER;
  }
  return GuardGroupCall([&]() -> HRESULT {
    LPWSTR name = com::TaskStrDup(engine_->Name());
    if (name == nullptr) return E_OUTOFMEMORY;
    *ppName = name;
    *pUpdateRate = engine_->updateRate;
    *pActive = engine_->active ? TRUE : FALSE;
    *pTimeBias = engine_->timeBias;
    *pPercentDeadband = engine_->percentDeadband;
    *pLCID = locale_;
    *phClientGroup = engine_->clientGroup;
    *phServerGroup = engine_->serverGroup;
    return S_OK;
  });
}

HRESULT OpcGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                           LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* /*pLCID*/,
                           OPCHANDLE* phClientGroup) {
  // Checked first so that a call that cannot report the rate changes nothing.
  if (pRevisedUpdateRate == nullptr) return E_POINTER;
  HRESULT result = S_OK;
  if (pActive != nullptr) {
    const bool active = *pActive != FALSE;
    if (active != engine_->active) {
      engine_->active = active;
      engine_->events.Set(GroupEngine::kActiveChanged);
    }
  }
  if (pTimeBias != nullptr) engine_->timeBias = *pTimeBias;
  // Any value is accepted, as given; a deadband of 0 or less sends every value.
  if (pPercentDeadband != nullptr) engine_->percentDeadband = *pPercentDeadband;
  if (pRequestedUpdateRate != nullptr && *pRequestedUpdateRate != engine_->updateRate) {
    DWORD rate = *pRequestedUpdateRate;
    if (rate < GroupEngine::kMinimumRate) {
      rate = GroupEngine::kMinimumRate;
      result = OPC_S_UNSUPPORTEDRATE;
    }
    engine_->updateRate = rate;
    engine_->events.Set(GroupEngine::kRateChanged);
  }
  *pRevisedUpdateRate = engine_->updateRate;
  if (phClientGroup != nullptr) engine_->clientGroup = *phClientGroup;
  return result;
}

HRESULT OpcGroup::SetName(LPCWSTR szName) {
  if (szName == nullptr) return E_INVALIDARG;
  return GuardGroupCall([&]() -> HRESULT {
    std::string name(szName);
    if (name.empty()) {
      // Handles print as signed 32-bit numbers, as clients have always seen them.
      name = "Group: C" + std::to_string(static_cast<std::int32_t>(engine_->clientGroup.load())) +
             "S" + std::to_string(static_cast<std::int32_t>(engine_->serverGroup));
    } else if (GroupHost* host = host_; host != nullptr && host->IsGroupNameInTable(name)) {
      // This group's own name counts as well once it is in the table.
      return OPC_E_DUPLICATENAME;
    }
    engine_->SetName(std::move(name));
    return S_OK;
  });
}

HRESULT OpcGroup::CloneGroup(LPCWSTR /*szName*/, REFIID /*riid*/, IUnknown** ppUnk) {
  if (ppUnk) *ppUnk = nullptr;
  return E_NOTIMPL;
}

// IOPCSyncIO

HRESULT OpcGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                       OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) {
  if (ppItemValues) *ppItemValues = nullptr;
  if (ppErrors) *ppErrors = nullptr;
  if (dwCount == 0 || !phServer || !ppItemValues || !ppErrors) return E_INVALIDARG;
  if (dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE) return E_INVALIDARG;
  if (dwSource == OPC_DS_CACHE) return E_NOTIMPL;

  return GuardGroupCall([&]() -> HRESULT {
    auto states = com::TaskAllocArray<OPCITEMSTATE>(dwCount);
    auto errors = com::TaskAllocArray<HRESULT>(dwCount);
    if (!states || !errors) return E_OUTOFMEMORY;

    // The paths of the known items, sampled together in a query of their own.
    std::vector<std::string> paths;
    std::vector<DWORD> pathOf(dwCount, 0);  // index into paths
    {
      std::lock_guard lock(engine_->mutex);
      for (DWORD i = 0; i < dwCount; ++i) {
        auto it = engine_->items.find(phServer[i]);
        if (it == engine_->items.end()) {
          errors[i] = OPC_E_INVALIDHANDLE;
          continue;
        }
        states[i].hClient = it->second.clientHandle;
        pathOf[i] = static_cast<DWORD>(paths.size());
        paths.push_back(it->second.itemId);
      }
    }
    std::vector<DWORD> types;
    std::vector<PDH_FMT_COUNTERVALUE> values;
    std::vector<PDH_STATUS> statuses;
    if (!paths.empty() && FAILED(ReadCountersOnce(paths, &types, &values, &statuses))) {
      return E_FAIL;
    }

    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    bool anyFailed = false;
    for (DWORD i = 0; i < dwCount; ++i) {
      OPCITEMSTATE& state = states[i];
      VariantInit(&state.vDataValue);
      if (errors[i] == S_OK) {
        const DWORD p = pathOf[i];
        const bool usable =
            statuses[p] == ERROR_SUCCESS && (values[p].CStatus == PDH_CSTATUS_VALID_DATA ||
                                             values[p].CStatus == PDH_CSTATUS_NEW_DATA);
        if (usable) {
          state.ftTimeStamp = now;
          state.wQuality = OPC_QUALITY_GOOD;
          state.vDataValue.vt = VT_R8;
          state.vDataValue.dblVal = values[p].doubleValue;
          continue;
        }
        errors[i] = E_FAIL;
      }
      // A bad value: the client handle stays (0 for an unknown handle), no time, no value.
      state.ftTimeStamp = FILETIME{0, 0};
      state.wQuality = OPC_QUALITY_BAD;
      anyFailed = true;
    }
    *ppItemValues = states.release();
    *ppErrors = errors.release();
    return anyFailed ? S_FALSE : S_OK;
  });
}

HRESULT OpcGroup::Write(DWORD /*dwCount*/, OPCHANDLE* /*phServer*/, VARIANT* /*pItemValues*/,
                        HRESULT** ppErrors) {
  if (ppErrors) *ppErrors = nullptr;
  return E_NOTIMPL;
}

// IOPCAsyncIO2

HRESULT OpcGroup::RequireSink() const {
  return dataCallback_.ConnectionCount() == 0 ? CONNECT_E_NOCONNECTION : S_OK;
}

HRESULT OpcGroup::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID,
                       DWORD* pdwCancelID, HRESULT** ppErrors) {
  if (ppErrors) *ppErrors = nullptr;
  if (HRESULT hr = RequireSink(); FAILED(hr)) return hr;
  if (dwCount == 0 || !phServer || !pdwCancelID || !ppErrors) return E_INVALIDARG;
  *pdwCancelID = 0;
  if (!Sampling()) return E_FAIL;

  return GuardGroupCall([&]() -> HRESULT {
    auto errors = com::TaskAllocArray<HRESULT>(dwCount);
    if (!errors) return E_OUTOFMEMORY;
    auto request = std::make_unique<AsyncRequest>();
    request->transactionId = dwTransactionID;
    bool anyFailed = false;
    {
      std::lock_guard lock(engine_->mutex);
      for (DWORD i = 0; i < dwCount; ++i) {
        if (engine_->items.count(phServer[i]) == 0) {
          errors[i] = OPC_E_INVALIDHANDLE;
          anyFailed = true;
        } else {
          request->serverHandles.push_back(phServer[i]);
        }
      }
    }
    request->count = static_cast<long>(request->serverHandles.size());
    if (request->count > 0) *pdwCancelID = engine_->Queue(std::move(request));
    *ppErrors = errors.release();
    return anyFailed ? S_FALSE : S_OK;
  });
}

HRESULT OpcGroup::Write(DWORD /*dwCount*/, OPCHANDLE* /*phServer*/, VARIANT* /*pItemValues*/,
                        DWORD /*dwTransactionID*/, DWORD* pdwCancelID, HRESULT** ppErrors) {
  if (ppErrors) *ppErrors = nullptr;
  if (pdwCancelID) *pdwCancelID = 0;
  if (HRESULT hr = RequireSink(); FAILED(hr)) return hr;
  return E_NOTIMPL;
}

HRESULT OpcGroup::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) {
  if (HRESULT hr = RequireSink(); FAILED(hr)) return hr;
  if ((dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE) || pdwCancelID == nullptr)
    return E_INVALIDARG;
  *pdwCancelID = 0;
  if (!Sampling()) return E_FAIL;
  if (!engine_->active) return E_FAIL;
  return GuardGroupCall([&]() -> HRESULT {
    {
      std::lock_guard lock(engine_->mutex);
      if (!engine_->HasActiveItem()) return E_FAIL;
    }
    auto request = std::make_unique<AsyncRequest>();
    request->transactionId = dwTransactionID;
    request->count = dwSource == OPC_DS_DEVICE ? AsyncRequest::kRefreshFromDevice
                                               : AsyncRequest::kRefreshFromCache;
    *pdwCancelID = engine_->Queue(std::move(request));
    return S_OK;
  });
}

HRESULT OpcGroup::Cancel2(DWORD dwCancelID) {
  if (HRESULT hr = RequireSink(); FAILED(hr)) return hr;
  if (dwCancelID == 0) return E_INVALIDARG;
  return engine_->Cancel(dwCancelID) ? S_OK : E_FAIL;
}

HRESULT OpcGroup::SetEnable(BOOL bEnable) {
  if (HRESULT hr = RequireSink(); FAILED(hr)) return hr;
  engine_->enabled = bEnable != FALSE;
  return S_OK;
}

HRESULT OpcGroup::GetEnable(BOOL* pbEnable) {
  if (HRESULT hr = RequireSink(); FAILED(hr)) return hr;
  if (pbEnable == nullptr) return E_FAIL;
  *pbEnable = engine_->enabled ? TRUE : FALSE;
  return S_OK;
}

// IConnectionPointContainer

HRESULT OpcGroup::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
  return com::EnumConnectionPoints({&dataCallback_}, ppEnum);
}

HRESULT OpcGroup::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
  return com::FindConnectionPoint({&dataCallback_}, riid, ppCP);
}

HRESULT OpcGroup::OnSinkAdvised(DWORD cookie, IUnknown* sink) {
  std::lock_guard lock(lifeMutex_);
  // A group that was shut down no longer samples and takes no new sinks.
  if (shutDown_) return E_FAIL;
  if (HRESULT hr = engine_->RegisterSink(cookie, sink); FAILED(hr)) return hr;
  if (thread_.joinable()) {
    engine_->events.Set(GroupEngine::kSinksChanged);
    return S_OK;
  }
  try {
    thread_ = std::thread(GroupEngine::RunUpdateThread, engine_);
  } catch (const std::system_error&) {
    engine_->UnregisterSink(cookie);
    return E_FAIL;
  }
  threadStarted_ = true;
  return S_OK;
}

void OpcGroup::OnSinkUnadvised(DWORD cookie) {
  engine_->UnregisterSink(cookie);
}
