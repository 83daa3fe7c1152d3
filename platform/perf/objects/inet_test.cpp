// IPv4, IPv6, TCPv4, TCPv6, UDPv4 and UDPv6 over snapshots net1 and net2, 2 s apart.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/perf/pdh.h"
#include "platform/perf/test_support.h"

namespace perf::testing {
namespace {

constexpr std::int64_t kTwoSeconds = 20'000'000;

std::vector<double> NetValues(const std::string& object, const std::vector<std::string>& names) {
  std::vector<std::string> paths;
  for (const std::string& name : names)
    paths.push_back("\\" + object + "\\" + name);
  return ValuesOverInterval(paths, "net1", "net2", kTwoSeconds);
}

TEST(Ipv4Object, ValuesFromSnapshots) {
  auto v =
      NetValues("IPv4", {"Datagrams/sec", "Datagrams Received/sec", "Datagrams Sent/sec",
                         "Datagrams Received Header Errors", "Datagrams Received Address Errors",
                         "Datagrams Forwarded/sec", "Datagrams Received Unknown Protocol",
                         "Datagrams Received Discarded", "Datagrams Received Delivered/sec",
                         "Datagrams Outbound Discarded", "Datagrams Outbound No Route",
                         "Fragments Received/sec", "Fragments Re-assembled/sec",
                         "Fragment Re-assembly Failures", "Fragmented Datagrams/sec",
                         "Fragmentation Failures", "Fragments Created/sec"});
  std::vector<double> expected = {1500, 1000, 500, 11, 12, 20, 13, 14, 800,
                                  15,   16,   10,  3,  17, 2,  18, 6};
  EXPECT_EQ(v, expected);
}

TEST(Ipv6Object, ValuesFromSnapshots) {
  auto v =
      NetValues("IPv6", {"Datagrams/sec", "Datagrams Received/sec", "Datagrams Sent/sec",
                         "Datagrams Received Header Errors", "Datagrams Received Address Errors",
                         "Datagrams Forwarded/sec", "Datagrams Received Unknown Protocol",
                         "Datagrams Received Discarded", "Datagrams Received Delivered/sec",
                         "Datagrams Outbound Discarded", "Datagrams Outbound No Route",
                         "Fragments Received/sec", "Fragments Re-assembled/sec",
                         "Fragment Re-assembly Failures", "Fragmented Datagrams/sec",
                         "Fragmentation Failures", "Fragments Created/sec"});
  std::vector<double> expected = {300, 200, 100, 21, 22, 2, 23, 24, 200,
                                  25,  26,  2,   1,  27, 2, 29, 4};
  EXPECT_EQ(v, expected);
}

TEST(Tcpv4Object, ValuesFromSnapshots) {
  auto v = NetValues(
      "TCPv4",
      {"Segments/sec", "Connections Established", "Connections Active", "Connections Passive",
       "Connection Failures", "Connections Reset", "Segments Received/sec", "Segments Sent/sec",
       "Segments Retransmitted/sec", "Segments Received Errors", "Resets Sent/sec"});
  std::vector<double> expected = {500, 7, 15, 3, 8, 9, 300, 200, 2, 6, 5};
  EXPECT_EQ(v, expected);
}

TEST(Tcpv6Object, CountsIpv6ConnectionsOnly) {
  // Two ESTABLISHED and one CLOSE-WAIT IPv6 peers; a v4-mapped peer, a listener and a
  // TIME-WAIT socket are not counted.
  auto v = NetValues("TCPv6", {"Connections Established"});
  EXPECT_EQ(v, std::vector<double>{3});

  // The counters Linux cannot split by family are not offered.
  TestQuery query(TestData("net2"));
  PDH_HCOUNTER counter = nullptr;
  EXPECT_EQ(PdhAddCounter(query.handle(), "\\TCPv6\\Segments/sec", 0, &counter),
            PDH_CSTATUS_NO_COUNTER);
}

TEST(UdpObjects, ValuesFromSnapshots) {
  const std::vector<std::string> names = {"Datagrams/sec",         "Datagrams Received/sec",
                                          "Datagrams No Port/sec", "Datagrams Received Errors",
                                          "Datagrams Sent/sec",    "Receive Buffer Errors",
                                          "Send Buffer Errors"};
  // UDPv4 from the Udp: lines, not the UdpLite: lines before them.
  EXPECT_EQ(NetValues("UDPv4", names), (std::vector<double>{150, 100, 5, 7, 50, 4, 1}));
  EXPECT_EQ(NetValues("UDPv6", names), (std::vector<double>{30, 20, 2, 3, 10, 2, 1}));
}

TEST(InetObjects, MissingFilesMeanNoObject) {
  // A machine with IPv6 disabled: /proc/net/snmp but no snmp6 or tcp6.
  Scratch scratch;
  std::filesystem::create_directories(scratch.dir() + "/proc/net");
  std::filesystem::copy_file(TestData("net1/proc/net/snmp"), scratch.dir() + "/proc/net/snmp");
  TestQuery query(scratch.dir());
  PDH_HCOUNTER v4 = query.Add("\\TCPv4\\Connections Established");
  PDH_HCOUNTER absent[] = {query.Add("\\IPv6\\Datagrams Received Discarded"),
                           query.Add("\\UDPv6\\Datagrams Received Errors"),
                           query.Add("\\TCPv6\\Connections Established")};
  ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
  EXPECT_DOUBLE_EQ(query.Value(v4), 5.0);
  for (PDH_HCOUNTER counter : absent) {
    PDH_FMT_COUNTERVALUE value{};
    EXPECT_NE(PdhGetFormattedCounterValue(counter, PDH_FMT_DOUBLE, nullptr, &value), ERROR_SUCCESS);
    EXPECT_EQ(value.CStatus, PDH_CSTATUS_NO_OBJECT);
  }
}

TEST(InetObjects, TruncatedSnmpTableReadsWhatIsThere) {
  // A values line shorter than its header (a torn read) gives the leading values, no crash.
  Scratch scratch;
  std::filesystem::create_directories(scratch.dir() + "/proc/net");
  std::ofstream(scratch.dir() + "/proc/net/snmp")
      << "Tcp: RtoAlgorithm RtoMin RtoMax MaxConn ActiveOpens PassiveOpens AttemptFails\n"
         "Tcp: 1 200 120000 -1 42\n";
  TestQuery query(scratch.dir());
  PDH_HCOUNTER active = query.Add("\\TCPv4\\Connections Active");
  PDH_HCOUNTER passive = query.Add("\\TCPv4\\Connections Passive");
  ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
  EXPECT_DOUBLE_EQ(query.Value(active), 42.0);
  EXPECT_DOUBLE_EQ(query.Value(passive), 0.0);
}

}  // namespace
}  // namespace perf::testing
