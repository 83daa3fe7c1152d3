#include "server/messenger_environment.h"

#include <mutex>
#include <utility>

namespace {

struct SharedEnvironment {
  std::mutex mutex;
  MessengerEnvironment environment;
};

SharedEnvironment& Shared() {
  static SharedEnvironment shared;
  return shared;
}

}  // namespace

void SetMessengerEnvironment(MessengerEnvironment environment) {
  SharedEnvironment& shared = Shared();
  MessengerEnvironment old;
  {
    std::lock_guard lock(shared.mutex);
    old = std::exchange(shared.environment, std::move(environment));
  }
  // The replaced tray function is dropped outside the lock; it may own anything.
}

MessengerEnvironment CurrentMessengerEnvironment() {
  SharedEnvironment& shared = Shared();
  std::lock_guard lock(shared.mutex);
  return shared.environment;
}
