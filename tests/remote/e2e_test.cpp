// The server object and its groups used from another process: a serving program the test
// starts, reached over the Unix socket and over TCP on 127.0.0.1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/opc_da.h"
#include "interfaces/zyn_ids.h"
#include "platform/com/connpoint.h"
#include "platform/com/object.h"
#include "platform/remote/activation.h"
#include "platform/remote/apartment.h"
#include "platform/remote/connections.h"
#include "platform/remote/paths.h"
#include "tests/remote/child_process.h"

extern char** environ;

namespace zyn::remote {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kItem[] = "\\Memory\\Available Bytes";

// The folder below which the test's files go; empty in a child, which inherits its parent's.
std::string UseTestFolders() {
  static std::string root = []() -> std::string {
    if (std::getenv("ZYN_E2E_CHILD")) return {};
    char pattern[] = "/tmp/zyn-e2e-test-XXXXXX";
    std::string dir = mkdtemp(pattern);
    setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
    setenv("ZYNWATCH_SYSTEM_CLASSES", (dir + "/system-classes").c_str(), 1);
    return dir;
  }();
  return root;
}

struct Status {
  int objects = -1, connections = -1, threads = -1;
};

// The client's data sink: records when each callback arrived and on which thread.
class DataSink final : public com::ComObject<IOPCDataCallback> {
 public:
  HRESULT OnDataChange(DWORD, OPCHANDLE hGroup, HRESULT, HRESULT hrMastererror, DWORD dwCount,
                       OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities, FILETIME*,
                       HRESULT*) override {
    std::lock_guard lock(mutex_);
    arrivals_.push_back(Clock::now());
    thread_ = std::this_thread::get_id();
    group_ = hGroup;
    if (SUCCEEDED(hrMastererror) && dwCount > 0) {
      lastItem_ = phClientItems[0];
      lastQuality_ = pwQualities[0];
      lastVt_ = pvValues[0].vt;
    }
    cv_.notify_all();
    return S_OK;
  }
  HRESULT OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                         FILETIME*, HRESULT*) override {
    return S_OK;
  }
  HRESULT OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
    return E_NOTIMPL;
  }
  HRESULT OnCancelComplete(DWORD, OPCHANDLE) override { return E_NOTIMPL; }

  bool WaitForCallbacks(std::size_t n, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return arrivals_.size() >= n; });
  }
  std::vector<Clock::time_point> Arrivals() {
    std::lock_guard lock(mutex_);
    return arrivals_;
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Clock::time_point> arrivals_;
  std::thread::id thread_;
  OPCHANDLE group_ = 0, lastItem_ = 0;
  WORD lastQuality_ = 0;
  VARTYPE lastVt_ = VT_EMPTY;
};

// One connected group with one item and the sink advised.
struct Subscription {
  com::ComPtr<IOPCServer> server;
  com::ComPtr<IOPCItemMgt> items;
  com::ComPtr<IConnectionPoint> point;
  com::ComPtr<DataSink> sink = com::MakeObject<DataSink>();
  OPCHANDLE serverGroup = 0;
  DWORD cookie = 0;
  DWORD revisedRate = 0;

  void Start(const std::string& machine, DWORD rate) {
    std::string error;
    ASSERT_EQ(ActivateWithTimeLimit(machine, CLSID_ZYNServer, IID_IOPCServer, 10000, E_FAIL,
                                    server.ReleaseAndGetVoidAddressOf(), &error),
              S_OK)
        << error;
    com::ComPtr<IOPCCommon> common;
    ASSERT_EQ(server.As(&common), S_OK);
    EXPECT_EQ(common->SetClientName("OBSERVER1"), S_OK);
    FLOAT deadband = 0;
    ASSERT_EQ(server->AddGroup("Group #1", TRUE, rate, 7, nullptr, &deadband, 0x409, &serverGroup,
                               &revisedRate, IID_IOPCItemMgt,
                               reinterpret_cast<IUnknown**>(items.ReleaseAndGetAddressOf())),
              S_OK);
    com::ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(items.As(&container), S_OK);
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, point.ReleaseAndGetAddressOf()),
              S_OK);
    ASSERT_EQ(point->Advise(static_cast<IOPCDataCallback*>(sink.Get()), &cookie), S_OK);
    OPCITEMDEF def{};
    def.szItemID = const_cast<LPWSTR>(kItem);
    def.bActive = TRUE;
    def.hClient = 42;
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(items->AddItems(1, &def, &results, &errors), S_OK);
    ASSERT_NE(results, nullptr);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_NE(results[0].hServer, 0u);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
  }
};

class E2eTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    UseTestFolders();
    clientApartment = std::make_unique<ApartmentThread>();
    SetDefaultApartment(&clientApartment->apartment());
    server = std::make_unique<Child>(ZYN_E2E_SERVER, std::vector<std::string>{});
    std::string ready = server->ReadLine();
    ASSERT_EQ(ready.rfind("READY ", 0), 0u) << ready;
    port = static_cast<unsigned>(std::stoul(ready.substr(6)));
    // The observer's user copies the server's key.
    std::string key;
    ASSERT_TRUE(ReadFile(EndpointDir() + "/access.key", &key));
    ASSERT_TRUE(MakeDirs(MachineDir(TcpMachine()), 0700));
    ASSERT_TRUE(WriteFile(MachineDir(TcpMachine()) + "/access.key", key, 0600));
  }
  static void TearDownTestSuite() {
    CloseAllConnections();
    server = nullptr;
    SetDefaultApartment(nullptr);
    clientApartment = nullptr;
    std::error_code ignored;
    if (!UseTestFolders().empty()) std::filesystem::remove_all(UseTestFolders(), ignored);
  }

  static std::string TcpMachine() { return "127.0.0.1:" + std::to_string(port); }

  static Status ServerStatus() {
    server->WriteLine("STATUS");
    Status s;
    std::sscanf(server->ReadLine().c_str(), "STATUS objects=%d connections=%d threads=%d",
                &s.objects, &s.connections, &s.threads);
    return s;
  }

  template <class Pred>
  static bool Eventually(Pred pred, int ms = 5000) {
    for (auto end = Clock::now() + std::chrono::milliseconds(ms); Clock::now() < end;) {
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pred();
  }

  // Callbacks arrive at the group's rate, in this process, on the client's apartment.
  static void ExpectStreaming(Subscription& s) {
    ASSERT_TRUE(s.sink->WaitForCallbacks(6, std::chrono::seconds(5)));
    auto arrivals = s.sink->Arrivals();
    auto span =
        std::chrono::duration_cast<std::chrono::milliseconds>(arrivals.back() - arrivals[1]);
    const double perCallback = double(span.count()) / double(arrivals.size() - 2);
    EXPECT_GT(perCallback, 50.0);
    EXPECT_LT(perCallback, 200.0);
    std::thread::id apartmentThread;
    clientApartment->apartment().Post([&] { apartmentThread = std::this_thread::get_id(); });
    ASSERT_TRUE(Eventually([&] { return apartmentThread != std::thread::id(); }));
    std::lock_guard lock(s.sink->mutex_);
    EXPECT_EQ(s.sink->thread_, apartmentThread);
    EXPECT_EQ(s.sink->group_, 7u);
    EXPECT_EQ(s.sink->lastItem_, 42u);
    EXPECT_EQ(s.sink->lastQuality_, OPC_QUALITY_GOOD);
    EXPECT_EQ(s.sink->lastVt_, VT_R8);
  }

  static inline std::unique_ptr<ApartmentThread> clientApartment;
  static inline std::unique_ptr<Child> server;
  static inline unsigned port = 0;
};

TEST_F(E2eTest, DataCallbacksArriveOverTheUnixSocket) {
  Subscription s;
  s.Start(kMyComputer, 100);
  ASSERT_FALSE(HasFailure());
  EXPECT_EQ(s.revisedRate, 100u);
  ExpectStreaming(s);
  EXPECT_EQ(ServerStatus().objects, 1);

  // The client's apartment thread calls the group over and over while the group's thread is
  // sending it callbacks: neither may wait for the other.
  com::ComPtr<IOPCGroupStateMgt> state;
  ASSERT_EQ(s.items.As(&state), S_OK);
  const std::size_t before = s.sink->Arrivals().size();
  std::atomic<int> calls{0};
  std::atomic<bool> done{false};
  clientApartment->apartment().Post([&] {
    for (auto end = Clock::now() + std::chrono::milliseconds(800); Clock::now() < end;) {
      DWORD rate = 0;
      BOOL active = FALSE;
      LPWSTR name = nullptr;
      LONG bias = 0;
      FLOAT deadband = 0;
      LCID lcid = 0;
      OPCHANDLE client = 0, server = 0;
      HRESULT hr =
          state->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &client, &server);
      CoTaskMemFree(name);
      if (hr == S_OK && rate == 100) {
        ++calls;
      }
    }
    done = true;
  });
  ASSERT_TRUE(Eventually([&] { return done.load(); }, 3000));
  EXPECT_GT(calls.load(), 10);
  // The callbacks queued meanwhile run once the thread is free again.
  EXPECT_TRUE(s.sink->WaitForCallbacks(before + 6, std::chrono::seconds(3)));
  state = nullptr;

  // The group is in use while the client holds it.
  EXPECT_EQ(s.server->RemoveGroup(s.serverGroup, FALSE), OPC_S_INUSE);
  EXPECT_EQ(s.point->Unadvise(s.cookie), S_OK);
  s.point = nullptr;
  s.items = nullptr;
  s.server = nullptr;
  EXPECT_TRUE(Eventually([] { return ServerStatus().objects == 0; }));
}

TEST_F(E2eTest, TheServerObjectOverTcp) {
  Subscription s;
  s.Start(TcpMachine(), 100);
  ASSERT_FALSE(HasFailure());
  ExpectStreaming(s);
  OPCSERVERSTATUS* status = nullptr;
  ASSERT_EQ(s.server->GetStatus(&status), S_OK);
  EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
  EXPECT_EQ(status->dwGroupCount, 1u);
  EXPECT_STREQ(status->szVendorInfo, "Corvane");
  CoTaskMemFree(status->szVendorInfo);
  CoTaskMemFree(status);

  // Item properties: ids, descriptions and types arrive as three task-allocated arrays.
  com::ComPtr<IOPCItemProperties> properties;
  ASSERT_EQ(s.server.As(&properties), S_OK);
  DWORD count = 0;
  DWORD* ids = nullptr;
  LPWSTR* descriptions = nullptr;
  VARTYPE* types = nullptr;
  ASSERT_EQ(properties->QueryAvailableProperties(const_cast<LPWSTR>(kItem), &count, &ids,
                                                 &descriptions, &types),
            S_OK);
  ASSERT_GT(count, 0u);
  EXPECT_EQ(ids[0], OPC_PROP_CDT);
  for (DWORD i = 0; i < count; ++i)
    CoTaskMemFree(descriptions[i]);
  CoTaskMemFree(ids);
  CoTaskMemFree(descriptions);
  CoTaskMemFree(types);

  // The group's item enumerator.
  com::ComPtr<IEnumOPCItemAttributes> attributes;
  ASSERT_EQ(s.items->CreateEnumerator(IID_IEnumOPCItemAttributes,
                                      reinterpret_cast<IUnknown**>(attributes.GetAddressOf())),
            S_OK);
  OPCITEMATTRIBUTES* listed = nullptr;
  ULONG fetched = 0;
  EXPECT_EQ(attributes->Next(10, &listed, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_STREQ(listed[0].szItemID, kItem);
  EXPECT_EQ(listed[0].hClient, 42u);
  for (ULONG i = 0; i < fetched; ++i) {
    CoTaskMemFree(listed[i].szAccessPath);
    CoTaskMemFree(listed[i].szItemID);
    CoTaskMemFree(listed[i].pBlob);
    VariantClear(&listed[i].vEUInfo);
  }
  CoTaskMemFree(listed);

  com::ComPtr<IOPCBrowseServerAddressSpace> browse;
  ASSERT_EQ(s.server.As(&browse), S_OK);
  ASSERT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, "Memory"), S_OK);
  com::ComPtr<IEnumString> names;
  ASSERT_EQ(browse->BrowseOPCItemIDs(OPC_LEAF, "", VT_EMPTY, 0, names.ReleaseAndGetAddressOf()),
            S_OK);
  bool found = false;
  for (LPOLESTR name = nullptr; names->Next(1, &name, nullptr) == S_OK; name = nullptr) {
    found = found || std::string(name) == "Available Bytes";
    CoTaskMemFree(name);
  }
  EXPECT_TRUE(found);
}

// Run as a separate process by the next test: streams until it is killed.
TEST(E2eChild, StreamUntilKilled) {
  const char* machine = std::getenv("ZYN_E2E_CHILD");
  if (!machine) GTEST_SKIP() << "run by KilledClientIsCleanedUp";
  ApartmentThread apartment;
  SetDefaultApartment(&apartment.apartment());
  Subscription s;
  s.Start(machine, 100);
  ASSERT_FALSE(HasFailure());
  ASSERT_TRUE(s.sink->WaitForCallbacks(2, std::chrono::seconds(5)));
  std::printf("STREAMING\n");
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(60));
}

TEST_F(E2eTest, KilledClientIsCleanedUp) {
  ASSERT_TRUE(Eventually([] { return ServerStatus().objects == 0; }));
  const Status before = ServerStatus();
  for (std::string machine : {std::string(kMyComputer), TcpMachine()}) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    Child client(self, {"--gtest_filter=E2eChild.StreamUntilKilled"}, {"ZYN_E2E_CHILD=" + machine});
    std::string line;
    do {
      line = client.ReadLine();
    } while (!line.empty() && line != "STREAMING");
    ASSERT_EQ(line, "STREAMING") << machine;
    Status during = ServerStatus();
    EXPECT_EQ(during.objects, before.objects + 1);
    EXPECT_GT(during.threads, before.threads);  // the group's update thread
    client.Kill();
    EXPECT_TRUE(Eventually([&] {
      Status after = ServerStatus();
      return after.objects == before.objects && after.threads <= before.threads &&
             after.connections == before.connections;
    })) << machine;
  }
}

}  // namespace
}  // namespace zyn::remote
