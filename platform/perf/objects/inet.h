// The protocol objects' shared parts: IPv4/IPv6, TCPv4/TCPv6 and UDPv4/UDPv6 name the same
// counters (one title each, whatever the family) and read the kernel's SNMP counters.
//
// /proc/net/snmp holds IPv4's IP and UDP counters and the TCP counters as pairs of lines,
// "Tcp: ActiveOpens PassiveOpens ..." then "Tcp: 11 2 ...". /proc/net/snmp6 holds IPv6's IP
// and UDP counters as "Ip6InReceives 1" lines (read with ParseKeyedNumbers). These are the
// numbers `nstat -az` and `netstat -s` print.
//
// Linux keeps one TCP MIB for both families: the Tcp: line counts segments and connections
// over IPv4 and IPv6 together, and /proc/net/snmp6 has no TCP lines. See tcpv4.cpp and
// tcpv6.cpp for what each object makes of that.
#pragma once

#include <array>
#include <string_view>

#include "platform/perf/catalogue.h"
#include "platform/perf/parse.h"

namespace perf::objects::inet {

// Stores the values of `keys` found in the "<prefix> names" / "<prefix> values" line pair of
// /proc/net/snmp (`prefix` with its colon: "Tcp:", so that "Udp:" does not match "UdpLite:").
// Keys not found leave `out` untouched. Returns how many keys were found.
inline int ParseSnmpTable(std::string_view text, std::string_view prefix,
                          const std::string_view* keys, int keyCount, std::int64_t* out) {
  Scanner s(text);
  while (!s.AtEnd()) {
    if (!s.Consume(prefix)) {
      s.SkipLine();
      continue;
    }
    Scanner names(s.Line());
    if (!s.Consume(prefix)) return 0;  // a header without its values
    Scanner values(s.Line());
    int found = 0;
    for (;;) {
      std::string_view name = names.Word();
      if (name.empty()) break;
      values.SkipBlanks();
      if (values.AtLineEnd()) break;  // fewer values than names: the rest is unknown
      std::int64_t v = values.I64();
      for (int k = 0; k < keyCount; ++k) {
        if (keys[k] == name) {
          out[k] = v;
          ++found;
          break;
        }
      }
    }
    return found;
  }
  return 0;
}

// IP counters (IPv4 and IPv6), with Windows' title indexes.
inline constexpr std::array<TitleName, 17> kIpNames = {{
    {438, "Datagrams/sec", "Datagramme/s"},
    {446, "Datagrams Received/sec", "Empfangene Datagramme/s"},
    {442, "Datagrams Sent/sec", "Gesendete Datagramme/s"},
    {552, "Datagrams Received Header Errors", "Empfangene Datagramme, Headerfehler"},
    {554, "Datagrams Received Address Errors", "Empfangene Datagramme, Adressfehler"},
    {556, "Datagrams Forwarded/sec", "Weitergeleitete Datagramme/s"},
    {558, "Datagrams Received Unknown Protocol", "Empfangene Datagramme, unbekanntes Protokoll"},
    {560, "Datagrams Received Discarded", "Empfangene Datagramme, verworfen"},
    {562, "Datagrams Received Delivered/sec", "Empfangene Datagramme, zugestellt/s"},
    {566, "Datagrams Outbound Discarded", "Ausgehende Datagramme, verworfen"},
    {568, "Datagrams Outbound No Route", "Ausgehende Datagramme, keine Route"},
    {570, "Fragments Received/sec", "Empfangene Fragmente/s"},
    {572, "Fragments Re-assembled/sec", "Zusammengesetzte Fragmente/s"},
    {574, "Fragment Re-assembly Failures", "Fehler beim Zusammensetzen von Fragmenten"},
    {576, "Fragmented Datagrams/sec", "Fragmentierte Datagramme/s"},
    {578, "Fragmentation Failures", "Fragmentierungsfehler"},
    {580, "Fragments Created/sec", "Erstellte Fragmente/s"},
}};

// The fields of an IP object, in the order of IpKeys.
enum IpField : FieldId {
  kIpReceived,
  kIpHeaderErrors,
  kIpAddressErrors,
  kIpForwarded,
  kIpUnknownProtocol,
  kIpReceivedDiscarded,
  kIpDelivered,
  kIpSent,
  kIpOutboundDiscarded,
  kIpNoRoute,
  kIpReassemblyRequired,
  kIpReassembled,
  kIpReassemblyFailures,
  kIpFragmented,
  kIpFragmentationFailures,
  kIpFragmentsCreated,
  kIpTotal,  // received + sent
  kIpFieldCount
};

// UDP counters (UDPv4 and UDPv6): Windows' indexes, and two of our own for the socket-buffer
// drops that are the usual reason for lost datagrams on Linux.
inline constexpr std::array<TitleName, 7> kUdpNames = {{
    {438, "Datagrams/sec", "Datagramme/s"},
    {446, "Datagrams Received/sec", "Empfangene Datagramme/s"},
    {442, "Datagrams Sent/sec", "Gesendete Datagramme/s"},
    {660, "Datagrams No Port/sec", "Datagramme ohne Port/s"},
    {662, "Datagrams Received Errors", "Empfangene Datagramme, Fehler"},
    {5700, "Receive Buffer Errors", "Fehler im Empfangspuffer"},
    {5702, "Send Buffer Errors", "Fehler im Sendepuffer"},
}};

enum UdpField : FieldId {
  kUdpReceived,
  kUdpNoPort,
  kUdpReceiveErrors,
  kUdpSent,
  kUdpReceiveBufferErrors,
  kUdpSendBufferErrors,
  kUdpTotal,  // received + sent
  kUdpFieldCount
};

// TCP counters (TCPv4 and TCPv6).
inline constexpr std::array<TitleName, 11> kTcpNames = {{
    {640, "Segments/sec", "Segmente/s"},
    {642, "Connections Established", "Hergestellte Verbindungen"},
    {644, "Connections Active", "Aktive Verbindungen"},
    {646, "Connections Passive", "Passive Verbindungen"},
    {648, "Connection Failures", "Verbindungsfehler"},
    {650, "Connections Reset", "Zurückgesetzte Verbindungen"},
    {652, "Segments Received/sec", "Empfangene Segmente/s"},
    {654, "Segments Sent/sec", "Gesendete Segmente/s"},
    {656, "Segments Retransmitted/sec", "Erneut übertragene Segmente/s"},
    {5500, "Segments Received Errors", "Empfangene Segmente, Fehler"},
    {5502, "Resets Sent/sec", "Gesendete Zurücksetzungen/s"},
}};

}  // namespace perf::objects::inet
