#include "platform/com/git.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/com/classreg.h"

namespace {

inline constexpr IID IID_ICallee = com::Guid("33333333-0000-0000-0000-000000000001");

struct ICallee : IUnknown {
  static constexpr const IID& kIID = IID_ICallee;
  virtual std::thread::id Call() = 0;
};

class Callee final : public com::ComObject<ICallee> {
 public:
  explicit Callee(std::atomic<int>* destroyed) : destroyed_(destroyed) {}
  std::thread::id Call() override {
    ++calls;
    return std::this_thread::get_id();
  }
  std::atomic<int> calls{0};

 protected:
  ~Callee() override { ++*destroyed_; }

 private:
  std::atomic<int>* destroyed_;
};

TEST(GlobalInterfaceTable, RegisterOnOneThreadCallOnAnother) {
  auto table = com::MakeObject<com::GlobalInterfaceTable>();
  std::atomic<int> destroyed{0};
  DWORD cookie = 0;
  Callee* raw = nullptr;

  std::thread([&] {
    auto callee = com::MakeObject<Callee>(&destroyed);
    raw = callee.Get();
    ASSERT_EQ(table->RegisterInterfaceInGlobal(callee->Identity(), IID_ICallee, &cookie), S_OK);
  }).join();
  ASSERT_NE(cookie, 0u);
  EXPECT_EQ(destroyed, 0);  // the table's reference keeps it
  EXPECT_EQ(raw->RefCount(), 1u);

  std::thread([&] {
    com::ComPtr<ICallee> callee;
    ASSERT_EQ(
        table->GetInterfaceFromGlobal(cookie, IID_ICallee, callee.ReleaseAndGetVoidAddressOf()),
        S_OK);
    EXPECT_EQ(callee->Call(), std::this_thread::get_id());
    EXPECT_EQ(raw->RefCount(), 2u);
    ASSERT_EQ(table->RevokeInterfaceFromGlobal(cookie), S_OK);
    EXPECT_EQ(destroyed, 0);  // this thread's reference is its own
  }).join();
  EXPECT_EQ(destroyed, 1);

  void* p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(table->GetInterfaceFromGlobal(cookie, IID_ICallee, &p), E_INVALIDARG);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(table->RevokeInterfaceFromGlobal(cookie), E_INVALIDARG);
  EXPECT_EQ(destroyed, 1);
}

TEST(GlobalInterfaceTable, ArgumentChecksAndLeftovers) {
  std::atomic<int> destroyed{0};
  {
    auto table = com::MakeObject<com::GlobalInterfaceTable>();
    auto callee = com::MakeObject<Callee>(&destroyed);
    DWORD cookie = 9;
    EXPECT_EQ(table->RegisterInterfaceInGlobal(nullptr, IID_ICallee, &cookie), E_INVALIDARG);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(table->RegisterInterfaceInGlobal(callee->Identity(), IID_ICallee, nullptr),
              E_POINTER);
    EXPECT_EQ(
        table->RegisterInterfaceInGlobal(callee->Identity(), IID_IGlobalInterfaceTable, &cookie),
        E_NOINTERFACE);
    EXPECT_EQ(callee->RefCount(), 1u);

    DWORD a = 0, b = 0;
    ASSERT_EQ(table->RegisterInterfaceInGlobal(callee->Identity(), IID_ICallee, &a), S_OK);
    ASSERT_EQ(table->RegisterInterfaceInGlobal(callee->Identity(), IID_IUnknown, &b), S_OK);
    EXPECT_NE(a, b);
    EXPECT_EQ(table->Size(), 2u);
    EXPECT_EQ(table->GetInterfaceFromGlobal(a, IID_ICallee, nullptr), E_POINTER);
    // Registered as IUnknown, fetched as ICallee: the object is queried.
    com::ComPtr<ICallee> viaUnknown;
    ASSERT_EQ(
        table->GetInterfaceFromGlobal(b, IID_ICallee, viaUnknown.ReleaseAndGetVoidAddressOf()),
        S_OK);
    EXPECT_EQ(viaUnknown.Get(), static_cast<ICallee*>(callee.Get()));
    viaUnknown.Reset();
    callee.Reset();
    EXPECT_EQ(destroyed, 0);
  }
  // The table's end releases what was never revoked.
  EXPECT_EQ(destroyed, 1);
}

// An object whose end revokes another registration of the same table, as a group revokes its
// sinks when it ends: no lock may be held while the table releases an object.
class Revoker final : public com::ComObject<IUnknown> {
 public:
  Revoker(com::GlobalInterfaceTable* table, DWORD other) : table_(table), other_(other) {}
  HRESULT* out = nullptr;

 protected:
  ~Revoker() override { *out = table_->RevokeInterfaceFromGlobal(other_); }

 private:
  com::GlobalInterfaceTable* table_;
  DWORD other_;
};

TEST(GlobalInterfaceTable, ReleaseMayReenterTheTable) {
  auto table = com::MakeObject<com::GlobalInterfaceTable>();
  std::atomic<int> destroyed{0};
  auto callee = com::MakeObject<Callee>(&destroyed);
  DWORD calleeCookie = 0, revokerCookie = 0;
  ASSERT_EQ(table->RegisterInterfaceInGlobal(callee->Identity(), IID_ICallee, &calleeCookie), S_OK);
  callee.Reset();
  HRESULT result = S_FALSE;
  {
    auto revoker = com::MakeObject<Revoker>(table.Get(), calleeCookie);
    revoker->out = &result;
    ASSERT_EQ(table->RegisterInterfaceInGlobal(revoker.Get(), IID_IUnknown, &revokerCookie), S_OK);
  }
  ASSERT_EQ(table->RevokeInterfaceFromGlobal(revokerCookie), S_OK);
  EXPECT_EQ(result, S_OK);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(table->Size(), 0u);
}

TEST(GlobalInterfaceTable, ManyThreadsAtOnce) {
  auto table = com::MakeObject<com::GlobalInterfaceTable>();
  std::atomic<int> destroyed{0};
  constexpr int kThreads = 4, kRounds = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        auto callee = com::MakeObject<Callee>(&destroyed);
        DWORD cookie = 0;
        ASSERT_EQ(table->RegisterInterfaceInGlobal(callee->Identity(), IID_ICallee, &cookie), S_OK);
        callee.Reset();
        com::ComPtr<ICallee> back;
        ASSERT_EQ(
            table->GetInterfaceFromGlobal(cookie, IID_ICallee, back.ReleaseAndGetVoidAddressOf()),
            S_OK);
        back->Call();
        ASSERT_EQ(table->RevokeInterfaceFromGlobal(cookie), S_OK);
      }
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(destroyed, kThreads * kRounds);
  EXPECT_EQ(table->Size(), 0u);
}

TEST(GlobalInterfaceTable, OneTableForTheProcess) {
  com::ComPtr<com::GlobalInterfaceTable> first = com::GetGlobalInterfaceTable();
  ASSERT_TRUE(first);
  EXPECT_EQ(com::GetGlobalInterfaceTable().Get(), first.Get());

  com::ComPtr<IGlobalInterfaceTable> viaGetter;
  ASSERT_EQ(CoGetGlobalInterfaceTable(viaGetter.GetAddressOf()), S_OK);
  EXPECT_EQ(viaGetter.Get(), static_cast<IGlobalInterfaceTable*>(first.Get()));
  EXPECT_EQ(CoGetGlobalInterfaceTable(nullptr), E_POINTER);

  com::ComPtr<IGlobalInterfaceTable> created;
  ASSERT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                             IID_IGlobalInterfaceTable, created.ReleaseAndGetVoidAddressOf()),
            S_OK);
  EXPECT_EQ(created.Get(), viaGetter.Get());
}

}  // namespace
