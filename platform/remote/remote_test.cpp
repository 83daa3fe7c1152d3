// The transport end to end inside one process: an endpoint on a Unix socket and on TCP
// (127.0.0.1), and clients activating a small fake class through it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "interfaces/messenger.h"
#include "interfaces/opc_common.h"
#include "interfaces/opc_da.h"
#include "platform/com/connpoint.h"
#include "platform/com/object.h"
#include "platform/remote/activation.h"
#include "platform/remote/credentials.h"
#include "platform/remote/endpoint.h"
#include "platform/remote/errors.h"
#include "platform/remote/io_thread.h"
#include "platform/remote/paths.h"
#include "platform/remote/registration.h"

namespace zyn::remote {
namespace {

constexpr CLSID kFakeClsid = com::Guid("0B0E9F53-4B8F-4C55-9F56-5C51C4E9D001");
constexpr CLSID kFakeMessengerClsid = com::Guid("0B0E9F53-4B8F-4C55-9F56-5C51C4E9D003");

// Everything the transport writes goes below one temporary folder.
std::string TestRoot() {
  static std::string root = [] {
    char pattern[] = "/tmp/zyn-remote-test-XXXXXX";
    std::string dir = mkdtemp(pattern);
    setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
    setenv("ZYNWATCH_SYSTEM_CLASSES", (dir + "/system-classes").c_str(), 1);
    return dir;
  }();
  return root;
}

// A server object with IOPCCommon and an IOPCShutdown connection point.
class FakeServer final : public com::ComObject<IOPCCommon, IConnectionPointContainer> {
 public:
  static inline std::atomic<int> live{0};
  static inline std::atomic<FakeServer*> last{nullptr};
  static inline std::mutex mutex;
  static inline std::thread::id releasedOn;

  FakeServer() {
    ++live;
    last = this;
  }

  HRESULT SetLocaleID(LCID lcid) override {
    lcid_ = lcid;
    return S_OK;
  }
  HRESULT GetLocaleID(LCID* pdwLcid) override {
    if (pdwLcid == nullptr) return E_INVALIDARG;  // tells a forwarded null apart from E_POINTER
    *pdwLcid = lcid_;
    return S_OK;
  }
  HRESULT QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override {
    if (!pdwCount || !pdwLcid) return E_INVALIDARG;
    auto array = com::TaskAllocArray<LCID>(2);
    array[0] = 0x409;
    array[1] = 0x407;
    *pdwCount = 2;
    *pdwLcid = array.release();
    return S_OK;
  }
  HRESULT GetErrorString(HRESULT dwError, LPWSTR* ppString) override {
    if (!ppString) return E_INVALIDARG;
    *ppString = com::TaskStrDup("error " + std::to_string(dwError));
    return S_OK;
  }
  HRESULT SetClientName(LPCWSTR szName) override {
    std::lock_guard lock(mutex);
    name_ = szName ? szName : "(null)";
    return S_OK;
  }
  std::string Name() {
    std::lock_guard lock(mutex);
    return name_;
  }

  HRESULT EnumConnectionPoints(IEnumConnectionPoints** pp) override {
    return com::EnumConnectionPoints({&shutdown_}, pp);
  }
  HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** pp) override {
    return com::FindConnectionPoint({&shutdown_}, riid, pp);
  }
  void Shutdown(const char* reason) {
    for (auto& sink : shutdown_.SinksAs<IOPCShutdown>())
      sink->ShutdownRequest(reason);
  }
  std::size_t SinkCount() const { return shutdown_.ConnectionCount(); }

 protected:
  void OnFinalRelease() override {
    std::lock_guard lock(mutex);
    releasedOn = std::this_thread::get_id();
    last = nullptr;
    --live;
  }

 private:
  LCID lcid_ = 0x409;
  std::string name_;
  com::ConnectionPoint shutdown_{this, IID_IOPCShutdown};
};

// A client's shutdown sink that records where and what it was told.
class Sink final : public com::ComObject<IOPCShutdown> {
 public:
  HRESULT ShutdownRequest(LPCWSTR reason) override {
    std::lock_guard lock(mutex_);
    reason_ = reason ? reason : "";
    thread_ = std::this_thread::get_id();
    cv_.notify_all();
    return S_OK;
  }
  bool WaitFor(std::string* reason, std::thread::id* thread) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::seconds(5), [&] { return thread_ != std::thread::id(); }))
      return false;
    *reason = reason_;
    *thread = thread_;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::string reason_;
  std::thread::id thread_;
};

// A messenger whose screen shot is a 2 x 2 picture at 32 bits, sized as asked.
class FakeMessenger final : public com::ComObject<IZYNMessenger> {
 public:
  HRESULT ShowMessage(LPCWSTR) override { return S_OK; }
  HRESULT ShowTipMessage(LPCWSTR szMessage, tagTipType tt) override {
    return szMessage == nullptr ? E_POINTER : (tt == ttWarnMessage ? S_FALSE : S_OK);
  }
  HRESULT GetScreenShot(BYTE** ppData, DWORD* pdwSize, tagZYNMBITMAPINFO** ppbiData,
                        const DWORD* pdwWidth, const DWORD* pdwHeight,
                        tagZYNWINDOWTYPE wtShow) override {
    if (!ppData || !pdwSize || !ppbiData) return E_POINTER;
    if (wtShow != WT_DESKTOP) return E_INVALIDARG;
    const DWORD width = pdwWidth ? *pdwWidth : 2, height = pdwHeight ? *pdwHeight : 2;
    auto info = com::TaskAllocArray<tagZYNMBITMAPINFO>(1);
    info[0].bmiHeader.biSize = 40;
    info[0].bmiHeader.biWidth = static_cast<LONG>(width);
    info[0].bmiHeader.biHeight = static_cast<LONG>(height);
    info[0].bmiHeader.biBitCount = 32;
    const auto bytes = static_cast<DWORD>(zyn::DibImageBytes(info[0].bmiHeader));
    auto data = com::TaskAllocArray<BYTE>(bytes);
    for (DWORD i = 0; i < bytes; ++i)
      data[i] = static_cast<BYTE>(i);
    *ppData = data.release();
    *pdwSize = bytes;
    *ppbiData = info.release();
    return S_OK;
  }
  HRESULT LockComputer() override { return E_ACCESSDENIED; }
  HRESULT Execute(LPCWSTR szName, LPCWSTR szParams) override {
    return szName && !szParams ? S_OK : E_INVALIDARG;
  }
  HRESULT GetSysInfo(VARIANT* pCaptionArray, VARIANT* pDescArray, VARIANT* pUsageArray) override {
    if (!pCaptionArray || !pDescArray || !pUsageArray) return E_POINTER;
    com::SafeArray captions(VT_BSTR, 2);
    LONG i = 1;
    BSTR memory = SysAllocString("Memory");
    SafeArrayPutElement(captions.get(), &i, memory);  // stores a copy
    SysFreeString(memory);
    com::SafeArray usage(VT_I4, 2);
    LONG value = -1;
    SafeArrayPutElement(usage.get(), &i, &value);
    *pCaptionArray = com::Variant(std::move(captions), VT_ARRAY).release();
    *pUsageArray = com::Variant(std::move(usage), VT_ARRAY).release();
    *pDescArray = com::Variant("none").release();
    return S_OK;
  }
};

template <class Pred>
bool Eventually(Pred pred) {
  for (int i = 0; i < 500; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}

class RemoteTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    TestRoot();
    serverApartment = std::make_unique<ApartmentThread>();
    clientApartment = std::make_unique<ApartmentThread>();
    SetDefaultApartment(&clientApartment->apartment());
    auto factory = com::MakeObject<com::ClassFactory<FakeServer>>();
    registry.RegisterClassObject(kFakeClsid, factory.Get());
    auto messengers = com::MakeObject<com::ClassFactory<FakeMessenger>>();
    registry.RegisterClassObject(kFakeMessengerClsid, messengers.Get());
    EndpointOptions options;
    options.tcpAddresses = {"127.0.0.1:0"};
    options.apartment = &serverApartment->apartment();
    options.registry = &registry;
    options.socketActivation = false;
    std::string error;
    endpoint = Endpoint::Start(options, &error);
    ASSERT_NE(endpoint, nullptr) << error;
  }
  static void TearDownTestSuite() {
    endpoint = nullptr;
    SetDefaultApartment(nullptr);
    clientApartment = nullptr;
    serverApartment = nullptr;
    std::error_code ignored;
    std::filesystem::remove_all(TestRoot(), ignored);
  }

  static std::string TcpMachine() {
    return "127.0.0.1:" + std::to_string(endpoint->TcpPorts().at(0));
  }
  // Gives the observer the endpoint's key (as its user would copy it).
  static void CopyKey(const std::string& machine, const std::string& key) {
    ASSERT_TRUE(MakeDirs(MachineDir(machine), 0700));
    ASSERT_TRUE(WriteFile(MachineDir(machine) + "/access.key", key + "\n", 0600));
  }
  static std::string EndpointKey() {
    std::string key;
    ReadFile(EndpointDir() + "/access.key", &key);
    while (!key.empty() && key.back() == '\n')
      key.pop_back();
    return key;
  }

  static inline std::unique_ptr<ApartmentThread> serverApartment;
  static inline std::unique_ptr<ApartmentThread> clientApartment;
  static inline com::ClassRegistry registry;
  static inline std::unique_ptr<Endpoint> endpoint;
};

TEST_F(RemoteTest, CallsQueryInterfaceAndReleaseOverTheUnixSocket) {
  com::ComPtr<IOPCCommon> common;
  std::string error;
  ASSERT_EQ(ActivateOnMachine(kMyComputer, kFakeClsid, IID_IOPCCommon,
                              common.ReleaseAndGetVoidAddressOf(), &error),
            S_OK)
      << error;
  ASSERT_TRUE(Eventually([] { return FakeServer::last.load() != nullptr; }));
  FakeServer* server = FakeServer::last;

  EXPECT_EQ(common->SetClientName("OBSERVER1"), S_OK);
  EXPECT_EQ(server->Name(), "OBSERVER1");
  EXPECT_EQ(common->SetClientName(nullptr), S_OK);  // a null string arrives as null
  EXPECT_EQ(server->Name(), "(null)");

  LCID lcid = 0;
  EXPECT_EQ(common->SetLocaleID(0x407), S_OK);
  EXPECT_EQ(common->GetLocaleID(&lcid), S_OK);
  EXPECT_EQ(lcid, 0x407u);
  EXPECT_EQ(common->GetLocaleID(nullptr), E_INVALIDARG);  // the object saw the null

  DWORD count = 0;
  LCID* lcids = nullptr;
  ASSERT_EQ(common->QueryAvailableLocaleIDs(&count, &lcids), S_OK);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(lcids[1], 0x407u);
  CoTaskMemFree(lcids);  // task-allocated on this side, as in-process

  LPWSTR text = nullptr;
  ASSERT_EQ(common->GetErrorString(E_FAIL, &text), S_OK);
  EXPECT_STREQ(text, ("error " + std::to_string(E_FAIL)).c_str());
  CoTaskMemFree(text);

  // QueryInterface crosses the wire, and keeps the identity rules on this side.
  com::ComPtr<IConnectionPointContainer> container;
  EXPECT_EQ(common.As(&container), S_OK);
  com::ComPtr<IOPCServer> notOffered;
  EXPECT_EQ(common.As(&notOffered), E_NOINTERFACE);
  com::ComPtr<IUnknown> a, b;
  container.As(&a);
  common.As(&b);
  EXPECT_EQ(a.Get(), b.Get());

  // Releasing the last proxy releases the object, on its apartment.
  std::thread::id serverThread;
  serverApartment->apartment().Post([&] { serverThread = std::this_thread::get_id(); });
  a = nullptr;
  b = nullptr;
  container = nullptr;
  common = nullptr;
  ASSERT_TRUE(Eventually([] { return FakeServer::live.load() == 0; }));
  std::lock_guard lock(FakeServer::mutex);
  EXPECT_EQ(FakeServer::releasedOn, serverThread);
}

TEST_F(RemoteTest, SinksAreCalledOnTheClientsApartment) {
  com::ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(ActivateOnMachine(kMyComputer, kFakeClsid, IID_IConnectionPointContainer,
                              container.ReleaseAndGetVoidAddressOf()),
            S_OK);
  com::ComPtr<IConnectionPoint> point;
  ASSERT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, point.ReleaseAndGetAddressOf()), S_OK);
  IID iid{};
  EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
  EXPECT_EQ(iid, IID_IOPCShutdown);

  auto sink = com::MakeObject<Sink>();
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(static_cast<IOPCShutdown*>(sink.Get()), &cookie), S_OK);
  EXPECT_NE(cookie, 0u);
  FakeServer* server = FakeServer::last;
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(server->SinkCount(), 1u);

  // The enumerators of points and connections cross too; the connection's sink comes back
  // as this process's own object.
  com::ComPtr<IEnumConnectionPoints> points;
  ASSERT_EQ(container->EnumConnectionPoints(points.ReleaseAndGetAddressOf()), S_OK);
  IConnectionPoint* listedPoint = nullptr;
  ASSERT_EQ(points->Next(1, &listedPoint, nullptr), S_OK);
  IID listedIid{};
  EXPECT_EQ(listedPoint->GetConnectionInterface(&listedIid), S_OK);
  EXPECT_EQ(listedIid, IID_IOPCShutdown);
  listedPoint->Release();
  com::ComPtr<IEnumConnections> connections;
  ASSERT_EQ(point->EnumConnections(connections.ReleaseAndGetAddressOf()), S_OK);
  CONNECTDATA data[2] = {};
  ULONG fetched = 0;
  EXPECT_EQ(connections->Next(2, data, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(data[0].dwCookie, cookie);
  EXPECT_NE(data[0].pUnk, nullptr);
  com::ComPtr<IOPCShutdown> sinkBack;
  EXPECT_EQ(data[0].pUnk->QueryInterface(IID_IOPCShutdown, sinkBack.ReleaseAndGetVoidAddressOf()),
            S_OK);
  data[0].pUnk->Release();
  sinkBack = nullptr;
  connections = nullptr;
  points = nullptr;

  server->Shutdown("Server is shutting down");

  std::string reason;
  std::thread::id thread;
  ASSERT_TRUE(sink->WaitFor(&reason, &thread));
  EXPECT_EQ(reason, "Server is shutting down");
  std::thread::id clientThread;
  clientApartment->apartment().Post([&] { clientThread = std::this_thread::get_id(); });
  ASSERT_TRUE(Eventually([&] { return clientThread != std::thread::id(); }));
  EXPECT_EQ(thread, clientThread);

  EXPECT_EQ(point->Unadvise(cookie), S_OK);
  EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(server->SinkCount(), 0u);
  // The sink's proxy on the server side went with Unadvise: only our reference is left.
  EXPECT_TRUE(Eventually([&] { return sink->RefCount() == 1; })) << sink->RefCount();
  point = nullptr;
  container = nullptr;
  EXPECT_TRUE(Eventually([] { return FakeServer::live.load() == 0; }));
}

TEST_F(RemoteTest, TcpNeedsTheAccessKeyAndPinsTheCertificate) {
  const std::string machine = TcpMachine();
  com::ComPtr<IOPCCommon> common;
  std::string error;

  // No key kept for the machine: refused before any connection.
  EXPECT_EQ(ActivateOnMachine(machine, kFakeClsid, IID_IOPCCommon,
                              common.ReleaseAndGetVoidAddressOf(), &error),
            E_ACCESSDENIED);
  EXPECT_NE(error.find("no access key"), std::string::npos) << error;
  EXPECT_FALSE(common);

  // A wrong key: the endpoint refuses it and hands out nothing.
  ASSERT_TRUE(Eventually([] { return FakeServer::live.load() == 0; }));
  CopyKey(machine, NewAccessKey());
  EXPECT_EQ(ActivateOnMachine(machine, kFakeClsid, IID_IOPCCommon,
                              common.ReleaseAndGetVoidAddressOf(), &error),
            E_ACCESSDENIED);
  EXPECT_NE(error.find("refused the access key"), std::string::npos) << error;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(FakeServer::live, 0);

  // The right key: the certificate is pinned on this first contact and calls work.
  CopyKey(machine, EndpointKey());
  ASSERT_EQ(ActivateOnMachine(machine, kFakeClsid, IID_IOPCCommon,
                              common.ReleaseAndGetVoidAddressOf(), &error),
            S_OK)
      << error;
  EXPECT_EQ(common->SetClientName("over TLS"), S_OK);
  std::string pin;
  ASSERT_TRUE(ReadFile(MachineDir(machine) + "/cert.pem", &pin));
  common = nullptr;

  // Another certificate pinned for the machine (it "changed"): refused, naming the machine.
  std::string otherCert, otherKey;
  ASSERT_TRUE(MakeSelfSignedCertificate(&otherCert, &otherKey, &error));
  ASSERT_TRUE(WriteFile(MachineDir(machine) + "/cert.pem", otherCert, 0644));
  EXPECT_EQ(ActivateOnMachine(machine, kFakeClsid, IID_IOPCCommon,
                              common.ReleaseAndGetVoidAddressOf(), &error),
            E_ACCESSDENIED);
  EXPECT_NE(error.find("certificate of machine \"" + machine + "\" has changed"), std::string::npos)
      << error;
  EXPECT_FALSE(common);
  ASSERT_TRUE(WriteFile(MachineDir(machine) + "/cert.pem", pin, 0644));
}

TEST_F(RemoteTest, ActivationAgainstASilentAddressEndsAtTheTimeLimit) {
  // A listener that never accepts: TCP connects, but nobody ever answers the handshake.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(fd, 8), 0);
  socklen_t len = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len);
  const std::string machine = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  CopyKey(machine, NewAccessKey());

  com::ComPtr<IOPCCommon> common;
  std::string error;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(
      ActivateWithTimeLimit(machine, kFakeClsid, IID_IOPCCommon, 1000, CO_E_SERVER_START_TIMEOUT,
                            common.ReleaseAndGetVoidAddressOf(), &error),
      CO_E_SERVER_START_TIMEOUT);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(1000));
  EXPECT_LT(took, std::chrono::milliseconds(3000));
  EXPECT_FALSE(common);
  EXPECT_EQ(MakeHResult(0x8000401E), CO_E_SERVER_START_TIMEOUT);
  close(fd);
}

TEST_F(RemoteTest, ServerListReadsTheRegistrationFiles) {
  ClassFile server;
  server.registration.clsid = kFakeClsid;
  server.registration.progId = "Fake.Server.1";
  server.registration.description = "Fake Server";
  server.registration.implementedCategories = {CATID_OPCDAServer20};
  server.program = "/nonexistent/fake-server";
  ClassFile other;
  other.registration.clsid = com::Guid("0B0E9F53-4B8F-4C55-9F56-5C51C4E9D002");
  other.registration.progId = "Other.Server.1";
  other.registration.implementedCategories = {CATID_OPCDAServer10};
  std::string error;
  ASSERT_TRUE(WriteClassFile(SystemClassDir(), server, &error)) << error;
  ASSERT_TRUE(WriteClassFile(UserClassDir(), other, &error)) << error;

  com::ComPtr<IOPCServerList> list;
  ASSERT_EQ(ActivateOnMachine(kMyComputer, CLSID_OPCServerList, IID_IOPCServerList,
                              list.ReleaseAndGetVoidAddressOf(), &error),
            S_OK)
      << error;
  CATID category = CATID_OPCDAServer20;
  com::ComPtr<IEnumGUID> classes;
  ASSERT_EQ(
      list->EnumClassesOfCategories(1, &category, 0, nullptr, classes.ReleaseAndGetAddressOf()),
      S_OK);
  GUID found[4];
  ULONG fetched = 0;
  EXPECT_EQ(classes->Next(4, found, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(found[0], kFakeClsid);

  LPOLESTR prog = nullptr, type = nullptr;
  ASSERT_EQ(list->GetClassDetails(kFakeClsid, &prog, &type), S_OK);
  EXPECT_STREQ(prog, "Fake.Server.1");
  EXPECT_STREQ(type, "Fake Server");
  CoTaskMemFree(prog);
  CoTaskMemFree(type);
  EXPECT_EQ(list->GetClassDetails(kFakeClsid, nullptr, &type), E_POINTER);  // forwarded null
  CLSID clsid{};
  EXPECT_EQ(list->CLSIDFromProgID("other.server.1", &clsid), S_OK);
  EXPECT_EQ(clsid, other.registration.clsid);
  RemoveClassFile(SystemClassDir(), server.registration.clsid);
  RemoveClassFile(UserClassDir(), other.registration.clsid);
}

TEST_F(RemoteTest, TheMessengerCarriesScreenShotsAndArrays) {
  CopyKey(TcpMachine(), EndpointKey());
  com::ComPtr<IZYNMessenger> messenger;
  ASSERT_EQ(ActivateOnMachine(TcpMachine(), kFakeMessengerClsid, IID_IZYNMessenger,
                              messenger.ReleaseAndGetVoidAddressOf()),
            S_OK);
  BYTE* data = nullptr;
  DWORD size = 0;
  tagZYNMBITMAPINFO* info = nullptr;
  const DWORD width = 3;
  ASSERT_EQ(messenger->GetScreenShot(&data, &size, &info, &width, nullptr, WT_DESKTOP), S_OK);
  EXPECT_EQ(size, 3u * 4 * 2);  // the height stayed the object's own: the null arrived
  EXPECT_EQ(info->bmiHeader.biWidth, 3);
  EXPECT_EQ(info->bmiHeader.biBitCount, 32);
  EXPECT_EQ(data[size - 1], static_cast<BYTE>(size - 1));
  CoTaskMemFree(data);
  CoTaskMemFree(info);
  EXPECT_EQ(messenger->GetScreenShot(&data, &size, nullptr, nullptr, nullptr, WT_DESKTOP),
            E_POINTER);
  EXPECT_EQ(data, nullptr);

  EXPECT_EQ(messenger->ShowTipMessage("hello", ttWarnMessage), S_FALSE);
  EXPECT_EQ(messenger->ShowTipMessage(nullptr, ttStatus), E_POINTER);
  EXPECT_EQ(messenger->Execute("xterm", nullptr), S_OK);
  EXPECT_EQ(messenger->LockComputer(), E_ACCESSDENIED);

  com::Variant captions, descriptions, usage;
  ASSERT_EQ(messenger->GetSysInfo(captions.get(), descriptions.get(), usage.get()), S_OK);
  ASSERT_EQ(captions.vt(), VT_ARRAY);
  VARTYPE element = VT_EMPTY;
  SafeArrayGetVartype(captions.get()->parray, &element);
  EXPECT_EQ(element, VT_BSTR);
  LONG index = 1;
  BSTR text = nullptr;
  ASSERT_EQ(SafeArrayGetElement(captions.get()->parray, &index, &text), S_OK);
  EXPECT_STREQ(text, "Memory");
  SysFreeString(text);
  LONG value = 0;
  ASSERT_EQ(SafeArrayGetElement(usage.get()->parray, &index, &value), S_OK);
  EXPECT_EQ(value, -1);
  EXPECT_STREQ(descriptions.get()->bstrVal, "none");
}

TEST_F(RemoteTest, AMalformedOrHugeMessageEndsOnlyThatConnection) {
  com::ComPtr<IOPCCommon> common;
  ASSERT_EQ(ActivateOnMachine(kMyComputer, kFakeClsid, IID_IOPCCommon,
                              common.ReleaseAndGetVoidAddressOf()),
            S_OK);
  auto rogue = [&](std::string payload) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, endpoint->UnixPath().c_str());
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::string hello = std::string("ZYN1") + '\0' + payload;
    EXPECT_EQ(write(fd, hello.data(), hello.size()), static_cast<ssize_t>(hello.size()));
    char answer = 1;
    EXPECT_EQ(read(fd, &answer, 1), 1);
    EXPECT_EQ(answer, 0);
    // The endpoint closes the connection: read sees the end.
    char rest[64];
    ssize_t n;
    while ((n = read(fd, rest, sizeof rest)) > 0) {
    }
    EXPECT_EQ(n, 0);
    close(fd);
  };
  // A segment table that declares one segment of 2^31 words: far beyond the limit.
  rogue(std::string("\0\0\0\0\xff\xff\xff\x7f", 8));
  // A valid frame whose content is no RPC message.
  rogue(std::string("\0\0\0\0\x02\0\0\0", 8) + std::string(16, '\x5a'));
  const auto count = endpoint->ConnectionCount();
  EXPECT_GE(count, 1u);
  EXPECT_EQ(common->SetClientName("still here"), S_OK);
}

// Posting never waits for the loop: a loop kept busy does not hold the poster up, what one
// thread posts runs in order, and a Run after a Post finds the posted work done.
TEST(IoThreadTest, PostsDoNotWaitAndRunInOrderBeforeALaterRun) {
  IoThread& io = IoThread::Get();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> busy{false};
  ASSERT_TRUE(io.Post([&busy, released] {
    busy = true;
    released.wait();
  }));
  ASSERT_TRUE(Eventually([&] { return busy.load(); }));
  std::vector<int> order;  // touched on the loop thread only
  for (int i = 0; i < 100; ++i)
    ASSERT_TRUE(io.Post([&order, i] { order.push_back(i); }));
  release.set_value();
  EXPECT_EQ(io.Run([&] { return order.size(); }), 100u);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

}  // namespace
}  // namespace zyn::remote
