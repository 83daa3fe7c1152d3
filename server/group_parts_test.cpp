// The group engine's building blocks: the event set the update thread waits on and the value
// sets its cycles fill.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "server/event_set.h"
#include "server/huv_exception.h"
#include "server/value_change_set.h"

namespace {

using namespace std::chrono_literals;

TEST(EventSet, ManualResetAndLowestFirst) {
  EventSet events(5);
  EXPECT_EQ(events.Wait(0ms), EventSet::kTimeout);
  events.Set(4);
  events.Set(1);
  // Manual reset: a wait does not consume the event, and the lower index wins.
  EXPECT_EQ(events.Wait(0ms), 1);
  EXPECT_EQ(events.Wait(std::nullopt), 1);
  events.Reset(1);
  EXPECT_EQ(events.Wait(0ms), 4);
  events.Reset(4);
  EXPECT_FALSE(events.IsSet(4));
  EXPECT_EQ(events.Wait(0ms), EventSet::kTimeout);
}

TEST(EventSet, WaitTimesOutOrWakesOnSet) {
  EventSet events(2);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(events.Wait(50ms), EventSet::kTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);

  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    events.Set(1);
  });
  EXPECT_EQ(events.Wait(std::nullopt), 1);
  setter.join();
}

PDH_FMT_COUNTERVALUE Double(double d) {
  PDH_FMT_COUNTERVALUE v{};
  v.doubleValue = d;
  return v;
}

TEST(ValueChangeSet, AppendFormatsAndStampsValues) {
  ValueChangeSet set;
  PDH_FMT_COUNTERVALUE longValue{};
  longValue.longValue = -7;
  PDH_FMT_COUNTERVALUE largeValue{};
  largeValue.largeValue = 1LL << 40;
  FILETIME before;
  GetSystemTimeAsFileTime(&before);
  set.Append(11, 1, Double(2.5), PDH_FMT_DOUBLE);
  set.Append(12, 2, longValue, PDH_FMT_LONG);
  set.Append(13, 3, largeValue, PDH_FMT_LARGE);
  ASSERT_EQ(set.Size(), 3u);
  EXPECT_EQ(set.Value(0).vt, VT_R8);
  EXPECT_EQ(set.Value(0).dblVal, 2.5);
  EXPECT_EQ(set.Value(1).vt, VT_I4);
  EXPECT_EQ(set.Value(1).lVal, -7);
  EXPECT_EQ(set.Value(2).vt, VT_R8);
  EXPECT_EQ(set.Value(2).dblVal, static_cast<double>(1LL << 40));
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(set.ClientHandle(i), 11 + i);
    EXPECT_EQ(set.ServerHandle(i), 1 + i);
    EXPECT_EQ(set.Quality(i), 0xC0);
    EXPECT_EQ(set.Error(i), S_OK);
    EXPECT_GE(com::FileTimeToU64(set.Timestamp(i)), com::FileTimeToU64(before));
  }
  set.ForArrays([](const ValueChangeSet::Arrays& a) {
    EXPECT_EQ(a.count, 3u);
    EXPECT_EQ(a.clientHandles[2], 13u);
    EXPECT_EQ(a.serverHandles[1], 2u);
    EXPECT_EQ(a.qualities[0], 0xC0);
  });
}

TEST(ValueChangeSet, SecondSetTakesTheValueButKeepsItsStamp) {
  ValueChangeSet cache;
  cache.Append(21, 1, Double(1.0), PDH_FMT_DOUBLE);
  cache.Append(22, 2, Double(2.0), PDH_FMT_DOUBLE);
  const FILETIME cachedStamp = cache.Timestamp(1);
  std::this_thread::sleep_for(2ms);

  ValueChangeSet read;
  read.Append(22, 2, Double(20.0), PDH_FMT_DOUBLE, &cache);
  read.Append(23, 3, Double(30.0), PDH_FMT_DOUBLE, &cache);  // not in the cache: no entry made
  EXPECT_EQ(cache.Size(), 2u);
  EXPECT_EQ(cache.Value(0).dblVal, 1.0);
  EXPECT_EQ(cache.Value(1).dblVal, 20.0);
  EXPECT_EQ(com::FileTimeToU64(cache.Timestamp(1)), com::FileTimeToU64(cachedStamp));
  EXPECT_EQ(cache.Quality(1), 0xC0);

  // A set named as its own second set is not updated twice.
  read.Append(22, 2, Double(5.0), PDH_FMT_DOUBLE, &read);
  EXPECT_EQ(read.Value(0).dblVal, 20.0);
  EXPECT_EQ(read.Value(2).dblVal, 5.0);
}

TEST(ValueChangeSet, AppendFromCopiesAnEntryWhole) {
  ValueChangeSet current;
  current.Append(31, 3, Double(7.5), PDH_FMT_DOUBLE);
  ValueChangeSet sent;
  std::this_thread::sleep_for(2ms);
  EXPECT_EQ(sent.AppendFrom(current, 0), 0u);
  EXPECT_EQ(sent.ClientHandle(0), 31u);
  EXPECT_EQ(sent.ServerHandle(0), 3u);
  EXPECT_EQ(sent.Value(0).dblVal, 7.5);
  EXPECT_EQ(com::FileTimeToU64(sent.Timestamp(0)), com::FileTimeToU64(current.Timestamp(0)));
  EXPECT_EQ(current.AppendFrom(current, 0), 1u);  // from itself, without deadlock
  EXPECT_EQ(current.Size(), 2u);
}

TEST(ValueChangeSet, FindUsesTheHintAndFallsBackToASearch) {
  ValueChangeSet set;
  for (OPCHANDLE h = 1; h <= 5; ++h)
    set.Append(0, h * 10, Double(h), PDH_FMT_DOUBLE);
  EXPECT_EQ(set.Find(30, 2), 2u);
  EXPECT_EQ(set.Find(30, 4), 2u);
  EXPECT_EQ(set.Find(50, 99), 4u);
  EXPECT_EQ(set.Find(60, 0), ValueChangeSet::npos);
  set.Clear();
  EXPECT_TRUE(set.Empty());
  EXPECT_EQ(set.Find(10, 0), ValueChangeSet::npos);
}

}  // namespace
