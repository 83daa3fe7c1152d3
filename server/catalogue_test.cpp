#include "server/catalogue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/com/variant.h"
#include "platform/perf/perf.h"
#include "platform/perf/test_support.h"
#include "server/snapshot_fixture.h"

namespace {

using namespace std::string_literals;

// A collection clock that moves one second at every reading, so that two collections of the
// same snapshot give rate counters an exact value (no change: 0 per second).
std::atomic<std::int64_t> steppingNow{0};
std::int64_t SteppingClock() {
  return steppingNow += 10'000'000;
}

using ValidateCounterPathTest = SnapshotTest;

TEST_F(ValidateCounterPathTest, AcceptsPathsOfThisMachine) {
  EXPECT_EQ(ValidateCounterPath("\\Processor(_Total)\\% Processor Time"), S_OK);
  EXPECT_EQ(ValidateCounterPath("\\Processor(1)\\% User Time"), S_OK);
  EXPECT_EQ(ValidateCounterPath("\\Memory\\Available Bytes"), S_OK);
  // The snapshot's host name is this machine.
  EXPECT_EQ(ValidateCounterPath("\\\\testhost\\Memory\\Available Bytes"), S_OK);
}

TEST_F(ValidateCounterPathTest, UnknownPartsAreUnknownItems) {
  EXPECT_EQ(ValidateCounterPath("\\No Such Object\\Available Bytes"), OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(ValidateCounterPath("\\Memory\\No Such Counter"), OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(ValidateCounterPath("\\Processor(7)\\% Processor Time"), OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(ValidateCounterPath("\\Processor\\% Processor Time"), OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(ValidateCounterPath("\\\\otherhost\\Memory\\Available Bytes"), OPC_E_UNKNOWNITEMID);
}

TEST_F(ValidateCounterPathTest, MalformedPathsAreInvalidItems) {
  EXPECT_EQ(ValidateCounterPath("abc"), OPC_E_INVALIDITEMID);
  EXPECT_EQ(ValidateCounterPath("\\Processor(_Total"), OPC_E_INVALIDITEMID);
  EXPECT_EQ(ValidateCounterPath(""), OPC_E_INVALIDITEMID);
  EXPECT_EQ(ValidateCounterPath("\\Memory\\"), OPC_E_INVALIDITEMID);
  // A valid path followed by a NUL and more text is not that valid path.
  EXPECT_EQ(ValidateCounterPath("\\Memory\\Available Bytes\0junk"s), OPC_E_INVALIDITEMID);
}

TEST(ItemIdVerdict, StatusesThatMeanNotAPathAreNeverAccepted) {
  EXPECT_EQ(ItemIdVerdict(PDH_INVALID_PATH), OPC_E_INVALIDITEMID);
  EXPECT_EQ(ItemIdVerdict(PDH_INVALID_ARGUMENT), OPC_E_INVALIDITEMID);
  EXPECT_EQ(ItemIdVerdict(PDH_MEMORY_ALLOCATION_FAILURE), E_OUTOFMEMORY);
}

TEST_F(ValidateCounterPathTest, NamesAreThoseOfTheUiLanguage) {
  perf::SetUiLanguage("de");
  EXPECT_EQ(ValidateCounterPath("\\Prozessor(_Total)\\Prozessorzeit (%)"), S_OK);
  EXPECT_EQ(ValidateCounterPath("\\Processor(_Total)\\% Processor Time"), OPC_E_UNKNOWNITEMID);
}

using TranslateEnglishPathTest = SnapshotTest;

TEST_F(TranslateEnglishPathTest, GivesTheGermanPath) {
  perf::SetUiLanguage("de");
  std::string local;
  ASSERT_TRUE(TranslateEnglishPath("\\Processor(_Total)\\% Processor Time", &local));
  EXPECT_EQ(local, "\\Prozessor(_Total)\\Prozessorzeit (%)");
  EXPECT_EQ(ValidateCounterPath(local), S_OK);

  // The machine part goes; an object without instances stays without.
  ASSERT_TRUE(TranslateEnglishPath("\\\\testhost\\Memory\\Available Bytes", &local));
  EXPECT_EQ(local, "\\Arbeitsspeicher\\Verfügbare Bytes");
  EXPECT_EQ(ValidateCounterPath(local), S_OK);
}

TEST_F(TranslateEnglishPathTest, KeepsInstanceParentAndIndex) {
  perf::SetUiLanguage("de");
  std::string local;
  ASSERT_TRUE(TranslateEnglishPath("\\Processor(0#1)\\% User Time", &local));
  EXPECT_EQ(local, "\\Prozessor(0#1)\\Benutzerzeit (%)");
  ASSERT_TRUE(TranslateEnglishPath("\\Processor(top/cpu#2)\\% User Time", &local));
  EXPECT_EQ(local, "\\Prozessor(top/cpu#2)\\Benutzerzeit (%)");
}

TEST_F(TranslateEnglishPathTest, UnknownNamesAreNotTranslated) {
  perf::SetUiLanguage("de");
  std::string local = "untouched";
  EXPECT_FALSE(TranslateEnglishPath("\\No Such Object\\% Processor Time", &local));
  EXPECT_FALSE(TranslateEnglishPath("\\Processor(_Total)\\No Such Counter", &local));
  // Already German: the names are not English ones.
  EXPECT_FALSE(TranslateEnglishPath("\\Prozessor(_Total)\\Prozessorzeit (%)", &local));
  // English names match exactly, as the name table spells them.
  EXPECT_FALSE(TranslateEnglishPath("\\processor(_Total)\\% Processor Time", &local));
  EXPECT_FALSE(TranslateEnglishPath("abc", &local));
  EXPECT_FALSE(TranslateEnglishPath("\\Memory\\Available Bytes\0x"s, &local));
  EXPECT_EQ(local, "untouched");
}

TEST_F(TranslateEnglishPathTest, RefusesResultsLongerThanTheLimit) {
  perf::SetUiLanguage("de");
  std::string local;
  // Each "é" is one character of two bytes: the limit counts characters.
  std::string instance;
  for (int i = 0; i < 2000; ++i)
    instance += "é";
  ASSERT_TRUE(TranslateEnglishPath("\\Processor(" + instance + ")\\% User Time", &local));
  instance += std::string(20, 'x');
  EXPECT_FALSE(TranslateEnglishPath("\\Processor(" + instance + ")\\% User Time", &local));
}

class CounterTraitsTest : public SnapshotTest {
 protected:
  void SetUp() override {
    SnapshotTest::SetUp();
    ASSERT_EQ(CatalogueQuery::Open(), S_OK);
  }
  void TearDown() override {
    CatalogueQuery::Close();
    SnapshotTest::TearDown();
  }
};

TEST_F(CounterTraitsTest, ReportsTheCounterType) {
  CounterTraits traits{};
  ASSERT_EQ(GetCounterTraits("\\Processor(_Total)\\% Processor Time", &traits), S_OK);
  EXPECT_EQ(traits.counterType, PERF_100NSEC_TIMER_INV);
  EXPECT_EQ(traits.canonicalDataType, VT_R8);
  EXPECT_EQ(traits.accessRights, 1u);

  ASSERT_EQ(GetCounterTraits("\\Memory\\Available Bytes", &traits), S_OK);
  EXPECT_EQ(traits.counterType, PERF_COUNTER_LARGE_RAWCOUNT);
  EXPECT_EQ(traits.canonicalDataType, VT_R8);
}

TEST_F(CounterTraitsTest, RejectedPathsGiveTheValidationVerdict) {
  CounterTraits traits{};
  EXPECT_EQ(GetCounterTraits("\\No Such Object\\X", &traits), OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(GetCounterTraits("abc", &traits), OPC_E_INVALIDITEMID);
  EXPECT_EQ(GetCounterTraits("\\Memory\\Available Bytes", nullptr), E_POINTER);
}

TEST_F(CounterTraitsTest, NeedsTheCatalogueQuery) {
  CounterTraits traits{};
  CatalogueQuery::Close();
  EXPECT_FALSE(CatalogueQuery::IsOpen());
  EXPECT_EQ(GetCounterTraits("\\Memory\\Available Bytes", &traits), E_FAIL);
  {
    CatalogueQueryScope scope;
    ASSERT_EQ(scope.result(), S_OK);
    EXPECT_TRUE(CatalogueQuery::IsOpen());
    EXPECT_EQ(GetCounterTraits("\\Memory\\Available Bytes", &traits), S_OK);
  }
  EXPECT_FALSE(CatalogueQuery::IsOpen());
}

using ReadCountersOnceTest = SnapshotTest;

TEST_F(ReadCountersOnceTest, OneBadPathAmongGoodOnes) {
  perf::SetClock(&SteppingClock);
  std::vector<std::string> paths = {"\\Memory\\Available Bytes", "\\No Such Object\\X",
                                    "\\Memory\\Page Faults/sec", "\\Processor(7)\\% User Time"};
  std::vector<DWORD> types;
  std::vector<PDH_FMT_COUNTERVALUE> values;
  std::vector<PDH_STATUS> statuses;
  ASSERT_EQ(ReadCountersOnce(paths, &types, &values, &statuses), S_FALSE);
  ASSERT_EQ(types.size(), 4u);
  ASSERT_EQ(values.size(), 4u);
  ASSERT_EQ(statuses.size(), 4u);

  EXPECT_EQ(statuses[0], ERROR_SUCCESS);
  EXPECT_EQ(types[0], PERF_COUNTER_LARGE_RAWCOUNT);
  EXPECT_EQ(values[0].CStatus, PDH_CSTATUS_VALID_DATA);
  EXPECT_DOUBLE_EQ(values[0].doubleValue, 12000000.0 * 1024);

  EXPECT_EQ(statuses[1], PDH_CSTATUS_NO_OBJECT);

  // A rate counter has its two samples: nothing changed in one second.
  EXPECT_EQ(statuses[2], ERROR_SUCCESS);
  EXPECT_EQ(types[2], PERF_COUNTER_COUNTER);
  EXPECT_EQ(values[2].CStatus, PDH_CSTATUS_VALID_DATA);
  EXPECT_DOUBLE_EQ(values[2].doubleValue, 0.0);

  // Added, but the instance is not there when it is collected.
  EXPECT_NE(statuses[3], ERROR_SUCCESS);
}

TEST_F(ReadCountersOnceTest, AllGoodIsOk) {
  perf::SetClock(&SteppingClock);
  std::vector<std::string> paths = {"\\System\\Context Switches/sec", "\\Memory\\Available MBytes"};
  std::vector<DWORD> types;
  std::vector<PDH_FMT_COUNTERVALUE> values;
  std::vector<PDH_STATUS> statuses;
  ASSERT_EQ(ReadCountersOnce(paths, &types, &values, &statuses), S_OK);
  EXPECT_EQ(statuses, (std::vector<PDH_STATUS>{ERROR_SUCCESS, ERROR_SUCCESS}));
  EXPECT_EQ(types[0], PERF_COUNTER_COUNTER);
  EXPECT_DOUBLE_EQ(values[0].doubleValue, 0.0);
  EXPECT_DOUBLE_EQ(values[1].doubleValue, 11718.0);
}

TEST_F(ReadCountersOnceTest, NoCounterAddedIsPartialSuccess) {
  std::vector<std::string> paths = {"\\No Such Object\\X", "abc"};
  std::vector<DWORD> types;
  std::vector<PDH_FMT_COUNTERVALUE> values;
  std::vector<PDH_STATUS> statuses;
  ASSERT_EQ(ReadCountersOnce(paths, &types, &values, &statuses), S_FALSE);
  EXPECT_EQ(statuses[0], PDH_CSTATUS_NO_OBJECT);
  EXPECT_EQ(statuses[1], PDH_CSTATUS_BAD_COUNTERNAME);
}

TEST_F(ReadCountersOnceTest, ErrorsGiveNoResults) {
  std::vector<std::string> paths = {"\\Memory\\Available Bytes"};
  std::vector<DWORD> types = {1, 2};
  std::vector<PDH_FMT_COUNTERVALUE> values(2);
  std::vector<PDH_STATUS> statuses = {1, 2};
  EXPECT_EQ(ReadCountersOnce({}, &types, &values, &statuses), E_INVALIDARG);
  EXPECT_TRUE(types.empty() && values.empty() && statuses.empty());
  EXPECT_EQ(ReadCountersOnce(paths, nullptr, &values, &statuses), E_POINTER);

  // A data source that is gone: the query cannot be opened.
  types = {1};
  statuses = {1};
  perf::SetDefaultDataSource(scratch_.dir() + "/missing");
  EXPECT_EQ(ReadCountersOnce(paths, &types, &values, &statuses), E_FAIL);
  EXPECT_TRUE(types.empty() && values.empty() && statuses.empty());
}

// On the live machine, processor percentages are timed by clock ticks; back-to-back
// collections alone usually fall within one tick and would leave them without a value.
TEST(ReadCountersOnceLive, ProcessorTimeHasAValue) {
  perf::SetDefaultDataSource("");
  std::vector<std::string> paths = {"\\Processor(_Total)\\% Processor Time",
                                    "\\Processor(_Total)\\% Idle Time"};
  std::vector<DWORD> types;
  std::vector<PDH_FMT_COUNTERVALUE> values;
  std::vector<PDH_STATUS> statuses;
  ASSERT_EQ(ReadCountersOnce(paths, &types, &values, &statuses), S_OK);
  for (std::size_t i = 0; i < paths.size(); ++i) {
    EXPECT_EQ(statuses[i], ERROR_SUCCESS) << paths[i];
    EXPECT_GE(values[i].doubleValue, 0.0) << paths[i];
    EXPECT_LE(values[i].doubleValue, 100.0) << paths[i];
  }
}

using SampleCounterTest = SnapshotTest;

TEST_F(SampleCounterTest, UsableOnlyWithAValidValue) {
  perf::SetClock(&SteppingClock);
  perf::testing::TestQuery query(scratch_.dir());
  PDH_HCOUNTER raw = query.Add("\\Memory\\Available Bytes");
  PDH_HCOUNTER rate = query.Add("\\Memory\\Page Faults/sec");
  double value = -1;
  EXPECT_FALSE(SampleCounter(raw, &value));  // never collected

  ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
  EXPECT_TRUE(SampleCounter(raw, &value));
  EXPECT_DOUBLE_EQ(value, 12000000.0 * 1024);
  // The first sample of a rate counter has no value yet.
  value = -1;
  EXPECT_FALSE(SampleCounter(rate, &value));
  EXPECT_EQ(value, -1);

  ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
  EXPECT_TRUE(SampleCounter(rate, &value));
  EXPECT_DOUBLE_EQ(value, 0.0);

  EXPECT_FALSE(SampleCounter(nullptr, &value));
}

}  // namespace
