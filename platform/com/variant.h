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
// Frees what the VARIANT owns (BSTR, array, reference) and sets it to VT_EMPTY. A type that is
// not valid gives DISP_E_BADVARTYPE and a VARIANT holding a locked array DISP_E_ARRAYISLOCKED;
// both leave the VARIANT as it was. VT_BYREF values own nothing.
HRESULT VariantClear(VARIANT* pvarg) noexcept;
// Deep-copies src into dest, clearing what dest held before (a new BSTR, a copied array, an
// added reference; VT_BYREF values are copied as the reference). On failure dest is unchanged.
HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc) noexcept;
// Converts src to vt into dest (dest may equal src). DISP_E_TYPEMISMATCH when no conversion
// exists, DISP_E_OVERFLOW when the value does not fit, DISP_E_BADVARTYPE for an unknown type.
// On failure dest is unchanged. The rules are the classic runtime's, with text that does not
// depend on the locale:
// - Numbers become text in the shortest form that reads back to the same value, with '.' and
//   an 'e' exponent where that is shorter ("0.1", "1e+20", "-3"); text becomes a number when
//   it is a decimal number (spaces around it, a sign, a fraction and an exponent allowed).
// - Floating point to integer rounds half to even; a value outside the target's range gives
//   DISP_E_OVERFLOW.
// - VT_BOOL is the number -1 (true) or 0 (false); to a narrower or unsigned integer it wraps
//   (true is 0xFF as VT_UI1), as in the classic runtime. To text it is "-1"/"0", or a word with
//   VARIANT_ALPHABOOL or VARIANT_LOCALBOOL: "True"/"False", or with VARIANT_LOCALBOOL and a
//   German LCID "Wahr"/"Falsch". Text to VT_BOOL accepts those words in any case (the English
//   ones always), "#TRUE#"/"#FALSE#" and numbers.
// - VT_DATE is a number for numeric targets; as text it is "YYYY-MM-DD hh:mm:ss[.fff]", with
//   only the date at midnight and only the time on 30 December 1899, and reads back from the
//   same forms (also with 'T' between date and time).
// - VT_EMPTY is 0, "" or false. VT_NULL converts only to VT_NULL; VT_ERROR only to VT_ERROR.
//   Any other scalar converts to VT_EMPTY and VT_NULL (the value is dropped).
// - VT_VARIANT as the target is a copy. Arrays convert only to their own type (or to VT_ARRAY
//   exactly); VT_CY and VT_DECIMAL values have no conversions here.
// - A VT_BYREF source is read through its reference.
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
  // Without this a literal would pick the bool constructor.
  explicit Variant(const char* text) : Variant(std::string_view(text ? text : "")) {}
  // Takes the array; vt is VT_ARRAY | its element type unless given (VT_ARRAY exactly, say).
  explicit Variant(SafeArray array, VARTYPE vt = VT_EMPTY) noexcept;
  static Variant FromDate(DATE date) noexcept;
  // Deep copy; throws std::bad_alloc when memory runs out and std::invalid_argument for a
  // VARIANT whose type is not valid.
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
  // Clears the content and returns the VARIANT, for out-parameters.
  VARIANT* put() noexcept {
    VariantClear(&v_);
    return &v_;
  }
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
