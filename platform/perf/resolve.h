// From a path text to an object, a counter and an instance of the catalogue.
#pragma once

#include <string>
#include <string_view>

#include "platform/perf/catalogue.h"
#include "platform/perf/counter_path.h"
#include "platform/perf/names.h"
#include "platform/perf/source.h"

namespace perf {

struct ResolvedPath {
  CounterPath path;
  const ObjectProvider* provider = nullptr;
  const CounterDef* counter = nullptr;
  std::string instance;  // the whole instance name ("parent/instance"), empty for none
};

// Parses `text` and finds its object and counter by their local names. Statuses, in the order
// they are tested: PDH_CSTATUS_BAD_COUNTERNAME (not a path), PDH_CSTATUS_NO_MACHINE,
// PDH_CSTATUS_NO_OBJECT, PDH_CSTATUS_NO_COUNTER, PDH_CSTATUS_NO_INSTANCE (an instance given
// to an object without instances, or none given to an object with instances).
// Names are matched in `language`, the UI language unless the caller says otherwise.
PDH_STATUS ResolvePath(std::string_view text, SourceSet& sources, ResolvedPath& out);
PDH_STATUS ResolvePath(std::string_view text, SourceSet& sources, ResolvedPath& out,
                       Language language);

// The row of the `index`-th instance named `name` (ASCII case ignored), or npos.
std::size_t FindInstanceRow(const InstanceTable& table, std::string_view name, DWORD index);

// Whether the instance exists now, by collecting the object's instance names once.
bool InstanceExists(const ResolvedPath& resolved, SourceSet& sources);

// The instance names of `table` as PDH lists them: duplicates numbered "#1", "#2", ...
void AppendInstanceNames(const InstanceTable& table, std::string& multiString);

}  // namespace perf
