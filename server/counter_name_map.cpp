#include "server/counter_name_map.h"

#include <charconv>
#include <mutex>

namespace {

// Splits the next NUL-terminated string off `list`; an empty result ends the multi-string.
std::string_view NextString(std::string_view& list) {
  std::size_t end = list.find('\0');
  std::string_view item = list.substr(0, end);
  list.remove_prefix(end == std::string_view::npos ? list.size() : end + 1);
  return item;
}

}  // namespace

const CounterNameMap& CounterNameMap::Instance() {
  static CounterNameMap map;
  static std::once_flag built;
  // If building throws (out of memory), call_once lets a later caller try again.
  std::call_once(built, [] {
    map = Build(perf::LastCounter(), perf::EnglishCounters(), perf::ObjectDefinitions());
  });
  return map;
}

CounterNameMap CounterNameMap::Build(DWORD lastCounter, std::string_view englishCounters,
                                     const std::vector<perf::ObjectDefinition>& objects) {
  CounterNameMap map;
  // Without a name table there is nothing to translate from: leave the map empty rather than
  // fill the object and counter maps with nameless entries.
  if (lastCounter == 0 || englishCounters.empty() || englishCounters.front() == '\0') return map;

  map.names_.resize(static_cast<std::size_t>(lastCounter) + 1);
  std::string_view rest = englishCounters;
  while (!rest.empty()) {
    std::string_view number = NextString(rest);
    if (number.empty()) break;
    std::string_view name = NextString(rest);
    DWORD index = 0;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), index);
    if (error != std::errc() || end != number.data() + number.size()) continue;
    if (index > lastCounter) continue;
    map.names_[index] = std::string(name);
  }

  for (const perf::ObjectDefinition& object : objects) {
    std::string_view objectName = map.EnglishName(object.nameIndex);
    if (!objectName.empty())
      map.objects_.insert_or_assign(std::string(objectName), object.nameIndex);
    for (const perf::CounterDefinition& counter : object.counters) {
      std::string_view counterName = map.EnglishName(counter.nameIndex);
      if (!counterName.empty()) {
        map.counters_.insert_or_assign(std::string(counterName), counter.nameIndex);
      }
    }
  }
  return map;
}

DWORD CounterNameMap::ObjectIndex(std::string_view englishName) const {
  auto it = objects_.find(englishName);
  return it == objects_.end() ? 0 : it->second;
}

DWORD CounterNameMap::CounterIndex(std::string_view englishName) const {
  auto it = counters_.find(englishName);
  return it == counters_.end() ? 0 : it->second;
}

std::string_view CounterNameMap::EnglishName(DWORD index) const {
  return index < names_.size() ? std::string_view(names_[index]) : std::string_view();
}
