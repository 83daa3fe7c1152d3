#include "server/catalogue.h"

#include <chrono>
#include <cstddef>
#include <mutex>
#include <thread>

#include "interfaces/opc_types.h"
#include "platform/com/variant.h"
#include "platform/perf/perf.h"
#include "server/counter_name_map.h"
#include "server/huv_exception.h"
#include "server/utf8_text.h"

namespace {

// Buffer of the local name of one title index, in characters.
constexpr std::size_t kNameChars = 2048;
// Room for kNameChars characters of UTF-8 (at most 4 bytes each).
constexpr DWORD kNameBufferBytes = kNameChars * 4;

constexpr WORD kSortDefault = 0;

// Storage for the records the library returns with their strings behind them: aligned for the
// record's pointer fields.
class RecordBuffer {
 public:
  explicit RecordBuffer(DWORD bytes) : storage_((bytes + sizeof(Unit) - 1) / sizeof(Unit)) {}
  template <class T>
  T* As() {
    return reinterpret_cast<T*>(storage_.data());
  }

 private:
  using Unit = std::max_align_t;
  std::vector<Unit> storage_;
};

// A query that is closed when it goes out of scope.
class OwnedQuery {
 public:
  OwnedQuery() = default;
  ~OwnedQuery() {
    if (query_) PdhCloseQuery(query_);
  }
  OwnedQuery(const OwnedQuery&) = delete;
  OwnedQuery& operator=(const OwnedQuery&) = delete;
  PDH_HQUERY* out() { return &query_; }
  PDH_HQUERY get() const { return query_; }

 private:
  PDH_HQUERY query_ = nullptr;
};

// A counter that is removed from its query when it goes out of scope.
class OwnedCounter {
 public:
  OwnedCounter() = default;
  ~OwnedCounter() { Reset(); }
  OwnedCounter(const OwnedCounter&) = delete;
  OwnedCounter& operator=(const OwnedCounter&) = delete;
  PDH_HCOUNTER* out() { return &counter_; }
  PDH_HCOUNTER get() const { return counter_; }
  void Reset() {
    if (counter_) PdhRemoveCounter(counter_);
    counter_ = nullptr;
  }

 private:
  PDH_HCOUNTER counter_ = nullptr;
};

// The library reads paths as NUL-terminated text: a NUL inside an item ID would cut it short
// and let whatever follows pass unchecked, so such a text is never a path.
bool HasEmbeddedNul(std::string_view text) {
  return text.find('\0') != std::string_view::npos;
}

// The local-language name of a title index, or false when the library has none that fits.
bool LocalNameOf(DWORD index, std::string* name) {
  std::string buffer(kNameBufferBytes, '\0');
  DWORD size = kNameBufferBytes;
  if (PdhLookupPerfNameByIndex(nullptr, index, buffer.data(), &size) != ERROR_SUCCESS) return false;
  buffer.resize(std::char_traits<char>::length(buffer.c_str()));
  if (buffer.empty() || Utf8Length(buffer) >= kNameChars) return false;
  *name = std::move(buffer);
  return true;
}

// The process's CatalogueQuery. Inspection runs on the apartment thread, but opening and
// closing at start-up and exit must not race a late inspection, so the handle is guarded.
std::mutex catalogueMutex;
PDH_HQUERY catalogueQuery = nullptr;

}  // namespace

HRESULT ItemIdVerdict(PDH_STATUS status) {
  switch (status) {
    case PDH_CSTATUS_NO_MACHINE:
    case PDH_CSTATUS_NO_INSTANCE:
    case PDH_CSTATUS_NO_OBJECT:
    case PDH_CSTATUS_NO_COUNTER:
      return OPC_E_UNKNOWNITEMID;
    case PDH_MEMORY_ALLOCATION_FAILURE:
      return E_OUTOFMEMORY;
    case PDH_CSTATUS_BAD_COUNTERNAME:
    case PDH_INVALID_PATH:
    case PDH_INVALID_ARGUMENT:
      return OPC_E_INVALIDITEMID;
    default:
      // Anything else passes validation; adding the counter later reports what is wrong.
      return S_OK;
  }
}

HRESULT ValidateCounterPath(std::string_view path) {
  if (HasEmbeddedNul(path)) return OPC_E_INVALIDITEMID;
  return GuardHResult([&] {
    std::string text(path);
    return ItemIdVerdict(PdhValidatePath(text.c_str()));
  });
}

bool TranslateEnglishPath(std::string_view path, std::string* localPath) {
  if (localPath == nullptr || HasEmbeddedNul(path)) return false;
  try {
    std::string text(path);
    DWORD bytes = 0;
    PDH_STATUS status = PdhParseCounterPath(text.c_str(), nullptr, &bytes, 0);
    if ((status != PDH_MORE_DATA && status != ERROR_SUCCESS) || bytes == 0) return false;
    RecordBuffer buffer(bytes);
    auto* elements = buffer.As<PDH_COUNTER_PATH_ELEMENTS>();
    if (PdhParseCounterPath(text.c_str(), elements, &bytes, 0) != ERROR_SUCCESS) return false;

    const CounterNameMap& names = CounterNameMap::Instance();
    DWORD objectIndex = names.ObjectIndex(elements->szObjectName);
    DWORD counterIndex = names.CounterIndex(elements->szCounterName);
    if (objectIndex == 0 || counterIndex == 0) return false;

    std::string object;
    std::string counter;
    if (!LocalNameOf(objectIndex, &object) || !LocalNameOf(counterIndex, &counter)) return false;

    // The translated path names this machine implicitly. The instance, its parent and its
    // "#n" index stay as given: the index must survive, or "(name#1)" would turn into the
    // first instance of that name (the library writes no "#" for index 0).
    PDH_COUNTER_PATH_ELEMENTS local = *elements;
    local.szMachineName = nullptr;
    local.szObjectName = object.data();
    local.szCounterName = counter.data();

    DWORD chars = 0;
    status = PdhMakeCounterPath(&local, nullptr, &chars, 0);
    if ((status != PDH_MORE_DATA && status != ERROR_SUCCESS) || chars == 0) return false;
    std::string made(chars, '\0');
    if (PdhMakeCounterPath(&local, made.data(), &chars, 0) != ERROR_SUCCESS) return false;
    made.resize(std::char_traits<char>::length(made.c_str()));
    // The result must fit a buffer of kMaxTranslatedPath characters, terminator included.
    if (made.empty() || Utf8Length(made) >= kMaxTranslatedPath) return false;
    *localPath = std::move(made);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

HRESULT GetCounterTraits(std::string_view path, CounterTraits* traits) {
  if (traits == nullptr) return E_POINTER;
  return GuardHResult([&]() -> HRESULT {
    ThrowIfFailed(ValidateCounterPath(path));
    std::string text(path);

    std::lock_guard lock(catalogueMutex);
    if (catalogueQuery == nullptr) return E_FAIL;
    OwnedCounter counter;
    if (PdhAddCounter(catalogueQuery, text.c_str(), 0, counter.out()) != ERROR_SUCCESS) {
      return E_FAIL;
    }
    DWORD bytes = 0;
    PDH_STATUS status = PdhGetCounterInfo(counter.get(), FALSE, &bytes, nullptr);
    if ((status != PDH_MORE_DATA && status != ERROR_SUCCESS) || bytes < sizeof(PDH_COUNTER_INFO)) {
      return E_FAIL;
    }
    RecordBuffer buffer(bytes);
    auto* info = buffer.As<PDH_COUNTER_INFO>();
    if (PdhGetCounterInfo(counter.get(), FALSE, &bytes, info) != ERROR_SUCCESS) return E_FAIL;

    // Values always travel as doubles, so that is the canonical type of every counter,
    // whatever the size of its raw value.
    traits->canonicalDataType = VT_R8;
    traits->accessRights = OPC_READABLE;
    traits->counterType = info->dwType;
    return S_OK;
  });
}

HRESULT ReadCountersOnce(std::span<const std::string> paths, std::vector<DWORD>* counterTypes,
                         std::vector<PDH_FMT_COUNTERVALUE>* values,
                         std::vector<PDH_STATUS>* statuses) {
  if (counterTypes) counterTypes->clear();
  if (values) values->clear();
  if (statuses) statuses->clear();
  if (paths.empty()) return E_INVALIDARG;
  if (counterTypes == nullptr || values == nullptr || statuses == nullptr) return E_POINTER;

  return GuardHResult([&]() -> HRESULT {
    const std::size_t count = paths.size();
    std::vector<DWORD> types(count, 0);
    std::vector<PDH_FMT_COUNTERVALUE> formatted(count, PDH_FMT_COUNTERVALUE{});
    std::vector<PDH_STATUS> status(count, ERROR_SUCCESS);

    OwnedQuery query;
    switch (PdhOpenQuery(nullptr, 0, query.out())) {
      case ERROR_SUCCESS:
        break;
      case PDH_MEMORY_ALLOCATION_FAILURE:
        return E_OUTOFMEMORY;
      case PDH_INVALID_ARGUMENT:
        return E_INVALIDARG;
      default:
        return E_FAIL;
    }

    // Declared after the query, so they are removed before it is closed.
    std::vector<OwnedCounter> counters(count);
    HRESULT result = S_OK;
    for (std::size_t i = 0; i < count; ++i) {
      status[i] = HasEmbeddedNul(paths[i])
                      ? PDH_CSTATUS_BAD_COUNTERNAME
                      : PdhAddCounter(query.get(), paths[i].c_str(), 0, counters[i].out());
      if (status[i] != ERROR_SUCCESS) result = S_FALSE;
    }

    // Twice in a row, so that rate counters have the two samples they need.
    PdhCollectQueryData(query.get());
    switch (PdhCollectQueryData(query.get())) {
      case PDH_INVALID_HANDLE:
        return E_FAIL;
      case PDH_NO_DATA:
        result = S_FALSE;
        break;
      default:
        break;
    }

    auto readAll = [&] {
      bool waitingForTime = false;
      for (std::size_t i = 0; i < count; ++i) {
        if (counters[i].get() == nullptr) continue;
        status[i] = PdhGetFormattedCounterValue(counters[i].get(), PDH_FMT_DOUBLE, &types[i],
                                                &formatted[i]);
        if (status[i] == PDH_INVALID_DATA) waitingForTime = true;
      }
      return waitingForTime;
    };
    // Counters timed by the processors' own clock ticks (every Processor percentage) have no
    // value while both collections fall within one tick, which back-to-back collections nearly
    // always do; a device read would then report the most asked-for counter as bad. Give such
    // counters a few ticks more before their status is final.
    constexpr int kExtraCollections = 5;
    constexpr auto kTick = std::chrono::milliseconds(10);
    for (int extra = 0; readAll() && extra < kExtraCollections; ++extra) {
      std::this_thread::sleep_for(kTick);
      if (PdhCollectQueryData(query.get()) == PDH_INVALID_HANDLE) return E_FAIL;
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (counters[i].get() == nullptr) continue;
      if (status[i] != ERROR_SUCCESS) result = S_FALSE;
      counters[i].Reset();
    }
    counters.clear();

    *counterTypes = std::move(types);
    *values = std::move(formatted);
    *statuses = std::move(status);
    return result;
  });
}

bool SampleCounter(PDH_HCOUNTER counter, double* value) {
  if (value == nullptr) return false;
  PDH_FMT_COUNTERVALUE sample{};
  if (PdhGetFormattedCounterValue(counter, PDH_FMT_DOUBLE, nullptr, &sample) != ERROR_SUCCESS) {
    return false;
  }
  if (sample.CStatus != PDH_CSTATUS_VALID_DATA && sample.CStatus != PDH_CSTATUS_NEW_DATA) {
    return false;
  }
  *value = sample.doubleValue;
  return true;
}

HRESULT CatalogueQuery::Open() {
  std::lock_guard lock(catalogueMutex);
  if (catalogueQuery != nullptr) return S_OK;
  return PdhOpenQuery(nullptr, 0, &catalogueQuery) == ERROR_SUCCESS ? S_OK : E_FAIL;
}

void CatalogueQuery::Close() {
  std::lock_guard lock(catalogueMutex);
  if (catalogueQuery != nullptr) PdhCloseQuery(catalogueQuery);
  catalogueQuery = nullptr;
}

bool CatalogueQuery::IsOpen() {
  std::lock_guard lock(catalogueMutex);
  return catalogueQuery != nullptr;
}

PDH_HQUERY CatalogueQuery::Handle() {
  std::lock_guard lock(catalogueMutex);
  return catalogueQuery;
}

LANGID SystemUiLanguage() {
  static const LANGID language = perf::UiLanguage();
  return language;
}

LCID ServerLocale() {
  return MAKELCID(SystemUiLanguage(), kSortDefault);
}
