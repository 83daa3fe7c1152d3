// Apartments: the threads on which the system's objects receive their calls.
//
// An apartment is a queue of tasks and the one thread that runs them. The transport never runs
// the system's code on its I/O thread: an incoming call, and the final release of an object a
// remote client held, is posted to the apartment the object was handed out from.
//
// Whoever owns the thread drives the queue. A program with an event loop of its own (the
// server's Qt loop) calls RunPending from that loop, woken by the hook given to SetWakeup; a
// program without one uses ApartmentThread, which runs the queue on a thread of its own.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace zyn::remote {

class Apartment {
 public:
  using Task = std::function<void()>;

  Apartment() = default;
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;

  // Queues a task; any thread. The wake-up hook runs after the task is queued.
  void Post(Task task);
  // Runs the tasks queued so far on the calling thread, which must be the apartment's; returns
  // how many ran. A task posted while they run waits for the next call.
  std::size_t RunPending();
  // Waits until a task is queued or `stop` was called; true when there is work.
  bool WaitForWork();
  // Wakes WaitForWork for good (the owning loop is ending).
  void Stop();
  // A foreign loop's way to learn that work arrived; called on the posting thread.
  void SetWakeup(std::function<void()> wakeup);

  // The apartment whose thread is the calling thread, if any.
  static Apartment* Current();

  // Marks the calling thread as this apartment's thread while it lives.
  class Scope {
   public:
    explicit Scope(Apartment& apartment);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    Apartment* previous_;
  };

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Task> tasks_;
  std::function<void()> wakeup_;
  bool stopped_ = false;
};

// An apartment with a thread of its own that runs its queue until destroyed. Tasks still
// queued at destruction run before the thread ends, so no final release is lost.
class ApartmentThread {
 public:
  ApartmentThread();
  ~ApartmentThread();
  ApartmentThread(const ApartmentThread&) = delete;
  ApartmentThread& operator=(const ApartmentThread&) = delete;

  Apartment& apartment() { return apartment_; }

 private:
  Apartment apartment_;
  std::thread thread_;
};

// The apartment for objects handed out from a thread that is no apartment's: the one given
// to SetDefaultApartment, else a thread of the transport's own started on first use.
Apartment& DefaultApartment();
// Sets the process's default apartment (null: back to the transport's own). The apartment
// must outlive every object handed out while it was the default.
void SetDefaultApartment(Apartment* apartment);

// The apartment for objects handed out from the calling thread.
inline Apartment& CallerApartment() {
  Apartment* current = Apartment::Current();
  return current ? *current : DefaultApartment();
}

}  // namespace zyn::remote
