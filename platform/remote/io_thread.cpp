#include "platform/remote/io_thread.h"

#include <kj/debug.h>
#include <openssl/ssl.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>

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
  postFd_ = kj::AutoCloseFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (postFd_.get() < 0) KJ_FAIL_SYSCALL("eventfd", errno);
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
    kj::UnixEventPort::FdObserver postObserver(io.unixEventPort, postFd_.get(),
                                               kj::UnixEventPort::FdObserver::OBSERVE_READ);
    tasks->add(TakePosted(postObserver));
    stop.promise.wait(io.waitScope);
    // What is posted from now on is dropped by its poster; what is queued goes here, on the
    // thread its captures (capabilities among them) belong to.
    std::deque<kj::Function<void()>> unrun;
    {
      std::lock_guard lock(postMutex_);
      postClosed_ = true;
      unrun.swap(posted_);
    }
    unrun.clear();
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

bool IoThread::Post(kj::Function<void()> f) {
  if (OnThisThread()) {
    tasks_->add(kj::evalLater(kj::mv(f)));
    return true;
  }
  bool wake = false;
  {
    std::lock_guard lock(postMutex_);
    if (postClosed_) {
      // The loop has ended, so the process is ending. What f holds (capabilities among it)
      // belongs to the loop thread and must not be destroyed here; it goes with the process.
      static_cast<void>(std::make_unique<kj::Function<void()>>(kj::mv(f)).release());
      return false;
    }
    wake = posted_.empty();
    posted_.push_back(kj::mv(f));
  }
  if (wake) {
    const std::uint64_t one = 1;
    // Only a full counter fails, and a full counter wakes the loop all the same.
    static_cast<void>(write(postFd_.get(), &one, sizeof one));
  }
  return true;
}

kj::Promise<void> IoThread::TakePosted(kj::UnixEventPort::FdObserver& observer) {
  return observer.whenBecomesReadable().then([this, &observer]() {
    // The counter is emptied before the queue is taken: a post in between finds the queue
    // still full and does not write, and its work is in what is taken now.
    std::uint64_t count = 0;
    while (read(postFd_.get(), &count, sizeof count) > 0) {
    }
    RunPosted();
    return TakePosted(observer);
  });
}

void IoThread::RunPosted() {
  std::deque<kj::Function<void()>> batch;
  {
    std::lock_guard lock(postMutex_);
    batch.swap(posted_);
  }
  // Each runs now, in order; one that throws is reported as a failed task and ends only itself.
  for (auto& f : batch) {
    tasks_->add(kj::evalNow([&f]() -> kj::Promise<void> {
      f();
      return kj::READY_NOW;
    }));
  }
}

}  // namespace zyn::remote
