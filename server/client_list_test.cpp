#include "server/client_list.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "server/module_lock.h"

namespace {

constexpr char kNoClients[] = "ZYN Server Running\r\nNo Clients Connected";

class FakeServer final : public ListedServer {
 public:
  void SendShutdownRequest(std::string_view reason) override {
    reasons.emplace_back(reason);
    if (onShutdown) onShutdown();
  }
  std::vector<std::string> reasons;
  std::function<void()> onShutdown;
};

TEST(ClientList, TooltipListsEveryClientByName) {
  ClientList list;
  std::vector<std::string> shown;
  list.SetNotify([&](const std::string& text) { shown.push_back(text); });
  EXPECT_EQ(list.Tooltip(), kNoClients);

  FakeServer first, second;
  list.Add(&first);
  EXPECT_EQ(list.Tooltip(), "ZYN Server Running\r\nConnected Clients:\r\nUNKNOWN");
  list.Rename(&first, "OBSERVER1");
  EXPECT_EQ(list.Tooltip(), "ZYN Server Running\r\nConnected Clients:\r\nOBSERVER1");

  // A client that never names itself stays UNKNOWN beside the named one (order is free).
  list.Add(&second);
  const std::string text = list.Tooltip();
  EXPECT_TRUE(text == "ZYN Server Running\r\nConnected Clients:\r\nOBSERVER1\r\nUNKNOWN" ||
              text == "ZYN Server Running\r\nConnected Clients:\r\nUNKNOWN\r\nOBSERVER1")
      << text;

  list.Remove(&first);
  list.Remove(&second);
  EXPECT_EQ(list.Tooltip(), kNoClients);

  // Every change was shown, in order, with the text of that moment.
  ASSERT_EQ(shown.size(), 5u);
  EXPECT_EQ(shown[0], "ZYN Server Running\r\nConnected Clients:\r\nUNKNOWN");
  EXPECT_EQ(shown[1], "ZYN Server Running\r\nConnected Clients:\r\nOBSERVER1");
  EXPECT_EQ(shown[3], "ZYN Server Running\r\nConnected Clients:\r\nUNKNOWN");
  EXPECT_EQ(shown[4], kNoClients);
}

TEST(ClientList, ObjectsThatAreNotListedChangeNothing) {
  ClientList list;
  int notified = 0;
  list.SetNotify([&](const std::string&) { ++notified; });
  FakeServer gone;
  list.Rename(&gone, "LATE");  // a rename must not bring a removed object back
  list.Remove(&gone);
  EXPECT_FALSE(list.Contains(&gone));
  EXPECT_EQ(notified, 0);
  EXPECT_EQ(list.Tooltip(), kNoClients);
}

TEST(ClientList, NotifiesWithTheListUnlocked) {
  ClientList list;
  FakeServer server;
  bool otherThreadGotIn = false;
  list.SetNotify([&](const std::string&) {
    // A tray that hands the text to another thread, which reads the list, must not block.
    auto reader = std::async(std::launch::async, [&] { return list.Names(); });
    otherThreadGotIn = reader.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  });
  list.Add(&server);
  EXPECT_TRUE(otherThreadGotIn);
  list.SetNotify({});
  list.Remove(&server);
}

TEST(ClientList, ShutdownAllReachesEveryListedObjectOnce) {
  ClientList list;
  FakeServer a, b, c;
  // Clients that let go of their server objects from inside the notice, which removes them
  // from the list on this same thread.
  for (FakeServer* s : {&a, &b, &c}) {
    list.Add(s);
    s->onShutdown = [&list, s] { list.Remove(s); };
  }
  list.ShutdownAll();
  for (FakeServer* s : {&a, &b, &c})
    EXPECT_EQ(s->reasons, std::vector<std::string>{"Server is shutting down"});
  EXPECT_EQ(list.Tooltip(), kNoClients);

  // One whose end takes every other object with it: the others are not called any more.
  for (FakeServer* s : {&a, &b, &c}) {
    s->reasons.clear();
    list.Add(s);
    s->onShutdown = [&] {
      for (FakeServer* other : {&a, &b, &c})
        list.Remove(other);
    };
  }
  list.ShutdownAll("bye");
  EXPECT_EQ(a.reasons.size() + b.reasons.size() + c.reasons.size(), 1u);
  EXPECT_EQ(list.Tooltip(), kNoClients);
}

TEST(ModuleLock, CountsAndReportsTheDropToZero) {
  const LONG before = ModuleLock::Count();
  ASSERT_EQ(before, 0) << "an earlier test leaked a process lock";
  int zeroes = 0;
  ModuleLock::SetOnZero([&] { ++zeroes; });
  {
    ModuleLockHolder one;
    EXPECT_EQ(ModuleLock::Count(), 1);
    {
      com::ComPtr<IUnknown> token = MakeModuleLockToken();
      ASSERT_TRUE(token);
      EXPECT_EQ(ModuleLock::Count(), 2);
    }
    EXPECT_EQ(ModuleLock::Count(), 1);
    EXPECT_EQ(zeroes, 0);
  }
  EXPECT_EQ(ModuleLock::Count(), 0);
  EXPECT_EQ(zeroes, 1);
  ModuleLock::SetOnZero({});
  ModuleLock::Lock();
  ModuleLock::Unlock();
  EXPECT_EQ(zeroes, 1);
}

}  // namespace
