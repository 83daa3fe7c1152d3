// LogicalDisk: one instance per mounted local filesystem (a mount whose source is a block
// device under /dev), named by its mount point, and _Total. Space figures come from statvfs as
// df shows them (Avail of Size); the I/O figures are those of the filesystem's device in
// /proc/diskstats (a partition, or the whole disk when the filesystem sits on one).
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <map>

#include "platform/perf/catalogue.h"
#include "platform/perf/objects/diskstats.h"
#include "platform/perf/source.h"

namespace perf::objects {
namespace {

using namespace disk;

enum Field : FieldId { kFreeMB, kSizeMB, kFreeInodes, kInodes, kFirstDiskField };
constexpr auto kFieldCount =
    static_cast<FieldId>(FieldId{kFirstDiskField} + FieldId{kDiskFieldCount});

constexpr FieldSet kSpaceFields{kFreeMB, kSizeMB, kFreeInodes, kInodes};
constexpr FieldSet kDiskFields = DiskFieldSet(kFirstDiskField);

constexpr std::array<TitleName, 4> kOwnNames = {{
    {236, "LogicalDisk", "Logischer Datenträger"},
    {408, "% Free Space", "Freier Speicherplatz (%)"},
    {410, "Free Megabytes", "Freie Megabytes"},
    {5114, "% Free Inodes", "Freie Inodes (%)"},
}};
constexpr auto kNames = JoinTables(kOwnNames, kDiskNames);

constexpr std::array<CounterDef, 3> kOwnCounters = {{
    {408, PERF_RAW_FRACTION, kFreeMB, kSizeMB, "statvfs f_bavail, f_blocks",
     "100 * available MB / size MB (df Avail / Size)"},
    {410, PERF_COUNTER_RAWCOUNT, kFreeMB, kNoField, "statvfs f_bavail",
     "f_bavail * f_frsize / 1048576, whole MB (df -m Avail)"},
    {5114, PERF_LARGE_RAW_FRACTION, kFreeInodes, kInodes, "statvfs f_ffree, f_files",
     "100 * free inodes / inodes (100 - df -i IUse%)"},
}};
constexpr auto kCounters = JoinTables(kOwnCounters, DiskCounters<kFirstDiskField>());

class LogicalDiskSampler final : public ObjectSampler {
 public:
  explicit LogicalDiskSampler(SourceSet& sources)
      : sources_(sources),
        mounts_(sources.Register("proc/mounts")),
        diskstats_(sources.Register("proc/diskstats")) {}

  bool Collect(const FieldSet& needed, InstanceTable& table) override {
    std::string_view text;
    if (!sources_.Read(mounts_, text)) return false;
    if (text != mountsText_) ReadMounts(text);

    bool wantDisk = needed.Any(kDiskFields);
    std::string_view stats;
    if (wantDisk && !sources_.Read(diskstats_, stats)) wantDisk = false;

    for (const Mount& mount : mountList_) {
      std::int64_t* row = table.Add(mount.name);
      if (needed.Any(kSpaceFields)) {
        FsStats fs;
        if (sources_.StatFs(mount.path, fs)) {
          row[kFreeMB] = static_cast<std::int64_t>(fs.blocksAvail * fs.blockSize / 1048576);
          row[kSizeMB] = static_cast<std::int64_t>(fs.blocks * fs.blockSize / 1048576);
          row[kFreeInodes] = static_cast<std::int64_t>(fs.filesFree);
          row[kInodes] = static_cast<std::int64_t>(fs.files);
        }
      }
    }
    if (wantDisk) {
      std::int64_t now = sources_.now();
      Scanner s(stats);
      DiskLine line;
      while (NextDiskLine(s, line)) {
        for (std::size_t i = 0; i < mountList_.size(); ++i) {
          const Mount& mount = mountList_[i];
          bool match = mount.hasDevNumber ? (line.major == mount.major && line.minor == mount.minor)
                                          : line.name == mount.device;
          if (match) FillDiskFields(table.values(i) + kFirstDiskField, line, now);
        }
      }
    }
    FieldSet summed = kSpaceFields;
    for (FieldId f = kFirstDiskField; f < kFieldCount; ++f)
      summed.Add(f);
    table.AddTotal(summed);
    return true;
  }

 private:
  struct Mount {
    std::string name;    // instance name
    std::string path;    // mount point
    std::string device;  // diskstats name, when the device number is unknown
    bool hasDevNumber = false;
    unsigned major = 0;
    unsigned minor = 0;
  };

  // Rebuilt only when /proc/mounts changes.
  void ReadMounts(std::string_view text) {
    mountsText_.assign(text);
    mountList_.clear();
    Scanner s(mountsText_);
    std::string source, path;
    while (!s.AtEnd()) {
      Scanner line(s.Line());
      UnescapeOctal(line.Word(), source);
      UnescapeOctal(line.Word(), path);
      if (!source.starts_with("/dev/") || path.empty()) continue;
      Mount mount;
      mount.path = path;
      SanitizeInstanceName(path, mount.name);
      mount.device = source.substr(source.rfind('/') + 1);
      if (sources_.live()) {
        // The device number behind the mount finds its diskstats line even for /dev/root or
        // /dev/mapper names.
        struct stat st;
        if (::stat(path.c_str(), &st) == 0) {
          mount.hasDevNumber = true;
          mount.major = major(st.st_dev);
          mount.minor = minor(st.st_dev);
        }
      }
      // A later mount on the same point hides the earlier one.
      std::erase_if(mountList_, [&](const Mount& m) { return m.path == mount.path; });
      mountList_.push_back(std::move(mount));
    }
  }

  SourceSet& sources_;
  int mounts_;
  int diskstats_;
  std::string mountsText_;
  std::vector<Mount> mountList_;
};

constexpr ObjectDef kLogicalDisk{236, true, kFieldCount, kCounters, kNames};

}  // namespace

const ObjectProvider& logical_disk() {
  static const ProviderOf<LogicalDiskSampler> provider(kLogicalDisk);
  return provider;
}

}  // namespace perf::objects
