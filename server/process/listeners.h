// What the program listens on: the sockets systemd handed over, and the lines that tell whoever
// started the program where it listens.
#pragma once

#include <string>
#include <vector>

namespace zyn::server {

// The listening sockets systemd passed to this process (LISTEN_PID, LISTEN_FDS), looked at
// without taking them: the endpoint takes them when it starts.
struct HandedOverSockets {
  std::vector<std::string> unixPaths;  // each a Unix socket's path
  std::vector<std::string> tcp;        // each "HOST:PORT" as bound
};
HandedOverSockets InspectHandedOverSockets();

// "listening on unix:PATH" and "listening on tcp:HOST:PORT", one line each; `tcpAddresses` are
// the addresses asked for ("host:port") and `ports` the ports really bound, in the same order.
std::vector<std::string> ListeningLines(const HandedOverSockets& handed,
                                        const std::string& unixPath,
                                        const std::vector<std::string>& tcpAddresses,
                                        const std::vector<unsigned>& ports);

}  // namespace zyn::server
