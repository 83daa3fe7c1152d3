// The name tables built from the providers' titles, and name matching in the local language.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/perf/catalogue.h"

namespace perf {

enum class Language { kEnglish, kGerman };

Language CurrentLanguage();

// The name of `index` in `language` (German falls back to English); null when unknown.
const char* TitleOf(DWORD index, Language language);

// PDH compares names without regard to ASCII case.
bool NamesEqual(std::string_view a, std::string_view b);

// The provider whose object has the local name `name`, or null.
const ObjectProvider* FindObject(std::string_view name, Language language);
// The counter of `def` with the local name `name`, or null.
const CounterDef* FindCounter(const ObjectDef& def, std::string_view name, Language language);

// Titles given differently by two providers (same index, other text): "index: a | b" lines.
// The catalogue is consistent when this is empty.
std::vector<std::string> TitleConflicts();

}  // namespace perf
