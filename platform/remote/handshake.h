// The admission step every connection goes through before any RPC message: the client sends
// "ZYN1", one length byte and its access key (empty on the Unix socket, where the peer's user
// is checked instead); the endpoint answers one byte, kAdmitted or kRefused, and closes the
// connection after a refusal. So an endpoint exposes nothing, not even its RPC layer, to a
// peer without the key.
#pragma once

#include <kj/async-io.h>

#include <string>

namespace zyn::remote {

inline constexpr char kHelloMagic[4] = {'Z', 'Y', 'N', '1'};
inline constexpr unsigned char kAdmitted = 0;
inline constexpr unsigned char kRefused = 1;
// The text a refused client's exception carries, to tell refusal from other failures.
inline constexpr char kRefusedText[] = "access key refused";

// Client: sends the key and waits for admission; rejects with kRefusedText when refused.
kj::Promise<void> SendHello(kj::AsyncIoStream& stream, std::string key, std::string machine);

// Endpoint: reads a hello; resolves to the key it carried, rejects on a malformed one.
kj::Promise<std::string> ReadHello(kj::AsyncIoStream& stream);

}  // namespace zyn::remote
