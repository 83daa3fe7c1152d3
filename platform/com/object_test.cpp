#include "platform/com/object.h"

#include <gtest/gtest.h>

#include "platform/com/taskmem.h"

namespace {

inline constexpr IID IID_IFoo = com::Guid("11111111-0000-0000-0000-000000000001");
inline constexpr IID IID_IBar = com::Guid("11111111-0000-0000-0000-000000000002");
inline constexpr IID IID_IBaz = com::Guid("11111111-0000-0000-0000-000000000003");

struct IFoo : IUnknown {
  static constexpr const IID& kIID = IID_IFoo;
  virtual int Foo() = 0;
};
struct IBar : IUnknown {
  static constexpr const IID& kIID = IID_IBar;
  virtual int Bar() = 0;
};
struct IBaz : IUnknown {
  static constexpr const IID& kIID = IID_IBaz;
  virtual int Baz() = 0;
};

class FooBar final : public com::ComObject<IFoo, IBar> {
 public:
  explicit FooBar(int* destroyed, bool offerBaz = false)
      : destroyed_(destroyed), offerBaz_(offerBaz) {}
  int Foo() override { return 1; }
  int Bar() override { return 2; }

 protected:
  ~FooBar() override { ++*destroyed_; }
  HRESULT QueryExtraInterface(REFIID riid, void** ppv) override {
    if (offerBaz_ && riid == IID_IBaz) return com::ReturnInterface<IBaz>(&baz_, ppv);
    return E_NOINTERFACE;
  }

 private:
  // A tear-off sharing the outer object's count and identity.
  struct TearOff final : IBaz {
    explicit TearOff(FooBar* o) : outer(o) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
      return outer->QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return outer->AddRef(); }
    ULONG Release() override { return outer->Release(); }
    int Baz() override { return 3; }
    FooBar* outer;
  };
  int* destroyed_;
  bool offerBaz_;
  TearOff baz_{this};
};

TEST(ComObject, QueryInterfaceKeepsIdentityAndCounts) {
  int destroyed = 0;
  {
    auto obj = com::MakeObject<FooBar>(&destroyed);
    ASSERT_TRUE(obj);
    EXPECT_EQ(obj->RefCount(), 1u);

    com::ComPtr<IFoo> foo = obj.As<IFoo>();
    com::ComPtr<IBar> bar = obj.As<IBar>();
    ASSERT_TRUE(foo && bar);
    EXPECT_EQ(foo->Foo(), 1);
    EXPECT_EQ(bar->Bar(), 2);
    EXPECT_EQ(obj->RefCount(), 3u);

    // Every route to IUnknown yields the same pointer.
    com::ComPtr<IUnknown> u1 = foo.As<IUnknown>();
    com::ComPtr<IUnknown> u2 = bar.As<IUnknown>();
    EXPECT_EQ(u1.Get(), u2.Get());
    EXPECT_EQ(u1.Get(), obj->Identity());

    // Unoffered interfaces fail and null the out pointer.
    void* p = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(obj->QueryInterface(IID_IBaz, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(obj->QueryInterface(IID_IFoo, nullptr), E_POINTER);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST(ComObject, ExtraInterfaceSharesTheCount) {
  int destroyed = 0;
  {
    auto obj = com::MakeObject<FooBar>(&destroyed, true);
    com::ComPtr<IBaz> baz = obj.As<IBaz>();
    ASSERT_TRUE(baz);
    EXPECT_EQ(baz->Baz(), 3);
    EXPECT_EQ(obj->RefCount(), 2u);
    EXPECT_EQ(baz.As<IUnknown>().Get(), obj->Identity());
    obj.Reset();
    EXPECT_EQ(destroyed, 0);  // the tear-off still holds the object
  }
  EXPECT_EQ(destroyed, 1);
}

TEST(ComPtr, CopyMoveAttachDetachBalanceReferences) {
  int destroyed = 0;
  auto obj = com::MakeObject<FooBar>(&destroyed);
  com::ComPtr<IFoo> a = obj.As<IFoo>();
  {
    com::ComPtr<IFoo> b = a;  // +1
    com::ComPtr<IFoo> c = std::move(b);
    EXPECT_FALSE(b);
    EXPECT_EQ(obj->RefCount(), 3u);
  }
  EXPECT_EQ(obj->RefCount(), 2u);
  IFoo* raw = nullptr;
  ASSERT_EQ(a.CopyTo(&raw), S_OK);
  EXPECT_EQ(obj->RefCount(), 3u);
  com::ComPtr<IFoo> adopted = com::Adopt(raw);
  EXPECT_EQ(obj->RefCount(), 3u);
  IFoo* detached = adopted.Detach();
  detached->Release();
  a = nullptr;
  EXPECT_EQ(obj->RefCount(), 1u);
  obj.Reset();
  EXPECT_EQ(destroyed, 1);
}

TEST(TaskMem, ArraysAreZeroedAndStringsCopied) {
  auto arr = com::TaskAllocArray<DWORD>(4);
  ASSERT_TRUE(arr);
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(arr[i], 0u);
  com::TaskMem<char> s(com::TaskStrDup("Grüße"));
  ASSERT_TRUE(s);
  EXPECT_STREQ(s.get(), "Grüße");
  EXPECT_FALSE(com::TaskAllocArray<double>(SIZE_MAX / 2));
}

}  // namespace
