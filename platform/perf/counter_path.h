// Counter paths: [\\machine]\object[(parent/instance#index)]\counter.
//
// The parser accepts any instance text between the first "(" after the object name and the
// ")" that ends the object part, so instance names may hold "\" and "/" (Linux paths such as
// mount points and swap files). A "/" splits off a parent instance only when text stands
// before it; objects without parent instances join the two again (FullInstance), so
// "/boot/efi" reads the same either way. "#n" at the end of the instance selects the n-th
// instance of that name (0-based; "#0" is the same as none).
#pragma once

#include <string>
#include <string_view>

#include "platform/perf/pdh.h"

namespace perf {

// Longest path accepted, in bytes.
inline constexpr std::size_t kMaxCounterPath = 32768;

struct CounterPath {
  std::string machine;  // without the leading "\\"; empty when the path names none
  std::string object;
  bool hasInstance = false;
  std::string parent;  // empty when none
  std::string instance;
  DWORD index = 0;
  std::string counter;

  // The instance as one text: "parent/instance" when a parent was given.
  std::string FullInstance() const;
};

// ERROR_SUCCESS, or PDH_INVALID_PATH when the text is not a counter path.
PDH_STATUS ParseCounterPath(std::string_view text, CounterPath& out);

// Builds a path; machine, parent and index are left out when empty or 0 (or index 0xFFFFFFFF).
std::string MakeCounterPath(std::string_view machine, std::string_view object,
                            std::string_view instance, std::string_view parent, DWORD index,
                            std::string_view counter);

// True when `machine` (with or without leading "\\") names the host `hostName`.
bool IsLocalMachine(std::string_view machine, std::string_view hostName);

}  // namespace perf
