// SAFEARRAY: a self-describing array, one-dimensional here (all the system needs).
//
// The array records its element type (as FADF_HAVEVARTYPE arrays do), because a VARIANT of
// type exactly VT_ARRAY carries no element-type bits: SafeArrayGetVartype tells it.
// Supported element types: VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_I8, VT_UI8, VT_INT,
// VT_UINT, VT_R4, VT_R8, VT_BOOL, VT_ERROR, VT_DATE, VT_BSTR, VT_VARIANT, VT_UNKNOWN.
//
// Elements start zeroed (0, null BSTR, VT_EMPTY, null reference). The array owns its BSTR,
// VARIANT and IUnknown elements: it frees the texts, clears the variants and releases the
// references when it is destroyed.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <utility>

#include "platform/com/hresult.h"
#include "platform/com/types.h"

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};

struct SAFEARRAY {
  USHORT cDims;      // always 1
  USHORT fFeatures;  // FADF_* flags
  ULONG cbElements;  // size of one element
  ULONG cLocks;      // SafeArrayLock count; a locked array cannot be destroyed
  void* pvData;
  VARTYPE vt;  // element type
  SAFEARRAYBOUND rgsabound[1];
};

inline constexpr USHORT FADF_BSTR = 0x0100;
inline constexpr USHORT FADF_UNKNOWN = 0x0200;
inline constexpr USHORT FADF_VARIANT = 0x0800;
inline constexpr USHORT FADF_HAVEVARTYPE = 0x0080;

// Creation: only cDims == 1 is accepted; null for an unsupported type, bounds whose upper end
// does not fit a LONG, or no memory.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) noexcept;
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) noexcept;
// Frees the elements (BSTRs, VARIANTs, interface references) and the array. A locked array
// is left as it is: DISP_E_ARRAYISLOCKED. Null is S_OK.
HRESULT SafeArrayDestroy(SAFEARRAY* psa) noexcept;
// Deep copy (new BSTRs, copied VARIANTs, added references); the copy is unlocked. A null psa
// gives a null copy.
HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) noexcept;

UINT SafeArrayGetDim(SAFEARRAY* psa) noexcept;
UINT SafeArrayGetElemsize(SAFEARRAY* psa) noexcept;
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) noexcept;
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) noexcept;
HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) noexcept;

// Element access by index (rgIndices points at one LONG); an index outside the bounds gives
// DISP_E_BADINDEX. Get hands out a copy the caller owns (a new BSTR, a copied VARIANT, an added
// reference), written over *pv without freeing what was there. Put stores a copy and frees
// the element it replaces; as in the classic runtime, pv is the BSTR itself for VT_BSTR and
// the IUnknown* itself for VT_UNKNOWN, and points at the value for every other type.
HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) noexcept;
HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) noexcept;

// Direct access to the element block while locked. Locks nest (up to 65535); unlocking an
// unlocked array gives E_UNEXPECTED.
HRESULT SafeArrayLock(SAFEARRAY* psa) noexcept;
HRESULT SafeArrayUnlock(SAFEARRAY* psa) noexcept;
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) noexcept;
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) noexcept;

namespace com {

// Owns one SAFEARRAY: destroyed with it, deep-copied on copy.
class SafeArray {
 public:
  SafeArray() noexcept = default;
  // Adopts psa.
  explicit SafeArray(SAFEARRAY* psa) noexcept : p_(psa) {}
  // A new vector of count zeroed elements. Throws std::invalid_argument for an unsupported
  // type or bounds, std::bad_alloc when memory runs out.
  SafeArray(VARTYPE vt, ULONG count, LONG lbound = 0);
  SafeArray(const SafeArray& other);
  SafeArray(SafeArray&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  SafeArray& operator=(SafeArray other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  // An array still locked here is a caller's fault; it is then left alone rather than freed
  // under whoever holds its data.
  ~SafeArray() { SafeArrayDestroy(p_); }

  SAFEARRAY* get() const noexcept { return p_; }
  SAFEARRAY** put() noexcept;  // destroys the held array and returns the slot
  [[nodiscard]] SAFEARRAY* release() noexcept { return std::exchange(p_, nullptr); }
  void reset(SAFEARRAY* psa = nullptr) noexcept;
  explicit operator bool() const noexcept { return p_ != nullptr; }

  ULONG size() const noexcept { return p_ ? p_->rgsabound[0].cElements : 0; }
  LONG lbound() const noexcept { return p_ ? p_->rgsabound[0].lLbound : 0; }
  VARTYPE vt() const noexcept { return p_ ? p_->vt : VARTYPE{0}; }

 private:
  SAFEARRAY* p_ = nullptr;
};

// Vectors (lower bound 0) built from C++ values. Throw std::bad_alloc when memory runs out.
SafeArray MakeBstrArray(std::span<const std::string> items);
SafeArray MakeI4Array(std::span<const LONG> items);

// The elements of an array as a span of T while it stays locked (SafeArrayAccessData for the
// lifetime of this object). Empty (false) for a null array or one whose element size is not
// sizeof(T).
template <class T>
class SafeArrayData {
 public:
  explicit SafeArrayData(SAFEARRAY* psa) noexcept {
    void* data = nullptr;
    if (psa != nullptr && psa->cbElements == sizeof(T) &&
        SUCCEEDED(SafeArrayAccessData(psa, &data))) {
      psa_ = psa;
      data_ = static_cast<T*>(data);
    }
  }
  SafeArrayData(const SafeArrayData&) = delete;
  SafeArrayData& operator=(const SafeArrayData&) = delete;
  ~SafeArrayData() {
    if (psa_ != nullptr) SafeArrayUnaccessData(psa_);
  }

  explicit operator bool() const noexcept { return psa_ != nullptr; }
  std::span<T> span() const noexcept {
    return psa_ ? std::span<T>(data_, psa_->rgsabound[0].cElements) : std::span<T>();
  }
  std::size_t size() const noexcept { return span().size(); }
  T& operator[](std::size_t i) const noexcept { return data_[i]; }

 private:
  SAFEARRAY* psa_ = nullptr;
  T* data_ = nullptr;
};

}  // namespace com
