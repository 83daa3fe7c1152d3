#include "platform/com/classreg.h"

#include <algorithm>

#include "platform/com/git.h"
#include "platform/com/taskmem.h"

namespace com {
namespace {

constexpr DWORD kOutOfProcess = CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr ULONG kAnyCategory = static_cast<ULONG>(-1);

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Registry names compare without regard to ASCII case; other bytes compare exactly.
bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AsciiLower(x) == AsciiLower(y);
         });
}

bool Implements(const ClassRegistration& registration, const CATID& catid) {
  const auto& cats = registration.implementedCategories;
  return std::find(cats.begin(), cats.end(), catid) != cats.end();
}

}  // namespace

HRESULT FunctionClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  *ppvObject = nullptr;
  if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
  if (!create_) return E_UNEXPECTED;
  try {
    return create_(riid, ppvObject);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

FunctionClassFactory::FunctionClassFactory(Create create, LockServerCallback onLock)
    : create_(std::move(create)), onLock_(std::move(onLock)) {}

HRESULT FunctionClassFactory::LockServer(BOOL fLock) {
  if (onLock_) onLock_(fLock != FALSE);
  return S_OK;
}

ClassRegistry::ClassRegistry() = default;

ClassRegistry::~ClassRegistry() {
  // Class objects are released outside the lock, in case their end calls back.
  std::map<CLSID, Entry> left;
  {
    std::lock_guard lock(mutex_);
    left.swap(classes_);
  }
}

const ClassRegistry::Entry* ClassRegistry::FindByProgIdLocked(std::string_view progId) const {
  for (const auto& [clsid, entry] : classes_) {
    if (!entry.registration.progId.empty() && SameName(entry.registration.progId, progId))
      return &entry;
  }
  const Entry* newest = nullptr;
  for (const auto& [clsid, entry] : classes_) {
    const std::string& vi = entry.registration.versionIndependentProgId;
    if (!vi.empty() && SameName(vi, progId) && (!newest || entry.sequence > newest->sequence))
      newest = &entry;
  }
  return newest;
}

HRESULT ClassRegistry::RegisterClass(const ClassRegistration& registration, IUnknown* classObject) {
  if (registration.clsid == CLSID_NULL) return E_INVALIDARG;
  const std::string& progId = registration.progId;
  const std::string& vi = registration.versionIndependentProgId;
  try {
    std::lock_guard lock(mutex_);
    for (const auto& [clsid, entry] : classes_) {
      if (clsid == registration.clsid) continue;
      const ClassRegistration& other = entry.registration;
      // A ProgID names one class; a version-independent ProgID may be shared by the
      // versions of a class but must not be another class's versioned ProgID.
      if (!progId.empty() &&
          (SameName(progId, other.progId) || SameName(progId, other.versionIndependentProgId)))
        return E_INVALIDARG;
      if (!vi.empty() && SameName(vi, other.progId)) return E_INVALIDARG;
    }
    auto found = classes_.find(registration.clsid);
    if (classObject && found != classes_.end() && found->second.classObject) return CO_E_OBJISREG;
    Entry& entry = classes_[registration.clsid];
    entry.registration = registration;
    entry.sequence = ++sequence_;
    if (classObject) entry.classObject = classObject;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT ClassRegistry::RevokeClass(REFCLSID clsid) {
  ComPtr<IUnknown> classObject;  // released after the lock
  {
    std::lock_guard lock(mutex_);
    auto found = classes_.find(clsid);
    if (found == classes_.end()) return CO_E_OBJNOTREG;
    classObject = std::move(found->second.classObject);
    classes_.erase(found);
  }
  return S_OK;
}

HRESULT ClassRegistry::RegisterClassObject(REFCLSID clsid, IUnknown* classObject) {
  if (clsid == CLSID_NULL || classObject == nullptr) return E_INVALIDARG;
  try {
    std::lock_guard lock(mutex_);
    auto found = classes_.find(clsid);
    if (found == classes_.end()) {
      Entry entry;
      entry.registration.clsid = clsid;
      entry.sequence = ++sequence_;
      found = classes_.emplace(clsid, std::move(entry)).first;
    } else if (found->second.classObject) {
      return CO_E_OBJISREG;
    }
    found->second.classObject = classObject;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT ClassRegistry::RevokeClassObject(REFCLSID clsid) {
  ComPtr<IUnknown> classObject;  // released after the lock
  {
    std::lock_guard lock(mutex_);
    auto found = classes_.find(clsid);
    if (found == classes_.end() || !found->second.classObject) return CO_E_OBJNOTREG;
    classObject = std::move(found->second.classObject);
  }
  return S_OK;
}

HRESULT ClassRegistry::CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid) const {
  if (clsid == nullptr) return E_INVALIDARG;
  *clsid = CLSID_NULL;
  if (progId == nullptr || *progId == '\0') return CO_E_CLASSSTRING;
  std::lock_guard lock(mutex_);
  const Entry* entry = FindByProgIdLocked(progId);
  if (entry == nullptr) return CO_E_CLASSSTRING;
  *clsid = entry->registration.clsid;
  return S_OK;
}

HRESULT ClassRegistry::ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* progId) const {
  if (progId == nullptr) return E_INVALIDARG;
  *progId = nullptr;
  std::lock_guard lock(mutex_);
  auto found = classes_.find(clsid);
  if (found == classes_.end()) return REGDB_E_CLASSNOTREG;
  const ClassRegistration& registration = found->second.registration;
  const std::string& name =
      registration.progId.empty() ? registration.versionIndependentProgId : registration.progId;
  if (name.empty()) return REGDB_E_CLASSNOTREG;
  *progId = TaskStrDup(name);
  return *progId ? S_OK : E_OUTOFMEMORY;
}

std::optional<ClassRegistration> ClassRegistry::FindClass(REFCLSID clsid) const {
  std::lock_guard lock(mutex_);
  auto found = classes_.find(clsid);
  if (found == classes_.end()) return std::nullopt;
  return found->second.registration;
}

HRESULT ClassRegistry::RegisterCategory(REFCATID catid, std::string_view description) {
  try {
    std::lock_guard lock(mutex_);
    categories_[catid] = std::string(description);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT ClassRegistry::UnregisterCategory(REFCATID catid) {
  std::lock_guard lock(mutex_);
  return categories_.erase(catid) ? S_OK : CAT_E_CATIDNOEXIST;
}

HRESULT ClassRegistry::GetCategoryDescription(REFCATID catid, LPOLESTR* description) const {
  if (description == nullptr) return E_INVALIDARG;
  *description = nullptr;
  std::lock_guard lock(mutex_);
  auto found = categories_.find(catid);
  if (found == categories_.end()) return CAT_E_CATIDNOEXIST;
  *description = TaskStrDup(found->second);
  return *description ? S_OK : E_OUTOFMEMORY;
}

HRESULT ClassRegistry::RegisterClassImplCategories(REFCLSID clsid, std::span<const CATID> catids) {
  try {
    std::lock_guard lock(mutex_);
    auto found = classes_.find(clsid);
    if (found == classes_.end()) return REGDB_E_CLASSNOTREG;
    ClassRegistration& registration = found->second.registration;
    for (const CATID& catid : catids) {
      if (!Implements(registration, catid)) registration.implementedCategories.push_back(catid);
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT ClassRegistry::UnRegisterClassImplCategories(REFCLSID clsid,
                                                     std::span<const CATID> catids) {
  std::lock_guard lock(mutex_);
  auto found = classes_.find(clsid);
  if (found == classes_.end()) return REGDB_E_CLASSNOTREG;
  auto& cats = found->second.registration.implementedCategories;
  std::erase_if(cats, [&](const CATID& c) {
    return std::find(catids.begin(), catids.end(), c) != catids.end();
  });
  return S_OK;
}

HRESULT ClassRegistry::EnumClassesOfCategories(ULONG cImplemented, const CATID rgcatidImpl[],
                                               ULONG cRequired, const CATID rgcatidReq[],
                                               IEnumGUID** ppenumClsid) const {
  if (ppenumClsid == nullptr) return E_INVALIDARG;
  *ppenumClsid = nullptr;
  if (cImplemented == 0) return E_INVALIDARG;
  if (cImplemented != kAnyCategory && rgcatidImpl == nullptr) return E_INVALIDARG;
  if (cRequired != kAnyCategory && cRequired != 0 && rgcatidReq == nullptr) return E_INVALIDARG;

  std::vector<GUID> found;
  try {
    std::lock_guard lock(mutex_);
    for (const auto& [clsid, entry] : classes_) {
      bool match = cImplemented == kAnyCategory;
      for (ULONG i = 0; !match && i < cImplemented; ++i)
        match = Implements(entry.registration, rgcatidImpl[i]);
      if (match) found.push_back(clsid);
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  ComPtr<IEnumGUID> enumerator = MakeGuidEnumerator(std::move(found));
  if (!enumerator) return E_OUTOFMEMORY;
  *ppenumClsid = enumerator.Detach();
  return S_OK;
}

ComPtr<IUnknown> ClassRegistry::InProcClassObject(REFCLSID clsid) const {
  std::lock_guard lock(mutex_);
  auto found = classes_.find(clsid);
  return found == classes_.end() ? nullptr : found->second.classObject;
}

Activator ClassRegistry::CurrentActivator() const {
  std::lock_guard lock(mutex_);
  return activator_;
}

void ClassRegistry::SetActivator(Activator activator) {
  Activator old;  // destroyed after the lock, with whatever it captured
  std::lock_guard lock(mutex_);
  old = std::exchange(activator_, std::move(activator));
}

HRESULT ClassRegistry::GetClassObject(REFCLSID clsid, DWORD clsContext, REFIID riid,
                                      void** ppv) const {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if ((clsContext & CLSCTX_ALL) == 0) return E_INVALIDARG;
  if (clsContext & CLSCTX_INPROC) {
    if (ComPtr<IUnknown> classObject = InProcClassObject(clsid))
      return classObject->QueryInterface(riid, ppv);
  }
  if (clsContext & kOutOfProcess) {
    if (Activator activator = CurrentActivator())
      return activator(ActivationKind::kClassObject, clsid, clsContext & kOutOfProcess, riid, ppv);
  }
  return REGDB_E_CLASSNOTREG;
}

HRESULT ClassRegistry::CreateInstance(REFCLSID clsid, IUnknown* pUnkOuter, DWORD clsContext,
                                      REFIID riid, void** ppv) const {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if ((clsContext & CLSCTX_ALL) == 0) return E_INVALIDARG;
  if (clsContext & CLSCTX_INPROC) {
    if (ComPtr<IUnknown> classObject = InProcClassObject(clsid)) {
      ComPtr<IClassFactory> factory;
      HRESULT hr = classObject.As(&factory);
      if (FAILED(hr)) return hr;
      return factory->CreateInstance(pUnkOuter, riid, ppv);
    }
  }
  if (clsContext & kOutOfProcess) {
    if (Activator activator = CurrentActivator()) {
      // An object in another process cannot be part of an aggregate here.
      if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
      return activator(ActivationKind::kInstance, clsid, clsContext & kOutOfProcess, riid, ppv);
    }
  }
  return REGDB_E_CLASSNOTREG;
}

ClassRegistry& ProcessClassRegistry() {
  // Constructed on first use, so an object that registers a class from its own static
  // constructor is destroyed before the registry and can still revoke it.
  static ClassRegistry registry;
  return registry;
}

}  // namespace com

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid) {
  return com::ProcessClassRegistry().CLSIDFromProgID(lpszProgID, lpclsid);
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID) {
  return com::ProcessClassRegistry().ProgIDFromCLSID(clsid, lplpszProgID);
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void* pvReserved, REFIID riid,
                         void** ppv) {
  if (ppv) *ppv = nullptr;
  if (pvReserved != nullptr) return E_INVALIDARG;
  return com::ProcessClassRegistry().GetClassObject(rclsid, dwClsContext, riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                         void** ppv) {
  if (rclsid == CLSID_StdGlobalInterfaceTable && (dwClsContext & CLSCTX_INPROC)) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    com::ComPtr<com::GlobalInterfaceTable> table = com::GetGlobalInterfaceTable();
    if (!table) return E_OUTOFMEMORY;
    return table->QueryInterface(riid, ppv);
  }
  return com::ProcessClassRegistry().CreateInstance(rclsid, pUnkOuter, dwClsContext, riid, ppv);
}
