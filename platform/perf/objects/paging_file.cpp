// Paging File: one instance per swap area of /proc/swaps (named by its file or device) and
// _Total.
//
// Linux keeps no peak of swap use, so % Usage Peak is the highest use this process has seen
// for the area since it first looked at it (across all queries), not since boot.
#include <map>
#include <mutex>

#include "platform/perf/catalogue.h"
#include "platform/perf/parse.h"
#include "platform/perf/source.h"

namespace perf::objects {
namespace {

enum Field : FieldId { kUsed, kSize, kPeak, kUsedBytes, kSizeBytes, kFieldCount };

constexpr TitleName kNames[] = {
    {700, "Paging File", "Auslagerungsdatei"},    {702, "% Usage", "Belegung (%)"},
    {704, "% Usage Peak", "Belegungsspitze (%)"}, {5100, "Usage Bytes", "Belegung (Bytes)"},
    {5102, "Size Bytes", "Größe (Bytes)"},
};

constexpr CounterDef kCounters[] = {
    {702, PERF_RAW_FRACTION, kUsed, kSize, "/proc/swaps Used, Size (kB)", "100 * Used / Size"},
    {704, PERF_RAW_FRACTION, kPeak, kSize, "/proc/swaps Used, Size (kB)",
     "100 * highest Used seen by this process / Size"},
    {5100, PERF_COUNTER_LARGE_RAWCOUNT, kUsedBytes, kNoField, "/proc/swaps Used (kB)",
     "Used * 1024 (swapon --show USED)"},
    {5102, PERF_COUNTER_LARGE_RAWCOUNT, kSizeBytes, kNoField, "/proc/swaps Size (kB)",
     "Size * 1024 (swapon --show SIZE)"},
};

// Highest use seen per swap area, shared by all queries of the process.
struct Peaks {
  std::mutex mutex;
  std::map<std::string, std::int64_t, std::less<>> used;
};

Peaks& ProcessPeaks() {
  static Peaks* peaks = new Peaks();  // outlives every static destructor
  return *peaks;
}

// The peak of `instance` of the data source `root`, after taking `used` into account.
std::int64_t UpdatePeak(const std::string& root, std::string_view instance, std::int64_t used) {
  Peaks& peaks = ProcessPeaks();
  std::string key = root;
  key += '\0';
  key += instance;
  std::lock_guard lock(peaks.mutex);
  auto it = peaks.used.find(key);
  if (it == peaks.used.end()) it = peaks.used.emplace(std::string(key), used).first;
  if (used > it->second) it->second = used;
  return it->second;
}

class PagingFileSampler final : public ObjectSampler {
 public:
  explicit PagingFileSampler(SourceSet& sources)
      : sources_(sources), swaps_(sources.Register("proc/swaps")) {}

  bool Collect(const FieldSet& needed, InstanceTable& table) override {
    std::string_view text;
    if (!sources_.Read(swaps_, text)) return false;
    Scanner s(text);
    s.SkipLine();  // header
    while (!s.AtEnd()) {
      Scanner line(s.Line());
      std::string_view file = line.Word();
      if (file.empty()) continue;
      line.Word();  // type
      std::int64_t size = line.I64();
      std::int64_t used = line.I64();
      UnescapeOctal(file, raw_);
      SanitizeInstanceName(raw_, name_);
      std::int64_t* row = table.Add(name_);
      row[kUsed] = used;
      row[kSize] = size;
      row[kUsedBytes] = used * 1024;
      row[kSizeBytes] = size * 1024;
      if (needed.Has(kPeak)) row[kPeak] = UpdatePeak(sources_.root(), name_, used);
    }
    std::int64_t* total = table.AddTotal({kUsed, kSize, kUsedBytes, kSizeBytes});
    if (needed.Has(kPeak)) {
      // Instance names hold no backslash, so this key is apart from every area's.
      total[kPeak] = UpdatePeak(sources_.root(), "\\_Total", total[kUsed]);
    }
    return true;
  }

 private:
  SourceSet& sources_;
  int swaps_;
  std::string raw_;
  std::string name_;
};

constexpr ObjectDef kPagingFile{700, true, kFieldCount, kCounters, kNames};

}  // namespace

const ObjectProvider& paging_file() {
  static const ProviderOf<PagingFileSampler> provider(kPagingFile);
  return provider;
}

}  // namespace perf::objects
