// SAFEARRAY: a self-describing array, one-dimensional here (all the system needs).
//
// The array records its element type (as FADF_HAVEVARTYPE arrays do), because a VARIANT of
// type exactly VT_ARRAY carries no element-type bits: SafeArrayGetVartype tells it.
// Supported element types: VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_INT, VT_UINT,
// VT_R4, VT_R8, VT_BOOL, VT_ERROR, VT_DATE, VT_BSTR, VT_VARIANT, VT_UNKNOWN.
#pragma once

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

// Creation: only cDims == 1 is accepted; null for an unsupported type or no memory.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) noexcept;
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) noexcept;
// Frees the elements (BSTRs, VARIANTs, interface references) and the array.
HRESULT SafeArrayDestroy(SAFEARRAY* psa) noexcept;
// Deep copy.
HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) noexcept;

UINT SafeArrayGetDim(SAFEARRAY* psa) noexcept;
UINT SafeArrayGetElemsize(SAFEARRAY* psa) noexcept;
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) noexcept;
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) noexcept;
HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) noexcept;

// Element access by index (rgIndices points at one LONG). Get hands out a copy the caller
// owns (a new BSTR, a copied VARIANT, an added reference); Put stores a copy of *pv.
HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) noexcept;
HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) noexcept;

// Direct access to the element block while locked.
HRESULT SafeArrayLock(SAFEARRAY* psa) noexcept;
HRESULT SafeArrayUnlock(SAFEARRAY* psa) noexcept;
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) noexcept;
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) noexcept;
