// Pressure Stall Information: how much time work waits for a resource, from the kernel's PSI
// files /proc/pressure/<resource>. One instance per resource the kernel reports: cpu, memory,
// io and irq (irq needs a kernel built with IRQ time accounting). A kernel without PSI (or
// booted with psi=0, where reading fails) gives the object no instances.
//
// Each file has a "some" line (the share of time at least one task was stalled on the
// resource) and a "full" line (the share of time all non-idle tasks were stalled at once):
//     some avg10=2.98 avg60=3.18 avg300=7.58 total=69809449
// The avgN figures are the kernel's running averages over 10, 60 and 300 seconds, in percent
// with two decimals, shown as they are. "total" is the stalled time in microseconds since
// boot; its change over the interval between two collections gives % Some/Full Stall Time,
// the same share measured over exactly the query's interval. A line the kernel does not
// write (irq has no "some" line; kernels before 5.13 have no "full" line for cpu) reads 0.
#include <algorithm>

#include "platform/perf/catalogue.h"
#include "platform/perf/parse.h"
#include "platform/perf/source.h"

namespace perf::objects {
namespace {

enum Field : FieldId {
  kSome10,  // hundredths of a percent
  kSome60,
  kSome300,
  kSomeTime,  // 100 ns stalled
  kFull10,
  kFull60,
  kFull300,
  kFullTime,
  kHundredPercent,  // 10000: the base that turns hundredths into percent
  kFieldCount
};

constexpr TitleName kNames[] = {
    {6000, "Pressure Stall Information", "Blockierung durch Ressourcenmangel"},
    {6002, "% Some Stalled 10s", "Teilweise blockiert, 10 s (%)"},
    {6004, "% Some Stalled 60s", "Teilweise blockiert, 60 s (%)"},
    {6006, "% Some Stalled 300s", "Teilweise blockiert, 300 s (%)"},
    {6008, "% Full Stalled 10s", "Vollständig blockiert, 10 s (%)"},
    {6010, "% Full Stalled 60s", "Vollständig blockiert, 60 s (%)"},
    {6012, "% Full Stalled 300s", "Vollständig blockiert, 300 s (%)"},
    {6014, "% Some Stall Time", "Teilweise Blockierzeit (%)"},
    {6016, "% Full Stall Time", "Vollständige Blockierzeit (%)"},
};

constexpr const char* kSrc = "/proc/pressure/<resource>";

constexpr CounterDef kCounters[] = {
    {6002, PERF_LARGE_RAW_FRACTION, kSome10, kHundredPercent, kSrc, "some avg10"},
    {6004, PERF_LARGE_RAW_FRACTION, kSome60, kHundredPercent, kSrc, "some avg60"},
    {6006, PERF_LARGE_RAW_FRACTION, kSome300, kHundredPercent, kSrc, "some avg300"},
    {6008, PERF_LARGE_RAW_FRACTION, kFull10, kHundredPercent, kSrc, "full avg10"},
    {6010, PERF_LARGE_RAW_FRACTION, kFull60, kHundredPercent, kSrc, "full avg60"},
    {6012, PERF_LARGE_RAW_FRACTION, kFull300, kHundredPercent, kSrc, "full avg300"},
    {6014, PERF_100NSEC_TIMER, kSomeTime, kNoField, kSrc,
     "100 * delta(some total us) / delta(time us)"},
    {6016, PERF_100NSEC_TIMER, kFullTime, kNoField, kSrc,
     "100 * delta(full total us) / delta(time us)"},
};

constexpr const char* kResources[] = {"cpu", "memory", "io", "irq"};

// Parses one PSI file into `row`. False when it holds no "some" or "full" line.
bool ParsePressure(std::string_view text, std::int64_t* row) {
  bool any = false;
  Scanner s(text);
  while (!s.AtEnd()) {
    Scanner line(s.Line());
    std::string_view kind = line.Word();
    int first = kind == "some" ? kSome10 : kind == "full" ? kFull10 : -1;
    if (first < 0) continue;
    any = true;
    for (;;) {
      line.SkipBlanks();
      if (line.AtLineEnd()) break;
      std::string_view key = line.Until('=');
      if (key == "avg10") {
        row[first] = line.Hundredths();
      } else if (key == "avg60") {
        row[first + 1] = line.Hundredths();
      } else if (key == "avg300") {
        row[first + 2] = line.Hundredths();
      } else if (key == "total") {
        row[first + 3] = static_cast<std::int64_t>(line.U64()) * 10;  // us -> 100 ns
      } else {
        line.Word();  // a field of a later kernel
      }
    }
  }
  return any;
}

class PressureStallSampler final : public ObjectSampler {
 public:
  explicit PressureStallSampler(SourceSet& sources) : sources_(sources) {
    for (int i = 0; i < 4; ++i) {
      files_[i] = sources.Register(std::string("proc/pressure/") + kResources[i]);
    }
  }

  bool Collect(const FieldSet&, InstanceTable& table) override {
    // The files are tiny and tell which resources exist, so they are read even for an
    // enumeration.
    for (int i = 0; i < 4; ++i) {
      std::string_view text;
      if (!sources_.Read(files_[i], text)) continue;
      std::int64_t values[kFieldCount] = {};
      if (!ParsePressure(text, values)) continue;
      std::int64_t* row = table.Add(kResources[i]);
      std::copy(values, values + kFieldCount, row);
      row[kHundredPercent] = 10000;
    }
    return true;
  }

 private:
  SourceSet& sources_;
  int files_[4];
};

constexpr ObjectDef kPressureStall{6000, true, kFieldCount, kCounters, kNames};

}  // namespace

const ObjectProvider& pressure_stall() {
  static const ProviderOf<PressureStallSampler> provider(kPressureStall);
  return provider;
}

}  // namespace perf::objects
