// IPv4: the kernel's IPv4 counters from the Ip: lines of /proc/net/snmp (nstat's Ip*
// counters, netstat -s "Ip:"). No instances.
//
// Datagrams Received counts every datagram that arrived, errors included (InReceives);
// Datagrams Sent counts what local protocols handed to IP, forwarded datagrams excluded
// (OutRequests), as the Windows counters of the same names do.
#include "platform/perf/catalogue.h"
#include "platform/perf/objects/inet.h"
#include "platform/perf/source.h"

namespace perf::objects {
namespace {

using namespace inet;

constexpr std::array<TitleName, 1> kOwnNames = {{{546, "IPv4", nullptr}}};
constexpr auto kNames = JoinTables(kOwnNames, kIpNames);

constexpr const char* kSrc = "/proc/net/snmp Ip:";

constexpr CounterDef kCounters[] = {
    {438, PERF_COUNTER_COUNTER, kIpTotal, kNoField, kSrc,
     "delta(InReceives + OutRequests) / seconds"},
    {446, PERF_COUNTER_COUNTER, kIpReceived, kNoField, kSrc,
     "delta(InReceives) / seconds (sar -n IP irec/s)"},
    {442, PERF_COUNTER_COUNTER, kIpSent, kNoField, kSrc,
     "delta(OutRequests) / seconds (sar -n IP orq/s)"},
    {552, PERF_COUNTER_LARGE_RAWCOUNT, kIpHeaderErrors, kNoField, kSrc, "InHdrErrors"},
    {554, PERF_COUNTER_LARGE_RAWCOUNT, kIpAddressErrors, kNoField, kSrc, "InAddrErrors"},
    {556, PERF_COUNTER_COUNTER, kIpForwarded, kNoField, kSrc,
     "delta(ForwDatagrams) / seconds (sar -n IP fwddgm/s)"},
    {558, PERF_COUNTER_LARGE_RAWCOUNT, kIpUnknownProtocol, kNoField, kSrc, "InUnknownProtos"},
    {560, PERF_COUNTER_LARGE_RAWCOUNT, kIpReceivedDiscarded, kNoField, kSrc, "InDiscards"},
    {562, PERF_COUNTER_COUNTER, kIpDelivered, kNoField, kSrc,
     "delta(InDelivers) / seconds (sar -n IP idel/s)"},
    {566, PERF_COUNTER_LARGE_RAWCOUNT, kIpOutboundDiscarded, kNoField, kSrc, "OutDiscards"},
    {568, PERF_COUNTER_LARGE_RAWCOUNT, kIpNoRoute, kNoField, kSrc, "OutNoRoutes"},
    {570, PERF_COUNTER_COUNTER, kIpReassemblyRequired, kNoField, kSrc,
     "delta(ReasmReqds) / seconds (sar -n IP asmrq/s)"},
    {572, PERF_COUNTER_COUNTER, kIpReassembled, kNoField, kSrc,
     "delta(ReasmOKs) / seconds (sar -n IP asmok/s)"},
    {574, PERF_COUNTER_LARGE_RAWCOUNT, kIpReassemblyFailures, kNoField, kSrc, "ReasmFails"},
    {576, PERF_COUNTER_COUNTER, kIpFragmented, kNoField, kSrc,
     "delta(FragOKs) / seconds (sar -n IP fragok/s)"},
    {578, PERF_COUNTER_LARGE_RAWCOUNT, kIpFragmentationFailures, kNoField, kSrc, "FragFails"},
    {580, PERF_COUNTER_COUNTER, kIpFragmentsCreated, kNoField, kSrc,
     "delta(FragCreates) / seconds (sar -n IP fragcrt/s)"},
};

class Ipv4Sampler final : public ObjectSampler {
 public:
  explicit Ipv4Sampler(SourceSet& sources)
      : sources_(sources), snmp_(sources.Register("proc/net/snmp")) {}

  bool Collect(const FieldSet& needed, InstanceTable& table) override {
    std::int64_t* row = table.Add("");
    if (needed.Empty()) return true;
    std::string_view text;
    if (!sources_.Read(snmp_, text)) return false;
    // In the order of IpField.
    static constexpr std::string_view keys[] = {
        "InReceives",      "InHdrErrors", "InAddrErrors", "ForwDatagrams",
        "InUnknownProtos", "InDiscards",  "InDelivers",   "OutRequests",
        "OutDiscards",     "OutNoRoutes", "ReasmReqds",   "ReasmOKs",
        "ReasmFails",      "FragOKs",     "FragFails",    "FragCreates"};
    static_assert(std::size(keys) == kIpTotal);
    if (ParseSnmpTable(text, "Ip:", keys, kIpTotal, row) == 0) return false;
    row[kIpTotal] = row[kIpReceived] + row[kIpSent];
    return true;
  }

 private:
  SourceSet& sources_;
  int snmp_;
};

constexpr ObjectDef kIpv4{546, false, kIpFieldCount, kCounters, kNames};

}  // namespace

const ObjectProvider& ipv4() {
  static const ProviderOf<Ipv4Sampler> provider(kIpv4);
  return provider;
}

}  // namespace perf::objects
