// The floor under every latency figure of the transport: how long a thread that another
// thread wakes takes to run. A value change crosses at least three such hand-overs (the group
// thread to the server's I/O thread, the client's I/O thread to its apartment, and the socket
// in between), so a machine whose single wake-up has a p99 of a few milliseconds cannot deliver
// callbacks with a p99 below that, whatever the transport does.
//
//   wakeup_latency [seconds=20] [period_us=1000]
//
// One thread sleeps for the period, notes the time and wakes a second thread waiting on a
// condition variable, which notes when it runs; the difference is one wake-up.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 20;
  const auto period = std::chrono::microseconds(argc > 2 ? std::atoi(argv[2]) : 1000);
  if (seconds <= 0 || period.count() <= 0) {
    std::fprintf(stderr, "usage: wakeup_latency [seconds=20] [period_us=1000]\n");
    return 2;
  }

  std::mutex mutex;
  std::condition_variable cv;
  Clock::time_point signalled;
  bool pending = false, done = false;
  std::vector<double> latenciesUs;

  std::thread waiter([&] {
    std::unique_lock lock(mutex);
    for (;;) {
      cv.wait(lock, [&] { return pending || done; });
      if (done) return;
      latenciesUs.push_back(
          std::chrono::duration<double, std::micro>(Clock::now() - signalled).count());
      pending = false;
    }
  });

  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    std::this_thread::sleep_for(period);
    {
      std::lock_guard lock(mutex);
      signalled = Clock::now();
      pending = true;
    }
    cv.notify_one();
  }
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  cv.notify_one();
  waiter.join();

  std::printf("wake-ups %zu  p50 %.1f us  p90 %.1f us  p99 %.1f us  p99.9 %.1f us  max %.1f us\n",
              latenciesUs.size(), Percentile(latenciesUs, 0.5), Percentile(latenciesUs, 0.9),
              Percentile(latenciesUs, 0.99), Percentile(latenciesUs, 0.999),
              Percentile(latenciesUs, 1.0));
  return 0;
}
