// libFuzzer target: any byte string given to the path functions gives a status, never a crash,
// and a path that parses makes a path that parses to the same elements.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/perf/counter_path.h"
#include "platform/perf/pdh.h"
#include "platform/perf/perf.h"

// Catalogue look-ups read the captured snapshot: deterministic and fast.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  perf::SetDefaultDataSource(ZYN_PERF_TESTDATA "/a");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  const char* path = text.c_str();  // stops at an embedded NUL, as a C caller's would

  PdhValidatePath(path);

  DWORD bytes = 0;
  if (PdhParseCounterPath(path, nullptr, &bytes, 0) == PDH_MORE_DATA) {
    std::vector<std::uint64_t> buffer(bytes / 8 + 1);
    auto* elements = reinterpret_cast<PDH_COUNTER_PATH_ELEMENTS*>(buffer.data());
    if (PdhParseCounterPath(path, elements, &bytes, 0) != ERROR_SUCCESS) __builtin_trap();
    DWORD chars = 0;
    if (PdhMakeCounterPath(elements, nullptr, &chars, 0) != PDH_MORE_DATA) __builtin_trap();
    std::string made(chars, '\0');
    if (PdhMakeCounterPath(elements, made.data(), &chars, 0) != ERROR_SUCCESS) __builtin_trap();
    made.resize(std::strlen(made.c_str()));
    perf::CounterPath a, b;
    if (perf::ParseCounterPath(path, a) != ERROR_SUCCESS) __builtin_trap();
    if (perf::ParseCounterPath(made, b) != ERROR_SUCCESS) __builtin_trap();
    if (a.machine != b.machine || a.object != b.object || a.FullInstance() != b.FullInstance() ||
        a.counter != b.counter || (a.index != b.index && a.index != 0)) {
      __builtin_trap();
    }
  }

  PDH_HQUERY query = nullptr;
  if (PdhOpenQuery(nullptr, 0, &query) == ERROR_SUCCESS) {
    PDH_HCOUNTER counter = nullptr;
    if (PdhAddCounter(query, path, 0, &counter) == ERROR_SUCCESS) PdhRemoveCounter(counter);
    PdhCloseQuery(query);
  }
  return 0;
}
