// UDPv4: the kernel's UDP-over-IPv4 counters from the Udp: lines of /proc/net/snmp (nstat's
// Udp* counters; sar -n UDP). No instances. UDP-Lite is not included.
//
// Datagrams Received Errors is the kernel's InErrors: datagrams that arrived for a socket but
// could not be delivered, which includes the receive-buffer overflows counted on their own
// by Receive Buffer Errors.
#include "platform/perf/catalogue.h"
#include "platform/perf/objects/inet.h"
#include "platform/perf/source.h"

namespace perf::objects {
namespace {

using namespace inet;

constexpr std::array<TitleName, 1> kOwnNames = {{{658, "UDPv4", nullptr}}};
constexpr auto kNames = JoinTables(kOwnNames, kUdpNames);

constexpr const char* kSrc = "/proc/net/snmp Udp:";

constexpr CounterDef kCounters[] = {
    {438, PERF_COUNTER_COUNTER, kUdpTotal, kNoField, kSrc,
     "delta(InDatagrams + OutDatagrams) / seconds"},
    {446, PERF_COUNTER_COUNTER, kUdpReceived, kNoField, kSrc,
     "delta(InDatagrams) / seconds (sar -n UDP idgm/s)"},
    {660, PERF_COUNTER_COUNTER, kUdpNoPort, kNoField, kSrc,
     "delta(NoPorts) / seconds (sar -n UDP noport/s)"},
    {662, PERF_COUNTER_LARGE_RAWCOUNT, kUdpReceiveErrors, kNoField, kSrc,
     "InErrors (sar -n UDP idgmerr/s counts its rate)"},
    {442, PERF_COUNTER_COUNTER, kUdpSent, kNoField, kSrc,
     "delta(OutDatagrams) / seconds (sar -n UDP odgm/s)"},
    {5700, PERF_COUNTER_LARGE_RAWCOUNT, kUdpReceiveBufferErrors, kNoField, kSrc,
     "RcvbufErrors: datagrams dropped because the socket's receive buffer was full",
     PERF_DETAIL_ADVANCED},
    {5702, PERF_COUNTER_LARGE_RAWCOUNT, kUdpSendBufferErrors, kNoField, kSrc,
     "SndbufErrors: datagrams not sent because the socket's send buffer was full",
     PERF_DETAIL_ADVANCED},
};

class Udpv4Sampler final : public ObjectSampler {
 public:
  explicit Udpv4Sampler(SourceSet& sources)
      : sources_(sources), snmp_(sources.Register("proc/net/snmp")) {}

  bool Collect(const FieldSet& needed, InstanceTable& table) override {
    std::int64_t* row = table.Add("");
    if (needed.Empty()) return true;
    std::string_view text;
    if (!sources_.Read(snmp_, text)) return false;
    // In the order of UdpField.
    static constexpr std::string_view keys[] = {"InDatagrams",  "NoPorts",      "InErrors",
                                                "OutDatagrams", "RcvbufErrors", "SndbufErrors"};
    static_assert(std::size(keys) == kUdpTotal);
    if (ParseSnmpTable(text, "Udp:", keys, kUdpTotal, row) == 0) return false;
    row[kUdpTotal] = row[kUdpReceived] + row[kUdpSent];
    return true;
  }

 private:
  SourceSet& sources_;
  int snmp_;
};

constexpr ObjectDef kUdpv4{658, false, kUdpFieldCount, kCounters, kNames};

}  // namespace

const ObjectProvider& udpv4() {
  static const ProviderOf<Udpv4Sampler> provider(kUdpv4);
  return provider;
}

}  // namespace perf::objects
