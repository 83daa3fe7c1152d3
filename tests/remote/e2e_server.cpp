// A serving program for the end-to-end tests: the server class behind an endpoint on this
// machine's Unix socket and on 127.0.0.1 (any free port).
//
// With the argument "activated" it serves only the listening sockets handed over to it (as a
// service manager hands them over) and opens none of its own; <port> is then 0.
//
// It prints "READY <port>" once it listens. Each line on its standard input is a command:
// "STATUS" prints "STATUS objects=<server objects> connections=<clients> threads=<threads>";
// the end of the input ends the program.
#include <dirent.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "interfaces/zyn_ids.h"
#include "platform/com/classreg.h"
#include "platform/remote/apartment.h"
#include "platform/remote/endpoint.h"
#include "server/catalogue.h"
#include "server/client_list.h"
#include "server/opc_server.h"

namespace {

int ThreadCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ++count;
    closedir(dir);
  }
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  const bool activated = argc > 1 && std::string(argv[1]) == "activated";
  CatalogueQueryScope catalogue;
  if (FAILED(catalogue.result())) {
    std::fprintf(stderr, "cannot open the catalogue\n");
    return 1;
  }
  zyn::remote::ApartmentThread apartment;
  auto factory = com::MakeObject<com::FunctionClassFactory>([](REFIID riid, void** ppv) {
    com::ComPtr<OpcServer> server = OpcServer::Create();
    if (!server) return E_OUTOFMEMORY;
    return server->QueryInterface(riid, ppv);
  });
  com::ProcessClassRegistry().RegisterClassObject(CLSID_ZYNServer, factory.Get());

  zyn::remote::EndpointOptions options;
  if (!activated) options.tcpAddresses = {"127.0.0.1:0"};
  options.listenUnix = !activated;
  options.socketActivation = activated;
  options.apartment = &apartment.apartment();
  std::string error;
  auto endpoint = zyn::remote::Endpoint::Start(options, &error);
  if (!endpoint) {
    std::fprintf(stderr, "cannot start the endpoint: %s\n", error.c_str());
    return 1;
  }
  std::printf("READY %u\n", endpoint->TcpPorts().empty() ? 0 : endpoint->TcpPorts().front());
  std::fflush(stdout);
  for (std::string line; std::getline(std::cin, line);) {
    if (line == "STATUS") {
      std::printf("STATUS objects=%zu connections=%zu threads=%d\n",
                  ClientList::Process().Names().size(), endpoint->ConnectionCount(), ThreadCount());
      std::fflush(stdout);
    }
  }
  endpoint = nullptr;
  com::ProcessClassRegistry().RevokeClassObject(CLSID_ZYNServer);
  return 0;
}
