#include "platform/com/enum.h"

#include <gtest/gtest.h>

#include <array>

namespace {

// Frees what a string Next handed out.
void FreeAll(LPOLESTR* items, ULONG count) {
  for (ULONG i = 0; i < count; ++i)
    CoTaskMemFree(items[i]);
}

class Counted final : public com::ComObject<IUnknown> {
 public:
  explicit Counted(int* destroyed) : destroyed_(destroyed) {}

 protected:
  ~Counted() override { ++*destroyed_; }

 private:
  int* destroyed_;
};

TEST(StringEnumerator, NextHandsOutCopiesAndStopsAtTheEnd) {
  auto e = com::MakeStringEnumerator({"Processor", "Speicher", "Größe"});
  ASSERT_TRUE(e);
  std::array<LPOLESTR, 5> out{};
  ULONG fetched = 99;

  ASSERT_EQ(e->Next(2, out.data(), &fetched), S_OK);
  ASSERT_EQ(fetched, 2u);
  EXPECT_STREQ(out[0], "Processor");
  EXPECT_STREQ(out[1], "Speicher");
  FreeAll(out.data(), fetched);

  // More asked than is left: what is left, and S_FALSE.
  ASSERT_EQ(e->Next(5, out.data(), &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_STREQ(out[0], "Größe");
  FreeAll(out.data(), fetched);

  // At the end: nothing, with or without a count.
  EXPECT_EQ(e->Next(3, out.data(), &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(e->Next(1, out.data(), nullptr), S_FALSE);
  EXPECT_EQ(e->Next(0, out.data(), &fetched), S_OK);
}

TEST(StringEnumerator, ArgumentChecks) {
  auto e = com::MakeStringEnumerator({"a", "b"});
  LPOLESTR one = nullptr;
  ULONG fetched = 7;
  EXPECT_EQ(e->Next(1, nullptr, &fetched), E_POINTER);
  EXPECT_EQ(fetched, 0u);
  std::array<LPOLESTR, 2> two{};
  EXPECT_EQ(e->Next(2, two.data(), nullptr), E_INVALIDARG);
  EXPECT_EQ(two[0], nullptr);
  // A single element may be asked for without a count; the failed calls did not move.
  ASSERT_EQ(e->Next(1, &one, nullptr), S_OK);
  EXPECT_STREQ(one, "a");
  CoTaskMemFree(one);
  EXPECT_EQ(e->Clone(nullptr), E_POINTER);
}

TEST(StringEnumerator, SkipResetAndIndependentClones) {
  auto e = com::MakeStringEnumerator({"a", "b", "c", "d"});
  LPOLESTR s = nullptr;

  EXPECT_EQ(e->Skip(1), S_OK);
  com::ComPtr<IEnumString> clone;
  ASSERT_EQ(e->Clone(clone.GetAddressOf()), S_OK);
  // The clone starts where the original was, then each moves on its own.
  ASSERT_EQ(clone->Skip(2), S_OK);
  ASSERT_EQ(e->Next(1, &s, nullptr), S_OK);
  EXPECT_STREQ(s, "b");
  CoTaskMemFree(s);
  ASSERT_EQ(clone->Next(1, &s, nullptr), S_OK);
  EXPECT_STREQ(s, "d");
  CoTaskMemFree(s);

  // Skipping past the end stops there.
  EXPECT_EQ(e->Skip(10), S_FALSE);
  EXPECT_EQ(e->Next(1, &s, nullptr), S_FALSE);
  EXPECT_EQ(e->Skip(0), S_OK);
  EXPECT_EQ(e->Skip(1), S_FALSE);

  // Reset affects only its own enumerator.
  ASSERT_EQ(e->Reset(), S_OK);
  ASSERT_EQ(e->Next(1, &s, nullptr), S_OK);
  EXPECT_STREQ(s, "a");
  CoTaskMemFree(s);
  EXPECT_EQ(clone->Next(1, &s, nullptr), S_FALSE);
}

TEST(StringEnumerator, EmptyListIsAtItsEnd) {
  auto e = com::MakeStringEnumerator({});
  LPOLESTR s = nullptr;
  ULONG fetched = 3;
  EXPECT_EQ(e->Next(1, &s, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(e->Skip(1), S_FALSE);
  com::ComPtr<IEnumString> clone;
  EXPECT_EQ(e->Clone(clone.GetAddressOf()), S_OK);
  EXPECT_EQ(clone->Next(1, &s, nullptr), S_FALSE);
}

TEST(UnknownEnumerator, HandsOutReferencesAndReleasesItsOwn) {
  int destroyed = 0;
  auto a = com::MakeObject<Counted>(&destroyed);
  auto b = com::MakeObject<Counted>(&destroyed);
  {
    auto e = com::MakeUnknownEnumerator({a, b});
    EXPECT_EQ(a->RefCount(), 2u);  // the test's and the enumerator's
    com::ComPtr<IEnumUnknown> clone;
    ASSERT_EQ(e->Clone(clone.GetAddressOf()), S_OK);
    EXPECT_EQ(a->RefCount(), 2u);  // clones share the list

    std::array<IUnknown*, 3> out{};
    ULONG fetched = 0;
    ASSERT_EQ(e->Next(3, out.data(), &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(out[0], a->Identity());
    EXPECT_EQ(out[1], b->Identity());
    EXPECT_EQ(a->RefCount(), 3u);
    out[0]->Release();
    out[1]->Release();
  }
  EXPECT_EQ(a->RefCount(), 1u);
  EXPECT_EQ(b->RefCount(), 1u);
  a.Reset();
  b.Reset();
  EXPECT_EQ(destroyed, 2);
}

TEST(GuidEnumerator, ValuesInOrderAndOwnerKeptAlive) {
  int destroyed = 0;
  const GUID g1 = com::Guid("63D5F432-CFE4-11D1-B2C8-0060083BA1FB");
  const GUID g2 = com::Guid("00000000-0000-0000-0000-000000000001");
  com::ComPtr<IEnumGUID> e;
  {
    auto owner = com::MakeObject<Counted>(&destroyed);
    e = com::MakeGuidEnumerator({g1, g2}, owner);
  }
  EXPECT_EQ(destroyed, 0);
  std::array<GUID, 2> out{};
  ULONG fetched = 0;
  ASSERT_EQ(e->Next(2, out.data(), &fetched), S_OK);
  EXPECT_EQ(out[0], g1);
  EXPECT_EQ(out[1], g2);
  com::ComPtr<IEnumCLSID> clone;
  ASSERT_EQ(e->Clone(clone.GetAddressOf()), S_OK);
  e.Reset();
  EXPECT_EQ(destroyed, 0);  // the clone holds the owner too
  clone.Reset();
  EXPECT_EQ(destroyed, 1);
}

// A batch that cannot be copied completely hands out nothing and does not move.
struct FailOnNull {
  static HRESULT CopyOut(const com::ComPtr<IUnknown>& from, IUnknown** to) {
    if (!from) return E_OUTOFMEMORY;
    return from.CopyTo(to);
  }
  static void Discard(IUnknown** item) { com::InterfaceCopyPolicy<IUnknown>::Discard(item); }
};

TEST(VectorEnumerator, FailedBatchIsUndone) {
  int destroyed = 0;
  auto a = com::MakeObject<Counted>(&destroyed);
  auto e = com::MakeVectorEnumerator<IEnumUnknown, IUnknown*, com::ComPtr<IUnknown>, FailOnNull>(
      {a, a, nullptr});
  std::array<IUnknown*, 3> out{};
  ULONG fetched = 9;
  EXPECT_EQ(e->Next(3, out.data(), &fetched), E_OUTOFMEMORY);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(out[0], nullptr);
  EXPECT_EQ(out[1], nullptr);
  EXPECT_EQ(a->RefCount(), 3u);  // the test's and the list's two
  ASSERT_EQ(e->Next(2, out.data(), &fetched), S_OK);
  EXPECT_EQ(fetched, 2u);
  out[0]->Release();
  out[1]->Release();
}

}  // namespace
