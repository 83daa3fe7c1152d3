// What the OPC group engine costs on top of sampling: one group of 1000 items on the live
// machine, deadband 0 (every value is sent every cycle), with a sink that counts values.
//
//   group_bench --benchmark_counters_tabular=true
//
// Counters (all per cycle of 1000 items):
//   sampling_cpu_ms  CPU of what any sampler must do: one collection of a query holding the same
//                    counters and one formatted read of each;
//   cycle_cpu_ms     CPU of the update thread for a whole cycle: waking, sampling, building the
//                    value sets and calling the sink (measured with the thread's own clock);
//   engine_cpu_ms    the difference: what the engine adds to sampling;
//   latency_ms       (GroupTriggeredCycle, as the benchmark's time) from the start of a cycle
//                    to the return of its callback.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/taskmem.h"
#include "platform/perf/pdh.h"
#include "platform/perf/perf.h"
#include "server/catalogue.h"
#include "server/opc_group.h"

namespace {

constexpr std::size_t kItems = 1000;
constexpr DWORD kHour = 3'600'000;

double ThreadCpuMs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

std::vector<std::string> List(const char* object, bool instances) {
  DWORD counterChars = 0, instanceChars = 0;
  PdhEnumObjectItems(nullptr, nullptr, object, nullptr, &counterChars, nullptr, &instanceChars,
                     PERF_DETAIL_WIZARD, 0);
  std::string counters(counterChars, '\0'), instanceList(instanceChars, '\0');
  PdhEnumObjectItems(nullptr, nullptr, object, counters.data(), &counterChars,
                     instanceChars ? instanceList.data() : nullptr, &instanceChars,
                     PERF_DETAIL_WIZARD, 0);
  const std::string& list = instances ? instanceList : counters;
  std::vector<std::string> out;
  for (const char* p = list.c_str(); !list.empty() && *p; p += std::strlen(p) + 1)
    out.emplace_back(p);
  return out;
}

// 1000 counter paths of the live machine: every counter of a few system-wide objects, repeated
// until there are enough (a group may hold the same counter more than once).
std::vector<std::string> ItemPaths() {
  std::vector<std::string> distinct;
  for (const char* object : {"Memory", "Processor", "System"}) {
    std::vector<std::string> instances = List(object, true);
    if (instances.empty()) instances.emplace_back();
    for (const std::string& instance : instances) {
      for (const std::string& counter : List(object, false)) {
        distinct.push_back(std::string("\\") + object +
                           (instance.empty() ? "" : "(" + instance + ")") + "\\" + counter);
      }
    }
  }
  std::vector<std::string> paths;
  for (std::size_t i = 0; !distinct.empty() && paths.size() < kItems; ++i)
    paths.push_back(distinct[i % distinct.size()]);
  return paths;
}

// Counts values, and notes the update thread's CPU clock and the time at each return.
class CountingSink final : public com::ComObject<IOPCDataCallback> {
 public:
  HRESULT OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE*,
                       VARIANT* pvValues, WORD*, FILETIME*, HRESULT*) override {
    double sum = 0;
    for (DWORD i = 0; i < dwCount; ++i)
      sum += pvValues[i].dblVal;
    benchmark::DoNotOptimize(sum);
    const double cpu = ThreadCpuMs();
    {
      std::lock_guard lock(mutex_);
      values_ += dwCount;
      ++calls_;
      lastCpuMs_ = cpu;
      lastReturn_ = std::chrono::steady_clock::now();
    }
    changed_.notify_all();
    return S_OK;
  }
  HRESULT OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                         FILETIME*, HRESULT*) override {
    return S_OK;
  }
  HRESULT OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
    return S_OK;
  }
  HRESULT OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

  struct Seen {
    std::size_t calls;
    std::size_t values;
    double cpuMs;
    std::chrono::steady_clock::time_point returned;
  };
  Seen WaitForCall(std::size_t afterCalls) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return calls_ > afterCalls; });
    return Seen{calls_, values_, lastCpuMs_, lastReturn_};
  }
  Seen Now() {
    std::lock_guard lock(mutex_);
    return Seen{calls_, values_, lastCpuMs_, lastReturn_};
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t calls_ = 0;
  std::size_t values_ = 0;
  double lastCpuMs_ = 0;
  std::chrono::steady_clock::time_point lastReturn_;
};

class NoHost final : public GroupHost {
 public:
  bool IsGroupNameInTable(std::string_view) override { return false; }
  void RefreshCatalogue() override {}
};

// One group of 1000 items at deadband 0 with a counting sink; starts at an hour's rate, so
// only what the benchmark triggers runs.
struct Fixture {
  Fixture() {
    perf::SetUiLanguage("en");
    paths = ItemPaths();
    group = OpcGroup::Create(&host, 1, ServerLocale());
    DWORD rate = kHour, revised = 0;
    FLOAT deadband = 0;
    group->SetState(&rate, &revised, nullptr, nullptr, &deadband, nullptr, nullptr);
    sink = com::MakeObject<CountingSink>();
    com::ComPtr<IConnectionPoint> point;
    group->FindConnectionPoint(IID_IOPCDataCallback, point.ReleaseAndGetAddressOf());
    point->Advise(sink->Identity(), &cookie);
    std::vector<OPCITEMDEF> defs(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
      defs[i].szItemID = const_cast<LPWSTR>(paths[i].c_str());
      defs[i].bActive = TRUE;
      defs[i].hClient = static_cast<OPCHANDLE>(i);
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    group->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
  }

  void SetRate(DWORD rate) {
    DWORD revised = 0;
    group->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr);
  }

  CatalogueQueryScope catalogue;
  NoHost host;
  std::vector<std::string> paths;
  com::ComPtr<OpcGroup> group;
  com::ComPtr<CountingSink> sink;
  DWORD cookie = 0;
};

// The sampling every cycle needs, done by hand on a query of the same counters: one collection
// and one formatted read per counter. CPU per round, in ms.
double SamplingCpuMs(const std::vector<std::string>& paths, int rounds) {
  PDH_HQUERY query = nullptr;
  PdhOpenQuery(nullptr, 0, &query);
  std::vector<PDH_HCOUNTER> counters;
  for (const std::string& path : paths) {
    PDH_HCOUNTER counter = nullptr;
    if (PdhAddCounter(query, path.c_str(), 0, &counter) == ERROR_SUCCESS)
      counters.push_back(counter);
  }
  PdhCollectQueryData(query);
  const double start = ThreadCpuMs();
  for (int r = 0; r < rounds; ++r) {
    PdhCollectQueryData(query);
    for (PDH_HCOUNTER counter : counters) {
      double value = 0;
      benchmark::DoNotOptimize(SampleCounter(counter, &value));
    }
  }
  const double perRound = (ThreadCpuMs() - start) / rounds;
  PdhCloseQuery(query);
  return perRound;
}

// Sampling alone, for comparison: collection and formatting of 1000 counters.
void BM_SamplingOnly(benchmark::State& state) {
  perf::SetUiLanguage("en");
  std::vector<std::string> paths = ItemPaths();
  PDH_HQUERY query = nullptr;
  PdhOpenQuery(nullptr, 0, &query);
  std::vector<PDH_HCOUNTER> counters;
  for (const std::string& path : paths) {
    PDH_HCOUNTER counter = nullptr;
    if (PdhAddCounter(query, path.c_str(), 0, &counter) == ERROR_SUCCESS)
      counters.push_back(counter);
  }
  PdhCollectQueryData(query);
  for (auto _ : state) {
    PdhCollectQueryData(query);
    for (PDH_HCOUNTER counter : counters) {
      double value = 0;
      benchmark::DoNotOptimize(SampleCounter(counter, &value));
    }
  }
  state.counters["counters"] = static_cast<double>(counters.size());
  PdhCloseQuery(query);
}
BENCHMARK(BM_SamplingOnly)->Unit(benchmark::kMillisecond);

// One periodic cycle at a time, started by a rate change (which runs a cycle at once); the
// benchmark's time is from the start of the cycle to the return of its callback.
void BM_GroupTriggeredCycle(benchmark::State& state) {
  Fixture f;
  const double sampling = SamplingCpuMs(f.paths, 50);
  DWORD rate = kHour;
  CountingSink::Seen last = f.sink->Now();
  double cycleCpu = 0;
  std::size_t cycles = 0;
  for (auto _ : state) {
    rate = rate == kHour ? kHour + 1 : kHour;
    const auto start = std::chrono::steady_clock::now();
    f.SetRate(rate);
    CountingSink::Seen seen = f.sink->WaitForCall(last.calls);
    state.SetIterationTime(std::chrono::duration<double>(seen.returned - start).count());
    if (last.calls > 0) {
      cycleCpu += seen.cpuMs - last.cpuMs;
      ++cycles;
    }
    last = seen;
  }
  const double perCycle = cycles ? cycleCpu / cycles : 0;
  state.counters["items"] = static_cast<double>(f.paths.size());
  state.counters["values_per_cycle"] =
      static_cast<double>(last.values) / static_cast<double>(std::max<std::size_t>(last.calls, 1));
  state.counters["sampling_cpu_ms"] = sampling;
  state.counters["cycle_cpu_ms"] = perCycle;
  state.counters["engine_cpu_ms"] = perCycle - sampling;
}
BENCHMARK(BM_GroupTriggeredCycle)->UseManualTime()->Unit(benchmark::kMillisecond);

// The group running on its own at 100 ms; each iteration is one period. The time is the
// period itself (about 100 ms); the counters give the thread's CPU per cycle.
void BM_GroupPeriodic100ms(benchmark::State& state) {
  Fixture f;
  const double sampling = SamplingCpuMs(f.paths, 50);
  f.SetRate(100);
  CountingSink::Seen last = f.sink->WaitForCall(f.sink->Now().calls);
  const CountingSink::Seen first = last;
  for (auto _ : state)
    last = f.sink->WaitForCall(last.calls);
  const std::size_t cycles = last.calls - first.calls;
  const double perCycle = cycles ? (last.cpuMs - first.cpuMs) / cycles : 0;
  state.counters["sampling_cpu_ms"] = sampling;
  state.counters["cycle_cpu_ms"] = perCycle;
  state.counters["engine_cpu_ms"] = perCycle - sampling;
}
BENCHMARK(BM_GroupPeriodic100ms)->Iterations(30)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
