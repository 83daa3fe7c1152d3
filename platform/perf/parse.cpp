#include "platform/perf/parse.h"

namespace perf {

int ParseKeyedNumbers(std::string_view text, const std::string_view* keys, int keyCount,
                      std::int64_t* out) {
  int found = 0;
  Scanner s(text);
  while (!s.AtEnd() && found < keyCount) {
    std::string_view line = s.Line();
    // The key ends at ':' (meminfo, status) or at the first blank (vmstat).
    std::size_t end = 0;
    while (end < line.size() && line[end] != ':' && line[end] != ' ' && line[end] != '\t')
      ++end;
    std::string_view key = line.substr(0, end);
    for (int k = 0; k < keyCount; ++k) {
      if (keys[k] != key) continue;
      Scanner value(line.substr(end < line.size() ? end + 1 : end));
      std::int64_t v = value.I64();
      value.SkipBlanks();
      if (value.Consume("kB")) v *= 1024;
      out[k] = v;
      ++found;
      break;
    }
  }
  return found;
}

}  // namespace perf
