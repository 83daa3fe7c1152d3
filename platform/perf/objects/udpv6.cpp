// UDPv6: the kernel's UDP-over-IPv6 counters from the Udp6* lines of /proc/net/snmp6 (nstat's
// Udp6* counters; sar -n UDP6). No instances; no data when IPv6 is disabled (no snmp6 file).
// Windows has no fixed title index for this object; it takes one of our own.
#include "platform/perf/catalogue.h"
#include "platform/perf/objects/inet.h"
#include "platform/perf/source.h"

namespace perf::objects {
namespace {

using namespace inet;

constexpr std::array<TitleName, 1> kOwnNames = {{{5800, "UDPv6", nullptr}}};
constexpr auto kNames = JoinTables(kOwnNames, kUdpNames);

constexpr const char* kSrc = "/proc/net/snmp6";

constexpr CounterDef kCounters[] = {
    {438, PERF_COUNTER_COUNTER, kUdpTotal, kNoField, kSrc,
     "delta(Udp6InDatagrams + Udp6OutDatagrams) / seconds"},
    {446, PERF_COUNTER_COUNTER, kUdpReceived, kNoField, kSrc,
     "delta(Udp6InDatagrams) / seconds (sar -n UDP6 idgm6/s)"},
    {660, PERF_COUNTER_COUNTER, kUdpNoPort, kNoField, kSrc,
     "delta(Udp6NoPorts) / seconds (sar -n UDP6 noport6/s)"},
    {662, PERF_COUNTER_LARGE_RAWCOUNT, kUdpReceiveErrors, kNoField, kSrc,
     "Udp6InErrors (sar -n UDP6 idgmer6/s counts its rate)"},
    {442, PERF_COUNTER_COUNTER, kUdpSent, kNoField, kSrc,
     "delta(Udp6OutDatagrams) / seconds (sar -n UDP6 odgm6/s)"},
    {5700, PERF_COUNTER_LARGE_RAWCOUNT, kUdpReceiveBufferErrors, kNoField, kSrc,
     "Udp6RcvbufErrors: datagrams dropped because the socket's receive buffer was full",
     PERF_DETAIL_ADVANCED},
    {5702, PERF_COUNTER_LARGE_RAWCOUNT, kUdpSendBufferErrors, kNoField, kSrc,
     "Udp6SndbufErrors: datagrams not sent because the socket's send buffer was full",
     PERF_DETAIL_ADVANCED},
};

class Udpv6Sampler final : public ObjectSampler {
 public:
  explicit Udpv6Sampler(SourceSet& sources)
      : sources_(sources), snmp6_(sources.Register("proc/net/snmp6")) {}

  bool Collect(const FieldSet& needed, InstanceTable& table) override {
    std::int64_t* row = table.Add("");
    if (needed.Empty()) return true;
    std::string_view text;
    if (!sources_.Read(snmp6_, text)) return false;
    // In the order of UdpField.
    static constexpr std::string_view keys[] = {"Udp6InDatagrams",  "Udp6NoPorts",
                                                "Udp6InErrors",     "Udp6OutDatagrams",
                                                "Udp6RcvbufErrors", "Udp6SndbufErrors"};
    static_assert(std::size(keys) == kUdpTotal);
    if (ParseKeyedNumbers(text, keys, kUdpTotal, row) == 0) return false;
    row[kUdpTotal] = row[kUdpReceived] + row[kUdpSent];
    return true;
  }

 private:
  SourceSet& sources_;
  int snmp6_;
};

constexpr ObjectDef kUdpv6{5800, false, kUdpFieldCount, kCounters, kNames};

}  // namespace

const ObjectProvider& udpv6() {
  static const ProviderOf<Udpv6Sampler> provider(kUdpv6);
  return provider;
}

}  // namespace perf::objects
