// What the OPC group engine costs on top of sampling: one group of 1000 items on the live
// machine, deadband 0 (every value is sent every cycle), with a sink that counts values.
//
//   group_bench --benchmark_counters_tabular=true
//
// Counters (all per cycle of 1000 items):
//   sampling_cpu_ms  CPU of what any sampler must do: one collection of the group's query and one
//                    formatted read of each counter, run between the group's cycles;
//   cycle_cpu_ms     CPU of the update thread for a whole cycle: waking, sampling, building the
//                    value sets and calling the sink (measured with the thread's own clock);
//   engine_cpu_ms    the difference, cycle by cycle: what the engine adds to sampling;
// each a median over the run, so that the odd cycle disturbed by other work does not count.
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
#include <thread>
#include <vector>

#include "interfaces/data_change_sink.h"
#include "platform/com/taskmem.h"
#include "platform/perf/pdh.h"
#include "platform/perf/perf.h"
#include "server/catalogue.h"
#include "server/group_engine.h"
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
class CountingSink final : public DataChangeSink {
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

// The sampling every cycle needs, done by hand: one collection of the group's own query and one
// formatted read of each of its counters, under the group lock like a cycle. Using the group's
// query rather than a copy matters: its counters were added one by one among the group's other
// allocations, and where they lie in memory shows in what every read costs.
class Sampler {
 public:
  explicit Sampler(OpcGroup* group) : engine_(group->Engine()) {}

  // One round; the calling thread's CPU for it, in ms.
  double RoundCpuMs() {
    std::lock_guard lock(engine_->mutex);
    const double start = ThreadCpuMs();
    PdhCollectQueryData(engine_->query);
    for (const GroupEngine::SamplingEntry& entry : engine_->sampling) {
      double value = 0;
      benchmark::DoNotOptimize(SampleCounter(entry.counter, &value));
    }
    return ThreadCpuMs() - start;
  }

 private:
  std::shared_ptr<GroupEngine> engine_;
};

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

// Sampling alone, back to back (warm caches), for comparison.
void BM_SamplingOnly(benchmark::State& state) {
  Fixture f;
  Sampler sampler(f.group.Get());
  for (auto _ : state)
    sampler.RoundCpuMs();
  state.counters["counters"] = static_cast<double>(f.paths.size());
}
BENCHMARK(BM_SamplingOnly)->Unit(benchmark::kMillisecond);

// Cycles are started one at a time by a rate change (which runs a cycle at once), kGap apart so
// that rate counters (whose kernel sources tick every 10 ms) have a new value every time and all
// 1000 values are sent. A sampling round of the same counters runs kGap before each cycle, so
// both meet caches equally cold; the counters are medians. The benchmark's time is from the
// start of a cycle to the return of its callback.
constexpr std::chrono::milliseconds kGap{25};

void BM_GroupTriggeredCycle(benchmark::State& state) {
  Fixture f;
  Sampler sampler(f.group.Get());
  DWORD rate = kHour;
  CountingSink::Seen last = f.sink->Now();
  std::vector<double> sampling, cycle, engine;
  for (auto _ : state) {
    std::this_thread::sleep_for(kGap);
    const double round = sampler.RoundCpuMs();
    std::this_thread::sleep_for(kGap);
    rate = rate == kHour ? kHour + 1 : kHour;
    const auto start = std::chrono::steady_clock::now();
    f.SetRate(rate);
    CountingSink::Seen seen = f.sink->WaitForCall(last.calls);
    state.SetIterationTime(std::chrono::duration<double>(seen.returned - start).count());
    if (last.calls > 0) {
      sampling.push_back(round);
      cycle.push_back(seen.cpuMs - last.cpuMs);
      engine.push_back(cycle.back() - round);
    }
    last = seen;
  }
  state.counters["items"] = static_cast<double>(f.paths.size());
  state.counters["values_per_cycle"] =
      static_cast<double>(last.values) / static_cast<double>(std::max<std::size_t>(last.calls, 1));
  state.counters["sampling_cpu_ms"] = Median(sampling);
  state.counters["cycle_cpu_ms"] = Median(cycle);
  state.counters["engine_cpu_ms"] = Median(engine);
}
BENCHMARK(BM_GroupTriggeredCycle)->UseManualTime()->Iterations(100)->Unit(benchmark::kMillisecond);

// The group running on its own at 100 ms; each iteration is one period. Halfway between two
// cycles the benchmark's thread runs a sampling round of the same counters for comparison.
void BM_GroupPeriodic100ms(benchmark::State& state) {
  Fixture f;
  Sampler sampler(f.group.Get());
  f.SetRate(100);
  CountingSink::Seen last = f.sink->WaitForCall(f.sink->Now().calls);
  const CountingSink::Seen first = last;
  std::vector<double> sampling, cycle, engine;
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double round = sampler.RoundCpuMs();
    CountingSink::Seen seen = f.sink->WaitForCall(last.calls);
    sampling.push_back(round);
    cycle.push_back((seen.cpuMs - last.cpuMs) / static_cast<double>(seen.calls - last.calls));
    engine.push_back(cycle.back() - round);
    last = seen;
  }
  state.counters["values_per_cycle"] =
      static_cast<double>(last.values - first.values) /
      static_cast<double>(std::max<std::size_t>(last.calls - first.calls, 1));
  state.counters["sampling_cpu_ms"] = Median(sampling);
  state.counters["cycle_cpu_ms"] = Median(cycle);
  state.counters["engine_cpu_ms"] = Median(engine);
}
BENCHMARK(BM_GroupPeriodic100ms)->Iterations(40)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
