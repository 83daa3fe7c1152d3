// The observer's connections, one per machine, kept on the I/O thread and shared by every
// object activated there. A connection that ends is forgotten; the next activation dials anew.
#pragma once

#include <kj/async.h>

#include <string>

#include "platform/remote/com.capnp.h"

namespace zyn::remote {

// How to reach one machine.
struct MachineTarget {
  std::string machine;   // the name the caller used; the key of the connection
  bool local = false;    // "My Computer": the Unix socket
  std::string unixPath;  // local only
  std::string host;      // remote only
  unsigned port = 0;
  std::string accessKey;       // remote only
  std::string certificatePem;  // remote only: the pinned certificate, the only one trusted
};

// Loop thread: the activator of the machine, over its connection (made when there is none).
// Rejects with the handshake's kRefusedText when the endpoint refused the key.
kj::Promise<wire::Activator::Client> MachineActivator(const MachineTarget& target);

// Loop thread: drops the machine's connection (its objects' capabilities break).
void ForgetMachine(const std::string& machine);

// Any thread: drops every connection this process made (a client's orderly end).
void CloseAllConnections();

}  // namespace zyn::remote
