#include "platform/remote/io_thread.h"

#include <kj/debug.h>
#include <openssl/ssl.h>

#include <cstdio>

namespace zyn::remote {

// A task that fails ends only itself (one connection, one accept); the reason is logged.
class IoThread::ErrorHandler final : public kj::TaskSet::ErrorHandler {
 public:
  void taskFailed(kj::Exception&& exception) override {
    if (exception.getType() == kj::Exception::Type::DISCONNECTED) return;
    std::fprintf(stderr, "zynwatch remote: %s\n", exception.getDescription().cStr());
  }
};

IoThread& IoThread::Get() {
  // OpenSSL keeps state per thread (its error queue, its random generators) and frees a
  // thread's share when the thread ends, through a hook that its own clean-up at exit removes.
  // Initialised first, OpenSSL registers that clean-up before this thread's end is registered,
  // so at exit the loop thread (which runs every TLS connection) ends while the hook is still
  // there, and nothing of it is left behind.
  static const bool openSsl = OPENSSL_init_ssl(0, nullptr) == 1;
  static_cast<void>(openSsl);
  static IoThread thread;
  return thread;
}

IoThread::IoThread() {
  thread_ = kj::heap<kj::Thread>([this]() {
    kj::AsyncIoContext io = kj::setupAsyncIo();
    auto stop = kj::newPromiseAndCrossThreadFulfiller<void>();
    ErrorHandler handler;
    auto tasks = kj::heap<kj::TaskSet>(handler);
    {
      std::lock_guard lock(mutex_);
      io_ = &io;
      tasks_ = tasks.get();
      executor_ = kj::getCurrentThreadExecutor().addRef();
      stop_ = kj::mv(stop.fulfiller);
      threadId_ = std::this_thread::get_id();
      ready_ = true;
    }
    cv_.notify_all();
    stop.promise.wait(io.waitScope);
    // Connections and listeners end here, on their own thread.
    for (auto& f : atExit_)
      f();
    atExit_.clear();
    tasks = nullptr;
    io_ = nullptr;
    tasks_ = nullptr;
  });
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [&] { return ready_; });
}

IoThread::~IoThread() {
  stop_->fulfill();
  thread_ = nullptr;  // joins
}

void IoThread::Post(kj::Function<void()> f) {
  if (!executor_->isLive()) return;
  // executeAsync needs an event loop on the caller; a detached promise would too. Queue the
  // function as a task of the loop through a synchronous hop that does not wait for f.
  if (OnThisThread()) {
    tasks_->add(kj::evalLater(kj::mv(f)));
    return;
  }
  executor_->executeSync([&] { tasks_->add(kj::evalLater(kj::mv(f))); });
}

}  // namespace zyn::remote
