// The shutdown monitor: ends a server program that nobody uses any more.
//
// The process lock (ModuleLock) counts what keeps the program alive. When it drops to 0 the
// monitor is signalled; it then waits for a quiet period (one second) in which the count does
// not drop to 0 again, and if the count is still 0 at its end, it asks the program to end. A
// client that arrives within the second keeps the program alive. A program started on demand
// that no client ever reaches (the client died before connecting) ends after a longer start-up
// grace instead of living forever.
//
// The request to end may race a client that arrives just after it: the program checks the
// count again on its own thread, where objects are made, before it really ends, and ignores the
// request otherwise; the monitor keeps watching in either case.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/com/types.h"

namespace zyn::server {

class ShutdownMonitor {
 public:
  struct Options {
    std::chrono::milliseconds quiet{1000};        // after the last object is gone
    std::chrono::milliseconds startGrace{10000};  // when nothing ever held a lock
    std::function<LONG()> count;                  // the process lock count
    std::function<void()> onIdle;                 // asks the program to end; monitor thread
  };

  explicit ShutdownMonitor(Options options);
  // Stops the monitor's thread.
  ~ShutdownMonitor();
  ShutdownMonitor(const ShutdownMonitor&) = delete;
  ShutdownMonitor& operator=(const ShutdownMonitor&) = delete;

  // The lock count dropped to 0; any thread, never blocks for long.
  void Signal();

 private:
  void Run();
  // Waits for Signal or stop, at most `limit` (forever when null); true when signalled.
  bool Wait(const std::chrono::milliseconds* limit);

  const Options options_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;  // the event
  bool activity_ = false;   // a drop to 0 since the flag was last cleared
  bool stop_ = false;
  std::thread thread_;  // last: starts once the state above exists
};

}  // namespace zyn::server
