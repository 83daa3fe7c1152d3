#include "platform/perf/names.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "platform/perf/perf.h"

namespace perf {
namespace {

struct Title {
  const char* english = nullptr;
  const char* german = nullptr;
};

struct Tables {
  std::vector<Title> byIndex;  // indexed by title index
  DWORD lastCounter = 0;
  std::vector<std::string> conflicts;
};

bool SameText(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return std::strcmp(a, b) == 0;
}

const Tables& GetTables() {
  static const Tables tables = [] {
    Tables t;
    auto note = [&t](const TitleName& name) {
      if (name.index >= t.byIndex.size()) t.byIndex.resize(name.index + 1);
      Title& slot = t.byIndex[name.index];
      if (slot.english == nullptr) {
        slot.english = name.english;
        slot.german = name.german;
        t.lastCounter = std::max(t.lastCounter, name.index);
      } else if (!SameText(slot.english, name.english) || !SameText(slot.german, name.german)) {
        t.conflicts.push_back(std::to_string(name.index) + ": " + slot.english + " | " +
                              name.english);
      }
    };
    for (const ObjectProvider* provider : AllProviders()) {
      for (const TitleName& name : provider->Def().names)
        note(name);
    }
    // Every index an object or counter uses must have a title.
    for (const ObjectProvider* provider : AllProviders()) {
      const ObjectDef& def = provider->Def();
      auto check = [&t](DWORD index) {
        if (index >= t.byIndex.size() || t.byIndex[index].english == nullptr) {
          t.conflicts.push_back(std::to_string(index) + ": no title");
        }
      };
      check(def.nameIndex);
      for (const CounterDef& c : def.counters)
        check(c.nameIndex);
    }
    return t;
  }();
  return tables;
}

}  // namespace

const char* TitleOf(DWORD index, Language language) {
  const Tables& t = GetTables();
  if (index >= t.byIndex.size()) return nullptr;
  const Title& title = t.byIndex[index];
  if (language == Language::kGerman && title.german != nullptr) return title.german;
  return title.english;
}

bool NamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

const ObjectProvider* FindObject(std::string_view name, Language language) {
  for (const ObjectProvider* provider : AllProviders()) {
    const char* title = TitleOf(provider->Def().nameIndex, language);
    if (title != nullptr && NamesEqual(title, name)) return provider;
  }
  return nullptr;
}

const CounterDef* FindCounter(const ObjectDef& def, std::string_view name, Language language) {
  for (const CounterDef& c : def.counters) {
    const char* title = TitleOf(c.nameIndex, language);
    if (title != nullptr && NamesEqual(title, name)) return &c;
  }
  return nullptr;
}

std::vector<std::string> TitleConflicts() {
  return GetTables().conflicts;
}

DWORD LastCounter() {
  return GetTables().lastCounter;
}

std::string EnglishCounters() {
  const Tables& t = GetTables();
  std::string out;
  for (std::size_t i = 0; i < t.byIndex.size(); ++i) {
    if (t.byIndex[i].english == nullptr) continue;
    out += std::to_string(i);
    out += '\0';
    out += t.byIndex[i].english;
    out += '\0';
  }
  out += '\0';
  return out;
}

std::vector<ObjectDefinition> ObjectDefinitions() {
  std::vector<ObjectDefinition> out;
  for (const ObjectProvider* provider : AllProviders()) {
    const ObjectDef& def = provider->Def();
    ObjectDefinition object{def.nameIndex, def.detailLevel, def.hasInstances, {}};
    for (const CounterDef& c : def.counters) {
      object.counters.push_back({c.nameIndex, c.type, c.detailLevel, c.defaultScale});
    }
    out.push_back(std::move(object));
  }
  return out;
}

std::string LocalName(DWORD index) {
  const char* title = TitleOf(index, CurrentLanguage());
  return title ? title : "";
}

}  // namespace perf
