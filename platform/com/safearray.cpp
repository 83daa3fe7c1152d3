#include "platform/com/safearray.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "platform/com/bstr.h"
#include "platform/com/unknown.h"
#include "platform/com/variant.h"

namespace {

constexpr ULONG kMaxLocks = 65535;

// The size of one element, or 0 for a type an array cannot hold.
ULONG ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_DATE:
      return 8;
    case VT_BSTR:
      return sizeof(BSTR);
    case VT_UNKNOWN:
      return sizeof(IUnknown*);
    case VT_VARIANT:
      return sizeof(VARIANT);
    default:
      return 0;
  }
}

USHORT FeaturesOf(VARTYPE vt) {
  USHORT features = FADF_HAVEVARTYPE;
  if (vt == VT_BSTR) features |= FADF_BSTR;
  if (vt == VT_UNKNOWN) features |= FADF_UNKNOWN;
  if (vt == VT_VARIANT) features |= FADF_VARIANT;
  return features;
}

std::atomic_ref<ULONG> Locks(SAFEARRAY* psa) {
  return std::atomic_ref<ULONG>(psa->cLocks);
}

char* ElementAt(SAFEARRAY* psa, std::size_t i) {
  return static_cast<char*>(psa->pvData) + i * psa->cbElements;
}

// The zero-based position of *rgIndices, or -1 when it lies outside the bounds.
std::int64_t Position(SAFEARRAY* psa, const LONG* rgIndices) {
  const std::int64_t pos = std::int64_t{*rgIndices} - psa->rgsabound[0].lLbound;
  return pos >= 0 && pos < std::int64_t{psa->rgsabound[0].cElements} ? pos : -1;
}

// Frees what element i owns and zeroes it.
void ReleaseElement(SAFEARRAY* psa, std::size_t i) {
  char* slot = ElementAt(psa, i);
  switch (psa->vt) {
    case VT_BSTR: {
      BSTR s;
      std::memcpy(&s, slot, sizeof s);
      SysFreeString(s);
      break;
    }
    case VT_UNKNOWN: {
      IUnknown* p;
      std::memcpy(&p, slot, sizeof p);
      if (p != nullptr) p->Release();
      break;
    }
    case VT_VARIANT:
      // A variant holding a locked array keeps it (a leak, not a use after free).
      VariantClear(reinterpret_cast<VARIANT*>(slot));
      break;
    default:
      break;
  }
  std::memset(slot, 0, psa->cbElements);
}

// Copies one element of src's type from `from` into the zeroed slot `to`.
HRESULT CopyElement(VARTYPE vt, ULONG size, const char* from, char* to) {
  switch (vt) {
    case VT_BSTR: {
      BSTR s;
      std::memcpy(&s, from, sizeof s);
      if (s != nullptr) {
        s = SysAllocStringByteLen(s, SysStringByteLen(s));
        if (s == nullptr) return E_OUTOFMEMORY;
      }
      std::memcpy(to, &s, sizeof s);
      return S_OK;
    }
    case VT_UNKNOWN: {
      IUnknown* p;
      std::memcpy(&p, from, sizeof p);
      if (p != nullptr) p->AddRef();
      std::memcpy(to, &p, sizeof p);
      return S_OK;
    }
    case VT_VARIANT: {
      VARIANT v;
      VariantInit(&v);
      HRESULT hr = VariantCopy(&v, reinterpret_cast<const VARIANT*>(from));
      if (FAILED(hr)) return hr;
      std::memcpy(to, &v, sizeof v);
      return S_OK;
    }
    default:
      std::memcpy(to, from, size);
      return S_OK;
  }
}

void FreeArray(SAFEARRAY* psa) {
  for (std::size_t i = 0; i < psa->rgsabound[0].cElements; ++i)
    ReleaseElement(psa, i);
  std::free(psa->pvData);
  std::free(psa);
}

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) noexcept {
  if (cDims != 1 || rgsabound == nullptr) return nullptr;
  const ULONG size = ElementSize(vt);
  if (size == 0) return nullptr;
  const SAFEARRAYBOUND bound = rgsabound[0];
  // The upper bound (lower bound - 1 for an empty array) must be a LONG too.
  const std::int64_t upper = std::int64_t{bound.lLbound} + bound.cElements - 1;
  if (upper > std::numeric_limits<LONG>::max() || upper < std::numeric_limits<LONG>::min())
    return nullptr;
  if (bound.cElements > std::numeric_limits<std::size_t>::max() / size) return nullptr;
  const std::size_t bytes = std::size_t{bound.cElements} * size;

  auto* psa = static_cast<SAFEARRAY*>(std::calloc(1, sizeof(SAFEARRAY)));
  if (psa == nullptr) return nullptr;
  // Zeroed elements are valid ones of every supported type; a non-null block even when empty
  // keeps SafeArrayAccessData's answer uniform.
  psa->pvData = std::calloc(bytes == 0 ? 1 : bytes, 1);
  if (psa->pvData == nullptr) {
    std::free(psa);
    return nullptr;
  }
  psa->cDims = 1;
  psa->fFeatures = FeaturesOf(vt);
  psa->cbElements = size;
  psa->cLocks = 0;
  psa->vt = vt;
  psa->rgsabound[0] = bound;
  return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) noexcept {
  SAFEARRAYBOUND bound{cElements, lLbound};
  return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) noexcept {
  if (psa == nullptr) return S_OK;
  if (Locks(psa).load() > 0) return DISP_E_ARRAYISLOCKED;
  FreeArray(psa);
  return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) noexcept {
  if (ppsaOut == nullptr) return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (psa == nullptr) return S_OK;
  SAFEARRAY* copy = SafeArrayCreate(psa->vt, 1, psa->rgsabound);
  if (copy == nullptr) return E_OUTOFMEMORY;
  for (std::size_t i = 0; i < psa->rgsabound[0].cElements; ++i) {
    HRESULT hr = CopyElement(psa->vt, psa->cbElements, ElementAt(psa, i), ElementAt(copy, i));
    if (FAILED(hr)) {
      FreeArray(copy);  // the elements not yet copied are still zero
      return hr;
    }
  }
  *ppsaOut = copy;
  return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) noexcept {
  return psa ? psa->cDims : 0;
}

UINT SafeArrayGetElemsize(SAFEARRAY* psa) noexcept {
  return psa ? psa->cbElements : 0;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) noexcept {
  if (psa == nullptr || plLbound == nullptr) return E_INVALIDARG;
  if (nDim != 1) return DISP_E_BADINDEX;
  *plLbound = psa->rgsabound[0].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) noexcept {
  if (psa == nullptr || plUbound == nullptr) return E_INVALIDARG;
  if (nDim != 1) return DISP_E_BADINDEX;
  // Creation made sure this fits.
  *plUbound =
      static_cast<LONG>(std::int64_t{psa->rgsabound[0].lLbound} + psa->rgsabound[0].cElements - 1);
  return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) noexcept {
  if (psa == nullptr || pvt == nullptr) return E_INVALIDARG;
  *pvt = psa->vt;
  return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) noexcept {
  if (psa == nullptr || rgIndices == nullptr || pv == nullptr) return E_INVALIDARG;
  const std::int64_t pos = Position(psa, rgIndices);
  if (pos < 0) return DISP_E_BADINDEX;
  HRESULT hr = SafeArrayLock(psa);
  if (FAILED(hr)) return hr;
  // Copied into a zeroed buffer first so a failure leaves *pv untouched.
  alignas(VARIANT) char out[sizeof(VARIANT)] = {};
  hr = CopyElement(psa->vt, psa->cbElements, ElementAt(psa, static_cast<std::size_t>(pos)), out);
  if (SUCCEEDED(hr)) std::memcpy(pv, out, psa->cbElements);
  SafeArrayUnlock(psa);
  return hr;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) noexcept {
  if (psa == nullptr || rgIndices == nullptr) return E_INVALIDARG;
  if (pv == nullptr && psa->vt != VT_BSTR && psa->vt != VT_UNKNOWN) return E_INVALIDARG;
  const std::int64_t pos = Position(psa, rgIndices);
  if (pos < 0) return DISP_E_BADINDEX;
  HRESULT hr = SafeArrayLock(psa);
  if (FAILED(hr)) return hr;
  char* slot = ElementAt(psa, static_cast<std::size_t>(pos));
  // BSTR and IUnknown elements are passed by value; make them look like the others.
  const char* from = static_cast<const char*>(pv);
  if (psa->vt == VT_BSTR || psa->vt == VT_UNKNOWN) from = reinterpret_cast<const char*>(&pv);
  // The copy is made before the old element goes, so storing an element into its own slot
  // (or a value that the old element owns) works.
  alignas(VARIANT) char fresh[sizeof(VARIANT)] = {};
  hr = CopyElement(psa->vt, psa->cbElements, from, fresh);
  if (SUCCEEDED(hr)) {
    ReleaseElement(psa, static_cast<std::size_t>(pos));
    std::memcpy(slot, fresh, psa->cbElements);
  }
  SafeArrayUnlock(psa);
  return hr;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) noexcept {
  if (psa == nullptr) return E_INVALIDARG;
  if (Locks(psa).fetch_add(1) >= kMaxLocks) {
    Locks(psa).fetch_sub(1);
    return E_UNEXPECTED;
  }
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) noexcept {
  if (psa == nullptr) return E_INVALIDARG;
  auto locks = Locks(psa);
  ULONG now = locks.load();
  do {
    if (now == 0) return E_UNEXPECTED;
  } while (!locks.compare_exchange_weak(now, now - 1));
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) noexcept {
  if (psa == nullptr || ppvData == nullptr) return E_INVALIDARG;
  HRESULT hr = SafeArrayLock(psa);
  if (FAILED(hr)) return hr;
  *ppvData = psa->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) noexcept {
  return SafeArrayUnlock(psa);
}

namespace com {

SafeArray::SafeArray(VARTYPE vt, ULONG count, LONG lbound) {
  if (ElementSize(vt) == 0) throw std::invalid_argument("unsupported SAFEARRAY element type");
  const std::int64_t upper = std::int64_t{lbound} + count - 1;
  if (upper > std::numeric_limits<LONG>::max() || upper < std::numeric_limits<LONG>::min())
    throw std::invalid_argument("SAFEARRAY bounds out of range");
  p_ = SafeArrayCreateVector(vt, lbound, count);
  if (p_ == nullptr) throw std::bad_alloc();
}

SafeArray::SafeArray(const SafeArray& other) {
  HRESULT hr = SafeArrayCopy(other.p_, &p_);
  if (FAILED(hr)) throw std::bad_alloc();
}

SAFEARRAY** SafeArray::put() noexcept {
  reset();
  return &p_;
}

void SafeArray::reset(SAFEARRAY* psa) noexcept {
  if (psa == p_) return;
  SafeArrayDestroy(std::exchange(p_, psa));
}

SafeArray MakeBstrArray(std::span<const std::string> items) {
  if (items.size() > std::numeric_limits<LONG>::max()) throw std::bad_alloc();
  SafeArray array(VT_BSTR, static_cast<ULONG>(items.size()));
  SafeArrayData<BSTR> data(array.get());
  for (std::size_t i = 0; i < items.size(); ++i)
    data[i] = Bstr(items[i]).release();
  return array;
}

SafeArray MakeI4Array(std::span<const LONG> items) {
  if (items.size() > std::numeric_limits<LONG>::max()) throw std::bad_alloc();
  SafeArray array(VT_I4, static_cast<ULONG>(items.size()));
  SafeArrayData<LONG> data(array.get());
  if (!items.empty()) std::memcpy(&data[0], items.data(), items.size() * sizeof(LONG));
  return array;
}

}  // namespace com
