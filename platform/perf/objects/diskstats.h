// Block-device I/O figures of /proc/diskstats, shared by PhysicalDisk and LogicalDisk.
//
// An object keeps kDiskFieldCount consecutive fields starting at a field of its choice and
// takes its counters from DiskCounters<first field>(); their formulas are those of iostat -x
// (r/s, w/s, rkB/s, wkB/s, rrqm/s, wrqm/s, r_await, w_await, aqu-sz, %util).
#pragma once

#include <array>
#include <string_view>

#include "platform/perf/catalogue.h"
#include "platform/perf/parse.h"

namespace perf::objects::disk {

enum DiskField : FieldId {
  kReads,
  kReadsMerged,
  kReadBytes,
  kReadTime,  // 100 ns
  kWrites,
  kWritesMerged,
  kWriteBytes,
  kWriteTime,  // 100 ns
  kTransfers,
  kBytes,
  kTransferTime,  // 100 ns, reads and writes
  kInFlight,
  kBusy,       // 100 ns with at least one request in flight (io_ticks)
  kIdle,       // collection clock - kBusy
  kTime,       // collection clock: the time base of the percentages
  kQueueTime,  // 100 ns, weighted by requests in flight
  kDiskFieldCount
};

// One line of /proc/diskstats.
struct DiskLine {
  unsigned major = 0;
  unsigned minor = 0;
  std::string_view name;
  std::uint64_t v[11] = {};  // the first eleven statistics, as the kernel orders them
};

// Reads the next line; false at the end.
inline bool NextDiskLine(Scanner& s, DiskLine& line) {
  while (!s.AtEnd()) {
    Scanner l(s.Line());
    line.major = static_cast<unsigned>(l.U64());
    line.minor = static_cast<unsigned>(l.U64());
    line.name = l.Word();
    if (line.name.empty()) continue;
    for (auto& x : line.v)
      x = l.U64();
    return true;
  }
  return false;
}

// Fills the disk fields of a row (`fields` points at the first of them).
inline void FillDiskFields(std::int64_t* fields, const DiskLine& line, std::int64_t now) {
  constexpr std::int64_t kMs = 10'000;  // 100 ns per millisecond
  constexpr std::int64_t kSector = 512;
  auto v = [&line](int i) { return static_cast<std::int64_t>(line.v[i]); };
  fields[kReads] = v(0);
  fields[kReadsMerged] = v(1);
  fields[kReadBytes] = v(2) * kSector;
  fields[kReadTime] = v(3) * kMs;
  fields[kWrites] = v(4);
  fields[kWritesMerged] = v(5);
  fields[kWriteBytes] = v(6) * kSector;
  fields[kWriteTime] = v(7) * kMs;
  fields[kTransfers] = v(0) + v(4);
  fields[kBytes] = (v(2) + v(6)) * kSector;
  fields[kTransferTime] = (v(3) + v(7)) * kMs;
  fields[kInFlight] = v(8);
  fields[kBusy] = v(9) * kMs;
  fields[kIdle] = now - v(9) * kMs;
  fields[kTime] = now;
  fields[kQueueTime] = v(10) * kMs;
}

inline constexpr std::array<TitleName, 22> kDiskNames = {{
    {200, "% Disk Time", "Datenträgerzeit (%)"},
    {202, "% Disk Read Time", "Lesezeit (%)"},
    {204, "% Disk Write Time", "Schreibzeit (%)"},
    {1482, "% Idle Time", "Leerlaufzeit (%)"},
    {1400, "Avg. Disk Queue Length", "Durchschnittl. Warteschlangenlänge des Datenträgers"},
    {1402, "Avg. Disk Read Queue Length", "Durchschnittl. Warteschlangenlänge (Lesen)"},
    {1404, "Avg. Disk Write Queue Length", "Durchschnittl. Warteschlangenlänge (Schreiben)"},
    {198, "Current Disk Queue Length", "Aktuelle Warteschlangenlänge"},
    {212, "Disk Transfers/sec", "Übertragungen/s"},
    {214, "Disk Reads/sec", "Lesevorgänge/s"},
    {216, "Disk Writes/sec", "Schreibvorgänge/s"},
    {218, "Disk Bytes/sec", "Bytes/s"},
    {220, "Disk Read Bytes/sec", "Bytes gelesen/s"},
    {222, "Disk Write Bytes/sec", "Bytes geschrieben/s"},
    {206, "Avg. Disk sec/Transfer", "Mittlere Sek./Übertragung"},
    {208, "Avg. Disk sec/Read", "Mittlere Sek./Lesevorgang"},
    {210, "Avg. Disk sec/Write", "Mittlere Sek./Schreibvorgang"},
    {224, "Avg. Disk Bytes/Transfer", "Mittlere Bytes/Übertragung"},
    {226, "Avg. Disk Bytes/Read", "Mittlere Bytes/Lesevorgang"},
    {228, "Avg. Disk Bytes/Write", "Mittlere Bytes/Schreibvorgang"},
    {5110, "Merged Reads/sec", "Zusammengeführte Lesevorgänge/s"},
    {5112, "Merged Writes/sec", "Zusammengeführte Schreibvorgänge/s"},
}};

template <FieldId F>
constexpr std::array<CounterDef, 22> DiskCounters() {
  constexpr const char* kSrc = "/proc/diskstats";
  constexpr auto f = [](DiskField field) { return static_cast<FieldId>(F + field); };
  return {{
      {200, PERF_PRECISION_100NS_TIMER, f(kBusy), f(kTime), kSrc,
       "100 * delta(io_ticks) / delta(time) (iostat %util)"},
      {202, PERF_PRECISION_100NS_TIMER, f(kReadTime), f(kTime), kSrc,
       "100 * delta(ms reading) / delta(time)"},
      {204, PERF_PRECISION_100NS_TIMER, f(kWriteTime), f(kTime), kSrc,
       "100 * delta(ms writing) / delta(time)"},
      {1482, PERF_PRECISION_100NS_TIMER, f(kIdle), f(kTime), kSrc,
       "100 * delta(time - io_ticks) / delta(time) (100 - iostat %util)"},
      {1400, PERF_COUNTER_100NS_QUEUELEN_TYPE, f(kQueueTime), kNoField, kSrc,
       "delta(weighted ms doing I/O) / delta(time) (iostat aqu-sz)"},
      {1402, PERF_COUNTER_100NS_QUEUELEN_TYPE, f(kReadTime), kNoField, kSrc,
       "delta(ms reading) / delta(time)"},
      {1404, PERF_COUNTER_100NS_QUEUELEN_TYPE, f(kWriteTime), kNoField, kSrc,
       "delta(ms writing) / delta(time)"},
      {198, PERF_COUNTER_RAWCOUNT, f(kInFlight), kNoField, kSrc, "I/Os currently in progress"},
      {212, PERF_COUNTER_COUNTER, f(kTransfers), kNoField, kSrc,
       "delta(reads + writes completed) / seconds (iostat r/s + w/s)"},
      {214, PERF_COUNTER_COUNTER, f(kReads), kNoField, kSrc,
       "delta(reads completed) / seconds (iostat r/s)"},
      {216, PERF_COUNTER_COUNTER, f(kWrites), kNoField, kSrc,
       "delta(writes completed) / seconds (iostat w/s)"},
      {218, PERF_COUNTER_BULK_COUNT, f(kBytes), kNoField, kSrc,
       "delta(sectors read + written) * 512 / seconds"},
      {220, PERF_COUNTER_BULK_COUNT, f(kReadBytes), kNoField, kSrc,
       "delta(sectors read) * 512 / seconds (iostat rkB/s * 1024)"},
      {222, PERF_COUNTER_BULK_COUNT, f(kWriteBytes), kNoField, kSrc,
       "delta(sectors written) * 512 / seconds (iostat wkB/s * 1024)"},
      {206, PERF_AVERAGE_TIMER, f(kTransferTime), f(kTransfers), kSrc,
       "delta(ms reading + writing) / 1000 / delta(reads + writes)"},
      {208, PERF_AVERAGE_TIMER, f(kReadTime), f(kReads), kSrc,
       "delta(ms reading) / 1000 / delta(reads) (iostat r_await / 1000)"},
      {210, PERF_AVERAGE_TIMER, f(kWriteTime), f(kWrites), kSrc,
       "delta(ms writing) / 1000 / delta(writes) (iostat w_await / 1000)"},
      {224, PERF_AVERAGE_BULK, f(kBytes), f(kTransfers), kSrc,
       "delta(sectors) * 512 / delta(reads + writes)"},
      {226, PERF_AVERAGE_BULK, f(kReadBytes), f(kReads), kSrc,
       "delta(sectors read) * 512 / delta(reads) (iostat rareq-sz * 1024)"},
      {228, PERF_AVERAGE_BULK, f(kWriteBytes), f(kWrites), kSrc,
       "delta(sectors written) * 512 / delta(writes) (iostat wareq-sz * 1024)"},
      {5110, PERF_COUNTER_COUNTER, f(kReadsMerged), kNoField, kSrc,
       "delta(reads merged) / seconds (iostat rrqm/s)", PERF_DETAIL_ADVANCED},
      {5112, PERF_COUNTER_COUNTER, f(kWritesMerged), kNoField, kSrc,
       "delta(writes merged) / seconds (iostat wrqm/s)", PERF_DETAIL_ADVANCED},
  }};
}

// The set of all disk fields of an object whose disk fields start at `first`.
constexpr FieldSet DiskFieldSet(FieldId first) {
  FieldSet set;
  for (FieldId f = 0; f < kDiskFieldCount; ++f)
    set.Add(static_cast<FieldId>(first + f));
  return set;
}

}  // namespace perf::objects::disk
