// VARIANT: the tagged value of automation.
#pragma once

#include <string_view>
#include <utility>

#include "platform/com/bstr.h"
#include "platform/com/filetime.h"
#include "platform/com/hresult.h"
#include "platform/com/safearray.h"
#include "platform/com/types.h"

struct IUnknown;

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0x0fff,
};

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    ULONGLONG ullVal;
    LONG lVal;
    ULONG ulVal;
    INT intVal;
    UINT uintVal;
    BYTE bVal;
    CHAR cVal;
    SHORT iVal;
    USHORT uiVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    SAFEARRAY* parray;
    VARIANT* pvarVal;  // VT_BYREF | VT_VARIANT
    void* byref;
  };
};
static_assert(sizeof(VARIANT) == 16);

using VARIANTARG = VARIANT;

// Flags of VariantChangeTypeEx.
inline constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
inline constexpr USHORT VARIANT_ALPHABOOL = 0x02;  // VT_BOOL <-> "True"/"False"
inline constexpr USHORT VARIANT_NOUSEROVERRIDE = 0x04;
inline constexpr USHORT VARIANT_LOCALBOOL = 0x10;  // the locale's words for true and false

void VariantInit(VARIANT* pvarg) noexcept;
// Frees what the VARIANT owns (BSTR, array, reference) and sets it to VT_EMPTY.
HRESULT VariantClear(VARIANT* pvarg) noexcept;
// Clears dest, then deep-copies src into it.
HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc) noexcept;
// Converts src to vt into dest (dest may equal src). DISP_E_TYPEMISMATCH when no conversion
// exists, DISP_E_OVERFLOW when the value does not fit, DISP_E_BADVARTYPE for an unknown type.
HRESULT VariantChangeTypeEx(VARIANT* pvargDest, const VARIANT* pvarSrc, LCID lcid, USHORT wFlags,
                            VARTYPE vt) noexcept;
HRESULT VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, USHORT wFlags,
                          VARTYPE vt) noexcept;

namespace com {

// Owns one VARIANT: cleared on destruction, deep-copied on copy.
class Variant {
 public:
  Variant() noexcept { VariantInit(&v_); }
  explicit Variant(double d) noexcept;
  explicit Variant(LONG l) noexcept;
  explicit Variant(bool b) noexcept;
  explicit Variant(std::string_view text);
  Variant(const VARIANT& v);
  Variant(const Variant& other) : Variant(other.v_) {}
  Variant(Variant&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }
  Variant& operator=(Variant other) noexcept {
    std::swap(v_, other.v_);
    return *this;
  }
  ~Variant() { VariantClear(&v_); }

  VARIANT* get() noexcept { return &v_; }
  const VARIANT* get() const noexcept { return &v_; }
  VARTYPE vt() const noexcept { return v_.vt; }
  // Hands the content to the caller, leaving this empty.
  [[nodiscard]] VARIANT release() noexcept {
    VARIANT out = v_;
    VariantInit(&v_);
    return out;
  }
  HRESULT ChangeType(VARTYPE vt, USHORT flags = 0, LCID lcid = LOCALE_USER_DEFAULT) noexcept {
    return VariantChangeTypeEx(&v_, &v_, lcid, flags, vt);
  }

 private:
  VARIANT v_;
};

}  // namespace com
