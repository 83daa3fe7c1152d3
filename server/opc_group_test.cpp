// The OPC group against counters whose values the tests write. Cycles are observed through a
// recording sink; the tests wait for callbacks rather than for fixed times wherever something
// is expected to happen.
#include <gtest/gtest.h>

#include "interfaces/data_change_sink.h"
#include "server/group_test_support.h"

namespace {

using namespace group_testing;

TEST_F(GroupTest, AddItemsNeedsASinkFirst) {
  auto group = MakeGroup(kHour, 0);
  OPCITEMDEF def{};
  def.szItemID = const_cast<LPWSTR>(kFree);
  OPCITEMRESULT* results = nullptr;
  HRESULT* errors = nullptr;
  EXPECT_EQ(group->AddItems(1, &def, &results, &errors), E_FAIL);

  auto sink = com::MakeObject<RecordingSink>();
  Advise(group.Get(), sink.Get());
  EXPECT_EQ(group->AddItems(1, &def, nullptr, &errors), E_POINTER);
  EXPECT_EQ(group->AddItems(0, &def, &results, &errors), E_INVALIDARG);
  EXPECT_EQ(group->AddItems(1, &def, &results, &errors), S_OK);
  EXPECT_EQ(results[0].hServer, 1u);
  CoTaskMemFree(results);
  CoTaskMemFree(errors);
}

TEST_F(GroupTest, UnknownItemsAndRefusedTypesAreReportedAndTheOthersAdded) {
  auto group = MakeGroup(kHour, 0);
  auto sink = com::MakeObject<RecordingSink>();
  Advise(group.Get(), sink.Get());

  const char* ids[] = {kFree, "\\Memory\\No Such Counter", "\\No Such Object\\Counter", kTotal,
                       kDirty};
  OPCITEMDEF defs[5] = {};
  for (int i = 0; i < 5; ++i) {
    defs[i].szItemID = const_cast<LPWSTR>(ids[i]);
    defs[i].bActive = TRUE;
    defs[i].hClient = 10 + i;
  }
  defs[3].vtRequestedDataType = VT_BSTR;     // FALSE converts to "False": accepted
  defs[4].vtRequestedDataType = VT_UNKNOWN;  // no conversion: refused
  OPCITEMRESULT* results = nullptr;
  HRESULT* errors = nullptr;
  ASSERT_EQ(group->AddItems(5, defs, &results, &errors), S_FALSE);
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(errors[1], OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(errors[2], OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(errors[3], S_OK);
  EXPECT_EQ(errors[4], DISP_E_TYPEMISMATCH);
  // Failed items take no handle, and their records are all zero.
  EXPECT_EQ(results[0].hServer, 1u);
  EXPECT_EQ(results[3].hServer, 2u);
  for (int i : {0, 3}) {
    EXPECT_EQ(results[i].dwAccessRights, OPC_READABLE);
    EXPECT_EQ(results[i].dwBlobSize, 0u);
    EXPECT_EQ(results[i].pBlob, nullptr);
  }
  for (int i : {1, 2, 4}) {
    EXPECT_EQ(results[i].hServer, 0u);
    EXPECT_EQ(results[i].vtCanonicalDataType, VT_EMPTY);
    EXPECT_EQ(results[i].dwAccessRights, 0u);
  }
  CoTaskMemFree(results);
  CoTaskMemFree(errors);

  // ValidateItems re-reads the catalogue first and adds nothing.
  ASSERT_EQ(group->ValidateItems(5, defs, FALSE, &results, &errors), S_FALSE);
  EXPECT_EQ(host_.refreshes, 1);
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(errors[1], OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(errors[4], S_OK);  // the requested type is not examined here
  EXPECT_EQ(results[0].hServer, 0u);
  EXPECT_EQ(results[0].dwAccessRights, OPC_READABLE);
  CoTaskMemFree(results);
  CoTaskMemFree(errors);

  com::ComPtr<IUnknown> unknown;
  ASSERT_EQ(group->CreateEnumerator(IID_IEnumOPCItemAttributes, unknown.ReleaseAndGetAddressOf()),
            S_OK);
  auto items = unknown.As<IEnumOPCItemAttributes>();
  OPCITEMATTRIBUTES* attributes = nullptr;
  ULONG fetched = 0;
  EXPECT_EQ(items->Next(10, &attributes, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_STREQ(attributes[0].szItemID, kFree);
  EXPECT_STREQ(attributes[1].szItemID, kTotal);
  EXPECT_EQ(attributes[1].vtRequestedDataType, VT_BSTR);
  for (ULONG i = 0; i < fetched; ++i) {
    CoTaskMemFree(attributes[i].szItemID);
    CoTaskMemFree(attributes[i].szAccessPath);
  }
  CoTaskMemFree(attributes);
}

TEST_F(GroupTest, DeadbandSuppressesSmallChangesRelativeToTheNewValue) {
  auto [group, sink, handles] = Start(100, 10.0f, {kFree, kTotal, kBuffers, kDirty});

  // The first cycle with values has nothing to compare with and sends everything.
  ASSERT_TRUE(sink->WaitForCalls(1));
  Call first = sink->Calls()[0];
  EXPECT_EQ(first.values, (std::map<OPCHANDLE, double>{{100, 50}, {101, 50}, {102, 0}, {103, 5}}));

  // 50 -> 54: |(50 - 54) / 54| = 7.4 % is within 10 %; 50 -> 60: 16.7 % is not; 0 -> 0 is no
  // change; 5 -> 0 is a change to zero.
  SetMemory(54, 60, 0, 0);
  auto second = sink->WaitFor(1, IsPeriodic);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->values, (std::map<OPCHANDLE, double>{{101, 60}, {103, 0}}));
  EXPECT_EQ(sink->Count(), 2u);
}

TEST_F(GroupTest, DeadbandZeroSendsEveryValueEveryCycle) {
  FILETIME before;
  GetSystemTimeAsFileTime(&before);
  auto [group, sink, handles] = Start(100, 0.0f, {kFree, kTotal});
  ASSERT_TRUE(sink->WaitForCalls(3));
  group.Reset();  // the thread stops before the release returns

  for (const Call& call : sink->Calls()) {
    EXPECT_TRUE(IsPeriodic(call));
    EXPECT_EQ(call.group, kClientGroup);
    EXPECT_EQ(call.masterQuality, S_OK);
    EXPECT_EQ(call.masterError, S_OK);
    EXPECT_EQ(call.values, (std::map<OPCHANDLE, double>{{100, 50}, {101, 50}}));
    EXPECT_EQ(call.types, (std::vector<VARTYPE>{VT_R8, VT_R8}));
    EXPECT_EQ(call.qualities, (std::vector<WORD>{0xC0, 0xC0}));
    EXPECT_EQ(call.errors, (std::vector<HRESULT>{S_OK, S_OK}));
    EXPECT_GE(com::FileTimeToU64(call.stamps[0]), com::FileTimeToU64(before));
  }
}

TEST_F(GroupTest, StateRoundTripsAndSlowRatesAreRaisedToTheMinimum) {
  auto group = MakeGroup(kHour, 0, TRUE, 9);
  DWORD revised = 0;
  EXPECT_EQ(SetRate(group.Get(), 0, &revised), OPC_S_UNSUPPORTEDRATE);
  EXPECT_EQ(revised, 100u);
  EXPECT_EQ(SetRate(group.Get(), 100, &revised), S_OK);
  EXPECT_EQ(SetRate(group.Get(), 250, &revised), S_OK);
  EXPECT_EQ(revised, 250u);
  DWORD rate = 500;
  EXPECT_EQ(group->SetState(&rate, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
            E_POINTER);

  LONG bias = -60;
  FLOAT deadband = 2.5f;
  DWORD lcid = 0x0407;  // ignored
  EXPECT_EQ(group->SetState(nullptr, &revised, nullptr, &bias, &deadband, &lcid, nullptr), S_OK);
  EXPECT_EQ(revised, 250u);
  BOOL active = FALSE;
  LPWSTR name = nullptr;
  OPCHANDLE client = 0, server = 0;
  DWORD gotRate = 0, gotLcid = 0;
  LONG gotBias = 0;
  FLOAT gotDeadband = 0;
  EXPECT_EQ(
      group->GetState(&gotRate, &active, &name, &gotBias, &gotDeadband, &gotLcid, &client, nullptr),
      E_POINTER);
  ASSERT_EQ(
      group->GetState(&gotRate, &active, &name, &gotBias, &gotDeadband, &gotLcid, &client, &server),
      S_OK);
  EXPECT_EQ(gotRate, 250u);
  EXPECT_TRUE(active);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(gotBias, -60);
  EXPECT_EQ(gotDeadband, 2.5f);
  EXPECT_EQ(gotLcid, ServerLocale());
  EXPECT_EQ(client, kClientGroup);
  EXPECT_EQ(server, 9u);
  CoTaskMemFree(name);
}

TEST_F(GroupTest, NamesAreCheckedAgainstTheServerAndGeneratedWithSignedHandles) {
  auto group = MakeGroup(kHour, 0, TRUE, 0x80000000);
  host_.names = {"Taken"};
  EXPECT_EQ(group->SetName("Mine"), S_OK);
  EXPECT_EQ(group->SetName("Taken"), OPC_E_DUPLICATENAME);
  EXPECT_EQ(group->Name(), "Mine");
  EXPECT_EQ(group->SetName(nullptr), E_INVALIDARG);

  OPCHANDLE client = 0xFFFFFFFF;
  DWORD revised = 0;
  group->SetState(nullptr, &revised, nullptr, nullptr, nullptr, nullptr, &client);
  EXPECT_EQ(group->SetName(""), S_OK);
  EXPECT_EQ(group->Name(), "Group: C-1S-2147483648");

  // Without a server (shut down), names are not checked against anything.
  group->Shutdown();
  EXPECT_EQ(group->SetName("Taken"), S_OK);
  IUnknown* clone = nullptr;
  EXPECT_EQ(group->CloneGroup("x", IID_IOPCItemMgt, &clone), E_NOTIMPL);
}

TEST_F(GroupTest, DisabledCallbacksStopPeriodicUpdatesButNotRefreshes) {
  auto group = MakeGroup(100, 0);
  auto sink = com::MakeObject<RecordingSink>();
  Advise(group.Get(), sink.Get());
  AddItems(group.Get(), {kFree});
  ASSERT_TRUE(sink->WaitForCalls(1));

  EXPECT_EQ(group->SetEnable(FALSE), S_OK);
  BOOL enabled = TRUE;
  EXPECT_EQ(group->GetEnable(&enabled), S_OK);
  EXPECT_FALSE(enabled);
  EXPECT_EQ(group->GetEnable(nullptr), E_FAIL);
  WaitForRunningCycle(group.Get());
  const std::size_t before = sink->Count();
  std::this_thread::sleep_for(350ms);  // three periods
  EXPECT_EQ(sink->Count(), before);

  DWORD cancelId = 0;
  ASSERT_EQ(group->Refresh2(OPC_DS_DEVICE, 42, &cancelId), S_OK);
  EXPECT_NE(cancelId, 0u);
  auto refresh = sink->WaitFor(before, [](const Call& c) { return c.transid == 42; });
  ASSERT_TRUE(refresh);
  EXPECT_EQ(refresh->kind, Call::kDataChange);
  EXPECT_EQ(refresh->values, (std::map<OPCHANDLE, double>{{100, 50}}));

  EXPECT_EQ(group->SetEnable(TRUE), S_OK);
  EXPECT_TRUE(sink->WaitFor(sink->Count(), IsPeriodic));
}

TEST_F(GroupTest, RefreshesAnswerFromTheCacheOrTheDevice) {
  // With an hour's rate no periodic cycle runs by itself: the activation runs one at once.
  auto group = MakeGroup(kHour, 0, FALSE);
  DWORD cancelId = 0;
  EXPECT_EQ(group->Refresh2(OPC_DS_CACHE, 1, &cancelId), CONNECT_E_NOCONNECTION);
  auto sink = com::MakeObject<RecordingSink>();
  Advise(group.Get(), sink.Get());
  auto handles = AddItems(group.Get(), {kFree, kTotal});
  EXPECT_EQ(group->Refresh2(OPC_DS_CACHE, 1, &cancelId), E_FAIL);  // the group is inactive
  ASSERT_EQ(SetActive(group.Get(), TRUE), S_OK);
  EXPECT_EQ(group->Refresh2(static_cast<OPCDATASOURCE>(3), 1, &cancelId), E_INVALIDARG);
  EXPECT_EQ(group->Refresh2(OPC_DS_CACHE, 1, nullptr), E_INVALIDARG);
  ASSERT_TRUE(sink->WaitFor(0, IsPeriodic));

  SetMemory(70, 80, 0, 0);
  ASSERT_EQ(group->Refresh2(OPC_DS_CACHE, 7, &cancelId), S_OK);
  EXPECT_EQ(cancelId, 1u);  // cancel IDs count requests from 1
  auto cached = sink->WaitFor(1, [](const Call& c) { return c.transid == 7; });
  ASSERT_TRUE(cached);
  EXPECT_EQ(cached->kind, Call::kDataChange);
  EXPECT_EQ(cached->values, (std::map<OPCHANDLE, double>{{100, 50}, {101, 50}}));

  ASSERT_EQ(group->Refresh2(OPC_DS_DEVICE, 8, &cancelId), S_OK);
  EXPECT_EQ(cancelId, 2u);
  auto device = sink->WaitFor(2, [](const Call& c) { return c.transid == 8; });
  ASSERT_TRUE(device);
  EXPECT_EQ(device->values, (std::map<OPCHANDLE, double>{{100, 70}, {101, 80}}));

  // The device refresh became the cache.
  ASSERT_EQ(group->Refresh2(OPC_DS_CACHE, 9, &cancelId), S_OK);
  auto again = sink->WaitFor(3, [](const Call& c) { return c.transid == 9; });
  ASSERT_TRUE(again);
  EXPECT_EQ(again->values, (std::map<OPCHANDLE, double>{{100, 70}, {101, 80}}));
  EXPECT_EQ(sink->Count(), 4u);

  // Without an active item there is nothing to refresh.
  HRESULT* errors = nullptr;
  ASSERT_EQ(group->SetActiveState(2, handles.data(), FALSE, &errors), S_OK);
  CoTaskMemFree(errors);
  EXPECT_EQ(group->Refresh2(OPC_DS_DEVICE, 10, &cancelId), E_FAIL);
}

// A sink whose QueryInterface blocks on the update thread: when the thread rebuilds its sink
// list it fetches this sink from the interface table, outside the group lock, and waits there.
class GateSink final : public DataChangeSink {
 public:
  explicit GateSink(std::thread::id owner) : owner_(owner) {}
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (std::this_thread::get_id() != owner_) {
      std::unique_lock lock(mutex_);
      entered_ = true;
      changed_.notify_all();
      changed_.wait(lock, [this] { return open_; });
    }
    return ComObject::QueryInterface(riid, ppv);
  }
  void WaitUntilEntered() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return entered_; });
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  HRESULT OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                       FILETIME*, HRESULT*) override {
    return S_OK;
  }

 private:
  const std::thread::id owner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool entered_ = false;
  bool open_ = false;
};

TEST_F(GroupTest, CancelledReadIsDroppedSilentlyForAPeriodicCycle) {
  auto group = MakeGroup(kHour, 0);
  auto sink = com::MakeObject<RecordingSink>();
  Advise(group.Get(), sink.Get());
  auto handles = AddItems(group.Get(), {kFree});

  // Hold the thread in its sink-list rebuild so the read stays queued.
  auto gate = com::MakeObject<GateSink>(std::this_thread::get_id());
  Advise(group.Get(), gate.Get());
  gate->WaitUntilEntered();

  DWORD cancelId = 0;
  HRESULT* errors = nullptr;
  ASSERT_EQ(group->Read(1, handles.data(), 5, &cancelId, &errors), S_OK);
  CoTaskMemFree(errors);
  EXPECT_EQ(group->Cancel2(0), E_INVALIDARG);
  EXPECT_EQ(group->Cancel2(cancelId + 1), E_FAIL);
  EXPECT_EQ(group->Cancel2(cancelId), S_OK);
  EXPECT_EQ(group->Cancel2(cancelId), E_FAIL);  // cancelled requests are not found again
  gate->Open();

  ASSERT_TRUE(sink->WaitFor(0, IsPeriodic));
  WaitForRunningCycle(group.Get());
  group.Reset();
  for (const Call& call : sink->Calls())
    EXPECT_TRUE(IsPeriodic(call)) << call.kind;
}

TEST_F(GroupTest, SyncReadsComeFromTheDeviceOnly) {
  auto group = MakeGroup(kHour, 0);
  auto sink = com::MakeObject<RecordingSink>();
  Advise(group.Get(), sink.Get());
  auto handles = AddItems(group.Get(), {kFree, kTotal});
  HRESULT* errors = nullptr;
  ASSERT_EQ(group->SetActiveState(1, &handles[1], FALSE, &errors), S_OK);  // read all the same
  CoTaskMemFree(errors);
  SetMemory(123, 456, 0, 0);

  OPCHANDLE asked[] = {handles[0], 999, handles[1]};
  OPCITEMSTATE* states = nullptr;
  EXPECT_EQ(group->Read(OPC_DS_CACHE, 3, asked, &states, &errors), E_NOTIMPL);
  EXPECT_EQ(states, nullptr);
  EXPECT_EQ(group->Read(static_cast<OPCDATASOURCE>(0), 3, asked, &states, &errors), E_INVALIDARG);
  EXPECT_EQ(group->Read(OPC_DS_DEVICE, 0, asked, &states, &errors), E_INVALIDARG);
  FILETIME before;
  GetSystemTimeAsFileTime(&before);
  ASSERT_EQ(group->Read(OPC_DS_DEVICE, 3, asked, &states, &errors), S_FALSE);
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(states[0].hClient, 100u);
  EXPECT_EQ(states[0].wQuality, 0xC0);
  EXPECT_EQ(states[0].vDataValue.vt, VT_R8);
  EXPECT_EQ(states[0].vDataValue.dblVal, 123);
  EXPECT_GE(com::FileTimeToU64(states[0].ftTimeStamp), com::FileTimeToU64(before));
  EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
  EXPECT_EQ(states[1].hClient, 0u);
  EXPECT_EQ(states[1].wQuality, 0);
  EXPECT_EQ(states[1].vDataValue.vt, VT_EMPTY);
  EXPECT_EQ(com::FileTimeToU64(states[1].ftTimeStamp), 0u);
  EXPECT_EQ(errors[2], S_OK);
  EXPECT_EQ(states[2].vDataValue.dblVal, 456);
  CoTaskMemFree(states);
  CoTaskMemFree(errors);
  EXPECT_EQ(group->Write(1, asked, nullptr, &errors), E_NOTIMPL);
}

TEST_F(GroupTest, AsyncReadCompletesAndRefreshesTheCache) {
  auto group = MakeGroup(kHour, 0);
  OPCHANDLE none = 1;
  DWORD cancelId = 1;
  HRESULT* errors = nullptr;
  EXPECT_EQ(group->Read(1, &none, 3, &cancelId, &errors), CONNECT_E_NOCONNECTION);
  auto [started, sink, handles] = Start(kHour, 0, {kFree, kTotal});
  group = started;
  ASSERT_TRUE(sink->WaitFor(0, IsPeriodic));

  SetMemory(80, 90, 0, 0);
  OPCHANDLE asked[] = {999, handles[1]};
  ASSERT_EQ(group->Read(2, asked, 3, &cancelId, &errors), S_FALSE);
  EXPECT_EQ(errors[0], OPC_E_INVALIDHANDLE);
  EXPECT_EQ(errors[1], S_OK);
  EXPECT_NE(cancelId, 0u);
  CoTaskMemFree(errors);
  auto read = sink->WaitFor(1, [](const Call& c) { return c.kind == Call::kReadComplete; });
  ASSERT_TRUE(read);
  EXPECT_EQ(read->transid, 3u);
  EXPECT_EQ(read->group, kClientGroup);
  EXPECT_EQ(read->values, (std::map<OPCHANDLE, double>{{101, 90}}));

  // The read's value also went into the cache; the item that was not read kept its value.
  ASSERT_EQ(group->Refresh2(OPC_DS_CACHE, 4, &cancelId), S_OK);
  auto cached = sink->WaitFor(2, [](const Call& c) { return c.transid == 4; });
  ASSERT_TRUE(cached);
  EXPECT_EQ(cached->values, (std::map<OPCHANDLE, double>{{100, 50}, {101, 90}}));

  // Only unknown handles: nothing is queued.
  ASSERT_EQ(group->Read(1, &asked[0], 5, &cancelId, &errors), S_FALSE);
  EXPECT_EQ(cancelId, 0u);
  CoTaskMemFree(errors);
}

TEST_F(GroupTest, InactiveGroupSendsNothingAndCyclesAtOnceWhenActivated) {
  auto group = MakeGroup(100, 0);
  auto sink = com::MakeObject<RecordingSink>();
  Advise(group.Get(), sink.Get());
  AddItems(group.Get(), {kFree});
  ASSERT_TRUE(sink->WaitForCalls(1));

  ASSERT_EQ(SetActive(group.Get(), FALSE), S_OK);
  WaitForRunningCycle(group.Get());
  const std::size_t before = sink->Count();
  // While inactive, a new rate is only stored.
  SetRate(group.Get(), kHour);
  std::this_thread::sleep_for(350ms);
  EXPECT_EQ(sink->Count(), before);

  // An hour's rate, so the cycle that follows comes from the activation itself.
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(SetActive(group.Get(), TRUE), S_OK);
  ASSERT_TRUE(sink->WaitFor(before, IsPeriodic));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST_F(GroupTest, ActiveStateChangesKeepOneSamplingEntryPerItem) {
  auto group = MakeGroup(100, 0);
  auto sink = com::MakeObject<RecordingSink>();
  Advise(group.Get(), sink.Get());
  auto handles = AddItems(group.Get(), {kFree, kTotal});
  auto late = AddItems(group.Get(), {kDirty}, FALSE);  // client 100 again, inactive

  HRESULT* errors = nullptr;
  ASSERT_EQ(group->SetActiveState(1, &handles[0], TRUE, &errors), S_OK);  // already active
  CoTaskMemFree(errors);
  ASSERT_EQ(group->SetActiveState(1, &handles[0], TRUE, &errors), S_OK);
  CoTaskMemFree(errors);
  ASSERT_EQ(group->SetActiveState(1, &handles[1], FALSE, &errors), S_OK);
  CoTaskMemFree(errors);
  ASSERT_EQ(group->SetActiveState(1, &handles[1], FALSE, &errors), S_OK);
  CoTaskMemFree(errors);
  OPCHANDLE unknown[] = {late[0], 999};
  ASSERT_EQ(group->SetActiveState(2, unknown, TRUE, &errors), S_FALSE);
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
  CoTaskMemFree(errors);
  OPCHANDLE newClient = 300;
  ASSERT_EQ(group->SetClientHandles(1, &late[0], &newClient, &errors), S_OK);
  CoTaskMemFree(errors);

  WaitForRunningCycle(group.Get());
  const std::size_t from = sink->Count();
  ASSERT_TRUE(sink->WaitForCalls(from + 2));
  std::vector<Call> calls = sink->Calls();
  for (std::size_t i = from; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].count, 2u);
    EXPECT_EQ(calls[i].values, (std::map<OPCHANDLE, double>{{100, 50}, {300, 5}}));
  }

  // An item deactivated earlier is removed without complaint.
  OPCHANDLE removed[] = {handles[1], handles[1]};
  ASSERT_EQ(group->RemoveItems(2, removed, &errors), S_FALSE);
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
  CoTaskMemFree(errors);
}

TEST_F(GroupTest, UnadvisedSinkIsNeverCalledAgain) {
  auto group = MakeGroup(100, 0);
  auto kept = com::MakeObject<RecordingSink>();
  auto dropped = com::MakeObject<RecordingSink>();
  const std::size_t registered = com::GetGlobalInterfaceTable()->Size();
  Advise(group.Get(), kept.Get());
  DWORD cookie = Advise(group.Get(), dropped.Get());
  EXPECT_EQ(com::GetGlobalInterfaceTable()->Size(), registered + 2);
  AddItems(group.Get(), {kFree});
  ASSERT_TRUE(dropped->WaitForCalls(1));

  auto point = Point(group.Get());
  EXPECT_EQ(point->Unadvise(cookie + 10), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(point->Unadvise(cookie), S_OK);
  const std::size_t last = dropped->Count();
  const std::size_t from = kept->Count();
  ASSERT_TRUE(kept->WaitForCalls(from + 3));
  EXPECT_EQ(dropped->Count(), last);
  EXPECT_EQ(com::GetGlobalInterfaceTable()->Size(), registered + 1);
  EXPECT_EQ(dropped->RefCount(), 1u);  // neither the point nor the thread holds it

  IID iid{};
  EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
  EXPECT_EQ(iid, IID_IOPCDataCallback);
  group.Reset();
  point.Reset();
  EXPECT_EQ(com::GetGlobalInterfaceTable()->Size(), registered);
  EXPECT_EQ(kept->RefCount(), 1u);
}

TEST_F(GroupTest, ReleasingTheGroupStopsItsThreadBeforeReturning) {
  auto sink = com::MakeObject<RecordingSink>();
  for (int round = 0; round < 5; ++round) {
    auto group = MakeGroup(100, 0);
    Advise(group.Get(), sink.Get());
    AddItems(group.Get(), {kFree, kTotal, kBuffers});
    ASSERT_TRUE(sink->WaitForCalls(sink->Count() + 1));
    group.Reset();
    const std::size_t after = sink->Count();
    EXPECT_EQ(sink->RefCount(), 1u);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(sink->Count(), after);
  }
}

TEST_F(GroupTest, ForcedShutdownLeavesAGroupThatAnswersWithoutSampling) {
  auto group = MakeGroup(100, 0);
  auto sink = com::MakeObject<RecordingSink>();
  Advise(group.Get(), sink.Get());
  auto handles = AddItems(group.Get(), {kFree});
  ASSERT_TRUE(sink->WaitForCalls(1));
  group->Shutdown();
  group->Shutdown();  // idempotent
  const std::size_t after = sink->Count();

  OPCITEMDEF def{};
  def.szItemID = const_cast<LPWSTR>(kTotal);
  OPCITEMRESULT* results = nullptr;
  HRESULT* errors = nullptr;
  EXPECT_EQ(group->AddItems(1, &def, &results, &errors), E_FAIL);
  DWORD cancelId = 0;
  EXPECT_EQ(group->Refresh2(OPC_DS_DEVICE, 1, &cancelId), E_FAIL);
  EXPECT_EQ(group->Read(1, handles.data(), 1, &cancelId, &errors), E_FAIL);
  auto other = com::MakeObject<RecordingSink>();
  DWORD cookie = 0;
  EXPECT_EQ(Point(group.Get())->Advise(other.Get(), &cookie), E_FAIL);
  OPCITEMSTATE* states = nullptr;
  ASSERT_EQ(group->Read(OPC_DS_DEVICE, 1, handles.data(), &states, &errors), S_OK);
  EXPECT_EQ(states[0].vDataValue.dblVal, 50);
  CoTaskMemFree(states);
  CoTaskMemFree(errors);
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(sink->Count(), after);
}

TEST_F(GroupTest, ThreadStuckInACallbackIsLeftToFinishOnItsOwn) {
  auto group = MakeGroup(100, 0);
  auto sink = com::MakeObject<RecordingSink>();
  std::mutex mutex;
  std::condition_variable changed;
  bool inside = false, release = false;
  sink->during = [&] {
    std::unique_lock lock(mutex);
    inside = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
  };
  Advise(group.Get(), sink.Get());
  AddItems(group.Get(), {kFree});
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 5s, [&] { return inside; }));
  }

  // The release gives the thread its 5 s, then leaves it behind.
  auto start = std::chrono::steady_clock::now();
  group.Reset();
  EXPECT_GE(std::chrono::steady_clock::now() - start, 4900ms);
  EXPECT_GT(sink->RefCount(), 1u);  // the thread's own reference

  {
    std::lock_guard lock(mutex);
    release = true;
  }
  changed.notify_all();
  // The thread ends by itself and lets go of the sink; nothing it touched was freed (the
  // sanitizer builds check that).
  for (int i = 0; i < 500 && sink->RefCount() > 1; ++i)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(sink->RefCount(), 1u);
  EXPECT_EQ(sink->Count(), 1u);
}

TEST_F(GroupTest, ItemEnumeratorWalksTheLiveTable) {
  auto group = MakeGroup(kHour, 0);
  IUnknown* raw = nullptr;
  EXPECT_EQ(group->CreateEnumerator(IID_IEnumString, &raw), E_INVALIDARG);
  EXPECT_EQ(group->CreateEnumerator(IID_IEnumOPCItemAttributes, nullptr), E_POINTER);
  auto sink = com::MakeObject<RecordingSink>();
  Advise(group.Get(), sink.Get());
  OPCITEMDEF defs[3] = {};
  const char* ids[] = {kFree, kTotal, kDirty};
  for (int i = 0; i < 3; ++i) {
    defs[i].szItemID = const_cast<LPWSTR>(ids[i]);
    defs[i].bActive = i != 1;
    defs[i].hClient = 10 + i;
  }
  defs[0].szAccessPath = const_cast<LPWSTR>("path");
  OPCITEMRESULT* results = nullptr;
  HRESULT* errors = nullptr;
  ASSERT_EQ(group->AddItems(2, defs, &results, &errors), S_OK);
  CoTaskMemFree(results);
  CoTaskMemFree(errors);
  VARTYPE i4 = VT_I4, bad = VT_UNKNOWN;
  OPCHANDLE first = 1;
  ASSERT_EQ(group->SetDatatypes(1, &first, &i4, &errors), S_OK);
  CoTaskMemFree(errors);
  ASSERT_EQ(group->SetDatatypes(1, &first, &bad, &errors), S_FALSE);
  EXPECT_EQ(errors[0], DISP_E_TYPEMISMATCH);
  CoTaskMemFree(errors);

  com::ComPtr<IUnknown> unknown;
  ASSERT_EQ(group->CreateEnumerator(IID_IEnumOPCItemAttributes, unknown.ReleaseAndGetAddressOf()),
            S_OK);
  auto items = unknown.As<IEnumOPCItemAttributes>();
  auto take = [&](ULONG celt, HRESULT expected) {
    OPCITEMATTRIBUTES* a = nullptr;
    ULONG fetched = 99;
    EXPECT_EQ(items->Next(celt, &a, &fetched), expected);
    std::vector<OPCHANDLE> handles;
    for (ULONG i = 0; i < fetched; ++i) {
      handles.push_back(a[i].hServer);
      CoTaskMemFree(a[i].szItemID);
      CoTaskMemFree(a[i].szAccessPath);
    }
    CoTaskMemFree(a);
    return handles;
  };

  OPCITEMATTRIBUTES* a = nullptr;
  ULONG fetched = 0;
  ASSERT_EQ(items->Next(1, &a, &fetched), S_OK);
  EXPECT_STREQ(a[0].szAccessPath, "path");
  EXPECT_STREQ(a[0].szItemID, kFree);
  EXPECT_TRUE(a[0].bActive);
  EXPECT_EQ(a[0].hClient, 10u);
  EXPECT_EQ(a[0].hServer, 1u);
  EXPECT_EQ(a[0].dwAccessRights, OPC_READABLE);
  EXPECT_EQ(a[0].vtRequestedDataType, VT_I4);
  EXPECT_EQ(a[0].dwEUType, OPC_NOENUM);
  EXPECT_EQ(a[0].vEUInfo.vt, VT_EMPTY);
  CoTaskMemFree(a[0].szAccessPath);
  CoTaskMemFree(a[0].szItemID);
  CoTaskMemFree(a);
  EXPECT_EQ(items->Next(0, &a, &fetched), E_INVALIDARG);
  EXPECT_EQ(items->Next(1, &a, nullptr), E_POINTER);

  // An item added after the enumerator was made is seen.
  ASSERT_EQ(group->AddItems(1, &defs[2], &results, &errors), S_OK);
  CoTaskMemFree(results);
  CoTaskMemFree(errors);
  com::ComPtr<IEnumOPCItemAttributes> clone;
  ASSERT_EQ(items->Clone(clone.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(take(5, S_FALSE), (std::vector<OPCHANDLE>{2, 3}));
  EXPECT_EQ(take(1, S_FALSE), std::vector<OPCHANDLE>{});
  // The clone kept the position it was made at.
  OPCITEMATTRIBUTES* c = nullptr;
  ASSERT_EQ(clone->Next(1, &c, &fetched), S_OK);
  EXPECT_EQ(c[0].hServer, 2u);
  EXPECT_FALSE(c[0].bActive);
  CoTaskMemFree(c[0].szItemID);
  CoTaskMemFree(c);

  EXPECT_EQ(items->Reset(), S_OK);
  EXPECT_EQ(items->Skip(0), E_INVALIDARG);
  EXPECT_EQ(items->Skip(2), S_OK);
  EXPECT_EQ(take(1, S_OK), std::vector<OPCHANDLE>{3});
  // Skipping past the end stops on the last item.
  EXPECT_EQ(items->Reset(), S_OK);
  EXPECT_EQ(items->Skip(7), S_FALSE);
  EXPECT_EQ(take(2, S_FALSE), std::vector<OPCHANDLE>{3});
}

TEST_F(GroupTest, AsyncMethodsNeedASinkAndOnlyDataCallbacksConnect) {
  auto group = MakeGroup(kHour, 0);
  BOOL enabled = FALSE;
  EXPECT_EQ(group->SetEnable(FALSE), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(group->GetEnable(&enabled), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(group->Cancel2(1), CONNECT_E_NOCONNECTION);
  DWORD cancelId = 0;
  HRESULT* errors = nullptr;
  EXPECT_EQ(group->Write(1, nullptr, nullptr, 1, &cancelId, &errors), CONNECT_E_NOCONNECTION);

  com::ComPtr<IConnectionPoint> point;
  EXPECT_EQ(group->FindConnectionPoint(IID_IOPCShutdown, point.ReleaseAndGetAddressOf()),
            CONNECT_E_NOCONNECTION);
  // Any object without IOPCDataCallback cannot connect; an interface table is one.
  auto notASink = com::MakeObject<com::GlobalInterfaceTable>();
  DWORD cookie = 5;
  EXPECT_EQ(Point(group.Get())->Advise(notASink->Identity(), &cookie), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(cookie, 0u);
}

}  // namespace
