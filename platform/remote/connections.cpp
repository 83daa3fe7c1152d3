#include "platform/remote/connections.h"

#include <capnp/rpc-twoparty.h>
#include <kj/compat/tls.h>

#include <map>

#include "platform/remote/handshake.h"
#include "platform/remote/io_thread.h"
#include "platform/remote/paths.h"

namespace zyn::remote {
namespace {

// Members end in reverse order: RPC, its network, the stream, then the TLS context under it.
struct ClientConnection {
  kj::Own<kj::TlsCertificate> pinned;
  kj::Own<kj::TlsContext> tls;
  kj::Own<kj::AsyncIoStream> stream;
  kj::Own<capnp::TwoPartyVatNetwork> network;
  kj::Own<capnp::RpcSystem<capnp::rpc::twoparty::VatId>> rpc;
  kj::Maybe<wire::Activator::Client> activator;
};

using ConnectionMap = std::map<std::string, kj::Own<ClientConnection>>;

// Loop-thread state, made on first use and ended with the loop.
ConnectionMap& Connections() {
  static ConnectionMap* map = nullptr;
  if (map == nullptr) {
    auto owned = kj::heap<ConnectionMap>();
    map = owned.get();
    IoThread::Get().AtLoopExit([owned = kj::mv(owned)]() mutable {
      owned->clear();
      map = nullptr;
    });
  }
  return *map;
}

kj::Promise<kj::Own<kj::AsyncIoStream>> Dial(ClientConnection& connection,
                                             const MachineTarget& target) {
  IoThread& io = IoThread::Get();
  if (target.local) {
    return io.Network()
        .parseAddress(kj::str("unix:", target.unixPath.c_str()))
        .then([](kj::Own<kj::NetworkAddress> address) {
          return address->connect().attach(kj::mv(address));
        });
  }
  connection.pinned = kj::heap<kj::TlsCertificate>(target.certificatePem.c_str());
  kj::TlsContext::Options options;
  options.useSystemTrustStore = false;
  options.trustedCertificates = kj::arrayPtr(connection.pinned.get(), 1);
  connection.tls = kj::heap<kj::TlsContext>(kj::mv(options));
  kj::TlsContext& tls = *connection.tls;
  return io.Network()
      .parseAddress(target.host.c_str(), target.port)
      .then([&tls](kj::Own<kj::NetworkAddress> address) {
        return address->connect()
            .attach(kj::mv(address))
            .then([&tls](kj::Own<kj::AsyncIoStream> stream) {
              return tls.wrapClient(kj::mv(stream), kCertificateName);
            });
      });
}

}  // namespace

kj::Promise<wire::Activator::Client> MachineActivator(const MachineTarget& target) {
  ConnectionMap& map = Connections();
  auto found = map.find(target.machine);
  if (found != map.end()) {
    KJ_IF_MAYBE (activator, found->second->activator) {
      return *activator;
    }
  }
  auto connection = kj::heap<ClientConnection>();
  ClientConnection& c = *connection;
  std::string machine = target.machine;
  std::string key = target.local ? std::string() : target.accessKey;
  return Dial(c, target)
      .then([&c, key, machine](kj::Own<kj::AsyncIoStream> stream) mutable {
        c.stream = kj::mv(stream);
        return SendHello(*c.stream, key, machine);
      })
      .then([connection = kj::mv(connection), machine]() mutable -> wire::Activator::Client {
        ClientConnection& c = *connection;
        capnp::ReaderOptions options;
        options.traversalLimitInWords = 64ull * 1024 * 1024 / 8;
        c.network = kj::heap<capnp::TwoPartyVatNetwork>(
            *c.stream, capnp::rpc::twoparty::Side::CLIENT, options);
        c.rpc = kj::heap(capnp::makeRpcClient(*c.network));
        capnp::MallocMessageBuilder vat;
        auto id = vat.initRoot<capnp::rpc::twoparty::VatId>();
        id.setSide(capnp::rpc::twoparty::Side::SERVER);
        auto activator = c.rpc->bootstrap(id).castAs<wire::Activator>();
        c.activator = activator;
        ClientConnection* raw = connection.get();
        IoThread::Get().Tasks().add(c.network->onDisconnect().then([raw, machine]() {
          ConnectionMap& map = Connections();
          auto it = map.find(machine);
          if (it != map.end() && it->second.get() == raw) map.erase(it);
        }));
        Connections()[machine] = kj::mv(connection);
        return activator;
      });
}

void ForgetMachine(const std::string& machine) {
  Connections().erase(machine);
}

void CloseAllConnections() {
  IoThread& io = IoThread::Get();
  if (io.IsLive()) io.Run([]() { Connections().clear(); });
}

}  // namespace zyn::remote
