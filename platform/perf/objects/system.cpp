// System: machine-wide scheduler and process figures from /proc/stat, /proc/loadavg,
// /proc/uptime and the process directories of /proc.
//
// Linux has no machine-wide count of file operations or system calls, so File Read/Write
// Operations/sec and System Calls/sec are not offered. The load averages are Linux's own:
// exact to the hundredth as /proc/loadavg prints them, carried as a raw fraction over 10000.
#include <dirent.h>

#include "platform/perf/catalogue.h"
#include "platform/perf/parse.h"
#include "platform/perf/source.h"

namespace perf::objects {
namespace {

enum Field : FieldId {
  kProcesses,
  kThreads,
  kRunnable,
  kBlocked,
  kContextSwitches,
  kForks,
  kBoot,    // 0: the start of System Up Time
  kUptime,  // 100 ns since boot
  kLoad1,
  kLoad5,
  kLoad15,
  kLoadBase,  // 10000, so that the raw fraction gives the load itself
  kFieldCount
};

constexpr FieldSet kStatFields{kRunnable, kBlocked, kContextSwitches, kForks};
constexpr FieldSet kLoadFields{kThreads, kLoad1, kLoad5, kLoad15};

constexpr TitleName kNames[] = {
    {2, "System", nullptr},
    {248, "Processes", "Prozesse"},
    {250, "Threads", nullptr},
    {44, "Processor Queue Length", "Prozessor-Warteschlangenlänge"},
    {5070, "Blocked Processes", "Blockierte Prozesse"},
    {146, "Context Switches/sec", "Kontextwechsel/s"},
    {5072, "Process Creations/sec", "Prozesserstellungen/s"},
    {674, "System Up Time", "Systembetriebszeit"},
    {5074, "Load Average (1 min)", "Durchschnittliche Last (1 Min.)"},
    {5076, "Load Average (5 min)", "Durchschnittliche Last (5 Min.)"},
    {5078, "Load Average (15 min)", "Durchschnittliche Last (15 Min.)"},
};

constexpr CounterDef kCounters[] = {
    {248, PERF_COUNTER_RAWCOUNT, kProcesses, kNoField, "/proc/<pid> directories",
     "number of processes (ps -e | wc -l, less the header)"},
    {250, PERF_COUNTER_RAWCOUNT, kThreads, kNoField, "/proc/loadavg 4th field, after '/'",
     "number of threads (scheduling entities)"},
    {44, PERF_COUNTER_RAWCOUNT, kRunnable, kNoField, "/proc/stat procs_running",
     "runnable threads, running ones included (vmstat r)"},
    {5070, PERF_COUNTER_RAWCOUNT, kBlocked, kNoField, "/proc/stat procs_blocked",
     "threads blocked on I/O (vmstat b)"},
    {146, PERF_COUNTER_COUNTER, kContextSwitches, kNoField, "/proc/stat ctxt",
     "delta ctxt / seconds (vmstat cs)"},
    {5072, PERF_COUNTER_COUNTER, kForks, kNoField, "/proc/stat processes",
     "delta processes (forks since boot) / seconds"},
    {674, PERF_ELAPSED_TIME, kBoot, kUptime, "/proc/uptime first field",
     "seconds since boot (uptime)"},
    {5074, PERF_RAW_FRACTION, kLoad1, kLoadBase, "/proc/loadavg 1st field",
     "100 * (load * 100) / 10000 = load (uptime)"},
    {5076, PERF_RAW_FRACTION, kLoad5, kLoadBase, "/proc/loadavg 2nd field",
     "100 * (load * 100) / 10000 = load (uptime)"},
    {5078, PERF_RAW_FRACTION, kLoad15, kLoadBase, "/proc/loadavg 3rd field",
     "100 * (load * 100) / 10000 = load (uptime)"},
};

bool IsNumber(const char* name) {
  if (*name == '\0') return false;
  for (; *name; ++name) {
    if (*name < '0' || *name > '9') return false;
  }
  return true;
}

class SystemSampler final : public ObjectSampler {
 public:
  explicit SystemSampler(SourceSet& sources)
      : sources_(sources),
        stat_(sources.Register("proc/stat")),
        loadavg_(sources.Register("proc/loadavg")),
        uptime_(sources.Register("proc/uptime")),
        procDir_(sources.Path("proc")) {}

  bool Collect(const FieldSet& needed, InstanceTable& table) override {
    std::int64_t* row = table.Add("");
    row[kLoadBase] = 10000;
    std::string_view text;
    if (needed.Any(kStatFields)) {
      if (!sources_.Read(stat_, text)) return false;
      Scanner s(text);
      while (!s.AtEnd()) {
        if (s.Consume("ctxt ")) {
          row[kContextSwitches] = s.I64();
        } else if (s.Consume("processes ")) {
          row[kForks] = s.I64();
        } else if (s.Consume("procs_running ")) {
          row[kRunnable] = s.I64();
        } else if (s.Consume("procs_blocked ")) {
          row[kBlocked] = s.I64();
        }
        s.SkipLine();
      }
    }
    if (needed.Any(kLoadFields)) {
      if (!sources_.Read(loadavg_, text)) return false;
      Scanner s(text);
      row[kLoad1] = s.Hundredths();
      row[kLoad5] = s.Hundredths();
      row[kLoad15] = s.Hundredths();
      s.SkipBlanks();
      s.Until('/');
      row[kThreads] = s.I64();
    }
    if (needed.Has(kUptime)) {
      if (!sources_.Read(uptime_, text)) return false;
      Scanner s(text);
      row[kUptime] = s.Hundredths() * 100'000;
    }
    if (needed.Has(kProcesses)) row[kProcesses] = CountProcesses();
    return true;
  }

 private:
  std::int64_t CountProcesses() {
    DIR* dir = opendir(procDir_.c_str());
    if (dir == nullptr) return 0;
    std::int64_t n = 0;
    while (dirent* entry = readdir(dir)) {
      if (IsNumber(entry->d_name)) ++n;
    }
    closedir(dir);
    return n;
  }

  SourceSet& sources_;
  int stat_;
  int loadavg_;
  int uptime_;
  std::string procDir_;
};

constexpr ObjectDef kSystem{2, false, kFieldCount, kCounters, kNames};

}  // namespace

const ObjectProvider& system() {
  static const ProviderOf<SystemSampler> provider(kSystem);
  return provider;
}

}  // namespace perf::objects
