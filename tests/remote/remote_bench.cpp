// Benchmark of the data path across processes on loopback: a serving program with the real
// server object, and this client with N groups of M items at a rate, over TCP (or the Unix
// socket). It reports the latency from the moment a group cycle collected its values (the
// values' timestamp) to the client's callback running on its apartment, p50 and p99, overall
// and for the first and the last tenth of the run (a growing backlog would show as a growing
// latency), the callbacks per group per second, and the serving process's CPU and memory.
//
//   remote_bench [seconds=60] [groups=10] [items=100] [rate=100] [unix]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/data_change_sink.h"
#include "interfaces/opc_da.h"
#include "interfaces/zyn_ids.h"
#include "platform/com/connpoint.h"
#include "platform/com/filetime.h"
#include "platform/com/object.h"
#include "platform/remote/activation.h"
#include "platform/remote/apartment.h"
#include "platform/remote/connections.h"
#include "platform/remote/paths.h"
#include "tests/remote/child_process.h"

namespace zyn::remote {
namespace {

using Clock = std::chrono::steady_clock;

ULONGLONG Ticks(const FILETIME& ft) {
  return ULONGLONG{ft.dwHighDateTime} << 32 | ft.dwLowDateTime;
}

struct Sample {
  double seconds;  // since the start of the run
  double latencyMs;
};

class Sink final : public DataChangeSink {
 public:
  explicit Sink(Clock::time_point start) : start_(start) {}
  HRESULT OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE*, VARIANT*,
                       WORD*, FILETIME* pftTimeStamps, HRESULT*) override {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    if (dwCount == 0) return S_OK;
    double latency = double(LONGLONG(Ticks(now) - Ticks(pftTimeStamps[0]))) / 10000.0;
    std::lock_guard lock(mutex_);
    samples_.push_back({std::chrono::duration<double>(Clock::now() - start_).count(), latency});
    return S_OK;
  }
  std::vector<Sample> Samples() {
    std::lock_guard lock(mutex_);
    return samples_;
  }

 private:
  Clock::time_point start_;
  std::mutex mutex_;
  std::vector<Sample> samples_;
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * double(v.size())))];
}

// CPU seconds (user + system) and resident kB of a process.
void ProcessUsage(pid_t pid, double* cpuSeconds, long* rssKb) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14) utime = std::stoul(field);
    if (i == 15) {
      stime = std::stoul(field);
      break;
    }
  }
  *cpuSeconds = double(utime + stime) / double(sysconf(_SC_CLK_TCK));
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) *rssKb = std::stol(line.substr(6));
}

int Run(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  const int groups = argc > 2 ? std::atoi(argv[2]) : 10;
  const int items = argc > 3 ? std::atoi(argv[3]) : 100;
  const DWORD rate = argc > 4 ? static_cast<DWORD>(std::atoi(argv[4])) : 100;
  const bool overUnix = argc > 5 && std::string(argv[5]) == "unix";

  char pattern[] = "/tmp/zyn-remote-bench-XXXXXX";
  std::string dir = mkdtemp(pattern);
  setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
  // ZYN_E2E_SERVER in the environment names another build's serving program (for comparing
  // builds back to back).
  const char* serverPath = std::getenv("ZYN_E2E_SERVER");
  Child server(serverPath && *serverPath ? serverPath : ZYN_E2E_SERVER, {});
  std::string ready = server.ReadLine();
  if (ready.rfind("READY ", 0) != 0) {
    std::fprintf(stderr, "server did not start\n");
    return 1;
  }
  const std::string machine = overUnix ? std::string(kMyComputer) : "127.0.0.1:" + ready.substr(6);
  if (!overUnix) {
    std::string key;
    ReadFile(EndpointDir() + "/access.key", &key);
    MakeDirs(MachineDir(machine), 0700);
    WriteFile(MachineDir(machine) + "/access.key", key, 0600);
  }

  ApartmentThread apartment;
  SetDefaultApartment(&apartment.apartment());
  const auto start = Clock::now();
  auto sink = com::MakeObject<Sink>(start);
  std::vector<com::ComPtr<IOPCServer>> servers;
  std::vector<com::ComPtr<IOPCItemMgt>> groupItems;
  const char* paths[] = {"\\Processor(_Total)\\% Processor Time", "\\Memory\\Available Bytes",
                         "\\Memory\\Committed Bytes", "\\System\\Context Switches/sec"};
  {
    com::ComPtr<IOPCServer> server;
    std::string error;
    if (FAILED(ActivateWithTimeLimit(machine, CLSID_ZYNServer, IID_IOPCServer, 10000, E_FAIL,
                                     server.ReleaseAndGetVoidAddressOf(), &error))) {
      std::fprintf(stderr, "activation failed: %s\n", error.c_str());
      return 1;
    }
    for (int g = 0; g < groups; ++g) {
      com::ComPtr<IOPCItemMgt> itemMgt;
      OPCHANDLE handle = 0;
      DWORD revised = 0;
      std::string name = "Group " + std::to_string(g);
      if (FAILED(server->AddGroup(
              name.c_str(), TRUE, rate, g, nullptr, nullptr, 0x409, &handle, &revised,
              IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(itemMgt.ReleaseAndGetAddressOf())))) {
        std::fprintf(stderr, "AddGroup failed\n");
        return 1;
      }
      com::ComPtr<IConnectionPointContainer> container;
      com::ComPtr<IConnectionPoint> point;
      itemMgt.As(&container);
      container->FindConnectionPoint(IID_IOPCDataCallback, point.ReleaseAndGetAddressOf());
      DWORD cookie = 0;
      point->Advise(static_cast<IOPCDataCallback*>(sink.Get()), &cookie);
      std::vector<OPCITEMDEF> defs(static_cast<std::size_t>(items));
      for (int i = 0; i < items; ++i) {
        defs[i] = OPCITEMDEF{};
        defs[i].szItemID = const_cast<LPWSTR>(paths[i % 4]);
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(i);
      }
      OPCITEMRESULT* results = nullptr;
      HRESULT* errors = nullptr;
      if (FAILED(itemMgt->AddItems(static_cast<DWORD>(items), defs.data(), &results, &errors))) {
        std::fprintf(stderr, "AddItems failed\n");
        return 1;
      }
      CoTaskMemFree(results);
      CoTaskMemFree(errors);
      groupItems.push_back(itemMgt);
    }
    servers.push_back(server);
  }
  double cpu0 = 0, cpu1 = 0;
  long rss0 = 0, rss1 = 0;
  ProcessUsage(server.pid(), &cpu0, &rss0);
  const auto measured = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  ProcessUsage(server.pid(), &cpu1, &rss1);
  const double wall = std::chrono::duration<double>(Clock::now() - measured).count();
  const double from = std::chrono::duration<double>(measured - start).count();

  std::vector<double> all, first, last;
  for (const Sample& s : sink->Samples()) {
    if (s.seconds < from + 1) continue;  // the first cycles fill the groups
    all.push_back(s.latencyMs);
    if (s.seconds < from + seconds / 10.0 + 1) first.push_back(s.latencyMs);
    if (s.seconds > from + seconds * 0.9) last.push_back(s.latencyMs);
  }
  std::printf("remote data path over %s: %d groups x %d items at %u ms for %d s\n",
              overUnix ? "the Unix socket" : "TCP+TLS (127.0.0.1)", groups, items, rate, seconds);
  std::printf("callbacks: %zu (%.2f per group per second)\n", all.size(),
              double(all.size()) / (wall - 1) / groups);
  std::printf("latency cycle -> client callback: p50 %.3f ms, p99 %.3f ms\n", Percentile(all, 0.5),
              Percentile(all, 0.99));
  std::printf("  first tenth: p50 %.3f ms, p99 %.3f ms; last tenth: p50 %.3f ms, p99 %.3f ms\n",
              Percentile(first, 0.5), Percentile(first, 0.99), Percentile(last, 0.5),
              Percentile(last, 0.99));
  std::printf("server: CPU %.1f%% of one core, RSS %ld kB -> %ld kB\n",
              100.0 * (cpu1 - cpu0) / wall, rss0, rss1);

  groupItems.clear();
  servers.clear();
  CloseAllConnections();
  SetDefaultApartment(nullptr);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}

}  // namespace
}  // namespace zyn::remote

int main(int argc, char** argv) {
  return zyn::remote::Run(argc, argv);
}
