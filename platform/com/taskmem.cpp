#include "platform/com/taskmem.h"

#include <cstdlib>

void* CoTaskMemAlloc(std::size_t cb) noexcept {
  return std::malloc(cb == 0 ? 1 : cb);
}

void* CoTaskMemRealloc(void* pv, std::size_t cb) noexcept {
  return std::realloc(pv, cb == 0 ? 1 : cb);
}

void CoTaskMemFree(void* pv) noexcept {
  std::free(pv);
}

namespace com {

LPWSTR TaskStrDup(std::string_view text) noexcept {
  auto* p = static_cast<char*>(CoTaskMemAlloc(text.size() + 1));
  if (p == nullptr) return nullptr;
  std::memcpy(p, text.data(), text.size());
  p[text.size()] = '\0';
  return p;
}

}  // namespace com
