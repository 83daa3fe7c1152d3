// Process-wide settings of the library: default data source, UI language, clock.
#include <time.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "platform/perf/names.h"
#include "platform/perf/perf.h"

namespace perf {
namespace {

std::mutex& SettingsMutex() {
  static std::mutex m;
  return m;
}
std::string& DefaultSourceSlot() {
  static std::string source;
  return source;
}

// 0: from the environment, 1: English, 2: German.
std::atomic<int> languageOverride{0};

Language LanguageFromEnvironment() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(var);
    if (value == nullptr || *value == '\0') continue;
    return (value[0] == 'd' && value[1] == 'e') ? Language::kGerman : Language::kEnglish;
  }
  return Language::kEnglish;
}

std::int64_t MonotonicClock() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 10'000'000 + ts.tv_nsec / 100;
}

std::atomic<ClockFunction> clockFunction{nullptr};

}  // namespace

void SetDefaultDataSource(std::string directory) {
  std::lock_guard lock(SettingsMutex());
  DefaultSourceSlot() = std::move(directory);
}

std::string DefaultDataSource() {
  std::lock_guard lock(SettingsMutex());
  return DefaultSourceSlot();
}

void SetUiLanguage(std::string language) {
  if (language.empty()) {
    languageOverride = 0;
  } else {
    languageOverride = (language.rfind("de", 0) == 0) ? 2 : 1;
  }
}

Language CurrentLanguage() {
  switch (languageOverride.load()) {
    case 1:
      return Language::kEnglish;
    case 2:
      return Language::kGerman;
    default: {
      // The environment is read once: it does not change under a running server.
      static const Language fromEnvironment = LanguageFromEnvironment();
      return fromEnvironment;
    }
  }
}

LANGID UiLanguage() {
  return CurrentLanguage() == Language::kGerman ? MAKELANGID(LANG_GERMAN, 1)
                                                : MAKELANGID(LANG_ENGLISH, 1);
}

void SetClock(ClockFunction clock) {
  clockFunction = clock;
}

std::int64_t Now100ns() {
  ClockFunction clock = clockFunction.load();
  return clock ? clock() : MonotonicClock();
}

}  // namespace perf
