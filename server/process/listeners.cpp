#include "server/process/listeners.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace zyn::server {

HandedOverSockets InspectHandedOverSockets() {
  HandedOverSockets out;
  const char* pid = std::getenv("LISTEN_PID");
  const char* fds = std::getenv("LISTEN_FDS");
  if (!pid || !fds || std::atoi(pid) != getpid()) return out;
  for (int i = 0, n = std::atoi(fds); i < n; ++i) {
    sockaddr_storage address{};
    socklen_t len = sizeof address;
    if (getsockname(3 + i, reinterpret_cast<sockaddr*>(&address), &len) != 0) continue;
    if (address.ss_family == AF_UNIX) {
      const auto* un = reinterpret_cast<const sockaddr_un*>(&address);
      out.unixPaths.emplace_back(un->sun_path, strnlen(un->sun_path, sizeof un->sun_path));
    } else if (address.ss_family == AF_INET) {
      const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
      char host[INET_ADDRSTRLEN] = "";
      inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
      out.tcp.push_back(std::string(host) + ":" + std::to_string(ntohs(in->sin_port)));
    } else if (address.ss_family == AF_INET6) {
      const auto* in = reinterpret_cast<const sockaddr_in6*>(&address);
      char host[INET6_ADDRSTRLEN] = "";
      inet_ntop(AF_INET6, &in->sin6_addr, host, sizeof host);
      out.tcp.push_back("[" + std::string(host) + "]:" + std::to_string(ntohs(in->sin6_port)));
    }
  }
  return out;
}

std::vector<std::string> ListeningLines(const HandedOverSockets& handed,
                                        const std::string& unixPath,
                                        const std::vector<std::string>& tcpAddresses,
                                        const std::vector<unsigned>& ports) {
  std::vector<std::string> lines;
  for (const std::string& path : handed.unixPaths)
    lines.push_back("listening on unix:" + path);
  if (!unixPath.empty()) lines.push_back("listening on unix:" + unixPath);
  for (const std::string& name : handed.tcp)
    lines.push_back("listening on tcp:" + name);
  for (std::size_t i = 0; i < tcpAddresses.size() && i < ports.size(); ++i) {
    const std::string& address = tcpAddresses[i];
    lines.push_back("listening on tcp:" + address.substr(0, address.rfind(':')) + ":" +
                    std::to_string(ports[i]));
  }
  return lines;
}

}  // namespace zyn::server
