#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/perf/pdh.h"
#include "platform/perf/test_support.h"

namespace perf::testing {

using namespace std::string_literals;
namespace {

constexpr std::int64_t kTwoSeconds = 20'000'000;

std::string Instances(const std::string& source, const char* object) {
  DWORD counters = 0, instances = 0;
  EXPECT_EQ(PdhEnumObjectItems(source.c_str(), nullptr, object, nullptr, &counters, nullptr,
                               &instances, PERF_DETAIL_WIZARD, 0),
            PDH_MORE_DATA);
  std::string list(instances, '\0');
  EXPECT_EQ(PdhEnumObjectItems(source.c_str(), nullptr, object, nullptr, nullptr, list.data(),
                               &instances, PERF_DETAIL_WIZARD, 0),
            ERROR_SUCCESS);
  return list;
}

TEST(NetworkInterfaceObject, InstancesInKernelOrderWithoutTotal) {
  EXPECT_EQ(Instances(TestData("net1"), "Network Interface"), "lo\0eth0\0tun0\0br[1]\0\0"s);
}

TEST(NetworkInterfaceObject, ValuesFromSnapshots) {
  const std::string e = "\\Network Interface(eth0)\\";
  auto v = ValuesOverInterval({e + "Bytes Total/sec",
                               e + "Bytes Received/sec",
                               e + "Bytes Sent/sec",
                               e + "Packets/sec",
                               e + "Packets Received/sec",
                               e + "Packets Sent/sec",
                               e + "Packets Received Errors",
                               e + "Packets Outbound Errors",
                               e + "Packets Received Discarded",
                               e + "Packets Outbound Discarded",
                               e + "Packets Received Unknown",
                               e + "Current Bandwidth",
                               e + "Output Queue Length",
                               e + "Packets Received Multicast/sec",
                               e + "Packets Received Compressed/sec",
                               e + "Packets Sent Compressed/sec",
                               e + "Collisions",
                               e + "Carrier Errors",
                               e + "Packets Received Frame Errors",
                               e + "Packets Received FIFO Errors",
                               e + "Packets Outbound FIFO Errors",
                               "\\Network Interface(lo)\\Current Bandwidth",
                               "\\Network Interface(tun0)\\Current Bandwidth",
                               "\\Network Interface(lo)\\Output Queue Length",
                               "\\Network Interface(br[1])\\Bytes Received/sec"},
                              "net1", "net2", kTwoSeconds);
  ASSERT_EQ(v.size(), 25u);
  EXPECT_DOUBLE_EQ(v[0], 150000.0);  // (200000 + 100000) bytes in 2 s
  EXPECT_DOUBLE_EQ(v[1], 100000.0);
  EXPECT_DOUBLE_EQ(v[2], 50000.0);
  EXPECT_DOUBLE_EQ(v[3], 300.0);
  EXPECT_DOUBLE_EQ(v[4], 200.0);
  EXPECT_DOUBLE_EQ(v[5], 100.0);
  EXPECT_DOUBLE_EQ(v[6], 3.0);
  EXPECT_DOUBLE_EQ(v[7], 17.0);
  EXPECT_DOUBLE_EQ(v[8], 4.0);
  EXPECT_DOUBLE_EQ(v[9], 18.0);
  EXPECT_DOUBLE_EQ(v[10], 17.0);
  EXPECT_DOUBLE_EQ(v[11], 10e9);  // 10000 Mb/s
  EXPECT_DOUBLE_EQ(v[12], 3.0);
  EXPECT_DOUBLE_EQ(v[13], 5.0);
  EXPECT_DOUBLE_EQ(v[14], 2.0);
  EXPECT_DOUBLE_EQ(v[15], 1.0);
  EXPECT_DOUBLE_EQ(v[16], 20.0);
  EXPECT_DOUBLE_EQ(v[17], 21.0);
  EXPECT_DOUBLE_EQ(v[18], 6.0);
  EXPECT_DOUBLE_EQ(v[19], 5.0);
  EXPECT_DOUBLE_EQ(v[20], 19.0);
  EXPECT_DOUBLE_EQ(v[21], 0.0);  // no speed file
  EXPECT_DOUBLE_EQ(v[22], 0.0);  // speed -1
  EXPECT_DOUBLE_EQ(v[23], 0.0);  // no qdisc line
  EXPECT_DOUBLE_EQ(v[24], 100.0);
}

TEST(NetworkInterfaceObject, RecreatedInterfaceStartsItsRatesOver) {
  // tun0's counters run backwards between the snapshots: another interface took the name.
  Scratch scratch;
  scratch.Load("net1");
  UseFakeClock(1'000'000'000);
  {
    TestQuery query(scratch.dir());
    PDH_HCOUNTER bytes = query.Add("\\Network Interface(tun0)\\Bytes Received/sec");
    PDH_HCOUNTER packets = query.Add("\\Network Interface(tun0)\\Packets/sec");
    ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
    scratch.Load("net2");
    AdvanceClock(kTwoSeconds);
    ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
    for (PDH_HCOUNTER counter : {bytes, packets}) {
      PDH_FMT_COUNTERVALUE value{};
      EXPECT_EQ(PdhGetFormattedCounterValue(counter, PDH_FMT_DOUBLE, nullptr, &value),
                PDH_INVALID_DATA);
      EXPECT_EQ(value.CStatus, PDH_CSTATUS_INVALID_DATA);
    }
    // The next interval measures the new interface alone.
    std::filesystem::copy_file(
        TestData("net1/proc/net/dev"), scratch.dir() + "/proc/net/dev",
        std::filesystem::copy_options::overwrite_existing);  // tun0 at 900000 bytes
    AdvanceClock(kTwoSeconds);
    ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
    EXPECT_DOUBLE_EQ(query.Value(bytes), (900000.0 - 500) / 2);
  }
  UseRealClock();
}

TEST(NetworkInterfaceObject, MissingSourcesMeanNoObjectOrZero) {
  Scratch scratch;  // empty: no /proc/net/dev
  TestQuery query(scratch.dir());
  PDH_HCOUNTER counter = query.Add("\\Network Interface(eth0)\\Packets Received Errors");
  ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
  PDH_FMT_COUNTERVALUE value{};
  EXPECT_NE(PdhGetFormattedCounterValue(counter, PDH_FMT_DOUBLE, nullptr, &value), ERROR_SUCCESS);
  EXPECT_EQ(value.CStatus, PDH_CSTATUS_NO_OBJECT);

  // /proc/net/dev alone: bandwidth, unknown packets and queue length read 0.
  std::filesystem::create_directories(scratch.dir() + "/proc/net");
  std::filesystem::copy_file(TestData("net1/proc/net/dev"), scratch.dir() + "/proc/net/dev");
  TestQuery again(scratch.dir());
  PDH_HCOUNTER bandwidth = again.Add("\\Network Interface(eth0)\\Current Bandwidth");
  PDH_HCOUNTER unknown = again.Add("\\Network Interface(eth0)\\Packets Received Unknown");
  PDH_HCOUNTER queue = again.Add("\\Network Interface(eth0)\\Output Queue Length");
  ASSERT_EQ(again.Collect(), ERROR_SUCCESS);
  EXPECT_DOUBLE_EQ(again.Value(bandwidth), 0.0);
  EXPECT_DOUBLE_EQ(again.Value(unknown), 0.0);
  EXPECT_DOUBLE_EQ(again.Value(queue), 0.0);
}

TEST(NetworkInterfaceObject, LiveLoopbackHasValues) {
  // The live machine always has lo; the queue length comes from rtnetlink there.
  TestQuery query("");
  PDH_HCOUNTER queue = query.Add("\\Network Interface(lo)\\Output Queue Length");
  PDH_HCOUNTER bytes = query.Add("\\Network Interface(lo)\\Bytes Total/sec");
  ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
  ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
  EXPECT_GE(query.Value(queue), 0.0);
  EXPECT_GE(query.Value(bytes), 0.0);
}

}  // namespace
}  // namespace perf::testing
