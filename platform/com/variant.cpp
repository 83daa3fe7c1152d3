#include "platform/com/variant.h"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <new>
#include <stdexcept>

#include "platform/com/unknown.h"

namespace {

using std::int64_t;
using std::uint64_t;

constexpr VARTYPE kFlagBits = VT_ARRAY | VT_BYREF;

constexpr bool IsBaseType(VARTYPE base) {
  return base <= VT_DECIMAL || (base >= VT_I1 && base <= VT_UINT);
}

// Whether vt may be held by a VARIANT (asTarget = false) or asked of VariantChangeTypeEx.
// VT_VARIANT alone is only a target ("as it is"); exactly VT_ARRAY is an array whose element
// type the array itself records.
bool ValidType(VARTYPE vt, bool asTarget) {
  const VARTYPE base = vt & VT_TYPEMASK;
  const VARTYPE flags = vt & ~VT_TYPEMASK;
  if ((flags & ~kFlagBits) != 0 || !IsBaseType(base)) return false;
  if (flags == 0) return base != VT_VARIANT || asTarget;
  if (base == VT_NULL) return false;
  if (flags == VT_BYREF) return base != VT_EMPTY;
  return true;
}

bool OwnsNothing(const VARIANT& v) {
  return (v.vt & VT_BYREF) != 0 ||
         ((v.vt & VT_ARRAY) == 0 && v.vt != VT_BSTR && v.vt != VT_UNKNOWN && v.vt != VT_DISPATCH);
}

// Copies src (of a valid type) into *out, which owns nothing yet. On failure *out owns nothing.
HRESULT DeepCopy(const VARIANT& src, VARIANT* out) {
  *out = src;
  if (OwnsNothing(src)) return S_OK;
  if (src.vt & VT_ARRAY) {
    HRESULT hr = SafeArrayCopy(src.parray, &out->parray);
    if (FAILED(hr)) VariantInit(out);
    return hr;
  }
  if (src.vt == VT_BSTR) {
    if (src.bstrVal == nullptr) return S_OK;
    out->bstrVal = SysAllocStringByteLen(src.bstrVal, SysStringByteLen(src.bstrVal));
    if (out->bstrVal == nullptr) {
      VariantInit(out);
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }
  if (src.punkVal != nullptr) src.punkVal->AddRef();  // VT_UNKNOWN, VT_DISPATCH
  return S_OK;
}

// The value a VT_BYREF VARIANT refers to, as a VARIANT that borrows whatever it holds.
HRESULT Dereference(const VARIANT& src, VARIANT* out) {
  VariantInit(out);
  if (src.byref == nullptr) return E_INVALIDARG;
  const VARTYPE target = src.vt & ~VT_BYREF;
  if (target == VT_VARIANT) {
    *out = *src.pvarVal;
    if (!ValidType(out->vt, false)) return DISP_E_BADVARTYPE;
    return (out->vt & VT_BYREF) ? DISP_E_TYPEMISMATCH : S_OK;
  }
  std::size_t size;
  if (target & VT_ARRAY) {
    size = sizeof(SAFEARRAY*);
  } else {
    switch (target) {
      case VT_I1:
      case VT_UI1:
        size = 1;
        break;
      case VT_I2:
      case VT_UI2:
      case VT_BOOL:
        size = 2;
        break;
      case VT_I4:
      case VT_UI4:
      case VT_INT:
      case VT_UINT:
      case VT_R4:
      case VT_ERROR:
        size = 4;
        break;
      case VT_I8:
      case VT_UI8:
      case VT_R8:
      case VT_DATE:
      case VT_CY:
        size = 8;
        break;
      case VT_BSTR:
      case VT_UNKNOWN:
      case VT_DISPATCH:
        size = sizeof(void*);
        break;
      default:  // VT_DECIMAL does not fit this VARIANT's value
        return DISP_E_TYPEMISMATCH;
    }
  }
  std::memcpy(&out->llVal, src.byref, size);
  out->vt = target;
  return S_OK;
}

// ---------------------------------------------------------------------------------------------
// Text.

std::string_view Trim(std::string_view s) {
  auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (!s.empty() && space(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && space(s.back()))
    s.remove_suffix(1);
  return s;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

HRESULT MakeBstr(std::string_view text, VARIANT* out) {
  out->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (out->bstrVal == nullptr) return E_OUTOFMEMORY;
  out->vt = VT_BSTR;
  return S_OK;
}

// A number as read from a source: an exact integer (sign and magnitude) or a double.
struct Number {
  bool isInteger = true;
  bool negative = false;
  uint64_t magnitude = 0;
  double real = 0;

  double AsDouble() const {
    if (!isInteger) return real;
    const auto d = static_cast<double>(magnitude);
    return negative ? -d : d;
  }
};

// Reads a decimal number: optional sign, digits with an optional fraction, optional exponent,
// spaces around it. DISP_E_TYPEMISMATCH for anything else; DISP_E_OVERFLOW when it is beyond
// a double. Integers without fraction or exponent stay exact up to 64 bits.
HRESULT ParseNumber(std::string_view text, Number* n) {
  text = Trim(text);
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const std::size_t start = i;
  auto digits = [&] {
    const std::size_t from = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
      ++i;
    return text.substr(from, i - from);
  };
  const std::string_view whole = digits();
  std::string_view fraction;
  bool point = false;
  if (i < text.size() && text[i] == '.') {
    point = true;
    ++i;
    fraction = digits();
  }
  if (whole.empty() && fraction.empty()) return DISP_E_TYPEMISMATCH;
  int64_t exponent = 0;
  bool hasExponent = false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    hasExponent = true;
    ++i;
    bool expNegative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) expNegative = text[i++] == '-';
    const std::string_view expDigits = digits();
    if (expDigits.empty()) return DISP_E_TYPEMISMATCH;
    for (char c : expDigits)  // saturates: only its sign matters once it is this large
      exponent = std::min<int64_t>(exponent * 10 + (c - '0'), 1'000'000'000);
    if (expNegative) exponent = -exponent;
  }
  if (i != text.size()) return DISP_E_TYPEMISMATCH;

  n->negative = negative;
  if (!point && !hasExponent) {
    auto [ptr, ec] = std::from_chars(whole.data(), whole.data() + whole.size(), n->magnitude);
    if (ec == std::errc()) {
      n->isInteger = true;
      return S_OK;
    }
  }
  n->isInteger = false;
  double value = 0;
  auto [ptr, ec] = std::from_chars(text.data() + start, text.data() + text.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Too large or too small for a double: which one follows from the position of the first
    // significant digit.
    const std::size_t lead = whole.find_first_not_of('0');
    int64_t order;
    if (lead != std::string_view::npos) {
      order = static_cast<int64_t>(whole.size() - lead) - 1 + exponent;
    } else {
      const std::size_t firstFraction = fraction.find_first_not_of('0');
      if (firstFraction == std::string_view::npos) return DISP_E_TYPEMISMATCH;  // cannot be
      order = -static_cast<int64_t>(firstFraction) - 1 + exponent;
    }
    if (order > 0) return DISP_E_OVERFLOW;
    value = 0;
  } else if (ec != std::errc() || ptr != text.data() + text.size()) {
    return DISP_E_TYPEMISMATCH;
  }
  n->real = negative ? -value : value;
  return S_OK;
}

template <class T>
std::string_view FormatShortest(T value, char (&buf)[64]) {
  auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, value);
  return ec == std::errc() ? std::string_view(buf, static_cast<std::size_t>(ptr - buf))
                           : std::string_view();
}

// The words for true and false. German when the locale's own words are asked for and the LCID's
// language is German; English otherwise (also for the default LCIDs, which name no language).
struct BoolWords {
  std::string_view yes, no;
};
constexpr BoolWords kEnglish{"True", "False"};
constexpr BoolWords kGerman{"Wahr", "Falsch"};

const BoolWords& WordsFor(LCID lcid, USHORT flags) {
  if ((flags & VARIANT_LOCALBOOL) && PRIMARYLANGID(LANGIDFROMLCID(lcid)) == LANG_GERMAN)
    return kGerman;
  return kEnglish;
}

HRESULT ParseBool(std::string_view text, LCID lcid, USHORT flags, VARIANT_BOOL* out) {
  const std::string_view t = Trim(text);
  for (const BoolWords* words : {&WordsFor(lcid, flags), &kEnglish}) {
    if (EqualsIgnoringCase(t, words->yes)) {
      *out = VARIANT_TRUE;
      return S_OK;
    }
    if (EqualsIgnoringCase(t, words->no)) {
      *out = VARIANT_FALSE;
      return S_OK;
    }
  }
  if (t == "#TRUE#" || t == "#FALSE#") {
    *out = t == "#TRUE#" ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  Number n;
  HRESULT hr = ParseNumber(t, &n);
  if (FAILED(hr)) return hr;
  *out = n.AsDouble() != 0 ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

// "YYYY-MM-DD", "hh:mm:ss[.fff]" or both, as described in variant.h.
HRESULT FormatDate(DATE date, VARIANT* out) {
  SYSTEMTIME st;
  if (!com::DateToSystemTime(date, &st)) return DISP_E_OVERFLOW;
  const bool epochDay = st.wYear == 1899 && st.wMonth == 12 && st.wDay == 30;
  const bool midnight =
      st.wHour == 0 && st.wMinute == 0 && st.wSecond == 0 && st.wMilliseconds == 0;
  char buf[40];
  int len = 0;
  if (!epochDay)
    len = std::snprintf(buf, sizeof buf, "%04u-%02u-%02u", st.wYear, st.wMonth, st.wDay);
  if (epochDay || !midnight) {
    len += std::snprintf(buf + len, sizeof buf - len, "%s%02u:%02u:%02u", epochDay ? "" : " ",
                         st.wHour, st.wMinute, st.wSecond);
    if (st.wMilliseconds != 0)
      len += std::snprintf(buf + len, sizeof buf - len, ".%03u", st.wMilliseconds);
  }
  return MakeBstr(std::string_view(buf, static_cast<std::size_t>(len)), out);
}

// Reads exactly `count` digits (or, with count < 0, one or two) at text[*i].
bool ReadField(std::string_view text, std::size_t* i, int count, unsigned* value) {
  const int most = count < 0 ? 2 : count;
  int read = 0;
  *value = 0;
  while (read < most && *i < text.size() && text[*i] >= '0' && text[*i] <= '9') {
    *value = *value * 10 + static_cast<unsigned>(text[*i] - '0');
    ++*i;
    ++read;
  }
  return count < 0 ? read > 0 : read == count;
}

bool ReadTime(std::string_view text, std::size_t* i, SYSTEMTIME* st) {
  unsigned h, m, s = 0, ms = 0;
  if (!ReadField(text, i, -1, &h) || *i >= text.size() || text[*i] != ':') return false;
  ++*i;
  if (!ReadField(text, i, 2, &m)) return false;
  if (*i < text.size() && text[*i] == ':') {
    ++*i;
    if (!ReadField(text, i, 2, &s)) return false;
    if (*i < text.size() && text[*i] == '.') {
      ++*i;
      const std::size_t from = *i;
      if (!ReadField(text, i, -1, &ms)) return false;
      if (*i < text.size() && text[*i] >= '0' && text[*i] <= '9') {
        unsigned third;
        ReadField(text, i, 1, &third);
        ms = ms * 10 + third;
      }
      for (std::size_t d = *i - from; d < 3; ++d)
        ms *= 10;
    }
  }
  st->wHour = static_cast<WORD>(h);
  st->wMinute = static_cast<WORD>(m);
  st->wSecond = static_cast<WORD>(s);
  st->wMilliseconds = static_cast<WORD>(ms);
  return true;
}

HRESULT ParseDate(std::string_view text, DATE* out) {
  text = Trim(text);
  SYSTEMTIME st{};
  st.wYear = 1899;
  st.wMonth = 12;
  st.wDay = 30;
  std::size_t i = 0;
  unsigned y, mo, d;
  if (text.find('-') != std::string_view::npos) {
    if (!ReadField(text, &i, 4, &y) || i >= text.size() || text[i++] != '-' ||
        !ReadField(text, &i, -1, &mo) || i >= text.size() || text[i++] != '-' ||
        !ReadField(text, &i, -1, &d))
      return DISP_E_TYPEMISMATCH;
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(mo);
    st.wDay = static_cast<WORD>(d);
    if (i < text.size()) {
      if (text[i] == 'T') {
        ++i;
      } else {
        const std::size_t gap = i;
        while (i < text.size() && text[i] == ' ')
          ++i;
        if (i == gap) return DISP_E_TYPEMISMATCH;
      }
      if (!ReadTime(text, &i, &st)) return DISP_E_TYPEMISMATCH;
    }
  } else if (!ReadTime(text, &i, &st)) {
    return DISP_E_TYPEMISMATCH;
  }
  if (i != text.size()) return DISP_E_TYPEMISMATCH;
  // Well-formed but not a day of the calendar (30 February, 25:00) is no date either.
  return com::SystemTimeToDate(st, out) ? S_OK : DISP_E_TYPEMISMATCH;
}

// ---------------------------------------------------------------------------------------------
// Scalars.

// A source value seen by kind, for the conversions between the scalar types.
struct Scalar {
  enum Kind { kEmpty, kNumber, kBool, kText } kind = kEmpty;
  Number number;             // kNumber
  VARTYPE numberType = 0;    // which scalar type the number came from
  VARIANT_BOOL boolean = 0;  // kBool
  std::string_view text;     // kText
};

bool ReadScalar(const VARIANT& v, Scalar* s) {
  auto integer = [s](int64_t value) {
    s->kind = Scalar::kNumber;
    s->number.isInteger = true;
    s->number.negative = value < 0;
    s->number.magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : value;
  };
  auto unsignedInteger = [s](uint64_t value) {
    s->kind = Scalar::kNumber;
    s->number.isInteger = true;
    s->number.magnitude = value;
  };
  auto real = [s](double value) {
    s->kind = Scalar::kNumber;
    s->number.isInteger = false;
    s->number.real = value;
  };
  s->numberType = v.vt;
  switch (v.vt) {
    case VT_EMPTY:
      s->kind = Scalar::kEmpty;
      return true;
    case VT_I1:
      integer(static_cast<std::int8_t>(v.cVal));
      return true;
    case VT_UI1:
      unsignedInteger(v.bVal);
      return true;
    case VT_I2:
      integer(v.iVal);
      return true;
    case VT_UI2:
      unsignedInteger(v.uiVal);
      return true;
    case VT_I4:
      integer(v.lVal);
      return true;
    case VT_INT:
      integer(v.intVal);
      return true;
    case VT_UI4:
      unsignedInteger(v.ulVal);
      return true;
    case VT_UINT:
      unsignedInteger(v.uintVal);
      return true;
    case VT_I8:
      integer(v.llVal);
      return true;
    case VT_UI8:
      unsignedInteger(v.ullVal);
      return true;
    case VT_R4:
      real(v.fltVal);
      return true;
    case VT_R8:
      real(v.dblVal);
      return true;
    case VT_DATE:
      real(v.date);
      return true;
    case VT_BOOL:
      s->kind = Scalar::kBool;
      s->boolean = v.boolVal;
      return true;
    case VT_BSTR:
      s->kind = Scalar::kText;
      s->text = com::BstrView(v.bstrVal);
      return true;
    default:
      return false;
  }
}

// Stores the low bits of value in an integer of type vt (the wrap-around of VT_BOOL sources).
void StoreWrapped(VARTYPE vt, int64_t value, VARIANT* out) {
  switch (vt) {
    case VT_I1:
      out->cVal = static_cast<char>(static_cast<std::int8_t>(value));
      break;
    case VT_UI1:
      out->bVal = static_cast<BYTE>(value);
      break;
    case VT_I2:
      out->iVal = static_cast<SHORT>(value);
      break;
    case VT_UI2:
      out->uiVal = static_cast<USHORT>(value);
      break;
    case VT_I4:
    case VT_INT:
      out->lVal = static_cast<LONG>(value);
      break;
    case VT_UI4:
    case VT_UINT:
      out->ulVal = static_cast<ULONG>(value);
      break;
    case VT_I8:
      out->llVal = value;
      break;
    default:  // VT_UI8
      out->ullVal = static_cast<uint64_t>(value);
      break;
  }
  out->vt = vt;
}

HRESULT StoreInteger(VARTYPE vt, bool negative, uint64_t magnitude, VARIANT* out) {
  uint64_t maxPositive, maxNegative;
  switch (vt) {
    case VT_I1:
      maxPositive = INT8_MAX, maxNegative = uint64_t{1} << 7;
      break;
    case VT_UI1:
      maxPositive = UINT8_MAX, maxNegative = 0;
      break;
    case VT_I2:
      maxPositive = INT16_MAX, maxNegative = uint64_t{1} << 15;
      break;
    case VT_UI2:
      maxPositive = UINT16_MAX, maxNegative = 0;
      break;
    case VT_I4:
    case VT_INT:
      maxPositive = INT32_MAX, maxNegative = uint64_t{1} << 31;
      break;
    case VT_UI4:
    case VT_UINT:
      maxPositive = UINT32_MAX, maxNegative = 0;
      break;
    case VT_I8:
      maxPositive = INT64_MAX, maxNegative = uint64_t{1} << 63;
      break;
    default:  // VT_UI8
      maxPositive = UINT64_MAX, maxNegative = 0;
      break;
  }
  if (magnitude > (negative ? maxNegative : maxPositive)) return DISP_E_OVERFLOW;
  StoreWrapped(vt, static_cast<int64_t>(negative ? 0 - magnitude : magnitude), out);
  return S_OK;
}

// Round half to even, as the classic runtime does for every floating point to integer step.
double RoundHalfEven(double d) {
  const double down = std::floor(d);
  const double rest = d - down;
  if (rest > 0.5) return down + 1;
  if (rest < 0.5) return down;
  return std::fmod(down, 2) == 0 ? down : down + 1;
}

HRESULT StoreNumberAsInteger(VARTYPE vt, const Number& n, VARIANT* out) {
  if (n.isInteger) return StoreInteger(vt, n.negative, n.magnitude, out);
  const double r = RoundHalfEven(n.real);  // NaN stays NaN and fails both tests below
  constexpr double kTwo64 = 18446744073709551616.0;
  if (!(r > -kTwo64 && r < kTwo64)) return DISP_E_OVERFLOW;
  const bool negative = r < 0;
  return StoreInteger(vt, negative, static_cast<uint64_t>(negative ? -r : r), out);
}

HRESULT ToInteger(const Scalar& s, VARTYPE vt, VARIANT* out) {
  switch (s.kind) {
    case Scalar::kEmpty:
      StoreWrapped(vt, 0, out);
      return S_OK;
    case Scalar::kBool:
      StoreWrapped(vt, s.boolean, out);
      return S_OK;
    case Scalar::kNumber:
      return StoreNumberAsInteger(vt, s.number, out);
    case Scalar::kText: {
      Number n;
      HRESULT hr = ParseNumber(s.text, &n);
      return FAILED(hr) ? hr : StoreNumberAsInteger(vt, n, out);
    }
  }
  return DISP_E_TYPEMISMATCH;
}

// The automation date range as numbers, both ends exclusive: 1 January 100 is -657434 and
// 31 December 9999 is 2958465, each with any fraction of that day.
constexpr double kMinDateNumber = -657435.0;
constexpr double kMaxDateNumber = 2958466.0;

HRESULT ToReal(const Scalar& s, VARTYPE vt, VARIANT* out) {
  double d = 0;
  switch (s.kind) {
    case Scalar::kEmpty:
      break;
    case Scalar::kBool:
      d = s.boolean;
      break;
    case Scalar::kNumber:
      d = s.number.AsDouble();
      break;
    case Scalar::kText: {
      HRESULT hr;
      if (vt == VT_DATE) {
        hr = ParseDate(s.text, &d);
      } else {
        Number n;
        hr = ParseNumber(s.text, &n);
        d = n.AsDouble();
      }
      if (FAILED(hr)) return hr;
      break;
    }
  }
  switch (vt) {
    case VT_R4:
      if (std::isinf(d) || std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;
      out->fltVal = static_cast<float>(d);
      break;
    case VT_R8:
      out->dblVal = d;
      break;
    default:  // VT_DATE
      if (!(d > kMinDateNumber && d < kMaxDateNumber)) return DISP_E_OVERFLOW;
      out->date = d;
      break;
  }
  out->vt = vt;
  return S_OK;
}

HRESULT ToBool(const Scalar& s, LCID lcid, USHORT flags, VARIANT* out) {
  VARIANT_BOOL b = VARIANT_FALSE;
  switch (s.kind) {
    case Scalar::kEmpty:
      break;
    case Scalar::kBool:
      b = s.boolean;
      break;
    case Scalar::kNumber:
      b = s.number.AsDouble() != 0 ? VARIANT_TRUE : VARIANT_FALSE;  // NaN is true
      break;
    case Scalar::kText: {
      HRESULT hr = ParseBool(s.text, lcid, flags, &b);
      if (FAILED(hr)) return hr;
      break;
    }
  }
  out->boolVal = b;
  out->vt = VT_BOOL;
  return S_OK;
}

HRESULT ToText(const Scalar& s, LCID lcid, USHORT flags, VARIANT* out) {
  char buf[64];
  switch (s.kind) {
    case Scalar::kEmpty:
      return MakeBstr("", out);
    case Scalar::kText:
      return MakeBstr(s.text, out);
    case Scalar::kBool:
      if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) {
        const BoolWords& words = WordsFor(lcid, flags);
        return MakeBstr(s.boolean ? words.yes : words.no, out);
      }
      return MakeBstr(FormatShortest(int{s.boolean}, buf), out);
    case Scalar::kNumber:
      break;
  }
  const Number& n = s.number;
  if (s.numberType == VT_DATE) return FormatDate(n.real, out);
  if (s.numberType == VT_R4) return MakeBstr(FormatShortest(static_cast<float>(n.real), buf), out);
  if (!n.isInteger) return MakeBstr(FormatShortest(n.real, buf), out);
  if (n.negative) return MakeBstr(FormatShortest(static_cast<int64_t>(0 - n.magnitude), buf), out);
  return MakeBstr(FormatShortest(n.magnitude, buf), out);
}

bool IsIntegerType(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

// The conversion proper: src is a value (not a reference) of a valid type, vt a valid target.
// On success *out holds the result; on failure it owns nothing.
HRESULT Convert(const VARIANT& src, LCID lcid, USHORT flags, VARTYPE vt, VARIANT* out) {
  const VARTYPE from = src.vt;
  if (vt == VT_VARIANT || vt == from) return DeepCopy(src, out);

  if ((from & VT_ARRAY) || (vt & VT_ARRAY)) {
    if (!(from & VT_ARRAY) || !(vt & VT_ARRAY) || (vt & VT_BYREF)) return DISP_E_TYPEMISMATCH;
    // The array's own record of its element type decides, since exactly VT_ARRAY has none.
    const VARTYPE element = src.parray ? src.parray->vt : from & VT_TYPEMASK;
    if (vt != VT_ARRAY && (vt & VT_TYPEMASK) != element) return DISP_E_TYPEMISMATCH;
    HRESULT hr = DeepCopy(src, out);
    if (SUCCEEDED(hr)) out->vt = vt;
    return hr;
  }
  if (vt & VT_BYREF) return DISP_E_TYPEMISMATCH;

  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
      if (from == VT_ERROR || (vt == VT_EMPTY && from == VT_NULL)) return DISP_E_TYPEMISMATCH;
      out->vt = vt;
      return S_OK;
    case VT_UNKNOWN:
      if (from != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
      out->punkVal = nullptr;
      if (src.punkVal != nullptr) {
        HRESULT hr =
            src.punkVal->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&out->punkVal));
        if (FAILED(hr)) return hr;
      }
      out->vt = VT_UNKNOWN;
      return S_OK;
    default:
      break;
  }

  Scalar s;
  if (!ReadScalar(src, &s)) return DISP_E_TYPEMISMATCH;  // VT_NULL, VT_ERROR, references...
  if (IsIntegerType(vt)) return ToInteger(s, vt, out);
  switch (vt) {
    case VT_R4:
    case VT_R8:
    case VT_DATE:
      return ToReal(s, vt, out);
    case VT_BOOL:
      return ToBool(s, lcid, flags, out);
    case VT_BSTR:
      return ToText(s, lcid, flags, out);
    default:  // VT_ERROR, VT_DISPATCH, VT_CY, VT_DECIMAL
      return DISP_E_TYPEMISMATCH;
  }
}

}  // namespace

void VariantInit(VARIANT* pvarg) noexcept {
  if (pvarg == nullptr) return;
  pvarg->vt = VT_EMPTY;
  pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
  pvarg->llVal = 0;
}

HRESULT VariantClear(VARIANT* pvarg) noexcept {
  if (pvarg == nullptr) return E_INVALIDARG;
  if (!ValidType(pvarg->vt, false)) return DISP_E_BADVARTYPE;
  if (!OwnsNothing(*pvarg)) {
    if (pvarg->vt & VT_ARRAY) {
      // Exactly VT_ARRAY too: the array knows its element type and frees its elements itself.
      HRESULT hr = SafeArrayDestroy(pvarg->parray);
      if (FAILED(hr)) return hr;
    } else if (pvarg->vt == VT_BSTR) {
      SysFreeString(pvarg->bstrVal);
    } else if (pvarg->punkVal != nullptr) {
      pvarg->punkVal->Release();
    }
  }
  VariantInit(pvarg);
  return S_OK;
}

HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc) noexcept {
  if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if (!ValidType(pvargSrc->vt, false)) return DISP_E_BADVARTYPE;
  if (pvargDest == pvargSrc) return S_OK;
  VARIANT copy;
  HRESULT hr = DeepCopy(*pvargSrc, &copy);
  if (FAILED(hr)) return hr;
  hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *pvargDest = copy;
  return S_OK;
}

HRESULT VariantChangeTypeEx(VARIANT* pvargDest, const VARIANT* pvarSrc, LCID lcid, USHORT wFlags,
                            VARTYPE vt) noexcept {
  if (pvargDest == nullptr || pvarSrc == nullptr) return E_INVALIDARG;
  if (!ValidType(pvarSrc->vt, false) || !ValidType(vt, true)) return DISP_E_BADVARTYPE;
  VARIANT src = *pvarSrc;  // borrows what *pvarSrc owns
  if (src.vt & VT_BYREF) {
    HRESULT hr = Dereference(*pvarSrc, &src);
    if (FAILED(hr)) return hr;
  }
  // The result is built apart and only then replaces dest, so a failure leaves dest as it was
  // and dest == src works (src is no longer read once the result exists).
  VARIANT result;
  VariantInit(&result);
  HRESULT hr = Convert(src, lcid, wFlags, vt, &result);
  if (FAILED(hr)) return hr;
  hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  *pvargDest = result;
  return S_OK;
}

HRESULT VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, USHORT wFlags,
                          VARTYPE vt) noexcept {
  return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}

namespace com {

Variant::Variant(double d) noexcept {
  VariantInit(&v_);
  v_.vt = VT_R8;
  v_.dblVal = d;
}

Variant::Variant(LONG l) noexcept {
  VariantInit(&v_);
  v_.vt = VT_I4;
  v_.lVal = l;
}

Variant::Variant(bool b) noexcept {
  VariantInit(&v_);
  v_.vt = VT_BOOL;
  v_.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
}

Variant::Variant(std::string_view text) {
  VariantInit(&v_);
  v_.bstrVal = Bstr(text).release();
  v_.vt = VT_BSTR;
}

Variant::Variant(SafeArray array, VARTYPE vt) noexcept {
  VariantInit(&v_);
  v_.vt = vt == VT_EMPTY ? static_cast<VARTYPE>(VT_ARRAY | array.vt()) : vt;
  v_.parray = array.release();
}

Variant Variant::FromDate(DATE date) noexcept {
  Variant v;
  v.v_.vt = VT_DATE;
  v.v_.date = date;
  return v;
}

Variant::Variant(const VARIANT& v) {
  VariantInit(&v_);
  HRESULT hr = VariantCopy(&v_, &v);
  if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
  if (FAILED(hr)) throw std::invalid_argument("VARIANT of an invalid type");
}

}  // namespace com
