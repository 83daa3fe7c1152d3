// TCPv4: the kernel's TCP counters from the Tcp: lines of /proc/net/snmp (nstat's Tcp*
// counters; sar -n TCP and -n ETCP). No instances.
//
// Linux keeps one TCP MIB for both address families: these counters include the segments and
// connections of TCP over IPv6 too, and the kernel offers no way to split them. This object is
// therefore "TCP" as netstat -s reports it; TCPv6 offers only what can be counted per family.
#include "platform/perf/catalogue.h"
#include "platform/perf/objects/inet.h"
#include "platform/perf/source.h"

namespace perf::objects {
namespace {

using namespace inet;

enum Field : FieldId {
  // In the order of the keys read from the Tcp: lines.
  kActive,
  kPassive,
  kFailures,
  kResets,
  kEstablished,
  kSegmentsReceived,
  kSegmentsSent,
  kRetransmitted,
  kReceiveErrors,
  kResetsSent,
  kSegments,  // received + sent
  kFieldCount
};

constexpr std::array<TitleName, 1> kOwnNames = {{{638, "TCPv4", nullptr}}};
constexpr auto kNames = JoinTables(kOwnNames, kTcpNames);

constexpr const char* kSrc = "/proc/net/snmp Tcp: (IPv4 and IPv6)";

constexpr CounterDef kCounters[] = {
    {640, PERF_COUNTER_COUNTER, kSegments, kNoField, kSrc,
     "delta(InSegs + OutSegs) / seconds (sar -n TCP iseg/s + oseg/s)"},
    {642, PERF_COUNTER_LARGE_RAWCOUNT, kEstablished, kNoField, kSrc,
     "CurrEstab: connections now in ESTABLISHED or CLOSE-WAIT"},
    {644, PERF_COUNTER_LARGE_RAWCOUNT, kActive, kNoField, kSrc,
     "ActiveOpens: connections opened from this side (sar -n TCP active/s counts its rate)"},
    {646, PERF_COUNTER_LARGE_RAWCOUNT, kPassive, kNoField, kSrc,
     "PassiveOpens: connections accepted (sar -n TCP passive/s counts its rate)"},
    {648, PERF_COUNTER_LARGE_RAWCOUNT, kFailures, kNoField, kSrc,
     "AttemptFails (sar -n ETCP atmptf/s counts its rate)"},
    {650, PERF_COUNTER_LARGE_RAWCOUNT, kResets, kNoField, kSrc,
     "EstabResets (sar -n ETCP estres/s counts its rate)"},
    {652, PERF_COUNTER_COUNTER, kSegmentsReceived, kNoField, kSrc,
     "delta(InSegs) / seconds (sar -n TCP iseg/s)"},
    {654, PERF_COUNTER_COUNTER, kSegmentsSent, kNoField, kSrc,
     "delta(OutSegs) / seconds, retransmissions excluded (sar -n TCP oseg/s)"},
    {656, PERF_COUNTER_COUNTER, kRetransmitted, kNoField, kSrc,
     "delta(RetransSegs) / seconds (sar -n ETCP retrans/s)"},
    {5500, PERF_COUNTER_LARGE_RAWCOUNT, kReceiveErrors, kNoField, kSrc,
     "InErrs: segments received with errors (sar -n ETCP isegerr/s counts its rate)",
     PERF_DETAIL_ADVANCED},
    {5502, PERF_COUNTER_COUNTER, kResetsSent, kNoField, kSrc,
     "delta(OutRsts) / seconds (sar -n ETCP orsts/s)", PERF_DETAIL_ADVANCED},
};

class Tcpv4Sampler final : public ObjectSampler {
 public:
  explicit Tcpv4Sampler(SourceSet& sources)
      : sources_(sources), snmp_(sources.Register("proc/net/snmp")) {}

  bool Collect(const FieldSet& needed, InstanceTable& table) override {
    std::int64_t* row = table.Add("");
    if (needed.Empty()) return true;
    std::string_view text;
    if (!sources_.Read(snmp_, text)) return false;
    static constexpr std::string_view keys[] = {
        "ActiveOpens", "PassiveOpens", "AttemptFails", "EstabResets", "CurrEstab",
        "InSegs",      "OutSegs",      "RetransSegs",  "InErrs",      "OutRsts"};
    static_assert(std::size(keys) == kSegments);
    if (ParseSnmpTable(text, "Tcp:", keys, kSegments, row) == 0) return false;
    row[kSegments] = row[kSegmentsReceived] + row[kSegmentsSent];
    return true;
  }

 private:
  SourceSet& sources_;
  int snmp_;
};

constexpr ObjectDef kTcpv4{638, false, kFieldCount, kCounters, kNames};

}  // namespace

const ObjectProvider& tcpv4() {
  static const ProviderOf<Tcpv4Sampler> provider(kTcpv4);
  return provider;
}

}  // namespace perf::objects
