// IUnknown, the root of every interface, and ComPtr, the smart pointer that holds one
// reference on an interface.
//
// An interface is an abstract struct deriving from IUnknown that names its identifier as
// `static constexpr const IID& kIID`; `com::IidOf<I>()` reads it, so QueryInterface calls and
// smart-pointer casts cannot pair a pointer type with the wrong identifier.
#pragma once

#include <cstddef>
#include <utility>

#include "platform/com/guid.h"
#include "platform/com/hresult.h"

inline constexpr IID IID_IUnknown = com::Guid("00000000-0000-0000-C000-000000000046");

struct IUnknown {
  static constexpr const IID& kIID = IID_IUnknown;
  virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  // Objects end through Release, never through delete on an interface pointer.
  ~IUnknown() = default;
};

namespace com {

template <class I>
constexpr const IID& IidOf() {
  return I::kIID;
}

// Holds one reference on an interface pointer. Copying adds a reference, destruction releases.
template <class T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  // Takes a new reference on p.
  ComPtr(T* p) noexcept : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& other) noexcept : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  template <class U>
  ComPtr(const ComPtr<U>& other) noexcept : ComPtr(static_cast<T*>(other.Get())) {}
  ~ComPtr() { Reset(); }

  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) noexcept {
    Reset();
    return *this;
  }

  T* Get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // Releases the held reference and returns the slot, for out-parameters (`T**`).
  T** ReleaseAndGetAddressOf() noexcept {
    Reset();
    return &p_;
  }
  // The slot without releasing; only for a pointer known to be null.
  T** GetAddressOf() noexcept { return &p_; }
  void** ReleaseAndGetVoidAddressOf() noexcept {
    return reinterpret_cast<void**>(ReleaseAndGetAddressOf());
  }

  void Reset() noexcept {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // Adopts a reference the caller already owns.
  void Attach(T* p) noexcept {
    Reset();
    p_ = p;
  }
  // Gives up the reference without releasing it.
  [[nodiscard]] T* Detach() noexcept { return std::exchange(p_, nullptr); }

  // Hands out an added reference, as an out-parameter would.
  HRESULT CopyTo(T** out) const noexcept {
    if (out == nullptr) return E_POINTER;
    *out = p_;
    if (p_) p_->AddRef();
    return S_OK;
  }

  // QueryInterface for U.
  template <class U>
  HRESULT As(ComPtr<U>* out) const noexcept {
    if (out == nullptr) return E_POINTER;
    if (p_ == nullptr) {
      out->Reset();
      return E_POINTER;
    }
    return p_->QueryInterface(IidOf<U>(), out->ReleaseAndGetVoidAddressOf());
  }
  template <class U>
  ComPtr<U> As() const noexcept {
    ComPtr<U> out;
    As(&out);
    return out;
  }

  friend bool operator==(const ComPtr& a, const ComPtr& b) noexcept { return a.p_ == b.p_; }
  friend bool operator==(const ComPtr& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }

 private:
  T* p_ = nullptr;
};

// Wraps a pointer that already carries the reference being handed over.
template <class T>
ComPtr<T> Adopt(T* p) noexcept {
  ComPtr<T> out;
  out.Attach(p);
  return out;
}

// Writes *ppv = static_cast<I*>(obj) with a reference added; the usual tail of QueryInterface.
template <class I, class Obj>
HRESULT ReturnInterface(Obj* obj, void** ppv) {
  I* itf = static_cast<I*>(obj);
  itf->AddRef();
  *ppv = itf;
  return S_OK;
}

}  // namespace com
