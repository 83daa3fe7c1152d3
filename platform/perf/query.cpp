// Queries and counters: the handle registry, collection and formatting.
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/perf/calc.h"
#include "platform/perf/names.h"
#include "platform/perf/pdh.h"
#include "platform/perf/perf.h"
#include "platform/perf/resolve.h"

namespace perf {
namespace {

constexpr std::size_t kNoRow = static_cast<std::size_t>(-1);

// One object's sampler and instance table within a query.
struct ObjectState {
  const ObjectProvider* provider = nullptr;
  std::unique_ptr<ObjectSampler> sampler;
  InstanceTable table;
  FieldSet needed;
  int users = 0;
  bool ok = false;
  // Changes whenever the sequence of instance names changes, so counters re-resolve their row
  // only then.
  std::uint64_t layout = 0;
  // (hash of the case-folded name, row), sorted: finds rows by name without a scan per counter.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> nameIndex;
  std::uint64_t indexedLayout = 0;
};

struct Counter {
  std::uintptr_t handle = 0;
  DWORD_PTR userData = 0;
  ResolvedPath resolved;
  ObjectState* object = nullptr;
  std::size_t row = kNoRow;
  std::uint64_t rowLayout = 0;  // the object's layout when `row` was resolved
  std::uint64_t rowKey = 0;
  RawSample previous;
  RawSample current;
  int samples = 0;
  FILETIME timeStamp{};
  LONG scale = 0;
};

struct Query {
  explicit Query(std::string root) : sources(std::move(root)) {}
  std::mutex mutex;
  DWORD_PTR userData = 0;
  std::uintptr_t handle = 0;
  SourceSet sources;
  std::vector<std::unique_ptr<ObjectState>> objects;
  std::vector<std::unique_ptr<Counter>> counters;  // in the order they were added
  std::unordered_map<std::uintptr_t, Counter*> byHandle;
};

// Live handles. Handle values are never reused and never dereferenced: they are keys.
class Registry {
 public:
  std::uintptr_t AddQuery(std::shared_ptr<Query> query) {
    std::lock_guard lock(mutex_);
    std::uintptr_t handle = NextHandle();
    query->handle = handle;
    queries_.emplace(handle, std::move(query));
    return handle;
  }
  std::shared_ptr<Query> FindQuery(const void* handle) {
    std::lock_guard lock(mutex_);
    auto it = queries_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == queries_.end() ? nullptr : it->second;
  }
  std::shared_ptr<Query> RemoveQuery(const void* handle) {
    std::lock_guard lock(mutex_);
    auto it = queries_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == queries_.end()) return nullptr;
    std::shared_ptr<Query> query = std::move(it->second);
    queries_.erase(it);
    return query;
  }
  std::uintptr_t AddCounter(const std::shared_ptr<Query>& query) {
    std::lock_guard lock(mutex_);
    std::uintptr_t handle = NextHandle();
    counters_.emplace(handle, query);
    return handle;
  }
  std::shared_ptr<Query> FindCounterQuery(const void* handle) {
    std::lock_guard lock(mutex_);
    auto it = counters_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == counters_.end() ? nullptr : it->second.lock();
  }
  void RemoveCounter(std::uintptr_t handle) {
    std::lock_guard lock(mutex_);
    counters_.erase(handle);
  }

 private:
  std::uintptr_t NextHandle() {
    next_ += 0x10;
    return next_;
  }
  std::mutex mutex_;
  std::uintptr_t next_ = 0x5A000;
  std::unordered_map<std::uintptr_t, std::shared_ptr<Query>> queries_;
  std::unordered_map<std::uintptr_t, std::weak_ptr<Query>> counters_;
};

Registry& Handles() {
  static Registry* registry = new Registry();  // outlives every static destructor
  return *registry;
}

FILETIME FileTimeNow() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  // 100 ns intervals since 1601-01-01.
  std::uint64_t t = static_cast<std::uint64_t>(ts.tv_sec) * 10'000'000 +
                    static_cast<std::uint64_t>(ts.tv_nsec) / 100 + 116444736000000000ull;
  return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

std::uint64_t LayoutOf(const InstanceTable& table) {
  std::uint64_t h = 1469598103934665603ull ^ table.size();
  for (std::size_t row = 0; row < table.size(); ++row) {
    for (char c : table.name(row)) {
      h ^= static_cast<unsigned char>(c);
      h *= 1099511628211ull;
    }
    h ^= 0xff;
    h *= 1099511628211ull;
  }
  return h ? h : 1;
}

std::uint64_t FoldedNameHash(std::string_view name) {
  std::uint64_t h = 1469598103934665603ull;
  for (char c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ull;
  }
  return h;
}

// The row of the `index`-th instance named `name` in the object's current table, or kNoRow.
std::size_t FindRow(ObjectState& object, std::string_view name, DWORD index) {
  const InstanceTable& table = object.table;
  if (object.indexedLayout != object.layout) {
    object.nameIndex.clear();
    for (std::size_t row = 0; row < table.size(); ++row) {
      object.nameIndex.emplace_back(FoldedNameHash(table.name(row)),
                                    static_cast<std::uint32_t>(row));
    }
    std::sort(object.nameIndex.begin(), object.nameIndex.end());
    object.indexedLayout = object.layout;
  }
  std::uint64_t h = FoldedNameHash(name);
  auto it = std::lower_bound(object.nameIndex.begin(), object.nameIndex.end(),
                             std::pair<std::uint64_t, std::uint32_t>(h, 0));
  DWORD seen = 0;
  for (; it != object.nameIndex.end() && it->first == h; ++it) {
    if (!NamesEqual(table.name(it->second), name)) continue;  // a hash collision
    if (seen++ == index) return it->second;
  }
  return kNoRow;
}

void RecomputeNeeded(Query& query, ObjectState& object) {
  object.needed = FieldSet();
  for (auto& counter : query.counters) {
    if (counter->object != &object) continue;
    object.needed.Add(counter->resolved.counter->value);
    if (counter->resolved.counter->base != kNoField) {
      object.needed.Add(counter->resolved.counter->base);
    }
  }
}

// Runs `fn(query, counter)` under the query's lock, or gives PDH_INVALID_HANDLE.
template <class Fn>
PDH_STATUS WithCounter(PDH_HCOUNTER hCounter, Fn fn) {
  std::shared_ptr<Query> query = Handles().FindCounterQuery(hCounter);
  if (!query) return PDH_INVALID_HANDLE;
  std::lock_guard lock(query->mutex);
  auto it = query->byHandle.find(reinterpret_cast<std::uintptr_t>(hCounter));
  if (it == query->byHandle.end()) return PDH_INVALID_HANDLE;
  return fn(*query, *it->second);
}

void Collect(Query& query) {
  std::int64_t now = Now100ns();
  FILETIME stamp = FileTimeNow();
  query.sources.NextCollection(now);
  for (auto& object : query.objects) {
    object->table.Begin(object->provider->Def().fieldCount);
    object->ok = object->sampler->Collect(object->needed, object->table);
    object->layout = object->ok ? LayoutOf(object->table) : 0;
  }
  for (auto& counter : query.counters) {
    ObjectState& object = *counter->object;
    const CounterDef& def = *counter->resolved.counter;
    RawSample sample;
    counter->timeStamp = stamp;
    if (!object.ok) {
      sample.status = PDH_CSTATUS_NO_OBJECT;
    } else {
      if (counter->rowLayout != object.layout) {
        counter->row = FindRow(object, counter->resolved.instance, counter->resolved.path.index);
        counter->rowLayout = object.layout;
      }
      if (counter->row == kNoRow) {
        sample.status = PDH_CSTATUS_NO_INSTANCE;
      } else {
        std::uint64_t key = object.table.key(counter->row);
        if (key != counter->rowKey) {
          // Another thing now stands behind the instance name: start the counter over.
          counter->rowKey = key;
          counter->samples = 0;
        }
        const std::int64_t* values = object.table.values(counter->row);
        sample.status = PDH_CSTATUS_VALID_DATA;
        sample.first = values[def.value];
        sample.second = def.base != kNoField ? values[def.base] : now;
      }
    }
    if (!IsSuccessSeverity(sample.status)) counter->samples = 0;
    counter->previous = counter->current;
    counter->current = sample;
    if (IsSuccessSeverity(sample.status) && counter->samples < 2) ++counter->samples;
  }
}

void CopyString(std::string_view text, char*& cursor, LPWSTR& field) {
  field = cursor;
  std::memcpy(cursor, text.data(), text.size());
  cursor[text.size()] = '\0';
  cursor += text.size() + 1;
}

}  // namespace
}  // namespace perf

using namespace perf;

PDH_STATUS PdhOpenQuery(LPCWSTR szDataSource, DWORD_PTR dwUserData, PDH_HQUERY* phQuery) {
  if (phQuery == nullptr) return PDH_INVALID_ARGUMENT;
  *phQuery = nullptr;
  std::string root = (szDataSource && *szDataSource) ? szDataSource : DefaultDataSource();
  if (!root.empty()) {
    struct stat st;
    if (::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return PDH_FILE_NOT_FOUND;
  }
  auto query = std::make_shared<Query>(std::move(root));
  query->userData = dwUserData;
  *phQuery = reinterpret_cast<PDH_HQUERY>(Handles().AddQuery(std::move(query)));
  return ERROR_SUCCESS;
}

PDH_STATUS PdhCloseQuery(PDH_HQUERY hQuery) {
  std::shared_ptr<Query> query = Handles().RemoveQuery(hQuery);
  if (!query) return PDH_INVALID_HANDLE;
  std::lock_guard lock(query->mutex);
  for (auto& counter : query->counters)
    Handles().RemoveCounter(counter->handle);
  query->counters.clear();
  query->byHandle.clear();
  query->objects.clear();
  return ERROR_SUCCESS;
}

namespace perf {
namespace {

PDH_STATUS AddCounter(PDH_HQUERY hQuery, LPCWSTR szFullCounterPath, DWORD_PTR dwUserData,
                      PDH_HCOUNTER* phCounter, Language language) {
  std::shared_ptr<Query> query = Handles().FindQuery(hQuery);
  if (!query) return PDH_INVALID_HANDLE;
  if (szFullCounterPath == nullptr || phCounter == nullptr) return PDH_INVALID_ARGUMENT;
  *phCounter = nullptr;
  std::lock_guard lock(query->mutex);
  auto counter = std::make_unique<Counter>();
  PDH_STATUS status = ResolvePath(szFullCounterPath, query->sources, counter->resolved, language);
  if (status != ERROR_SUCCESS) return status;
  counter->userData = dwUserData;
  counter->scale = 0;

  const ObjectProvider* provider = counter->resolved.provider;
  ObjectState* object = nullptr;
  for (auto& o : query->objects) {
    if (o->provider == provider) object = o.get();
  }
  if (object == nullptr) {
    auto state = std::make_unique<ObjectState>();
    state->provider = provider;
    state->sampler = provider->NewSampler(query->sources);
    object = state.get();
    query->objects.push_back(std::move(state));
  }
  ++object->users;
  counter->object = object;
  counter->handle = Handles().AddCounter(query);
  std::uintptr_t handle = counter->handle;
  query->byHandle.emplace(handle, counter.get());
  query->counters.push_back(std::move(counter));
  RecomputeNeeded(*query, *object);
  *phCounter = reinterpret_cast<PDH_HCOUNTER>(handle);
  return ERROR_SUCCESS;
}

}  // namespace
}  // namespace perf

PDH_STATUS PdhAddCounter(PDH_HQUERY hQuery, LPCWSTR szFullCounterPath, DWORD_PTR dwUserData,
                         PDH_HCOUNTER* phCounter) {
  return AddCounter(hQuery, szFullCounterPath, dwUserData, phCounter, CurrentLanguage());
}

PDH_STATUS PdhAddEnglishCounter(PDH_HQUERY hQuery, LPCWSTR szFullCounterPath, DWORD_PTR dwUserData,
                                PDH_HCOUNTER* phCounter) {
  return AddCounter(hQuery, szFullCounterPath, dwUserData, phCounter, Language::kEnglish);
}

PDH_STATUS PdhRemoveCounter(PDH_HCOUNTER hCounter) {
  std::shared_ptr<Query> query = Handles().FindCounterQuery(hCounter);
  if (!query) return PDH_INVALID_HANDLE;
  std::lock_guard lock(query->mutex);
  auto it = query->byHandle.find(reinterpret_cast<std::uintptr_t>(hCounter));
  if (it == query->byHandle.end()) return PDH_INVALID_HANDLE;
  Counter* counter = it->second;
  ObjectState* object = counter->object;
  Handles().RemoveCounter(it->first);
  query->byHandle.erase(it);
  std::erase_if(query->counters, [counter](const auto& c) { return c.get() == counter; });
  if (--object->users == 0) {
    std::erase_if(query->objects, [object](const auto& o) { return o.get() == object; });
  } else {
    RecomputeNeeded(*query, *object);
  }
  return ERROR_SUCCESS;
}

PDH_STATUS PdhCollectQueryData(PDH_HQUERY hQuery) {
  std::shared_ptr<Query> query = Handles().FindQuery(hQuery);
  if (!query) return PDH_INVALID_HANDLE;
  std::lock_guard lock(query->mutex);
  if (query->counters.empty()) return PDH_NO_DATA;
  Collect(*query);
  return ERROR_SUCCESS;
}

PDH_STATUS PdhGetFormattedCounterValue(PDH_HCOUNTER hCounter, DWORD dwFormat, DWORD* lpdwType,
                                       PDH_FMT_COUNTERVALUE* pValue) {
  return WithCounter(hCounter, [&](Query&, Counter& counter) -> PDH_STATUS {
    if (pValue == nullptr) return PDH_INVALID_ARGUMENT;
    DWORD kind = dwFormat & (PDH_FMT_LONG | PDH_FMT_DOUBLE | PDH_FMT_LARGE);
    if (kind != PDH_FMT_LONG && kind != PDH_FMT_DOUBLE && kind != PDH_FMT_LARGE) {
      return PDH_INVALID_ARGUMENT;
    }
    const CounterDef& def = *counter.resolved.counter;
    if (lpdwType) *lpdwType = def.type;
    pValue->largeValue = 0;
    if (counter.samples == 0) {
      pValue->CStatus = IsSuccessSeverity(counter.current.status) ? PDH_CSTATUS_INVALID_DATA
                                                                  : counter.current.status;
      return PDH_INVALID_DATA;
    }
    double value = 0;
    DWORD status = ComputeCounterValue(def.type, counter.samples >= 2 ? &counter.previous : nullptr,
                                       counter.current, value);
    pValue->CStatus = status;
    if (!IsSuccessSeverity(status)) {
      return status == PDH_CSTATUS_INVALID_DATA ? PDH_INVALID_DATA : status;
    }
    value = ApplyFormat(def.type, value, dwFormat, counter.scale);
    if (kind == PDH_FMT_DOUBLE) {
      pValue->doubleValue = value;
    } else if (kind == PDH_FMT_LONG) {
      pValue->longValue = value >= 2147483647.0    ? 2147483647
                          : value <= -2147483648.0 ? static_cast<LONG>(-2147483647 - 1)
                                                   : static_cast<LONG>(value);
    } else {
      pValue->largeValue = value >= 9.2e18    ? static_cast<LONGLONG>(9200000000000000000ll)
                           : value <= -9.2e18 ? static_cast<LONGLONG>(-9200000000000000000ll)
                                              : static_cast<LONGLONG>(value);
    }
    return ERROR_SUCCESS;
  });
}

PDH_STATUS PdhGetRawCounterValue(PDH_HCOUNTER hCounter, DWORD* lpdwType, PDH_RAW_COUNTER* pValue) {
  return WithCounter(hCounter, [&](Query&, Counter& counter) -> PDH_STATUS {
    if (pValue == nullptr) return PDH_INVALID_ARGUMENT;
    if (lpdwType) *lpdwType = counter.resolved.counter->type;
    pValue->CStatus = counter.current.status;
    pValue->TimeStamp = counter.timeStamp;
    pValue->FirstValue = counter.current.first;
    pValue->SecondValue = counter.current.second;
    pValue->MultiCount = 1;
    return ERROR_SUCCESS;
  });
}

PDH_STATUS PdhSetCounterScaleFactor(PDH_HCOUNTER hCounter, LONG lFactor) {
  return WithCounter(hCounter, [&](Query&, Counter& counter) -> PDH_STATUS {
    if (lFactor < -7 || lFactor > 7) return PDH_INVALID_ARGUMENT;
    counter.scale = lFactor;
    return ERROR_SUCCESS;
  });
}

PDH_STATUS PdhGetCounterInfo(PDH_HCOUNTER hCounter, BOOL bRetrieveExplainText, DWORD* pdwBufferSize,
                             PDH_COUNTER_INFO* lpBuffer) {
  return WithCounter(hCounter, [&](Query& query, Counter& counter) -> PDH_STATUS {
    if (pdwBufferSize == nullptr) return PDH_INVALID_ARGUMENT;
    const ResolvedPath& r = counter.resolved;
    const CounterDef& def = *r.counter;
    std::string machine = "\\\\" + query.sources.HostName();
    std::string full = MakeCounterPath(machine, r.path.object, r.path.instance, r.path.parent,
                                       r.path.index, r.path.counter);
    std::string explain;
    if (bRetrieveExplainText) {
      explain = std::string(def.source) + ". " + def.formula + ".";
    }
    std::size_t need = sizeof(PDH_COUNTER_INFO) + full.size() + 1 + machine.size() + 1 +
                       r.path.object.size() + 1 + r.path.counter.size() + 1 +
                       (r.path.hasInstance ? r.path.instance.size() + 1 : 0) +
                       (r.path.parent.empty() ? 0 : r.path.parent.size() + 1) +
                       (bRetrieveExplainText ? explain.size() + 1 : 0);
    if (need > 0xFFFFFFFFu) return PDH_INSUFFICIENT_BUFFER;
    if (lpBuffer == nullptr || *pdwBufferSize < need) {
      *pdwBufferSize = static_cast<DWORD>(need);
      return PDH_MORE_DATA;
    }
    std::memset(lpBuffer, 0, sizeof(PDH_COUNTER_INFO));
    lpBuffer->dwLength = static_cast<DWORD>(need);
    lpBuffer->dwType = def.type;
    lpBuffer->CVersion = 0;
    lpBuffer->CStatus = counter.current.status;
    lpBuffer->lScale = counter.scale;
    lpBuffer->lDefaultScale = def.defaultScale;
    lpBuffer->dwUserData = counter.userData;
    lpBuffer->dwQueryUserData = query.userData;
    char* cursor = reinterpret_cast<char*>(lpBuffer) + sizeof(PDH_COUNTER_INFO);
    CopyString(full, cursor, lpBuffer->szFullPath);
    CopyString(machine, cursor, lpBuffer->szMachineName);
    CopyString(r.path.object, cursor, lpBuffer->szObjectName);
    if (r.path.hasInstance) CopyString(r.path.instance, cursor, lpBuffer->szInstanceName);
    if (!r.path.parent.empty()) CopyString(r.path.parent, cursor, lpBuffer->szParentInstance);
    lpBuffer->dwInstanceIndex = r.path.index;
    CopyString(r.path.counter, cursor, lpBuffer->szCounterName);
    if (bRetrieveExplainText) CopyString(explain, cursor, lpBuffer->szExplainText);
    *pdwBufferSize = static_cast<DWORD>(need);
    return ERROR_SUCCESS;
  });
}
