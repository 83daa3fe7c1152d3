#include "server/process/listeners.h"

#include "platform/remote/endpoint.h"

namespace zyn::server {

HandedOverSockets InspectHandedOverSockets() {
  HandedOverSockets out;
  for (const zyn::remote::HandedOverListener& listener : zyn::remote::FindHandedOverListeners()) {
    // The address without its "unix:" or "tcp:" prefix.
    std::string bound = listener.address.substr(listener.address.find(':') + 1);
    (listener.tls ? out.tcp : out.unixPaths).push_back(std::move(bound));
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
