#include "server/process/shutdown_monitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace zyn::server {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A lock count the test sets, and the times the monitor asked to end.
struct Harness {
  std::atomic<LONG> count{0};
  std::atomic<int> idles{0};
  std::atomic<Clock::rep> lastIdle{0};

  ShutdownMonitor::Options Options(std::chrono::milliseconds quiet,
                                   std::chrono::milliseconds grace) {
    ShutdownMonitor::Options o;
    o.quiet = quiet;
    o.startGrace = grace;
    o.count = [this] { return count.load(); };
    o.onIdle = [this] {
      lastIdle = Clock::now().time_since_epoch().count();
      ++idles;
    };
    return o;
  }
  bool WaitForIdles(int n, std::chrono::milliseconds limit) {
    for (auto end = Clock::now() + limit; Clock::now() < end;) {
      if (idles >= n) return true;
      std::this_thread::sleep_for(5ms);
    }
    return idles >= n;
  }
};

TEST(ShutdownMonitor, EndsAQuietPeriodAfterTheLastObject) {
  Harness h;
  ShutdownMonitor monitor(h.Options(200ms, 10s));
  h.count = 1;
  std::this_thread::sleep_for(50ms);
  h.count = 0;
  const auto dropped = Clock::now();
  monitor.Signal();
  ASSERT_TRUE(h.WaitForIdles(1, 2s));
  const auto waited = Clock::time_point(Clock::duration(h.lastIdle.load())) - dropped;
  EXPECT_GE(waited, 190ms);
  EXPECT_LT(waited, 800ms);
}

TEST(ShutdownMonitor, AClientArrivingWithinTheQuietPeriodKeepsItAlive) {
  Harness h;
  ShutdownMonitor monitor(h.Options(200ms, 10s));
  monitor.Signal();  // the first client left
  std::this_thread::sleep_for(80ms);
  h.count = 1;  // a second one arrived and stays
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(h.idles, 0);
  // It comes and goes again several times, each within the quiet period.
  for (int i = 0; i < 3; ++i) {
    h.count = 0;
    monitor.Signal();
    std::this_thread::sleep_for(100ms);
    h.count = 1;
  }
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(h.idles, 0);
  // When it finally goes, the monitor ends the program.
  h.count = 0;
  monitor.Signal();
  EXPECT_TRUE(h.WaitForIdles(1, 2s));
}

TEST(ShutdownMonitor, AShortVisitWithinTheQuietPeriodRestartsIt) {
  Harness h;
  ShutdownMonitor monitor(h.Options(300ms, 10s));
  monitor.Signal();
  std::this_thread::sleep_for(200ms);
  monitor.Signal();  // a client came and went within the period: the period starts again
  const auto second = Clock::now();
  ASSERT_TRUE(h.WaitForIdles(1, 2s));
  EXPECT_GE(Clock::time_point(Clock::duration(h.lastIdle.load())) - second, 280ms);
}

TEST(ShutdownMonitor, NobodyEverArrivingEndsAfterTheStartGrace) {
  Harness h;
  const auto start = Clock::now();
  ShutdownMonitor monitor(h.Options(100ms, 400ms));
  ASSERT_TRUE(h.WaitForIdles(1, 2s));
  EXPECT_GE(Clock::time_point(Clock::duration(h.lastIdle.load())) - start, 390ms);
}

TEST(ShutdownMonitor, AClientThatStaysPastTheStartGraceKeepsItAlive) {
  Harness h;
  ShutdownMonitor monitor(h.Options(100ms, 200ms));
  h.count = 1;
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(h.idles, 0);
}

TEST(ShutdownMonitor, AsksAgainAfterTheProgramDeclinedToEnd) {
  // The program refuses an end when a client slipped in; the next drop to 0 asks again.
  Harness h;
  ShutdownMonitor monitor(h.Options(100ms, 10s));
  monitor.Signal();
  ASSERT_TRUE(h.WaitForIdles(1, 2s));
  monitor.Signal();
  EXPECT_TRUE(h.WaitForIdles(2, 2s));
}

TEST(ShutdownMonitor, DestructionStopsItPromptly) {
  Harness h;
  const auto start = Clock::now();
  {
    ShutdownMonitor monitor(h.Options(5s, 10s));
    monitor.Signal();
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(h.idles, 0);
}

}  // namespace
}  // namespace zyn::server
