#include "server/process/shutdown_monitor.h"

#include <utility>

namespace zyn::server {

ShutdownMonitor::ShutdownMonitor(Options options)
    : options_(std::move(options)), thread_([this] { Run(); }) {}

ShutdownMonitor::~ShutdownMonitor() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void ShutdownMonitor::Signal() {
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
    activity_ = true;
  }
  cv_.notify_all();
}

bool ShutdownMonitor::Wait(const std::chrono::milliseconds* limit) {
  std::unique_lock lock(mutex_);
  auto ready = [this] { return signalled_ || stop_; };
  if (limit) {
    cv_.wait_for(lock, *limit, ready);
  } else {
    cv_.wait(lock, ready);
  }
  const bool signalled = signalled_ && !stop_;
  signalled_ = false;
  return signalled;
}

void ShutdownMonitor::Run() {
  auto stopping = [this] {
    std::lock_guard lock(mutex_);
    return stop_;
  };
  // Start-up: nothing holds a lock yet. Whoever arrives and leaves again signals; if nobody
  // arrives at all within the grace, the program is not wanted.
  bool signalled = Wait(&options_.startGrace);
  for (;;) {
    if (stopping()) return;
    if (!signalled) {
      // The start-up grace passed (a wait without limit ends only for a signal or the stop).
      if (options_.count() == 0) options_.onIdle();
    } else {
      // The count dropped to 0: wait for a quiet period without another drop.
      bool active = true;
      while (active) {
        {
          std::lock_guard lock(mutex_);
          activity_ = false;
        }
        if (!Wait(&options_.quiet)) {
          std::lock_guard lock(mutex_);
          if (stop_) return;
          active = activity_;  // a drop to 0 just as the wait timed out
        }
      }
      if (options_.count() == 0) options_.onIdle();
    }
    signalled = Wait(nullptr);
  }
}

}  // namespace zyn::server
