// A private X display and a private D-Bus session bus for tests of desktop code.
//
// Both start a server process of their own, wait until it is ready, point the usual
// environment variable (DISPLAY, DBUS_SESSION_BUS_ADDRESS) at it while they live, and stop
// and reap the process on destruction, restoring the variable. Tests therefore never touch
// the desktop of whoever runs them.
//
//   if (!zyn::testing::XvfbDisplay::Available()) GTEST_SKIP() << "Xvfb is not installed";
//   zyn::testing::XvfbDisplay display(1024, 768, 24);
//   ASSERT_TRUE(display.ok()) << display.error();
//
// The environment is process-wide: create them on the test's main thread before any code
// that reads the variables starts (Qt caches its session bus connection on first use, so a
// test process that needs a private bus creates it before the first QDBusConnection).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace zyn::testing {

namespace session_env_detail {

// Sets an environment variable for the lifetime of the object and puts back what was there.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() { Restore(); }

  void Set(const char* name, const std::string& value) {
    Restore();
    name_ = name;
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  void Restore() {
    if (name_.empty()) return;
    if (old_)
      ::setenv(name_.c_str(), old_->c_str(), 1);
    else
      ::unsetenv(name_.c_str());
    name_.clear();
    old_.reset();
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A server process that reports readiness by writing one line to a descriptor it is told
// about on its command line. `args` may contain "{fd}", replaced by that descriptor's number.
class ReadyLineProcess {
 public:
  ReadyLineProcess() = default;
  ReadyLineProcess(const ReadyLineProcess&) = delete;
  ReadyLineProcess& operator=(const ReadyLineProcess&) = delete;
  ~ReadyLineProcess() { Stop(); }

  // Starts the program and waits up to `timeout` for its line; false with error() set otherwise.
  bool Start(const std::string& path, std::vector<std::string> args,
             std::chrono::milliseconds timeout) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return Fail("pipe: " + std::string(std::strerror(errno)));
    const int readEnd = fds[0];
    const int writeEnd = fds[1];
    // dup2 onto a different number clears close-on-exec only in the child; the parent's copies
    // stay close-on-exec so no other child spawned meanwhile keeps the pipe open.
    const int childFd =
        (writeEnd == 3 || readEnd == 3) ? (writeEnd == 4 || readEnd == 4 ? 5 : 4) : 3;
    for (std::string& a : args) {
      size_t at = a.find("{fd}");
      if (at != std::string::npos) a.replace(at, 4, std::to_string(childFd));
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd, childFd);

    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (std::string& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = ::posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(writeEnd);
    if (rc != 0) {
      pid_ = -1;
      ::close(readEnd);
      return Fail("cannot start " + path + ": " + std::strerror(rc));
    }

    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool gotLine = false;
    while (!gotLine) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{readEnd, POLLIN, 0};
      int n = ::poll(&p, 1, static_cast<int>(left.count()));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      char buffer[256];
      ssize_t got = ::read(readEnd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;  // the program closed the pipe or died without a line
      text.append(buffer, static_cast<size_t>(got));
      size_t newline = text.find('\n');
      if (newline != std::string::npos) {
        text.resize(newline);
        gotLine = true;
      }
    }
    ::close(readEnd);
    if (!gotLine) {
      Stop();
      return Fail(path + " did not report that it is ready");
    }
    line_ = text;
    return true;
  }

  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    // A server that ignores the request gets two seconds before it is killed.
    for (int i = 0; i < 200; ++i) {
      int status;
      pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_ || (r < 0 && errno != EINTR)) {
        pid_ = -1;
        return;
      }
      ::usleep(10000);
    }
    ::kill(pid_, SIGKILL);
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

  const std::string& line() const { return line_; }
  const std::string& error() const { return error_; }
  pid_t pid() const { return pid_; }

 private:
  bool Fail(std::string message) {
    error_ = std::move(message);
    return false;
  }

  pid_t pid_ = -1;
  std::string line_;
  std::string error_;
};

}  // namespace session_env_detail

// An X server of its own (Xvfb) with one screen of the given size and depth; DISPLAY names it
// while the object lives. The display number is chosen by the server (the first free one), so
// tests running in parallel do not collide.
class XvfbDisplay {
 public:
  static constexpr const char* kPath = "/usr/bin/Xvfb";
  static bool Available() { return ::access(kPath, X_OK) == 0; }

  explicit XvfbDisplay(int width = 1024, int height = 768, int depth = 24) {
    std::string screen =
        std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
    if (!process_.Start(
            kPath, {"-screen", "0", screen, "-nolisten", "tcp", "-displayfd", "{fd}", "-noreset"},
            std::chrono::seconds(10)))
      return;
    const std::string& number = process_.line();
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
      process_.Stop();
      return;
    }
    name_ = ":" + number;
    env_.Set("DISPLAY", name_);
  }
  XvfbDisplay(const XvfbDisplay&) = delete;
  XvfbDisplay& operator=(const XvfbDisplay&) = delete;
  ~XvfbDisplay() {
    env_.Restore();
    process_.Stop();
  }

  bool ok() const { return !name_.empty(); }
  std::string error() const {
    return process_.error().empty() ? "Xvfb reported no display number" : process_.error();
  }
  // ":N", the value DISPLAY holds while this object lives.
  const std::string& name() const { return name_; }

 private:
  session_env_detail::ReadyLineProcess process_;
  session_env_detail::ScopedEnv env_;
  std::string name_;
};

// A D-Bus session bus of its own; DBUS_SESSION_BUS_ADDRESS names it while the object lives.
class PrivateSessionBus {
 public:
  static constexpr const char* kPath = "/usr/bin/dbus-daemon";
  static bool Available() { return ::access(kPath, X_OK) == 0; }

  PrivateSessionBus() {
    if (!process_.Start(kPath, {"--session", "--nofork", "--nosyslog", "--print-address={fd}"},
                        std::chrono::seconds(10)))
      return;
    address_ = process_.line();
    if (address_.empty()) {
      process_.Stop();
      return;
    }
    env_.Set("DBUS_SESSION_BUS_ADDRESS", address_);
  }
  PrivateSessionBus(const PrivateSessionBus&) = delete;
  PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;
  ~PrivateSessionBus() {
    env_.Restore();
    process_.Stop();
  }

  bool ok() const { return !address_.empty(); }
  std::string error() const {
    return process_.error().empty() ? "dbus-daemon printed no address" : process_.error();
  }
  const std::string& address() const { return address_; }

 private:
  session_env_detail::ReadyLineProcess process_;
  session_env_detail::ScopedEnv env_;
  std::string address_;
};

}  // namespace zyn::testing
