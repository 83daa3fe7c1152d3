// PhysicalDisk: one instance per whole block device of /proc/diskstats (the devices listed in
// /sys/block; partitions are LogicalDisk's business) and _Total. Loop, RAM and zram devices
// that never did any I/O are left out, as iostat leaves them out by default.
#include <sys/stat.h>

#include <map>

#include "platform/perf/catalogue.h"
#include "platform/perf/objects/diskstats.h"
#include "platform/perf/source.h"

namespace perf::objects {
namespace {

using namespace disk;

constexpr std::array<TitleName, 1> kOwnNames = {
    {{234, "PhysicalDisk", "Physikalischer Datenträger"}}};
constexpr auto kNames = JoinTables(kOwnNames, kDiskNames);
constexpr auto kCounters = DiskCounters<0>();

bool IdleWhenUnused(std::string_view name) {
  return name.starts_with("loop") || name.starts_with("ram") || name.starts_with("zram");
}

class PhysicalDiskSampler final : public ObjectSampler {
 public:
  explicit PhysicalDiskSampler(SourceSet& sources)
      : sources_(sources), diskstats_(sources.Register("proc/diskstats")) {}

  bool Collect(const FieldSet&, InstanceTable& table) override {
    std::string_view text;
    if (!sources_.Read(diskstats_, text)) return false;
    Scanner s(text);
    DiskLine line;
    std::int64_t now = sources_.now();
    while (NextDiskLine(s, line)) {
      if (!IsWholeDisk(line.name)) continue;
      if (IdleWhenUnused(line.name) && line.v[0] == 0 && line.v[4] == 0) continue;
      SanitizeInstanceName(line.name, name_);
      FillDiskFields(table.Add(name_), line, now);
    }
    table.AddTotal(DiskFieldSet(0));
    return true;
  }

 private:
  // Whole disks have a directory in /sys/block; the answer is kept per device name.
  bool IsWholeDisk(std::string_view name) {
    auto it = wholeDisk_.find(name);
    if (it != wholeDisk_.end()) return it->second;
    std::string path = sources_.Path("sys/block/");
    path += name;
    struct stat st;
    bool whole = ::stat(path.c_str(), &st) == 0;
    wholeDisk_.emplace(std::string(name), whole);
    return whole;
  }

  SourceSet& sources_;
  int diskstats_;
  std::map<std::string, bool, std::less<>> wholeDisk_;
  std::string name_;
};

constexpr ObjectDef kPhysicalDisk{234, true, kDiskFieldCount, kCounters, kNames};

}  // namespace

const ObjectProvider& physical_disk() {
  static const ProviderOf<PhysicalDiskSampler> provider(kPhysicalDisk);
  return provider;
}

}  // namespace perf::objects
