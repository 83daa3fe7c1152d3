// Control Group: one instance per control group of the cgroup v2 hierarchy, named by its path
// below the hierarchy's root ("system.slice/ssh.service"). The root itself is not an
// instance: its figures are the whole machine's, which Processor and Memory show.
//
// The hierarchy is /sys/fs/cgroup when that is cgroup v2 (it holds cgroup.controllers), else
// the v2 part of a hybrid layout, /sys/fs/cgroup/unified. Machines with cgroup v1 only have no
// instances.
//
// Every collection walks the hierarchy afresh, level by level, each directory's groups in name
// order, down to kMaxDepth levels and at most kMaxGroups groups (the shallower groups are kept
// when a machine has more): groups appear and vanish with services and containers. Per group
// it reads only the files the query's counters need. A file a group does not have (a
// controller not enabled for it, or a kernel too old for memory.peak) reads 0, as do limits
// set to "max" (no limit).
//
// The CPU percentages are of one CPU, like a process's: a group using two CPUs fully shows
// 200 % (systemd-cgtop's %CPU), capped to 100 unless the reader asks for uncapped values.
// A group removed and created again under the same path (a restarted service) is another
// group: rows carry the directory's inode, so rates start over. A group removed between the
// walk and the reading of its files is left out of the collection.
//
// Cost: the walk opens every group's directory, and the sampler cannot know which groups the
// query names, so a counter of one group costs the walk plus one file per group: 16 ms for
// 2048 groups measured on a captured tree (7 ms of it the walk), about 8 us per group.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "platform/perf/catalogue.h"
#include "platform/perf/parse.h"
#include "platform/perf/source.h"

namespace perf::objects {
namespace {

constexpr std::size_t kMaxDepth = 8;
constexpr std::size_t kMaxGroups = 2048;

enum Field : FieldId {
  kCpu,  // 100 ns
  kUser,
  kSystem,
  kThrottledTime,
  kThrottledPeriods,
  kMemoryCurrent,
  kMemoryPeak,
  kMemoryHigh,
  kMemoryMax,
  kSwapCurrent,
  kIoReadBytes,
  kIoWriteBytes,
  kIoReadOps,
  kIoWriteOps,
  kProcesses,
  kCpuSomeStall,  // 100 ns
  kMemorySomeStall,
  kMemoryFullStall,
  kIoSomeStall,
  kIoFullStall,
  kFieldCount
};

constexpr FieldSet kCpuStatFields{kCpu, kUser, kSystem, kThrottledTime, kThrottledPeriods};
constexpr FieldSet kIoStatFields{kIoReadBytes, kIoWriteBytes, kIoReadOps, kIoWriteOps};

constexpr TitleName kNames[] = {
    {6100, "Control Group", "Kontrollgruppe"},
    {6, "% Processor Time", "Prozessorzeit (%)"},
    {142, "% User Time", "Benutzerzeit (%)"},
    {144, "% Privileged Time", "Privilegierte Zeit (%)"},
    {6102, "% Throttled Time", "Gedrosselte Zeit (%)"},
    {6104, "Throttled Periods/sec", "Gedrosselte Perioden/s"},
    {6106, "Memory Current Bytes", "Aktueller Speicher (Bytes)"},
    {6108, "Memory Peak Bytes", "Speicherspitze (Bytes)"},
    {6110, "Memory High Bytes", "Speicherdrosselgrenze (Bytes)"},
    {6112, "Memory Max Bytes", "Speichergrenze (Bytes)"},
    {6114, "Memory Swap Bytes", "Auslagerungsspeicher (Bytes)"},
    {1420, "IO Read Bytes/sec", "E/A-Bytes gelesen/s"},
    {1422, "IO Write Bytes/sec", "E/A-Bytes geschrieben/s"},
    {1412, "IO Read Operations/sec", "E/A-Lesevorgänge/s"},
    {1414, "IO Write Operations/sec", "E/A-Schreibvorgänge/s"},
    {248, "Processes", "Prozesse"},
    {6116, "% CPU Some Stall Time", "CPU, teilweise Blockierzeit (%)"},
    {6118, "% Memory Some Stall Time", "Speicher, teilweise Blockierzeit (%)"},
    {6120, "% Memory Full Stall Time", "Speicher, vollständige Blockierzeit (%)"},
    {6122, "% IO Some Stall Time", "E/A, teilweise Blockierzeit (%)"},
    {6124, "% IO Full Stall Time", "E/A, vollständige Blockierzeit (%)"},
};

constexpr CounterDef kCounters[] = {
    {6, PERF_100NSEC_TIMER, kCpu, kNoField, "cpu.stat usage_usec",
     "100 * delta(usage_usec) / delta(time us) (systemd-cgtop %CPU)"},
    {142, PERF_100NSEC_TIMER, kUser, kNoField, "cpu.stat user_usec",
     "100 * delta(user_usec) / delta(time us)"},
    {144, PERF_100NSEC_TIMER, kSystem, kNoField, "cpu.stat system_usec",
     "100 * delta(system_usec) / delta(time us)"},
    {6102, PERF_100NSEC_TIMER, kThrottledTime, kNoField, "cpu.stat throttled_usec",
     "100 * delta(throttled_usec) / delta(time us): time held back by cpu.max"},
    {6104, PERF_COUNTER_COUNTER, kThrottledPeriods, kNoField, "cpu.stat nr_throttled",
     "delta(nr_throttled) / seconds", PERF_DETAIL_ADVANCED},
    {6106, PERF_COUNTER_LARGE_RAWCOUNT, kMemoryCurrent, kNoField, "memory.current",
     "bytes charged to the group now (systemd-cgtop Memory)"},
    {6108, PERF_COUNTER_LARGE_RAWCOUNT, kMemoryPeak, kNoField, "memory.peak",
     "highest memory.current seen; 0 when the kernel has no memory.peak"},
    {6110, PERF_COUNTER_LARGE_RAWCOUNT, kMemoryHigh, kNoField, "memory.high",
     "throttling limit in bytes; 0 for max (none)", PERF_DETAIL_ADVANCED},
    {6112, PERF_COUNTER_LARGE_RAWCOUNT, kMemoryMax, kNoField, "memory.max",
     "hard limit in bytes; 0 for max (none)"},
    {6114, PERF_COUNTER_LARGE_RAWCOUNT, kSwapCurrent, kNoField, "memory.swap.current",
     "swap in use by the group, bytes"},
    {1420, PERF_COUNTER_BULK_COUNT, kIoReadBytes, kNoField, "io.stat rbytes",
     "delta(sum of rbytes over devices) / seconds (systemd-cgtop Input/s)"},
    {1422, PERF_COUNTER_BULK_COUNT, kIoWriteBytes, kNoField, "io.stat wbytes",
     "delta(sum of wbytes over devices) / seconds (systemd-cgtop Output/s)"},
    {1412, PERF_COUNTER_BULK_COUNT, kIoReadOps, kNoField, "io.stat rios",
     "delta(sum of rios over devices) / seconds"},
    {1414, PERF_COUNTER_BULK_COUNT, kIoWriteOps, kNoField, "io.stat wios",
     "delta(sum of wios over devices) / seconds"},
    {248, PERF_COUNTER_RAWCOUNT, kProcesses, kNoField, "cgroup.procs",
     "lines of cgroup.procs: processes in the group itself (systemd-cgtop Tasks counts "
     "threads of the whole subtree)"},
    {6116, PERF_100NSEC_TIMER, kCpuSomeStall, kNoField, "cpu.pressure some total",
     "100 * delta(some total us) / delta(time us)", PERF_DETAIL_ADVANCED},
    {6118, PERF_100NSEC_TIMER, kMemorySomeStall, kNoField, "memory.pressure some total",
     "100 * delta(some total us) / delta(time us)", PERF_DETAIL_ADVANCED},
    {6120, PERF_100NSEC_TIMER, kMemoryFullStall, kNoField, "memory.pressure full total",
     "100 * delta(full total us) / delta(time us)", PERF_DETAIL_ADVANCED},
    {6122, PERF_100NSEC_TIMER, kIoSomeStall, kNoField, "io.pressure some total",
     "100 * delta(some total us) / delta(time us)", PERF_DETAIL_ADVANCED},
    {6124, PERF_100NSEC_TIMER, kIoFullStall, kNoField, "io.pressure full total",
     "100 * delta(full total us) / delta(time us)", PERF_DETAIL_ADVANCED},
};

// The "some" and "full" totals of a PSI file, in 100 ns.
void ParsePressureTotals(std::string_view text, std::int64_t& some, std::int64_t& full) {
  Scanner s(text);
  while (!s.AtEnd()) {
    Scanner line(s.Line());
    std::string_view kind = line.Word();
    std::int64_t* out = kind == "some" ? &some : kind == "full" ? &full : nullptr;
    if (out == nullptr) continue;
    for (;;) {
      line.SkipBlanks();
      if (line.AtLineEnd()) break;
      if (line.Consume("total=")) {
        *out = static_cast<std::int64_t>(line.U64()) * 10;
        break;
      }
      line.Word();
    }
  }
}

class ControlGroupSampler final : public ObjectSampler {
 public:
  explicit ControlGroupSampler(SourceSet& sources) : sources_(sources) {}

  bool Collect(const FieldSet& needed, InstanceTable& table) override {
    if (!FindRoot()) return true;  // no cgroup v2 hierarchy: no instances
    Walk();
    for (const Group& group : groups_) {
      std::int64_t values[kFieldCount] = {};
      vanished_ = false;
      if (!needed.Empty()) Fill(group, needed, values);
      if (vanished_) continue;  // removed since the walk: no row of zeros
      SanitizeInstanceName(group.rel, name_);
      std::int64_t* row = table.Add(name_, group.inode);
      std::copy(values, values + kFieldCount, row);
    }
    return true;
  }

 private:
  struct Group {
    std::string rel;  // path below the root
    std::uint64_t inode = 0;
    std::size_t depth = 0;
  };

  bool FindRoot() {
    for (const char* candidate : {"sys/fs/cgroup", "sys/fs/cgroup/unified"}) {
      std::string root = sources_.Path(candidate);
      struct stat st;
      if (::stat((root + "/cgroup.controllers").c_str(), &st) == 0) {
        root_ = std::move(root);
        return true;
      }
    }
    return false;
  }

  // Lists the groups breadth first, each directory's children in name order.
  void Walk() {
    groups_.clear();
    Group top;
    ListChildren(top);
    for (std::size_t i = 0; i < groups_.size() && groups_.size() < kMaxGroups; ++i) {
      if (groups_[i].depth < kMaxDepth) ListChildren(groups_[i]);
    }
  }

  void ListChildren(const Group& parent) {
    std::string dirPath = root_;
    if (!parent.rel.empty()) dirPath += "/" + parent.rel;
    DIR* dir = opendir(dirPath.c_str());
    if (dir == nullptr) return;  // removed while we walked
    children_.clear();
    while (dirent* entry = readdir(dir)) {
      std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      bool isDir = entry->d_type == DT_DIR;
      if (entry->d_type == DT_UNKNOWN) {
        struct stat st;
        isDir = fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISDIR(st.st_mode);
      }
      if (isDir) children_.emplace_back(std::string(name), entry->d_ino);
    }
    closedir(dir);
    std::sort(children_.begin(), children_.end());
    // `parent` may live in groups_, which grows below.
    std::string prefix = parent.rel.empty() ? std::string() : parent.rel + "/";
    std::size_t depth = parent.depth + 1;
    for (auto& [name, inode] : children_) {
      if (groups_.size() >= kMaxGroups) break;
      groups_.push_back(Group{prefix + name, inode, depth});
    }
  }

  // Reads the group's file `leaf`; false when it is missing or unreadable. Notes in
  // vanished_ when the reason is that the group itself is gone.
  bool Read(const Group& group, const char* leaf, std::string_view& text) {
    path_ = root_;
    path_ += '/';
    path_ += group.rel;
    path_ += '/';
    path_ += leaf;
    if (ReadWholeFile(path_.c_str(), buffer_, text)) return true;
    path_.resize(path_.size() - std::strlen(leaf) - 1);
    struct stat st;
    if (::stat(path_.c_str(), &st) != 0) vanished_ = true;
    return false;
  }

  // A byte count or limit file: a number, or "max" for none (0).
  std::int64_t ReadBytes(const Group& group, const char* leaf) {
    std::string_view text;
    if (!Read(group, leaf, text)) return 0;
    return static_cast<std::int64_t>(Scanner(text).U64());
  }

  void Fill(const Group& group, const FieldSet& needed, std::int64_t* row) {
    std::string_view text;
    if (needed.Any(kCpuStatFields) && Read(group, "cpu.stat", text)) {
      static constexpr std::string_view keys[] = {"usage_usec", "user_usec", "system_usec",
                                                  "throttled_usec", "nr_throttled"};
      std::int64_t v[5] = {};
      ParseKeyedNumbers(text, keys, 5, v);
      row[kCpu] = v[0] * 10;
      row[kUser] = v[1] * 10;
      row[kSystem] = v[2] * 10;
      row[kThrottledTime] = v[3] * 10;
      row[kThrottledPeriods] = v[4];
    }
    if (needed.Has(kMemoryCurrent)) row[kMemoryCurrent] = ReadBytes(group, "memory.current");
    if (needed.Has(kMemoryPeak)) row[kMemoryPeak] = ReadBytes(group, "memory.peak");
    if (needed.Has(kMemoryHigh)) row[kMemoryHigh] = ReadBytes(group, "memory.high");
    if (needed.Has(kMemoryMax)) row[kMemoryMax] = ReadBytes(group, "memory.max");
    if (needed.Has(kSwapCurrent)) row[kSwapCurrent] = ReadBytes(group, "memory.swap.current");
    if (needed.Any(kIoStatFields) && Read(group, "io.stat", text)) {
      // "8:0 rbytes=1 wbytes=2 rios=3 wios=4 dbytes=0 dios=0", one line per device.
      Scanner s(text);
      while (!s.AtEnd()) {
        Scanner line(s.Line());
        line.Word();  // major:minor
        for (;;) {
          line.SkipBlanks();
          if (line.AtLineEnd()) break;
          std::string_view key = line.Until('=');
          auto value = static_cast<std::int64_t>(line.U64());
          if (key == "rbytes")
            row[kIoReadBytes] += value;
          else if (key == "wbytes")
            row[kIoWriteBytes] += value;
          else if (key == "rios")
            row[kIoReadOps] += value;
          else if (key == "wios")
            row[kIoWriteOps] += value;
          else
            line.Word();  // a value that is not a plain number
        }
      }
    }
    if (needed.Has(kProcesses) && Read(group, "cgroup.procs", text)) {
      std::int64_t lines = 0;
      for (char c : text)
        lines += c == '\n';
      if (!text.empty() && text.back() != '\n') ++lines;
      row[kProcesses] = lines;
    }
    std::int64_t unused = 0;
    if (needed.Has(kCpuSomeStall) && Read(group, "cpu.pressure", text)) {
      ParsePressureTotals(text, row[kCpuSomeStall], unused);
    }
    if ((needed.Has(kMemorySomeStall) || needed.Has(kMemoryFullStall)) &&
        Read(group, "memory.pressure", text)) {
      ParsePressureTotals(text, row[kMemorySomeStall], row[kMemoryFullStall]);
    }
    if ((needed.Has(kIoSomeStall) || needed.Has(kIoFullStall)) &&
        Read(group, "io.pressure", text)) {
      ParsePressureTotals(text, row[kIoSomeStall], row[kIoFullStall]);
    }
  }

  SourceSet& sources_;
  std::string root_;
  std::vector<Group> groups_;
  std::vector<std::pair<std::string, std::uint64_t>> children_;
  std::string name_;
  std::string path_;
  std::vector<char> buffer_;
  bool vanished_ = false;
};

constexpr ObjectDef kControlGroup{6100, true, kFieldCount, kCounters, kNames};

}  // namespace

const ObjectProvider& control_group() {
  static const ProviderOf<ControlGroupSampler> provider(kControlGroup);
  return provider;
}

}  // namespace perf::objects
