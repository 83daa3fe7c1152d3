// IOPCItemMgt of the group: adding, validating and removing items and changing their settings.
#include <optional>
#include <string>
#include <utility>

#include "platform/com/taskmem.h"
#include "server/catalogue.h"
#include "server/group_calls.h"
#include "server/group_engine.h"
#include "server/item_enumerator.h"
#include "server/opc_group.h"

namespace {

constexpr WORD kLangEnglish = 0x09;

VARTYPE CanonicalType(std::string_view path) {
  CounterTraits traits{};
  return SUCCEEDED(GetCounterTraits(path, &traits)) ? traits.canonicalDataType : VARTYPE{VT_EMPTY};
}

// The common checks of the per-handle methods; allocates the error array.
HRESULT BeginPerHandle(DWORD dwCount, const void* phServer, const void* perItem, HRESULT** ppErrors,
                       com::TaskMem<HRESULT[]>* errors) {
  if (ppErrors) *ppErrors = nullptr;
  if (!phServer || !perItem || !ppErrors) return E_POINTER;
  if (dwCount == 0) return E_INVALIDARG;
  *errors = com::TaskAllocArray<HRESULT>(dwCount);
  return *errors ? S_OK : E_OUTOFMEMORY;
}

HRESULT FinishPerHandle(DWORD dwCount, com::TaskMem<HRESULT[]> errors, HRESULT** ppErrors) {
  bool anyFailed = false;
  for (DWORD i = 0; i < dwCount; ++i)
    anyFailed = anyFailed || FAILED(errors[i]);
  *ppErrors = errors.release();
  return anyFailed ? S_FALSE : S_OK;
}

}  // namespace

HRESULT OpcGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                           HRESULT** ppErrors) {
  // Items are sampled by the update thread, which the first sink starts.
  if (!Sampling()) return E_FAIL;
  if (!pItemArray || !ppAddResults || !ppErrors) return E_POINTER;
  *ppAddResults = nullptr;
  *ppErrors = nullptr;
  if (dwCount == 0) return E_INVALIDARG;

  return GuardGroupCall([&]() -> HRESULT {
    auto results = com::TaskAllocArray<OPCITEMRESULT>(dwCount);
    auto errors = com::TaskAllocArray<HRESULT>(dwCount);
    if (!results || !errors) return E_FAIL;
    const bool english = PRIMARYLANGID(SystemUiLanguage()) == kLangEnglish;

    for (DWORD i = 0; i < dwCount; ++i) {
      const OPCITEMDEF& def = pItemArray[i];
      const std::string_view itemId = def.szItemID ? def.szItemID : "";

      // The item ID, or on a machine that is not English its translation from English names.
      std::string path(itemId);
      if (FAILED(ValidateCounterPath(itemId))) {
        std::string local;
        if (english || !TranslateEnglishPath(itemId, &local)) {
          errors[i] = OPC_E_UNKNOWNITEMID;
          continue;
        }
        path = std::move(local);
      }
      if (def.vtRequestedDataType != VT_EMPTY) {
        HRESULT hr = TestRequestedType(def.vtRequestedDataType, locale_);
        if (FAILED(hr)) {
          errors[i] = hr;
          continue;
        }
      }
      const VARTYPE canonical = CanonicalType(itemId);

      ItemRecord record;
      if (def.szAccessPath) record.accessPath = def.szAccessPath;
      record.itemId = std::move(path);
      record.requestedType = def.vtRequestedDataType;
      record.blobSize = def.dwBlobSize;
      record.blob = def.pBlob;
      record.active = def.bActive != FALSE;
      record.clientHandle = def.hClient;

      std::lock_guard lock(engine_->mutex);
      const OPCHANDLE handle = engine_->lastItemHandle + 1;
      auto [it, inserted] = engine_->items.emplace(handle, std::move(record));
      if (!inserted) {  // the handle counter went round and met a live item
        errors[i] = E_FAIL;
        continue;
      }
      engine_->lastItemHandle = handle;
      // Inactive items join the query too; the cycles skip them until they are activated.
      PDH_STATUS status;
      try {
        status = engine_->AddToQuery(handle, it->second);
      } catch (...) {
        engine_->items.erase(it);
        --engine_->lastItemHandle;
        throw;
      }
      if (status != ERROR_SUCCESS) {
        engine_->items.erase(it);
        --engine_->lastItemHandle;
        errors[i] = static_cast<HRESULT>(status);
        continue;
      }
      results[i].hServer = handle;
      results[i].vtCanonicalDataType = canonical;
      results[i].dwAccessRights = OPC_READABLE;
      errors[i] = S_OK;
    }
    *ppAddResults = results.release();
    return FinishPerHandle(dwCount, std::move(errors), ppErrors);
  });
}

HRESULT OpcGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL /*bBlobUpdate*/,
                                OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) {
  if (!pItemArray || !ppValidationResults || !ppErrors) return E_POINTER;
  *ppValidationResults = nullptr;
  *ppErrors = nullptr;
  if (dwCount == 0) return E_INVALIDARG;

  return GuardGroupCall([&]() -> HRESULT {
    auto results = com::TaskAllocArray<OPCITEMRESULT>(dwCount);
    auto errors = com::TaskAllocArray<HRESULT>(dwCount);
    if (!results || !errors) return E_FAIL;
    // The catalogue is read again first, so items that appeared since are found.
    if (GroupHost* host = host_) host->RefreshCatalogue();
    for (DWORD i = 0; i < dwCount; ++i) {
      const std::string_view itemId = pItemArray[i].szItemID ? pItemArray[i].szItemID : "";
      if (FAILED(ValidateCounterPath(itemId))) {
        errors[i] = OPC_E_UNKNOWNITEMID;
        continue;
      }
      results[i].vtCanonicalDataType = CanonicalType(itemId);
      results[i].dwAccessRights = OPC_READABLE;
      errors[i] = S_OK;
    }
    *ppValidationResults = results.release();
    return FinishPerHandle(dwCount, std::move(errors), ppErrors);
  });
}

HRESULT OpcGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
  com::TaskMem<HRESULT[]> errors;
  if (HRESULT hr = BeginPerHandle(dwCount, phServer, phServer, ppErrors, &errors); hr != S_OK)
    return hr;
  return GuardGroupCall([&]() -> HRESULT {
    std::lock_guard lock(engine_->mutex);
    for (DWORD i = 0; i < dwCount; ++i) {
      auto it = engine_->items.find(phServer[i]);
      if (it == engine_->items.end()) {
        errors[i] = OPC_E_INVALIDHANDLE;
        continue;
      }
      // An item deactivated earlier has no counter in the query any more: nothing to take out.
      errors[i] = it->second.counter ? engine_->RemoveFromQuery(it->first, it->second) : S_OK;
      engine_->items.erase(it);
    }
    return FinishPerHandle(dwCount, std::move(errors), ppErrors);
  });
}

HRESULT OpcGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                 HRESULT** ppErrors) {
  com::TaskMem<HRESULT[]> errors;
  if (HRESULT hr = BeginPerHandle(dwCount, phServer, phServer, ppErrors, &errors); hr != S_OK)
    return hr;
  const bool activate = bActive != FALSE;
  return GuardGroupCall([&]() -> HRESULT {
    std::lock_guard lock(engine_->mutex);
    for (DWORD i = 0; i < dwCount; ++i) {
      auto it = engine_->items.find(phServer[i]);
      if (it == engine_->items.end()) {
        errors[i] = OPC_E_INVALIDHANDLE;
        continue;
      }
      ItemRecord& item = it->second;
      errors[i] = S_OK;
      // An item already in the requested state is left alone, so no handle ever stands twice
      // in the sampling list. An item added inactive still has its counter in the query and
      // only needs its flag.
      if (activate) {
        item.active = true;
        if (item.counter) {
          engine_->SyncSampling(it->first, item);
        } else {
          errors[i] = static_cast<HRESULT>(engine_->AddToQuery(it->first, item));
        }
      } else {
        item.active = false;
        if (item.counter) errors[i] = engine_->RemoveFromQuery(it->first, item);
      }
    }
    return FinishPerHandle(dwCount, std::move(errors), ppErrors);
  });
}

HRESULT OpcGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                   HRESULT** ppErrors) {
  com::TaskMem<HRESULT[]> errors;
  if (HRESULT hr = BeginPerHandle(dwCount, phServer, phClient, ppErrors, &errors); hr != S_OK)
    return hr;
  return GuardGroupCall([&]() -> HRESULT {
    std::lock_guard lock(engine_->mutex);
    for (DWORD i = 0; i < dwCount; ++i) {
      auto it = engine_->items.find(phServer[i]);
      if (it == engine_->items.end()) {
        errors[i] = OPC_E_INVALIDHANDLE;
        continue;
      }
      it->second.clientHandle = phClient[i];
      engine_->SyncSampling(it->first, it->second);
      errors[i] = S_OK;
    }
    return FinishPerHandle(dwCount, std::move(errors), ppErrors);
  });
}

HRESULT OpcGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                               HRESULT** ppErrors) {
  com::TaskMem<HRESULT[]> errors;
  if (HRESULT hr = BeginPerHandle(dwCount, phServer, pRequestedDatatypes, ppErrors, &errors);
      hr != S_OK)
    return hr;
  return GuardGroupCall([&]() -> HRESULT {
    std::lock_guard lock(engine_->mutex);
    for (DWORD i = 0; i < dwCount; ++i) {
      auto it = engine_->items.find(phServer[i]);
      if (it == engine_->items.end()) {
        errors[i] = OPC_E_INVALIDHANDLE;
        continue;
      }
      // The type is only remembered: values always travel as VT_R8.
      errors[i] = TestRequestedType(pRequestedDatatypes[i], locale_);
      if (SUCCEEDED(errors[i])) {
        it->second.requestedType = pRequestedDatatypes[i];
        errors[i] = S_OK;
      }
    }
    return FinishPerHandle(dwCount, std::move(errors), ppErrors);
  });
}

HRESULT OpcGroup::CreateEnumerator(REFIID riid, IUnknown** ppUnk) {
  if (ppUnk == nullptr) return E_POINTER;
  *ppUnk = nullptr;
  if (riid != IID_IEnumOPCItemAttributes) return E_INVALIDARG;
  com::ComPtr<IEnumOPCItemAttributes> enumerator = MakeItemEnumerator(this);
  if (!enumerator) return E_OUTOFMEMORY;
  *ppUnk = enumerator.Detach();
  return S_OK;
}
