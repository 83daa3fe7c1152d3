// The observer side of the peer comparison (bench/peers/run.sh): one client of ZYNServer that
// subscribes one group to a list of counters at a rate and counts what arrives, so that the
// agent's cost can be set against other collectors doing the same work.
//
//   zyn_driver [--machine NAME] [--key FILE] --rate MS --paths FILE --latencies FILE
//
// --machine is "My Computer" (the Unix socket; the default) or "host:port" over TCP; --key
// copies the server's access key to where activations on that machine look for it. The paths
// file holds one counter path a line; "\Object(*)\Counter" stands for every instance of the
// object but _Total, found by browsing the server.
//
// It talks on its standard streams, one line each, so that a script can take the agent's CPU
// figures over exactly the window it counts values in:
//   out  READY items=N rejected=R     the group is subscribed (rejected paths go to stderr)
//   in   START                        count from now on
//   in   STOP                         stop counting, write the latencies, answer and end
//   out  RESULT values=V callbacks=C
// Each callback gives one latency: from the cycle's collection time (the values' timestamp)
// to the callback running in this process, in milliseconds, one a line in the latencies file.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "interfaces/data_change_sink.h"
#include "interfaces/opc_da.h"
#include "interfaces/zyn_ids.h"
#include "platform/com/connpoint.h"
#include "platform/com/enum.h"
#include "platform/com/filetime.h"
#include "platform/com/object.h"
#include "platform/com/taskmem.h"
#include "platform/remote/activation.h"
#include "platform/remote/apartment.h"
#include "platform/remote/connections.h"
#include "platform/remote/paths.h"

namespace {

// Counts the values of the callbacks that arrive while the window is open.
class CountingSink final : public DataChangeSink {
 public:
  HRESULT OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE*, VARIANT*,
                       WORD*, FILETIME* pftTimeStamps, HRESULT*) override {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    if (!open_.load() || dwCount == 0) return S_OK;
    // Every value of one cycle carries that cycle's collection time; the newest one is the
    // cycle this callback reports.
    ULONGLONG collected = 0;
    for (DWORD i = 0; i < dwCount; ++i)
      collected = std::max(collected, Ticks(pftTimeStamps[i]));
    const double latencyMs = double(LONGLONG(Ticks(now) - collected)) / 10000.0;
    std::lock_guard lock(mutex_);
    values_ += dwCount;
    latencies_.push_back(latencyMs);
    return S_OK;
  }

  void Open() { open_.store(true); }
  // Closes the window and hands out what it counted.
  void Close(unsigned long long* values, std::vector<double>* latencies) {
    open_.store(false);
    std::lock_guard lock(mutex_);
    *values = values_;
    *latencies = latencies_;
  }

 private:
  static ULONGLONG Ticks(const FILETIME& ft) {
    return ULONGLONG{ft.dwHighDateTime} << 32 | ft.dwLowDateTime;
  }

  std::atomic<bool> open_{false};
  std::mutex mutex_;
  unsigned long long values_ = 0;
  std::vector<double> latencies_;
};

struct Options {
  std::string machine = zyn::remote::kMyComputer;
  std::string keyFile;
  DWORD rate = 1000;
  std::string pathsFile;
  std::string latenciesFile;
};

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    std::string value = argv[++i];
    if (arg == "--machine") {
      options->machine = value;
    } else if (arg == "--key") {
      options->keyFile = value;
    } else if (arg == "--rate") {
      options->rate = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10));
    } else if (arg == "--paths") {
      options->pathsFile = value;
    } else if (arg == "--latencies") {
      options->latenciesFile = value;
    } else {
      return false;
    }
  }
  return !options->pathsFile.empty() && !options->latenciesFile.empty() && options->rate > 0;
}

// The instances of an object as the server lists them, _Total left out.
std::vector<std::string> Instances(const com::ComPtr<IOPCServer>& server,
                                   const std::string& object) {
  std::vector<std::string> out;
  com::ComPtr<IOPCBrowseServerAddressSpace> browse;
  if (FAILED(server.As(&browse))) return out;
  if (FAILED(browse->ChangeBrowsePosition(OPC_BROWSE_TO, "")) ||
      FAILED(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, object.c_str())))
    return out;
  com::ComPtr<IEnumString> names;
  if (FAILED(browse->BrowseOPCItemIDs(OPC_BRANCH, "", VT_EMPTY, 0, names.ReleaseAndGetAddressOf())))
    return out;
  LPOLESTR name = nullptr;
  ULONG fetched = 0;
  while (names->Next(1, &name, &fetched) == S_OK && fetched == 1) {
    com::TaskMem<char[]> owned(name);
    if (std::string(name) != "_Total") out.emplace_back(name);
  }
  return out;
}

// The paths of the file with every "(*)" replaced by the object's instances.
std::vector<std::string> ExpandPaths(const com::ComPtr<IOPCServer>& server,
                                     const std::string& file) {
  std::vector<std::string> paths;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    const auto star = line.find("(*)");
    if (star == std::string::npos) {
      paths.push_back(line);
      continue;
    }
    const std::string object = line.substr(1, star - 1);
    for (const std::string& instance : Instances(server, object))
      paths.push_back(line.substr(0, star) + "(" + instance + ")" + line.substr(star + 3));
  }
  return paths;
}

int Run(const Options& options) {
  if (!options.keyFile.empty()) {
    std::string key;
    const std::string dir = zyn::remote::MachineDir(options.machine);
    if (!zyn::remote::ReadFile(options.keyFile, &key) || !zyn::remote::MakeDirs(dir, 0700) ||
        !zyn::remote::WriteFile(dir + "/access.key", key, 0600)) {
      std::fprintf(stderr, "cannot hand over the access key %s\n", options.keyFile.c_str());
      return 1;
    }
  }

  zyn::remote::ApartmentThread apartment;
  zyn::remote::SetDefaultApartment(&apartment.apartment());
  auto sink = com::MakeObject<CountingSink>();
  int status = 0;
  {
    com::ComPtr<IOPCServer> server;
    std::string error;
    if (FAILED(zyn::remote::ActivateWithTimeLimit(options.machine, CLSID_ZYNServer, IID_IOPCServer,
                                                  20000, E_FAIL,
                                                  server.ReleaseAndGetVoidAddressOf(), &error))) {
      std::fprintf(stderr, "activation on %s failed: %s\n", options.machine.c_str(), error.c_str());
      zyn::remote::SetDefaultApartment(nullptr);
      return 1;
    }
    const std::vector<std::string> paths = ExpandPaths(server, options.pathsFile);

    com::ComPtr<IOPCItemMgt> items;
    OPCHANDLE groupHandle = 0;
    DWORD revised = 0;
    HRESULT hr = server->AddGroup("peers", TRUE, options.rate, 1, nullptr, nullptr, 0x409,
                                  &groupHandle, &revised, IID_IOPCItemMgt,
                                  reinterpret_cast<IUnknown**>(items.ReleaseAndGetAddressOf()));
    com::ComPtr<IConnectionPointContainer> container;
    com::ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    if (SUCCEEDED(hr)) hr = items.As(&container);
    if (SUCCEEDED(hr))
      hr = container->FindConnectionPoint(IID_IOPCDataCallback, point.ReleaseAndGetAddressOf());
    if (SUCCEEDED(hr)) hr = point->Advise(static_cast<IOPCDataCallback*>(sink.Get()), &cookie);

    std::size_t accepted = 0, rejected = 0;
    if (SUCCEEDED(hr) && !paths.empty()) {
      std::vector<OPCITEMDEF> defs(paths.size());
      for (std::size_t i = 0; i < paths.size(); ++i) {
        defs[i] = OPCITEMDEF{};
        defs[i].szItemID = const_cast<LPWSTR>(paths[i].c_str());
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(i);
      }
      OPCITEMRESULT* results = nullptr;
      HRESULT* errors = nullptr;
      hr = items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors);
      if (SUCCEEDED(hr)) {
        com::TaskMem<OPCITEMRESULT[]> ownedResults(results);
        com::TaskMem<HRESULT[]> ownedErrors(errors);
        for (std::size_t i = 0; i < paths.size(); ++i) {
          if (SUCCEEDED(errors[i])) {
            ++accepted;
          } else {
            ++rejected;
            std::fprintf(stderr, "rejected 0x%08X %s\n", static_cast<unsigned>(errors[i]),
                         paths[i].c_str());
          }
        }
      }
    }
    if (FAILED(hr) || accepted == 0) {
      std::fprintf(stderr, "the group could not be set up (0x%08X)\n", static_cast<unsigned>(hr));
      status = 1;
    } else {
      std::printf("READY items=%zu rejected=%zu\n", accepted, rejected);
      std::fflush(stdout);
      for (std::string line; std::getline(std::cin, line);) {
        if (line == "START") sink->Open();
        if (line == "STOP") break;
      }
      unsigned long long values = 0;
      std::vector<double> latencies;
      sink->Close(&values, &latencies);
      std::ofstream out(options.latenciesFile);
      for (double latency : latencies)
        out << latency << '\n';
      std::printf("RESULT values=%llu callbacks=%zu\n", values, latencies.size());
      std::fflush(stdout);
    }
    if (cookie != 0) point->Unadvise(cookie);
    point = nullptr;
    container = nullptr;
    items = nullptr;
    if (groupHandle != 0) server->RemoveGroup(groupHandle, TRUE);
  }
  zyn::remote::CloseAllConnections();
  zyn::remote::SetDefaultApartment(nullptr);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: zyn_driver [--machine NAME] [--key FILE] --rate MS --paths FILE "
                 "--latencies FILE\n");
    return 2;
  }
  return Run(options);
}
