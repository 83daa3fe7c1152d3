#include "server/process/signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace zyn::server {
namespace {

std::atomic<int> gWriteFd{-1};

void OnStopSignal(int signal) {
  const int saved = errno;
  const unsigned char number = static_cast<unsigned char>(signal);
  const int fd = gWriteFd.load(std::memory_order_relaxed);
  // A full pipe already holds a wake-up; losing this byte loses nothing.
  if (fd >= 0) {
    [[maybe_unused]] const ssize_t ignored = write(fd, &number, 1);
  }
  errno = saved;
}

}  // namespace

StopSignals::StopSignals() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  readFd_ = fds[0];
  writeFd_ = fds[1];
  gWriteFd.store(writeFd_);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

StopSignals::~StopSignals() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  gWriteFd.store(-1);
  if (readFd_ >= 0) close(readFd_);
  if (writeFd_ >= 0) close(writeFd_);
}

int StopSignals::Take() {
  int last = 0;
  unsigned char buffer[16];
  for (;;) {
    const ssize_t n = read(readFd_, buffer, sizeof buffer);
    if (n > 0) {
      last = buffer[n - 1];
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return last;
  }
}

}  // namespace zyn::server
