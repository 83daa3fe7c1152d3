// PDH's catalogue functions: enumeration, validation, path parsing and making, name lookup.
#include <algorithm>
#include <cstring>

#include "platform/perf/names.h"
#include "platform/perf/pdh.h"
#include "platform/perf/perf.h"
#include "platform/perf/resolve.h"

namespace perf {
namespace {

std::string SourceRoot(LPCWSTR szDataSource) {
  return (szDataSource && *szDataSource) ? std::string(szDataSource) : DefaultDataSource();
}

bool MachineOk(LPCWSTR szMachineName, SourceSet& sources) {
  return szMachineName == nullptr || *szMachineName == '\0' ||
         IsLocalMachine(szMachineName, sources.HostName());
}

// Hands a multi-string (terminating NULs included) to a caller's buffer with PDH's size rules.
// Returns false when the buffer is missing or short; *pcch always receives the size needed.
bool DeliverList(const std::string& list, LPWSTR buffer, DWORD* pcch) {
  DWORD need = static_cast<DWORD>(list.size());
  bool fits = buffer != nullptr && *pcch >= need;
  if (fits) std::memcpy(buffer, list.data(), list.size());
  *pcch = need;
  return fits;
}

bool NameBefore(const char* a, const char* b) {
  for (;; ++a, ++b) {
    char x = *a, y = *b;
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y || x == '\0') return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  }
}

}  // namespace
}  // namespace perf

using namespace perf;

PDH_STATUS PdhEnumObjects(LPCWSTR szDataSource, LPCWSTR szMachineName, LPWSTR mszObjectList,
                          DWORD* pcchBufferSize, DWORD dwDetailLevel, BOOL /*bRefresh*/) {
  // The catalogue is built from the providers, so there is nothing to refresh: every
  // enumeration already reflects the objects as they are.
  if (pcchBufferSize == nullptr) return PDH_INVALID_ARGUMENT;
  SourceSet sources(SourceRoot(szDataSource));
  if (!MachineOk(szMachineName, sources)) return PDH_CSTATUS_NO_MACHINE;
  Language language = CurrentLanguage();
  std::vector<const char*> names;
  for (const ObjectProvider* provider : AllProviders()) {
    const ObjectDef& def = provider->Def();
    if (def.detailLevel > dwDetailLevel) continue;
    if (const char* name = TitleOf(def.nameIndex, language)) names.push_back(name);
  }
  std::sort(names.begin(), names.end(), NameBefore);
  std::string list;
  for (const char* name : names) {
    list += name;
    list += '\0';
  }
  list += '\0';
  return DeliverList(list, mszObjectList, pcchBufferSize) ? ERROR_SUCCESS : PDH_MORE_DATA;
}

PDH_STATUS PdhEnumObjectItems(LPCWSTR szDataSource, LPCWSTR szMachineName, LPCWSTR szObjectName,
                              LPWSTR mszCounterList, DWORD* pcchCounterListLength,
                              LPWSTR mszInstanceList, DWORD* pcchInstanceListLength,
                              DWORD dwDetailLevel, DWORD /*dwFlags*/) {
  if (szObjectName == nullptr) return PDH_INVALID_ARGUMENT;
  if (pcchCounterListLength == nullptr && pcchInstanceListLength == nullptr) {
    return PDH_INVALID_ARGUMENT;
  }
  SourceSet sources(SourceRoot(szDataSource));
  if (!MachineOk(szMachineName, sources)) return PDH_CSTATUS_NO_MACHINE;
  Language language = CurrentLanguage();
  const ObjectProvider* provider = FindObject(szObjectName, language);
  if (provider == nullptr) return PDH_CSTATUS_NO_OBJECT;
  const ObjectDef& def = provider->Def();

  bool fits = true;
  if (pcchCounterListLength != nullptr) {
    std::string counters;
    for (const CounterDef& c : def.counters) {
      if (c.detailLevel > dwDetailLevel) continue;
      if (const char* name = TitleOf(c.nameIndex, language)) {
        counters += name;
        counters += '\0';
      }
    }
    counters += '\0';
    fits &= DeliverList(counters, mszCounterList, pcchCounterListLength);
  }
  if (pcchInstanceListLength != nullptr) {
    std::string instances;
    if (def.hasInstances) {
      auto sampler = provider->NewSampler(sources);
      InstanceTable table;
      table.Begin(def.fieldCount);
      sources.NextCollection(Now100ns());
      if (!sampler->Collect(FieldSet(), table)) return PDH_CSTATUS_NO_OBJECT;
      AppendInstanceNames(table, instances);
      if (instances.empty()) instances += '\0';
      instances += '\0';
      fits &= DeliverList(instances, mszInstanceList, pcchInstanceListLength);
    } else {
      // An object without instances has an empty instance list.
      *pcchInstanceListLength = 0;
    }
  }
  return fits ? ERROR_SUCCESS : PDH_MORE_DATA;
}

PDH_STATUS PdhValidatePath(LPCWSTR szFullPathBuffer) {
  if (szFullPathBuffer == nullptr) return PDH_INVALID_ARGUMENT;
  SourceSet sources(DefaultDataSource());
  ResolvedPath resolved;
  PDH_STATUS status = ResolvePath(szFullPathBuffer, sources, resolved);
  if (status != ERROR_SUCCESS) return status;
  return InstanceExists(resolved, sources) ? ERROR_SUCCESS : PDH_CSTATUS_NO_INSTANCE;
}

PDH_STATUS PdhParseCounterPath(LPCWSTR szFullPathBuffer,
                               PDH_COUNTER_PATH_ELEMENTS* pCounterPathElements,
                               DWORD* pdwBufferSize, DWORD /*dwFlags*/) {
  if (szFullPathBuffer == nullptr || pdwBufferSize == nullptr) return PDH_INVALID_ARGUMENT;
  CounterPath path;
  if (ParseCounterPath(szFullPathBuffer, path) != ERROR_SUCCESS) return PDH_INVALID_PATH;
  std::string machine = path.machine.empty() ? std::string() : "\\\\" + path.machine;
  std::size_t need = sizeof(PDH_COUNTER_PATH_ELEMENTS) + path.object.size() + 1 +
                     path.counter.size() + 1 + (machine.empty() ? 0 : machine.size() + 1) +
                     (path.hasInstance ? path.instance.size() + 1 : 0) +
                     (path.parent.empty() ? 0 : path.parent.size() + 1);
  if (pCounterPathElements == nullptr || *pdwBufferSize < need) {
    *pdwBufferSize = static_cast<DWORD>(need);
    return PDH_MORE_DATA;
  }
  PDH_COUNTER_PATH_ELEMENTS& e = *pCounterPathElements;
  e = PDH_COUNTER_PATH_ELEMENTS{};
  char* cursor = reinterpret_cast<char*>(pCounterPathElements + 1);
  auto put = [&cursor](const std::string& text) {
    LPWSTR field = cursor;
    std::memcpy(cursor, text.data(), text.size());
    cursor[text.size()] = '\0';
    cursor += text.size() + 1;
    return field;
  };
  if (!machine.empty()) e.szMachineName = put(machine);
  e.szObjectName = put(path.object);
  if (path.hasInstance) e.szInstanceName = put(path.instance);
  if (!path.parent.empty()) e.szParentInstance = put(path.parent);
  e.dwInstanceIndex = path.index;
  e.szCounterName = put(path.counter);
  *pdwBufferSize = static_cast<DWORD>(need);
  return ERROR_SUCCESS;
}

PDH_STATUS PdhMakeCounterPath(const PDH_COUNTER_PATH_ELEMENTS* pCounterPathElements,
                              LPWSTR szFullPathBuffer, DWORD* pcchBufferSize, DWORD /*dwFlags*/) {
  if (pCounterPathElements == nullptr || pcchBufferSize == nullptr) return PDH_INVALID_ARGUMENT;
  const PDH_COUNTER_PATH_ELEMENTS& e = *pCounterPathElements;
  if (e.szObjectName == nullptr || *e.szObjectName == '\0' || e.szCounterName == nullptr ||
      *e.szCounterName == '\0') {
    return PDH_INVALID_ARGUMENT;
  }
  auto text = [](LPCWSTR s) { return s ? std::string_view(s) : std::string_view(); };
  std::string path = MakeCounterPath(text(e.szMachineName), e.szObjectName, text(e.szInstanceName),
                                     text(e.szParentInstance), e.dwInstanceIndex, e.szCounterName);
  if (path.size() + 1 > 0xFFFFFFFFu) return PDH_INSUFFICIENT_BUFFER;
  DWORD need = static_cast<DWORD>(path.size() + 1);
  if (szFullPathBuffer == nullptr || *pcchBufferSize < need) {
    *pcchBufferSize = need;
    return PDH_MORE_DATA;
  }
  std::memcpy(szFullPathBuffer, path.c_str(), need);
  *pcchBufferSize = need;
  return ERROR_SUCCESS;
}

PDH_STATUS PdhLookupPerfNameByIndex(LPCWSTR szMachineName, DWORD dwNameIndex, LPWSTR szNameBuffer,
                                    DWORD* pcchNameBufferSize) {
  if (pcchNameBufferSize == nullptr) return PDH_INVALID_ARGUMENT;
  SourceSet sources(DefaultDataSource());
  if (!MachineOk(szMachineName, sources)) return PDH_CSTATUS_NO_MACHINE;
  const char* name = TitleOf(dwNameIndex, CurrentLanguage());
  if (name == nullptr || dwNameIndex == 0) return PDH_INVALID_ARGUMENT;
  DWORD need = static_cast<DWORD>(std::strlen(name) + 1);
  if (szNameBuffer == nullptr || *pcchNameBufferSize < need) {
    *pcchNameBufferSize = need;
    return PDH_MORE_DATA;
  }
  std::memcpy(szNameBuffer, name, need);
  *pcchNameBufferSize = need;
  return ERROR_SUCCESS;
}

PDH_STATUS PdhLookupPerfIndexByName(LPCWSTR szMachineName, LPCWSTR szNameBuffer, DWORD* pdwIndex) {
  if (szNameBuffer == nullptr || pdwIndex == nullptr) return PDH_INVALID_ARGUMENT;
  SourceSet sources(DefaultDataSource());
  if (!MachineOk(szMachineName, sources)) return PDH_CSTATUS_NO_MACHINE;
  Language language = CurrentLanguage();
  for (DWORD index = 1; index <= LastCounter(); ++index) {
    const char* name = TitleOf(index, language);
    if (name != nullptr && NamesEqual(name, szNameBuffer)) {
      *pdwIndex = index;
      return ERROR_SUCCESS;
    }
  }
  return PDH_STRING_NOT_FOUND;
}
