#include "server/opc_server.h"

#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "platform/com/enum.h"
#include "platform/com/filetime.h"
#include "platform/com/taskmem.h"
#include "platform/com/variant.h"
#include "server/catalogue.h"
#include "server/error_strings.h"
#include "server/huv_exception.h"

namespace {

// A text argument as a view; a missing text reads as empty.
std::string_view Text(LPCWSTR text) {
  return text ? std::string_view(text) : std::string_view();
}

// The three properties every counter has.
struct ItemProperty {
  DWORD id;
  std::string_view description;
  VARTYPE type;
};
constexpr DWORD kCounterTypeProperty = 5000;
constexpr ItemProperty kItemProperties[] = {
    {OPC_PROP_CDT, "Canonical Datatype", VT_I2},
    {OPC_PROP_RIGHTS, "Access Rights", VT_I4},
    {kCounterTypeProperty, "Type of Counter", VT_I4},
};
constexpr std::size_t kItemPropertyCount = std::size(kItemProperties);

// A task-allocated array of task-allocated texts being filled: what it holds is freed unless it
// is handed to the caller.
class TaskStringArray {
 public:
  explicit TaskStringArray(std::size_t count)
      : strings_(com::TaskAllocArray<LPWSTR>(count)), count_(count) {}
  ~TaskStringArray() {
    if (!strings_) return;
    for (std::size_t i = 0; i < count_; ++i)
      CoTaskMemFree(strings_[i]);
  }
  TaskStringArray(const TaskStringArray&) = delete;
  TaskStringArray& operator=(const TaskStringArray&) = delete;

  explicit operator bool() const { return strings_ != nullptr; }
  // Stores a copy of text at index i; false when memory runs out.
  bool Set(std::size_t i, std::string_view text) {
    strings_[i] = com::TaskStrDup(text);
    return strings_[i] != nullptr;
  }
  [[nodiscard]] LPWSTR* release() { return strings_.release(); }

 private:
  com::TaskMem<LPWSTR[]> strings_;
  std::size_t count_;
};

HRESULT CopyErrorText(HRESULT code, LPWSTR* ppString) {
  if (ppString == nullptr) return E_POINTER;
  *ppString = com::TaskStrDup(OpcErrorText(code));
  return *ppString ? S_OK : E_OUTOFMEMORY;
}

bool ScopeAdmits(OPCENUMSCOPE scope, bool isPublic) {
  switch (scope) {
    case OPC_ENUM_PRIVATE_CONNECTIONS:
    case OPC_ENUM_PRIVATE:
      return !isPublic;
    case OPC_ENUM_PUBLIC_CONNECTIONS:
    case OPC_ENUM_PUBLIC:
      return isPublic;
    case OPC_ENUM_ALL_CONNECTIONS:
    case OPC_ENUM_ALL:
      return true;
  }
  return false;
}

}  // namespace

// Walks the live group table of its server: groups added after the enumerator was made are
// met when the walk reaches their handles, removed ones are passed over. The position is the
// next handle to look at, so changes of the table never invalidate it.
class GroupEnumerator final : public com::ComObject<IEnumUnknown> {
 public:
  GroupEnumerator(com::ComPtr<OpcServer> server, OPCENUMSCOPE scope)
      : server_(std::move(server)), scope_(scope) {}

  HRESULT Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) override {
    if (pceltFetched) *pceltFetched = 0;
    if (rgelt == nullptr) return E_POINTER;
    if (pceltFetched == nullptr && celt != 1) return E_INVALIDARG;
    if (celt == 0) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    ULONG fetched = 0;
    while (fetched < celt) {
      OPCHANDLE handle = 0;
      com::ComPtr<OpcGroup> group = server_->NextGroup(position_, scope_, &handle);
      if (!group) break;
      position_ = std::uint64_t{handle} + 1;
      // The reference NextGroup took becomes the caller's.
      rgelt[fetched++] = group.Detach()->Identity();
    }
    if (pceltFetched) *pceltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
  }

  HRESULT Skip(ULONG celt) override {
    if (celt == 0) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    ULONG skipped = 0;
    position_ = server_->SkipGroups(position_, celt, &skipped);
    return skipped == celt ? S_OK : S_FALSE;
  }

  HRESULT Reset() override {
    std::lock_guard lock(mutex_);
    position_ = 0;
    return S_OK;
  }

  HRESULT Clone(IEnumUnknown** ppenum) override {
    if (ppenum) *ppenum = nullptr;
    return E_NOTIMPL;
  }

 private:
  const ModuleLockHolder processLock_;
  const com::ComPtr<OpcServer> server_;
  const OPCENUMSCOPE scope_;
  std::mutex mutex_;
  std::uint64_t position_ = 0;
};

com::ComPtr<OpcServer> OpcServer::Create() {
  try {
    return com::MakeObject<OpcServer>();
  } catch (...) {
    return nullptr;
  }
}

OpcServer::OpcServer() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  status_.ftStartTime = now;
  status_.ftCurrentTime = now;
  status_.ftLastUpdateTime = now;
  status_.dwServerState = OPC_STATUS_RUNNING;
  status_.dwGroupCount = 0;
  status_.dwBandWidth = 0xFFFFFFFF;
  status_.wMajorVersion = kMajorVersion;
  status_.wMinorVersion = kMinorVersion;
  status_.wBuildNumber = kBuildNumber;
  // The vendor text is copied into each record GetStatus hands out.
  status_.szVendorInfo = nullptr;
  // Last, so that a constructor that fails never leaves an entry behind.
  ClientList::Process().Add(this);
}

OpcServer::~OpcServer() {
  // No client holds this object any more, but a client may still hold some of its groups:
  // each is detached, so its thread stops and it never reaches this object again.
  GroupTable groups;
  {
    std::lock_guard lock(mutex_);
    groups.swap(groups_);
    status_.dwGroupCount = 0;
  }
  for (auto& [handle, group] : groups)
    group->Shutdown();
  groups.clear();

  SendShutdownRequest(kShutdownReason);
  try {
    ClientList::Process().Remove(this);
  } catch (...) {
    // Only the tooltip text can fail to be rebuilt; the entry itself is gone.
  }
}

// IOPCServer

HRESULT OpcServer::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                            OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                            DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                            REFIID riid, IUnknown** ppUnk) {
  auto clearOutputs = [&] {
    if (phServerGroup) *phServerGroup = 0;
    if (pRevisedUpdateRate) *pRevisedUpdateRate = 0;
    if (ppUnk) *ppUnk = nullptr;
  };
  clearOutputs();
  if (!szName || !phServerGroup || !pRevisedUpdateRate || !ppUnk) return E_POINTER;

  const HRESULT hr = GuardHResult([&]() -> HRESULT {
    std::lock_guard lock(mutex_);
    const OPCHANDLE handle = lastGroupHandle_ + 1;
    com::ComPtr<OpcGroup> group = OpcGroup::Create(this, handle, ServerLocale());
    if (!group) return E_OUTOFMEMORY;
    lastGroupHandle_ = handle;
    *phServerGroup = handle;

    // The name goes first, so a generated name carries client handle 0.
    ThrowIfFailed(group->SetName(szName));
    DWORD requestedRate = dwRequestedUpdateRate;
    BOOL active = bActive;
    DWORD lcid = dwLCID;
    OPCHANDLE clientHandle = hClientGroup;
    ThrowIfFailed(group->SetState(&requestedRate, pRevisedUpdateRate, &active, pTimeBias,
                                  pPercentDeadband, &lcid, &clientHandle));

    // The interface is obtained before the group joins the table: a failure then leaves no
    // group behind that the client has no handle for.
    com::ComPtr<IUnknown> unknown;
    ThrowIfFailed(group->QueryInterface(riid, unknown.ReleaseAndGetVoidAddressOf()));
    groups_.emplace(handle, std::move(group));
    ++status_.dwGroupCount;
    *ppUnk = unknown.Detach();
    // A revised rate is reported through *pRevisedUpdateRate, not through the result.
    return S_OK;
  });
  if (FAILED(hr)) clearOutputs();
  return hr;
}

HRESULT OpcServer::GetErrorString(HRESULT dwError, LCID /*dwLocale*/, LPWSTR* ppString) {
  return GuardHResult([&] { return CopyErrorText(dwError, ppString); });
}

HRESULT OpcServer::GetGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) {
  if (ppUnk == nullptr) return E_POINTER;
  *ppUnk = nullptr;
  return GuardHResult([&]() -> HRESULT {
    if (szName == nullptr) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    for (auto& [handle, group] : groups_) {
      if (group->Name() == szName)
        return group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    }
    return E_INVALIDARG;
  });
}

HRESULT OpcServer::GetStatus(OPCSERVERSTATUS** ppServerStatus) {
  if (ppServerStatus == nullptr) return E_POINTER;
  *ppServerStatus = nullptr;
  return GuardHResult([&]() -> HRESULT {
    com::TaskMem<OPCSERVERSTATUS[]> record = com::TaskAllocArray<OPCSERVERSTATUS>(1);
    com::TaskMem<char[]> vendor(com::TaskStrDup(kVendorInfo));
    if (!record || !vendor) return E_OUTOFMEMORY;
    std::lock_guard lock(mutex_);
    GetSystemTimeAsFileTime(&status_.ftCurrentTime);
    record[0] = status_;
    record[0].szVendorInfo = vendor.release();
    *ppServerStatus = record.release();
    return S_OK;
  });
}

HRESULT OpcServer::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) {
  return GuardHResult([&]() -> HRESULT {
    com::ComPtr<OpcGroup> group;
    HRESULT result = S_OK;
    {
      std::lock_guard lock(mutex_);
      if (hServerGroup == 0) return OPC_E_INVALIDHANDLE;
      if (groups_.empty()) return E_FAIL;
      auto it = groups_.find(hServerGroup);
      if (it == groups_.end()) return OPC_E_INVALIDHANDLE;
      if (it->second->IsPublic()) return E_INVALIDARG;
      // The table holds one reference; any other is the client's.
      result = it->second->RefCount() >= 2 ? OPC_S_INUSE : S_OK;
      it->second->MarkRemoved();
      group = std::move(it->second);
      groups_.erase(it);
      --status_.dwGroupCount;
    }
    // Out of the table, the group must not reach this object again: it may end first.
    group->DetachHost();
    // Outside the lock: stopping a group waits for its thread, which may be calling a client
    // that calls this object.
    if (bForce) group->Shutdown();
    group.Reset();
    return result;
  });
}

HRESULT OpcServer::CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, IUnknown** ppUnk) {
  if (ppUnk == nullptr) return E_POINTER;
  *ppUnk = nullptr;
  return GuardHResult([&]() -> HRESULT {
    if (riid != IID_IEnumUnknown) return E_NOINTERFACE;
    com::ComPtr<GroupEnumerator> enumerator =
        com::MakeObject<GroupEnumerator>(com::ComPtr<OpcServer>(this), dwScope);
    if (!enumerator) return E_OUTOFMEMORY;
    *ppUnk = enumerator.Detach()->Identity();
    return S_OK;
  });
}

com::ComPtr<OpcGroup> OpcServer::NextGroup(std::uint64_t from, OPCENUMSCOPE scope,
                                           OPCHANDLE* handle) const {
  if (from > std::numeric_limits<OPCHANDLE>::max()) return nullptr;
  std::lock_guard lock(mutex_);
  for (auto it = groups_.lower_bound(static_cast<OPCHANDLE>(from)); it != groups_.end(); ++it) {
    const com::ComPtr<OpcGroup>& group = it->second;
    if (group->IsRemoved() || !ScopeAdmits(scope, group->IsPublic())) continue;
    *handle = it->first;
    return group;
  }
  return nullptr;
}

std::uint64_t OpcServer::SkipGroups(std::uint64_t from, ULONG count, ULONG* skipped) const {
  *skipped = 0;
  if (from > std::numeric_limits<OPCHANDLE>::max()) return from;
  std::lock_guard lock(mutex_);
  auto it = groups_.lower_bound(static_cast<OPCHANDLE>(from));
  std::uint64_t position = from;
  while (*skipped < count && it != groups_.end()) {
    position = std::uint64_t{it->first} + 1;
    ++it;
    ++*skipped;
  }
  return position;
}

// IOPCCommon

HRESULT OpcServer::SetLocaleID(LCID dwLcid) {
  return GuardHResult([&] {
    // The server speaks one language only, so there is nothing to store.
    return dwLcid == 0 || dwLcid == ServerLocale() ? S_OK : E_INVALIDARG;
  });
}

HRESULT OpcServer::GetLocaleID(LCID* pdwLcid) {
  if (pdwLcid == nullptr) return E_POINTER;
  return GuardHResult([&] {
    *pdwLcid = ServerLocale();
    return S_OK;
  });
}

HRESULT OpcServer::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) {
  if (pdwCount) *pdwCount = 0;
  if (pdwLcid) *pdwLcid = nullptr;
  if (pdwCount == nullptr || pdwLcid == nullptr) return E_POINTER;
  return GuardHResult([&]() -> HRESULT {
    com::TaskMem<LCID[]> locales = com::TaskAllocArray<LCID>(1);
    if (!locales) return E_OUTOFMEMORY;
    locales[0] = ServerLocale();
    *pdwCount = 1;
    *pdwLcid = locales.release();
    return S_OK;
  });
}

HRESULT OpcServer::GetErrorString(HRESULT dwError, LPWSTR* ppString) {
  return GuardHResult([&] { return CopyErrorText(dwError, ppString); });
}

HRESULT OpcServer::SetClientName(LPCWSTR szName) {
  if (szName == nullptr) return E_INVALIDARG;
  return GuardHResult([&]() -> HRESULT {
    std::string name;
    try {
      name = szName;
      std::lock_guard lock(mutex_);
      clientName_ = name;
    } catch (const std::bad_alloc&) {
      return E_FAIL;
    }
    // The list has a lock of its own and calls the tray; this object's lock is not held.
    ClientList::Process().Rename(this, std::move(name));
    return S_OK;
  });
}

std::string OpcServer::ClientName() const {
  std::lock_guard lock(mutex_);
  return clientName_;
}

std::size_t OpcServer::GroupCount() const {
  std::lock_guard lock(mutex_);
  return groups_.size();
}

// IOPCItemProperties

HRESULT OpcServer::QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                            LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) {
  if (pdwCount) *pdwCount = 0;
  if (ppPropertyIDs) *ppPropertyIDs = nullptr;
  if (ppDescriptions) *ppDescriptions = nullptr;
  if (ppvtDataTypes) *ppvtDataTypes = nullptr;
  if (!pdwCount || !ppPropertyIDs || !ppDescriptions || !ppvtDataTypes) return E_INVALIDARG;
  return GuardHResult([&]() -> HRESULT {
    const HRESULT verdict = ValidateCounterPath(Text(szItemID));
    if (verdict == E_OUTOFMEMORY) return E_OUTOFMEMORY;
    if (FAILED(verdict)) return OPC_E_UNKNOWNITEMID;

    com::TaskMem<DWORD[]> ids = com::TaskAllocArray<DWORD>(kItemPropertyCount);
    TaskStringArray descriptions(kItemPropertyCount);
    com::TaskMem<VARTYPE[]> types = com::TaskAllocArray<VARTYPE>(kItemPropertyCount);
    if (!ids || !descriptions || !types) return E_OUTOFMEMORY;
    for (std::size_t i = 0; i < kItemPropertyCount; ++i) {
      ids[i] = kItemProperties[i].id;
      types[i] = kItemProperties[i].type;
      if (!descriptions.Set(i, kItemProperties[i].description)) return E_OUTOFMEMORY;
    }
    *pdwCount = kItemPropertyCount;
    *ppPropertyIDs = ids.release();
    *ppDescriptions = descriptions.release();
    *ppvtDataTypes = types.release();
    return S_OK;
  });
}

HRESULT OpcServer::GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                     VARIANT** ppvData, HRESULT** ppErrors) {
  if (ppvData) *ppvData = nullptr;
  if (ppErrors) *ppErrors = nullptr;
  if (!pdwPropertyIDs || !ppvData || !ppErrors) return E_INVALIDARG;
  return GuardHResult([&]() -> HRESULT {
    CounterTraits traits{};
    ThrowIfFailed(GetCounterTraits(Text(szItemID), &traits));

    // Zeroed VARIANTs are VT_EMPTY, the value of an unknown property.
    com::TaskMem<VARIANT[]> values = com::TaskAllocArray<VARIANT>(dwCount);
    com::TaskMem<HRESULT[]> errors = com::TaskAllocArray<HRESULT>(dwCount);
    if (!values || !errors) return E_OUTOFMEMORY;
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
      VARIANT& value = values[i];
      switch (pdwPropertyIDs[i]) {
        case OPC_PROP_CDT:
          value.vt = VT_I2;
          value.iVal = static_cast<SHORT>(traits.canonicalDataType);
          break;
        case OPC_PROP_RIGHTS:
          value.vt = VT_I4;
          value.lVal = static_cast<LONG>(OPC_READABLE);
          break;
        case kCounterTypeProperty:
          value.vt = VT_I4;
          value.lVal = static_cast<LONG>(traits.counterType);
          break;
        default:
          errors[i] = OPC_E_INVALID_PID;
          result = S_FALSE;
          continue;
      }
      errors[i] = S_OK;
    }
    *ppvData = values.release();
    *ppErrors = errors.release();
    return result;
  });
}

HRESULT OpcServer::LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                 LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) {
  if (ppszNewItemIDs) *ppszNewItemIDs = nullptr;
  if (ppErrors) *ppErrors = nullptr;
  // The array of new item IDs is written too, so it is required like the others.
  if (!pdwPropertyIDs || !ppszNewItemIDs || !ppErrors) return E_INVALIDARG;
  return GuardHResult([&]() -> HRESULT {
    const std::string_view itemId = Text(szItemID);
    ThrowIfFailed(ValidateCounterPath(itemId));
    // Every property of a counter is reached through the counter's own item ID.
    TaskStringArray newIds(dwCount);
    com::TaskMem<HRESULT[]> errors = com::TaskAllocArray<HRESULT>(dwCount);
    if (!newIds || !errors) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < dwCount; ++i) {
      if (!newIds.Set(i, itemId)) return E_OUTOFMEMORY;
      errors[i] = S_OK;
    }
    *ppszNewItemIDs = newIds.release();
    *ppErrors = errors.release();
    return S_OK;
  });
}

// IOPCBrowseServerAddressSpace

HRESULT OpcServer::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) {
  if (pNameSpaceType == nullptr) return E_INVALIDARG;
  *pNameSpaceType = OPC_NS_HIERARCHIAL;
  return S_OK;
}

HRESULT OpcServer::ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) {
  // The text is required even for moving up, where it is not used.
  if (szString == nullptr) return E_INVALIDARG;
  return GuardHResult([&]() -> HRESULT {
    std::lock_guard lock(mutex_);
    switch (dwBrowseDirection) {
      case OPC_BROWSE_UP:
        return browser_.MoveUp();
      case OPC_BROWSE_DOWN:
        return browser_.MoveDown(szString);
      case OPC_BROWSE_TO:
        // Only the root can be reached directly; a name picks an entry at the current level.
        return *szString == '\0' ? browser_.ResetToRoot() : browser_.SetName(szString);
    }
    return E_INVALIDARG;
  });
}

HRESULT OpcServer::BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR /*szFilterCriteria*/,
                                    VARTYPE /*vtDataTypeFilter*/, DWORD /*dwAccessRightsFilter*/,
                                    IEnumString** ppIEnumString) {
  if (ppIEnumString == nullptr) return E_INVALIDARG;
  *ppIEnumString = nullptr;
  return GuardHResult([&]() -> HRESULT {
    std::vector<std::string> names;
    {
      std::lock_guard lock(mutex_);
      const int level = browser_.Level();
      // Objects and instances are branches, counters (level 3) leaves; a flat listing offers
      // whatever the current level holds.
      const bool offered = dwBrowseFilterType == OPC_FLAT ||
                           (dwBrowseFilterType == OPC_BRANCH && level <= 2) ||
                           (dwBrowseFilterType == OPC_LEAF && level == 3);
      if (offered) names = browser_.Children();
    }
    const HRESULT result = names.empty() ? S_FALSE : S_OK;
    com::ComPtr<IUnknown> processLock = MakeModuleLockToken();
    if (!processLock) return E_OUTOFMEMORY;
    com::ComPtr<IEnumString> enumerator =
        com::MakeStringEnumerator(std::move(names), std::move(processLock));
    if (!enumerator) return E_OUTOFMEMORY;
    *ppIEnumString = enumerator.Detach();
    return result;
  });
}

HRESULT OpcServer::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) {
  if (szItemID == nullptr) return E_INVALIDARG;
  *szItemID = nullptr;
  return GuardHResult([&]() -> HRESULT {
    std::string path;
    {
      std::lock_guard lock(mutex_);
      const HRESULT hr = browser_.SetName(std::string(Text(szItemDataID)));
      if (FAILED(hr)) return hr;
      path = browser_.Path();
    }
    if (path.empty()) return E_FAIL;
    *szItemID = com::TaskStrDup(path);
    return *szItemID ? S_OK : E_OUTOFMEMORY;
  });
}

HRESULT OpcServer::BrowseAccessPaths(LPCWSTR /*szItemID*/, IEnumString** ppIEnumString) {
  if (ppIEnumString) *ppIEnumString = nullptr;
  return E_NOTIMPL;
}

// IConnectionPointContainer

HRESULT OpcServer::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
  return GuardHResult([&] { return com::EnumConnectionPoints({&shutdown_}, ppEnum); });
}

HRESULT OpcServer::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
  return GuardHResult([&] { return com::FindConnectionPoint({&shutdown_}, riid, ppCP); });
}

// IZYNMessenger

HRESULT OpcServer::ShowMessage(LPCWSTR szMessage) {
  return messenger_.ShowMessage(szMessage);
}

HRESULT OpcServer::ShowTipMessage(LPCWSTR szMessage, tagTipType tt) {
  return messenger_.ShowTipMessage(szMessage, tt);
}

HRESULT OpcServer::GetScreenShot(BYTE** ppData, DWORD* pdwSize, tagZYNMBITMAPINFO** ppbiData,
                                 const DWORD* pdwWidth, const DWORD* pdwHeight,
                                 tagZYNWINDOWTYPE wtShow) {
  return messenger_.GetScreenShot(ppData, pdwSize, ppbiData, pdwWidth, pdwHeight, wtShow);
}

HRESULT OpcServer::LockComputer() {
  return messenger_.LockComputer();
}

HRESULT OpcServer::Execute(LPCWSTR szName, LPCWSTR szParams) {
  return messenger_.Execute(szName, szParams);
}

HRESULT OpcServer::GetSysInfo(VARIANT* pCaptionArray, VARIANT* pDescArray, VARIANT* pUsageArray) {
  return messenger_.GetSysInfo(pCaptionArray, pDescArray, pUsageArray);
}

// GroupHost

bool OpcServer::IsGroupNameInTable(std::string_view name) {
  std::lock_guard lock(mutex_);
  for (const auto& [handle, group] : groups_) {
    if (group->Name() == name) return true;
  }
  return false;
}

void OpcServer::RefreshCatalogue() {
  std::lock_guard lock(mutex_);
  browser_.RefreshObjects();
}

// ListedServer

void OpcServer::SendShutdownRequest(std::string_view reason) {
  if (shutdownSent_.exchange(true)) return;
  try {
    const std::string text(reason);
    // A snapshot: each sink stays referenced during its call even if it is unadvised meanwhile.
    for (const com::ComPtr<IOPCShutdown>& sink : shutdown_.SinksAs<IOPCShutdown>())
      sink->ShutdownRequest(text.c_str());
  } catch (...) {
    // Out of memory for the snapshot: the clients learn of the end when their calls fail.
  }
}
