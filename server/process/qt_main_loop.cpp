#include "server/process/qt_main_loop.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <utility>

namespace zyn::server {

QtMainLoop::QtMainLoop(QObject* context) : context_(context) {}

QtMainLoop::~QtMainLoop() = default;

void QtMainLoop::Post(Task task) {
  QMetaObject::invokeMethod(
      context_,
      [task = std::move(task)]() {
        if (task) task();
      },
      Qt::QueuedConnection);
}

void QtMainLoop::WatchReadable(int fd, Task onReadable) {
  Watch& watch = watches_[fd];
  watch.callback = std::make_shared<Task>(std::move(onReadable));
  if (!watch.notifier) {
    watch.notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(watch.notifier.get(), &QSocketNotifier::activated, [this, fd]() {
      const auto it = watches_.find(fd);
      if (it == watches_.end() || !it->second.callback) return;
      // A copy, so a callback that replaces itself runs to its end.
      const std::shared_ptr<Task> callback = it->second.callback;
      if (*callback) (*callback)();
    });
  }
  watch.notifier->setEnabled(true);
}

void QtMainLoop::Unwatch(int fd) {
  const auto it = watches_.find(fd);
  if (it == watches_.end()) return;
  it->second.notifier->setEnabled(false);
  it->second.callback.reset();
}

void QtMainLoop::Run() {
  QCoreApplication::exec();
}

void QtMainLoop::Quit() {
  QCoreApplication::quit();
}

void QtMainLoop::RunPendingFor(std::chrono::milliseconds limit) {
  QCoreApplication::processEvents(QEventLoop::AllEvents, static_cast<int>(limit.count()));
}

}  // namespace zyn::server
