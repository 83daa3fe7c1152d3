// The counter catalogue as the OPC layer sees it: item IDs are counter paths of the
// performance-data library, validated, translated from English, inspected and sampled here.
//
// Everything in this file runs on the server's apartment thread, except SampleCounter and
// ReadCountersOnce, which group threads call with queries of their own.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/hresult.h"
#include "platform/com/types.h"
#include "platform/perf/pdh.h"

// The verdict of the performance library on a path, in OPC terms: S_OK,
// OPC_E_UNKNOWNITEMID (no such machine, object, instance or counter), OPC_E_INVALIDITEMID
// (malformed) or E_OUTOFMEMORY.
HRESULT ValidateCounterPath(std::string_view path);

// The OPC verdict for a status of the library's path validation. Statuses that say the text
// is not a path at all (PDH_INVALID_PATH, PDH_INVALID_ARGUMENT) count as malformed, so that no
// garbage is ever accepted as an item ID.
HRESULT ItemIdVerdict(PDH_STATUS status);

// Longest path TranslateEnglishPath produces, in characters.
inline constexpr std::size_t kMaxTranslatedPath = 2048;

// When the object and counter names of `path` are English names of the catalogue, writes the
// same path with local-language names (no machine part) to *localPath and returns true;
// otherwise false and *localPath is untouched.
bool TranslateEnglishPath(std::string_view path, std::string* localPath);

struct CounterTraits {
  VARTYPE canonicalDataType;  // every value travels as VT_R8, so VT_R8 for every counter
  DWORD accessRights;         // always OPC_READABLE (1)
  DWORD counterType;          // PERF_* type of the counter
};

// The traits of one counter, inspected through the process's CatalogueQuery. A path that
// ValidateCounterPath rejects gives its verdict; any other library failure E_FAIL.
HRESULT GetCounterTraits(std::string_view path, CounterTraits* traits);

// Samples `paths` once in a fresh query (collected twice without a pause, so rate counters
// have a value). Results: S_OK; S_FALSE when any path failed (its status says why); or an error
// (E_INVALIDARG for no paths, E_OUTOFMEMORY, E_FAIL), in which case the vectors are left empty.
HRESULT ReadCountersOnce(std::span<const std::string> paths, std::vector<DWORD>* counterTypes,
                         std::vector<PDH_FMT_COUNTERVALUE>* values,
                         std::vector<PDH_STATUS>* statuses);

// Reads a counter of a collected query as a double. True only when the read succeeded and the
// value is valid (PDH_CSTATUS_VALID_DATA or PDH_CSTATUS_NEW_DATA); a counter without a usable
// value contributes nothing to a group's cycle.
bool SampleCounter(PDH_HCOUNTER counter, double* value);

// The process's one query for inspecting single counters. Opened before the server serves and
// closed after; the server does not serve when it cannot be opened.
class CatalogueQuery {
 public:
  // Opens the process-wide query. E_FAIL when the library refuses.
  static HRESULT Open();
  static void Close();
  static bool IsOpen();
  // The open query, or null.
  static PDH_HQUERY Handle();
};

// Keeps the CatalogueQuery open for a scope (program start-up and tests).
class CatalogueQueryScope {
 public:
  CatalogueQueryScope() : hr_(CatalogueQuery::Open()) {}
  ~CatalogueQueryScope() {
    if (SUCCEEDED(hr_)) CatalogueQuery::Close();
  }
  CatalogueQueryScope(const CatalogueQueryScope&) = delete;
  CatalogueQueryScope& operator=(const CatalogueQueryScope&) = delete;
  HRESULT result() const { return hr_; }

 private:
  HRESULT hr_;
};

// The system's user-interface language, read once at process start (the server's only
// locale). perf::UiLanguage() decides it.
LANGID SystemUiLanguage();
// The server's locale: SystemUiLanguage() with the default sort order.
LCID ServerLocale();
