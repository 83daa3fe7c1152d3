// The I/O thread: the one thread per process that runs the network (the kj event loop).
//
// Capabilities, promises and streams belong to this thread and are touched only on it. Other
// threads hand it work with Run, which blocks the caller until the work, and the promise it
// returns, is done. The loop itself never waits for another thread, so a caller blocked in Run
// cannot be part of a wait cycle through it.
#pragma once

#include <kj/async-io.h>
#include <kj/async-unix.h>
#include <kj/async.h>
#include <kj/debug.h>
#include <kj/io.h>
#include <kj/thread.h>
#include <kj/vector.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <type_traits>

namespace zyn::remote {

template <class T>
struct IsPromise : std::false_type {};
template <class T>
struct IsPromise<kj::Promise<T>> : std::true_type {};

class IoThread {
 public:
  // The process's I/O thread, started on first use and stopped at exit.
  static IoThread& Get();

  IoThread();
  ~IoThread();
  IoThread(const IoThread&) = delete;
  IoThread& operator=(const IoThread&) = delete;

  bool OnThisThread() const { return std::this_thread::get_id() == threadId_; }
  // False once the loop has ended; Run then throws.
  bool IsLive() const { return executor_->isLive(); }

  // Runs f on the loop thread and returns its result (awaited when it is a promise). Called
  // on the loop thread itself, f runs at once; it must then not return a promise. What the
  // caller posted before runs before f.
  template <class F>
  auto Run(F&& f) {
    if constexpr (IsPromise<decltype(f())>::value) {
      KJ_REQUIRE(!OnThisThread(), "the I/O thread cannot wait for itself");
    } else {
      if (OnThisThread()) return f();
    }
    return executor_->executeSync([&]() {
      RunPosted();
      return f();
    });
  }
  // Queues f on the loop thread without waiting for it; any thread. Functions posted from one
  // thread run in the order they were posted. False once the loop has ended; f is then
  // neither run nor destroyed.
  bool Post(kj::Function<void()> f);

  // Loop-thread only.
  kj::AsyncIoProvider& Provider() { return *io_->provider; }
  kj::LowLevelAsyncIoProvider& LowLevel() { return *io_->lowLevelProvider; }
  kj::Network& Network() { return io_->provider->getNetwork(); }
  kj::Timer& Timer() { return io_->provider->getTimer(); }
  kj::UnixEventPort& EventPort() { return io_->unixEventPort; }
  // Work that lives until it ends or the loop stops (accept loops, connections).
  kj::TaskSet& Tasks() { return *tasks_; }
  // Runs f on the loop thread just before the loop ends (state kept by the loop's users).
  void AtLoopExit(kj::Function<void()> f) { atExit_.add(kj::mv(f)); }

 private:
  class ErrorHandler;

  std::mutex mutex_;
  std::condition_variable cv_;
  bool ready_ = false;
  std::thread::id threadId_;
  kj::Own<const kj::Executor> executor_;
  kj::AsyncIoContext* io_ = nullptr;
  kj::TaskSet* tasks_ = nullptr;
  kj::Vector<kj::Function<void()>> atExit_;

  // Work posted from other threads, and the eventfd that wakes the loop for it. Posting only
  // takes a lock and, when the queue was empty, writes the eventfd: the poster never waits for
  // the loop, as a hop through the executor would make it.
  kj::Promise<void> TakePosted(kj::UnixEventPort::FdObserver& observer);
  void RunPosted();  // loop thread
  std::mutex postMutex_;
  std::deque<kj::Function<void()>> posted_;
  bool postClosed_ = false;
  kj::AutoCloseFd postFd_;
  kj::Own<kj::CrossThreadPromiseFulfiller<void>> stop_;
  kj::Own<kj::Thread> thread_;
};

}  // namespace zyn::remote
