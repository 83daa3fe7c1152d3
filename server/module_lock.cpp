#include "server/module_lock.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

namespace {

std::atomic<LONG> lockCount{0};

// The callback is swapped under the mutex and called through a copy of its shared pointer, so
// a callback being replaced while it runs stays alive until it returns.
std::mutex callbackMutex;
std::shared_ptr<const std::function<void()>> onZero;

class LockToken final : public com::ComObject<IUnknown> {
 private:
  ModuleLockHolder lock_;
};

}  // namespace

LONG ModuleLock::Lock() noexcept {
  return lockCount.fetch_add(1, std::memory_order_acq_rel) + 1;
}

LONG ModuleLock::Unlock() noexcept {
  const LONG left = lockCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) {
    std::shared_ptr<const std::function<void()>> callback;
    {
      std::lock_guard lock(callbackMutex);
      callback = onZero;
    }
    if (callback && *callback) (*callback)();
  }
  return left;
}

LONG ModuleLock::Count() noexcept {
  return lockCount.load(std::memory_order_acquire);
}

void ModuleLock::SetOnZero(std::function<void()> callback) {
  auto shared =
      callback ? std::make_shared<const std::function<void()>>(std::move(callback)) : nullptr;
  std::lock_guard lock(callbackMutex);
  onZero = std::move(shared);
}

com::ComPtr<IUnknown> MakeModuleLockToken() {
  com::ComPtr<LockToken> token = com::MakeObject<LockToken>();
  return com::ComPtr<IUnknown>(token.Get());
}
