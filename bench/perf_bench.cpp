// What collecting and formatting counters costs, per 1000 values, on the live machine.
//
//   perf_bench --benchmark_counters_tabular=true
//
// "per_1000_values" is CPU time (user and system, so the kernel's work of producing /proc
// text counts too) for collecting the query once and formatting every counter once, divided
// into thousands of values.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/perf/pdh.h"

namespace {

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
  for (const char* p = list.c_str(); !list.empty() && *p; p += std::strlen(p) + 1) {
    out.emplace_back(p);
  }
  return out;
}

// Every path of `object`: each instance with each counter.
std::vector<std::string> PathsOf(const char* object) {
  std::vector<std::string> paths;
  std::vector<std::string> instances = List(object, true);
  std::vector<std::string> counters = List(object, false);
  if (instances.empty()) instances.emplace_back();
  for (const std::string& instance : instances) {
    for (const std::string& counter : counters) {
      paths.push_back(std::string("\\") + object + (instance.empty() ? "" : "(" + instance + ")") +
                      "\\" + counter);
    }
  }
  return paths;
}

class Query {
 public:
  explicit Query(const std::vector<std::string>& paths) {
    PdhOpenQuery(nullptr, 0, &query_);
    for (const std::string& path : paths) {
      PDH_HCOUNTER counter = nullptr;
      if (PdhAddCounter(query_, path.c_str(), 0, &counter) == ERROR_SUCCESS) {
        counters_.push_back(counter);
      }
    }
    PdhCollectQueryData(query_);
  }
  ~Query() { PdhCloseQuery(query_); }

  // One collection and one formatted read of every counter; returns how many had a value
  // (a processor's percentages have none while its clock has not ticked since the last cycle).
  std::size_t Cycle() {
    PdhCollectQueryData(query_);
    std::size_t valid = 0;
    for (PDH_HCOUNTER counter : counters_) {
      PDH_FMT_COUNTERVALUE value;
      if (PdhGetFormattedCounterValue(counter, PDH_FMT_DOUBLE, nullptr, &value) == 0) ++valid;
      benchmark::DoNotOptimize(value);
    }
    return valid;
  }
  std::size_t size() const { return counters_.size(); }

 private:
  PDH_HQUERY query_ = nullptr;
  std::vector<PDH_HCOUNTER> counters_;
};

void Report(benchmark::State& state, std::size_t values, std::size_t valid) {
  state.counters["values"] = static_cast<double>(values);
  state.counters["valid"] = static_cast<double>(valid);
  // Seconds of CPU per 1000 values (an inverted rate over the iteration's CPU time).
  state.counters["per_1000_values"] = benchmark::Counter(
      static_cast<double>(values) / 1000.0,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// 1000 counters across the objects without Process, repeating instances and counters.
void BM_Thousand_NoProcess(benchmark::State& state) {
  std::vector<std::string> all;
  for (const char* object :
       {"Processor", "Memory", "System", "Paging File", "PhysicalDisk", "LogicalDisk"}) {
    for (std::string& path : PathsOf(object))
      all.push_back(std::move(path));
  }
  std::vector<std::string> paths;
  for (std::size_t i = 0; paths.size() < 1000; ++i)
    paths.push_back(all[i % all.size()]);
  Query query(paths);
  std::size_t valid = 0;
  for (auto _ : state)
    valid = query.Cycle();
  Report(state, query.size(), valid);
}
BENCHMARK(BM_Thousand_NoProcess)->Unit(benchmark::kMillisecond);

// Every Process counter of every process.
void BM_Process_AllCounters(benchmark::State& state) {
  Query query(PathsOf("Process"));
  std::size_t valid = 0;
  for (auto _ : state)
    valid = query.Cycle();
  Report(state, query.size(), valid);
}
BENCHMARK(BM_Process_AllCounters)->Unit(benchmark::kMillisecond);

// The usual Process counters (CPU, memory, threads) of every process: stat and status only.
void BM_Process_Common(benchmark::State& state) {
  std::vector<std::string> paths;
  for (const std::string& instance : List("Process", true)) {
    for (const char* counter : {"% Processor Time", "Working Set", "Private Bytes", "Thread Count",
                                "ID Process", "Page Faults/sec"}) {
      paths.push_back("\\Process(" + instance + ")\\" + counter);
    }
  }
  Query query(paths);
  std::size_t valid = 0;
  for (auto _ : state)
    valid = query.Cycle();
  Report(state, query.size(), valid);
}
BENCHMARK(BM_Process_Common)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
