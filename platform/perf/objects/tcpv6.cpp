// TCPv6: what Linux can tell about TCP over IPv6 on its own. No instances.
//
// The kernel counts segments, opens, failures and resets of both families in one TCP MIB
// (TCPv4 shows it); nothing splits them, so this object does not offer those counters rather
// than repeat TCPv4's figures under an IPv6 name. What can be counted per family is the
// connections themselves: Connections Established counts the IPv6 sockets of /proc/net/tcp6
// in ESTABLISHED or CLOSE-WAIT (the states CurrEstab counts), leaving out IPv4 peers that reach
// an IPv6 socket through a v4-mapped address (::ffff:a.b.c.d), which are IPv4 on the wire.
//
// Reading /proc/net/tcp6 is costly: the kernel walks its whole connection hash table even when
// it is empty (0.4 to 1.5 ms on a small virtual machine), and formats a line per socket. The
// sock_diag netlink dump walks the same table and measured no faster, so the file it is; it is
// read only when a query asks for the counter.
#include <arpa/inet.h>

#include "platform/perf/catalogue.h"
#include "platform/perf/objects/inet.h"
#include "platform/perf/parse.h"
#include "platform/perf/source.h"

namespace perf::objects {
namespace {

enum Field : FieldId { kEstablished, kFieldCount };

constexpr std::array<TitleName, 2> kNames = {{
    {5600, "TCPv6", nullptr},
    inet::kTcpNames[1],  // Connections Established
}};
static_assert(inet::kTcpNames[1].index == 642);

constexpr CounterDef kCounters[] = {
    {642, PERF_COUNTER_LARGE_RAWCOUNT, kEstablished, kNoField, "/proc/net/tcp6 st",
     "sockets in state 01 (ESTABLISHED) or 08 (CLOSE-WAIT) whose remote address is not "
     "v4-mapped (ss -6 -t state established state close-wait, IPv6 peers)"},
};

// True when the 32 hex digits of a /proc/net/tcp6 address are a v4-mapped address. The kernel
// prints the address as four 32-bit words in host byte order.
bool IsV4Mapped(std::string_view hex) {
  if (hex.size() < 32) return false;
  std::uint32_t word[3] = {};
  for (int w = 0; w < 3; ++w) {
    for (int i = 0; i < 8; ++i) {
      char c = hex[static_cast<std::size_t>(w * 8 + i)];
      unsigned digit = c >= '0' && c <= '9'   ? static_cast<unsigned>(c - '0')
                       : c >= 'A' && c <= 'F' ? static_cast<unsigned>(c - 'A' + 10)
                       : c >= 'a' && c <= 'f' ? static_cast<unsigned>(c - 'a' + 10)
                                              : 0u;
      word[w] = word[w] << 4 | digit;
    }
  }
  return word[0] == 0 && word[1] == 0 && ntohl(word[2]) == 0xFFFF;
}

class Tcpv6Sampler final : public ObjectSampler {
 public:
  explicit Tcpv6Sampler(SourceSet& sources)
      : sources_(sources), tcp6_(sources.Register("proc/net/tcp6")) {}

  bool Collect(const FieldSet& needed, InstanceTable& table) override {
    std::int64_t* row = table.Add("");
    if (needed.Empty()) return true;
    std::string_view text;
    if (!sources_.Read(tcp6_, text)) return false;
    Scanner s(text);
    s.SkipLine();  // header
    std::int64_t established = 0;
    while (!s.AtEnd()) {
      Scanner line(s.Line());
      line.Word();  // "sl:"
      line.Word();  // local address:port
      std::string_view remote = line.Word();
      std::string_view state = line.Word();
      if (state != "01" && state != "08") continue;
      if (!IsV4Mapped(remote)) ++established;
    }
    row[kEstablished] = established;
    return true;
  }

 private:
  SourceSet& sources_;
  int tcp6_;
};

constexpr ObjectDef kTcpv6{5600, false, kFieldCount, kCounters, kNames};

}  // namespace

const ObjectProvider& tcpv6() {
  static const ProviderOf<Tcpv6Sampler> provider(kTcpv6);
  return provider;
}

}  // namespace perf::objects
