// Enumerators: IEnumString, IEnumUnknown and IEnumGUID, and the implementation every
// enumerator over a fixed list shares.
//
// All enumerators follow one contract: Next(celt, rgelt, pceltFetched) hands out up to celt
// elements and answers S_OK when it handed out exactly celt, S_FALSE (with the count in
// *pceltFetched) when the end came first. rgelt is required (E_POINTER); pceltFetched may be
// left out only when asking for one element (E_INVALIDARG otherwise). Skip moves the position
// on and answers S_FALSE when it ran into the end; Reset goes back to the first element; Clone
// gives an independent enumerator over the same elements at the same position.
//
// What Next hands out belongs to the caller: strings are task-allocated (CoTaskMemFree),
// interface pointers carry a reference (Release).
#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/object.h"
#include "platform/com/taskmem.h"
#include "platform/com/types.h"
#include "platform/com/unknown.h"

inline constexpr IID IID_IEnumUnknown = com::Guid("00000100-0000-0000-C000-000000000046");
inline constexpr IID IID_IEnumString = com::Guid("00000101-0000-0000-C000-000000000046");
inline constexpr IID IID_IEnumGUID = com::Guid("0002E000-0000-0000-C000-000000000046");
// Class and category lists travel as GUID lists under the same identifier.
inline constexpr IID IID_IEnumCLSID = IID_IEnumGUID;
inline constexpr IID IID_IEnumCATID = IID_IEnumGUID;

struct IEnumString : IUnknown {
  static constexpr const IID& kIID = IID_IEnumString;

  // rgelt[i]: task-allocated UTF-8 text, freed by the caller.
  virtual HRESULT Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumString** ppenum) = 0;

 protected:
  ~IEnumString() = default;
};

struct IEnumUnknown : IUnknown {
  static constexpr const IID& kIID = IID_IEnumUnknown;

  // rgelt[i]: an interface pointer with one reference for the caller.
  virtual HRESULT Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumUnknown** ppenum) = 0;

 protected:
  ~IEnumUnknown() = default;
};

struct IEnumGUID : IUnknown {
  static constexpr const IID& kIID = IID_IEnumGUID;

  virtual HRESULT Next(ULONG celt, GUID* rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumGUID** ppenum) = 0;

 protected:
  ~IEnumGUID() = default;
};

using IEnumCLSID = IEnumGUID;
using IEnumCATID = IEnumGUID;

namespace com {

// How an enumerator over a list of `Stored` hands out one element as `Out`. A policy gives
//   static HRESULT CopyOut(const Stored& from, Out* to);  // the caller's own copy
//   static void Discard(Out* item);                       // undoes CopyOut
// Discard is used when a later element of the same Next call cannot be copied: Next then hands
// out nothing rather than a part of the batch.
template <class T>
struct TrivialCopyPolicy {
  static HRESULT CopyOut(const T& from, T* to) {
    *to = from;
    return S_OK;
  }
  static void Discard(T* item) { *item = T{}; }
};

struct StringCopyPolicy {
  static HRESULT CopyOut(const std::string& from, LPOLESTR* to) {
    *to = TaskStrDup(from);
    return *to ? S_OK : E_OUTOFMEMORY;
  }
  static void Discard(LPOLESTR* item) {
    CoTaskMemFree(*item);
    *item = nullptr;
  }
};

template <class I>
struct InterfaceCopyPolicy {
  static HRESULT CopyOut(const ComPtr<I>& from, I** to) { return from.CopyTo(to); }
  static void Discard(I** item) {
    if (*item) (*item)->Release();
    *item = nullptr;
  }
};

// An enumerator over a fixed list. Clones share the list (it never changes) and keep their own
// position. `owner`, when given, is held for as long as the enumerator or any clone lives: an
// enumerator over an object's data keeps that object alive.
//
// Calls may come from several threads; the position is guarded by a lock.
template <class I, class Out, class Stored, class Policy>
class VectorEnumerator final : public ComObject<I> {
 public:
  using Items = std::vector<Stored>;

  VectorEnumerator(std::shared_ptr<const Items> items, std::size_t position, ComPtr<IUnknown> owner)
      : items_(std::move(items)), position_(position), owner_(std::move(owner)) {}

  HRESULT Next(ULONG celt, Out* rgelt, ULONG* pceltFetched) override {
    if (pceltFetched) *pceltFetched = 0;
    if (rgelt == nullptr) return E_POINTER;
    if (pceltFetched == nullptr && celt != 1) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    const std::size_t count = std::min<std::size_t>(celt, items_->size() - position_);
    for (std::size_t i = 0; i < count; ++i) {
      HRESULT hr = Policy::CopyOut((*items_)[position_ + i], &rgelt[i]);
      if (FAILED(hr)) {
        for (std::size_t j = 0; j < i; ++j)
          Policy::Discard(&rgelt[j]);
        return hr;
      }
    }
    position_ += count;
    if (pceltFetched) *pceltFetched = static_cast<ULONG>(count);
    return count == celt ? S_OK : S_FALSE;
  }

  HRESULT Skip(ULONG celt) override {
    std::lock_guard lock(mutex_);
    const std::size_t count = std::min<std::size_t>(celt, items_->size() - position_);
    position_ += count;
    return count == celt ? S_OK : S_FALSE;
  }

  HRESULT Reset() override {
    std::lock_guard lock(mutex_);
    position_ = 0;
    return S_OK;
  }

  HRESULT Clone(I** ppenum) override {
    if (ppenum == nullptr) return E_POINTER;
    *ppenum = nullptr;
    std::size_t position;
    {
      std::lock_guard lock(mutex_);
      position = position_;
    }
    auto clone = MakeObject<VectorEnumerator>(items_, position, owner_);
    if (!clone) return E_OUTOFMEMORY;
    *ppenum = clone.Detach();
    return S_OK;
  }

 private:
  const std::shared_ptr<const Items> items_;
  std::mutex mutex_;
  std::size_t position_;
  const ComPtr<IUnknown> owner_;
};

// Makes an enumerator of interface I over `items`; null when memory runs out.
template <class I, class Out, class Stored, class Policy>
ComPtr<I> MakeVectorEnumerator(std::vector<Stored> items, ComPtr<IUnknown> owner = nullptr) {
  using Enumerator = VectorEnumerator<I, Out, Stored, Policy>;
  std::shared_ptr<const std::vector<Stored>> shared;
  try {
    shared = std::make_shared<const std::vector<Stored>>(std::move(items));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  ComPtr<Enumerator> made = MakeObject<Enumerator>(std::move(shared), 0, std::move(owner));
  return ComPtr<I>(made.Get());
}

// Ready enumerators over copies of the given elements; null when memory runs out.
ComPtr<IEnumString> MakeStringEnumerator(std::vector<std::string> items,
                                         ComPtr<IUnknown> owner = nullptr);
ComPtr<IEnumUnknown> MakeUnknownEnumerator(std::vector<ComPtr<IUnknown>> items,
                                           ComPtr<IUnknown> owner = nullptr);
ComPtr<IEnumGUID> MakeGuidEnumerator(std::vector<GUID> items, ComPtr<IUnknown> owner = nullptr);

}  // namespace com
