// ComObject: the one base that gives an object implementing several interfaces its reference
// count and QueryInterface.
//
//   class Group final : public com::ComObject<IOPCItemMgt, IOPCGroupStateMgt, ...> { ... };
//   com::ComPtr<Group> g = com::MakeObject<Group>(args...);
//
// QueryInterface answers IUnknown (always through the first interface, so the identity rule
// holds: every QueryInterface for IUnknown on one object gives the same pointer) and each
// listed interface, in the order listed. A derived class answers further identifiers, for
// example an interface offered only in some states, by overriding QueryExtraInterface.
#pragma once

#include <atomic>
#include <new>
#include <type_traits>
#include <utility>

#include "platform/com/unknown.h"

namespace com {

template <class First, class... Rest>
class ComObject : public First, public Rest... {
 public:
  ComObject() = default;
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown) return ReturnInterface<First>(this, ppv);
    if (FindListed<First, Rest...>(riid, ppv)) return S_OK;
    return QueryExtraInterface(riid, ppv);
  }

  ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

  ULONG Release() override {
    ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
      OnFinalRelease();
      delete this;
    }
    return left;
  }

  // The current count; servers use it to tell whether a client still holds an object.
  ULONG RefCount() const { return refs_.load(std::memory_order_acquire); }

  // The object's IUnknown identity without adding a reference.
  IUnknown* Identity() { return static_cast<First*>(this); }

 protected:
  virtual ~ComObject() = default;

  // Identifiers beyond the listed interfaces; the default offers none.
  virtual HRESULT QueryExtraInterface(REFIID /*riid*/, void** /*ppv*/) { return E_NOINTERFACE; }

  // Runs once when the last reference goes, before destruction, while virtual calls still
  // reach the derived class.
  virtual void OnFinalRelease() {}

 private:
  template <class I, class... More>
  bool FindListed(REFIID riid, void** ppv) {
    if (riid == IidOf<I>()) {
      ReturnInterface<I>(this, ppv);
      return true;
    }
    if constexpr (sizeof...(More) > 0) return FindListed<More...>(riid, ppv);
    return false;
  }

  std::atomic<ULONG> refs_{0};
};

// Creates an object and returns it holding the first reference. Out of memory gives null,
// which callers map to E_OUTOFMEMORY.
template <class T, class... Args>
ComPtr<T> MakeObject(Args&&... args) {
  T* raw = new (std::nothrow) T(std::forward<Args>(args)...);
  return ComPtr<T>(raw);
}

}  // namespace com
