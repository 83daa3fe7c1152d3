// Memory: physical memory, commit charge, cache and paging, from /proc/meminfo and /proc/vmstat.
//
// Windows' memory counters map onto Linux as `free` and `vmstat` see memory: "available" is
// MemAvailable (what `free` shows as available), the commit charge is Committed_AS against
// CommitLimit, the cache is free's buff/cache column, the pools are the kernel's slab, and
// paging is swap traffic.
#include "platform/perf/catalogue.h"
#include "platform/perf/parse.h"
#include "platform/perf/source.h"

namespace perf::objects {
namespace {

enum Field : FieldId {
  kAvailable,
  kAvailableKB,
  kAvailableMB,
  kCommitted,
  kCommitLimit,
  kCommittedKB,
  kCommitLimitKB,
  kCache,
  kPoolPaged,
  kPoolNonpaged,
  kFree,
  kTotal,
  kUsed,
  kBuffers,
  kShared,
  kDirty,
  kPageTables,
  kSwapTotal,
  kSwapFree,
  kPageFaults,
  kMajorFaults,
  kPagesIn,
  kPagesOut,
  kPages,
  kFieldCount
};

// Fields read from /proc/meminfo and from /proc/vmstat.
constexpr FieldSet kMeminfoFields{
    kAvailable, kAvailableKB, kAvailableMB,  kCommitted, kCommitLimit, kCommittedKB, kCommitLimitKB,
    kCache,     kPoolPaged,   kPoolNonpaged, kFree,      kTotal,       kUsed,        kBuffers,
    kShared,    kDirty,       kPageTables,   kSwapTotal, kSwapFree};
constexpr FieldSet kVmstatFields{kPageFaults, kMajorFaults, kPagesIn, kPagesOut, kPages};

constexpr TitleName kNames[] = {
    {4, "Memory", "Arbeitsspeicher"},
    {24, "Available Bytes", "Verfügbare Bytes"},
    {1380, "Available KBytes", "Verfügbare KB"},
    {1382, "Available MBytes", "Verfügbare MB"},
    {26, "Committed Bytes", "Zugesicherte Bytes"},
    {30, "Commit Limit", "Zusagegrenze"},
    {1406, "% Committed Bytes In Use", "Zugesicherte verwendete Bytes (%)"},
    {818, "Cache Bytes", "Cachebytes"},
    {56, "Pool Paged Bytes", "Auslagerungsseiten (Bytes)"},
    {58, "Pool Nonpaged Bytes", "Nicht-Auslagerungsseiten (Bytes)"},
    {5000, "Free & Zero Page List Bytes", "Bytes in Listen freier und genullter Seiten"},
    {5002, "Total Physical Bytes", "Physischer Speicher gesamt (Bytes)"},
    {5004, "Used Bytes", "Verwendete Bytes"},
    {5006, "Buffer Bytes", "Pufferbytes"},
    {5008, "Shared Bytes", "Gemeinsam genutzte Bytes"},
    {5010, "Dirty Bytes", "Geänderte Bytes"},
    {5012, "Page Table Bytes", "Seitentabellenbytes"},
    {5014, "Swap Total Bytes", "Auslagerungsbereich gesamt (Bytes)"},
    {5016, "Swap Free Bytes", "Auslagerungsbereich frei (Bytes)"},
    {28, "Page Faults/sec", "Seitenfehler/s"},
    {42, "Page Reads/sec", "Lesevorgänge, Seiten/s"},
    {822, "Pages Input/sec", "Seiteneingabe/s"},
    {48, "Pages Output/sec", "Seitenausgabe/s"},
    {40, "Pages/sec", "Seiten/s"},
};

constexpr CounterDef kCounters[] = {
    {24, PERF_COUNTER_LARGE_RAWCOUNT, kAvailable, kNoField, "/proc/meminfo MemAvailable",
     "MemAvailable kB * 1024 (free: available)"},
    {1380, PERF_COUNTER_LARGE_RAWCOUNT, kAvailableKB, kNoField, "/proc/meminfo MemAvailable",
     "MemAvailable kB"},
    {1382, PERF_COUNTER_LARGE_RAWCOUNT, kAvailableMB, kNoField, "/proc/meminfo MemAvailable",
     "MemAvailable kB / 1024, whole MB"},
    {26, PERF_COUNTER_LARGE_RAWCOUNT, kCommitted, kNoField, "/proc/meminfo Committed_AS",
     "Committed_AS kB * 1024"},
    {30, PERF_COUNTER_LARGE_RAWCOUNT, kCommitLimit, kNoField, "/proc/meminfo CommitLimit",
     "CommitLimit kB * 1024"},
    {1406, PERF_RAW_FRACTION, kCommittedKB, kCommitLimitKB,
     "/proc/meminfo Committed_AS, CommitLimit", "100 * Committed_AS / CommitLimit"},
    {818, PERF_COUNTER_LARGE_RAWCOUNT, kCache, kNoField,
     "/proc/meminfo Buffers, Cached, SReclaimable",
     "(Buffers + Cached + SReclaimable) kB * 1024 (free: buff/cache)"},
    {56, PERF_COUNTER_LARGE_RAWCOUNT, kPoolPaged, kNoField, "/proc/meminfo SReclaimable",
     "SReclaimable kB * 1024 (reclaimable slab)"},
    {58, PERF_COUNTER_LARGE_RAWCOUNT, kPoolNonpaged, kNoField, "/proc/meminfo SUnreclaim",
     "SUnreclaim kB * 1024 (unreclaimable slab)"},
    {5000, PERF_COUNTER_LARGE_RAWCOUNT, kFree, kNoField, "/proc/meminfo MemFree",
     "MemFree kB * 1024 (free: free)"},
    {5002, PERF_COUNTER_LARGE_RAWCOUNT, kTotal, kNoField, "/proc/meminfo MemTotal",
     "MemTotal kB * 1024 (free: total)"},
    {5004, PERF_COUNTER_LARGE_RAWCOUNT, kUsed, kNoField, "/proc/meminfo MemTotal, MemAvailable",
     "(MemTotal - MemAvailable) kB * 1024 (free: used)"},
    {5006, PERF_COUNTER_LARGE_RAWCOUNT, kBuffers, kNoField, "/proc/meminfo Buffers",
     "Buffers kB * 1024", PERF_DETAIL_ADVANCED},
    {5008, PERF_COUNTER_LARGE_RAWCOUNT, kShared, kNoField, "/proc/meminfo Shmem",
     "Shmem kB * 1024 (free: shared)", PERF_DETAIL_ADVANCED},
    {5010, PERF_COUNTER_LARGE_RAWCOUNT, kDirty, kNoField, "/proc/meminfo Dirty", "Dirty kB * 1024",
     PERF_DETAIL_ADVANCED},
    {5012, PERF_COUNTER_LARGE_RAWCOUNT, kPageTables, kNoField, "/proc/meminfo PageTables",
     "PageTables kB * 1024", PERF_DETAIL_EXPERT},
    {5014, PERF_COUNTER_LARGE_RAWCOUNT, kSwapTotal, kNoField, "/proc/meminfo SwapTotal",
     "SwapTotal kB * 1024 (free: Swap total)"},
    {5016, PERF_COUNTER_LARGE_RAWCOUNT, kSwapFree, kNoField, "/proc/meminfo SwapFree",
     "SwapFree kB * 1024 (free: Swap free)"},
    {28, PERF_COUNTER_COUNTER, kPageFaults, kNoField, "/proc/vmstat pgfault",
     "delta pgfault / seconds"},
    {42, PERF_COUNTER_COUNTER, kMajorFaults, kNoField, "/proc/vmstat pgmajfault",
     "delta pgmajfault / seconds (faults that read from disk)"},
    {822, PERF_COUNTER_COUNTER, kPagesIn, kNoField, "/proc/vmstat pswpin",
     "delta pswpin / seconds (pages swapped in; vmstat si in pages)"},
    {48, PERF_COUNTER_COUNTER, kPagesOut, kNoField, "/proc/vmstat pswpout",
     "delta pswpout / seconds (pages swapped out; vmstat so in pages)"},
    {40, PERF_COUNTER_COUNTER, kPages, kNoField, "/proc/vmstat pswpin, pswpout",
     "delta (pswpin + pswpout) / seconds"},
};

class MemorySampler final : public ObjectSampler {
 public:
  explicit MemorySampler(SourceSet& sources)
      : sources_(sources),
        meminfo_(sources.Register("proc/meminfo")),
        vmstat_(sources.Register("proc/vmstat")) {}

  bool Collect(const FieldSet& needed, InstanceTable& table) override {
    std::int64_t* row = table.Add("");
    std::string_view text;
    if (needed.Any(kMeminfoFields)) {
      if (!sources_.Read(meminfo_, text)) return false;
      static constexpr std::string_view keys[] = {
          "MemTotal",     "MemFree",    "MemAvailable", "Buffers",     "Cached",
          "SReclaimable", "SUnreclaim", "Committed_AS", "CommitLimit", "Shmem",
          "Dirty",        "PageTables", "SwapTotal",    "SwapFree"};
      std::int64_t v[std::size(keys)] = {};
      ParseKeyedNumbers(text, keys, static_cast<int>(std::size(keys)), v);
      auto [total, free, available, buffers, cached, reclaimable, unreclaimable, committed, limit,
            shmem, dirty, pageTables, swapTotal, swapFree] = v;
      row[kAvailable] = available;
      row[kAvailableKB] = available / 1024;
      row[kAvailableMB] = available / (1024 * 1024);
      row[kCommitted] = committed;
      row[kCommitLimit] = limit;
      row[kCommittedKB] = committed / 1024;
      row[kCommitLimitKB] = limit / 1024;
      row[kCache] = buffers + cached + reclaimable;
      row[kPoolPaged] = reclaimable;
      row[kPoolNonpaged] = unreclaimable;
      row[kFree] = free;
      row[kTotal] = total;
      row[kUsed] = total - available;
      row[kBuffers] = buffers;
      row[kShared] = shmem;
      row[kDirty] = dirty;
      row[kPageTables] = pageTables;
      row[kSwapTotal] = swapTotal;
      row[kSwapFree] = swapFree;
    }
    if (needed.Any(kVmstatFields)) {
      if (!sources_.Read(vmstat_, text)) return false;
      static constexpr std::string_view keys[] = {"pgfault", "pgmajfault", "pswpin", "pswpout"};
      std::int64_t v[std::size(keys)] = {};
      ParseKeyedNumbers(text, keys, static_cast<int>(std::size(keys)), v);
      row[kPageFaults] = v[0];
      row[kMajorFaults] = v[1];
      row[kPagesIn] = v[2];
      row[kPagesOut] = v[3];
      row[kPages] = v[2] + v[3];
    }
    return true;
  }

 private:
  SourceSet& sources_;
  int meminfo_;
  int vmstat_;
};

constexpr ObjectDef kMemory{4, false, kFieldCount, kCounters, kNames};

}  // namespace

const ObjectProvider& memory() {
  static const ProviderOf<MemorySampler> provider(kMemory);
  return provider;
}

}  // namespace perf::objects
