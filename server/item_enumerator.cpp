#include "server/item_enumerator.h"

#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "platform/com/object.h"
#include "platform/com/taskmem.h"
#include "server/catalogue.h"
#include "server/group_engine.h"
#include "server/opc_group.h"

namespace {

class ItemEnumerator final : public com::ComObject<IEnumOPCItemAttributes> {
 public:
  // `position`: the handle of the next item to hand out (the first item at or after it).
  ItemEnumerator(com::ComPtr<OpcGroup> group, OPCHANDLE position)
      : group_(std::move(group)), engine_(group_->Engine()), position_(position) {}

  HRESULT Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) override;
  HRESULT Skip(ULONG celt) override;
  HRESULT Reset() override;
  HRESULT Clone(IEnumOPCItemAttributes** ppEnum) override;

 private:
  // What Next copies out of the table under the group lock.
  struct Snapshot {
    OPCHANDLE handle;
    std::optional<std::string> accessPath;
    std::string itemId;
    bool active;
    OPCHANDLE clientHandle;
    VARTYPE requestedType;
  };

  static void FreeRecord(OPCITEMATTRIBUTES& record);

  const com::ComPtr<OpcGroup> group_;
  const std::shared_ptr<GroupEngine> engine_;
  std::mutex mutex_;
  OPCHANDLE position_;
  bool atEnd_ = false;  // past the highest handle, which no OPCHANDLE value can name
};

void ItemEnumerator::FreeRecord(OPCITEMATTRIBUTES& record) {
  CoTaskMemFree(record.szAccessPath);
  CoTaskMemFree(record.szItemID);
  VariantClear(&record.vEUInfo);
  record = OPCITEMATTRIBUTES{};
}

HRESULT ItemEnumerator::Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) {
  if (ppItemArray) *ppItemArray = nullptr;
  if (pceltFetched) *pceltFetched = 0;
  if (!ppItemArray || !pceltFetched) return E_POINTER;
  if (celt == 0) return E_INVALIDARG;

  try {
    std::lock_guard lock(mutex_);
    std::vector<Snapshot> taken;
    {
      std::lock_guard groupLock(engine_->mutex);
      if (!atEnd_) {
        for (auto it = engine_->items.lower_bound(position_);
             it != engine_->items.end() && taken.size() < celt; ++it) {
          const ItemRecord& item = it->second;
          taken.push_back(Snapshot{it->first, item.accessPath, item.itemId, item.active,
                                   item.clientHandle, item.requestedType});
        }
      }
    }
    if (taken.empty()) return S_FALSE;

    auto records = com::TaskAllocArray<OPCITEMATTRIBUTES>(taken.size());
    if (!records) return E_OUTOFMEMORY;
    for (std::size_t i = 0; i < taken.size(); ++i) {
      const Snapshot& s = taken[i];
      OPCITEMATTRIBUTES& r = records[i];
      VariantInit(&r.vEUInfo);
      r.szItemID = com::TaskStrDup(s.itemId);
      r.szAccessPath = s.accessPath ? com::TaskStrDup(*s.accessPath) : nullptr;
      if (!r.szItemID || (s.accessPath && !r.szAccessPath)) {
        for (std::size_t j = 0; j <= i; ++j)
          FreeRecord(records[j]);
        return E_OUTOFMEMORY;
      }
      r.bActive = s.active ? TRUE : FALSE;
      r.hClient = s.clientHandle;
      r.hServer = s.handle;
      r.dwAccessRights = OPC_READABLE;
      r.vtRequestedDataType = s.requestedType;
      CounterTraits traits{};
      r.vtCanonicalDataType = SUCCEEDED(GetCounterTraits(s.itemId, &traits))
                                  ? traits.canonicalDataType
                                  : VARTYPE{VT_EMPTY};
      r.dwEUType = OPC_NOENUM;
    }
    const OPCHANDLE last = taken.back().handle;
    if (last == 0xFFFFFFFF) {
      atEnd_ = true;
    } else {
      position_ = last + 1;
    }
    *pceltFetched = static_cast<ULONG>(taken.size());
    *ppItemArray = records.release();
    return taken.size() == celt ? S_OK : S_FALSE;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT ItemEnumerator::Skip(ULONG celt) {
  if (celt == 0) return E_INVALIDARG;
  std::lock_guard lock(mutex_);
  std::lock_guard groupLock(engine_->mutex);
  const auto& items = engine_->items;
  if (atEnd_ || items.empty()) return S_FALSE;
  auto it = items.lower_bound(position_);
  ULONG skipped = 0;
  while (skipped < celt && it != items.end()) {
    ++it;
    ++skipped;
  }
  if (skipped == celt) {
    if (it == items.end()) {
      // Exactly at the end: the next handle after the last one.
      const OPCHANDLE last = items.rbegin()->first;
      atEnd_ = last == 0xFFFFFFFF;
      position_ = atEnd_ ? last : last + 1;
    } else {
      position_ = it->first;
    }
    return S_OK;
  }
  // Running past the end leaves the position on the last item.
  position_ = items.rbegin()->first;
  return S_FALSE;
}

HRESULT ItemEnumerator::Reset() {
  std::lock_guard lock(mutex_);
  position_ = 0;
  atEnd_ = false;
  return S_OK;
}

HRESULT ItemEnumerator::Clone(IEnumOPCItemAttributes** ppEnum) {
  if (ppEnum == nullptr) return E_POINTER;
  *ppEnum = nullptr;
  std::lock_guard lock(mutex_);
  com::ComPtr<ItemEnumerator> clone = com::MakeObject<ItemEnumerator>(group_, position_);
  if (!clone) return E_OUTOFMEMORY;
  clone->atEnd_ = atEnd_;
  *ppEnum = clone.Detach();
  return S_OK;
}

}  // namespace

com::ComPtr<IEnumOPCItemAttributes> MakeItemEnumerator(OpcGroup* group) {
  com::ComPtr<ItemEnumerator> made =
      com::MakeObject<ItemEnumerator>(com::ComPtr<OpcGroup>(group), OPCHANDLE{0});
  return com::ComPtr<IEnumOPCItemAttributes>(made.Get());
}
