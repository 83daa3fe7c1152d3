#include "platform/remote/endpoint.h"

#include <arpa/inet.h>
#include <capnp/rpc-twoparty.h>
#include <fcntl.h>
#include <kj/compat/tls.h>
#include <kj/debug.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "interfaces/opc_common.h"
#include "platform/remote/apartment_call.h"
#include "platform/remote/credentials.h"
#include "platform/remote/handshake.h"
#include "platform/remote/io_thread.h"
#include "platform/remote/paths.h"
#include "platform/remote/server_list.h"
#include "platform/remote/stub.h"
#include "platform/remote/values.h"

namespace zyn::remote {
namespace {

constexpr auto kHelloTimeLimit = 10 * kj::SECONDS;

// The largest message a peer may send: a screen shot of a large desktop fits with room to
// spare; anything bigger ends that peer's connection.
constexpr uint64_t kTraversalLimitWords = 64ull * 1024 * 1024 / 8;

class ActivatorImpl final : public wire::Activator::Server {
 public:
  ActivatorImpl(Apartment& apartment, com::ClassRegistry& registry)
      : apartment_(apartment), registry_(registry) {}

 protected:
  kj::Promise<void> createInstance(CreateInstanceContext context) override {
    auto params = context.getParams();
    GUID clsid, iid;
    bool ok = ReadGuid(params.getClsid(), &clsid) && ReadGuid(params.getIid(), &iid);
    context.releaseParams();
    if (!ok) {
      context.getResults().setHr(E_INVALIDARG);
      return kj::READY_NOW;
    }
    struct Made {
      HRESULT hr;
      com::ComPtr<IUnknown> object;
    };
    com::ClassRegistry& registry = registry_;
    auto made = RunOn<Made>(apartment_, [&registry, clsid, iid]() {
      Made out{E_FAIL, nullptr};
      void* raw = nullptr;
      out.hr = registry.CreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, &raw);
      if (SUCCEEDED(out.hr) && raw) out.object.Attach(static_cast<IUnknown*>(raw));
      return out;
    });
    return made.then([this, context](Made made) mutable {
      auto results = context.getResults();
      results.setHr(made.hr);
      if (SUCCEEDED(made.hr) && made.object) {
        results.setObject(Export(made.object.Get(), apartment_));
        // The stub holds its own reference; this one goes on the apartment like any other.
        apartment_.Post([object = std::move(made.object)]() mutable { object.Reset(); });
      }
    });
  }

 private:
  Apartment& apartment_;
  com::ClassRegistry& registry_;
};

// One admitted client. Members end in reverse order: RPC first, then its network, then the
// stream under it.
struct ServerConnection {
  kj::Own<kj::AsyncIoStream> stream;
  kj::Own<capnp::TwoPartyVatNetwork> network;
  kj::Own<capnp::RpcSystem<capnp::rpc::twoparty::VatId>> rpc;
  std::shared_ptr<std::atomic<std::size_t>> counter;
  ~ServerConnection() {
    if (counter) --*counter;
  }
};

}  // namespace

struct Endpoint::Loop final : public kj::TaskSet::ErrorHandler {
  Loop(Apartment& apartment, com::ClassRegistry& registry, std::string key,
       std::shared_ptr<std::atomic<std::size_t>> counter)
      : apartment(apartment),
        registry(registry),
        accessKey(std::move(key)),
        counter(std::move(counter)),
        tasks(*this) {}

  void taskFailed(kj::Exception&& exception) override {
    if (exception.getType() == kj::Exception::Type::DISCONNECTED) return;
    KJ_LOG(WARNING, "zynwatch endpoint: connection ended", exception.getDescription());
  }

  // Reads the hello, answers it, and serves an admitted client until it goes.
  kj::Promise<void> Serve(kj::Own<kj::AsyncIoStream> stream, bool keyRequired) {
    auto& io = IoThread::Get();
    auto hello = io.Timer().timeoutAfter(kHelloTimeLimit, ReadHello(*stream));
    return hello.then([this, stream = kj::mv(stream), keyRequired](std::string key) mutable {
      bool admitted = !keyRequired || KeysEqual(key, accessKey);
      auto answer = kj::heap<kj::byte>(admitted ? kAdmitted : kRefused);
      auto write = stream->write(answer.get(), 1).attach(kj::mv(answer));
      return write.then([this, stream = kj::mv(stream), admitted]() mutable -> kj::Promise<void> {
        if (!admitted) return kj::READY_NOW;  // the stream closes here
        auto connection = kj::heap<ServerConnection>();
        connection->stream = kj::mv(stream);
        capnp::ReaderOptions options;
        options.traversalLimitInWords = kTraversalLimitWords;
        connection->network = kj::heap<capnp::TwoPartyVatNetwork>(
            *connection->stream, capnp::rpc::twoparty::Side::SERVER, options);
        connection->rpc = kj::heap(capnp::makeRpcServer(
            *connection->network, kj::heap<ActivatorImpl>(apartment, registry)));
        connection->counter = counter;
        ++*counter;
        return connection->network->onDisconnect().attach(kj::mv(connection));
      });
    });
  }

  kj::Promise<void> AcceptUnix(kj::ConnectionReceiver& listener) {
    return listener.acceptAuthenticated().then([this, &listener](kj::AuthenticatedStream peer) {
      bool owner = false;
      KJ_IF_MAYBE (local,
                   kj::dynamicDowncastIfAvailable<kj::LocalPeerIdentity>(*peer.peerIdentity)) {
        KJ_IF_MAYBE (uid, local->getCredentials().uid) {
          owner = *uid == getuid();
        }
      }
      if (owner) tasks.add(Serve(kj::mv(peer.stream), false));
      return AcceptUnix(listener);
    });
  }

  kj::Promise<void> AcceptTls(kj::ConnectionReceiver& listener) {
    return listener.accept().then([this, &listener](kj::Own<kj::AsyncIoStream> stream) {
      tasks.add(Serve(kj::mv(stream), true));
      return AcceptTls(listener);
    });
  }

  // A TLS listener's accept fails for one bad handshake; the loop must go on regardless.
  kj::Promise<void> KeepAccepting(kj::ConnectionReceiver& listener, bool tls) {
    auto once = tls ? AcceptTls(listener) : AcceptUnix(listener);
    return once.catch_([this, &listener, tls](kj::Exception&& e) {
      taskFailed(kj::mv(e));
      return KeepAccepting(listener, tls);
    });
  }

  Apartment& apartment;
  com::ClassRegistry& registry;
  std::string accessKey;
  std::shared_ptr<std::atomic<std::size_t>> counter;
  kj::Own<kj::TlsKeypair> keypair;
  kj::Own<kj::TlsContext> tls;
  kj::Vector<kj::Own<kj::ConnectionReceiver>> listeners;
  kj::TaskSet tasks;  // last member: ends first, before what its tasks use
};

namespace {

// A listening socket bound as asked; -1 with *error on failure.
int ListenUnix(const std::string& path, std::string* error) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) {
    *error = "socket path too long: " + path;
    return -1;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  // The socket file is made unreachable for others before it exists (its folder is 0700
  // too); the peer's user is checked on every connection besides.
  mode_t old = umask(0177);
  bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  umask(old);
  if (!ok || listen(fd, SOMAXCONN) != 0) {
    *error = "cannot listen on " + path + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

// Options every accepted TCP connection inherits from its listening socket.
void TuneTcpListener(int fd) {
  int one = 1;
  // A client whose machine vanished without closing its connection is noticed after about a
  // minute, and what it held is released.
  int idle = 30, interval = 10, probes = 3;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
  // Every RPC message is written whole; Nagle's algorithm would hold a callback back until the
  // peer acknowledged the previous one, which on a connection carrying several groups'
  // callbacks at once is most of the time.
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int ListenTcp(const std::string& address, unsigned* port, std::string* error) {
  // "host:port", "[v6]:port" or "*:port"; port 0 asks for any free port.
  std::size_t colon = address.rfind(':');
  std::string host = colon == std::string::npos ? std::string() : address.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  char* end = nullptr;
  unsigned long value =
      colon == std::string::npos ? 0 : std::strtoul(address.c_str() + colon + 1, &end, 10);
  if (host.empty() || colon + 1 >= address.size() || *end != '\0' || value > 65535) {
    *error = "malformed address: " + address;
    return -1;
  }
  *port = static_cast<unsigned>(value);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const char* node = (host == "*" || host == "any") ? nullptr : host.c_str();
  if (getaddrinfo(node, std::to_string(*port).c_str(), &hints, &found) != 0 || !found) {
    *error = "cannot resolve " + address;
    return -1;
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, freeaddrinfo);
  int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd >= 0) {
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    TuneTcpListener(fd);
  }
  if (fd < 0 || bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
    *error = "cannot listen on " + address + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  *port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  return fd;
}

// A decimal number that is the whole of text, within [0, limit]; -1 otherwise.
long WholeNumber(const char* text, long limit) {
  if (text == nullptr || *text < '0' || *text > '9') return -1;
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  return errno == 0 && *end == '\0' && value <= limit ? value : -1;
}

// The descriptors a service manager handed to this process (from descriptor 3 on), when
// LISTEN_PID names this process; -1 when none were.
long HandedOverCount() {
  const long pid = WholeNumber(std::getenv("LISTEN_PID"), std::numeric_limits<pid_t>::max());
  const long count = WholeNumber(std::getenv("LISTEN_FDS"), 4096);
  return pid == getpid() ? count : -1;
}

// The address a handed-over descriptor listens on, when the endpoint can serve it. A socket
// unit may also hold datagram sockets, FIFOs or sockets that do not listen: those cannot
// accept (accepting on them fails at once, which would keep the endpoint from starting).
std::optional<HandedOverListener> ServableListener(int fd) {
  int type = 0, listening = 0;
  socklen_t size = sizeof type;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM)
    return std::nullopt;
  size = sizeof listening;
  if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening)
    return std::nullopt;
  sockaddr_storage address{};
  socklen_t len = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len) != 0) return std::nullopt;
  char host[INET6_ADDRSTRLEN] = "";
  switch (address.ss_family) {
    case AF_UNIX: {
      const auto* un = reinterpret_cast<const sockaddr_un*>(&address);
      return HandedOverListener{
          fd, false,
          "unix:" + std::string(un->sun_path, strnlen(un->sun_path, sizeof un->sun_path))};
    }
    case AF_INET: {
      const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
      inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
      return HandedOverListener{
          fd, true, "tcp:" + std::string(host) + ":" + std::to_string(ntohs(in->sin_port))};
    }
    case AF_INET6: {
      const auto* in = reinterpret_cast<const sockaddr_in6*>(&address);
      inet_ntop(AF_INET6, &in->sin6_addr, host, sizeof host);
      return HandedOverListener{
          fd, true, "tcp:[" + std::string(host) + "]:" + std::to_string(ntohs(in->sin6_port))};
    }
    default:
      return std::nullopt;
  }
}

// Takes the handed-over listeners for the endpoint. The variables are removed and every
// handed descriptor is marked close-on-exec, so programs this one starts do not take the
// sockets for theirs.
std::vector<HandedOverListener> TakeHandedOverListeners() {
  std::vector<HandedOverListener> found = FindHandedOverListeners();
  const long count = HandedOverCount();
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  for (int fd = 3; fd < 3 + count; ++fd) {
    int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  }
  for (const HandedOverListener& listener : found)
    if (listener.tls) TuneTcpListener(listener.fd);
  return found;
}

}  // namespace

std::vector<HandedOverListener> FindHandedOverListeners() {
  std::vector<HandedOverListener> found;
  for (long fd = 3, end = 3 + HandedOverCount(); fd < end; ++fd)
    if (auto listener = ServableListener(int(fd))) found.push_back(std::move(*listener));
  return found;
}

std::unique_ptr<Endpoint> Endpoint::Start(EndpointOptions options, std::string* error,
                                          bool* anotherServes) {
  if (anotherServes) *anotherServes = false;
  RegisterMarshalling();
  auto endpoint = std::make_unique<Endpoint>(Key{});
  Apartment& apartment = options.apartment ? *options.apartment : DefaultApartment();
  com::ClassRegistry& registry = options.registry ? *options.registry : com::ProcessClassRegistry();
  endpoint->registry_ = &registry;

  // Listening sockets: (descriptor, whether clients come over TLS).
  std::vector<std::pair<int, bool>> sockets;
  auto closeAll = [&sockets]() {
    for (auto [fd, tls] : sockets)
      close(fd);
  };

  if (options.socketActivation) {
    for (const HandedOverListener& listener : TakeHandedOverListeners())
      sockets.emplace_back(listener.fd, listener.tls);
  }
  if (options.listenUnix) {
    endpoint->unixPath_ = options.unixPath.empty() ? DefaultUnixSocketPath() : options.unixPath;
    std::string dir = endpoint->unixPath_.substr(0, endpoint->unixPath_.rfind('/'));
    if (!MakeDirs(dir, 0700)) {
      *error = "cannot create " + dir;
      closeAll();
      return nullptr;
    }
    // Only the holder of the lock may replace the socket file: without it, a second program
    // started at the same moment would unlink the first one's live socket and take over, and
    // clients of the first would be stranded. The descriptor is not inherited by programs the
    // server starts, so none of them keeps the lock after the server ends.
    const std::string lockPath = endpoint->unixPath_ + ".lock";
    endpoint->unixLock_ = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (endpoint->unixLock_ < 0 || flock(endpoint->unixLock_, LOCK_EX | LOCK_NB) != 0) {
      const int why = errno;
      const bool held = endpoint->unixLock_ >= 0 && why == EWOULDBLOCK;
      if (held && anotherServes) *anotherServes = true;
      *error = held ? "another program serves " + endpoint->unixPath_
                    : "cannot lock " + lockPath + ": " + std::strerror(why);
      endpoint->unixPath_.clear();  // the socket is not ours to remove
      closeAll();
      return nullptr;
    }
    unlink(endpoint->unixPath_.c_str());  // a socket file left by an earlier run
    int fd = ListenUnix(endpoint->unixPath_, error);
    if (fd < 0) {
      closeAll();
      return nullptr;
    }
    sockets.emplace_back(fd, false);
  }
  for (const std::string& address : options.tcpAddresses) {
    unsigned port = 0;
    int fd = ListenTcp(address, &port, error);
    if (fd < 0) {
      closeAll();
      return nullptr;
    }
    endpoint->ports_.push_back(port);
    sockets.emplace_back(fd, true);
  }

  EndpointCredentials credentials;
  bool needTls = false;
  for (auto [fd, tls] : sockets)
    needTls = needTls || tls;
  if (needTls) {
    std::string dir = options.credentialsDir.empty() ? EndpointDir() : options.credentialsDir;
    if (!LoadOrCreateEndpointCredentials(dir, &credentials, error)) {
      closeAll();
      return nullptr;
    }
  }

  try {
    endpoint->loop_ = IoThread::Get().Run([&]() {
      auto loop =
          kj::heap<Loop>(apartment, registry, credentials.accessKey, endpoint->connections_);
      IoThread& io = IoThread::Get();
      if (needTls) {
        loop->keypair = kj::heap<kj::TlsKeypair>(
            kj::TlsKeypair{kj::TlsPrivateKey(credentials.privateKeyPem.c_str()),
                           kj::TlsCertificate(credentials.certificatePem.c_str())});
        kj::TlsContext::Options tlsOptions;
        tlsOptions.defaultKeypair = *loop->keypair;
        tlsOptions.useSystemTrustStore = false;
        tlsOptions.timer = io.Timer();
        tlsOptions.acceptTimeout = kHelloTimeLimit;
        loop->tls = kj::heap<kj::TlsContext>(kj::mv(tlsOptions));
      }
      for (auto [fd, tls] : sockets) {
        auto listener =
            io.LowLevel().wrapListenSocketFd(fd, kj::LowLevelAsyncIoProvider::TAKE_OWNERSHIP);
        if (tls) listener = loop->tls->wrapPort(kj::mv(listener));
        loop->tasks.add(loop->KeepAccepting(*listener, tls));
        loop->listeners.add(kj::mv(listener));
      }
      return loop;
    });
  } catch (const kj::Exception& e) {
    *error = e.getDescription().cStr();
    return nullptr;
  }
  if (options.offerServerList) {
    auto factory = MakeServerListFactory();
    endpoint->revokeServerList_ =
        SUCCEEDED(registry.RegisterClassObject(CLSID_OPCServerList, factory.Get()));
  }
  return endpoint;
}

Endpoint::Endpoint(Key) {}

Endpoint::~Endpoint() {
  IoThread::Get().Run([&]() { loop_ = nullptr; });
  if (!unixPath_.empty()) unlink(unixPath_.c_str());
  if (unixLock_ >= 0) close(unixLock_);  // after the unlink: the next holder's socket stays
  if (revokeServerList_) registry_->RevokeClassObject(CLSID_OPCServerList);
}

}  // namespace zyn::remote
