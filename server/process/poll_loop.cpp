#include "server/process/poll_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>
#include <vector>

namespace zyn::server {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.Release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) close(fd_);
}

int UniqueFd::Release() {
  return std::exchange(fd_, -1);
}

PollLoop::PollLoop() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

PollLoop::~PollLoop() = default;

void PollLoop::Post(Task task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  Wake();
}

void PollLoop::WatchReadable(int fd, Task onReadable) {
  watches_[fd] = std::make_shared<Task>(std::move(onReadable));
}

void PollLoop::Unwatch(int fd) {
  watches_.erase(fd);
}

void PollLoop::Run() {
  while (!quit_.load())
    RunOnce(-1, true);
  quit_.store(false);
}

void PollLoop::Quit() {
  quit_.store(true);
  Wake();
}

void PollLoop::RunPendingFor(std::chrono::milliseconds limit) {
  // Like the toolkit's "process events": what is ready runs even after a Quit, and nothing is
  // waited for.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (RunOnce(0, false) && std::chrono::steady_clock::now() < deadline) {
  }
}

void PollLoop::Wake() {
  const std::uint64_t one = 1;
  // EAGAIN means the counter is already non-zero: the loop is woken anyway.
  [[maybe_unused]] const ssize_t ignored = write(wake_.get(), &one, sizeof one);
}

void PollLoop::DrainWake() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t ignored = read(wake_.get(), &count, sizeof count);
}

bool PollLoop::RunOnce(int timeoutMs, bool stopOnQuit) {
  std::vector<pollfd> fds;
  fds.reserve(watches_.size() + 1);
  fds.push_back({wake_.get(), POLLIN, 0});
  for (const auto& [fd, task] : watches_)
    fds.push_back({fd, POLLIN, 0});
  if (poll(fds.data(), fds.size(), timeoutMs) < 0) {
    // A signal (the stop signals' handler among them) interrupts the wait; its descriptor is
    // seen in the next round.
    return false;
  }
  // Drained before the queue is taken, so a task posted from now on wakes the next round.
  if (fds[0].revents != 0) DrainWake();

  bool ran = false;
  auto stopping = [&] { return stopOnQuit && quit_.load(); };
  std::size_t count;
  {
    std::lock_guard lock(mutex_);
    count = tasks_.size();
  }
  // Only what was queued before the round: a task that posts itself again cannot starve the
  // descriptors. What a Quit leaves queued stays, in order, for the next round.
  for (; count > 0 && !stopping(); --count) {
    Task task;
    {
      std::lock_guard lock(mutex_);
      if (tasks_.empty()) break;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    if (task) task();
    ran = true;
  }
  for (std::size_t i = 1; i < fds.size() && !stopping(); ++i) {
    const short events = fds[i].revents;
    if (events == 0) continue;
    auto it = watches_.find(fds[i].fd);
    if (it == watches_.end()) continue;  // unwatched by an earlier callback of this round
    if (events & POLLNVAL) {
      // Closed while still watched: it would be reported at once in every round, so the watch
      // goes rather than the loop spinning.
      watches_.erase(it);
      continue;
    }
    const std::shared_ptr<Task> callback = it->second;
    (*callback)();
    ran = true;
  }
  return ran;
}

}  // namespace zyn::server
