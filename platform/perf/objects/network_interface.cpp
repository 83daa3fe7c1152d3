// Network Interface: one instance per interface of /proc/net/dev ("lo", "eth0", ...), named by
// the kernel's interface name, in the kernel's order. There is no _Total, as on Windows.
//
// Traffic and error figures are the columns of /proc/net/dev, the same numbers `sar -n DEV`
// and `sar -n EDEV` divide by the interval (sar shows kB where these show bytes). Two figures
// come from elsewhere and are read only when a query asks for them:
//   - Current Bandwidth: /sys/class/net/<if>/speed, in Mb/s. Virtual interfaces and links that
//     are down report no speed (an error or -1); the counter is then 0, as Windows shows for
//     adapters that do not know their speed. After a failed read the live machine asks again
//     only every 10 s.
//   - Output Queue Length: the packets waiting in the interface's root queueing discipline
//     right now, the "backlog ... p" of `tc -s qdisc show dev <if>`. The kernel gives it only
//     through rtnetlink, so the live machine asks with one RTM_GETQDISC dump per collection; a
//     captured tree holds a file `qdisc` at its root with "<interface> <packets>" lines
//     instead. Interfaces without a queue (noqueue, as lo and most virtual devices) show 0.
//     tx_queue_len is not used: it is the queue's limit, not its length.
//
// Windows splits received and sent packets into unicast and non-unicast; Linux counts
// multicast packets received but not broadcasts, so those counters are left out and the
// multicast count is offered under its own name.
//
// Interfaces come and go (VPN tunnels reconnect under the same name, containers create veth
// pairs), and a new interface's counters start from zero. When any traffic counter of a name
// runs backwards the row gets a new key, so rates start over instead of showing the
// difference between two different interfaces.
#include <linux/gen_stats.h>
#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <map>

#include "platform/perf/catalogue.h"
#include "platform/perf/parse.h"
#include "platform/perf/source.h"

namespace perf::objects {
namespace {

enum Field : FieldId {
  kBytesTotal,
  kBytesReceived,
  kBytesSent,
  kPackets,
  kPacketsReceived,
  kPacketsSent,
  kReceivedErrors,
  kOutboundErrors,
  kReceivedDiscarded,
  kOutboundDiscarded,
  kReceivedUnknown,
  kBandwidth,
  kQueueLength,
  kReceivedMulticast,
  kReceivedCompressed,
  kSentCompressed,
  kCollisions,
  kCarrierErrors,
  kFrameErrors,
  kReceivedFifoErrors,
  kSentFifoErrors,
  kFieldCount
};

constexpr TitleName kNames[] = {
    {510, "Network Interface", "Netzwerkschnittstelle"},
    {388, "Bytes Total/sec", "Bytes gesamt/s"},
    {264, "Bytes Received/sec", "Empfangene Bytes/s"},
    {506, "Bytes Sent/sec", "Gesendete Bytes/s"},
    {400, "Packets/sec", "Pakete/s"},
    {266, "Packets Received/sec", "Empfangene Pakete/s"},
    {452, "Packets Sent/sec", "Gesendete Pakete/s"},
    {530, "Packets Received Errors", "Empfangene Pakete, Fehler"},
    {542, "Packets Outbound Errors", "Ausgehende Pakete, Fehler"},
    {528, "Packets Received Discarded", "Empfangene Pakete, verworfen"},
    {540, "Packets Outbound Discarded", "Ausgehende Pakete, verworfen"},
    {532, "Packets Received Unknown", "Empfangene Pakete, unbekannt"},
    {520, "Current Bandwidth", "Aktuelle Bandbreite"},
    {544, "Output Queue Length", "Länge der Ausgabewarteschlange"},
    {5200, "Packets Received Multicast/sec", "Empfangene Multicastpakete/s"},
    {5202, "Packets Received Compressed/sec", "Empfangene komprimierte Pakete/s"},
    {5204, "Packets Sent Compressed/sec", "Gesendete komprimierte Pakete/s"},
    {5206, "Collisions", "Kollisionen"},
    {5208, "Carrier Errors", "Trägerfehler"},
    {5210, "Packets Received Frame Errors", "Empfangene Pakete, Rahmenfehler"},
    {5212, "Packets Received FIFO Errors", "Empfangene Pakete, FIFO-Fehler"},
    {5214, "Packets Outbound FIFO Errors", "Ausgehende Pakete, FIFO-Fehler"},
};

constexpr const char* kDev = "/proc/net/dev";

constexpr CounterDef kCounters[] = {
    {388, PERF_COUNTER_BULK_COUNT, kBytesTotal, kNoField, kDev,
     "delta(receive bytes + transmit bytes) / seconds (sar -n DEV (rxkB/s + txkB/s) * 1024)"},
    {264, PERF_COUNTER_BULK_COUNT, kBytesReceived, kNoField, kDev,
     "delta(receive bytes) / seconds (sar -n DEV rxkB/s * 1024)"},
    {506, PERF_COUNTER_BULK_COUNT, kBytesSent, kNoField, kDev,
     "delta(transmit bytes) / seconds (sar -n DEV txkB/s * 1024)"},
    {400, PERF_COUNTER_COUNTER, kPackets, kNoField, kDev,
     "delta(receive packets + transmit packets) / seconds (sar -n DEV rxpck/s + txpck/s)"},
    {266, PERF_COUNTER_COUNTER, kPacketsReceived, kNoField, kDev,
     "delta(receive packets) / seconds (sar -n DEV rxpck/s)"},
    {452, PERF_COUNTER_COUNTER, kPacketsSent, kNoField, kDev,
     "delta(transmit packets) / seconds (sar -n DEV txpck/s)"},
    {530, PERF_COUNTER_LARGE_RAWCOUNT, kReceivedErrors, kNoField, kDev,
     "receive errs since the interface appeared (sar -n EDEV rxerr/s counts its rate)"},
    {542, PERF_COUNTER_LARGE_RAWCOUNT, kOutboundErrors, kNoField, kDev,
     "transmit errs since the interface appeared (sar -n EDEV txerr/s counts its rate)"},
    {528, PERF_COUNTER_LARGE_RAWCOUNT, kReceivedDiscarded, kNoField, kDev,
     "receive drop since the interface appeared (sar -n EDEV rxdrop/s counts its rate)"},
    {540, PERF_COUNTER_LARGE_RAWCOUNT, kOutboundDiscarded, kNoField, kDev,
     "transmit drop since the interface appeared (sar -n EDEV txdrop/s counts its rate)"},
    {532, PERF_COUNTER_LARGE_RAWCOUNT, kReceivedUnknown, kNoField,
     "/sys/class/net/<if>/statistics/rx_nohandler",
     "packets received for a protocol no handler takes (0 when the file is missing)",
     PERF_DETAIL_ADVANCED},
    {520, PERF_COUNTER_LARGE_RAWCOUNT, kBandwidth, kNoField, "/sys/class/net/<if>/speed",
     "speed Mb/s * 1000000 bits/s; 0 when the speed is unknown (error or -1)"},
    {544, PERF_COUNTER_LARGE_RAWCOUNT, kQueueLength, kNoField,
     "rtnetlink RTM_GETQDISC root qdisc statistics (captured trees: file qdisc)",
     "packets queued in the root qdisc now (tc -s qdisc backlog ...p); 0 without a qdisc"},
    {5200, PERF_COUNTER_COUNTER, kReceivedMulticast, kNoField, kDev,
     "delta(receive multicast) / seconds (sar -n DEV rxmcst/s)", PERF_DETAIL_ADVANCED},
    {5202, PERF_COUNTER_COUNTER, kReceivedCompressed, kNoField, kDev,
     "delta(receive compressed) / seconds (sar -n DEV rxcmp/s)", PERF_DETAIL_EXPERT},
    {5204, PERF_COUNTER_COUNTER, kSentCompressed, kNoField, kDev,
     "delta(transmit compressed) / seconds (sar -n DEV txcmp/s)", PERF_DETAIL_EXPERT},
    {5206, PERF_COUNTER_LARGE_RAWCOUNT, kCollisions, kNoField, kDev,
     "transmit colls since the interface appeared (sar -n EDEV coll/s counts its rate)",
     PERF_DETAIL_ADVANCED},
    {5208, PERF_COUNTER_LARGE_RAWCOUNT, kCarrierErrors, kNoField, kDev,
     "transmit carrier since the interface appeared (sar -n EDEV txcarr/s counts its rate)",
     PERF_DETAIL_ADVANCED},
    {5210, PERF_COUNTER_LARGE_RAWCOUNT, kFrameErrors, kNoField, kDev,
     "receive frame since the interface appeared (sar -n EDEV rxfram/s counts its rate)",
     PERF_DETAIL_EXPERT},
    {5212, PERF_COUNTER_LARGE_RAWCOUNT, kReceivedFifoErrors, kNoField, kDev,
     "receive fifo since the interface appeared (sar -n EDEV rxfifo/s counts its rate)",
     PERF_DETAIL_EXPERT},
    {5214, PERF_COUNTER_LARGE_RAWCOUNT, kSentFifoErrors, kNoField, kDev,
     "transmit fifo since the interface appeared (sar -n EDEV txfifo/s counts its rate)",
     PERF_DETAIL_EXPERT},
};

// A netlink route socket, closed with its owner.
class NetlinkSocket {
 public:
  NetlinkSocket() = default;
  NetlinkSocket(const NetlinkSocket&) = delete;
  NetlinkSocket& operator=(const NetlinkSocket&) = delete;
  ~NetlinkSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  int Get() {
    if (fd_ < 0) fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    return fd_;
  }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// The packets queued in each interface's root qdisc, by interface index, from one
// RTM_GETQDISC dump. False when the kernel does not answer.
bool DumpRootQueues(NetlinkSocket& socket, std::uint32_t seq, std::vector<char>& buffer,
                    std::vector<std::pair<int, std::uint32_t>>& out) {
  out.clear();
  int fd = socket.Get();
  if (fd < 0) return false;
  struct {
    nlmsghdr header;
    tcmsg body;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = RTM_GETQDISC;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = seq;
  request.body.tcm_family = AF_UNSPEC;
  if (::send(fd, &request, sizeof request, 0) != static_cast<ssize_t>(sizeof request)) {
    socket.Reset();
    return false;
  }
  buffer.resize(32768);  // the kernel's dump messages are at most a page or two
  for (;;) {
    ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n <= 0) {
      socket.Reset();  // a half-read dump would confuse the next one
      return false;
    }
    auto left = static_cast<unsigned>(n);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(h, left);
         h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_seq != seq) continue;  // an answer to an earlier, abandoned request
      if (h->nlmsg_type == NLMSG_DONE) return true;
      if (h->nlmsg_type == NLMSG_ERROR) return false;
      if (h->nlmsg_type != RTM_NEWQDISC) continue;
      const auto* tc = static_cast<const tcmsg*>(NLMSG_DATA(h));
      if (tc->tcm_parent != TC_H_ROOT) continue;
      std::uint32_t qlen = 0;
      bool found = false;
      int attrLeft = static_cast<int>(h->nlmsg_len) - static_cast<int>(NLMSG_LENGTH(sizeof *tc));
      for (auto* a = reinterpret_cast<rtattr*>(const_cast<tcmsg*>(tc) + 1); RTA_OK(a, attrLeft);
           a = RTA_NEXT(a, attrLeft)) {
        if (a->rta_type == TCA_STATS2) {
          int nestedLeft = static_cast<int>(RTA_PAYLOAD(a));
          for (auto* s = static_cast<rtattr*>(RTA_DATA(a)); RTA_OK(s, nestedLeft);
               s = RTA_NEXT(s, nestedLeft)) {
            if (s->rta_type == TCA_STATS_QUEUE && RTA_PAYLOAD(s) >= sizeof(gnet_stats_queue)) {
              gnet_stats_queue queue;
              std::memcpy(&queue, RTA_DATA(s), sizeof queue);
              qlen = queue.qlen;
              found = true;
            }
          }
        } else if (a->rta_type == TCA_STATS && !found && RTA_PAYLOAD(a) >= sizeof(tc_stats)) {
          tc_stats stats;
          std::memcpy(&stats, RTA_DATA(a), sizeof stats);
          qlen = stats.qlen;
        }
      }
      out.emplace_back(tc->tcm_ifindex, qlen);
    }
  }
}

// A number read from a sysfs file of an interface, with the time of the next attempt after a
// failed read.
struct SysfsNumber {
  SourceFile file;
  std::int64_t retryAt = 0;  // collection clock, 100 ns
};

constexpr std::int64_t kRetryInterval = 100'000'000;  // 10 s

class NetworkInterfaceSampler final : public ObjectSampler {
 public:
  explicit NetworkInterfaceSampler(SourceSet& sources)
      : sources_(sources), dev_(sources.Register("proc/net/dev")) {}

  bool Collect(const FieldSet& needed, InstanceTable& table) override {
    std::string_view text;
    if (!sources_.Read(dev_, text)) return false;
    ++generation_;
    rows_.clear();
    Scanner s(text);
    s.SkipLine();  // the two header lines
    s.SkipLine();
    while (!s.AtEnd()) {
      Scanner line(s.Line());
      line.SkipBlanks();
      std::string_view raw = line.Until(':');
      if (raw.empty() || line.AtEnd()) continue;
      std::uint64_t v[16];
      for (auto& x : v)
        x = line.U64();
      Interface& state = StateOf(raw, v);
      SanitizeInstanceName(raw, name_);
      std::int64_t* row = table.Add(name_, state.key);
      rows_.push_back(&state);
      auto c = [&v](int i) { return static_cast<std::int64_t>(v[i]); };
      // receive: bytes packets errs drop fifo frame compressed multicast
      // transmit: bytes packets errs drop fifo colls carrier compressed
      row[kBytesReceived] = c(0);
      row[kPacketsReceived] = c(1);
      row[kReceivedErrors] = c(2);
      row[kReceivedDiscarded] = c(3);
      row[kReceivedFifoErrors] = c(4);
      row[kFrameErrors] = c(5);
      row[kReceivedCompressed] = c(6);
      row[kReceivedMulticast] = c(7);
      row[kBytesSent] = c(8);
      row[kPacketsSent] = c(9);
      row[kOutboundErrors] = c(10);
      row[kOutboundDiscarded] = c(11);
      row[kSentFifoErrors] = c(12);
      row[kCollisions] = c(13);
      row[kCarrierErrors] = c(14);
      row[kSentCompressed] = c(15);
      row[kBytesTotal] = c(0) + c(8);
      row[kPackets] = c(1) + c(9);
    }
    // Forget interfaces that are gone, with their open sysfs files.
    std::erase_if(interfaces_,
                  [this](const auto& entry) { return entry.second.generation != generation_; });

    if (needed.Has(kBandwidth) || needed.Has(kReceivedUnknown)) {
      for (std::size_t r = 0; r < rows_.size(); ++r) {
        std::int64_t* row = table.values(r);
        if (needed.Has(kBandwidth)) {
          std::int64_t mbps = ReadNumber(*rows_[r], rows_[r]->speed, "speed");
          row[kBandwidth] = mbps > 0 ? mbps * 1'000'000 : 0;
        }
        if (needed.Has(kReceivedUnknown)) {
          std::int64_t n = ReadNumber(*rows_[r], rows_[r]->noHandler, "statistics/rx_nohandler");
          row[kReceivedUnknown] = n > 0 ? n : 0;
        }
      }
    }
    if (needed.Has(kQueueLength)) FillQueueLengths(table);
    return true;
  }

 private:
  struct Interface {
    std::string raw;  // the kernel's name, for sysfs paths
    std::uint64_t key = 0;
    std::uint64_t generation = 0;
    std::uint64_t traffic[4] = {};  // receive bytes, packets; transmit bytes, packets
    SysfsNumber speed;
    SysfsNumber noHandler;
  };

  // The state of interface `raw` with this collection's counters `v`; a new key when the
  // name is new or its counters ran backwards.
  Interface& StateOf(std::string_view raw, const std::uint64_t* v) {
    auto it = interfaces_.find(raw);
    if (it == interfaces_.end()) {
      it = interfaces_.emplace(std::string(raw), Interface{}).first;
      it->second.raw = std::string(raw);
      it->second.key = ++nextKey_;
    }
    Interface& state = it->second;
    const std::uint64_t traffic[4] = {v[0], v[1], v[8], v[9]};
    for (int i = 0; i < 4; ++i) {
      if (traffic[i] < state.traffic[i]) {
        state.key = ++nextKey_;
        state.speed = SysfsNumber{};
        state.noHandler = SysfsNumber{};
        break;
      }
    }
    std::copy(traffic, traffic + 4, state.traffic);
    state.generation = generation_;
    return state;
  }

  // A number from one of the interface's sysfs files; -1 when it cannot be read.
  std::int64_t ReadNumber(Interface& itf, SysfsNumber& number, const char* leaf) {
    if (number.file.path().empty()) {
      number.file =
          SourceFile(sources_.Path("sys/class/net/" + itf.raw + "/" + leaf), sources_.live());
    }
    if (sources_.now() < number.retryAt) return -1;
    std::string_view text;
    if (!number.file.Read(text)) {
      // Virtual devices refuse "speed" for good and older kernels lack rx_nohandler; a link
      // that is down refuses "speed" until it comes up. Ask again now and then, not at
      // every collection: a failed read costs an open each time.
      if (sources_.live()) number.retryAt = sources_.now() + kRetryInterval;
      return -1;
    }
    Scanner s(text);
    return s.I64();
  }

  void FillQueueLengths(InstanceTable& table) {
    if (sources_.live()) {
      if (!DumpRootQueues(netlink_, ++netlinkSeq_, netlinkBuffer_, queues_)) return;
      for (auto [index, qlen] : queues_) {
        // SIOCGIFNAME works on any socket; asking on the one at hand saves if_indextoname's
        // socket of its own per call.
        ifreq request{};
        request.ifr_ifindex = index;
        if (::ioctl(netlink_.Get(), SIOCGIFNAME, &request) != 0) continue;
        request.ifr_name[IF_NAMESIZE - 1] = '\0';
        SetQueueLength(table, request.ifr_name, qlen);
      }
      return;
    }
    if (qdisc_ < 0) qdisc_ = sources_.Register("qdisc");
    std::string_view text;
    if (!sources_.Read(qdisc_, text)) return;
    Scanner s(text);
    while (!s.AtEnd()) {
      Scanner line(s.Line());
      std::string_view name = line.Word();
      std::uint64_t qlen = line.U64();
      if (!name.empty()) SetQueueLength(table, name, qlen);
    }
  }

  void SetQueueLength(InstanceTable& table, std::string_view raw, std::uint64_t qlen) {
    for (std::size_t r = 0; r < rows_.size(); ++r) {
      if (rows_[r]->raw == raw) table.values(r)[kQueueLength] = static_cast<std::int64_t>(qlen);
    }
  }

  SourceSet& sources_;
  int dev_;
  int qdisc_ = -1;
  std::uint64_t generation_ = 0;
  std::uint64_t nextKey_ = 0;
  std::map<std::string, Interface, std::less<>> interfaces_;
  std::vector<Interface*> rows_;  // the interface of each row of this collection
  std::string name_;
  NetlinkSocket netlink_;
  std::uint32_t netlinkSeq_ = 0;
  std::vector<std::pair<int, std::uint32_t>> queues_;
  std::vector<char> netlinkBuffer_;
};

constexpr ObjectDef kNetworkInterface{510, true, kFieldCount, kCounters, kNames};

}  // namespace

const ObjectProvider& network_interface() {
  static const ProviderOf<NetworkInterfaceSampler> provider(kNetworkInterface);
  return provider;
}

}  // namespace perf::objects
