#include "platform/perf/counter_path.h"

#include <gtest/gtest.h>

namespace perf {
namespace {

TEST(CounterPathParse, Elements) {
  CounterPath p;
  ASSERT_EQ(ParseCounterPath("\\\\host\\Process(parent/child#3)\\ID Process", p), 0u);
  EXPECT_EQ(p.machine, "host");
  EXPECT_EQ(p.object, "Process");
  EXPECT_TRUE(p.hasInstance);
  EXPECT_EQ(p.parent, "parent");
  EXPECT_EQ(p.instance, "child");
  EXPECT_EQ(p.index, 3u);
  EXPECT_EQ(p.counter, "ID Process");

  ASSERT_EQ(ParseCounterPath("\\Memory\\Available Bytes", p), 0u);
  EXPECT_EQ(p.machine, "");
  EXPECT_FALSE(p.hasInstance);
  EXPECT_EQ(p.counter, "Available Bytes");

  // Instance names may hold "\", "/" and "(": the instance ends where the object part does,
  // and the counter follows the last "\".
  ASSERT_EQ(ParseCounterPath("\\Paging File(\\??\\C:\\pagefile.sys)\\% Usage", p), 0u);
  EXPECT_EQ(p.instance, "\\??\\C:\\pagefile.sys");
  ASSERT_EQ(ParseCounterPath("\\LogicalDisk(/boot/efi)\\% Free Space", p), 0u);
  EXPECT_EQ(p.FullInstance(), "/boot/efi");
  ASSERT_EQ(ParseCounterPath("\\LogicalDisk(/)\\% Free Space", p), 0u);
  EXPECT_EQ(p.parent, "");
  EXPECT_EQ(p.instance, "/");
  ASSERT_EQ(ParseCounterPath("\\Prozessor(_Total)\\Prozessorzeit (%)", p), 0u);
  EXPECT_EQ(p.counter, "Prozessorzeit (%)");
  // "#" not followed by digits is part of the name.
  ASSERT_EQ(ParseCounterPath("\\Process(a#b)\\ID Process", p), 0u);
  EXPECT_EQ(p.instance, "a#b");
  EXPECT_EQ(p.index, 0u);
}

TEST(CounterPathParse, Malformed) {
  CounterPath p;
  for (const char* bad :
       {"", "\\", "\\\\", "\\\\\\", "Memory\\Available Bytes", "\\Memory", "\\Memory\\", "\\\\host",
        "\\\\host\\Memory", "\\\\\\Memory\\X", "\\(x)\\Y", "\\Processor(\\X", "\\Processor()\\X",
        "\\Processor(_Total\\% Processor Time", "\\Processor)\\X", "\\Pro)cessor(1)\\X",
        "\\Processor(1)x\\Y", "\\\\Memory\\X"}) {
    EXPECT_EQ(ParseCounterPath(bad, p), PDH_INVALID_PATH) << bad;
  }
  EXPECT_EQ(ParseCounterPath(std::string(kMaxCounterPath + 1, 'a'), p), PDH_INVALID_PATH);
  EXPECT_EQ(ParseCounterPath(std::string("\\Memory\\A\0B", 11), p), PDH_INVALID_PATH);
}

TEST(CounterPathMake, RoundTrips) {
  EXPECT_EQ(MakeCounterPath("", "Memory", "", "", 0, "Available Bytes"),
            "\\Memory\\Available Bytes");
  EXPECT_EQ(MakeCounterPath("host", "Process", "child", "parent", 2, "ID Process"),
            "\\\\host\\Process(parent/child#2)\\ID Process");
  EXPECT_EQ(MakeCounterPath("\\\\host", "Process", "x", "", 0xFFFFFFFF, "ID Process"),
            "\\\\host\\Process(x)\\ID Process");
  // An instance whose own name ends in "#n" keeps it, with an explicit "#0".
  EXPECT_EQ(MakeCounterPath("", "P", "r#9", "", 0, "C"), "\\P(r#9#0)\\C");
  for (const char* text :
       {"\\P(r#9#0)\\C", "\\\\h\\A(b/c#4)\\D", "\\Paging File(/dev/sdb2)\\% Usage",
        "\\Process(kworker/0:1)\\ID Process"}) {
    CounterPath p;
    ASSERT_EQ(ParseCounterPath(text, p), 0u);
    EXPECT_EQ(MakeCounterPath(p.machine, p.object, p.instance, p.parent, p.index, p.counter), text);
  }
}

TEST(CounterPathMachine, HostNames) {
  EXPECT_TRUE(IsLocalMachine("\\\\TestHost", "testhost"));
  EXPECT_TRUE(IsLocalMachine("testhost", "testhost.example.org"));
  EXPECT_TRUE(IsLocalMachine("testhost.example.org", "testhost"));
  EXPECT_FALSE(IsLocalMachine("otherhost", "testhost"));
  EXPECT_FALSE(IsLocalMachine("", "testhost"));
}

}  // namespace
}  // namespace perf
