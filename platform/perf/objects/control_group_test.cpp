#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/perf/pdh.h"
#include "platform/perf/test_support.h"

namespace perf::testing {
namespace {

using namespace std::string_literals;

constexpr std::int64_t kTwoSeconds = 20'000'000;

std::string Instances(const std::string& source) {
  DWORD counters = 0, instances = 0;
  EXPECT_EQ(PdhEnumObjectItems(source.c_str(), nullptr, "Control Group", nullptr, &counters,
                               nullptr, &instances, PERF_DETAIL_WIZARD, 0),
            PDH_MORE_DATA);
  std::string list(instances, '\0');
  EXPECT_EQ(PdhEnumObjectItems(source.c_str(), nullptr, "Control Group", nullptr, nullptr,
                               list.data(), &instances, PERF_DETAIL_WIZARD, 0),
            ERROR_SUCCESS);
  return list;
}

TEST(ControlGroupObject, GroupsLevelByLevelDownToTheDepthLimit) {
  // Each level in name order; "\" of systemd's escapes becomes "_"; deep/1/.../8 lies nine
  // levels down, one more than the walk goes.
  EXPECT_EQ(Instances(TestData("cgroup1")),
            "deep\0system.slice\0user.slice\0deep/1\0system.slice/ssh.service\0"
            "system.slice/systemd-fsck@dev-disk-by_x2duuid-1.service\0deep/1/2\0deep/1/2/3\0"
            "deep/1/2/3/4\0deep/1/2/3/4/5\0deep/1/2/3/4/5/6\0deep/1/2/3/4/5/6/7\0\0"s);
}

TEST(ControlGroupObject, ValuesFromSnapshots) {
  const std::string g = "\\Control Group(system.slice/ssh.service)\\";
  auto v = ValuesOverInterval({g + "% Processor Time",
                               g + "% User Time",
                               g + "% Privileged Time",
                               g + "% Throttled Time",
                               g + "Throttled Periods/sec",
                               g + "Memory Current Bytes",
                               g + "Memory Peak Bytes",
                               g + "Memory High Bytes",
                               g + "Memory Max Bytes",
                               g + "Memory Swap Bytes",
                               g + "IO Read Bytes/sec",
                               g + "IO Write Bytes/sec",
                               g + "IO Read Operations/sec",
                               g + "IO Write Operations/sec",
                               g + "Processes",
                               g + "% CPU Some Stall Time",
                               g + "% Memory Some Stall Time",
                               g + "% Memory Full Stall Time",
                               g + "% IO Some Stall Time",
                               g + "% IO Full Stall Time",
                               "\\Control Group(user.slice)\\Memory Current Bytes",
                               "\\Control Group(system.slice)\\Processes"},
                              "cgroup1", "cgroup2", kTwoSeconds);
  // In 2 s: 1 s of CPU (0.7 user, 0.3 system), 0.2 s throttled in 20 periods; 200000 bytes
  // read and 40000 written in 100 and 40 operations; stalls of 0.2, 0.04, 0.02, 0.1, 0.01 s.
  // memory.max is "max" (0: no limit); user.slice has no memory controller; system.slice's
  // cgroup.procs is empty.
  std::vector<double> expected = {50, 35,   15,     10,    10, 12582912, 20971520, 536870912,
                                  0,  8192, 100000, 20000, 50, 20,       3,        10,
                                  2,  1,    5,      0.5,   0,  0};
  ASSERT_EQ(v.size(), expected.size());
  for (std::size_t i = 0; i < v.size(); ++i)
    EXPECT_DOUBLE_EQ(v[i], expected[i]) << i;
}

TEST(ControlGroupObject, RecreatedGroupStartsItsRatesOver) {
  Scratch scratch;
  scratch.Load("cgroup1");
  UseFakeClock(1'000'000'000);
  {
    TestQuery query(scratch.dir());
    PDH_HCOUNTER cpu = query.Add("\\Control Group(system.slice/ssh.service)\\% Processor Time");
    ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
    // The service restarts: a new directory (another inode) under the same path, with a
    // usage that starts from zero again.
    namespace fs = std::filesystem;
    std::string dir = scratch.dir() + "/sys/fs/cgroup/system.slice/ssh.service";
    fs::create_directories(dir + ".new");
    std::ofstream(dir + ".new/cpu.stat") << "usage_usec 100\nuser_usec 100\nsystem_usec 0\n";
    fs::remove_all(dir);
    fs::rename(dir + ".new", dir);
    AdvanceClock(kTwoSeconds);
    ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
    PDH_FMT_COUNTERVALUE value{};
    EXPECT_EQ(PdhGetFormattedCounterValue(cpu, PDH_FMT_DOUBLE, nullptr, &value), PDH_INVALID_DATA);
    EXPECT_EQ(value.CStatus, PDH_CSTATUS_INVALID_DATA);
  }
  UseRealClock();
}

TEST(ControlGroupObject, WalkStopsAtTheGroupLimit) {
  // 2100 groups side by side: the first 2048 in name order are instances.
  Scratch scratch;
  std::string root = scratch.dir() + "/sys/fs/cgroup";
  std::filesystem::create_directories(root);
  std::ofstream(root + "/cgroup.controllers") << "cpu memory\n";
  for (int i = 0; i < 2100; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "g%04d", i);
    std::filesystem::create_directory(root + "/" + name);
  }
  std::string list = Instances(scratch.dir());
  std::size_t count = 0;
  for (char c : list)
    count += c == '\0';
  EXPECT_EQ(count, 2048u + 1);  // names and the final NUL
  EXPECT_NE(list.find("g2047"), std::string::npos);
  EXPECT_EQ(list.find("g2048"), std::string::npos);
}

TEST(ControlGroupObject, NoVersionTwoHierarchy) {
  // cgroup v1 only (no cgroup.controllers anywhere), or no /sys/fs/cgroup at all.
  Scratch scratch;
  std::filesystem::create_directories(scratch.dir() + "/sys/fs/cgroup/memory/system.slice");
  EXPECT_EQ(Instances(scratch.dir()), "\0\0"s);

  // A hybrid layout: the v2 part under unified/.
  std::string unified = scratch.dir() + "/sys/fs/cgroup/unified";
  std::filesystem::create_directories(unified + "/init.scope");
  std::ofstream(unified + "/cgroup.controllers") << "\n";
  std::ofstream(unified + "/init.scope/cgroup.procs") << "1\n";
  EXPECT_EQ(Instances(scratch.dir()), "init.scope\0\0"s);
  TestQuery query(scratch.dir());
  PDH_HCOUNTER procs = query.Add("\\Control Group(init.scope)\\Processes");
  PDH_HCOUNTER memory = query.Add("\\Control Group(init.scope)\\Memory Current Bytes");
  ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
  EXPECT_DOUBLE_EQ(query.Value(procs), 1.0);
  EXPECT_DOUBLE_EQ(query.Value(memory), 0.0);  // no memory controller there
}

}  // namespace
}  // namespace perf::testing
