#include "server/counter_browser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/perf/perf.h"
#include "server/catalogue.h"
#include "server/snapshot_fixture.h"

namespace {

bool Lists(const CounterBrowser& browser, const std::string& name) {
  const auto& children = browser.Children();
  return std::find(children.begin(), children.end(), name) != children.end();
}

using CounterBrowserTest = SnapshotTest;

TEST_F(CounterBrowserTest, StartsAtRootWithTheObjects) {
  CounterBrowser browser;
  EXPECT_EQ(browser.Level(), 0);
  EXPECT_EQ(browser.CurrentName(), "Root");
  EXPECT_EQ(browser.Path(), "\\");
  EXPECT_TRUE(Lists(browser, "Processor"));
  EXPECT_TRUE(Lists(browser, "Memory"));
  EXPECT_EQ(browser.MoveUp(), E_FAIL);
  // Naming at root: an unlisted name changes nothing, a listed one is refused.
  EXPECT_EQ(browser.SetName("No Such Object"), S_OK);
  EXPECT_EQ(browser.SetName("Memory"), E_INVALIDARG);
  EXPECT_EQ(browser.Level(), 0);
  EXPECT_EQ(browser.Path(), "\\");
}

TEST_F(CounterBrowserTest, WalksAnObjectWithInstances) {
  CounterBrowser browser;
  ASSERT_EQ(browser.MoveDown("Processor"), S_OK);
  EXPECT_EQ(browser.Level(), 2);
  EXPECT_EQ(browser.CurrentName(), "");  // no instance chosen yet
  EXPECT_EQ(browser.Path(), "\\Processor");
  EXPECT_EQ(browser.Children(), (std::vector<std::string>{"0", "1", "_Total"}));

  EXPECT_EQ(browser.MoveDown("7"), E_INVALIDARG);
  EXPECT_EQ(browser.Level(), 2);
  EXPECT_EQ(browser.Path(), "\\Processor");

  ASSERT_EQ(browser.MoveDown("_Total"), S_OK);
  EXPECT_EQ(browser.Level(), 3);
  EXPECT_EQ(browser.CurrentName(), "");
  EXPECT_EQ(browser.Path(), "\\Processor(_Total)");
  EXPECT_TRUE(Lists(browser, "% Processor Time"));
  // The wizard detail level lists the advanced counters too.
  EXPECT_TRUE(Lists(browser, "% Nice Time"));

  ASSERT_EQ(browser.MoveDown("% Processor Time"), S_OK);
  EXPECT_EQ(browser.Level(), 3);
  EXPECT_EQ(browser.CurrentName(), "% Processor Time");
  EXPECT_EQ(browser.Path(), "\\Processor(_Total)\\% Processor Time");
  EXPECT_TRUE(browser.Children().empty());
  EXPECT_EQ(ValidateCounterPath(browser.Path()), S_OK);

  // Up: the instances again, then the objects with every name cleared, then root.
  ASSERT_EQ(browser.MoveUp(), S_OK);
  EXPECT_EQ(browser.Level(), 2);
  EXPECT_EQ(browser.Path(), "\\Processor");
  EXPECT_TRUE(Lists(browser, "_Total"));
  ASSERT_EQ(browser.MoveUp(), S_OK);
  EXPECT_EQ(browser.Level(), 1);
  EXPECT_EQ(browser.CurrentName(), "");
  EXPECT_EQ(browser.Path(), "\\");
  EXPECT_TRUE(Lists(browser, "Memory"));
  ASSERT_EQ(browser.MoveUp(), S_OK);
  EXPECT_EQ(browser.Level(), 0);
  EXPECT_EQ(browser.CurrentName(), "Root");
  EXPECT_EQ(browser.MoveUp(), E_FAIL);
}

TEST_F(CounterBrowserTest, AnObjectWithoutInstancesGoesStraightToItsCounters) {
  CounterBrowser browser;
  ASSERT_EQ(browser.MoveDown("Memory"), S_OK);
  EXPECT_EQ(browser.Level(), 3);
  EXPECT_EQ(browser.Path(), "\\Memory");
  EXPECT_TRUE(Lists(browser, "Available Bytes"));
  EXPECT_TRUE(Lists(browser, "Page Table Bytes"));  // an expert counter

  // An unlisted counter changes nothing.
  ASSERT_EQ(browser.MoveDown("No Such Counter"), S_OK);
  EXPECT_EQ(browser.Path(), "\\Memory");
  ASSERT_EQ(browser.MoveDown("Available Bytes"), S_OK);
  EXPECT_EQ(browser.Path(), "\\Memory\\Available Bytes");
  EXPECT_EQ(ValidateCounterPath(browser.Path()), S_OK);

  // Up from the counter level of an object without instances: the objects, object kept.
  ASSERT_EQ(browser.MoveUp(), S_OK);
  EXPECT_EQ(browser.Level(), 1);
  EXPECT_EQ(browser.CurrentName(), "Memory");
  EXPECT_EQ(browser.Path(), "\\Memory");
  EXPECT_TRUE(Lists(browser, "Processor"));
  // From the object level a move down works as from root.
  ASSERT_EQ(browser.MoveDown("Processor"), S_OK);
  EXPECT_EQ(browser.Level(), 2);
  EXPECT_EQ(browser.Path(), "\\Processor");
}

TEST_F(CounterBrowserTest, SetNameChangesTheNameOfTheLevel) {
  CounterBrowser browser;
  ASSERT_EQ(browser.MoveDown("Processor"), S_OK);
  ASSERT_EQ(browser.SetName("1"), S_OK);
  EXPECT_EQ(browser.Level(), 2);
  EXPECT_EQ(browser.CurrentName(), "1");
  EXPECT_EQ(browser.Path(), "\\Processor(1)");
  ASSERT_EQ(browser.SetName("7"), S_OK);  // not listed: nothing changes
  EXPECT_EQ(browser.Path(), "\\Processor(1)");

  ASSERT_EQ(browser.MoveDown("0"), S_OK);
  ASSERT_EQ(browser.SetName("% User Time"), S_OK);
  EXPECT_EQ(browser.Level(), 3);
  EXPECT_EQ(browser.Path(), "\\Processor(0)\\% User Time");
  // Naming does not empty the list the way choosing a counter does.
  ASSERT_EQ(browser.SetName("% Idle Time"), S_OK);
  EXPECT_EQ(browser.Path(), "\\Processor(0)\\% Idle Time");
}

TEST_F(CounterBrowserTest, AListingFailureLeavesTheCursorAlone) {
  CounterBrowser browser;
  // Not an object at all: the library cannot list its items.
  EXPECT_EQ(browser.MoveDown("No Such Object"), E_FAIL);
  EXPECT_EQ(browser.Level(), 0);
  EXPECT_EQ(browser.Path(), "\\");

  // The processor data cannot be read any more.
  std::vector<std::string> objects = browser.Children();
  perf::SetDefaultDataSource(scratch_.dir() + "/missing");
  EXPECT_EQ(browser.MoveDown("Processor"), E_FAIL);
  EXPECT_EQ(browser.Level(), 0);
  EXPECT_EQ(browser.Children(), objects);
}

TEST_F(CounterBrowserTest, RefreshListsTheObjectsAndKeepsThePosition) {
  CounterBrowser browser;
  ASSERT_EQ(browser.MoveDown("Processor"), S_OK);
  ASSERT_EQ(browser.MoveDown("_Total"), S_OK);
  ASSERT_EQ(browser.RefreshObjects(), S_OK);
  EXPECT_EQ(browser.Level(), 3);
  EXPECT_EQ(browser.Path(), "\\Processor(_Total)");
  EXPECT_TRUE(Lists(browser, "Memory"));
  EXPECT_FALSE(Lists(browser, "% Processor Time"));
}

TEST(CounterBrowserCopyText, TwoCalls) {
  const std::string text = "Verfügbare Bytes";  // "ü" is two bytes
  DWORD chars = 0;
  ASSERT_EQ(CounterBrowser::CopyText(text, nullptr, 0, &chars), S_OK);
  EXPECT_EQ(chars, text.size());

  std::vector<char> buffer(chars + 1, 'x');
  ASSERT_EQ(CounterBrowser::CopyText(text, buffer.data(), chars + 1, &chars), S_OK);
  EXPECT_STREQ(buffer.data(), text.c_str());
  EXPECT_EQ(chars, text.size());
}

TEST(CounterBrowserCopyText, CutsBeforeASplitCharacter) {
  const std::string text = "Verfügbare Bytes";
  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  DWORD chars = 99;
  // Room for five units: "Verf" and the first byte of "ü", which must not be copied.
  ASSERT_EQ(CounterBrowser::CopyText(text, buffer, 6, &chars), S_OK);
  EXPECT_STREQ(buffer, "Verf");
  EXPECT_EQ(chars, 4u);
  EXPECT_EQ(buffer[5], 'x');  // nothing written past the terminator

  ASSERT_EQ(CounterBrowser::CopyText(text, buffer, 7, &chars), S_OK);
  EXPECT_STREQ(buffer, "Verfü");
  ASSERT_EQ(CounterBrowser::CopyText(text, buffer, 1, &chars), S_OK);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(chars, 0u);
}

TEST(CounterBrowserCopyText, MissingPointers) {
  char buffer[4];
  EXPECT_EQ(CounterBrowser::CopyText("abc", nullptr, 0, nullptr), E_POINTER);
  EXPECT_EQ(CounterBrowser::CopyText("abc", nullptr, 4, nullptr), E_POINTER);
  EXPECT_EQ(CounterBrowser::CopyText("abc", buffer, 4, nullptr), S_OK);
  EXPECT_STREQ(buffer, "abc");
}

}  // namespace
