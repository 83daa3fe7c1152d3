#include "server/event_set.h"

void EventSet::Set(std::size_t index) {
  {
    std::lock_guard lock(mutex_);
    signalled_.at(index) = true;
  }
  changed_.notify_all();
}

void EventSet::Reset(std::size_t index) {
  std::lock_guard lock(mutex_);
  signalled_.at(index) = false;
}

bool EventSet::IsSet(std::size_t index) const {
  std::lock_guard lock(mutex_);
  return signalled_.at(index);
}

int EventSet::FirstSignalled() const {
  for (std::size_t i = 0; i < signalled_.size(); ++i) {
    if (signalled_[i]) return static_cast<int>(i);
  }
  return kTimeout;
}

int EventSet::Wait(std::optional<std::chrono::milliseconds> timeout) {
  // steady_clock, so that a change of the wall clock neither stretches nor cuts the wait.
  if (timeout) return WaitUntil(std::chrono::steady_clock::now() + *timeout);
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return FirstSignalled() != kTimeout; });
  return FirstSignalled();
}

int EventSet::WaitUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  changed_.wait_until(lock, deadline, [this] { return FirstSignalled() != kTimeout; });
  return FirstSignalled();
}
