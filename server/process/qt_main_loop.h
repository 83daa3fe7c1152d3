// The program's main loop on the GUI toolkit's event loop (desktop module only).
#pragma once

#include <map>
#include <memory>

#include "server/process/main_loop.h"

class QObject;
class QSocketNotifier;

namespace zyn::server {

class QtMainLoop final : public MainLoop {
 public:
  // Posts are delivered through `context`, an object of the GUI thread that outlives the loop
  // (the application object).
  explicit QtMainLoop(QObject* context);
  ~QtMainLoop() override;
  QtMainLoop(const QtMainLoop&) = delete;
  QtMainLoop& operator=(const QtMainLoop&) = delete;

  void Post(Task task) override;
  void WatchReadable(int fd, Task onReadable) override;
  void Unwatch(int fd) override;
  void Run() override;
  void Quit() override;
  void RunPendingFor(std::chrono::milliseconds limit) override;

 private:
  struct Watch {
    // Kept, disabled, after Unwatch: destroying a notifier from inside its own signal (a
    // callback that unwatches itself) is not safe.
    std::unique_ptr<QSocketNotifier> notifier;
    std::shared_ptr<Task> callback;  // null once unwatched
  };

  QObject* const context_;
  std::map<int, Watch> watches_;
};

}  // namespace zyn::server
