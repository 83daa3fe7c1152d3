// EventSet: a fixed number of manual-reset events that one thread waits on together, as the
// update thread of a group waits for stop, rate, activity, sink and request signals.
//
// An event stays signalled until it is reset, however many waits see it. A wait answers the
// lowest-numbered signalled event, so when several were signalled at once the more urgent one
// (a lower number) is acted on first and the others are still there for the next wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

class EventSet {
 public:
  // Returned by Wait when the time ran out with no event signalled.
  static constexpr int kTimeout = -1;

  explicit EventSet(std::size_t count) : signalled_(count, false) {}
  EventSet(const EventSet&) = delete;
  EventSet& operator=(const EventSet&) = delete;

  void Set(std::size_t index);
  void Reset(std::size_t index);
  bool IsSet(std::size_t index) const;

  // Waits until any event is signalled and returns the lowest signalled index, without
  // resetting it. With a time-out, kTimeout when none was signalled within it (a time-out of
  // zero only looks); without one, waits for as long as it takes.
  int Wait(std::optional<std::chrono::milliseconds> timeout);
  // The same with a moment instead of a length: kTimeout once `deadline` has passed.
  int WaitUntil(std::chrono::steady_clock::time_point deadline);

 private:
  int FirstSignalled() const;  // under mutex_; kTimeout when none

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<bool> signalled_;
};
