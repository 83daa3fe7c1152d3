// The main loop of a program without a desktop: poll(2) over an eventfd that posts write to
// and the watched descriptors. It needs nothing but the C library.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "server/process/main_loop.h"

namespace zyn::server {

// A descriptor closed when its owner goes.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  ~UniqueFd();
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  int Release();

 private:
  int fd_ = -1;
};

class PollLoop final : public MainLoop {
 public:
  // ok() is false when the eventfd cannot be made (the process is out of descriptors).
  PollLoop();
  ~PollLoop() override;
  PollLoop(const PollLoop&) = delete;
  PollLoop& operator=(const PollLoop&) = delete;

  bool ok() const { return wake_.ok(); }

  void Post(Task task) override;
  void WatchReadable(int fd, Task onReadable) override;
  void Unwatch(int fd) override;
  void Run() override;
  // Also safe from other threads here: it only sets a flag and wakes the loop. A Quit while
  // Run is not running ends the next Run at once.
  void Quit() override;
  void RunPendingFor(std::chrono::milliseconds limit) override;

 private:
  // One round: waits up to `timeoutMs` (-1: without limit) for a post or a readable watched
  // descriptor, then runs the tasks posted before the round and the callbacks of the
  // descriptors found readable; with `stopOnQuit`, stops early once Quit was called. True when
  // anything ran.
  bool RunOnce(int timeoutMs, bool stopOnQuit);
  void Wake();
  void DrainWake();

  UniqueFd wake_;
  std::mutex mutex_;
  std::deque<Task> tasks_;  // guarded by mutex_
  // Loop thread only. Shared so that a callback that unwatches or replaces itself is not
  // destroyed while it runs.
  std::map<int, std::shared_ptr<Task>> watches_;
  std::atomic<bool> quit_{false};
};

}  // namespace zyn::server
