// On a machine whose user-interface language is not English, AddItems takes counter paths
// written with English names and keeps them in the local language. The language is read once
// per process, so these tests run in a process of their own.
#include <gtest/gtest.h>

#include "server/group_test_support.h"

namespace {

using namespace group_testing;

// Fixes the process's language before anything else reads it.
const bool kGerman = [] {
  perf::SetUiLanguage("de");
  return SystemUiLanguage() == 0x0407;
}();

class GermanGroupTest : public GroupTest {
 protected:
  const char* Language() const override { return "de"; }
};

TEST_F(GermanGroupTest, EnglishPathsAreTranslatedOnlyWhenAdded) {
  ASSERT_TRUE(kGerman);
  auto group = MakeGroup(kHour, 0, FALSE);
  auto sink = com::MakeObject<RecordingSink>();
  Advise(group.Get(), sink.Get());

  const char* ids[] = {kFree, "\\Arbeitsspeicher\\Geänderte Bytes", "\\Memory\\No Such Counter"};
  OPCITEMDEF defs[3] = {};
  for (int i = 0; i < 3; ++i) {
    defs[i].szItemID = const_cast<LPWSTR>(ids[i]);
    defs[i].bActive = TRUE;
    defs[i].hClient = 100 + i;
  }
  OPCITEMRESULT* results = nullptr;
  HRESULT* errors = nullptr;
  ASSERT_EQ(group->AddItems(3, defs, &results, &errors), S_FALSE);
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(errors[1], S_OK);
  EXPECT_EQ(errors[2], OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(results[0].hServer, 1u);
  EXPECT_EQ(results[1].hServer, 2u);
  CoTaskMemFree(results);
  CoTaskMemFree(errors);

  // Validation does not translate.
  ASSERT_EQ(group->ValidateItems(2, defs, FALSE, &results, &errors), S_FALSE);
  EXPECT_EQ(errors[0], OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(errors[1], S_OK);
  CoTaskMemFree(results);
  CoTaskMemFree(errors);

  com::ComPtr<IUnknown> unknown;
  ASSERT_EQ(group->CreateEnumerator(IID_IEnumOPCItemAttributes, unknown.ReleaseAndGetAddressOf()),
            S_OK);
  OPCITEMATTRIBUTES* attributes = nullptr;
  ULONG fetched = 0;
  ASSERT_EQ(unknown.As<IEnumOPCItemAttributes>()->Next(1, &attributes, &fetched), S_OK);
  EXPECT_STREQ(attributes[0].szItemID,
               "\\Arbeitsspeicher\\Bytes in Listen freier und genullter Seiten");
  CoTaskMemFree(attributes[0].szItemID);
  CoTaskMemFree(attributes);

  // The translated item samples the same counter.
  ASSERT_EQ(SetActive(group.Get(), TRUE), S_OK);
  auto call = sink->WaitFor(0, IsPeriodic);
  ASSERT_TRUE(call);
  EXPECT_EQ(call->values, (std::map<OPCHANDLE, double>{{100, 50}, {101, 5}}));
}

}  // namespace
