#include "platform/com/connpoint.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <set>
#include <thread>

namespace {

inline constexpr IID IID_ITestSink = com::Guid("22222222-0000-0000-0000-000000000001");
inline constexpr IID IID_IOtherSink = com::Guid("22222222-0000-0000-0000-000000000002");

struct ITestSink : IUnknown {
  static constexpr const IID& kIID = IID_ITestSink;
  virtual void Notify() = 0;
};
struct IOtherSink : IUnknown {
  static constexpr const IID& kIID = IID_IOtherSink;
  virtual void Other() = 0;
};

class Sink final : public com::ComObject<ITestSink> {
 public:
  explicit Sink(int* destroyed = nullptr) : destroyed_(destroyed) {}
  void Notify() override { ++calls; }
  int calls = 0;

 protected:
  ~Sink() override {
    if (destroyed_) ++*destroyed_;
  }

 private:
  int* destroyed_;
};

class OtherSink final : public com::ComObject<IOtherSink> {
 public:
  void Other() override {}
};

// A container with two outgoing interfaces, as a server or a group has one.
class Source final : public com::ComObject<IConnectionPointContainer> {
 public:
  explicit Source(int* destroyed = nullptr) : destroyed_(destroyed) {}

  HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override {
    return com::EnumConnectionPoints({&test_, &other_}, ppEnum);
  }
  HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override {
    return com::FindConnectionPoint({&test_, &other_}, riid, ppCP);
  }

  com::ConnectionPoint test_{this, IID_ITestSink};
  com::ConnectionPoint other_{this, IID_IOtherSink};

 protected:
  ~Source() override {
    if (destroyed_) ++*destroyed_;
  }

 private:
  int* destroyed_;
};

TEST(ConnectionPoint, AdviseAndUnadviseCodesAndCookies) {
  auto source = com::MakeObject<Source>();
  auto sink = com::MakeObject<Sink>();
  auto other = com::MakeObject<OtherSink>();
  com::ConnectionPoint& cp = source->test_;
  DWORD cookie = 77;

  EXPECT_EQ(cp.Advise(nullptr, &cookie), E_POINTER);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(cp.Advise(sink->Identity(), nullptr), E_POINTER);
  cookie = 77;
  EXPECT_EQ(cp.Advise(other->Identity(), &cookie), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(other->RefCount(), 1u);

  DWORD first = 0, second = 0;
  ASSERT_EQ(cp.Advise(sink->Identity(), &first), S_OK);
  ASSERT_EQ(cp.Advise(sink->Identity(), &second), S_OK);  // the same sink twice is allowed
  EXPECT_NE(first, 0u);
  EXPECT_NE(second, 0u);
  EXPECT_NE(first, second);
  EXPECT_EQ(sink->RefCount(), 3u);  // one reference per connection

  EXPECT_EQ(cp.Unadvise(first), S_OK);
  EXPECT_EQ(sink->RefCount(), 2u);
  EXPECT_EQ(cp.Unadvise(first), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(cp.Unadvise(0), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(cp.Unadvise(12345), CONNECT_E_NOCONNECTION);

  // A freed cookie is not handed out again.
  DWORD third = 0;
  ASSERT_EQ(cp.Advise(sink->Identity(), &third), S_OK);
  EXPECT_NE(third, first);
  EXPECT_NE(third, second);
  EXPECT_EQ(cp.ConnectionCount(), 2u);
}

TEST(ConnectionPoint, AdviseLimit) {
  auto source = com::MakeObject<Source>();
  auto sink = com::MakeObject<Sink>();
  com::ConnectionPoint& cp = source->test_;
  cp.SetAdviseLimit(2);
  DWORD a = 0, b = 0, c = 5;
  ASSERT_EQ(cp.Advise(sink->Identity(), &a), S_OK);
  ASSERT_EQ(cp.Advise(sink->Identity(), &b), S_OK);
  EXPECT_EQ(cp.Advise(sink->Identity(), &c), CONNECT_E_ADVISELIMIT);
  EXPECT_EQ(c, 0u);
  EXPECT_EQ(sink->RefCount(), 3u);
  ASSERT_EQ(cp.Unadvise(a), S_OK);
  EXPECT_EQ(cp.Advise(sink->Identity(), &c), S_OK);
}

TEST(ConnectionPoint, SinksAreReleasedWhenTheContainerEnds) {
  int sinkGone = 0, sourceGone = 0;
  auto sink = com::MakeObject<Sink>(&sinkGone);
  auto source = com::MakeObject<Source>(&sourceGone);
  DWORD cookie = 0;
  ASSERT_EQ(source->test_.Advise(sink->Identity(), &cookie), S_OK);
  ASSERT_EQ(source->test_.Advise(sink->Identity(), &cookie), S_OK);
  EXPECT_EQ(sink->RefCount(), 3u);
  source.Reset();
  EXPECT_EQ(sourceGone, 1);
  EXPECT_EQ(sink->RefCount(), 1u);
  sink.Reset();
  EXPECT_EQ(sinkGone, 1);
}

TEST(ConnectionPoint, PointSharesTheContainersCountAndHasItsOwnIdentity) {
  int sourceGone = 0;
  auto source = com::MakeObject<Source>(&sourceGone);
  com::ComPtr<IConnectionPoint> cp;
  ASSERT_EQ(source->FindConnectionPoint(IID_ITestSink, cp.GetAddressOf()), S_OK);
  EXPECT_EQ(cp.Get(), &source->test_);
  EXPECT_EQ(source->RefCount(), 2u);

  // Identity rules: the point answers for itself, not for the container.
  EXPECT_EQ(cp.As<IUnknown>().Get(), static_cast<IUnknown*>(cp.Get()));
  EXPECT_EQ(cp.As<IConnectionPoint>().Get(), cp.Get());
  EXPECT_FALSE(cp.As<IConnectionPointContainer>());

  IID iid{};
  ASSERT_EQ(cp->GetConnectionInterface(&iid), S_OK);
  EXPECT_EQ(iid, IID_ITestSink);
  EXPECT_EQ(cp->GetConnectionInterface(nullptr), E_POINTER);
  com::ComPtr<IConnectionPointContainer> back;
  ASSERT_EQ(cp->GetConnectionPointContainer(back.GetAddressOf()), S_OK);
  EXPECT_EQ(back.Get(), static_cast<IConnectionPointContainer*>(source.Get()));
  back.Reset();

  // The point alone keeps the container alive.
  source.Reset();
  EXPECT_EQ(sourceGone, 0);
  cp.Reset();
  EXPECT_EQ(sourceGone, 1);
}

TEST(ConnectionPointContainer, FindAndEnumerate) {
  auto source = com::MakeObject<Source>();
  IConnectionPoint* cp = reinterpret_cast<IConnectionPoint*>(0x1);
  EXPECT_EQ(source->FindConnectionPoint(IID_IUnknown, &cp), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(cp, nullptr);
  EXPECT_EQ(source->FindConnectionPoint(IID_ITestSink, nullptr), E_POINTER);
  EXPECT_EQ(source->EnumConnectionPoints(nullptr), E_POINTER);

  com::ComPtr<IEnumConnectionPoints> points;
  ASSERT_EQ(source->EnumConnectionPoints(points.GetAddressOf()), S_OK);
  std::array<IConnectionPoint*, 3> out{};
  ULONG fetched = 0;
  ASSERT_EQ(points->Next(3, out.data(), &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  IID first{}, second{};
  out[0]->GetConnectionInterface(&first);
  out[1]->GetConnectionInterface(&second);
  EXPECT_EQ(first, IID_ITestSink);
  EXPECT_EQ(second, IID_IOtherSink);
  out[0]->Release();
  out[1]->Release();
  EXPECT_EQ(source->RefCount(), 3u);  // the enumerator holds both points, hence the source
  points.Reset();
  EXPECT_EQ(source->RefCount(), 1u);
}

TEST(ConnectionPoint, EnumConnectionsIsASnapshotWithReferences) {
  auto source = com::MakeObject<Source>();
  auto sink = com::MakeObject<Sink>();
  com::ConnectionPoint& cp = source->test_;
  DWORD a = 0, b = 0;
  ASSERT_EQ(cp.Advise(sink->Identity(), &a), S_OK);
  ASSERT_EQ(cp.Advise(sink->Identity(), &b), S_OK);

  com::ComPtr<IEnumConnections> connections;
  ASSERT_EQ(cp.EnumConnections(connections.GetAddressOf()), S_OK);
  EXPECT_EQ(cp.EnumConnections(nullptr), E_POINTER);
  ASSERT_EQ(cp.Unadvise(a), S_OK);
  ASSERT_EQ(cp.Unadvise(b), S_OK);
  EXPECT_EQ(sink->RefCount(), 3u);  // the snapshot still holds both

  std::array<CONNECTDATA, 2> out{};
  ULONG fetched = 0;
  ASSERT_EQ(connections->Next(2, out.data(), &fetched), S_OK);
  EXPECT_EQ(out[0].dwCookie, a);
  EXPECT_EQ(out[1].dwCookie, b);
  EXPECT_EQ(out[0].pUnk, static_cast<IUnknown*>(static_cast<ITestSink*>(sink.Get())));
  EXPECT_EQ(sink->RefCount(), 5u);
  out[0].pUnk->Release();
  out[1].pUnk->Release();
  EXPECT_EQ(connections->Next(1, out.data(), nullptr), S_FALSE);
  connections.Reset();
  EXPECT_EQ(sink->RefCount(), 1u);
}

TEST(ConnectionPoint, HooksAndTypedSnapshots) {
  auto source = com::MakeObject<Source>();
  auto sink = com::MakeObject<Sink>();
  com::ConnectionPoint& cp = source->test_;
  std::vector<DWORD> advised, unadvised;
  HRESULT veto = S_OK;
  cp.SetHooks(
      [&](DWORD cookie, IUnknown* s) {
        EXPECT_EQ(s, static_cast<ITestSink*>(sink.Get()));
        EXPECT_EQ(cp.ConnectionCount(), advised.size() - unadvised.size() + 1);
        advised.push_back(cookie);
        return veto;
      },
      [&](DWORD cookie, IUnknown*) { unadvised.push_back(cookie); });

  DWORD a = 0, b = 0, c = 0;
  ASSERT_EQ(cp.Advise(sink->Identity(), &a), S_OK);
  ASSERT_EQ(cp.Advise(sink->Identity(), &b), S_OK);
  EXPECT_EQ(advised, (std::vector<DWORD>{a, b}));

  for (const auto& s : cp.SinksAs<ITestSink>())
    s->Notify();
  EXPECT_EQ(sink->calls, 2);
  EXPECT_TRUE(cp.SinksAs<IOtherSink>().empty());

  // A failing hook undoes the connection and is Advise's result.
  veto = E_OUTOFMEMORY;
  EXPECT_EQ(cp.Advise(sink->Identity(), &c), E_OUTOFMEMORY);
  EXPECT_EQ(c, 0u);
  EXPECT_EQ(cp.ConnectionCount(), 2u);
  EXPECT_EQ(sink->RefCount(), 3u);
  EXPECT_TRUE(unadvised.empty());

  ASSERT_EQ(cp.Unadvise(a), S_OK);
  EXPECT_EQ(unadvised, (std::vector<DWORD>{a}));
  cp.DisconnectAll();
  EXPECT_EQ(unadvised, (std::vector<DWORD>{a, b}));
  EXPECT_EQ(cp.ConnectionCount(), 0u);
  EXPECT_EQ(sink->RefCount(), 1u);
}

// A sink that unadvises itself when it ends, as some clients do: the point must release its
// sinks after letting go of its locks and list, or this deadlocks or walks a dying list.
class SelfUnadvisingSink final : public com::ComObject<ITestSink> {
 public:
  SelfUnadvisingSink(IConnectionPoint* cp, HRESULT* result) : cp_(cp), result_(result) {}
  void Notify() override {}
  DWORD cookie = 0;

 protected:
  ~SelfUnadvisingSink() override { *result_ = cp_->Unadvise(cookie); }

 private:
  IConnectionPoint* cp_;
  HRESULT* result_;
};

TEST(ConnectionPoint, SinkEndingInsideUnadviseOrTheContainersEnd) {
  auto source = com::MakeObject<Source>();
  HRESULT result = S_OK;
  auto sink = com::MakeObject<SelfUnadvisingSink>(&source->test_, &result);
  ASSERT_EQ(source->test_.Advise(sink->Identity(), &sink->cookie), S_OK);
  DWORD cookie = sink->cookie;
  sink.Reset();  // the point holds the last reference
  EXPECT_EQ(source->test_.Unadvise(cookie), S_OK);
  EXPECT_EQ(result, CONNECT_E_NOCONNECTION);

  result = S_OK;
  sink = com::MakeObject<SelfUnadvisingSink>(&source->test_, &result);
  ASSERT_EQ(source->test_.Advise(sink->Identity(), &sink->cookie), S_OK);
  sink.Reset();
  source.Reset();
  EXPECT_EQ(result, CONNECT_E_NOCONNECTION);
}

TEST(ConnectionPoint, ConcurrentAdviseGivesUniqueCookies) {
  auto source = com::MakeObject<Source>();
  auto sink = com::MakeObject<Sink>();
  com::ConnectionPoint& cp = source->test_;
  constexpr int kThreads = 4, kRounds = 200;
  std::array<std::vector<DWORD>, kThreads> kept;
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load())
      for (const auto& s : cp.SinksAs<ITestSink>())
        EXPECT_TRUE(s);
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        DWORD cookie = 0;
        ASSERT_EQ(cp.Advise(sink->Identity(), &cookie), S_OK);
        kept[t].push_back(cookie);
        if (i % 2) {
          ASSERT_EQ(cp.Unadvise(cookie), S_OK);
        }
      }
    });
  }
  for (auto& t : threads)
    t.join();
  stop = true;
  reader.join();

  std::set<DWORD> all;
  for (const auto& list : kept)
    all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kRounds));
  EXPECT_EQ(cp.ConnectionCount(), static_cast<std::size_t>(kThreads * kRounds / 2));
  EXPECT_EQ(sink->RefCount(), 1u + kThreads * kRounds / 2);
}

}  // namespace
