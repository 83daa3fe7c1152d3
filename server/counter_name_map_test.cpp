#include "server/counter_name_map.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/perf/perf.h"

namespace {

using namespace std::string_literals;

TEST(CounterNameMap, BuildsFromTheEnglishTable) {
  std::string counters =
      "2\0System\0004\0Memory\0006\0Time\0008\0Time\0"
      "12\0Beyond\0x9\0Bad\0\0"s;
  std::vector<perf::ObjectDefinition> objects = {
      {4, 100, false, {{6, 0, 100, 0}, {12, 0, 100, 0}}},
      {2, 100, false, {{8, 0, 100, 0}}},
  };
  CounterNameMap map = CounterNameMap::Build(10, counters, objects);
  EXPECT_EQ(map.ObjectIndex("Memory"), 4u);
  EXPECT_EQ(map.ObjectIndex("System"), 2u);
  EXPECT_EQ(map.ObjectIndex("memory"), 0u);
  // Two counters share an English name: the later definition wins.
  EXPECT_EQ(map.CounterIndex("Time"), 8u);
  // Index 12 lies beyond Last Counter and has no name; an entry with a bad index is skipped.
  EXPECT_EQ(map.EnglishName(12), "");
  EXPECT_EQ(map.CounterIndex("Beyond"), 0u);
  EXPECT_EQ(map.CounterIndex("Bad"), 0u);
  EXPECT_EQ(map.EnglishName(6), "Time");
}

TEST(CounterNameMap, StaysEmptyWithoutNameTables) {
  std::vector<perf::ObjectDefinition> objects = {{4, 100, false, {{6, 0, 100, 0}}}};
  EXPECT_TRUE(CounterNameMap::Build(0, "4\0Memory\0\0"s, objects).empty());
  CounterNameMap map = CounterNameMap::Build(10, "\0"s, objects);
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.ObjectIndex("Memory"), 0u);
}

TEST(CounterNameMap, TheProcessMapIsEnglishWhateverTheUiLanguage) {
  perf::SetUiLanguage("de");
  const CounterNameMap& map = CounterNameMap::Instance();
  EXPECT_EQ(&map, &CounterNameMap::Instance());
  EXPECT_EQ(map.ObjectIndex("Processor"), 238u);
  EXPECT_EQ(map.ObjectIndex("Memory"), 4u);
  EXPECT_EQ(map.CounterIndex("% Processor Time"), 6u);
  EXPECT_EQ(map.ObjectIndex("Prozessor"), 0u);
  perf::SetUiLanguage("");
}

}  // namespace
