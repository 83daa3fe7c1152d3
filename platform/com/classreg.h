// Classes by identifier and by name: class factories, the process's class registry with
// ProgIDs and component categories, and activation (CoCreateInstance).
//
// The registry knows two things about a class. Its description (ProgID, version-independent
// ProgID, display text, implemented categories) lets a process find a class by name or
// category even when the class lives in another program. Its class object, when this process
// serves the class, is what in-process activation uses. Activation in another process goes
// through a pluggable activator that the transport installs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/com/enum.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/object.h"
#include "platform/com/types.h"
#include "platform/com/unknown.h"

inline constexpr IID IID_IClassFactory = com::Guid("00000001-0000-0000-C000-000000000046");

// Where a class may be activated.
inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
inline constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
inline constexpr DWORD CLSCTX_SERVER =
    CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
inline constexpr DWORD CLSCTX_ALL = CLSCTX_INPROC | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

// Registry results not among the common codes.
inline constexpr HRESULT CO_E_OBJISREG = MakeHResult(0x800401FB);
inline constexpr HRESULT CO_E_OBJNOTREG = MakeHResult(0x800401FC);
inline constexpr HRESULT CAT_E_CATIDNOEXIST = MakeHResult(0x80040160);

struct IClassFactory : IUnknown {
  static constexpr const IID& kIID = IID_IClassFactory;

  // A new object queried for riid. pUnkOuter (aggregation) is refused with
  // CLASS_E_NOAGGREGATION.
  virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  // Keeps the serving program running while locked (counted by the program).
  virtual HRESULT LockServer(BOOL fLock) = 0;

 protected:
  ~IClassFactory() = default;
};

namespace com {

// Called with true for LockServer(TRUE), false for LockServer(FALSE).
using LockServerCallback = std::function<void(bool lock)>;

// The class factory of a class T that is default-constructible with com::MakeObject.
template <class T>
class ClassFactory final : public ComObject<IClassFactory> {
 public:
  explicit ClassFactory(LockServerCallback onLock = {}) : onLock_(std::move(onLock)) {}

  HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = nullptr;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    ComPtr<T> object;
    try {
      object = MakeObject<T>();
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    if (!object) return E_OUTOFMEMORY;
    // A failed query leaves the new object with no reference: it ends with `object`.
    return object->QueryInterface(riid, ppvObject);
  }

  HRESULT LockServer(BOOL fLock) override {
    if (onLock_) onLock_(fLock != FALSE);
    return S_OK;
  }

 private:
  LockServerCallback onLock_;
};

// A class factory around a creation function, for classes that need arguments; the function
// gets riid and ppvObject (already null) and answers as CreateInstance does.
class FunctionClassFactory final : public ComObject<IClassFactory> {
 public:
  using Create = std::function<HRESULT(REFIID riid, void** ppvObject)>;

  explicit FunctionClassFactory(Create create, LockServerCallback onLock = {});

  HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override;
  HRESULT LockServer(BOOL fLock) override;

 private:
  Create create_;
  LockServerCallback onLock_;
};

// What the registry records about a class. Texts are UTF-8; ProgIDs are matched without
// regard to ASCII case, as registry names are.
struct ClassRegistration {
  CLSID clsid{};
  std::string progId;                    // "ZYNServer.OPCServer.1"; may be empty
  std::string versionIndependentProgId;  // "ZYNServer.OPCServer"; may be empty
  std::string description;               // "ZYN Server"
  std::vector<CATID> implementedCategories;
};

// Activation outside this process, installed by the transport. kInstance asks for a new
// object queried for riid, kClassObject for the class object. clsContext holds only the
// out-of-process bits of the request.
enum class ActivationKind { kInstance, kClassObject };
using Activator = std::function<HRESULT(ActivationKind kind, REFCLSID clsid, DWORD clsContext,
                                        REFIID riid, void** ppv)>;

// The class registry. The process has one (ProcessClassRegistry), which the classic entry
// points below use; tests may make their own. Safe to call from any thread; no lock is held
// while a class object, a created object or the activator is called.
class ClassRegistry {
 public:
  ClassRegistry();
  ~ClassRegistry();
  ClassRegistry(const ClassRegistry&) = delete;
  ClassRegistry& operator=(const ClassRegistry&) = delete;

  // Records a class, or replaces the description of one already recorded (its class object
  // stays). With classObject it also registers the class object, as RegisterClassObject.
  // A null CLSID, or a ProgID that already names another class, gives E_INVALIDARG.
  HRESULT RegisterClass(const ClassRegistration& registration, IUnknown* classObject = nullptr);
  // Forgets the class entirely (description, categories, class object); CO_E_OBJNOTREG if
  // it is not recorded.
  HRESULT RevokeClass(REFCLSID clsid);

  // Serves the class from this process with classObject (one reference held; it should
  // implement IClassFactory). A class not recorded yet is recorded without names.
  // CO_E_OBJISREG if the class already has a class object, E_INVALIDARG for null arguments.
  HRESULT RegisterClassObject(REFCLSID clsid, IUnknown* classObject);
  // Stops serving the class (its description stays); CO_E_OBJNOTREG if it had no class object.
  HRESULT RevokeClassObject(REFCLSID clsid);

  // Names. CLSIDFromProgID knows versioned ProgIDs and version-independent ones (the latter
  // name the class recorded last under it); unknown or missing text gives CO_E_CLASSSTRING
  // and *clsid = CLSID_NULL. ProgIDFromCLSID gives a task-allocated copy of the ProgID (the
  // version-independent one when there is no other), REGDB_E_CLASSNOTREG for a class without.
  HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid) const;
  HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* progId) const;
  std::optional<ClassRegistration> FindClass(REFCLSID clsid) const;

  // Component categories. A category is registered with its description (a later call
  // replaces it); classes may implement categories that are not registered.
  HRESULT RegisterCategory(REFCATID catid, std::string_view description);
  HRESULT UnregisterCategory(REFCATID catid);  // CAT_E_CATIDNOEXIST if unknown
  // *description: task-allocated; CAT_E_CATIDNOEXIST if unknown.
  HRESULT GetCategoryDescription(REFCATID catid, LPOLESTR* description) const;
  // Adds to or removes from a recorded class's implemented categories (REGDB_E_CLASSNOTREG
  // for a class not recorded).
  HRESULT RegisterClassImplCategories(REFCLSID clsid, std::span<const CATID> catids);
  HRESULT UnRegisterClassImplCategories(REFCLSID clsid, std::span<const CATID> catids);
  // The classes that implement at least one of rgcatidImpl (cImplemented = ULONG(-1): any
  // class; 0 is invalid), in CLSID order. Classes here require no categories, so every class
  // passes the rgcatidReq filter; the argument is checked and otherwise ignored.
  HRESULT EnumClassesOfCategories(ULONG cImplemented, const CATID rgcatidImpl[], ULONG cRequired,
                                  const CATID rgcatidReq[], IEnumGUID** ppenumClsid) const;

  // Activation. In-process requests (CLSCTX_INPROC_*) use this process's class object;
  // out-of-process ones (CLSCTX_LOCAL_SERVER, CLSCTX_REMOTE_SERVER) the activator. A class
  // reachable neither way gives REGDB_E_CLASSNOTREG, a context without any of the bits
  // E_INVALIDARG. Aggregation is refused (CLASS_E_NOAGGREGATION) across processes and by
  // our factories.
  HRESULT GetClassObject(REFCLSID clsid, DWORD clsContext, REFIID riid, void** ppv) const;
  HRESULT CreateInstance(REFCLSID clsid, IUnknown* pUnkOuter, DWORD clsContext, REFIID riid,
                         void** ppv) const;
  // An empty function removes the activator.
  void SetActivator(Activator activator);

 private:
  struct Entry {
    ClassRegistration registration;
    ComPtr<IUnknown> classObject;
    std::uint64_t sequence = 0;  // when the description was last recorded
  };

  const Entry* FindByProgIdLocked(std::string_view progId) const;
  ComPtr<IUnknown> InProcClassObject(REFCLSID clsid) const;
  Activator CurrentActivator() const;

  mutable std::mutex mutex_;
  std::map<CLSID, Entry> classes_;
  std::map<CATID, std::string> categories_;
  Activator activator_;
  std::uint64_t sequence_ = 0;
};

// The process's registry, used by the entry points below.
ClassRegistry& ProcessClassRegistry();

}  // namespace com

// The classic entry points over the process's registry.
HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid);
HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);
// pvReserved stands where the remote-server record goes in the classic signature; machines
// are reached through the transport's own activation, so it must be null (E_INVALIDARG).
HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void* pvReserved, REFIID riid,
                         void** ppv);
// Also creates CLSID_StdGlobalInterfaceTable in-process: the call gives the process's table.
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                         void** ppv);
