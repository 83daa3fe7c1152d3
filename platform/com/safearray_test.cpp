#include "platform/com/safearray.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/object.h"
#include "platform/com/variant.h"

namespace {

class Counted final : public com::ComObject<IUnknown> {};

std::string BstrAt(SAFEARRAY* psa, LONG i) {
  BSTR s = nullptr;
  EXPECT_EQ(SafeArrayGetElement(psa, &i, &s), S_OK);
  std::string out(com::BstrView(s));
  SysFreeString(s);
  return out;
}

TEST(SafeArray, DescribesItselfAndChecksBounds) {
  com::SafeArray a(VT_I4, 3, -1);
  SAFEARRAY* psa = a.get();
  EXPECT_EQ(SafeArrayGetDim(psa), 1u);
  EXPECT_EQ(SafeArrayGetElemsize(psa), 4u);
  VARTYPE vt = 0;
  LONG lo = 0, hi = 0;
  EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
  EXPECT_EQ(vt, VT_I4);
  EXPECT_EQ(SafeArrayGetLBound(psa, 1, &lo), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(psa, 1, &hi), S_OK);
  EXPECT_EQ(lo, -1);
  EXPECT_EQ(hi, 1);
  EXPECT_EQ(SafeArrayGetUBound(psa, 2, &hi), DISP_E_BADINDEX);

  for (LONG i = -1; i <= 1; ++i) {
    LONG value = i * 10;
    EXPECT_EQ(SafeArrayPutElement(psa, &i, &value), S_OK);
  }
  LONG value = 0;
  for (LONG bad : {-2, 2, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(SafeArrayPutElement(psa, &bad, &value), DISP_E_BADINDEX) << bad;
    EXPECT_EQ(SafeArrayGetElement(psa, &bad, &value), DISP_E_BADINDEX) << bad;
  }
  LONG first = -1;
  EXPECT_EQ(SafeArrayGetElement(psa, &first, &value), S_OK);
  EXPECT_EQ(value, -10);

  // Only one dimension, supported types, and an upper bound that is itself a LONG.
  SAFEARRAYBOUND two[2] = {{2, 0}, {2, 0}};
  EXPECT_EQ(SafeArrayCreate(VT_I4, 2, two), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_CY, 0, 1), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_EMPTY, 0, 1), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_I4, INT32_MAX, 2), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_I4, INT32_MIN, 0), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_VARIANT, 1, UINT32_MAX), nullptr);
  EXPECT_THROW(com::SafeArray(VT_DECIMAL, 1), std::invalid_argument);
  com::SafeArray empty(VT_BSTR, 0, INT32_MIN + 1);
  EXPECT_EQ(SafeArrayGetUBound(empty.get(), 1, &hi), S_OK);
  EXPECT_EQ(hi, INT32_MIN);
}

TEST(SafeArray, LockedArrayCannotBeDestroyed) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 2);
  ASSERT_NE(psa, nullptr);
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
  ASSERT_EQ(SafeArrayLock(psa), S_OK);
  EXPECT_EQ(data, psa->pvData);
  EXPECT_EQ(psa->cLocks, 2u);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  LONG i = 0;
  EXPECT_EQ(SafeArrayPutElement(psa, &i, com::Bstr("still usable").get()), S_OK);
  EXPECT_EQ(SafeArrayUnlock(psa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayUnlock(psa), E_UNEXPECTED);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);  // and frees the text (leak-checked)
  EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
}

TEST(SafeArray, OwnsItsTexts) {
  com::SafeArray a = com::MakeBstrArray(std::vector<std::string>{"one", "", "three"});
  EXPECT_EQ(a.vt(), VT_BSTR);
  EXPECT_EQ(a.size(), 3u);
  EXPECT_EQ(BstrAt(a.get(), 0), "one");
  EXPECT_EQ(BstrAt(a.get(), 2), "three");

  // Put stores a copy: the caller's text stays the caller's; the replaced one is freed.
  LONG i = 0;
  com::Bstr mine("replacement");
  ASSERT_EQ(SafeArrayPutElement(a.get(), &i, mine.get()), S_OK);
  EXPECT_EQ(BstrAt(a.get(), 0), "replacement");
  {
    com::SafeArrayData<BSTR> data(a.get());
    ASSERT_TRUE(data);
    EXPECT_NE(data[0], mine.get());
    // Storing an element into its own slot must not free it first.
    ASSERT_EQ(SafeArrayPutElement(a.get(), &i, data[0]), S_OK);
    EXPECT_EQ(com::BstrView(data[0]), "replacement");
  }
  ASSERT_EQ(SafeArrayPutElement(a.get(), &i, nullptr), S_OK);
  EXPECT_EQ(BstrAt(a.get(), 0), "");

  com::SafeArray copy = a;  // deep
  i = 2;
  ASSERT_EQ(SafeArrayPutElement(copy.get(), &i, com::Bstr("changed").get()), S_OK);
  EXPECT_EQ(BstrAt(a.get(), 2), "three");
  EXPECT_EQ(BstrAt(copy.get(), 2), "changed");
  EXPECT_EQ(copy.get()->cLocks, 0u);
}

TEST(SafeArray, OwnsVariantsHoldingTexts) {
  com::SafeArray a(VT_VARIANT, 2);
  LONG i = 0;
  com::Variant text("first");
  ASSERT_EQ(SafeArrayPutElement(a.get(), &i, text.get()), S_OK);
  i = 1;
  com::Variant number(LONG{5});
  ASSERT_EQ(SafeArrayPutElement(a.get(), &i, number.get()), S_OK);

  com::SafeArray copy = a;
  VARIANT out;
  i = 0;
  ASSERT_EQ(SafeArrayGetElement(copy.get(), &i, &out), S_OK);
  EXPECT_EQ(out.vt, VT_BSTR);
  EXPECT_NE(out.bstrVal, text.get()->bstrVal);
  EXPECT_EQ(com::BstrView(out.bstrVal), "first");
  EXPECT_EQ(VariantClear(&out), S_OK);
  // Replacing a VARIANT element clears the old one (its BSTR is freed, leak-checked).
  ASSERT_EQ(SafeArrayPutElement(copy.get(), &i, number.get()), S_OK);
}

TEST(SafeArray, HoldsOneReferencePerInterfaceElement) {
  com::ComPtr<Counted> obj = com::MakeObject<Counted>();
  ASSERT_EQ(obj->RefCount(), 1u);
  {
    com::SafeArray a(VT_UNKNOWN, 2);
    LONG i = 0;
    ASSERT_EQ(SafeArrayPutElement(a.get(), &i, obj->Identity()), S_OK);
    i = 1;
    ASSERT_EQ(SafeArrayPutElement(a.get(), &i, obj->Identity()), S_OK);
    EXPECT_EQ(obj->RefCount(), 3u);
    ASSERT_EQ(SafeArrayPutElement(a.get(), &i, nullptr), S_OK);
    EXPECT_EQ(obj->RefCount(), 2u);

    com::SafeArray copy = a;
    EXPECT_EQ(obj->RefCount(), 3u);
    IUnknown* got = nullptr;
    i = 0;
    ASSERT_EQ(SafeArrayGetElement(copy.get(), &i, &got), S_OK);
    EXPECT_EQ(got, obj->Identity());
    EXPECT_EQ(obj->RefCount(), 4u);
    got->Release();
  }
  EXPECT_EQ(obj->RefCount(), 1u);
}

TEST(SafeArray, TypedAccessChecksTheElementSize) {
  com::SafeArray a = com::MakeI4Array(std::vector<LONG>{4, 5, 6});
  {
    com::SafeArrayData<LONG> data(a.get());
    ASSERT_TRUE(data);
    EXPECT_EQ(data.size(), 3u);
    EXPECT_EQ(data[2], 6);
    com::SafeArrayData<double> wrong(a.get());
    EXPECT_FALSE(wrong);
    EXPECT_EQ(a.get()->cLocks, 1u);
  }
  EXPECT_EQ(a.get()->cLocks, 0u);
  com::SafeArray none = com::MakeI4Array({});
  EXPECT_EQ(none.size(), 0u);
  EXPECT_TRUE(com::SafeArrayData<LONG>(none.get()));
}

}  // namespace
