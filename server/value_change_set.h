// ValueChangeSet: the values one cycle of a group records, kept as the six parallel arrays that
// IOPCDataCallback takes (client handles, server handles, values, qualities, timestamps,
// errors), so a set is handed to a callback as it stands.
//
// A group keeps three: the values of the latest cycle (also the cache that refreshes answer
// from), those of the cycle before (the deadband compares with them) and the values the latest
// cycle sends. An asynchronous read fills a set of its own.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

#include "interfaces/opc_types.h"
#include "platform/com/filetime.h"
#include "platform/com/hresult.h"
#include "platform/com/variant.h"
#include "platform/perf/pdh.h"

class ValueChangeSet {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  // The arrays as a callback takes them; valid while the set is locked by ForArrays.
  struct Arrays {
    DWORD count;
    OPCHANDLE* clientHandles;
    OPCHANDLE* serverHandles;
    VARIANT* values;
    WORD* qualities;
    FILETIME* timestamps;
    HRESULT* errors;
  };

  ValueChangeSet() = default;
  ValueChangeSet(const ValueChangeSet&) = delete;
  ValueChangeSet& operator=(const ValueChangeSet&) = delete;

  // Appends one good value stamped with the current UTC time. `format` says which member of
  // `value` is meant: PDH_FMT_DOUBLE (what groups use) and PDH_FMT_LARGE give VT_R8,
  // PDH_FMT_LONG VT_I4. When `second` is another set holding an entry for `serverHandle`, that
  // entry takes the new value too (its quality, timestamp and type stay): an asynchronous read
  // refreshes the group's cache this way. Returns the new entry's index. Raises
  // HUVException(E_OUTOFMEMORY) when the arrays cannot grow; the set is then as it was.
  std::size_t Append(OPCHANDLE clientHandle, OPCHANDLE serverHandle,
                     const PDH_FMT_COUNTERVALUE& value, DWORD format,
                     ValueChangeSet* second = nullptr);

  // Appends a copy of entry `index` of `from` (another set), time stamp included; raises
  // HUVException(E_OUTOFMEMORY) as Append does. Returns the new entry's index.
  std::size_t AppendFrom(const ValueChangeSet& from, std::size_t index);

  std::size_t Size() const;
  bool Empty() const { return Size() == 0; }
  // Drops every entry; the arrays keep their capacity for the next cycle.
  void Clear();

  // Index of the entry for `serverHandle`, or npos. `hint` is tried first: sets filled from the
  // same sampling list hold most handles at the same index.
  std::size_t Find(OPCHANDLE serverHandle, std::size_t hint = 0) const;
  // Entry `index` (below Size()).
  OPCHANDLE ClientHandle(std::size_t index) const;
  OPCHANDLE ServerHandle(std::size_t index) const;
  VARIANT Value(std::size_t index) const;  // a scalar copy: values are numbers only
  WORD Quality(std::size_t index) const;
  FILETIME Timestamp(std::size_t index) const;
  HRESULT Error(std::size_t index) const;

  // Runs fn(const Arrays&) with the set locked; fn must not call back into the set.
  template <class Fn>
  auto ForArrays(Fn&& fn) {
    std::lock_guard lock(mutex_);
    Arrays arrays{static_cast<DWORD>(clientHandles_.size()),
                  clientHandles_.data(),
                  serverHandles_.data(),
                  values_.data(),
                  qualities_.data(),
                  timestamps_.data(),
                  errors_.data()};
    return fn(arrays);
  }

 private:
  std::size_t FindLocked(OPCHANDLE serverHandle, std::size_t hint) const;
  // Grows the six arrays by one entry, or raises HUVException(E_OUTOFMEMORY) leaving them as
  // they were. Under mutex_; returns the new entry's index.
  std::size_t PushLocked(OPCHANDLE clientHandle, OPCHANDLE serverHandle, const VARIANT& value,
                         WORD quality, const FILETIME& timestamp, HRESULT error);
  // Gives the entry for serverHandle, if any, the value of `from` keeping its type.
  void UpdateValue(OPCHANDLE serverHandle, std::size_t hint, const VARIANT& from);

  mutable std::mutex mutex_;
  std::vector<OPCHANDLE> clientHandles_;
  std::vector<OPCHANDLE> serverHandles_;
  std::vector<VARIANT> values_;
  std::vector<WORD> qualities_;
  std::vector<FILETIME> timestamps_;
  std::vector<HRESULT> errors_;
};
