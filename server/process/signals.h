// SIGTERM and SIGINT as a readable descriptor, so the program ends from its event loop and not
// inside a signal handler.
//
// The handler only writes the signal's number into a pipe (a self-pipe, rather than a blocked
// signal mask and signalfd, so programs the server starts do not inherit blocked signals).
#pragma once

namespace zyn::server {

class StopSignals {
 public:
  // Installs the handlers; one object per process. False when the pipe cannot be made.
  StopSignals();
  // Puts back the default handlers.
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  bool ok() const { return readFd_ >= 0; }
  // Becomes readable when a signal arrived.
  int fd() const { return readFd_; }
  // The last signal received since the previous call, 0 for none; never blocks.
  int Take();

 private:
  int readFd_ = -1;
  int writeFd_ = -1;
};

}  // namespace zyn::server
