#include "platform/com/hresult.h"

#include <cstdio>

namespace com {

std::string HResultToHex(HRESULT hr) {
  char buf[11];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

}  // namespace com
