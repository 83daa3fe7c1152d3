#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/perf/pdh.h"
#include "platform/perf/test_support.h"

namespace perf::testing {
namespace {

constexpr std::int64_t kTwoSeconds = 20'000'000;

std::vector<std::string> InstancesOf(const std::string& source, const char* object) {
  DWORD counters = 0, instances = 0;
  EXPECT_EQ(PdhEnumObjectItems(source.c_str(), nullptr, object, nullptr, &counters, nullptr,
                               &instances, PERF_DETAIL_WIZARD, 0),
            PDH_MORE_DATA);
  std::string list(instances, '\0');
  EXPECT_EQ(PdhEnumObjectItems(source.c_str(), nullptr, object, nullptr, nullptr, list.data(),
                               &instances, PERF_DETAIL_WIZARD, 0),
            ERROR_SUCCESS);
  std::vector<std::string> out;
  for (const char* p = list.c_str(); *p; p += std::strlen(p) + 1)
    out.emplace_back(p);
  return out;
}

TEST(PhysicalDiskObject, WholeDisksWithIoOnly) {
  // Partitions (sda1, sdb2) are not physical disks; loop0 never did any I/O.
  EXPECT_EQ(InstancesOf(TestData("a"), "PhysicalDisk"),
            (std::vector<std::string>{"sda", "sdb", "_Total"}));
}

TEST(PhysicalDiskObject, IostatFormulas) {
  // sda over 2 s: +200 reads (+4000 sectors, +400 ms), +100 writes (+8000 sectors, +600 ms),
  // +20/+10 merged, io_ticks +1000 ms, weighted +3000 ms, 3 in flight.
  const std::string d = "\\PhysicalDisk(sda)\\";
  auto v = ValuesOverInterval({d + "% Disk Time",
                               d + "% Idle Time",
                               d + "% Disk Read Time",
                               d + "% Disk Write Time",
                               d + "Avg. Disk Queue Length",
                               d + "Avg. Disk Read Queue Length",
                               d + "Current Disk Queue Length",
                               d + "Disk Reads/sec",
                               d + "Disk Writes/sec",
                               d + "Disk Transfers/sec",
                               d + "Disk Read Bytes/sec",
                               d + "Disk Write Bytes/sec",
                               d + "Disk Bytes/sec",
                               d + "Avg. Disk sec/Read",
                               d + "Avg. Disk sec/Write",
                               d + "Avg. Disk sec/Transfer",
                               d + "Avg. Disk Bytes/Read",
                               d + "Avg. Disk Bytes/Write",
                               d + "Avg. Disk Bytes/Transfer",
                               d + "Merged Reads/sec",
                               d + "Merged Writes/sec",
                               "\\PhysicalDisk(_Total)\\% Disk Time",
                               "\\PhysicalDisk(_Total)\\Disk Reads/sec",
                               "\\PhysicalDisk(sdb)\\Avg. Disk sec/Read"},
                              "a", "b", kTwoSeconds);
  ASSERT_EQ(v.size(), 24u);
  EXPECT_DOUBLE_EQ(v[0], 50.0);
  EXPECT_DOUBLE_EQ(v[1], 50.0);
  EXPECT_DOUBLE_EQ(v[2], 20.0);
  EXPECT_DOUBLE_EQ(v[3], 30.0);
  EXPECT_DOUBLE_EQ(v[4], 1.5);
  EXPECT_DOUBLE_EQ(v[5], 0.2);
  EXPECT_DOUBLE_EQ(v[6], 3.0);
  EXPECT_DOUBLE_EQ(v[7], 100.0);
  EXPECT_DOUBLE_EQ(v[8], 50.0);
  EXPECT_DOUBLE_EQ(v[9], 150.0);
  EXPECT_DOUBLE_EQ(v[10], 1024000.0);
  EXPECT_DOUBLE_EQ(v[11], 2048000.0);
  EXPECT_DOUBLE_EQ(v[12], 3072000.0);
  EXPECT_DOUBLE_EQ(v[13], 0.002);
  EXPECT_DOUBLE_EQ(v[14], 0.006);
  EXPECT_NEAR(v[15], 1.0 / 300, 1e-15);
  EXPECT_DOUBLE_EQ(v[16], 10240.0);
  EXPECT_DOUBLE_EQ(v[17], 40960.0);
  EXPECT_DOUBLE_EQ(v[18], 20480.0);
  EXPECT_DOUBLE_EQ(v[19], 10.0);
  EXPECT_DOUBLE_EQ(v[20], 5.0);
  EXPECT_DOUBLE_EQ(v[21], 25.0);  // the busy time of two disks over twice the time
  EXPECT_DOUBLE_EQ(v[22], 100.0);
  EXPECT_DOUBLE_EQ(v[23], 0.0);  // no reads in the interval: no time per read
}

TEST(LogicalDiskObject, MountedLocalFilesystems) {
  // proc and tmpfs are not local block filesystems; the mount point's \040 is a space.
  EXPECT_EQ(InstancesOf(TestData("a"), "LogicalDisk"),
            (std::vector<std::string>{"/", "/mnt/my data", "_Total"}));
}

TEST(LogicalDiskObject, SpaceAndDeviceIo) {
  auto v = ValuesOverInterval(
      {"\\LogicalDisk(/)\\% Free Space", "\\LogicalDisk(/)\\Free Megabytes",
       "\\LogicalDisk(/)\\% Free Inodes", "\\LogicalDisk(/mnt/my data)\\% Free Space",
       "\\LogicalDisk(/mnt/my data)\\Free Megabytes", "\\LogicalDisk(_Total)\\% Free Space",
       "\\LogicalDisk(/)\\Disk Reads/sec", "\\LogicalDisk(/)\\Disk Read Bytes/sec",
       "\\LogicalDisk(/)\\% Disk Time"},
      "a", "b", kTwoSeconds);
  ASSERT_EQ(v.size(), 9u);
  EXPECT_DOUBLE_EQ(v[0], 40.0);  // 4096 of 10240 MB available
  EXPECT_DOUBLE_EQ(v[1], 4096.0);
  EXPECT_DOUBLE_EQ(v[2], 25.0);
  EXPECT_DOUBLE_EQ(v[3], 25.0);  // 256 of 1024 MB
  EXPECT_DOUBLE_EQ(v[4], 256.0);
  EXPECT_DOUBLE_EQ(v[5], 100.0 * 4352 / 11264);
  EXPECT_DOUBLE_EQ(v[6], 50.0);  // sda1: +100 reads
  EXPECT_DOUBLE_EQ(v[7], 1024000.0);
  EXPECT_DOUBLE_EQ(v[8], 25.0);
}

}  // namespace
}  // namespace perf::testing
