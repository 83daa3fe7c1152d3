#include "platform/com/variant.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/com/object.h"

namespace {

class Counted final : public com::ComObject<IUnknown> {};

constexpr LCID kGerman = MAKELCID(MAKELANGID(LANG_GERMAN, 1), 0);
constexpr LCID kEnglish = MAKELCID(MAKELANGID(LANG_ENGLISH, 1), 0);
constexpr USHORT kWords = VARIANT_ALPHABOOL | VARIANT_LOCALBOOL;

VARIANT Of(VARTYPE vt) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  return v;
}

// Converts v to vt; the result or the failure code.
struct Result {
  HRESULT hr;
  com::Variant value;
};
Result Change(const VARIANT& v, VARTYPE vt, USHORT flags = 0, LCID lcid = kEnglish) {
  Result r{S_OK, {}};
  r.hr = VariantChangeTypeEx(r.value.get(), &v, lcid, flags, vt);
  return r;
}
Result Change(const com::Variant& v, VARTYPE vt, USHORT flags = 0, LCID lcid = kEnglish) {
  return Change(*v.get(), vt, flags, lcid);
}

std::string TextOf(const Result& r) {
  EXPECT_EQ(r.hr, S_OK);
  EXPECT_EQ(r.value.vt(), VT_BSTR);
  return r.value.vt() == VT_BSTR ? std::string(com::BstrView(r.value.get()->bstrVal)) : "?";
}

TEST(VariantCopyClear, TextsAndArraysAreDeepCopied) {
  com::Variant text("payload");
  com::Variant copy = text;
  EXPECT_NE(copy.get()->bstrVal, text.get()->bstrVal);
  EXPECT_EQ(com::BstrView(copy.get()->bstrVal), "payload");

  // An array of BSTR, and exactly VT_ARRAY holding VARIANTs that hold BSTRs (the form the
  // plot's several-series call uses): copies are independent and clearing frees everything.
  com::Variant names(com::MakeBstrArray(std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(names.vt(), VT_ARRAY | VT_BSTR);
  com::SafeArray items(VT_VARIANT, 2);
  for (LONG i = 0; i < 2; ++i)
    ASSERT_EQ(SafeArrayPutElement(items.get(), &i, com::Variant("v" + std::to_string(i)).get()),
              S_OK);
  com::Variant values(std::move(items), VT_ARRAY);
  EXPECT_EQ(values.vt(), VT_ARRAY);

  VARIANT a, b;
  VariantInit(&a);
  VariantInit(&b);
  ASSERT_EQ(VariantCopy(&a, names.get()), S_OK);
  ASSERT_EQ(VariantCopy(&b, values.get()), S_OK);
  EXPECT_NE(a.parray, names.get()->parray);
  ASSERT_EQ(VariantCopy(&a, &b), S_OK);  // a's array of BSTR is freed on the way
  EXPECT_EQ(VariantCopy(&a, &a), S_OK);
  LONG i = 1;
  VARIANT element;
  ASSERT_EQ(SafeArrayGetElement(a.parray, &i, &element), S_OK);
  EXPECT_EQ(com::BstrView(element.bstrVal), "v1");
  EXPECT_EQ(VariantClear(&element), S_OK);
  EXPECT_EQ(VariantClear(&a), S_OK);
  EXPECT_EQ(a.vt, VT_EMPTY);
  EXPECT_EQ(VariantClear(&b), S_OK);

  VARIANT nullText = Of(VT_BSTR);
  ASSERT_EQ(VariantCopy(&a, &nullText), S_OK);
  EXPECT_EQ(a.bstrVal, nullptr);
}

TEST(VariantCopyClear, ReferencesAndRefusals) {
  com::ComPtr<Counted> obj = com::MakeObject<Counted>();
  VARIANT unk = Of(VT_UNKNOWN);
  unk.punkVal = obj->Identity();
  {
    com::Variant held(unk);
    EXPECT_EQ(obj->RefCount(), 2u);
    com::Variant again = held;
    EXPECT_EQ(obj->RefCount(), 3u);
  }
  EXPECT_EQ(obj->RefCount(), 1u);

  // A VARIANT holding a locked array keeps it; a bad type is refused; neither is changed.
  com::Variant array(com::MakeI4Array(std::vector<LONG>{1}));
  SafeArrayLock(array.get()->parray);
  EXPECT_EQ(VariantClear(array.get()), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(array.vt(), VT_ARRAY | VT_I4);
  com::Variant text("kept");
  EXPECT_EQ(VariantCopy(array.get(), text.get()), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(array.vt(), VT_ARRAY | VT_I4);
  SafeArrayUnlock(array.get()->parray);

  VARIANT bad = Of(15);
  EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantCopy(text.get(), &bad), DISP_E_BADVARTYPE);
  EXPECT_EQ(com::BstrView(text.get()->bstrVal), "kept");
  EXPECT_THROW(com::Variant{bad}, std::invalid_argument);
}

// The one conversion the server relies on: VT_BOOL FALSE with the word flags, to whatever type
// a client asks for, decides whether that type is accepted.
TEST(VariantChangeType, BoolFalseToEveryType) {
  const com::Variant no(false);
  struct Row {
    VARTYPE vt;
    HRESULT hr;
  };
  const Row rows[] = {
      {VT_EMPTY, S_OK},
      {VT_NULL, S_OK},
      {VT_I2, S_OK},
      {VT_I4, S_OK},
      {VT_R4, S_OK},
      {VT_R8, S_OK},
      {VT_CY, DISP_E_TYPEMISMATCH},
      {VT_DATE, S_OK},
      {VT_BSTR, S_OK},
      {VT_DISPATCH, DISP_E_TYPEMISMATCH},
      {VT_ERROR, DISP_E_TYPEMISMATCH},
      {VT_BOOL, S_OK},
      {VT_VARIANT, S_OK},
      {VT_UNKNOWN, DISP_E_TYPEMISMATCH},
      {VT_DECIMAL, DISP_E_TYPEMISMATCH},
      {15, DISP_E_BADVARTYPE},
      {VT_I1, S_OK},
      {VT_UI1, S_OK},
      {VT_UI2, S_OK},
      {VT_UI4, S_OK},
      {VT_I8, S_OK},
      {VT_UI8, S_OK},
      {VT_INT, S_OK},
      {VT_UINT, S_OK},
      {24, DISP_E_BADVARTYPE},
      {VT_ARRAY | VT_BOOL, DISP_E_TYPEMISMATCH},
      {VT_ARRAY | VT_I4, DISP_E_TYPEMISMATCH},
      {VT_ARRAY, DISP_E_TYPEMISMATCH},
      {VT_BYREF | VT_BOOL, DISP_E_TYPEMISMATCH},
      {VT_ARRAY | VT_NULL, DISP_E_BADVARTYPE},
      {0x1000 | VT_I4, DISP_E_BADVARTYPE},
  };
  for (const Row& row : rows) {
    Result r = Change(no, row.vt, kWords);
    EXPECT_EQ(r.hr, row.hr) << "vt " << row.vt;
    if (FAILED(r.hr)) {
      EXPECT_EQ(r.value.vt(), VT_EMPTY);
      continue;
    }
    const VARIANT& v = *r.value.get();
    const VARTYPE expect = row.vt == VT_VARIANT ? VARTYPE{VT_BOOL} : row.vt;
    EXPECT_EQ(v.vt, expect) << "vt " << row.vt;
    if (v.vt == VT_BSTR) {
      EXPECT_EQ(com::BstrView(v.bstrVal), "False");
    } else if (v.vt == VT_R4) {
      EXPECT_EQ(v.fltVal, 0.0f);
    } else if (v.vt == VT_R8 || v.vt == VT_DATE) {
      EXPECT_EQ(v.dblVal, 0.0);
    } else {
      EXPECT_EQ(v.llVal, 0) << "vt " << row.vt;  // every integer width, and VT_BOOL
    }
  }
  EXPECT_EQ(TextOf(Change(no, VT_BSTR, kWords, kGerman)), "Falsch");
  EXPECT_EQ(TextOf(Change(no, VT_BSTR, kWords, LOCALE_SYSTEM_DEFAULT)), "False");
  EXPECT_EQ(TextOf(Change(no, VT_BSTR)), "0");
}

TEST(VariantChangeType, BoolTrueIsMinusOne) {
  const com::Variant yes(true);
  EXPECT_EQ(Change(yes, VT_I4).value.get()->lVal, -1);
  EXPECT_EQ(Change(yes, VT_I8).value.get()->llVal, -1);
  EXPECT_EQ(Change(yes, VT_R8).value.get()->dblVal, -1.0);
  EXPECT_EQ(Change(yes, VT_DATE).value.get()->date, -1.0);
  EXPECT_EQ(Change(yes, VT_UI1).value.get()->bVal, 0xFF);  // wraps, as it always has
  EXPECT_EQ(Change(yes, VT_UI4).value.get()->ulVal, 0xFFFFFFFFu);
  EXPECT_EQ(TextOf(Change(yes, VT_BSTR)), "-1");
  EXPECT_EQ(TextOf(Change(yes, VT_BSTR, VARIANT_ALPHABOOL, kGerman)), "True");
  EXPECT_EQ(TextOf(Change(yes, VT_BSTR, kWords, kGerman)), "Wahr");

  // The words read back in any case; German ones only when the locale's words are asked for.
  for (const char* t : {"True", "TRUE", " true ", "#TRUE#", "-1", "2.5", "Wahr"}) {
    Result r = Change(com::Variant(t), VT_BOOL, kWords, kGerman);
    ASSERT_EQ(r.hr, S_OK) << t;
    EXPECT_EQ(r.value.get()->boolVal, VARIANT_TRUE) << t;
  }
  for (const char* t : {"false", "Falsch", "#FALSE#", "0", "0.0"}) {
    Result r = Change(com::Variant(t), VT_BOOL, kWords, kGerman);
    ASSERT_EQ(r.hr, S_OK) << t;
    EXPECT_EQ(r.value.get()->boolVal, VARIANT_FALSE) << t;
  }
  EXPECT_EQ(Change(com::Variant("Falsch"), VT_BOOL, VARIANT_ALPHABOOL, kGerman).hr,
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Change(com::Variant("yes"), VT_BOOL).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Change(com::Variant("True"), VT_I4).hr, DISP_E_TYPEMISMATCH);
}

TEST(VariantChangeType, NarrowingOverflowsAndRoundsHalfToEven) {
  auto r8 = [](double d) { return com::Variant(d); };
  EXPECT_EQ(Change(r8(2.5), VT_I4).value.get()->lVal, 2);
  EXPECT_EQ(Change(r8(3.5), VT_I4).value.get()->lVal, 4);
  EXPECT_EQ(Change(r8(-2.5), VT_I4).value.get()->lVal, -2);
  EXPECT_EQ(Change(r8(-2.51), VT_I2).value.get()->iVal, -3);
  EXPECT_EQ(Change(r8(-128.5), VT_I1).value.get()->cVal, -128);
  EXPECT_EQ(Change(r8(127.5), VT_I1).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(r8(255.49), VT_UI1).value.get()->bVal, 255);
  EXPECT_EQ(Change(r8(-0.5), VT_UI1).value.get()->bVal, 0);
  EXPECT_EQ(Change(r8(-0.51), VT_UI1).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(r8(9.3e18), VT_I8).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(r8(1.8e19), VT_UI8).value.get()->ullVal, 18000000000000000000u);
  EXPECT_EQ(Change(r8(NAN), VT_I4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(r8(INFINITY), VT_UI8).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(r8(1e39), VT_R4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(r8(-FLT_MAX), VT_R4).value.get()->fltVal, -FLT_MAX);
  EXPECT_EQ(Change(r8(3e6), VT_DATE).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(r8(-657434.5), VT_DATE).hr, S_OK);

  VARIANT big = Of(VT_I8);
  big.llVal = LLONG_MIN;
  EXPECT_EQ(Change(big, VT_I4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(big, VT_UI8).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(TextOf(Change(big, VT_BSTR)), "-9223372036854775808");
  VARIANT ubig = Of(VT_UI8);
  ubig.ullVal = ULLONG_MAX;
  EXPECT_EQ(Change(ubig, VT_I8).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(TextOf(Change(ubig, VT_BSTR)), "18446744073709551615");
  VARIANT ui4 = Of(VT_UI4);
  ui4.ulVal = 0x80000000u;
  EXPECT_EQ(Change(ui4, VT_INT).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(ui4, VT_UINT).value.get()->uintVal, 0x80000000u);
  VARIANT i1 = Of(VT_I1);
  i1.cVal = static_cast<char>(-5);
  EXPECT_EQ(Change(i1, VT_UI2).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(i1, VT_I8).value.get()->llVal, -5);
}

TEST(VariantChangeType, TextToNumbers) {
  auto asI8 = [](const char* t) { return Change(com::Variant(t), VT_I8); };
  EXPECT_EQ(asI8("  42 ").value.get()->llVal, 42);
  EXPECT_EQ(asI8("+7").value.get()->llVal, 7);
  EXPECT_EQ(asI8("2.5").value.get()->llVal, 2);
  EXPECT_EQ(asI8("1e3").value.get()->llVal, 1000);
  EXPECT_EQ(asI8("-9223372036854775808").value.get()->llVal, LLONG_MIN);  // exact, no double
  EXPECT_EQ(asI8("9223372036854775807").value.get()->llVal, LLONG_MAX);
  EXPECT_EQ(asI8("9223372036854775808").hr, DISP_E_OVERFLOW);
  EXPECT_EQ(asI8("123456789012345678901234567890").hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(com::Variant("18446744073709551615"), VT_UI8).value.get()->ullVal, ULLONG_MAX);
  EXPECT_EQ(Change(com::Variant("300"), VT_UI1).hr, DISP_E_OVERFLOW);
  for (const char* bad : {"", "   ", "abc", "12abc", "1,5", "0x10", "1e", "--1", ".", "inf", "nan"})
    EXPECT_EQ(asI8(bad).hr, DISP_E_TYPEMISMATCH) << bad;
  EXPECT_EQ(Change(com::Variant("1e400"), VT_R8).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(com::Variant("-1e-400"), VT_R8).value.get()->dblVal, 0.0);
  EXPECT_EQ(Change(com::Variant(".5"), VT_R8).value.get()->dblVal, 0.5);
  EXPECT_EQ(Change(com::Variant("1e39"), VT_R4).hr, DISP_E_OVERFLOW);
}

TEST(VariantChangeType, NumbersToTextReadBackExactly) {
  EXPECT_EQ(TextOf(Change(com::Variant(0.1), VT_BSTR)), "0.1");
  EXPECT_EQ(TextOf(Change(com::Variant(1e20), VT_BSTR)), "1e+20");
  EXPECT_EQ(TextOf(Change(com::Variant(-3.0), VT_BSTR)), "-3");
  EXPECT_EQ(TextOf(Change(com::Variant(LONG{-42}), VT_BSTR)), "-42");
  VARIANT f = Of(VT_R4);
  f.fltVal = 0.1f;
  EXPECT_EQ(TextOf(Change(f, VT_BSTR)), "0.1");  // the float's own shortest form
  EXPECT_EQ(TextOf(Change(Of(VT_EMPTY), VT_BSTR)), "");

  std::mt19937_64 rng(11);
  for (int i = 0; i < 2000; ++i) {
    double d;
    const std::uint64_t bits = rng();
    std::memcpy(&d, &bits, sizeof d);
    if (!std::isfinite(d)) continue;
    Result text = Change(com::Variant(d), VT_BSTR);
    ASSERT_EQ(text.hr, S_OK);
    Result back = Change(text.value, VT_R8);
    ASSERT_EQ(back.hr, S_OK) << TextOf(text);
    EXPECT_EQ(back.value.get()->dblVal, d) << TextOf(text);
  }
}

TEST(VariantChangeType, DatesAsText) {
  auto text = [](DATE d) { return TextOf(Change(com::Variant::FromDate(d), VT_BSTR)); };
  EXPECT_EQ(text(0.5), "12:00:00");
  EXPECT_EQ(text(0.0), "00:00:00");
  EXPECT_EQ(text(1.0), "1899-12-31");
  EXPECT_EQ(text(-1.25), "1899-12-29 06:00:00");
  EXPECT_EQ(text(45000.25), "2023-03-15 06:00:00");
  EXPECT_EQ(text(45000.25 + 0.123 / 86400), "2023-03-15 06:00:00.123");
  for (DATE d : {0.5, 1.0, -1.25, 45000.25, -657434.0, 2958465.0 + 86399.999 / 86400}) {
    Result back = Change(com::Variant(text(d)), VT_DATE);
    ASSERT_EQ(back.hr, S_OK) << text(d);
    EXPECT_NEAR(back.value.get()->date, d, 1e-9) << text(d);
  }
  EXPECT_EQ(Change(com::Variant("2023-03-15T06:00"), VT_DATE).value.get()->date, 45000.25);
  for (const char* bad : {"2023-02-30", "2023-03-15 25:00", "15.03.2023", "45000", "", "12:00x"})
    EXPECT_EQ(Change(com::Variant(bad), VT_DATE).hr, DISP_E_TYPEMISMATCH) << bad;
  EXPECT_EQ(Change(com::Variant::FromDate(1.5), VT_I4).value.get()->lVal, 2);
}

TEST(VariantChangeType, EmptyNullErrorAndArrays) {
  EXPECT_EQ(Change(Of(VT_EMPTY), VT_I4).value.get()->lVal, 0);
  EXPECT_EQ(Change(Of(VT_EMPTY), VT_BOOL).value.get()->boolVal, VARIANT_FALSE);
  EXPECT_EQ(Change(Of(VT_EMPTY), VT_DATE).value.get()->date, 0.0);
  EXPECT_EQ(Change(Of(VT_EMPTY), VT_ERROR).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Change(Of(VT_NULL), VT_NULL).value.vt(), VT_NULL);
  EXPECT_EQ(Change(Of(VT_NULL), VT_VARIANT).value.vt(), VT_NULL);
  for (VARTYPE vt : {VT_EMPTY, VT_I4, VT_BSTR, VT_BOOL, VT_ERROR})
    EXPECT_EQ(Change(Of(VT_NULL), vt).hr, DISP_E_TYPEMISMATCH) << vt;
  VARIANT error = Of(VT_ERROR);
  error.scode = DISP_E_BADINDEX;
  EXPECT_EQ(Change(error, VT_ERROR).value.get()->scode, DISP_E_BADINDEX);
  for (VARTYPE vt : {VT_EMPTY, VT_NULL, VT_I4, VT_BSTR, VT_BOOL})
    EXPECT_EQ(Change(error, vt).hr, DISP_E_TYPEMISMATCH) << vt;

  com::Variant texts(com::MakeBstrArray(std::vector<std::string>{"x"}));
  Result same = Change(texts, VT_ARRAY | VT_BSTR);
  ASSERT_EQ(same.hr, S_OK);
  EXPECT_NE(same.value.get()->parray, texts.get()->parray);
  EXPECT_EQ(Change(texts, VT_ARRAY).value.vt(), VT_ARRAY);
  com::Variant untyped(com::SafeArray(VT_VARIANT, 1), VT_ARRAY);
  EXPECT_EQ(Change(untyped, VT_ARRAY | VT_VARIANT).value.vt(), VT_ARRAY | VT_VARIANT);
  for (VARTYPE vt : {VARTYPE{VT_ARRAY | VT_I4}, VARTYPE{VT_BSTR}, VARTYPE{VT_EMPTY}})
    EXPECT_EQ(Change(texts, vt).hr, DISP_E_TYPEMISMATCH) << vt;
  EXPECT_EQ(Change(com::Variant(LONG{1}), VT_ARRAY | VT_I4).hr, DISP_E_TYPEMISMATCH);
}

TEST(VariantChangeType, InPlaceAndThroughReferences) {
  com::Variant v(LONG{-17});
  ASSERT_EQ(v.ChangeType(VT_BSTR), S_OK);
  EXPECT_EQ(com::BstrView(v.get()->bstrVal), "-17");
  ASSERT_EQ(v.ChangeType(VT_BSTR), S_OK);  // the same type: copies, frees the old text
  ASSERT_EQ(v.ChangeType(VT_I2), S_OK);    // frees the text
  EXPECT_EQ(v.get()->iVal, -17);
  ASSERT_EQ(v.ChangeType(VT_VARIANT), S_OK);
  EXPECT_EQ(v.vt(), VT_I2);

  com::Variant text("not a number");
  BSTR before = text.get()->bstrVal;
  EXPECT_EQ(text.ChangeType(VT_R8), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(text.vt(), VT_BSTR);  // left exactly as it was
  EXPECT_EQ(text.get()->bstrVal, before);
  com::Variant big(1e10);
  EXPECT_EQ(VariantChangeType(text.get(), big.get(), 0, VT_I4), DISP_E_OVERFLOW);
  EXPECT_EQ(text.get()->bstrVal, before);

  LONG target = 99;
  VARIANT ref = Of(VT_BYREF | VT_I4);
  ref.byref = &target;
  EXPECT_EQ(TextOf(Change(ref, VT_BSTR)), "99");
  com::Variant inner("through a VARIANT");
  VARIANT vref = Of(VT_BYREF | VT_VARIANT);
  vref.pvarVal = inner.get();
  Result copied = Change(vref, VT_VARIANT);
  EXPECT_EQ(copied.value.vt(), VT_BSTR);
  EXPECT_NE(copied.value.get()->bstrVal, inner.get()->bstrVal);
  ASSERT_EQ(VariantChangeTypeEx(&ref, &ref, kEnglish, 0, VT_R8), S_OK);
  EXPECT_EQ(ref.dblVal, 99.0);
  EXPECT_EQ(target, 99);
}

TEST(VariantWrapper, ConstructorsPickTheRightType) {
  EXPECT_EQ(com::Variant("literal").vt(), VT_BSTR);
  EXPECT_EQ(com::Variant(std::string("s")).vt(), VT_BSTR);
  EXPECT_EQ(com::Variant(true).vt(), VT_BOOL);
  EXPECT_EQ(com::Variant(LONG{1}).vt(), VT_I4);
  EXPECT_EQ(com::Variant(1.0).vt(), VT_R8);
  EXPECT_EQ(com::Variant::FromDate(2.0).vt(), VT_DATE);
  com::Variant a("x");
  com::Variant b = std::move(a);
  EXPECT_EQ(a.vt(), VT_EMPTY);
  VARIANT raw = b.release();
  EXPECT_EQ(b.vt(), VT_EMPTY);
  VariantClear(&raw);
  *b.put() = *com::Variant(2.0).get();
  EXPECT_EQ(b.get()->dblVal, 2.0);
}

}  // namespace
