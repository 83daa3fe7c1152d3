#include "platform/perf/resolve.h"

#include <unordered_map>

#include "platform/perf/names.h"
#include "platform/perf/perf.h"

namespace perf {

PDH_STATUS ResolvePath(std::string_view text, SourceSet& sources, ResolvedPath& out) {
  return ResolvePath(text, sources, out, CurrentLanguage());
}

PDH_STATUS ResolvePath(std::string_view text, SourceSet& sources, ResolvedPath& out,
                       Language language) {
  out = ResolvedPath();
  if (ParseCounterPath(text, out.path) != ERROR_SUCCESS) return PDH_CSTATUS_BAD_COUNTERNAME;
  if (!out.path.machine.empty() && !IsLocalMachine(out.path.machine, sources.HostName())) {
    return PDH_CSTATUS_NO_MACHINE;
  }
  out.provider = FindObject(out.path.object, language);
  if (out.provider == nullptr) return PDH_CSTATUS_NO_OBJECT;
  const ObjectDef& def = out.provider->Def();
  out.counter = FindCounter(def, out.path.counter, language);
  if (out.counter == nullptr) return PDH_CSTATUS_NO_COUNTER;
  if (def.hasInstances != out.path.hasInstance) return PDH_CSTATUS_NO_INSTANCE;
  out.instance = out.path.FullInstance();
  return ERROR_SUCCESS;
}

std::size_t FindInstanceRow(const InstanceTable& table, std::string_view name, DWORD index) {
  DWORD seen = 0;
  for (std::size_t row = 0; row < table.size(); ++row) {
    if (!NamesEqual(table.name(row), name)) continue;
    if (seen == index) return row;
    ++seen;
  }
  return static_cast<std::size_t>(-1);
}

bool InstanceExists(const ResolvedPath& resolved, SourceSet& sources) {
  const ObjectDef& def = resolved.provider->Def();
  if (!def.hasInstances) return true;
  auto sampler = resolved.provider->NewSampler(sources);
  InstanceTable table;
  table.Begin(def.fieldCount);
  sources.NextCollection(Now100ns());
  if (!sampler->Collect(FieldSet(), table)) return false;
  return FindInstanceRow(table, resolved.instance, resolved.path.index) !=
         static_cast<std::size_t>(-1);
}

void AppendInstanceNames(const InstanceTable& table, std::string& multiString) {
  // Numbered in the order FindInstanceRow counts them: ASCII case ignored.
  std::unordered_map<std::string, DWORD> seen;
  std::string key;
  for (std::size_t row = 0; row < table.size(); ++row) {
    std::string_view name = table.name(row);
    key.assign(name);
    for (char& c : key) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    DWORD n = seen[key]++;
    multiString += name;
    if (n > 0) {
      multiString += '#';
      multiString += std::to_string(n);
    }
    multiString += '\0';
  }
}

}  // namespace perf
