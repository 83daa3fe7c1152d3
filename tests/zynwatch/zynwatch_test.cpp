// The zynwatch command end to end: the real program against a real serving process, on this
// machine's Unix socket and over TCP on 127.0.0.1, in a scratch home of the test's own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/opc_da.h"
#include "interfaces/zyn_ids.h"
#include "platform/com/guid.h"
#include "platform/remote/activation.h"
#include "platform/remote/connections.h"
#include "platform/remote/paths.h"
#include "platform/remote/registration.h"
#include "tests/remote/child_process.h"
#include "tests/support/session_env.h"
#include "tests/zynwatch/run_program.h"

namespace {

using zyn::testing::RunOptions;
using zyn::testing::RunProgram;
using zyn::testing::RunResult;

constexpr char kMemory[] = "\\Memory\\Available MBytes";
constexpr char kProcessor[] = "\\Processor(_Total)\\% Processor Time";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string HostName() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

std::string Describe(const RunResult& r) {
  return "status " + std::to_string(r.status) + (r.timedOut ? " (timed out)" : "") +
         "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

class ZynwatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zynwatch-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    for (const char* dir : {"/config", "/run", "/home", "/system-classes"})
      std::filesystem::create_directories(root_ + dir);
    chmod((root_ + "/run").c_str(), 0700);
    setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root_ + "/run").c_str(), 1);
    setenv("HOME", (root_ + "/home").c_str(), 1);
    setenv("ZYNWATCH_SYSTEM_CLASSES", (root_ + "/system-classes").c_str(), 1);
    unsetenv("ZYNWATCH_KEY");
    // The server sees a desktop only where a test gives it one.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
  }

  void TearDown() override {
    StopServer();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  // The serving program: zynserver when it is built, else the transport's test server; both
  // serve the server class on the Unix socket and on 127.0.0.1 at a free port.
  void StartServer() {
#ifdef ZYN_ZYNSERVER
    server_ = std::make_unique<zyn::remote::Child>(
        ZYN_ZYNSERVER,
        std::vector<std::string>{"--listen", "127.0.0.1:0", "--config", ServerConfig()});
    for (std::string line; port_ == 0;) {
      line = server_->ReadLine();
      ASSERT_FALSE(line.empty()) << "zynserver ended before it listened";
      const std::string tcp = "listening on tcp:";
      if (line.rfind(tcp, 0) == 0) port_ = std::stoul(line.substr(line.rfind(':') + 1));
    }
#else
    server_ = std::make_unique<zyn::remote::Child>(ZYN_E2E_SERVER, std::vector<std::string>{});
    const std::string ready = server_->ReadLine();
    ASSERT_EQ(ready.rfind("READY ", 0), 0u) << ready;
    port_ = static_cast<unsigned>(std::stoul(ready.substr(6)));
#endif
  }

  // The server's configuration: its key and certificate in the scratch folder, also when the
  // test runs as root (whose default is the machine's own folder under /etc).
  // Whether the server started on demand with this test's configuration has ended within
  // five seconds (it ends by itself about a second after its last client).
  bool OnDemandServerEnds() {
    for (int i = 0; i < 50; ++i) {
      usleep(100 * 1000);
      if (RunProgram("/usr/bin/pgrep", {"-f", root_ + "/zynserver.conf"}).status == 1) return true;
    }
    return false;
  }

  std::string ServerConfig() {
    const std::string path = root_ + "/zynserver.conf";
    std::ofstream(path) << "credentials = " << CredentialsDir() << "\n";
    return path;
  }

  std::string CredentialsDir() const {
#ifdef ZYN_ZYNSERVER
    return root_ + "/endpoint";
#else
    return zyn::remote::EndpointDir();
#endif
  }

  void StopServer() {
    if (!server_) return;
    kill(server_->pid(), SIGTERM);
    server_ = nullptr;  // closes its input and waits for it
  }

  // Server objects alive in the serving process; -1 when the server cannot tell.
  int ServerObjects() {
#ifdef ZYN_ZYNSERVER
    return -1;
#else
    server_->WriteLine("STATUS");
    int objects = -1;
    std::sscanf(server_->ReadLine().c_str(), "STATUS objects=%d", &objects);
    return objects;
#endif
  }

  std::string TcpMachine() const {
    return "127.0.0.1:" + std::to_string(port_);
  }

  std::string ServerKey() const {
    std::string key;
    EXPECT_TRUE(zyn::remote::ReadFile(CredentialsDir() + "/access.key", &key));
    while (!key.empty() && (key.back() == '\n' || key.back() == ' '))
      key.pop_back();
    return key;
  }

  // Keeps the server's key where zynwatch looks for the machine's key.
  void StoreKey(const std::string& machine) {
    ASSERT_TRUE(zyn::remote::MakeDirs(zyn::remote::MachineDir(machine), 0700));
    ASSERT_TRUE(zyn::remote::WriteFile(zyn::remote::MachineDir(machine) + "/access.key",
                                       ServerKey() + "\n", 0600));
  }

  bool Pinned(const std::string& machine) const {
    return std::filesystem::exists(zyn::remote::MachineDir(machine) + "/cert.pem");
  }

  // A copy of zynwatch in a folder of its own (so its neighbours are the test's to choose).
  std::string CopyOfZynwatch(const std::string& folder) {
    const std::string dir = root_ + "/" + folder;
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(ZYN_ZYNWATCH, dir + "/zynwatch");
    return dir + "/zynwatch";
  }

  static RunResult Zynwatch(const std::vector<std::string>& args, const RunOptions& options = {}) {
    return RunProgram(ZYN_ZYNWATCH, args, options);
  }

  std::string root_;
  std::unique_ptr<zyn::remote::Child> server_;
  unsigned port_ = 0;
};

TEST_F(ZynwatchTest, BadUsageIsStatusTwoAndEveryCommandHasHelp) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {},
           {"frobnicate"},
           {"--bogus", "list"},
           {"-m"},
           {"--key", "a", "--key-file", "b", "status"},
           {"watch", "-r", "fast", kMemory},
           {"watch", "-d", "120", kMemory},
           {"watch", "--format", "xml", kMemory},
           {"read"},
           {"props"},
           {"status", "extra"},
           {"screenshot", "-o", "shot.jpg"},
           {"screenshot", "--size", "0x10", "-o", "shot.png"},
           {"screenshot"},
           {"message", "--tip", "loud", "hello"},
           {"message"},
           {"exec"},
       }) {
    RunResult r = Zynwatch(args);
    EXPECT_EQ(r.status, 2) << Describe(r);
    EXPECT_EQ(r.err.rfind("zynwatch: ", 0), 0u) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "usage: zynwatch")) << Describe(r);
  }
  RunResult top = Zynwatch({"--help"});
  EXPECT_EQ(top.status, 0);
  for (const char* command : {"list", "read", "watch", "props", "status", "sysinfo", "screenshot",
                              "message", "exec", "lock", "servers"}) {
    EXPECT_TRUE(Contains(top.out, std::string("  ") + command + " ")) << command;
    RunResult r = Zynwatch({command, "--help"});
    EXPECT_EQ(r.status, 0) << command << Describe(r);
    EXPECT_EQ(r.out.rfind(std::string("usage: zynwatch ") + command, 0), 0u) << Describe(r);
    EXPECT_TRUE(r.err.empty()) << Describe(r);
  }
}

TEST_F(ZynwatchTest, BrowsesReadsAndDescribesCountersOfThisMachine) {
  StartServer();
  RunResult objects = Zynwatch({"list"});
  ASSERT_EQ(objects.status, 0) << Describe(objects);
  std::vector<std::string> names = Lines(objects.out);
  EXPECT_NE(std::find(names.begin(), names.end(), "Memory"), names.end()) << objects.out;
  EXPECT_NE(std::find(names.begin(), names.end(), "Processor"), names.end()) << objects.out;

  RunResult counters = Zynwatch({"list", "\\Memory"});
  ASSERT_EQ(counters.status, 0) << Describe(counters);
  names = Lines(counters.out);
  EXPECT_NE(std::find(names.begin(), names.end(), "Available MBytes"), names.end());

  RunResult all = Zynwatch({"list", "-x"});
  ASSERT_EQ(all.status, 0) << Describe(all);
  names = Lines(all.out);
  EXPECT_GT(names.size(), 100u);
  EXPECT_NE(std::find(names.begin(), names.end(), kMemory), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), kProcessor), names.end());

  RunResult read = Zynwatch({"read", kMemory, kProcessor});
  ASSERT_EQ(read.status, 0) << Describe(read);
  std::vector<std::string> values = Lines(read.out);
  ASSERT_EQ(values.size(), 2u) << read.out;
  EXPECT_TRUE(
      std::regex_match(values[0], std::regex(R"(\\Memory\\Available MBytes\t[0-9]+\.[0-9]{6})")))
      << values[0];

  RunResult props = Zynwatch({"props", kMemory});
  ASSERT_EQ(props.status, 0) << Describe(props);
  std::vector<std::string> rows = Lines(props.out);
  ASSERT_EQ(rows.size(), 3u) << props.out;
  EXPECT_TRUE(std::regex_match(rows[0], std::regex(R"(1 +Canonical Datatype +VT_R8)"))) << rows[0];
  EXPECT_TRUE(std::regex_match(rows[1], std::regex(R"(5 +Access Rights +1 \(readable\))")))
      << rows[1];
  EXPECT_TRUE(std::regex_match(rows[2], std::regex(R"(5000 +Type of Counter +0x[0-9a-f]{8})")))
      << rows[2];

  RunResult status = Zynwatch({"status"});
  ASSERT_EQ(status.status, 0) << Describe(status);
  std::vector<std::string> fields = Lines(status.out);
  ASSERT_EQ(fields.size(), 8u) << status.out;
  EXPECT_EQ(fields[0], "State:         Server running");
  EXPECT_EQ(fields[1], "Group Count:   0");
  EXPECT_EQ(fields[2], "BandWidth:     Unknown");
  EXPECT_EQ(fields[3], "Manufacturer:  Corvane");
  EXPECT_EQ(fields[4], "Version:       3.5, build 63");
  const std::regex time(R"([A-Za-z ]+: +\d\d:\d\d:\d\d \d\d\.\d\d\.\d{4})");
  EXPECT_TRUE(std::regex_match(fields[5], time)) << fields[5];
  EXPECT_TRUE(std::regex_match(fields[6], time)) << fields[6];
}

TEST_F(ZynwatchTest, UnknownCountersAreReportedWithTheirOpcText) {
  StartServer();
  RunResult read = Zynwatch({"read", kMemory, "\\No Such Object\\X"});
  EXPECT_EQ(read.status, 1) << Describe(read);
  EXPECT_TRUE(Contains(read.out, "\\Memory\\Available MBytes\t")) << Describe(read);
  EXPECT_EQ(read.err,
            "zynwatch: \\No Such Object\\X: The item is no longer available in the server address "
            "space\nzynwatch: Error code: 0xc0040007\n");

  RunResult props = Zynwatch({"props", "\\No Such Object\\X"});
  EXPECT_EQ(props.status, 1) << Describe(props);
  EXPECT_TRUE(Contains(props.err, "Error code: 0xc0040007")) << Describe(props);

  RunResult list = Zynwatch({"list", "\\No Such Object"});
  EXPECT_EQ(list.status, 1) << Describe(list);
  EXPECT_TRUE(Contains(list.err, "0xc0040007")) << Describe(list);

  RunResult watch = Zynwatch({"watch", "-n", "1", "\\No Such Object\\X", "\\Nope\\Y"});
  EXPECT_EQ(watch.status, 1) << Describe(watch);
  EXPECT_TRUE(Contains(watch.err, "\\Nope\\Y: ")) << Describe(watch);
  EXPECT_TRUE(Contains(watch.err, "none of the counters was accepted")) << Describe(watch);
}

TEST_F(ZynwatchTest, WatchWritesTheCsvOfCounterLoggers) {
  StartServer();
  RunResult r = Zynwatch({"watch", "-r", "200", "-n", "3", "--format", "csv", kMemory,
                          "\\No Such Object\\X", kProcessor});
  ASSERT_EQ(r.status, 0) << Describe(r);
  // The refused counter is told and left out; the others go on.
  EXPECT_TRUE(Contains(r.err, "zynwatch: \\No Such Object\\X: The item is no longer available"))
      << Describe(r);
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 4u) << r.out;
  const std::string host = HostName();
  EXPECT_EQ(lines[0], "\"(PDH-CSV 4.0)\",\"\\\\" + host + "\\Memory\\Available MBytes\",\"\\\\" +
                          host + "\\Processor(_Total)\\% Processor Time\"");
  // The first update carries every counter; later ones those that changed (empty fields).
  const std::regex first(R"("\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3}","[0-9.]+","[0-9.]+")");
  const std::regex row(R"("\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3}",("[0-9.]+")?,("[0-9.]+")?)");
  EXPECT_TRUE(std::regex_match(lines[1], first)) << lines[1];
  EXPECT_TRUE(std::regex_match(lines[2], row)) << lines[2];
  EXPECT_TRUE(std::regex_match(lines[3], row)) << lines[3];
  // Three updates at 200 ms.
  EXPECT_LT(r.took.count(), 5000);
}

TEST_F(ZynwatchTest, WatchAsATableToAFileAndTheRevisedRate) {
  StartServer();
  const std::string file = root_ + "/rows.txt";
  RunResult r = Zynwatch({"watch", "-r", "50", "-n", "2", "-o", file, kMemory, kProcessor});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(r.out.empty()) << r.out;
  EXPECT_EQ(r.err, "zynwatch: The refresh rate you selected was revised to 100 milliseconds.\n");
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  std::vector<std::string> lines = Lines(text.str());
  ASSERT_EQ(lines.size(), 3u) << text.str();
  EXPECT_TRUE(Contains(lines[0], "Available MBytes")) << lines[0];
  EXPECT_TRUE(Contains(lines[0], "_Total % Processor Time")) << lines[0];
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].size(), lines[0].size()) << lines[i];
    EXPECT_TRUE(std::regex_match(
        lines[i], std::regex(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3} +(-|[0-9.]+) +(-|[0-9.]+))")))
        << lines[i];
  }
}

TEST_F(ZynwatchTest, CtrlCEndsTheWatchAndReleasesTheServerObject) {
  StartServer();
  RunOptions options;
  options.interruptAfterMs = 1500;
  RunResult r = Zynwatch({"watch", "-r", "100", "--format", "csv", kMemory}, options);
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_FALSE(r.timedOut);
  std::vector<std::string> lines = Lines(r.out);
  EXPECT_GE(lines.size(), 3u) << r.out;
  EXPECT_TRUE(r.err.empty()) << r.err;
  if (ServerObjects() >= 0) {
    int objects = -1;
    for (int i = 0; i < 100 && objects != 0; ++i) {
      objects = ServerObjects();
      if (objects != 0) usleep(20000);
    }
    EXPECT_EQ(objects, 0);
  }
}

TEST_F(ZynwatchTest, AServerThatGoesAwayEndsTheWatch) {
  StartServer();
  RunResult r;
  std::thread watcher([&] { r = Zynwatch({"watch", "-r", "100", "--format", "csv", kMemory}); });
  usleep(1500 * 1000);
  StopServer();
  watcher.join();
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_FALSE(r.timedOut);
  EXPECT_GE(Lines(r.out).size(), 2u) << Describe(r);
  // The server says goodbye when it can; a server that vanished is noticed by asking it.
  EXPECT_TRUE(Contains(r.err, "zynwatch: the server stopped: Server is shutting down\n") ||
              Contains(r.err, "lost the connection to machine \"My Computer\""))
      << Describe(r);
}

TEST_F(ZynwatchTest, OverTcpTheFirstContactIsAcceptedOnRequestOnly) {
  StartServer();
  const std::string machine = TcpMachine();
  StoreKey(machine);
  std::string certificate;
  ASSERT_TRUE(zyn::remote::ReadFile(CredentialsDir() + "/cert.pem", &certificate));
  const std::string fingerprint = zyn::remote::CertificateFingerprint(certificate);
  ASSERT_EQ(fingerprint.size(), 32u * 3 - 1) << fingerprint;
  // What the help tells the server's administrator to compare it with.
  if (access("/usr/bin/openssl", X_OK) == 0) {
    RunResult openssl = RunProgram("/usr/bin/openssl", {"x509", "-noout", "-fingerprint", "-sha256",
                                                        "-in", CredentialsDir() + "/cert.pem"});
    EXPECT_TRUE(Contains(openssl.out, "=" + fingerprint + "\n")) << openssl.out << fingerprint;
  }

  // Not a terminal: refused, with the fingerprint and how to accept, and nothing pinned.
  RunResult refused = Zynwatch({"-m", machine, "status"});
  EXPECT_EQ(refused.status, 1) << Describe(refused);
  EXPECT_TRUE(Contains(refused.err, "zynwatch: Access is denied.\n")) << Describe(refused);
  EXPECT_TRUE(Contains(refused.err, fingerprint)) << Describe(refused);
  EXPECT_TRUE(Contains(refused.err, "--accept-new")) << Describe(refused);
  EXPECT_FALSE(Pinned(machine));

  // On a terminal: the question, and "no" pins nothing.
  RunOptions no;
  no.terminal = true;
  no.input = "no\n";
  RunResult declined = Zynwatch({"-m", machine, "status"}, no);
  EXPECT_EQ(declined.status, 1) << Describe(declined);
  EXPECT_TRUE(Contains(declined.err, fingerprint + "\n")) << Describe(declined);
  EXPECT_TRUE(Contains(declined.err, "(yes/no)? ")) << Describe(declined);
  EXPECT_FALSE(Pinned(machine));

  // "yes" pins it; later runs ask nothing.
  RunOptions yes = no;
  yes.input = "yes\n";
  RunResult accepted = Zynwatch({"-m", machine, "status"}, yes);
  EXPECT_EQ(accepted.status, 0) << Describe(accepted);
  EXPECT_TRUE(Contains(accepted.out, "State:         Server running")) << Describe(accepted);
  EXPECT_TRUE(Pinned(machine));
  RunResult again = Zynwatch({"-m", machine, "read", kMemory});
  EXPECT_EQ(again.status, 0) << Describe(again);
  EXPECT_TRUE(again.err.empty()) << Describe(again);

  // --accept-new pins without asking.
  std::filesystem::remove(zyn::remote::MachineDir(machine) + "/cert.pem");
  RunResult silent = Zynwatch({"-m", machine, "--accept-new", "list", "\\Memory"});
  EXPECT_EQ(silent.status, 0) << Describe(silent);
  EXPECT_TRUE(silent.err.empty()) << Describe(silent);
  EXPECT_TRUE(Pinned(machine));
}

TEST_F(ZynwatchTest, OverTcpTheKeyComesFromTheOptionTheFileOrTheEnvironment) {
  StartServer();
  const std::string machine = TcpMachine();
  const std::string key = ServerKey();
  const std::string keyFile = root_ + "/key.txt";
  std::ofstream(keyFile) << key << "\n";

  RunResult none = Zynwatch({"-m", machine, "--accept-new", "status"});
  EXPECT_EQ(none.status, 1) << Describe(none);
  EXPECT_TRUE(Contains(none.err, "no access key for machine")) << Describe(none);

  RunResult option = Zynwatch({"-m", machine, "--accept-new", "--key", key, "status"});
  EXPECT_EQ(option.status, 0) << Describe(option);
  RunResult file = Zynwatch({"-m", machine, "--key-file", keyFile, "status"});
  EXPECT_EQ(file.status, 0) << Describe(file);
  RunOptions env;
  env.env = {"ZYNWATCH_KEY=" + key};
  RunResult fromEnv = Zynwatch({"-m", machine, "status"}, env);
  EXPECT_EQ(fromEnv.status, 0) << Describe(fromEnv);
  // The option wins over the environment.
  RunResult wrong = Zynwatch({"-m", machine, "--key", "00ff", "status"}, env);
  EXPECT_EQ(wrong.status, 1) << Describe(wrong);
  EXPECT_TRUE(Contains(wrong.err, "refused the access key")) << Describe(wrong);
  // None of them is stored.
  EXPECT_FALSE(std::filesystem::exists(zyn::remote::MachineDir(machine) + "/access.key"));

  RunResult missing = Zynwatch({"-m", machine, "--key-file", root_ + "/nothing", "status"});
  EXPECT_EQ(missing.status, 1) << Describe(missing);
  EXPECT_TRUE(Contains(missing.err, "No such file")) << Describe(missing);
}

// The activation zynwatch makes, called directly: a person taking longer than the time
// limit to answer the question is no machine failing to answer.
TEST_F(ZynwatchTest, TheFirstContactQuestionStopsTheActivationClock) {
  StartServer();
  const std::string machine = TcpMachine();
  zyn::remote::ActivationSettings settings;
  settings.accessKey = ServerKey();
  int asked = 0;
  settings.trustFirstContact = [&](const zyn::remote::FirstContact& contact) {
    ++asked;
    EXPECT_EQ(contact.machine, machine);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    return true;
  };
  {
    zyn::remote::ActivationSettingsScope scope(std::move(settings));
    com::ComPtr<IOPCServer> server;
    EXPECT_EQ(zyn::remote::ActivateWithTimeLimit(machine, CLSID_ZYNServer, IID_IOPCServer, 2000,
                                                 E_FAIL, server.ReleaseAndGetVoidAddressOf()),
              S_OK)
        << zyn::remote::LastActivationError();
    EXPECT_TRUE(server);
  }
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(Pinned(machine));
  // The thread's settings are back to the defaults.
  EXPECT_FALSE(zyn::remote::CurrentActivationSettings().trustFirstContact);
  EXPECT_TRUE(zyn::remote::CurrentActivationSettings().accessKey.empty());
  zyn::remote::CloseAllConnections();
}

TEST_F(ZynwatchTest, WatchOverTcpNamesTheHostInThePaths) {
  StartServer();
  const std::string machine = TcpMachine();
  StoreKey(machine);
  RunResult r = Zynwatch(
      {"-m", machine, "--accept-new", "watch", "-r", "100", "-n", "2", "--format", "csv", kMemory});
  ASSERT_EQ(r.status, 0) << Describe(r);
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_EQ(lines[0], "\"(PDH-CSV 4.0)\",\"\\\\127.0.0.1\\Memory\\Available MBytes\"");
}

TEST_F(ZynwatchTest, UnreachableMachinesAndMissingServersFailWithTheirReason) {
  RunResult host = Zynwatch({"-m", "127.0.0.1:1", "--key", "00", "--accept-new", "status"});
  EXPECT_EQ(host.status, 1) << Describe(host);
  EXPECT_EQ(host.err.rfind("zynwatch: The RPC server is unavailable.\nzynwatch: machine "
                           "\"127.0.0.1:1\": ",
                           0),
            0u)
      << Describe(host);
  EXPECT_LT(host.took.count(), 10000);

  // No server runs here, none is registered, and none is beside this copy of zynwatch.
  const std::string alone = CopyOfZynwatch("alone");
  RunResult local = RunProgram(alone, {"list"});
  EXPECT_EQ(local.status, 1) << Describe(local);
  EXPECT_TRUE(Contains(local.err, "zynwatch: Class not registered\n")) << Describe(local);
  EXPECT_TRUE(Contains(local.err, "zynserver /RegServer")) << Describe(local);
}

TEST_F(ZynwatchTest, ServersListsTheRegisteredDataAccessServers) {
  StartServer();
  // A class of the category, as registration writes it, and one of another category.
  zyn::remote::ClassFile server;
  server.registration.clsid = CLSID_ZYNServer;
  server.registration.progId = zyn::kServerProgId;
  server.registration.description = zyn::kServerClassName;
  server.registration.implementedCategories = {CATID_OPCDAServer20};
  zyn::remote::ClassFile other;
  other.registration.clsid = com::Guid("11111111-2222-3333-4444-555555555555");
  other.registration.progId = "Other.Thing.1";
  std::string error;
  const std::string dir = zyn::remote::UserClassDir();
  ASSERT_TRUE(zyn::remote::MakeDirs(dir, 0700));
  ASSERT_TRUE(zyn::remote::WriteClassFile(dir, server, &error)) << error;
  ASSERT_TRUE(zyn::remote::WriteClassFile(dir, other, &error)) << error;

  RunResult r = Zynwatch({"servers"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(r.out, "ZYNServer.OPCServer.1\tZYN Server\t{7C52E373-38F3-4579-951A-84ECCD6340B3}\n");
}

TEST_F(ZynwatchTest, SysInfoShowsTheSixCategories) {
  StartServer();
  RunResult r = Zynwatch({"sysinfo"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  std::vector<std::string> captions;
  for (const std::string& line : Lines(r.out))
    if (!line.empty() && line[0] != ' ') captions.push_back(line);
  EXPECT_EQ(captions, (std::vector<std::string>{"General", "Processor", "Memory", "Hard Drive",
                                                "System Components", "Installed Software"}));
  EXPECT_TRUE(Contains(r.out, "General\n    Computer ")) << r.out;
  EXPECT_TRUE(std::regex_search(
      r.out, std::regex(R"(% of total physical memory in use\n    Usage: \d+%\n)")))
      << r.out;
  EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST_F(ZynwatchTest, AScreenShotWithoutADesktopIsRefused) {
  StartServer();
  const std::string file = root_ + "/shot.png";
  RunResult r = Zynwatch({"screenshot", "-o", file});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_EQ(r.err, "zynwatch: Access is denied.\n");
  EXPECT_FALSE(std::filesystem::exists(file));
}

#ifdef ZYN_ZYNSERVER

// The header fields of a BMP file that say what it holds.
struct BmpFacts {
  std::uint32_t fileSize = 0, offset = 0, width = 0, height = 0, bits = 0;
};

BmpFacts ReadBmp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<unsigned char> b(std::istreambuf_iterator<char>(in), {});
  BmpFacts f;
  if (b.size() < 54 || b[0] != 'B' || b[1] != 'M') return f;
  auto u32 = [&](std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
  };
  f.fileSize = static_cast<std::uint32_t>(b.size()) == u32(2) ? u32(2) : 0;
  f.offset = u32(10);
  f.width = u32(18);
  f.height = u32(22);
  f.bits = b[28] | (b[29] << 8);
  return f;
}

// Width and height from a PNG's header chunk.
std::pair<std::uint32_t, std::uint32_t> PngSize(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<unsigned char> b(std::istreambuf_iterator<char>(in), {});
  if (b.size() < 24 || b[1] != 'P' || b[2] != 'N' || b[3] != 'G') return {0, 0};
  auto be32 = [&](std::size_t at) {
    return (std::uint32_t{b[at]} << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
  };
  return {be32(16), be32(20)};
}

TEST_F(ZynwatchTest, ScreenShotsOfADesktopAsBmpAndPng) {
  if (!zyn::testing::XvfbDisplay::Available()) GTEST_SKIP() << "Xvfb is not installed";
  zyn::testing::XvfbDisplay display(320, 200, 24);
  ASSERT_TRUE(display.ok()) << display.error();
  StartServer();

  const std::string bmp = root_ + "/shot.bmp";
  RunResult r = Zynwatch({"screenshot", "-o", bmp});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(r.out, bmp + ": 320 x 200 pixels\n");
  BmpFacts f = ReadBmp(bmp);
  EXPECT_EQ(f.width, 320u);
  EXPECT_EQ(f.height, 200u);
  EXPECT_EQ(f.offset, 54u);
  EXPECT_EQ(f.fileSize, 54u + 200u * ((f.bits * 320u + 31) / 32 * 4)) << f.bits;

  const std::string png = root_ + "/small.png";
  r = Zynwatch({"screenshot", "--size", "160x100", "-o", png});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(PngSize(png), (std::pair<std::uint32_t, std::uint32_t>{160, 100}));

  // Over TCP too.
  StoreKey(TcpMachine());
  r = Zynwatch({"-m", TcpMachine(), "--accept-new", "screenshot", "-o", root_ + "/tcp.png"});
  EXPECT_EQ(r.status, 0) << Describe(r);
  EXPECT_EQ(PngSize(root_ + "/tcp.png"), (std::pair<std::uint32_t, std::uint32_t>{320, 200}));
  StopServer();  // before its display goes
}

TEST_F(ZynwatchTest, ExecStartsAProgramAndMessageShowsABox) {
  if (!zyn::testing::XvfbDisplay::Available()) GTEST_SKIP() << "Xvfb is not installed";
  zyn::testing::XvfbDisplay display(320, 200, 24);
  ASSERT_TRUE(display.ok()) << display.error();
  StartServer();

  const std::string file = root_ + "/started by exec";
  RunResult r = Zynwatch({"exec", "/bin/sh", "-c", "echo \"$0\" > \"$1\"", "it's here", file});
  ASSERT_EQ(r.status, 0) << Describe(r);
  std::string text;
  for (int i = 0; i < 250 && text.empty(); ++i) {
    usleep(20000);
    std::ifstream in(file);
    std::getline(in, text);
  }
  EXPECT_EQ(text, "it's here");

  r = Zynwatch({"exec", root_ + "/no such program"});
  EXPECT_EQ(r.status, 1) << Describe(r);
  EXPECT_TRUE(Contains(r.err, "cannot start")) << Describe(r);

  // The box stays while zynwatch stays (until Ctrl+C here), and goes with it.
  auto boxShown = [] {
    return Contains(RunProgram("/usr/bin/xwininfo", {"-root", "-tree"}).out,
                    "\"ZYN Server Messenger\"");
  };
  RunResult message;
  RunOptions interrupt;
  interrupt.interruptAfterMs = 4000;
  std::thread sender([&] {
    message = Zynwatch({"message", "--", "-", "the", "disk", "is", "full"}, interrupt);
  });
  bool shown = false;
  for (int i = 0; i < 35 && !shown; ++i) {
    shown = boxShown();
    if (!shown) usleep(100 * 1000);
  }
  sender.join();
  EXPECT_TRUE(shown);
  EXPECT_EQ(message.status, 0) << Describe(message);
  EXPECT_LT(message.took.count(), 8000);
  bool closed = false;
  for (int i = 0; i < 30 && !closed; ++i) {
    closed = !boxShown();
    if (!closed) usleep(100 * 1000);
  }
  EXPECT_TRUE(closed);
  StopServer();  // before its display goes
}

TEST_F(ZynwatchTest, ThisMachinesServerStartsOnDemandOnceRegistered) {
  // Registered as registration does it, through a script that gives the program the test's
  // configuration.
  const std::string script = root_ + "/zynserver.sh";
  std::ofstream(script) << "#!/bin/sh\nexec '" << ZYN_ZYNSERVER << "' --config '" << ServerConfig()
                        << "'\n";
  chmod(script.c_str(), 0755);
  zyn::remote::ClassFile file;
  file.registration.clsid = CLSID_ZYNServer;
  file.registration.progId = zyn::kServerProgId;
  file.registration.implementedCategories = {CATID_OPCDAServer20};
  file.program = script;
  std::string error;
  ASSERT_TRUE(zyn::remote::MakeDirs(zyn::remote::UserClassDir(), 0700));
  ASSERT_TRUE(zyn::remote::WriteClassFile(zyn::remote::UserClassDir(), file, &error)) << error;

  // A zynserver beside zynwatch stands back for the registered one.
  const std::string zynwatch = CopyOfZynwatch("bin");
  std::ofstream(root_ + "/bin/zynserver") << "#!/bin/sh\nexit 3\n";
  chmod((root_ + "/bin/zynserver").c_str(), 0755);
  RunResult r = RunProgram(zynwatch, {"status"});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(Contains(r.out, "State:         Server running")) << Describe(r);
  // The next command finds the server the first one started, or starts one anew once that
  // one has ended.
  r = Zynwatch({"read", kMemory});
  EXPECT_EQ(r.status, 0) << Describe(r);
  // The idle server ends by itself about a second after its last client.
  EXPECT_TRUE(OnDemandServerEnds()) << "the server started on demand is still running";
}

TEST_F(ZynwatchTest, WithNoneRegisteredTheServerBesideZynwatchStarts) {
  const std::string zynwatch = CopyOfZynwatch("bin");
  const std::string script = root_ + "/bin/zynserver";
  std::ofstream(script) << "#!/bin/sh\nexec '" << ZYN_ZYNSERVER << "' --config '" << ServerConfig()
                        << "'\n";
  chmod(script.c_str(), 0755);
  RunResult r = RunProgram(zynwatch, {"read", kMemory});
  ASSERT_EQ(r.status, 0) << Describe(r);
  EXPECT_TRUE(Contains(r.out, "\\Memory\\Available MBytes\t")) << Describe(r);
  EXPECT_TRUE(OnDemandServerEnds()) << "the server started on demand is still running";
}

#endif  // ZYN_ZYNSERVER

}  // namespace
