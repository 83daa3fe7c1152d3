// The serving program started by a service manager: it is handed its listening sockets
// (descriptors 3, 4, ... with LISTEN_FDS and LISTEN_PID) and serves clients on them as on
// sockets of its own: the Unix socket for its owner only, TCP with TLS and the access key.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/opc_da.h"
#include "interfaces/zyn_ids.h"
#include "platform/com/object.h"
#include "platform/remote/activation.h"
#include "platform/remote/apartment.h"
#include "platform/remote/connections.h"
#include "platform/remote/handshake.h"
#include "platform/remote/paths.h"
#include "tests/remote/child_process.h"

namespace zyn::remote {
namespace {

// A listening Unix socket at path whose file has the given mode (a service manager's socket is
// often reachable by every user; the endpoint must not rely on the file's mode).
int ListenUnixAt(const std::string& path, mode_t mode) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      chmod(path.c_str(), mode) != 0 || listen(fd, 16) != 0) {
    ADD_FAILURE() << "cannot listen on " << path << ": " << std::strerror(errno);
    return -1;
  }
  return fd;
}

sockaddr_in Loopback(unsigned port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

// A socket of `type` bound to 127.0.0.1 on a free port; listening when asked.
int BoundTcp(int type, bool listening, unsigned* port) {
  sockaddr_in address = Loopback(0);
  socklen_t len = sizeof address;
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      (listening && listen(fd, 16) != 0) ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len) != 0) {
    ADD_FAILURE() << "cannot bind on 127.0.0.1: " << std::strerror(errno);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

enum class Answer { kAdmitted, kClosed, kSilent, kNoConnection };

// What a connection on which the hello of the Unix socket (no key) is sent gets back within
// the time limit: admission, the connection closed, or nothing at all.
Answer RawHello(int fd, const sockaddr* address, socklen_t len, int limitMs) {
  if (connect(fd, address, len) != 0) {
    close(fd);
    return Answer::kNoConnection;
  }
  const char hello[5] = {kHelloMagic[0], kHelloMagic[1], kHelloMagic[2], kHelloMagic[3], 0};
  Answer answer = Answer::kSilent;
  if (write(fd, hello, sizeof hello) == sizeof hello) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, limitMs) == 1) {
      unsigned char byte = 0xff;
      ssize_t n = read(fd, &byte, 1);
      answer = n == 1 && byte == kAdmitted ? Answer::kAdmitted : Answer::kClosed;
    }
  }
  close(fd);
  return answer;
}

Answer RawHelloUnix(const std::string& path, int limitMs) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return RawHello(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0),
                  reinterpret_cast<sockaddr*>(&address), sizeof address, limitMs);
}

Answer RawHelloTcp(unsigned port, int limitMs) {
  sockaddr_in address = Loopback(port);
  return RawHello(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0),
                  reinterpret_cast<sockaddr*>(&address), sizeof address, limitMs);
}

// Processor seconds a process has used.
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long ticks = 0;
  for (int i = 3; fields >> field && i <= 15; ++i)
    if (i == 14 || i == 15) ticks += std::stoul(field);
  return double(ticks) / double(sysconf(_SC_CLK_TCK));
}

class SocketActivationTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    apartment = std::make_unique<ApartmentThread>();
    SetDefaultApartment(&apartment->apartment());
  }
  static void TearDownTestSuite() {
    SetDefaultApartment(nullptr);
    apartment = nullptr;
  }

  // Each test has folders, and so a socket path and credentials, of its own.
  void SetUp() override {
    char pattern[] = "/tmp/zyn-activation-test-XXXXXX";
    root_ = mkdtemp(pattern);
    setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root_ + "/run").c_str(), 1);
    // No class is registered: a local activation without a server fails at once instead of
    // starting a program.
    setenv("ZYNWATCH_SYSTEM_CLASSES", (root_ + "/system-classes").c_str(), 1);
    socketPath_ = DefaultUnixSocketPath();
    ASSERT_TRUE(MakeDirs(socketPath_.substr(0, socketPath_.rfind('/')), 0700));
  }
  void TearDown() override {
    CloseAllConnections();
    server_ = nullptr;  // its input ends, and so does it
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  // Starts the serving program with the sockets handed over; the test's own copies are closed,
  // so only the program holds them.
  void StartServer(std::vector<int> fds, std::string names, bool forChild) {
    HandOver handOver{std::move(fds), std::move(names), forChild};
    server_ = std::make_unique<Child>(ZYN_E2E_SERVER, std::vector<std::string>{"activated"},
                                      std::vector<std::string>{}, handOver);
    for (int fd : handOver.fds)
      close(fd);
    ASSERT_EQ(server_->ReadLine(), "READY 0");
  }

  int Connections() {
    server_->WriteLine("STATUS");
    int objects = -1, connections = -1, threads = -1;
    std::sscanf(server_->ReadLine().c_str(), "STATUS objects=%d connections=%d threads=%d",
                &objects, &connections, &threads);
    return connections;
  }

  // The observer's user copies the server's key for the machine.
  void CopyKeyFor(const std::string& machine) {
    std::string key;
    ASSERT_TRUE(ReadFile(EndpointDir() + "/access.key", &key));
    ASSERT_TRUE(MakeDirs(MachineDir(machine), 0700));
    ASSERT_TRUE(WriteFile(MachineDir(machine) + "/access.key", key, 0600));
  }

  static void ExpectRunningServer(const std::string& machine) {
    com::ComPtr<IOPCServer> server;
    std::string error;
    ASSERT_EQ(ActivateWithTimeLimit(machine, CLSID_ZYNServer, IID_IOPCServer, 10000, E_FAIL,
                                    server.ReleaseAndGetVoidAddressOf(), &error),
              S_OK)
        << machine << ": " << error;
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(server->GetStatus(&status), S_OK) << machine;
    EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING) << machine;
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
  }

  static inline std::unique_ptr<ApartmentThread> apartment;
  std::string root_, socketPath_;
  std::unique_ptr<Child> server_;
};

TEST_F(SocketActivationTest, ServesTheUnixSocketAndTheTcpPortItIsHanded) {
  unsigned port = 0;
  int local = ListenUnixAt(socketPath_, 0600);
  int tcp = BoundTcp(SOCK_STREAM, true, &port);
  ASSERT_GE(local, 0);
  ASSERT_GE(tcp, 0);
  // The order and names of a socket unit that lists the Unix socket first.
  StartServer({local, tcp}, "zynserver.socket:zynserver.socket", true);
  const std::string machine = "127.0.0.1:" + std::to_string(port);
  CopyKeyFor(machine);

  ExpectRunningServer(kMyComputer);
  ExpectRunningServer(machine);
  EXPECT_EQ(Connections(), 2);
  // The TCP port is TLS: the plain hello of the Unix socket gets no admission there.
  EXPECT_NE(RawHelloTcp(port, 5000), Answer::kAdmitted);
}

TEST_F(SocketActivationTest, AdmitsOnlyItsOwnUserOnAHandedUnixSocket) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to connect as another user";
  // Everyone may reach the socket file, as with a socket unit's default mode.
  ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
  ASSERT_EQ(chmod((root_ + "/run").c_str(), 0755), 0);
  ASSERT_EQ(chmod(socketPath_.substr(0, socketPath_.rfind('/')).c_str(), 0755), 0);
  int local = ListenUnixAt(socketPath_, 0666);
  ASSERT_GE(local, 0);
  StartServer({local}, "", true);

  EXPECT_EQ(RawHelloUnix(socketPath_, 5000), Answer::kAdmitted);
  // Another user's hello: the connection is closed without an answer.
  pid_t child = fork();
  if (child == 0) {
    if (syscall(SYS_setuid, 65534) != 0) _exit(10);
    _exit(static_cast<int>(RawHelloUnix(socketPath_, 5000)));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(Answer::kClosed));
}

TEST_F(SocketActivationTest, LeavesSocketsMeantForAnotherProcessAlone) {
  unsigned port = 0;
  int local = ListenUnixAt(socketPath_, 0600);
  int tcp = BoundTcp(SOCK_STREAM, true, &port);
  ASSERT_GE(local, 0);
  ASSERT_GE(tcp, 0);
  StartServer({local, tcp}, "", false);
  // The kernel still accepts connections into the sockets' queues, but nobody answers.
  EXPECT_EQ(RawHelloUnix(socketPath_, 1000), Answer::kSilent);
  EXPECT_EQ(RawHelloTcp(port, 1000), Answer::kSilent);
  EXPECT_EQ(Connections(), 0);
}

TEST_F(SocketActivationTest, SkipsDescriptorsThatAreNoListeningStreamSockets) {
  unsigned port = 0, datagramPort = 0, idlePort = 0;
  int local = ListenUnixAt(socketPath_, 0600);
  int datagram = BoundTcp(SOCK_DGRAM, false, &datagramPort);
  int notListening = BoundTcp(SOCK_STREAM, false, &idlePort);
  int tcp = BoundTcp(SOCK_STREAM, true, &port);
  ASSERT_GE(local, 0);
  ASSERT_GE(datagram, 0);
  ASSERT_GE(notListening, 0);
  ASSERT_GE(tcp, 0);
  StartServer({local, datagram, notListening, tcp}, "", true);
  CopyKeyFor("127.0.0.1:" + std::to_string(port));

  ExpectRunningServer(kMyComputer);
  ExpectRunningServer("127.0.0.1:" + std::to_string(port));
  // Nothing keeps the program busy: an accept loop on a socket that cannot accept would spin.
  const double before = CpuSeconds(server_->pid());
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_LT(CpuSeconds(server_->pid()) - before, 0.3);
}

}  // namespace
}  // namespace zyn::remote
