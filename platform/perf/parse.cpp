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

void UnescapeOctal(std::string_view in, std::string& out) {
  out.clear();
  auto octal = [](char c) { return c >= '0' && c <= '7'; };
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '\\' && i + 3 < in.size() && in[i + 1] >= '0' && in[i + 1] <= '3' &&
        octal(in[i + 2]) && octal(in[i + 3])) {
      out += static_cast<char>((in[i + 1] - '0') * 64 + (in[i + 2] - '0') * 8 + (in[i + 3] - '0'));
      i += 3;
    } else {
      out += in[i];
    }
  }
}

}  // namespace perf
