#include "platform/com/git.h"

#include <new>
#include <utility>

namespace com {

GlobalInterfaceTable::~GlobalInterfaceTable() {
  std::unordered_map<DWORD, ComPtr<IUnknown>> left;
  {
    std::lock_guard lock(mutex_);
    left.swap(entries_);
  }
  // `left` releases here, outside the lock, in case an object's end revokes other cookies.
}

HRESULT GlobalInterfaceTable::RegisterInterfaceInGlobal(IUnknown* pUnk, REFIID riid,
                                                        DWORD* pdwCookie) {
  if (pdwCookie) *pdwCookie = 0;
  if (pUnk == nullptr) return E_INVALIDARG;
  if (pdwCookie == nullptr) return E_POINTER;

  ComPtr<IUnknown> itf;
  HRESULT hr = pUnk->QueryInterface(riid, itf.ReleaseAndGetVoidAddressOf());
  if (FAILED(hr)) return hr;
  if (!itf) return E_NOINTERFACE;

  std::lock_guard lock(mutex_);
  // Cookies wrap after 2^32 registrations; 0 and cookies still in use are skipped.
  DWORD cookie = lastCookie_;
  do {
    ++cookie;
  } while (cookie == 0 || entries_.contains(cookie));
  try {
    entries_.emplace(cookie, std::move(itf));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;  // `itf` is released after the lock: declared before it
  }
  lastCookie_ = cookie;
  *pdwCookie = cookie;
  return S_OK;
}

HRESULT GlobalInterfaceTable::RevokeInterfaceFromGlobal(DWORD dwCookie) {
  ComPtr<IUnknown> revoked;  // released after the lock
  {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(dwCookie);
    if (it == entries_.end()) return E_INVALIDARG;
    revoked = std::move(it->second);
    entries_.erase(it);
  }
  return S_OK;
}

HRESULT GlobalInterfaceTable::GetInterfaceFromGlobal(DWORD dwCookie, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  ComPtr<IUnknown> itf;
  {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(dwCookie);
    if (it == entries_.end()) return E_INVALIDARG;
    itf = it->second;
  }
  return itf->QueryInterface(riid, ppv);
}

std::size_t GlobalInterfaceTable::Size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

ComPtr<GlobalInterfaceTable> GetGlobalInterfaceTable() {
  // Made once and never released (see the header); the detached reference keeps it alive.
  static GlobalInterfaceTable* const table = MakeObject<GlobalInterfaceTable>().Detach();
  return ComPtr<GlobalInterfaceTable>(table);
}

}  // namespace com

HRESULT CoGetGlobalInterfaceTable(IGlobalInterfaceTable** ppGIT) {
  if (ppGIT == nullptr) return E_POINTER;
  *ppGIT = nullptr;
  com::ComPtr<com::GlobalInterfaceTable> table = com::GetGlobalInterfaceTable();
  if (!table) return E_OUTOFMEMORY;
  *ppGIT = table.Detach();
  return S_OK;
}
