#include "server/opc_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "interfaces/messenger.h"
#include "platform/com/enum.h"
#include "platform/com/taskmem.h"
#include "platform/perf/winperf.h"
#include "server/catalogue.h"
#include "server/client_list.h"
#include "server/module_lock.h"
#include "server/snapshot_fixture.h"

namespace {

constexpr char kAvailableBytes[] = "\\Memory\\Available Bytes";

class ShutdownSink final : public com::ComObject<IOPCShutdown> {
 public:
  HRESULT ShutdownRequest(LPCWSTR szReason) override {
    reasons.emplace_back(szReason);
    return S_OK;
  }
  std::vector<std::string> reasons;
};

std::string TakeText(LPWSTR text) {
  std::string out = text ? text : "<null>";
  CoTaskMemFree(text);
  return out;
}

std::string GroupName(IUnknown* group) {
  com::ComPtr<IOPCGroupStateMgt> state;
  if (FAILED(com::ComPtr<IUnknown>(group).As(&state))) return "<no state>";
  DWORD rate;
  BOOL active;
  LPWSTR name = nullptr;
  LONG bias;
  FLOAT deadband;
  DWORD lcid;
  OPCHANDLE client, server;
  HRESULT hr = state->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &client, &server);
  if (FAILED(hr)) return "<" + com::HResultToHex(hr) + ">";
  return TakeText(name);
}

// Every test starts and ends with no process lock held: the server and everything it made are
// gone when the test lets go of them.
class OpcServerTest : public SnapshotTest {
 protected:
  void SetUp() override {
    SnapshotTest::SetUp();
    ASSERT_EQ(CatalogueQuery::Open(), S_OK);
    ASSERT_EQ(ModuleLock::Count(), 0);
    server_ = OpcServer::Create();
    ASSERT_TRUE(server_);
  }
  void TearDown() override {
    server_ = nullptr;
    EXPECT_EQ(ModuleLock::Count(), 0);
    CatalogueQuery::Close();
    SnapshotTest::TearDown();
  }

  struct Added {
    HRESULT hr;
    OPCHANDLE handle;
    DWORD revisedRate;
    com::ComPtr<IUnknown> group;
  };
  Added AddGroup(const char* name, DWORD rate = 1000, REFIID riid = IID_IOPCGroupStateMgt) {
    Added a{E_UNEXPECTED, 0xDEAD, 0xDEAD, nullptr};
    a.hr = server_->AddGroup(name, TRUE, rate, 0, nullptr, nullptr, 0, &a.handle, &a.revisedRate,
                             riid, a.group.ReleaseAndGetAddressOf());
    return a;
  }

  com::ComPtr<OpcServer> server_;
};

TEST_F(OpcServerTest, AddGroupNamesHandlesAndRates) {
  Added first = AddGroup("");
  ASSERT_EQ(first.hr, S_OK);
  EXPECT_EQ(first.handle, 1u);
  EXPECT_EQ(first.revisedRate, 1000u);
  EXPECT_EQ(GroupName(first.group.Get()), "Group: C0S1");

  // Too fast a rate is revised, and that is still success.
  Added fast = AddGroup("fast", 50);
  ASSERT_EQ(fast.hr, S_OK);
  EXPECT_EQ(fast.handle, 2u);
  EXPECT_EQ(fast.revisedRate, 100u);

  Added duplicate = AddGroup("fast");
  EXPECT_EQ(duplicate.hr, OPC_E_DUPLICATENAME);
  EXPECT_EQ(duplicate.handle, 0u);
  EXPECT_EQ(duplicate.revisedRate, 0u);
  EXPECT_FALSE(duplicate.group);
  // The generated name of the group that made it clashes too.
  EXPECT_EQ(AddGroup("Group: C0S1").hr, OPC_E_DUPLICATENAME);

  // An interface the group does not offer: nothing stays behind in the table.
  Added refused = AddGroup("refused", 1000, IID_IOPCServer);
  EXPECT_EQ(refused.hr, E_NOINTERFACE);
  EXPECT_EQ(refused.handle, 0u);
  EXPECT_FALSE(refused.group);
  EXPECT_EQ(server_->GroupCount(), 2u);
  EXPECT_EQ(AddGroup("refused").hr, S_OK);

  OPCHANDLE handle = 7;
  DWORD revised = 7;
  IUnknown* unk = reinterpret_cast<IUnknown*>(0x1);
  EXPECT_EQ(server_->AddGroup(nullptr, TRUE, 1000, 0, nullptr, nullptr, 0, &handle, &revised,
                              IID_IUnknown, &unk),
            E_POINTER);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(revised, 0u);
  EXPECT_EQ(unk, nullptr);
  EXPECT_EQ(server_->AddGroup("x", TRUE, 1000, 0, nullptr, nullptr, 0, nullptr, &revised,
                              IID_IUnknown, &unk),
            E_POINTER);
  EXPECT_EQ(server_->AddGroup("x", TRUE, 1000, 0, nullptr, nullptr, 0, &handle, nullptr,
                              IID_IUnknown, &unk),
            E_POINTER);
  EXPECT_EQ(server_->AddGroup("x", TRUE, 1000, 0, nullptr, nullptr, 0, &handle, &revised,
                              IID_IUnknown, nullptr),
            E_POINTER);
}

TEST_F(OpcServerTest, StatusRecord) {
  ASSERT_EQ(AddGroup("").hr, S_OK);
  OPCSERVERSTATUS* status = nullptr;
  ASSERT_EQ(server_->GetStatus(&status), S_OK);
  EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
  EXPECT_EQ(status->dwGroupCount, 1u);
  EXPECT_EQ(status->dwBandWidth, 0xFFFFFFFFu);
  EXPECT_EQ(status->wMajorVersion, 3);
  EXPECT_EQ(status->wMinorVersion, 5);
  EXPECT_EQ(status->wBuildNumber, 63);
  EXPECT_EQ(com::FileTimeToU64(status->ftStartTime), com::FileTimeToU64(status->ftLastUpdateTime));
  EXPECT_GE(com::FileTimeToU64(status->ftCurrentTime), com::FileTimeToU64(status->ftStartTime));
  EXPECT_EQ(TakeText(status->szVendorInfo), "Corvane");
  CoTaskMemFree(status);
  EXPECT_EQ(server_->GetStatus(nullptr), E_POINTER);
}

TEST_F(OpcServerTest, RemoveGroupResultsAndLookup) {
  EXPECT_EQ(server_->RemoveGroup(0, FALSE), OPC_E_INVALIDHANDLE);
  EXPECT_EQ(server_->RemoveGroup(1, FALSE), E_FAIL);  // no group at all

  Added held = AddGroup("held");
  Added dropped = AddGroup("dropped");
  ASSERT_EQ(held.hr, S_OK);
  ASSERT_EQ(dropped.hr, S_OK);
  dropped.group = nullptr;
  EXPECT_EQ(server_->RemoveGroup(99, FALSE), OPC_E_INVALIDHANDLE);

  com::ComPtr<IUnknown> found;
  ASSERT_EQ(server_->GetGroupByName("held", IID_IOPCItemMgt, found.ReleaseAndGetAddressOf()), S_OK);
  found = nullptr;
  EXPECT_EQ(server_->GetGroupByName("HELD", IID_IUnknown, found.ReleaseAndGetAddressOf()),
            E_INVALIDARG);

  EXPECT_EQ(server_->RemoveGroup(held.handle, FALSE), OPC_S_INUSE);
  EXPECT_EQ(server_->RemoveGroup(dropped.handle, FALSE), S_OK);
  EXPECT_EQ(server_->RemoveGroup(held.handle, FALSE), E_FAIL);  // the table is empty again
  EXPECT_EQ(server_->GetGroupByName("held", IID_IUnknown, found.ReleaseAndGetAddressOf()),
            E_INVALIDARG);
  EXPECT_FALSE(found);
  EXPECT_EQ(server_->GetGroupByName("held", IID_IUnknown, nullptr), E_POINTER);

  // The client's reference still works, and the name is free for a new group.
  EXPECT_EQ(GroupName(held.group.Get()), "held");
  EXPECT_EQ(AddGroup("held").hr, S_OK);
}

TEST_F(OpcServerTest, ForcedRemovalOfAHeldGroupLeavesItSafeToCall) {
  Added held = AddGroup("held");
  ASSERT_EQ(held.hr, S_OK);
  EXPECT_EQ(server_->RemoveGroup(held.handle, TRUE), OPC_S_INUSE);
  EXPECT_EQ(server_->GroupCount(), 0u);

  // The server goes too; the group outlives both and answers without reaching either.
  server_ = nullptr;
  com::ComPtr<IOPCGroupStateMgt> state;
  ASSERT_EQ(held.group.As(&state), S_OK);
  EXPECT_EQ(state->SetName("renamed"), S_OK);
  EXPECT_EQ(GroupName(held.group.Get()), "renamed");
  DWORD rate = 500, revised = 0;
  EXPECT_EQ(state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
  com::ComPtr<IOPCItemMgt> items;
  ASSERT_EQ(held.group.As(&items), S_OK);
  OPCITEMDEF def{nullptr, const_cast<LPWSTR>(kAvailableBytes), TRUE, 1, 0, nullptr, VT_EMPTY, 0};
  OPCITEMRESULT* results = nullptr;
  HRESULT* errors = nullptr;
  EXPECT_EQ(items->ValidateItems(1, &def, FALSE, &results, &errors), S_OK);
  CoTaskMemFree(results);
  CoTaskMemFree(errors);
}

TEST_F(OpcServerTest, GroupsRemovedWithoutForceLiveAsLongAsTheirClientNeedsThem) {
  // Let go by its client, a removed group ends at once.
  Added dropped = AddGroup("dropped");
  ASSERT_EQ(dropped.hr, S_OK);
  std::weak_ptr<GroupEngine> engine =
      static_cast<OpcGroup*>(dropped.group.As<IOPCItemMgt>().Get())->Engine();
  EXPECT_EQ(server_->RemoveGroup(dropped.handle, FALSE), OPC_S_INUSE);
  EXPECT_FALSE(engine.expired());
  dropped.group = nullptr;
  EXPECT_TRUE(engine.expired());

  // One still held when the server goes works on without reaching the server.
  Added held = AddGroup("held");
  ASSERT_EQ(held.hr, S_OK);
  EXPECT_EQ(server_->RemoveGroup(held.handle, FALSE), OPC_S_INUSE);
  server_ = nullptr;
  com::ComPtr<IOPCGroupStateMgt> state;
  ASSERT_EQ(held.group.As(&state), S_OK);
  EXPECT_EQ(state->SetName("renamed"), S_OK);
  com::ComPtr<IOPCItemMgt> items;
  ASSERT_EQ(held.group.As(&items), S_OK);
  OPCITEMDEF def{nullptr, const_cast<LPWSTR>(kAvailableBytes), TRUE, 1, 0, nullptr, VT_EMPTY, 0};
  OPCITEMRESULT* results = nullptr;
  HRESULT* errors = nullptr;
  EXPECT_EQ(items->ValidateItems(1, &def, FALSE, &results, &errors), S_OK);
  CoTaskMemFree(results);
  CoTaskMemFree(errors);
}

TEST_F(OpcServerTest, GroupEnumeratorWalksTheLiveTable) {
  com::ComPtr<IUnknown> unk;
  EXPECT_EQ(
      server_->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, unk.ReleaseAndGetAddressOf()),
      E_NOINTERFACE);
  EXPECT_FALSE(unk);

  Added a = AddGroup("a"), b = AddGroup("b"), c = AddGroup("c");
  ASSERT_EQ(server_->RemoveGroup(b.handle, FALSE), OPC_S_INUSE);  // removed but still held

  auto enumerate = [&](OPCENUMSCOPE scope) {
    com::ComPtr<IUnknown> made;
    EXPECT_EQ(
        server_->CreateGroupEnumerator(scope, IID_IEnumUnknown, made.ReleaseAndGetAddressOf()),
        S_OK);
    return made.As<IEnumUnknown>();
  };
  auto names = [](IEnumUnknown* e, ULONG celt, HRESULT expected) {
    std::vector<IUnknown*> got(celt, nullptr);
    ULONG fetched = 99;
    EXPECT_EQ(e->Next(celt, got.data(), &fetched), expected);
    std::vector<std::string> out;
    for (ULONG i = 0; i < fetched; ++i) {
      out.push_back(GroupName(got[i]));
      got[i]->Release();
    }
    return out;
  };

  for (OPCENUMSCOPE scope : {OPC_ENUM_PUBLIC, OPC_ENUM_PUBLIC_CONNECTIONS})
    EXPECT_TRUE(names(enumerate(scope).Get(), 5, S_FALSE).empty());

  com::ComPtr<IEnumUnknown> all = enumerate(OPC_ENUM_ALL);
  EXPECT_EQ(names(all.Get(), 1, S_OK), std::vector<std::string>{"a"});
  // A group added now is met when the walk gets there.
  Added d = AddGroup("d");
  EXPECT_EQ(names(all.Get(), 5, S_FALSE), (std::vector<std::string>{"c", "d"}));
  EXPECT_EQ(all->Reset(), S_OK);
  EXPECT_EQ(names(all.Get(), 3, S_OK), (std::vector<std::string>{"a", "c", "d"}));

  // Skip counts table entries, whatever they are; its end is S_FALSE.
  ASSERT_EQ(all->Reset(), S_OK);
  EXPECT_EQ(all->Skip(1), S_OK);
  EXPECT_EQ(names(all.Get(), 1, S_OK), std::vector<std::string>{"c"});
  EXPECT_EQ(all->Skip(5), S_FALSE);
  EXPECT_EQ(all->Skip(0), E_INVALIDARG);

  com::ComPtr<IEnumUnknown> priv = enumerate(OPC_ENUM_PRIVATE_CONNECTIONS);
  IUnknown* one = nullptr;
  EXPECT_EQ(priv->Next(1, &one, nullptr), S_OK);  // the count may be left out for one
  EXPECT_EQ(GroupName(one), "a");
  one->Release();
  ULONG fetched = 0;
  EXPECT_EQ(priv->Next(2, &one, nullptr), E_INVALIDARG);
  EXPECT_EQ(priv->Next(0, &one, &fetched), E_INVALIDARG);
  EXPECT_EQ(priv->Next(1, nullptr, &fetched), E_POINTER);
  IEnumUnknown* clone = reinterpret_cast<IEnumUnknown*>(0x1);
  EXPECT_EQ(priv->Clone(&clone), E_NOTIMPL);
  EXPECT_EQ(clone, nullptr);

  // The enumerator keeps its server, and the process, alive.
  server_ = nullptr;
  a.group = b.group = c.group = d.group = nullptr;
  EXPECT_GT(ModuleLock::Count(), 0);
  ASSERT_EQ(all->Reset(), S_OK);
  EXPECT_EQ(names(all.Get(), 5, S_FALSE), (std::vector<std::string>{"a", "c", "d"}));
}

TEST_F(OpcServerTest, Locales) {
  const LCID locale = ServerLocale();
  const LCID other = locale == 0x0409 ? 0x0407 : 0x0409;
  EXPECT_EQ(server_->SetLocaleID(0), S_OK);
  EXPECT_EQ(server_->SetLocaleID(locale), S_OK);
  EXPECT_EQ(server_->SetLocaleID(other), E_INVALIDARG);
  LCID got = 0;
  EXPECT_EQ(server_->GetLocaleID(&got), S_OK);
  EXPECT_EQ(got, locale);
  EXPECT_EQ(server_->GetLocaleID(nullptr), E_POINTER);

  DWORD count = 0;
  LCID* locales = nullptr;
  ASSERT_EQ(server_->QueryAvailableLocaleIDs(&count, &locales), S_OK);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(locales[0], locale);
  CoTaskMemFree(locales);
  EXPECT_EQ(server_->QueryAvailableLocaleIDs(&count, nullptr), E_POINTER);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(server_->QueryAvailableLocaleIDs(nullptr, &locales), E_POINTER);
}

TEST_F(OpcServerTest, ErrorStrings) {
  LPWSTR text = nullptr;
  ASSERT_EQ(server_->GetErrorString(MakeHResult(0x12345678), &text), S_OK);
  EXPECT_EQ(TakeText(text), "Non OPC error");
  // The locale is ignored: every client reads the same English text.
  ASSERT_EQ(server_->GetErrorString(OPC_S_INUSE, 0x0407, &text), S_OK);
  EXPECT_EQ(TakeText(text),
            "The operation cannot be completed because the object still has references that "
            "exist");
  ASSERT_EQ(server_->GetErrorString(OPC_E_INVALID_PID, &text), S_OK);
  EXPECT_EQ(TakeText(text), "The server does not recognise the passed property ID");
  EXPECT_EQ(server_->GetErrorString(OPC_E_NOTFOUND, 0, nullptr), E_POINTER);
}

TEST_F(OpcServerTest, ItemProperties) {
  LPWSTR item = const_cast<LPWSTR>(kAvailableBytes);
  DWORD count = 0;
  DWORD* ids = nullptr;
  LPWSTR* descriptions = nullptr;
  VARTYPE* types = nullptr;
  ASSERT_EQ(server_->QueryAvailableProperties(item, &count, &ids, &descriptions, &types), S_OK);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(std::vector<DWORD>(ids, ids + 3), (std::vector<DWORD>{1, 5, 5000}));
  EXPECT_EQ(std::vector<VARTYPE>(types, types + 3), (std::vector<VARTYPE>{VT_I2, VT_I4, VT_I4}));
  EXPECT_EQ(TakeText(descriptions[0]), "Canonical Datatype");
  EXPECT_EQ(TakeText(descriptions[1]), "Access Rights");
  EXPECT_EQ(TakeText(descriptions[2]), "Type of Counter");
  CoTaskMemFree(ids);
  CoTaskMemFree(descriptions);
  CoTaskMemFree(types);

  LPWSTR unknown = const_cast<LPWSTR>("\\Memory\\No Such Counter");
  EXPECT_EQ(server_->QueryAvailableProperties(unknown, &count, &ids, &descriptions, &types),
            OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(ids, nullptr);
  EXPECT_EQ(descriptions, nullptr);
  EXPECT_EQ(types, nullptr);
  EXPECT_EQ(server_->QueryAvailableProperties(item, &count, &ids, nullptr, &types), E_INVALIDARG);

  DWORD wanted[] = {1, 5, 5000, 2};
  VARIANT* values = nullptr;
  HRESULT* errors = nullptr;
  ASSERT_EQ(server_->GetItemProperties(item, 4, wanted, &values, &errors), S_FALSE);
  EXPECT_EQ(values[0].vt, VT_I2);
  EXPECT_EQ(values[0].iVal, VT_R8);
  EXPECT_EQ(values[1].vt, VT_I4);
  EXPECT_EQ(values[1].lVal, 1);
  EXPECT_EQ(values[2].vt, VT_I4);
  EXPECT_EQ(static_cast<DWORD>(values[2].lVal), PERF_COUNTER_LARGE_RAWCOUNT);
  EXPECT_EQ(values[3].vt, VT_EMPTY);
  EXPECT_EQ(std::vector<HRESULT>(errors, errors + 4),
            (std::vector<HRESULT>{S_OK, S_OK, S_OK, OPC_E_INVALID_PID}));
  CoTaskMemFree(values);
  CoTaskMemFree(errors);
  EXPECT_EQ(server_->GetItemProperties(unknown, 1, wanted, &values, &errors), OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(values, nullptr);
  EXPECT_EQ(errors, nullptr);
  EXPECT_EQ(server_->GetItemProperties(item, 1, nullptr, &values, &errors), E_INVALIDARG);

  // Every property lives under the item's own ID.
  LPWSTR* newIds = nullptr;
  ASSERT_EQ(server_->LookupItemIDs(item, 2, wanted, &newIds, &errors), S_OK);
  EXPECT_EQ(TakeText(newIds[0]), kAvailableBytes);
  EXPECT_EQ(TakeText(newIds[1]), kAvailableBytes);
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(errors[1], S_OK);
  CoTaskMemFree(newIds);
  CoTaskMemFree(errors);
  EXPECT_EQ(server_->LookupItemIDs(const_cast<LPWSTR>("abc"), 1, wanted, &newIds, &errors),
            OPC_E_INVALIDITEMID);
  EXPECT_EQ(server_->LookupItemIDs(item, 1, wanted, nullptr, &errors), E_INVALIDARG);
}

std::vector<std::string> Drain(IEnumString* e) {
  std::vector<std::string> out;
  LPOLESTR name = nullptr;
  while (e->Next(1, &name, nullptr) == S_OK)
    out.push_back(TakeText(name));
  return out;
}

TEST_F(OpcServerTest, BrowsingWalksTheCatalogue) {
  OPCNAMESPACETYPE type{};
  EXPECT_EQ(server_->QueryOrganization(&type), S_OK);
  EXPECT_EQ(type, OPC_NS_HIERARCHIAL);
  EXPECT_EQ(server_->QueryOrganization(nullptr), E_INVALIDARG);

  auto browse = [&](OPCBROWSETYPE filter, HRESULT expected) {
    com::ComPtr<IEnumString> e;
    EXPECT_EQ(server_->BrowseOPCItemIDs(filter, "ignored*", VT_I4, 2, e.ReleaseAndGetAddressOf()),
              expected);
    return e ? Drain(e.Get()) : std::vector<std::string>{"<no enumerator>"};
  };
  auto has = [](const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
  };

  std::vector<std::string> objects = browse(OPC_BRANCH, S_OK);
  EXPECT_TRUE(has(objects, "Memory"));
  EXPECT_TRUE(has(objects, "Processor"));
  EXPECT_EQ(browse(OPC_FLAT, S_OK), objects);
  EXPECT_TRUE(browse(OPC_LEAF, S_FALSE).empty());

  ASSERT_EQ(server_->ChangeBrowsePosition(OPC_BROWSE_DOWN, "Processor"), S_OK);
  EXPECT_EQ(browse(OPC_BRANCH, S_OK), (std::vector<std::string>{"0", "1", "_Total"}));
  ASSERT_EQ(server_->ChangeBrowsePosition(OPC_BROWSE_DOWN, "_Total"), S_OK);
  EXPECT_TRUE(browse(OPC_BRANCH, S_FALSE).empty());
  EXPECT_TRUE(has(browse(OPC_LEAF, S_OK), "% Processor Time"));

  LPWSTR id = nullptr;
  ASSERT_EQ(server_->GetItemID(const_cast<LPWSTR>("% Processor Time"), &id), S_OK);
  EXPECT_EQ(TakeText(id), "\\Processor(_Total)\\% Processor Time");
  EXPECT_EQ(server_->GetItemID(const_cast<LPWSTR>("x"), nullptr), E_INVALIDARG);

  // Up needs a text too; To with an empty one goes back to the root.
  EXPECT_EQ(server_->ChangeBrowsePosition(OPC_BROWSE_UP, nullptr), E_INVALIDARG);
  ASSERT_EQ(server_->ChangeBrowsePosition(OPC_BROWSE_UP, ""), S_OK);
  EXPECT_EQ(browse(OPC_BRANCH, S_OK), (std::vector<std::string>{"0", "1", "_Total"}));
  ASSERT_EQ(server_->ChangeBrowsePosition(OPC_BROWSE_TO, ""), S_OK);
  EXPECT_EQ(browse(OPC_BRANCH, S_OK), objects);
  EXPECT_EQ(server_->ChangeBrowsePosition(static_cast<OPCBROWSEDIRECTION>(4), "x"), E_INVALIDARG);
  EXPECT_EQ(server_->BrowseOPCItemIDs(OPC_FLAT, nullptr, VT_EMPTY, 0, nullptr), E_INVALIDARG);

  IEnumString* paths = reinterpret_cast<IEnumString*>(0x1);
  EXPECT_EQ(server_->BrowseAccessPaths(kAvailableBytes, &paths), E_NOTIMPL);
  EXPECT_EQ(paths, nullptr);

  // A listing keeps the process alive after the server is gone.
  com::ComPtr<IEnumString> listing;
  ASSERT_EQ(
      server_->BrowseOPCItemIDs(OPC_FLAT, nullptr, VT_EMPTY, 0, listing.ReleaseAndGetAddressOf()),
      S_OK);
  server_ = nullptr;
  EXPECT_GT(ModuleLock::Count(), 0);
  EXPECT_EQ(Drain(listing.Get()), objects);
}

TEST_F(OpcServerTest, InterfacesOffered) {
  com::ComPtr<IUnknown> unk;
  for (const IID* iid :
       {&IID_IOPCServer, &IID_IOPCCommon, &IID_IOPCItemProperties,
        &IID_IOPCBrowseServerAddressSpace, &IID_IConnectionPointContainer, &IID_IZYNMessenger})
    EXPECT_EQ(server_->QueryInterface(*iid, unk.ReleaseAndGetVoidAddressOf()), S_OK);
  for (const IID* iid : {&IID_IOPCServerPublicGroups, &IID_IOPCItemMgt})
    EXPECT_EQ(server_->QueryInterface(*iid, unk.ReleaseAndGetVoidAddressOf()), E_NOINTERFACE);
}

TEST_F(OpcServerTest, ShutdownSinksHearOfTheEndOnce) {
  com::ComPtr<IConnectionPoint> point;
  EXPECT_EQ(server_->FindConnectionPoint(IID_IOPCDataCallback, point.ReleaseAndGetAddressOf()),
            CONNECT_E_NOCONNECTION);
  ASSERT_EQ(server_->FindConnectionPoint(IID_IOPCShutdown, point.ReleaseAndGetAddressOf()), S_OK);

  com::ComPtr<ShutdownSink> told = com::MakeObject<ShutdownSink>();
  com::ComPtr<ShutdownSink> left = com::MakeObject<ShutdownSink>();
  // Any object without IOPCShutdown, an enumerator say.
  com::ComPtr<IEnumString> wrong = com::MakeStringEnumerator({});
  DWORD toldCookie = 0, leftCookie = 0, wrongCookie = 0;
  ASSERT_EQ(point->Advise(told->Identity(), &toldCookie), S_OK);
  ASSERT_EQ(point->Advise(left->Identity(), &leftCookie), S_OK);
  EXPECT_EQ(point->Advise(wrong.Get(), &wrongCookie), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(point->Unadvise(leftCookie), S_OK);
  EXPECT_EQ(point->Unadvise(leftCookie), CONNECT_E_NOCONNECTION);
  point = nullptr;

  server_ = nullptr;
  EXPECT_EQ(told->reasons, std::vector<std::string>{"Server is shutting down"});
  EXPECT_TRUE(left->reasons.empty());

  // Told at the program's end, a client is not told again when its object goes.
  server_ = OpcServer::Create();
  ASSERT_EQ(server_->FindConnectionPoint(IID_IOPCShutdown, point.ReleaseAndGetAddressOf()), S_OK);
  ASSERT_EQ(point->Advise(left->Identity(), &leftCookie), S_OK);
  point = nullptr;
  ClientList::Process().ShutdownAll();
  EXPECT_EQ(left->reasons, std::vector<std::string>{"Server is shutting down"});
  server_ = nullptr;
  EXPECT_EQ(left->reasons.size(), 1u);
}

TEST_F(OpcServerTest, ClientListFollowsTheServerObjects) {
  std::vector<std::string> shown;
  ClientList::Process().SetNotify([&](const std::string& text) { shown.push_back(text); });
  EXPECT_EQ(ClientList::Process().Names(), std::vector<std::string>{"UNKNOWN"});
  EXPECT_EQ(server_->ClientName(), "UNKNOWN");

  ASSERT_EQ(server_->SetClientName("OBSERVER1"), S_OK);
  EXPECT_EQ(server_->ClientName(), "OBSERVER1");
  EXPECT_EQ(server_->SetClientName(nullptr), E_INVALIDARG);
  server_ = nullptr;
  ClientList::Process().SetNotify({});

  EXPECT_EQ(shown, (std::vector<std::string>{
                       "ZYN Server Running\r\nConnected Clients:\r\nOBSERVER1",
                       "ZYN Server Running\r\nNo Clients Connected",
                   }));
}

}  // namespace
