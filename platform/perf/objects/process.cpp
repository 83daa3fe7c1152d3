// Process: one instance per process, named by its command name (/proc/<pid>/stat comm) with
// Windows' "#1", "#2" numbering for processes that share a name (in pid order), and _Total.
//
// Each collection lists /proc once and reads per process only the files the query's counters
// need: stat always (it gives the name), statm for private memory, status for the peaks and
// swapped memory, io for
// the I/O counters, the fd directory for the handle count. On the live machine the descriptors
// of a process's files stay open between collections (within a budget of descriptors) and are
// re-read with pread; a descriptor of a process that has exited reads as an error, so a reused
// pid is never mistaken for the old process. Files a user may not read (another user's io or
// fd when not privileged) count as zero.
#include <dirent.h>
#include <errno.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <unordered_map>

#include "platform/perf/catalogue.h"
#include "platform/perf/parse.h"
#include "platform/perf/source.h"

namespace perf::objects {
namespace {

enum Field : FieldId {
  kCpu,
  kUser,
  kPrivileged,
  kWorkingSet,
  kVirtual,
  kPageFaults,
  kThreads,
  kPid,
  kParent,
  kStart,
  kPriority,
  kWorkingSetPeak,
  kPrivate,
  kVirtualPeak,
  kPageFileBytes,
  kHandles,
  kUptime,
  kIoReadOps,
  kIoWriteOps,
  kIoDataOps,
  kIoReadBytes,
  kIoWriteBytes,
  kIoDataBytes,
  kDiskReadBytes,
  kDiskWriteBytes,
  kFieldCount
};

constexpr FieldSet kStatusFields{kWorkingSetPeak, kVirtualPeak, kPageFileBytes};
constexpr FieldSet kStatmFields{kPrivate};
constexpr FieldSet kIoFields{kIoReadOps,    kIoWriteOps,  kIoDataOps,     kIoReadBytes,
                             kIoWriteBytes, kIoDataBytes, kDiskReadBytes, kDiskWriteBytes};
// Fields whose sum over all processes means something; the rest of _Total stays 0.
constexpr FieldSet kSummed{kCpu,          kUser,        kPrivileged,    kWorkingSet,
                           kVirtual,      kPageFaults,  kThreads,       kWorkingSetPeak,
                           kPrivate,      kVirtualPeak, kPageFileBytes, kHandles,
                           kIoReadOps,    kIoWriteOps,  kIoDataOps,     kIoReadBytes,
                           kIoWriteBytes, kIoDataBytes, kDiskReadBytes, kDiskWriteBytes};

constexpr TitleName kNames[] = {
    {230, "Process", "Prozess"},
    {6, "% Processor Time", "Prozessorzeit (%)"},
    {142, "% User Time", "Benutzerzeit (%)"},
    {144, "% Privileged Time", "Privilegierte Zeit (%)"},
    {180, "Working Set", "Arbeitsseiten"},
    {178, "Working Set Peak", "Max. Arbeitsseiten"},
    {186, "Private Bytes", "Private Bytes"},
    {174, "Virtual Bytes", "Virtuelle Bytes"},
    {172, "Virtual Bytes Peak", "Max. virtuelle Bytes"},
    {28, "Page Faults/sec", "Seitenfehler/s"},
    {184, "Page File Bytes", "Auslagerungsdatei (Bytes)"},
    {680, "Thread Count", "Threadanzahl"},
    {952, "Handle Count", "Handleanzahl"},
    {784, "ID Process", "Prozesskennung"},
    {1410, "Creating Process ID", "Erstellende Prozesskennung"},
    {684, "Elapsed Time", "Verstrichene Zeit"},
    {682, "Priority Base", "Basispriorität"},
    {1412, "IO Read Operations/sec", "E/A-Lesevorgänge/s"},
    {1414, "IO Write Operations/sec", "E/A-Schreibvorgänge/s"},
    {1416, "IO Data Operations/sec", "E/A-Datenvorgänge/s"},
    {1420, "IO Read Bytes/sec", "E/A-Bytes gelesen/s"},
    {1422, "IO Write Bytes/sec", "E/A-Bytes geschrieben/s"},
    {1424, "IO Data Bytes/sec", "E/A-Datenbytes/s"},
    {220, "Disk Read Bytes/sec", "Bytes gelesen/s"},
    {222, "Disk Write Bytes/sec", "Bytes geschrieben/s"},
};

constexpr CounterDef kCounters[] = {
    {6, PERF_100NSEC_TIMER, kCpu, kNoField, "/proc/<pid>/stat utime, stime",
     "100 * delta(utime + stime) / delta(time) (pidstat %CPU)"},
    {142, PERF_100NSEC_TIMER, kUser, kNoField, "/proc/<pid>/stat utime",
     "100 * delta(utime) / delta(time) (pidstat %usr)"},
    {144, PERF_100NSEC_TIMER, kPrivileged, kNoField, "/proc/<pid>/stat stime",
     "100 * delta(stime) / delta(time) (pidstat %system)"},
    {180, PERF_COUNTER_LARGE_RAWCOUNT, kWorkingSet, kNoField, "/proc/<pid>/stat rss",
     "rss pages * page size (ps RSS * 1024)"},
    {178, PERF_COUNTER_LARGE_RAWCOUNT, kWorkingSetPeak, kNoField, "/proc/<pid>/status VmHWM",
     "VmHWM kB * 1024"},
    {186, PERF_COUNTER_LARGE_RAWCOUNT, kPrivate, kNoField, "/proc/<pid>/status RssAnon, VmSwap",
     "(RssAnon + VmSwap) kB * 1024"},
    {174, PERF_COUNTER_LARGE_RAWCOUNT, kVirtual, kNoField, "/proc/<pid>/stat vsize",
     "vsize bytes (ps VSZ * 1024)"},
    {172, PERF_COUNTER_LARGE_RAWCOUNT, kVirtualPeak, kNoField, "/proc/<pid>/status VmPeak",
     "VmPeak kB * 1024"},
    {28, PERF_COUNTER_COUNTER, kPageFaults, kNoField, "/proc/<pid>/stat minflt, majflt",
     "delta(minflt + majflt) / seconds (pidstat minflt/s + majflt/s)"},
    {184, PERF_COUNTER_LARGE_RAWCOUNT, kPageFileBytes, kNoField, "/proc/<pid>/status VmSwap",
     "VmSwap kB * 1024"},
    {680, PERF_COUNTER_RAWCOUNT, kThreads, kNoField, "/proc/<pid>/stat num_threads",
     "threads (ps nlwp)"},
    {952, PERF_COUNTER_RAWCOUNT, kHandles, kNoField, "/proc/<pid>/fd",
     "open file descriptors (ls /proc/<pid>/fd | wc -l)"},
    {784, PERF_COUNTER_RAWCOUNT, kPid, kNoField, "/proc/<pid>/stat pid", "pid (ps pid)"},
    {1410, PERF_COUNTER_RAWCOUNT, kParent, kNoField, "/proc/<pid>/stat ppid",
     "parent pid (ps ppid)"},
    {684, PERF_ELAPSED_TIME, kStart, kUptime, "/proc/<pid>/stat starttime, /proc/uptime",
     "uptime - starttime / USER_HZ, seconds (ps etimes)"},
    {682, PERF_COUNTER_RAWCOUNT, kPriority, kNoField, "/proc/<pid>/stat nice",
     "20 - nice: 20 normal, higher is more favoured (ps ni)"},
    {1412, PERF_COUNTER_BULK_COUNT, kIoReadOps, kNoField, "/proc/<pid>/io syscr",
     "delta(syscr) / seconds (read system calls)"},
    {1414, PERF_COUNTER_BULK_COUNT, kIoWriteOps, kNoField, "/proc/<pid>/io syscw",
     "delta(syscw) / seconds (write system calls)"},
    {1416, PERF_COUNTER_BULK_COUNT, kIoDataOps, kNoField, "/proc/<pid>/io syscr, syscw",
     "delta(syscr + syscw) / seconds"},
    {1420, PERF_COUNTER_BULK_COUNT, kIoReadBytes, kNoField, "/proc/<pid>/io rchar",
     "delta(rchar) / seconds (bytes read by system calls, all devices)"},
    {1422, PERF_COUNTER_BULK_COUNT, kIoWriteBytes, kNoField, "/proc/<pid>/io wchar",
     "delta(wchar) / seconds (bytes written by system calls, all devices)"},
    {1424, PERF_COUNTER_BULK_COUNT, kIoDataBytes, kNoField, "/proc/<pid>/io rchar, wchar",
     "delta(rchar + wchar) / seconds"},
    {220, PERF_COUNTER_BULK_COUNT, kDiskReadBytes, kNoField, "/proc/<pid>/io read_bytes",
     "delta(read_bytes) / seconds (pidstat -d kB_rd/s * 1024)", PERF_DETAIL_ADVANCED},
    {222, PERF_COUNTER_BULK_COUNT, kDiskWriteBytes, kNoField, "/proc/<pid>/io write_bytes",
     "delta(write_bytes) / seconds (pidstat -d kB_wr/s * 1024)", PERF_DETAIL_ADVANCED},
};

// Descriptors kept open for per-process files, across all queries: at most a quarter of the
// process's descriptor limit, so a busy machine cannot exhaust it.
std::atomic<int> keptDescriptors{0};

int DescriptorBudget() {
  static const int budget = [] {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1024;
    return static_cast<int>(std::clamp<rlim_t>(limit.rlim_cur / 4, 16, 16384));
  }();
  return budget;
}

// Linux 6.2 and later give the number of open descriptors as the size of /proc/<pid>/fd, which
// costs a fifth of listing the directory; older kernels say 0. This process has descriptors
// open, so its own directory tells which kind of kernel this is.
bool KernelSizesFdDirectories() {
  static const bool sized = [] {
    struct stat st;
    return ::stat("/proc/self/fd", &st) == 0 && st.st_size > 0;
  }();
  return sized;
}

// One per-process file, kept open while the budget allows. A file the kernel refuses (another
// user's io without the privilege to trace it) is not asked for again while the process lives.
class ProcFile {
 public:
  ProcFile() = default;
  ProcFile(const ProcFile&) = delete;
  ProcFile& operator=(const ProcFile&) = delete;
  ~ProcFile() { Reset(); }

  bool Read(const std::string& path, bool live, std::string_view& text) {
    if (refused_) return false;
    if (!open_) {
      bool keep = live && keptDescriptors.fetch_add(1) < DescriptorBudget();
      if (live && !keep) keptDescriptors.fetch_sub(1);
      kept_ = keep;
      file_ = SourceFile(path, keep);
      open_ = true;
    }
    if (file_.Read(text)) return true;
    refused_ = errno == EACCES || errno == EPERM;
    return false;
  }
  void Reset() {
    file_.Close();
    if (kept_) keptDescriptors.fetch_sub(1);
    kept_ = false;
    open_ = false;
    refused_ = false;
  }

 private:
  SourceFile file_;
  bool open_ = false;
  bool kept_ = false;
  bool refused_ = false;
};

struct ProcessFiles {
  ProcFile stat;
  ProcFile statm;
  ProcFile status;
  ProcFile io;
  std::uint64_t key = 0;  // of the process the files were opened for
  std::uint64_t generation = 0;
};

class ProcessSampler final : public ObjectSampler {
 public:
  explicit ProcessSampler(SourceSet& sources)
      : sources_(sources),
        uptime_(sources.Register("proc/uptime")),
        procDir_(sources.Path("proc")),
        tick_(10'000'000 / SourceSet::ClockTicksPerSecond()),
        page_(SourceSet::PageSize()) {}

  bool Collect(const FieldSet& needed, InstanceTable& table) override {
    ++generation_;
    if (!ListPids()) return false;
    std::int64_t uptime = 0;
    if (needed.Has(kUptime)) {
      std::string_view text;
      if (sources_.Read(uptime_, text)) uptime = Scanner(text).Hundredths() * 100'000;
    }
    bool wantStatm = needed.Any(kStatmFields);
    bool wantStatus = needed.Any(kStatusFields);
    bool wantIo = needed.Any(kIoFields);
    bool wantHandles = needed.Has(kHandles);
    for (int pid : pids_) {
      ProcessFiles& files = files_[pid];
      files.generation = generation_;
      SetPath(pid, "/stat");
      std::string_view text;
      if (!files.stat.Read(path_, sources_.live(), text)) {
        // A kept descriptor of a process that has exited fails even if the pid is in use
        // again: open afresh once.
        files.stat.Reset();
        if (!files.stat.Read(path_, sources_.live(), text)) continue;  // gone since listed
      }
      if (!AddFromStat(pid, text, table)) continue;
      if (files.key != table.key(table.size() - 1)) {
        files.key = table.key(table.size() - 1);
        files.statm.Reset();
        files.status.Reset();
        files.io.Reset();
      }
      std::int64_t* row = table.values(table.size() - 1);
      row[kUptime] = uptime;
      if (wantStatm) {
        // size resident shared text lib data dt, in pages.
        SetPath(pid, "/statm");
        if (files.statm.Read(path_, sources_.live(), text)) {
          Scanner statm(text);
          for (int i = 0; i < 5; ++i)
            statm.U64();
          row[kPrivate] = static_cast<std::int64_t>(statm.U64()) * page_;
        }
      }
      if (wantStatus) {
        SetPath(pid, "/status");
        if (files.status.Read(path_, sources_.live(), text)) {
          static constexpr std::string_view keys[] = {"VmPeak", "VmHWM", "VmSwap"};
          std::int64_t v[3] = {};
          ParseKeyedNumbers(text, keys, 3, v);
          row[kVirtualPeak] = v[0];
          row[kWorkingSetPeak] = v[1];
          row[kPageFileBytes] = v[2];
        }
      }
      if (wantIo) {
        SetPath(pid, "/io");
        if (files.io.Read(path_, sources_.live(), text)) {
          static constexpr std::string_view keys[] = {"rchar", "wchar",      "syscr",
                                                      "syscw", "read_bytes", "write_bytes"};
          std::int64_t v[6] = {};
          ParseKeyedNumbers(text, keys, 6, v);
          row[kIoReadBytes] = v[0];
          row[kIoWriteBytes] = v[1];
          row[kIoDataBytes] = v[0] + v[1];
          row[kIoReadOps] = v[2];
          row[kIoWriteOps] = v[3];
          row[kIoDataOps] = v[2] + v[3];
          row[kDiskReadBytes] = v[4];
          row[kDiskWriteBytes] = v[5];
        }
      }
      if (wantHandles) row[kHandles] = CountDescriptors(pid);
    }
    // Forget the files of processes that are gone.
    std::erase_if(files_,
                  [this](const auto& entry) { return entry.second.generation != generation_; });
    table.AddTotal(kSummed);
    return true;
  }

 private:
  bool ListPids() {
    pids_.clear();
    DIR* dir = opendir(procDir_.c_str());
    if (dir == nullptr) return false;
    while (dirent* entry = readdir(dir)) {
      const char* p = entry->d_name;
      int pid = 0;
      for (; *p >= '0' && *p <= '9' && pid < 100'000'000; ++p)
        pid = pid * 10 + (*p - '0');
      if (*p == '\0' && pid > 0) pids_.push_back(pid);
    }
    closedir(dir);
    std::sort(pids_.begin(), pids_.end());
    return true;
  }

  void SetPath(int pid, const char* file) {
    path_ = procDir_;
    path_ += '/';
    char digits[16];
    std::size_t n = sizeof digits;
    do {
      digits[--n] = static_cast<char>('0' + pid % 10);
      pid /= 10;
    } while (pid != 0);
    path_.append(digits + n, sizeof digits - n);
    path_ += file;
  }

  // Parses /proc/<pid>/stat and adds the process's row. The command name stands in
  // parentheses and may itself hold spaces and parentheses, so it ends at the last ")".
  bool AddFromStat(int pid, std::string_view text, InstanceTable& table) {
    std::size_t open = text.find('(');
    std::size_t close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
      return false;
    }
    SanitizeInstanceName(text.substr(open + 1, close - open - 1), name_);
    Scanner s(text.substr(close + 1));
    s.Word();  // state
    std::int64_t f[22] = {};
    // Fields 4 to 24 of stat(5): ppid ... rss; f[i] is field i + 4.
    for (int i = 0; i < 21; ++i)
      f[i] = s.I64();
    std::int64_t ppid = f[0], minflt = f[6], majflt = f[8], utime = f[10], stime = f[11];
    std::int64_t nice = f[15], threads = f[16], start = f[18], vsize = f[19], rss = f[20];
    std::uint64_t key = (static_cast<std::uint64_t>(pid) << 40) ^ static_cast<std::uint64_t>(start);
    std::int64_t* row = table.Add(name_, key ? key : 1);
    row[kUser] = utime * tick_;
    row[kPrivileged] = stime * tick_;
    row[kCpu] = (utime + stime) * tick_;
    row[kWorkingSet] = rss * page_;
    row[kVirtual] = vsize;
    row[kPageFaults] = minflt + majflt;
    row[kThreads] = threads;
    row[kPid] = pid;
    row[kParent] = ppid;
    row[kStart] = start * tick_;
    row[kPriority] = 20 - nice;
    return true;
  }

  std::int64_t CountDescriptors(int pid) {
    SetPath(pid, "/fd");
    if (sources_.live() && KernelSizesFdDirectories()) {
      struct stat st;
      if (::stat(path_.c_str(), &st) != 0) return 0;
      return static_cast<std::int64_t>(st.st_size);
    }
    DIR* dir = opendir(path_.c_str());
    if (dir == nullptr) return 0;
    std::int64_t n = 0;
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ++n;
    }
    closedir(dir);
    return n;
  }

  SourceSet& sources_;
  int uptime_;
  std::string procDir_;
  std::int64_t tick_;
  std::int64_t page_;
  std::uint64_t generation_ = 0;
  std::vector<int> pids_;
  std::unordered_map<int, ProcessFiles> files_;
  std::string path_;
  std::string name_;
};

constexpr ObjectDef kProcess{230, true, kFieldCount, kCounters, kNames};

}  // namespace

const ObjectProvider& process() {
  static const ProviderOf<ProcessSampler> provider(kProcess);
  return provider;
}

}  // namespace perf::objects
