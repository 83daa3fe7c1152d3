// The zynserver program in a scratch home: registration, start on demand, idle exit, stop
// signals and the tray. Every file goes below a temporary folder (XDG_CONFIG_HOME,
// XDG_RUNTIME_DIR, HOME, and the system folders' overrides, set in this process and inherited
// by the programs it starts); no test depends on a real systemd or a real desktop.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/messenger.h"
#include "interfaces/opc_common.h"
#include "interfaces/opc_da.h"
#include "interfaces/zyn_ids.h"
#include "platform/com/connpoint.h"
#include "platform/com/object.h"
#include "platform/remote/activation.h"
#include "platform/remote/apartment.h"
#include "platform/remote/connections.h"
#include "platform/remote/paths.h"
#include "platform/remote/registration.h"
#include "platform/tray/testing/fake_desktop_bus.h"
#include "tests/support/session_env.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string gRoot;  // the scratch folder of this test process

// A zynserver process: its standard output read line by line, its standard error in a file.
class ServerProcess {
 public:
  explicit ServerProcess(std::vector<std::string> args, std::string path = ZYN_SERVER_PROGRAM) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    errPath_ = gRoot + "/stderr-" + std::to_string(++count_);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT, 0644);
    std::vector<char*> argv{path.data()};
    for (std::string& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    out_ = out[0];
  }
  ~ServerProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait(5s);
    }
    if (out_ >= 0) close(out_);
  }

  // The next line of standard output; nullopt at its end or after `limit`.
  std::optional<std::string> ReadLine(std::chrono::milliseconds limit = 10s) {
    const auto end = Clock::now() + limit;
    for (;;) {
      const std::size_t newline = buffer_.find('\n');
      if (newline != std::string::npos) {
        std::string line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[512];
      const ssize_t n = read(out_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }
  // The exit status once the program ended within `limit`.
  std::optional<int> Wait(std::chrono::milliseconds limit) {
    if (exited_) return status_;
    for (auto end = Clock::now() + limit;;) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
      }
      if (Clock::now() > end) return std::nullopt;
      std::this_thread::sleep_for(10ms);
    }
  }
  bool Running() { return !Wait(0ms).has_value(); }
  pid_t pid() const { return pid_; }
  void Signal(int sig) { kill(pid_, sig); }
  std::string Errors() const {
    std::string text;
    zyn::remote::ReadFile(errPath_, &text);
    return text;
  }

 private:
  static inline int count_ = 0;
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  std::string errPath_;
  bool exited_ = false;
  int status_ = -1;
};

// Runs the program to its end: exit status, standard output, standard error.
struct Outcome {
  int status = -1;
  std::string out, err;
};
Outcome RunToEnd(std::vector<std::string> args) {
  ServerProcess process(std::move(args));
  Outcome outcome;
  while (auto line = process.ReadLine(20s))
    outcome.out += *line + "\n";
  outcome.status = process.Wait(20s).value_or(-1);
  outcome.err = process.Errors();
  return outcome;
}

// Records the shutdown requests a client receives.
class ShutdownSink final : public com::ComObject<IOPCShutdown> {
 public:
  HRESULT ShutdownRequest(LPCWSTR szReason) override {
    std::lock_guard lock(mutex_);
    reasons_.push_back(szReason ? szReason : "");
    cv_.notify_all();
    return S_OK;
  }
  std::optional<std::string> WaitForRequest(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, limit, [&] { return !reasons_.empty(); })) return std::nullopt;
    return reasons_.front();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> reasons_;
};

HRESULT Activate(const std::string& machine, com::ComPtr<IOPCServer>* server, std::string* error) {
  return zyn::remote::ActivateWithTimeLimit(machine, CLSID_ZYNServer, IID_IOPCServer, 25000, E_FAIL,
                                            server->ReleaseAndGetVoidAddressOf(), error);
}

// The process ids of this process's children running the server program (zombies left out).
std::set<pid_t> ServerChildren() {
  std::set<pid_t> pids;
  DIR* dir = opendir("/proc");
  if (!dir) return pids;
  while (dirent* entry = readdir(dir)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    std::string stat;
    if (!zyn::remote::ReadFile("/proc/" + std::to_string(pid) + "/stat", &stat)) continue;
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || stat.find("(zynserver)") == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2) continue;
    if (ppid == getpid() && state != 'Z') pids.insert(pid);
  }
  closedir(dir);
  return pids;
}

class ZynserverTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/zynserver-test-XXXXXX";
    gRoot = mkdtemp(pattern);
    setenv("HOME", (gRoot + "/home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (gRoot + "/config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (gRoot + "/run").c_str(), 1);
    setenv("ZYNWATCH_SYSTEM_CLASSES", (gRoot + "/system-classes").c_str(), 1);
    setenv("ZYNWATCH_SYSTEM_UNITS", (gRoot + "/system-units").c_str(), 1);
    // The programs started here never reach the desktop of whoever runs the tests.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    fs::create_directories(gRoot + "/home");
    // A configuration of our own for the programs started with --config: keys in the scratch
    // folder, and no TCP unless asked for.
    config = gRoot + "/zynserver.conf";
    zyn::remote::WriteFile(config, "listen =\ncredentials = " + gRoot + "/keys\n", 0644);
    clientApartment = new zyn::remote::ApartmentThread();
    zyn::remote::SetDefaultApartment(&clientApartment->apartment());
  }
  static void TearDownTestSuite() {
    zyn::remote::CloseAllConnections();
    zyn::remote::SetDefaultApartment(nullptr);
    delete clientApartment;
    fs::remove_all(gRoot);
  }
  void TearDown() override { zyn::remote::CloseAllConnections(); }

  static inline std::string config;
  static inline zyn::remote::ApartmentThread* clientApartment = nullptr;
};

TEST_F(ZynserverTest, RegServerThenUnregServerLeavesOnlyTheKeys) {
  const std::string before = gRoot + "/config";
  Outcome reg = RunToEnd({"/RegServer", "--config", config});
  ASSERT_EQ(reg.status, 0) << reg.err;
  std::string key;
  ASSERT_TRUE(zyn::remote::ReadFile(gRoot + "/keys/access.key", &key));
  key.resize(64);
  EXPECT_NE(reg.out.find(key), std::string::npos) << reg.out;
  EXPECT_NE(reg.out.find("--key " + key), std::string::npos) << reg.out;

  // The class is found by its ProgID, and names this program.
  auto classes = zyn::remote::ReadClassFiles();
  ASSERT_EQ(classes.size(), 1u);
  EXPECT_EQ(classes[0].registration.progId, "ZYNServer.OPCServer.1");
  EXPECT_EQ(fs::canonical(classes[0].program), fs::canonical(ZYN_SERVER_PROGRAM));

  Outcome unreg = RunToEnd({"-unregserver", "--config", config});
  ASSERT_EQ(unreg.status, 0) << unreg.err;
  EXPECT_TRUE(zyn::remote::ReadClassFiles().empty());
  std::set<std::string> left;
  for (const auto& entry : fs::recursive_directory_iterator(gRoot))
    if (entry.is_regular_file() && entry.path().filename().string().rfind("stderr-", 0) != 0)
      left.insert(fs::relative(entry.path(), gRoot).string());
  EXPECT_EQ(left, (std::set<std::string>{"keys/access.key", "keys/cert.pem", "keys/key.pem",
                                         "zynserver.conf"}));
}

TEST_F(ZynserverTest, FailedRegistrationSaysSoAndWhy) {
  const std::string broken = gRoot + "/broken.conf";
  zyn::remote::WriteFile(broken, "[permissions]\nexecute = perhaps\n", 0644);
  Outcome reg = RunToEnd({"-REGSERVER", "--config", broken});
  EXPECT_EQ(reg.status, 1);
  EXPECT_NE(reg.err.find("Failed to register OPCDA2 Server"), std::string::npos) << reg.err;
  EXPECT_NE(reg.err.find("broken.conf:2:"), std::string::npos) << reg.err;
  EXPECT_TRUE(zyn::remote::ReadClassFiles().empty() || reg.err.find("Failed") != std::string::npos);
  // Serving with it fails as well, and names the line.
  Outcome serve = RunToEnd({"--config", broken});
  EXPECT_EQ(serve.status, 1);
  EXPECT_NE(serve.err.find("broken.conf:2:"), std::string::npos) << serve.err;
  fs::remove(broken);
  zyn::remote::RemoveClassFile(zyn::remote::SystemClassDir(), CLSID_ZYNServer);
  zyn::remote::RemoveClassFile(zyn::remote::UserClassDir(), CLSID_ZYNServer);
}

TEST_F(ZynserverTest, EndsAboutOneSecondAfterTheLastClientUnlessAnotherArrives) {
  ServerProcess server({"--config", config});
  auto line = server.ReadLine();
  ASSERT_TRUE(line) << server.Errors();
  EXPECT_EQ(*line, "listening on unix:" + zyn::remote::DefaultUnixSocketPath());

  com::ComPtr<IOPCServer> first;
  std::string error;
  ASSERT_EQ(Activate(zyn::remote::kMyComputer, &first, &error), S_OK) << error;
  first = nullptr;
  // A second client within the second keeps the program alive, also past the second.
  std::this_thread::sleep_for(300ms);
  com::ComPtr<IOPCServer> second;
  ASSERT_EQ(Activate(zyn::remote::kMyComputer, &second, &error), S_OK) << error;
  std::this_thread::sleep_for(1500ms);
  ASSERT_TRUE(server.Running()) << server.Errors();
  OPCSERVERSTATUS* status = nullptr;
  ASSERT_EQ(second->GetStatus(&status), S_OK);
  CoTaskMemFree(status->szVendorInfo);
  CoTaskMemFree(status);

  // The last client goes: the program ends about a second later, with status 0.
  const auto released = Clock::now();
  second = nullptr;
  auto exitStatus = server.Wait(4s);
  ASSERT_TRUE(exitStatus) << "still running 4 s after the last client left";
  EXPECT_EQ(*exitStatus, 0) << server.Errors();
  const auto took = Clock::now() - released;
  EXPECT_GE(took, 900ms);
  EXPECT_LT(took, 2500ms);
  EXPECT_FALSE(fs::exists(zyn::remote::DefaultUnixSocketPath()));
}

TEST_F(ZynserverTest, OnDemandStartByTwoRacingClientsMakesOneServer) {
  zyn::remote::ClassFile file;
  file.registration.clsid = CLSID_ZYNServer;
  file.registration.progId = "ZYNServer.OPCServer.1";
  file.program = ZYN_SERVER_PROGRAM;
  std::string error;
  ASSERT_TRUE(zyn::remote::WriteClassFile(zyn::remote::UserClassDir(), file, &error)) << error;
  // The programs the clients start read the default configuration file: keys in the scratch
  // home, the Unix socket only.
  const std::string defaultConfig = gRoot + "/config/zynwatch/zynserver.conf";
  if (geteuid() != 0) {
    zyn::remote::MakeDirs(gRoot + "/config/zynwatch", 0755);
    zyn::remote::WriteFile(defaultConfig, "listen =\n", 0644);
  }
  ASSERT_TRUE(ServerChildren().empty());

  com::ComPtr<IOPCServer> servers[2];
  HRESULT results[2] = {E_FAIL, E_FAIL};
  std::string errors[2];
  {
    std::vector<std::thread> clients;
    for (int i = 0; i < 2; ++i)
      clients.emplace_back(
          [&, i] { results[i] = Activate(zyn::remote::kMyComputer, &servers[i], &errors[i]); });
    for (std::thread& t : clients)
      t.join();
  }
  EXPECT_EQ(results[0], S_OK) << errors[0];
  EXPECT_EQ(results[1], S_OK) << errors[1];
  // Whichever program lost the race has ended; one serves both clients.
  std::set<pid_t> running;
  for (auto end = Clock::now() + 5s; Clock::now() < end;) {
    running = ServerChildren();
    if (running.size() == 1) break;
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(running.size(), 1u);

  servers[0] = nullptr;
  servers[1] = nullptr;
  // The winner ends after its clients; reap every program this test started.
  for (auto end = Clock::now() + 5s; Clock::now() < end && !ServerChildren().empty();)
    std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(ServerChildren().empty());
  int status;
  while (waitpid(-1, &status, WNOHANG) > 0) {
  }
  zyn::remote::RemoveClassFile(zyn::remote::UserClassDir(), CLSID_ZYNServer);
  fs::remove(defaultConfig);
}

TEST_F(ZynserverTest, StopSignalTellsEveryClientBeforeTheConnectionsClose) {
  ServerProcess server({"--listen", "127.0.0.1:0", "--config", config});
  auto unixLine = server.ReadLine();
  auto tcpLine = server.ReadLine();
  ASSERT_TRUE(unixLine && tcpLine) << server.Errors();
  EXPECT_EQ(*unixLine, "listening on unix:" + zyn::remote::DefaultUnixSocketPath());
  const std::string prefix = "listening on tcp:127.0.0.1:";
  ASSERT_EQ(tcpLine->rfind(prefix, 0), 0u) << *tcpLine;
  const unsigned port = static_cast<unsigned>(std::stoul(tcpLine->substr(prefix.size())));
  EXPECT_NE(port, 0u);

  // One client over the Unix socket, one over TCP with the key copied from the server.
  const std::string tcpMachine = "127.0.0.1:" + std::to_string(port);
  std::string key;
  ASSERT_TRUE(zyn::remote::ReadFile(gRoot + "/keys/access.key", &key));
  ASSERT_TRUE(zyn::remote::MakeDirs(zyn::remote::MachineDir(tcpMachine), 0700));
  ASSERT_TRUE(
      zyn::remote::WriteFile(zyn::remote::MachineDir(tcpMachine) + "/access.key", key, 0600));

  struct Client {
    com::ComPtr<IOPCServer> server;
    com::ComPtr<IConnectionPoint> point;
    com::ComPtr<ShutdownSink> sink = com::MakeObject<ShutdownSink>();
    DWORD cookie = 0;
  } clients[2];
  const std::string machines[2] = {zyn::remote::kMyComputer, tcpMachine};
  for (int i = 0; i < 2; ++i) {
    std::string error;
    ASSERT_EQ(Activate(machines[i], &clients[i].server, &error), S_OK) << error;
    com::ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(clients[i].server.As(&container), S_OK);
    ASSERT_EQ(
        container->FindConnectionPoint(IID_IOPCShutdown, clients[i].point.ReleaseAndGetAddressOf()),
        S_OK);
    ASSERT_EQ(clients[i].point->Advise(static_cast<IOPCShutdown*>(clients[i].sink.Get()),
                                       &clients[i].cookie),
              S_OK);
  }
  // Started with --listen, it stays up without a client's object too... and with them.
  std::this_thread::sleep_for(1500ms);
  ASSERT_TRUE(server.Running());

  server.Signal(SIGTERM);
  for (Client& c : clients) {
    auto reason = c.sink->WaitForRequest(5s);
    ASSERT_TRUE(reason) << server.Errors();
    EXPECT_EQ(*reason, "Server is shutting down");
  }
  auto status = server.Wait(5s);
  ASSERT_TRUE(status) << "still running after SIGTERM";
  EXPECT_EQ(*status, 0) << server.Errors();
  for (Client& c : clients) {
    c.point = nullptr;
    c.server = nullptr;
  }
}

TEST_F(ZynserverTest, AProgramNobodyReachesEndsAfterTheStartGrace) {
  ServerProcess server({"--config", config});
  ASSERT_TRUE(server.ReadLine()) << server.Errors();
  EXPECT_FALSE(server.Wait(8s)) << "ended before its start-up grace";
  auto status = server.Wait(5s);
  ASSERT_TRUE(status) << "still running 13 s after its start with no client";
  EXPECT_EQ(*status, 0);
}

// The files a running process maps whose path contains `part`.
std::set<std::string> MappedFiles(pid_t pid, const std::string& part) {
  std::string maps;
  zyn::remote::ReadFile("/proc/" + std::to_string(pid) + "/maps", &maps);
  std::set<std::string> found;
  std::istringstream lines(maps);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t slash = line.find('/');
    if (slash != std::string::npos && line.find(part, slash) != std::string::npos)
      found.insert(line.substr(slash));
  }
  return found;
}

// Most observed machines have no display: there the program must not carry the GUI toolkit's
// memory, not even after a client has used the server.
TEST_F(ZynserverTest, WithoutADisplayNoGuiLibraryIsLoaded) {
  ServerProcess server({"--listen", "127.0.0.1:0", "--config", config});
  ASSERT_TRUE(server.ReadLine()) << server.Errors();
  com::ComPtr<IOPCServer> client;
  std::string error;
  ASSERT_EQ(Activate(zyn::remote::kMyComputer, &client, &error), S_OK) << error;
  com::ComPtr<IZYNMessenger> messenger;
  ASSERT_EQ(client.As(&messenger), S_OK);
  // No tray without a desktop: the tip is refused, and nothing is loaded to try.
  EXPECT_EQ(messenger->ShowTipMessage("hello", ttInfoMessage), E_NOTIMPL);

  // Sanity check of the reading itself: the program's own file is mapped.
  EXPECT_FALSE(MappedFiles(server.pid(), "zynserver").empty());
  EXPECT_EQ(MappedFiles(server.pid(), "libQt6"), std::set<std::string>{});
  EXPECT_EQ(MappedFiles(server.pid(), "zynserver-desktop"), std::set<std::string>{});
  messenger = nullptr;
  client = nullptr;
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(10s).value_or(-1), 0) << server.Errors();
}

// A display, but the desktop module is missing (a partial installation): the program says so
// once and serves as without a display, instead of failing.
TEST_F(ZynserverTest, WithoutItsDesktopModuleItWarnsAndServesAnyway) {
  if (!zyn::testing::XvfbDisplay::Available()) GTEST_SKIP() << "Xvfb is not installed";
  if (fs::exists(ZYN_DESKTOP_MODULE_INSTALLED))
    GTEST_SKIP() << "an installed desktop module would be found: " << ZYN_DESKTOP_MODULE_INSTALLED;
  zyn::testing::XvfbDisplay display;
  ASSERT_TRUE(display.ok()) << display.error();
  const std::string bare = gRoot + "/bare";
  fs::create_directories(bare);
  fs::copy_file(ZYN_SERVER_PROGRAM, bare + "/zynserver");

  ServerProcess server({"--listen", "127.0.0.1:0", "--config", config}, bare + "/zynserver");
  ASSERT_TRUE(server.ReadLine()) << server.Errors();
  const std::string errors = server.Errors();
  EXPECT_NE(
      errors.find("warning: desktop features unavailable: " + bare + "/zynserver-desktop.so: "),
      std::string::npos)
      << errors;
  EXPECT_EQ(MappedFiles(server.pid(), "libQt6"), std::set<std::string>{});

  com::ComPtr<IOPCServer> client;
  std::string error;
  ASSERT_EQ(Activate(zyn::remote::kMyComputer, &client, &error), S_OK) << error;
  OPCSERVERSTATUS* status = nullptr;
  ASSERT_EQ(client->GetStatus(&status), S_OK);
  CoTaskMemFree(status->szVendorInfo);
  CoTaskMemFree(status);
  client = nullptr;
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(10s).value_or(-1), 0) << server.Errors();
  fs::remove_all(bare);
}

TEST_F(ZynserverTest, TrayIconAndBalloonsInADesktopSession) {
  if (!zyn::testing::XvfbDisplay::Available()) GTEST_SKIP() << "Xvfb is not installed";
  if (!zyn::testing::PrivateSessionBus::Available()) GTEST_SKIP() << "dbus-daemon is missing";
  zyn::testing::XvfbDisplay display;
  ASSERT_TRUE(display.ok()) << display.error();
  zyn::testing::PrivateSessionBus bus;
  ASSERT_TRUE(bus.ok()) << bus.error();
  static int argc = 1;
  static char name[] = "zynserver_test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  (void)app;
  zyn::testing::FakeDesktopBus desktop({.trayHost = true, .notifications = true});
  ASSERT_TRUE(desktop.ok());

  ServerProcess server({"--listen", "127.0.0.1:0", "--config", config});
  ASSERT_TRUE(server.ReadLine()) << server.Errors();
  ASSERT_TRUE(desktop.WaitForTrayItems(1, 10s)) << server.Errors();
  const std::string item = desktop.TrayItems()[0];
  EXPECT_TRUE(desktop.NameHasOwner(item));
  ASSERT_TRUE(desktop.WaitForNotifications(1, 10s));
  EXPECT_EQ(desktop.Notifications()[0].summary, "ZYN Server");
  EXPECT_EQ(desktop.Notifications()[0].body, "ZYN Server Running");

  // A client that names itself is listed in the balloon (and the tooltip).
  com::ComPtr<IOPCServer> client;
  std::string error;
  ASSERT_EQ(Activate(zyn::remote::kMyComputer, &client, &error), S_OK) << error;
  com::ComPtr<IOPCCommon> common;
  ASSERT_EQ(client.As(&common), S_OK);
  ASSERT_EQ(common->SetClientName("OBSERVER1"), S_OK);
  bool named = false;
  for (auto end = Clock::now() + 10s; !named && Clock::now() < end;) {
    for (const auto& n : desktop.Notifications())
      named = named || n.body == "Connected Clients:\nOBSERVER1";
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(named);
  EXPECT_TRUE(desktop.NameHasOwner(item));

  // A client's tip becomes a balloon of its kind.
  com::ComPtr<IZYNMessenger> messenger;
  ASSERT_EQ(client.As(&messenger), S_OK);
  const std::size_t before = desktop.Notifications().size();
  ASSERT_EQ(messenger->ShowTipMessage("Backup starts at 22:00", ttWarnMessage), S_OK);
  ASSERT_TRUE(desktop.WaitForNotifications(before + 1, 10s));
  EXPECT_EQ(desktop.Notifications().back().body, "Backup starts at 22:00");
  EXPECT_EQ(desktop.Notifications().back().icon, "dialog-warning");
  messenger = nullptr;
  client = nullptr;
  common = nullptr;

  server.Signal(SIGTERM);
  auto status = server.Wait(10s);
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0) << server.Errors();
  EXPECT_FALSE(desktop.NameHasOwner(item));

  // The configuration's permissions reach the messenger.
  const std::string noTips = gRoot + "/no-tips.conf";
  zyn::remote::WriteFile(noTips, "listen =\n[permissions]\ntip = no\n", 0644);
  ServerProcess restricted({"--listen", "127.0.0.1:0", "--config", noTips});
  ASSERT_TRUE(restricted.ReadLine()) << restricted.Errors();
  zyn::remote::CloseAllConnections();
  ASSERT_EQ(Activate(zyn::remote::kMyComputer, &client, &error), S_OK) << error;
  ASSERT_EQ(client.As(&messenger), S_OK);
  EXPECT_EQ(messenger->ShowTipMessage("refused", ttInfoMessage), E_ACCESSDENIED);
  messenger = nullptr;
  client = nullptr;
  restricted.Signal(SIGTERM);
  EXPECT_EQ(restricted.Wait(10s).value_or(-1), 0) << restricted.Errors();
}

}  // namespace
