#include "server/process/poll_loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace zyn::server {
namespace {

using namespace std::chrono_literals;

struct Pipe {
  UniqueFd read, write;
  Pipe() {
    int fds[2];
    if (pipe(fds) == 0) {
      read = UniqueFd(fds[0]);
      write = UniqueFd(fds[1]);
    }
  }
  void Put(char c) { ASSERT_EQ(::write(write.get(), &c, 1), 1); }
  char Take() {
    char c = 0;
    EXPECT_EQ(::read(read.get(), &c, 1), 1);
    return c;
  }
};

TEST(PollLoop, PostsFromAnotherThreadRunOnTheLoopThreadInOrder) {
  PollLoop loop;
  ASSERT_TRUE(loop.ok());
  const auto loopThread = std::this_thread::get_id();
  constexpr int kCount = 1000;
  std::vector<int> seen;
  bool allOnLoopThread = true;
  // The poster starts only once the loop runs, so the posts have to wake it.
  std::thread poster;
  loop.Post([&] {
    poster = std::thread([&] {
      for (int i = 0; i < kCount; ++i)
        loop.Post([&, i] {
          allOnLoopThread = allOnLoopThread && std::this_thread::get_id() == loopThread;
          seen.push_back(i);
          if (i == kCount - 1) loop.Quit();
        });
    });
  });
  loop.Run();
  poster.join();
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kCount));
  for (int i = 0; i < kCount; ++i)
    ASSERT_EQ(seen[i], i);
  EXPECT_TRUE(allOnLoopThread);
}

TEST(PollLoop, QuitEndsRunAndLeavesLaterTasksQueuedInOrder) {
  PollLoop loop;
  std::vector<int> seen;
  loop.Post([&] { seen.push_back(1); });
  loop.Post([&] {
    seen.push_back(2);
    loop.Quit();
  });
  loop.Post([&] { seen.push_back(3); });
  loop.Run();
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
  // What the quit left runs at the next chance, also from RunPendingFor, which does not wait.
  loop.Post([&] { seen.push_back(4); });
  const auto start = std::chrono::steady_clock::now();
  loop.RunPendingFor(1s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4}));
}

TEST(PollLoop, QuitFromAnotherThreadWakesTheLoop) {
  PollLoop loop;
  std::thread quitter([&] {
    std::this_thread::sleep_for(50ms);
    loop.Quit();
  });
  loop.Run();  // would block for good if Quit did not wake the poll
  quitter.join();
}

TEST(PollLoop, WatchedDescriptorsCallBackUntilUnwatched) {
  PollLoop loop;
  Pipe a, b;
  std::vector<char> got;
  loop.WatchReadable(a.read.get(), [&] { got.push_back(a.Take()); });
  loop.WatchReadable(b.read.get(), [&] {
    got.push_back(b.Take());
    if (got.size() >= 3) loop.Quit();
  });
  std::thread writer([&] {
    a.Put('a');
    std::this_thread::sleep_for(20ms);
    a.Put('A');
    std::this_thread::sleep_for(20ms);
    b.Put('b');
  });
  loop.Run();
  writer.join();
  EXPECT_EQ(got, (std::vector<char>{'a', 'A', 'b'}));

  // Unwatched: data waits, its callback is not called.
  loop.Unwatch(a.read.get());
  a.Put('x');
  loop.RunPendingFor(50ms);
  EXPECT_EQ(got.size(), 3u);
  EXPECT_EQ(a.Take(), 'x');
}

TEST(PollLoop, ACallbackMayUnwatchItselfAndAnother) {
  PollLoop loop;
  Pipe a, b;
  int calls = 0;
  // Both readable in the same round: whichever runs first removes both watches, so the other
  // callback must not run, and the running one must survive its own removal.
  auto both = [&] {
    ++calls;
    loop.Unwatch(a.read.get());
    loop.Unwatch(b.read.get());
  };
  loop.WatchReadable(a.read.get(), both);
  loop.WatchReadable(b.read.get(), both);
  a.Put('a');
  b.Put('b');
  loop.RunPendingFor(50ms);
  EXPECT_EQ(calls, 1);
}

TEST(PollLoop, AClosedWatchedDescriptorDoesNotSpinTheLoop) {
  PollLoop loop;
  Pipe a;
  int calls = 0;
  const int fd = a.read.get();
  loop.WatchReadable(fd, [&] { ++calls; });
  a.read = UniqueFd();  // closed under the watch
  std::atomic<bool> done{false};
  std::thread quitter([&] {
    std::this_thread::sleep_for(100ms);
    loop.Quit();
    done = true;
  });
  loop.Run();
  quitter.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace zyn::server
