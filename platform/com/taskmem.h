// The task allocator: memory that crosses an interface boundary.
//
// Out-arrays and out-strings are allocated by the callee with CoTaskMemAlloc and freed by the
// caller with CoTaskMemFree, whichever side of a process boundary each is on (the transport
// re-allocates what it unmarshals with the same allocator).
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/com/types.h"

void* CoTaskMemAlloc(std::size_t cb) noexcept;
void* CoTaskMemRealloc(void* pv, std::size_t cb) noexcept;
void CoTaskMemFree(void* pv) noexcept;

namespace com {

struct TaskMemDeleter {
  void operator()(void* p) const noexcept { CoTaskMemFree(p); }
};

// Owns a task-allocated block until it is handed to a caller with release().
template <class T>
using TaskMem = std::unique_ptr<T, TaskMemDeleter>;

// A task-allocated array of `count` value-initialised elements of a trivial type; null when
// memory runs out. A count of 0 still gives a valid (1-byte) block, so "no entries" and "no
// memory" stay distinguishable.
template <class T>
TaskMem<T[]> TaskAllocArray(std::size_t count) {
  static_assert(std::is_trivially_destructible_v<T>, "task memory is freed without destructors");
  if (count > SIZE_MAX / sizeof(T)) return nullptr;
  void* p = CoTaskMemAlloc(count == 0 ? 1 : count * sizeof(T));
  if (p) std::memset(p, 0, count == 0 ? 1 : count * sizeof(T));
  return TaskMem<T[]>(static_cast<T*>(p));
}

// A task-allocated, NUL-terminated copy of a UTF-8 text; null when memory runs out.
LPWSTR TaskStrDup(std::string_view text) noexcept;

}  // namespace com
