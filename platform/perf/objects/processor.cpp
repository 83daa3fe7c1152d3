// Processor: one instance per online CPU ("0", "1", ...) and _Total, from /proc/stat.
//
// The time base of every percentage is the CPU's own clock: the sum of the jiffies it spent in
// all states (user, nice, system, idle, iowait, irq, softirq, steal), which is how mpstat
// divides, so the states add up to exactly 100 % and never exceed it. Guest time is already
// inside user and nice. The busy time behind % Processor Time is user + nice + system + irq +
// softirq, so % Processor Time = % User Time + % Privileged Time as on Windows; the rest of the
// interval is idle, waiting for I/O, or stolen by the hypervisor.
#include <algorithm>

#include "platform/perf/catalogue.h"
#include "platform/perf/parse.h"
#include "platform/perf/source.h"

namespace perf::objects {
namespace {

enum Field : FieldId {
  kTime,        // all states
  kNotBusy,     // idle + iowait + steal
  kUser,        // user + nice
  kPrivileged,  // system + irq + softirq
  kInterrupt,   // irq
  kDpc,         // softirq
  kIdle,
  kIoWait,
  kSteal,
  kNice,
  kGuest,  // guest + guest_nice
  kInterrupts,
  kSoftIrqs,
  kFieldCount
};

constexpr TitleName kNames[] = {
    {238, "Processor", "Prozessor"},
    {6, "% Processor Time", "Prozessorzeit (%)"},
    {142, "% User Time", "Benutzerzeit (%)"},
    {144, "% Privileged Time", "Privilegierte Zeit (%)"},
    {698, "% Interrupt Time", "Interruptzeit (%)"},
    {1334, "% DPC Time", "DPC-Zeit (%)"},
    {1746, "% Idle Time", "Leerlaufzeit (%)"},
    {5040, "% IO Wait Time", "E/A-Wartezeit (%)"},
    {5042, "% Steal Time", "Entzogene Zeit (%)"},
    {5044, "% Nice Time", "Nice-Zeit (%)"},
    {5046, "% Guest Time", "Gastzeit (%)"},
    {148, "Interrupts/sec", "Interrupts/s"},
    {1336, "DPCs Queued/sec", "DPCs in Warteschlange/s"},
};

constexpr CounterDef kCounters[] = {
    {6, PERF_100NSEC_TIMER_INV, kNotBusy, kTime, "/proc/stat cpuN",
     "100 * (1 - delta(idle + iowait + steal) / delta(all states))"},
    {142, PERF_100NSEC_TIMER, kUser, kTime, "/proc/stat cpuN user, nice",
     "100 * delta(user + nice) / delta(all states) (mpstat %usr + %nice + %guest + %gnice)"},
    {144, PERF_100NSEC_TIMER, kPrivileged, kTime, "/proc/stat cpuN system, irq, softirq",
     "100 * delta(system + irq + softirq) / delta(all states) (mpstat %sys + %irq + %soft)"},
    {698, PERF_100NSEC_TIMER, kInterrupt, kTime, "/proc/stat cpuN irq",
     "100 * delta(irq) / delta(all states) (mpstat %irq)"},
    {1334, PERF_100NSEC_TIMER, kDpc, kTime, "/proc/stat cpuN softirq",
     "100 * delta(softirq) / delta(all states) (mpstat %soft)"},
    {1746, PERF_100NSEC_TIMER, kIdle, kTime, "/proc/stat cpuN idle",
     "100 * delta(idle) / delta(all states) (mpstat %idle)"},
    {5040, PERF_100NSEC_TIMER, kIoWait, kTime, "/proc/stat cpuN iowait",
     "100 * delta(iowait) / delta(all states) (mpstat %iowait)"},
    {5042, PERF_100NSEC_TIMER, kSteal, kTime, "/proc/stat cpuN steal",
     "100 * delta(steal) / delta(all states) (mpstat %steal)"},
    {5044, PERF_100NSEC_TIMER, kNice, kTime, "/proc/stat cpuN nice",
     "100 * delta(nice) / delta(all states) (mpstat %nice + %gnice)", PERF_DETAIL_ADVANCED},
    {5046, PERF_100NSEC_TIMER, kGuest, kTime, "/proc/stat cpuN guest, guest_nice",
     "100 * delta(guest + guest_nice) / delta(all states) (mpstat %guest + %gnice)",
     PERF_DETAIL_ADVANCED},
    {148, PERF_COUNTER_COUNTER, kInterrupts, kNoField,
     "/proc/interrupts column of the CPU; _Total: /proc/stat intr",
     "delta(interrupts) / seconds (mpstat -I SUM intr/s)"},
    {1336, PERF_COUNTER_COUNTER, kSoftIrqs, kNoField,
     "/proc/softirqs column of the CPU; _Total: /proc/stat softirq", "delta(softirqs) / seconds",
     PERF_DETAIL_ADVANCED},
};

constexpr FieldSet kInterruptFields{kInterrupts};
constexpr FieldSet kSoftIrqFields{kSoftIrqs};

// Adds the per-CPU columns of /proc/interrupts or /proc/softirqs into `sums`, indexed like the
// header's "CPUn" names (mapped to CPU numbers in `cpuOfColumn`).
void SumColumns(std::string_view text, std::vector<int>& cpuOfColumn,
                std::vector<std::int64_t>& sums) {
  Scanner s(text);
  cpuOfColumn.clear();
  Scanner header(s.Line());
  for (;;) {
    std::string_view word = header.Word();
    if (word.empty()) break;
    Scanner number(word.substr(std::min<std::size_t>(3, word.size())));
    cpuOfColumn.push_back(static_cast<int>(number.U64()));
  }
  while (!s.AtEnd()) {
    Scanner line(s.Line());
    line.Word();  // "NN:" or "LOC:"
    for (std::size_t column = 0; column < cpuOfColumn.size(); ++column) {
      line.SkipBlanks();
      char c = line.Peek();
      if (c < '0' || c > '9') break;  // a row with fewer columns (ERR, MIS) or the description
      std::uint64_t v = line.U64();
      auto cpu = static_cast<std::size_t>(cpuOfColumn[column]);
      if (cpu < sums.size()) sums[cpu] += static_cast<std::int64_t>(v);
    }
  }
}

class ProcessorSampler final : public ObjectSampler {
 public:
  explicit ProcessorSampler(SourceSet& sources)
      : sources_(sources),
        stat_(sources.Register("proc/stat")),
        interrupts_(sources.Register("proc/interrupts")),
        softirqs_(sources.Register("proc/softirqs")),
        tick_(10'000'000 / SourceSet::ClockTicksPerSecond()) {}

  bool Collect(const FieldSet& needed, InstanceTable& table) override {
    std::string_view text;
    if (!sources_.Read(stat_, text)) return false;
    Scanner s(text);
    cpus_.clear();
    std::int64_t total[kFieldCount] = {};
    bool haveTotal = false;
    std::int64_t intrTotal = 0, softTotal = 0;
    while (!s.AtEnd()) {
      if (s.Consume("cpu")) {
        bool isTotal = s.Peek() == ' ';
        std::uint64_t cpu = isTotal ? 0 : s.U64();
        std::int64_t v[10] = {};
        for (auto& x : v)
          x = static_cast<std::int64_t>(s.U64()) * tick_;
        std::int64_t* row = isTotal ? total : Row(table, cpu);
        Fill(row, v);
        if (isTotal) haveTotal = true;
      } else if (s.Consume("intr ")) {
        intrTotal = static_cast<std::int64_t>(s.U64());
      } else if (s.Consume("softirq ")) {
        softTotal = static_cast<std::int64_t>(s.U64());
      }
      s.SkipLine();
    }
    if (!haveTotal) return false;

    if (needed.Any(kInterruptFields)) AddColumns(interrupts_, table, kInterrupts);
    if (needed.Any(kSoftIrqFields)) AddColumns(softirqs_, table, kSoftIrqs);

    std::int64_t* row = table.Add("_Total");
    std::copy(total, total + kFieldCount, row);
    row[kInterrupts] = intrTotal;
    row[kSoftIrqs] = softTotal;
    return true;
  }

 private:
  // v: user, nice, system, idle, iowait, irq, softirq, steal, guest, guest_nice (100 ns).
  static void Fill(std::int64_t* row, const std::int64_t* v) {
    row[kTime] = v[0] + v[1] + v[2] + v[3] + v[4] + v[5] + v[6] + v[7];
    row[kNotBusy] = v[3] + v[4] + v[7];
    row[kUser] = v[0] + v[1];
    row[kPrivileged] = v[2] + v[5] + v[6];
    row[kInterrupt] = v[5];
    row[kDpc] = v[6];
    row[kIdle] = v[3];
    row[kIoWait] = v[4];
    row[kSteal] = v[7];
    row[kNice] = v[1];
    row[kGuest] = v[8] + v[9];
  }

  // A row named by the CPU number, without allocation.
  std::int64_t* Row(InstanceTable& table, std::uint64_t cpu) {
    cpus_.push_back(cpu);
    char digits[24];
    std::size_t n = sizeof digits;
    do {
      digits[--n] = static_cast<char>('0' + cpu % 10);
      cpu /= 10;
    } while (cpu != 0);
    return table.Add(std::string_view(digits + n, sizeof digits - n));
  }

  void AddColumns(int file, InstanceTable& table, FieldId field) {
    std::string_view text;
    if (!sources_.Read(file, text)) return;
    std::uint64_t maxCpu = 0;
    for (std::uint64_t cpu : cpus_)
      maxCpu = std::max(maxCpu, cpu);
    sums_.assign(maxCpu + 1, 0);
    SumColumns(text, cpuOfColumn_, sums_);
    for (std::size_t row = 0; row < cpus_.size(); ++row) {
      table.values(row)[field] = sums_[cpus_[row]];
    }
  }

  SourceSet& sources_;
  int stat_;
  int interrupts_;
  int softirqs_;
  std::int64_t tick_;                // 100 ns per jiffy
  std::vector<std::uint64_t> cpus_;  // CPU number of each row
  std::vector<int> cpuOfColumn_;
  std::vector<std::int64_t> sums_;
};

constexpr ObjectDef kProcessor{238, true, kFieldCount, kCounters, kNames};

}  // namespace

const ObjectProvider& processor() {
  static const ProviderOf<ProcessorSampler> provider(kProcessor);
  return provider;
}

}  // namespace perf::objects
