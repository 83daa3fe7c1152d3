// IPv6: the kernel's IPv6 counters from the Ip6* lines of /proc/net/snmp6 (nstat's Ip6*
// counters). No instances. The file is missing when IPv6 is disabled; the object then has no
// data. Windows has no fixed title index for this object; it takes one of our own.
#include "platform/perf/catalogue.h"
#include "platform/perf/objects/inet.h"
#include "platform/perf/source.h"

namespace perf::objects {
namespace {

using namespace inet;

constexpr std::array<TitleName, 1> kOwnNames = {{{5400, "IPv6", nullptr}}};
constexpr auto kNames = JoinTables(kOwnNames, kIpNames);

constexpr const char* kSrc = "/proc/net/snmp6";

constexpr CounterDef kCounters[] = {
    {438, PERF_COUNTER_COUNTER, kIpTotal, kNoField, kSrc,
     "delta(Ip6InReceives + Ip6OutRequests) / seconds"},
    {446, PERF_COUNTER_COUNTER, kIpReceived, kNoField, kSrc,
     "delta(Ip6InReceives) / seconds (sar -n IP6 irec6/s)"},
    {442, PERF_COUNTER_COUNTER, kIpSent, kNoField, kSrc,
     "delta(Ip6OutRequests) / seconds (sar -n IP6 orq6/s)"},
    {552, PERF_COUNTER_LARGE_RAWCOUNT, kIpHeaderErrors, kNoField, kSrc, "Ip6InHdrErrors"},
    {554, PERF_COUNTER_LARGE_RAWCOUNT, kIpAddressErrors, kNoField, kSrc, "Ip6InAddrErrors"},
    {556, PERF_COUNTER_COUNTER, kIpForwarded, kNoField, kSrc,
     "delta(Ip6OutForwDatagrams) / seconds (sar -n IP6 fwddgm6/s)"},
    {558, PERF_COUNTER_LARGE_RAWCOUNT, kIpUnknownProtocol, kNoField, kSrc, "Ip6InUnknownProtos"},
    {560, PERF_COUNTER_LARGE_RAWCOUNT, kIpReceivedDiscarded, kNoField, kSrc, "Ip6InDiscards"},
    {562, PERF_COUNTER_COUNTER, kIpDelivered, kNoField, kSrc,
     "delta(Ip6InDelivers) / seconds (sar -n IP6 idel6/s)"},
    {566, PERF_COUNTER_LARGE_RAWCOUNT, kIpOutboundDiscarded, kNoField, kSrc, "Ip6OutDiscards"},
    {568, PERF_COUNTER_LARGE_RAWCOUNT, kIpNoRoute, kNoField, kSrc, "Ip6OutNoRoutes"},
    {570, PERF_COUNTER_COUNTER, kIpReassemblyRequired, kNoField, kSrc,
     "delta(Ip6ReasmReqds) / seconds (sar -n IP6 asmrq6/s)"},
    {572, PERF_COUNTER_COUNTER, kIpReassembled, kNoField, kSrc,
     "delta(Ip6ReasmOKs) / seconds (sar -n IP6 asmok6/s)"},
    {574, PERF_COUNTER_LARGE_RAWCOUNT, kIpReassemblyFailures, kNoField, kSrc, "Ip6ReasmFails"},
    {576, PERF_COUNTER_COUNTER, kIpFragmented, kNoField, kSrc,
     "delta(Ip6FragOKs) / seconds (sar -n IP6 fragok6/s)"},
    {578, PERF_COUNTER_LARGE_RAWCOUNT, kIpFragmentationFailures, kNoField, kSrc, "Ip6FragFails"},
    {580, PERF_COUNTER_COUNTER, kIpFragmentsCreated, kNoField, kSrc,
     "delta(Ip6FragCreates) / seconds (sar -n IP6 fragcr6/s)"},
};

class Ipv6Sampler final : public ObjectSampler {
 public:
  explicit Ipv6Sampler(SourceSet& sources)
      : sources_(sources), snmp6_(sources.Register("proc/net/snmp6")) {}

  bool Collect(const FieldSet& needed, InstanceTable& table) override {
    std::int64_t* row = table.Add("");
    if (needed.Empty()) return true;
    std::string_view text;
    if (!sources_.Read(snmp6_, text)) return false;
    // In the order of IpField.
    static constexpr std::string_view keys[] = {
        "Ip6InReceives",      "Ip6InHdrErrors", "Ip6InAddrErrors", "Ip6OutForwDatagrams",
        "Ip6InUnknownProtos", "Ip6InDiscards",  "Ip6InDelivers",   "Ip6OutRequests",
        "Ip6OutDiscards",     "Ip6OutNoRoutes", "Ip6ReasmReqds",   "Ip6ReasmOKs",
        "Ip6ReasmFails",      "Ip6FragOKs",     "Ip6FragFails",    "Ip6FragCreates"};
    static_assert(std::size(keys) == kIpTotal);
    if (ParseKeyedNumbers(text, keys, kIpTotal, row) == 0) return false;
    row[kIpTotal] = row[kIpReceived] + row[kIpSent];
    return true;
  }

 private:
  SourceSet& sources_;
  int snmp6_;
};

constexpr ObjectDef kIpv6{5400, false, kIpFieldCount, kCounters, kNames};

}  // namespace

const ObjectProvider& ipv6() {
  static const ProviderOf<Ipv6Sampler> provider(kIpv6);
  return provider;
}

}  // namespace perf::objects
