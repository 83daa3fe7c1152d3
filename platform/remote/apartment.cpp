#include "platform/remote/apartment.h"

#include <atomic>
#include <utility>

namespace zyn::remote {
namespace {

thread_local Apartment* tCurrent = nullptr;
std::atomic<Apartment*> gDefault{nullptr};

}  // namespace

void Apartment::Post(Task task) {
  std::function<void()> wakeup;
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    wakeup = wakeup_;
  }
  cv_.notify_one();
  if (wakeup) wakeup();
}

std::size_t Apartment::RunPending() {
  std::deque<Task> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(tasks_);
  }
  Scope scope(*this);
  for (Task& task : batch)
    task();
  return batch.size();
}

bool Apartment::WaitForWork() {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [&] { return stopped_ || !tasks_.empty(); });
  return !tasks_.empty();
}

void Apartment::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  cv_.notify_all();
}

void Apartment::SetWakeup(std::function<void()> wakeup) {
  std::lock_guard lock(mutex_);
  wakeup_ = std::move(wakeup);
}

Apartment* Apartment::Current() {
  return tCurrent;
}

Apartment::Scope::Scope(Apartment& apartment) : previous_(tCurrent) {
  tCurrent = &apartment;
}

Apartment::Scope::~Scope() {
  tCurrent = previous_;
}

ApartmentThread::ApartmentThread() {
  thread_ = std::thread([this] {
    Apartment::Scope scope(apartment_);
    while (apartment_.WaitForWork())
      apartment_.RunPending();
    // Tasks that arrived with the stop (final releases) still run.
    while (apartment_.RunPending() > 0) {
    }
  });
}

ApartmentThread::~ApartmentThread() {
  apartment_.Stop();
  thread_.join();
}

Apartment& DefaultApartment() {
  if (Apartment* set = gDefault.load(std::memory_order_acquire)) return *set;
  static ApartmentThread own;
  return own.apartment();
}

void SetDefaultApartment(Apartment* apartment) {
  gDefault.store(apartment, std::memory_order_release);
}

}  // namespace zyn::remote
