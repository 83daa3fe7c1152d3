// The Global Interface Table: hands an interface pointer from the thread that received it to
// other threads of the process, under a cookie.
//
// A group registers each client sink here when the sink is advised; the group's update thread
// later fetches the sink by its cookie and calls it.
//
// Our objects, and the transport's remote proxies, are reachable from any thread: a proxy
// routes every call through the transport's own I/O thread whichever thread makes it. So there
// is nothing to marshal between threads of one process, and the table hands each thread that
// asks a new reference to the registered pointer itself (queried for the requested interface)
// instead of a per-thread proxy.
#pragma once

#include <cstddef>
#include <mutex>
#include <unordered_map>

#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/object.h"
#include "platform/com/types.h"
#include "platform/com/unknown.h"

inline constexpr IID IID_IGlobalInterfaceTable = com::Guid("00000146-0000-0000-C000-000000000046");
// The class of the process-wide table, for code that creates it with CoCreateInstance.
inline constexpr CLSID CLSID_StdGlobalInterfaceTable =
    com::Guid("00000323-0000-0000-C000-000000000046");

struct IGlobalInterfaceTable : IUnknown {
  static constexpr const IID& kIID = IID_IGlobalInterfaceTable;

  // Holds one reference on pUnk's riid interface until the cookie is revoked. A missing pUnk
  // gives E_INVALIDARG, a missing pdwCookie E_POINTER, an object without riid E_NOINTERFACE.
  virtual HRESULT RegisterInterfaceInGlobal(IUnknown* pUnk, REFIID riid, DWORD* pdwCookie) = 0;
  // Drops the table's reference; an unknown cookie gives E_INVALIDARG.
  virtual HRESULT RevokeInterfaceFromGlobal(DWORD dwCookie) = 0;
  // *ppv: the registered object's riid interface with a reference for the caller; an unknown
  // cookie gives E_INVALIDARG and *ppv = null.
  virtual HRESULT GetInterfaceFromGlobal(DWORD dwCookie, REFIID riid, void** ppv) = 0;

 protected:
  ~IGlobalInterfaceTable() = default;
};

namespace com {

// A table; the process has one (GetGlobalInterfaceTable), tests may make their own. Safe to
// call from any thread. No lock is held while a registered object is queried or released, so
// an object whose end revokes further registrations cannot deadlock the table.
class GlobalInterfaceTable final : public ComObject<IGlobalInterfaceTable> {
 public:
  GlobalInterfaceTable() = default;

  HRESULT RegisterInterfaceInGlobal(IUnknown* pUnk, REFIID riid, DWORD* pdwCookie) override;
  HRESULT RevokeInterfaceFromGlobal(DWORD dwCookie) override;
  HRESULT GetInterfaceFromGlobal(DWORD dwCookie, REFIID riid, void** ppv) override;

  // The number of live registrations.
  std::size_t Size() const;

 protected:
  // Releases whatever is still registered.
  ~GlobalInterfaceTable() override;

 private:
  mutable std::mutex mutex_;
  std::unordered_map<DWORD, ComPtr<IUnknown>> entries_;
  DWORD lastCookie_ = 0;
};

// The process-wide table. It lives until the process ends: registrations made by objects that
// are still alive at exit are never released behind their back during static destruction.
ComPtr<GlobalInterfaceTable> GetGlobalInterfaceTable();

}  // namespace com

// The process-wide table as the classic entry point gives it (one reference for the caller).
HRESULT CoGetGlobalInterfaceTable(IGlobalInterfaceTable** ppGIT);
