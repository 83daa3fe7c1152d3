#include "platform/com/classreg.h"

#include <gtest/gtest.h>

#include <array>

namespace {

inline constexpr IID IID_IWidget = com::Guid("44444444-0000-0000-0000-000000000001");
inline constexpr CLSID CLSID_Widget1 = com::Guid("44444444-0000-0000-0000-0000000000C1");
inline constexpr CLSID CLSID_Widget2 = com::Guid("44444444-0000-0000-0000-0000000000C2");
inline constexpr CLSID CLSID_Gadget = com::Guid("44444444-0000-0000-0000-0000000000C3");
inline constexpr CATID CATID_Viewers = com::Guid("44444444-0000-0000-0000-0000000000A1");
inline constexpr CATID CATID_Servers = com::Guid("44444444-0000-0000-0000-0000000000A2");

struct IWidget : IUnknown {
  static constexpr const IID& kIID = IID_IWidget;
  virtual int Value() = 0;
};

int g_widgetsAlive = 0;

class Widget final : public com::ComObject<IWidget> {
 public:
  Widget() { ++g_widgetsAlive; }
  int Value() override { return 42; }

 protected:
  ~Widget() override { --g_widgetsAlive; }
};

com::ComPtr<com::ClassFactory<Widget>> WidgetFactory(int* locks = nullptr) {
  return com::MakeObject<com::ClassFactory<Widget>>([locks](bool lock) {
    if (locks) *locks += lock ? 1 : -1;
  });
}

com::ClassRegistration WidgetRegistration(const CLSID& clsid, const char* progId) {
  return {clsid, progId, "Test.Widget", "Test Widget", {CATID_Viewers}};
}

TEST(ClassFactory, CreatesQueriesAndRefusesAggregation) {
  int locks = 0;
  auto factory = WidgetFactory(&locks);
  com::ComPtr<IWidget> widget;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IWidget, widget.ReleaseAndGetVoidAddressOf()),
            S_OK);
  EXPECT_EQ(widget->Value(), 42);

  // A refused outer or interface leaves nothing behind.
  void* p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->CreateInstance(widget.Get(), IID_IWidget, &p), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IWidget, nullptr), E_POINTER);
  EXPECT_EQ(g_widgetsAlive, 1);
  widget.Reset();
  EXPECT_EQ(g_widgetsAlive, 0);

  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(locks, 1);
}

TEST(ClassRegistry, ProgIdAndClsidRoundTrips) {
  com::ClassRegistry registry;
  ASSERT_EQ(registry.RegisterClass(WidgetRegistration(CLSID_Widget1, "Test.Widget.1")), S_OK);

  CLSID clsid{};
  ASSERT_EQ(registry.CLSIDFromProgID("Test.Widget.1", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_Widget1);
  ASSERT_EQ(registry.CLSIDFromProgID("test.WIDGET.1", &clsid), S_OK);  // registry names
  EXPECT_EQ(clsid, CLSID_Widget1);
  ASSERT_EQ(registry.CLSIDFromProgID("Test.Widget", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_Widget1);

  EXPECT_EQ(registry.CLSIDFromProgID("Test.Widget.9", &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(clsid, CLSID_NULL);
  EXPECT_EQ(registry.CLSIDFromProgID(nullptr, &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(registry.CLSIDFromProgID("", &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(registry.CLSIDFromProgID("Test.Widget.1", nullptr), E_INVALIDARG);

  LPOLESTR progId = nullptr;
  ASSERT_EQ(registry.ProgIDFromCLSID(CLSID_Widget1, &progId), S_OK);
  EXPECT_STREQ(progId, "Test.Widget.1");
  CoTaskMemFree(progId);
  EXPECT_EQ(registry.ProgIDFromCLSID(CLSID_Gadget, &progId), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(progId, nullptr);

  auto found = registry.FindClass(CLSID_Widget1);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->description, "Test Widget");
  EXPECT_FALSE(registry.FindClass(CLSID_Gadget));
}

TEST(ClassRegistry, VersionsShareTheVersionIndependentName) {
  com::ClassRegistry registry;
  ASSERT_EQ(registry.RegisterClass(WidgetRegistration(CLSID_Widget1, "Test.Widget.1")), S_OK);
  ASSERT_EQ(registry.RegisterClass(WidgetRegistration(CLSID_Widget2, "Test.Widget.2")), S_OK);
  CLSID clsid{};
  ASSERT_EQ(registry.CLSIDFromProgID("Test.Widget", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_Widget2);  // the current version
  ASSERT_EQ(registry.RevokeClass(CLSID_Widget2), S_OK);
  ASSERT_EQ(registry.CLSIDFromProgID("Test.Widget", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_Widget1);
  EXPECT_EQ(registry.CLSIDFromProgID("Test.Widget.2", &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(registry.RevokeClass(CLSID_Widget2), CO_E_OBJNOTREG);

  // A ProgID names one class; a class without any name has no ProgID to give.
  EXPECT_EQ(registry.RegisterClass({CLSID_Gadget, "test.widget.1", "", "", {}}), E_INVALIDARG);
  EXPECT_EQ(registry.RegisterClass({CLSID_Gadget, "Test.Gadget.1", "Test.Widget.1", "", {}}),
            E_INVALIDARG);
  EXPECT_EQ(registry.RegisterClass({CLSID_NULL, "Null.1", "", "", {}}), E_INVALIDARG);
  ASSERT_EQ(registry.RegisterClass({CLSID_Gadget, "", "", "", {}}), S_OK);
  LPOLESTR progId = nullptr;
  EXPECT_EQ(registry.ProgIDFromCLSID(CLSID_Gadget, &progId), REGDB_E_CLASSNOTREG);
}

TEST(ClassRegistry, InProcessActivation) {
  com::ClassRegistry registry;
  int locks = 0;
  auto factory = WidgetFactory(&locks);
  ASSERT_EQ(
      registry.RegisterClass(WidgetRegistration(CLSID_Widget1, "Test.Widget.1"), factory.Get()),
      S_OK);
  EXPECT_EQ(registry.RegisterClassObject(CLSID_Widget1, factory.Get()), CO_E_OBJISREG);

  com::ComPtr<IWidget> widget;
  ASSERT_EQ(registry.CreateInstance(CLSID_Widget1, nullptr, CLSCTX_ALL, IID_IWidget,
                                    widget.ReleaseAndGetVoidAddressOf()),
            S_OK);
  EXPECT_EQ(widget->Value(), 42);
  widget.Reset();

  void* p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(
      registry.CreateInstance(CLSID_Widget1, factory.Get(), CLSCTX_INPROC_SERVER, IID_IWidget, &p),
      CLASS_E_NOAGGREGATION);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(registry.CreateInstance(CLSID_Widget1, nullptr, 0, IID_IWidget, &p), E_INVALIDARG);
  EXPECT_EQ(
      registry.CreateInstance(CLSID_Widget1, nullptr, CLSCTX_INPROC_SERVER, IID_IWidget, nullptr),
      E_POINTER);
  // The class is served in-process only: an out-of-process request does not reach it.
  EXPECT_EQ(registry.CreateInstance(CLSID_Widget1, nullptr, CLSCTX_LOCAL_SERVER, IID_IWidget, &p),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(registry.CreateInstance(CLSID_Gadget, nullptr, CLSCTX_ALL, IID_IWidget, &p),
            REGDB_E_CLASSNOTREG);

  com::ComPtr<IClassFactory> classObject;
  ASSERT_EQ(registry.GetClassObject(CLSID_Widget1, CLSCTX_INPROC_SERVER, IID_IClassFactory,
                                    classObject.ReleaseAndGetVoidAddressOf()),
            S_OK);
  EXPECT_EQ(classObject.Get(), factory.Get());
  classObject.Reset();

  // Revoking the class object keeps the names; activation stops.
  ASSERT_EQ(registry.RevokeClassObject(CLSID_Widget1), S_OK);
  EXPECT_EQ(registry.RevokeClassObject(CLSID_Widget1), CO_E_OBJNOTREG);
  EXPECT_EQ(factory->RefCount(), 1u);
  EXPECT_EQ(registry.CreateInstance(CLSID_Widget1, nullptr, CLSCTX_ALL, IID_IWidget, &p),
            REGDB_E_CLASSNOTREG);
  CLSID clsid{};
  EXPECT_EQ(registry.CLSIDFromProgID("Test.Widget.1", &clsid), S_OK);

  // A class object that is not a factory cannot create instances.
  auto notFactory = com::MakeObject<Widget>();
  ASSERT_EQ(registry.RegisterClassObject(CLSID_Gadget, notFactory.Get()), S_OK);
  EXPECT_EQ(registry.CreateInstance(CLSID_Gadget, nullptr, CLSCTX_ALL, IID_IWidget, &p),
            E_NOINTERFACE);
  EXPECT_EQ(registry.RegisterClassObject(CLSID_Gadget, nullptr), E_INVALIDARG);
}

TEST(ClassRegistry, OutOfProcessActivationGoesToTheActivator) {
  com::ClassRegistry registry;
  struct Request {
    com::ActivationKind kind;
    CLSID clsid;
    DWORD context;
  };
  std::vector<Request> requests;
  auto factory = WidgetFactory();
  registry.SetActivator([&requests, factory](com::ActivationKind kind, REFCLSID clsid,
                                             DWORD context, REFIID riid, void** ppv) -> HRESULT {
    requests.push_back({kind, clsid, context});
    if (clsid != CLSID_Widget2) return REGDB_E_CLASSNOTREG;
    if (kind == com::ActivationKind::kClassObject) return factory->QueryInterface(riid, ppv);
    return factory->CreateInstance(nullptr, riid, ppv);
  });

  com::ComPtr<IWidget> widget;
  ASSERT_EQ(registry.CreateInstance(CLSID_Widget2, nullptr, CLSCTX_ALL, IID_IWidget,
                                    widget.ReleaseAndGetVoidAddressOf()),
            S_OK);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].kind, com::ActivationKind::kInstance);
  EXPECT_EQ(requests[0].context, CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER);

  com::ComPtr<IClassFactory> classObject;
  ASSERT_EQ(registry.GetClassObject(CLSID_Widget2, CLSCTX_LOCAL_SERVER, IID_IClassFactory,
                                    classObject.ReleaseAndGetVoidAddressOf()),
            S_OK);
  EXPECT_EQ(requests.back().kind, com::ActivationKind::kClassObject);
  EXPECT_EQ(requests.back().context, CLSCTX_LOCAL_SERVER);

  // An in-process request never reaches the activator; nor does an aggregate.
  void* p = nullptr;
  EXPECT_EQ(registry.CreateInstance(CLSID_Widget2, nullptr, CLSCTX_INPROC_SERVER, IID_IWidget, &p),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(
      registry.CreateInstance(CLSID_Widget2, widget.Get(), CLSCTX_LOCAL_SERVER, IID_IWidget, &p),
      CLASS_E_NOAGGREGATION);
  EXPECT_EQ(requests.size(), 2u);
  // The activator's own failures come back unchanged.
  EXPECT_EQ(registry.CreateInstance(CLSID_Gadget, nullptr, CLSCTX_REMOTE_SERVER, IID_IWidget, &p),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests.back().context, CLSCTX_REMOTE_SERVER);

  // A class served in-process wins over the activator.
  ASSERT_EQ(registry.RegisterClassObject(CLSID_Widget1, factory.Get()), S_OK);
  ASSERT_EQ(registry.CreateInstance(CLSID_Widget1, nullptr, CLSCTX_ALL, IID_IWidget,
                                    widget.ReleaseAndGetVoidAddressOf()),
            S_OK);
  EXPECT_EQ(requests.size(), 3u);

  registry.SetActivator({});
  EXPECT_EQ(registry.CreateInstance(CLSID_Widget2, nullptr, CLSCTX_LOCAL_SERVER, IID_IWidget, &p),
            REGDB_E_CLASSNOTREG);
}

TEST(ClassRegistry, Categories) {
  com::ClassRegistry registry;
  ASSERT_EQ(registry.RegisterCategory(CATID_Viewers, "Viewer controls"), S_OK);
  LPOLESTR text = nullptr;
  ASSERT_EQ(registry.GetCategoryDescription(CATID_Viewers, &text), S_OK);
  EXPECT_STREQ(text, "Viewer controls");
  CoTaskMemFree(text);
  EXPECT_EQ(registry.GetCategoryDescription(CATID_Servers, &text), CAT_E_CATIDNOEXIST);
  EXPECT_EQ(text, nullptr);

  ASSERT_EQ(registry.RegisterClass(WidgetRegistration(CLSID_Widget2, "Test.Widget.2")), S_OK);
  ASSERT_EQ(registry.RegisterClass(WidgetRegistration(CLSID_Widget1, "Test.Widget.1")), S_OK);
  ASSERT_EQ(registry.RegisterClass({CLSID_Gadget, "Test.Gadget.1", "", "Gadget", {}}), S_OK);
  const std::array<CATID, 1> servers{CATID_Servers};
  ASSERT_EQ(registry.RegisterClassImplCategories(CLSID_Gadget, servers), S_OK);
  ASSERT_EQ(registry.RegisterClassImplCategories(CLSID_Gadget, servers), S_OK);  // no duplicate
  EXPECT_EQ(registry.RegisterClassImplCategories(CLSID_NULL, servers), REGDB_E_CLASSNOTREG);

  auto classesOf = [&](ULONG count, const CATID* catids) {
    std::vector<GUID> out;
    com::ComPtr<IEnumGUID> e;
    EXPECT_EQ(registry.EnumClassesOfCategories(count, catids, 0, nullptr, e.GetAddressOf()), S_OK);
    GUID g{};
    while (e && e->Next(1, &g, nullptr) == S_OK)
      out.push_back(g);
    return out;
  };
  EXPECT_EQ(classesOf(1, &CATID_Viewers), (std::vector<GUID>{CLSID_Widget1, CLSID_Widget2}));
  EXPECT_EQ(classesOf(1, servers.data()), (std::vector<GUID>{CLSID_Gadget}));
  const std::array<CATID, 2> both{CATID_Servers, CATID_Viewers};
  EXPECT_EQ(classesOf(2, both.data()),
            (std::vector<GUID>{CLSID_Widget1, CLSID_Widget2, CLSID_Gadget}));
  EXPECT_EQ(classesOf(static_cast<ULONG>(-1), nullptr).size(), 3u);

  ASSERT_EQ(registry.UnRegisterClassImplCategories(CLSID_Gadget, servers), S_OK);
  EXPECT_TRUE(classesOf(1, servers.data()).empty());

  com::ComPtr<IEnumGUID> e;
  EXPECT_EQ(registry.EnumClassesOfCategories(0, nullptr, 0, nullptr, e.GetAddressOf()),
            E_INVALIDARG);
  EXPECT_EQ(registry.EnumClassesOfCategories(1, nullptr, 0, nullptr, e.GetAddressOf()),
            E_INVALIDARG);
  EXPECT_EQ(registry.EnumClassesOfCategories(1, &CATID_Viewers, 0, nullptr, nullptr), E_INVALIDARG);

  EXPECT_EQ(registry.UnregisterCategory(CATID_Viewers), S_OK);
  EXPECT_EQ(registry.UnregisterCategory(CATID_Viewers), CAT_E_CATIDNOEXIST);
}

TEST(ClassRegistry, ClassicEntryPointsUseTheProcessRegistry) {
  com::ClassRegistry& registry = com::ProcessClassRegistry();
  auto factory = WidgetFactory();
  ASSERT_EQ(
      registry.RegisterClass(WidgetRegistration(CLSID_Widget1, "Test.Widget.1"), factory.Get()),
      S_OK);

  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID("Test.Widget.1", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_Widget1);
  LPOLESTR progId = nullptr;
  ASSERT_EQ(ProgIDFromCLSID(CLSID_Widget1, &progId), S_OK);
  EXPECT_STREQ(progId, "Test.Widget.1");
  CoTaskMemFree(progId);

  com::ComPtr<IWidget> widget;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IWidget,
                             widget.ReleaseAndGetVoidAddressOf()),
            S_OK);
  EXPECT_EQ(widget->Value(), 42);
  com::ComPtr<IClassFactory> classObject;
  ASSERT_EQ(CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             classObject.ReleaseAndGetVoidAddressOf()),
            S_OK);
  int reserved = 0;
  void* p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, &reserved, IID_IClassFactory, &p),
            E_INVALIDARG);
  EXPECT_EQ(p, nullptr);

  ASSERT_EQ(registry.RevokeClass(CLSID_Widget1), S_OK);
  EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IWidget, &p), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CLSIDFromProgID("Test.Widget.1", &clsid), CO_E_CLASSSTRING);
}

}  // namespace
