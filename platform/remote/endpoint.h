// The endpoint of a serving program: accepts clients on the Unix socket of this machine (its
// owner only), on TCP addresses (TLS, then the access key) and on sockets handed over by
// systemd socket activation, and gives each admitted client the activator, which creates
// objects through the class factories registered in this process.
//
// Every object a client holds is one reference here; when the client releases it or its
// connection ends, for whatever reason, that reference is released on the object's apartment.
#pragma once

#include <kj/memory.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/com/classreg.h"
#include "platform/remote/apartment.h"

namespace zyn::remote {

struct EndpointOptions {
  bool listenUnix = true;
  std::string unixPath;  // empty: DefaultUnixSocketPath()
  // "host:port", "[v6]:port" or "*:port" (every address); port 0 picks a free one.
  std::vector<std::string> tcpAddresses;
  bool socketActivation = true;  // also serve LISTEN_FDS when they are ours
  std::string credentialsDir;    // empty: EndpointDir()
  // Where objects are created and called; null: DefaultApartment().
  Apartment* apartment = nullptr;
  // Whose class objects the activator uses; null: the process's registry.
  com::ClassRegistry* registry = nullptr;
  // Register the server-browser class (CLSID_OPCServerList) in that registry while running.
  bool offerServerList = true;
};

// A listening socket a service manager handed to this process (LISTEN_PID naming it,
// LISTEN_FDS counting from descriptor 3) that an endpoint serves: Unix sockets as this
// machine's, TCP sockets with TLS. `address` is "unix:PATH" or "tcp:HOST:PORT".
struct HandedOverListener {
  int fd;
  bool tls;
  std::string address;
};
// Looks at the handed-over sockets without taking them (Start takes them when
// EndpointOptions::socketActivation is set); sockets an endpoint cannot serve (datagram ones,
// ones that do not listen) are left out.
std::vector<HandedOverListener> FindHandedOverListeners();

class Endpoint {
 public:
  // Starts listening; null with *error when no listener could be set up.
  //
  // The Unix socket belongs to whichever program holds the lock file beside it ("<socket>.lock",
  // held while the endpoint lives), so two programs started at once for the same user cannot
  // take the socket from each other. When another program holds it, Start gives null and sets
  // *anotherServes (when given): that program serves this machine, nothing is wrong.
  static std::unique_ptr<Endpoint> Start(EndpointOptions options, std::string* error,
                                         bool* anotherServes = nullptr);
  // Only Start makes endpoints; the key keeps the constructor usable by make_unique alone.
  class Key {
    friend class Endpoint;
    Key() = default;
  };
  explicit Endpoint(Key);
  // Stops listening and drops every connection.
  ~Endpoint();
  Endpoint(const Endpoint&) = delete;
  Endpoint& operator=(const Endpoint&) = delete;

  // The TCP ports listened on, in the order of the addresses given.
  const std::vector<unsigned>& TcpPorts() const { return ports_; }
  const std::string& UnixPath() const { return unixPath_; }
  // Clients admitted and still connected.
  std::size_t ConnectionCount() const { return connections_->load(); }

 private:
  struct Loop;

  std::vector<unsigned> ports_;
  std::string unixPath_;
  int unixLock_ = -1;  // the socket's lock file, locked; closed after the socket is removed
  std::shared_ptr<std::atomic<std::size_t>> connections_ =
      std::make_shared<std::atomic<std::size_t>>(0);
  com::ClassRegistry* registry_ = nullptr;
  bool revokeServerList_ = false;
  kj::Own<Loop> loop_;  // lives and dies on the I/O thread
};

}  // namespace zyn::remote
