// The catalogue of performance objects, and the interface an object's provider implements.
//
// HOW TO ADD AN OBJECT
//
// One source file per object under platform/perf/objects/ (objects of one family share their
// parsing through a header there, as PhysicalDisk and LogicalDisk share diskstats.h).
// The build collects every objects/*.cpp by itself; a file `objects/foo.cpp` must define
//
//     namespace perf::objects {
//     const ObjectProvider& foo();   // the file's base name
//     }
//
// returning a provider that lives for the whole process (a function-local static). Nothing
// else needs editing: the catalogue calls every such function once, at first use.
//
// A provider describes its object with an ObjectDef (all constant data, usually namespace-scope
// constexpr tables in the file):
//   - the object's title index and whether it has instances;
//   - `names`: every title the object uses (its own and its counters'), each with its index,
//     its English name and its German name (null when Windows keeps the English one). A name
//     shared by several objects ("% Processor Time", "Disk Reads/sec") must carry the same
//     index and the same German text everywhere; a test checks that.
//   - `counters`: one CounterDef per counter, which IS the documentation table of the object:
//     the title index, the Windows counter type code (platform/perf/winperf.h), the field that
//     gives the raw value and, for types that divide by something, the field that gives the
//     second raw value (the base), plus the Linux source and the formula in words.
//
// Raw data travels as an instance table: one row per instance, each row a fixed array of
// 64-bit fields that the provider defines (an enum in its file; at most kMaxFields). A counter
// is "type formula applied to (row[value], row[base])" and the query engine does the rest:
// instance lookup, the two samples of rate counters, the formulas, scaling and formatting.
//
// At collection time the engine asks each object's sampler (one per object per query, so one
// read of each source for all of the query's counters of that object) to fill the table:
//   - ObjectSampler::Collect(needed, table): read the sources once, call table.Add(name) for
//     each instance (objects without instances add exactly one row with an empty name), and
//     fill the fields listed in `needed`; fields not in `needed` may stay 0, and sources that
//     only feed fields outside `needed` should not be read at all. An empty `needed` asks for
//     the instance names only (enumeration and validation).
//   - Instance names follow Windows' rules: "(" ")" "#" "\" become "[" "]" "_" "_", and
//     several instances may share a name (the engine numbers them "#1", "#2", ... in row
//     order). A "_Total" row, where the object has one, is added by the provider (often with
//     InstanceTable::AddTotal, which sums the rows over a set of fields).
//   - A row may carry a key (for example pid and start time): when the key behind a counter's
//     instance changes, the counter starts over as if just added, so a rate never spans two
//     different processes that happened to share a name.
//   - SourceSet::now() is the collection's clock, for fields that are times themselves.
//   - Time bases. Timer types (PERF_100NSEC_TIMER, PERF_COUNTER_COUNTER, queue lengths, ...)
//     divide by the time between two collections: with `base` = kNoField that is the query's
//     collection clock (100 ns units); a provider with a better time base of its own (the
//     jiffies a CPU spent in all states) puts it in a field in 100 ns units and names it as
//     `base`. PERF_ELAPSED_TIME takes its start in `value` and "now" in `base`, both 100 ns.
// Sources are read through a SourceSet (platform/perf/source.h) so the same code reads the
// live /proc and /sys or a captured tree under a directory (tests and replays).
//
// Title indexes: Windows' own indexes where the name is a Windows name (Processor 238,
// % Processor Time 6, Memory 4, Available Bytes 24, ...); names of our own take stable even
// numbers from blocks: 5000-5199 processor, memory, system, paging file, disks and process
// (this file's first objects); 5200 and up for further objects, one block of 100 per file.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/types.h"
#include "platform/perf/pdh.h"

namespace perf {

class SourceSet;

using FieldId = std::uint16_t;
inline constexpr FieldId kNoField = 0xFFFF;
inline constexpr FieldId kMaxFields = 64;

// A set of fields, as a bit mask.
class FieldSet {
 public:
  constexpr FieldSet() = default;
  constexpr FieldSet(std::initializer_list<FieldId> fields) {
    for (FieldId f : fields)
      Add(f);
  }
  constexpr void Add(FieldId f) {
    if (f < kMaxFields) bits_ |= std::uint64_t{1} << f;
  }
  constexpr bool Has(FieldId f) const { return f < kMaxFields && (bits_ >> f) & 1; }
  constexpr bool Empty() const { return bits_ == 0; }
  // True when any of `other`'s fields is in this set.
  constexpr bool Any(FieldSet other) const { return (bits_ & other.bits_) != 0; }
  constexpr std::uint64_t bits() const { return bits_; }

 private:
  std::uint64_t bits_ = 0;
};

// One title of the name tables: index, English name, German name (null: same as English).
struct TitleName {
  DWORD index;
  const char* english;
  const char* german;
};

// One counter of an object: the documentation table row and the engine's recipe.
struct CounterDef {
  DWORD nameIndex;
  DWORD type;  // PERF_* counter type (winperf.h)
  FieldId value;
  FieldId base;        // second raw value, or kNoField (see "Time bases" above)
  const char* source;  // where the raw value comes from
  const char* formula;
  DWORD detailLevel = PERF_DETAIL_NOVICE;
  LONG defaultScale = 0;
};

struct ObjectDef {
  DWORD nameIndex;
  bool hasInstances;
  FieldId fieldCount;
  std::span<const CounterDef> counters;
  std::span<const TitleName> names;
  DWORD detailLevel = PERF_DETAIL_NOVICE;
};

// The instance table a sampler fills at each collection. Rows keep their storage from one
// collection to the next, so a steady set of instances costs no allocation.
class InstanceTable {
 public:
  // Engine: starts a new collection for an object with `fieldCount` fields.
  void Begin(FieldId fieldCount);

  // Appends an instance and returns its fields, all zero. `key` identifies the thing behind
  // the name (0: the name alone identifies it).
  std::int64_t* Add(std::string_view name, std::uint64_t key = 0);
  // Appends "_Total" holding the sum of every row so far over `summed`; other fields are 0.
  std::int64_t* AddTotal(FieldSet summed);

  std::size_t size() const { return rows_; }
  std::string_view name(std::size_t row) const { return names_[row]; }
  std::uint64_t key(std::size_t row) const { return keys_[row]; }
  const std::int64_t* values(std::size_t row) const { return &values_[row * fieldCount_]; }
  std::int64_t* values(std::size_t row) { return &values_[row * fieldCount_]; }

 private:
  FieldId fieldCount_ = 0;
  std::size_t rows_ = 0;
  std::vector<std::string> names_;
  std::vector<std::uint64_t> keys_;
  std::vector<std::int64_t> values_;
};

// Reads one object's raw data; one per object per query.
class ObjectSampler {
 public:
  virtual ~ObjectSampler() = default;
  // Fills `table` (already begun) from the sources. Returns false when the object's data
  // cannot be read at all; its counters then report PDH_CSTATUS_NO_OBJECT for this collection.
  virtual bool Collect(const FieldSet& needed, InstanceTable& table) = 0;
};

class ObjectProvider {
 public:
  virtual ~ObjectProvider() = default;
  virtual const ObjectDef& Def() const = 0;
  // A sampler reading from `sources`, which outlives it.
  virtual std::unique_ptr<ObjectSampler> NewSampler(SourceSet& sources) const = 0;
};

// The usual provider: a definition and a sampler class constructible from SourceSet&.
template <class Sampler>
class ProviderOf final : public ObjectProvider {
 public:
  explicit constexpr ProviderOf(const ObjectDef& def) : def_(def) {}
  const ObjectDef& Def() const override { return def_; }
  std::unique_ptr<ObjectSampler> NewSampler(SourceSet& sources) const override {
    return std::make_unique<Sampler>(sources);
  }

 private:
  const ObjectDef& def_;
};

// Joins two constant tables (names or counters of a family shared through a header).
template <class T, std::size_t A, std::size_t B>
constexpr std::array<T, A + B> JoinTables(const std::array<T, A>& a, const std::array<T, B>& b) {
  std::array<T, A + B> out{};
  for (std::size_t i = 0; i < A; ++i)
    out[i] = a[i];
  for (std::size_t i = 0; i < B; ++i)
    out[A + i] = b[i];
  return out;
}

// Every registered provider, in file-name order.
std::span<const ObjectProvider* const> AllProviders();

// Applies Windows' instance-name rules to a name taken from the system: "(" -> "[",
// ")" -> "]", "#" "\" -> "_", control characters -> "_"; an empty name becomes "_", and a
// name that reads "_Total" gets a trailing "_" so that only the totals row bears that name.
void SanitizeInstanceName(std::string_view raw, std::string& out);

}  // namespace perf
