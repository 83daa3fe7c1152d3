// The program's main loop: the thread that is the server's apartment, and the loop that drives
// it, woken by other threads and by descriptors that become readable.
//
// The program runs on one of two: a plain poll(2) loop (PollLoop) on machines without a
// display, so nothing of a GUI library is loaded there, or the desktop module's loop built on
// the GUI toolkit's own event loop when a desktop answers. The program's code sees only this.
#pragma once

#include <chrono>
#include <functional>

namespace zyn::server {

class MainLoop {
 public:
  using Task = std::function<void()>;

  virtual ~MainLoop() = default;

  // Queues `task` to run on the loop's thread and wakes the loop; any thread. Tasks run in the
  // order they were posted.
  virtual void Post(Task task) = 0;
  // Calls `onReadable` on the loop's thread whenever `fd` has data to read (or is closed by
  // its peer); a second call for the same descriptor replaces the callback. The descriptor
  // stays the caller's. Loop thread.
  virtual void WatchReadable(int fd, Task onReadable) = 0;
  // Stops watching `fd`; its callback is not called again. Loop thread.
  virtual void Unwatch(int fd) = 0;
  // Runs posted tasks and watch callbacks until Quit. Loop thread.
  virtual void Run() = 0;
  // Makes Run return once the task or callback that calls it is done. Loop thread.
  virtual void Quit() = 0;
  // Runs what is ready now (posted tasks, readable descriptors, and the toolkit's own events)
  // for at most `limit`, without waiting for more; for the end of the program, when Run has
  // returned but the last releases still arrive. Loop thread.
  virtual void RunPendingFor(std::chrono::milliseconds limit) = 0;
};

}  // namespace zyn::server
