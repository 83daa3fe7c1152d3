#include "platform/perf/source.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/perf/parse.h"
#include "platform/perf/test_support.h"

namespace perf {
namespace {

TEST(SourceSet, EachFileIsReadOncePerCollection) {
  testing::Scratch scratch;
  std::filesystem::create_directories(scratch.dir() + "/proc");
  std::ofstream(scratch.dir() + "/proc/stat") << "first\n";
  SourceSet sources(scratch.dir());
  int a = sources.Register("proc/stat");
  int b = sources.Register("proc/stat");  // a second object asking for the same file
  EXPECT_EQ(a, b);
  sources.NextCollection(1);
  std::string_view text;
  ASSERT_TRUE(sources.Read(a, text));
  EXPECT_EQ(text, "first\n");
  std::ofstream(scratch.dir() + "/proc/stat") << "second, longer than the first\n";
  ASSERT_TRUE(sources.Read(b, text));
  EXPECT_EQ(text, "first\n");  // the same collection sees the same content
  sources.NextCollection(2);
  ASSERT_TRUE(sources.Read(b, text));
  EXPECT_EQ(text, "second, longer than the first\n");
  EXPECT_FALSE(sources.Read(sources.Register("proc/missing"), text));
  EXPECT_FALSE(sources.Read(99, text));
}

TEST(SourceSet, LargeFilesAndLiveDescriptors) {
  testing::Scratch scratch;
  std::string big(100000, 'x');
  std::ofstream(scratch.dir() + "/big") << big;
  SourceFile file(scratch.dir() + "/big", true);
  std::string_view text;
  ASSERT_TRUE(file.Read(text));
  EXPECT_EQ(text.size(), big.size());
  // A kept descriptor reads the file again from the start.
  ASSERT_TRUE(file.Read(text));
  EXPECT_EQ(text.size(), big.size());

  SourceSet live("");
  EXPECT_TRUE(live.live());
  live.NextCollection(1);
  ASSERT_TRUE(live.Read(live.Register("proc/stat"), text));
  EXPECT_EQ(text.substr(0, 4), "cpu ");
  EXPECT_FALSE(live.HostName().empty());
  FsStats fs;
  EXPECT_TRUE(live.StatFs("/", fs));
  EXPECT_GT(fs.blocks, 0u);
}

TEST(Scanner, NumbersAndWords) {
  Scanner s("  42 -7 0.52 12.5 3 word\tnext\nline two\n");
  EXPECT_EQ(s.U64(), 42u);
  EXPECT_EQ(s.I64(), -7);
  EXPECT_EQ(s.Hundredths(), 52);
  EXPECT_EQ(s.Hundredths(), 1250);
  EXPECT_EQ(s.Hundredths(), 300);
  EXPECT_EQ(s.Word(), "word");
  EXPECT_EQ(s.Word(), "next");
  s.SkipLine();
  EXPECT_EQ(s.Line(), "line two");
  EXPECT_TRUE(s.AtEnd());
  EXPECT_EQ(s.U64(), 0u);  // nothing left: zero, no crash
  Scanner garbage("abc");
  EXPECT_EQ(garbage.U64(), 0u);
  EXPECT_EQ(garbage.Word(), "abc");
}

TEST(Scanner, KeyedNumbersAndEscapes) {
  std::string_view keys[] = {"MemTotal", "pgfault", "Missing"};
  std::int64_t out[3] = {-1, -1, -1};
  EXPECT_EQ(ParseKeyedNumbers("MemTotal:  100 kB\nMemTotalX: 5\npgfault 77\n", keys, 3, out), 2);
  EXPECT_EQ(out[0], 100 * 1024);
  EXPECT_EQ(out[1], 77);
  EXPECT_EQ(out[2], -1);
  std::string text;
  UnescapeOctal("/mnt/my\\040data\\", text);
  EXPECT_EQ(text, "/mnt/my data\\");
  UnescapeOctal("\\777\\0", text);  // not a byte escape: kept as it is
  EXPECT_EQ(text, "\\777\\0");
}

}  // namespace
}  // namespace perf
