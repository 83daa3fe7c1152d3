#include "server/process/systemd_units.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/remote/paths.h"

extern char** environ;

namespace zyn::server {
namespace {

bool IsDir(const char* path) {
  struct stat info {};
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// A word of a unit file: '%' starts a specifier, so it is doubled; a path with spaces or
// quotes is quoted with backslash escapes.
std::string UnitWord(const std::string& text) {
  std::string out;
  bool quote = false;
  for (char c : text) {
    if (c == '%') {
      out += "%%";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
      quote = true;
    } else {
      if (c == ' ' || c == '\t') quote = true;
      out += c;
    }
  }
  return quote ? "\"" + out + "\"" : out;
}

// What a socket unit's ListenStream= says for a listen address: a bare port listens on every
// address (both families), like "*:port" here.
std::string ListenStream(const std::string& address, unsigned* port) {
  const std::size_t colon = address.rfind(':');
  *port = static_cast<unsigned>(std::strtoul(address.c_str() + colon + 1, nullptr, 10));
  const std::string host = address.substr(0, colon);
  if (host == "*" || host == "any") return std::to_string(*port);
  return address;
}

}  // namespace

UnitFiles MakeUnitFiles(const UnitOptions& options) {
  UnitFiles files;
  // %t is the runtime folder of the manager: $XDG_RUNTIME_DIR for user units, /run for the
  // system, which the service is told so that it names the same socket.
  files.socket =
      "[Unit]\n"
      "Description=ZYN Server sockets (performance counters and remote administration)\n"
      "\n"
      "[Socket]\n"
      "ListenStream=%t/zynwatch/endpoint.sock\n"
      "SocketMode=0600\n"
      "DirectoryMode=0700\n";
  bool anyTcp = false;
  for (const std::string& address : options.tcpListen) {
    unsigned port = 0;
    const std::string stream = ListenStream(address, &port);
    if (port == 0) {
      files.warnings.push_back("listen address " + address +
                               " has no fixed port; the socket unit leaves it out");
      continue;
    }
    files.socket += "ListenStream=" + stream + "\n";
    anyTcp = true;
  }
  if (anyTcp) {
    // Accepted connections inherit these: a vanished observer is noticed within about a minute.
    files.socket +=
        "KeepAlive=yes\n"
        "KeepAliveTimeSec=30\n"
        "KeepAliveIntervalSec=10\n"
        "KeepAliveProbes=3\n";
  }
  files.socket += std::string("Service=") + kServiceUnitName +
                  "\n"
                  "\n"
                  "[Install]\n"
                  "WantedBy=sockets.target\n";

  files.service = std::string(
                      "[Unit]\n"
                      "Description=ZYN Server (performance counters and remote administration)\n"
                      "Requires=") +
                  kSocketUnitName + "\nAfter=" + kSocketUnitName +
                  "\n"
                  "\n"
                  "[Service]\n"
                  "Type=simple\n"
                  "ExecStart=" +
                  UnitWord(options.program) + "\n";
  if (options.system) files.service += "Environment=XDG_RUNTIME_DIR=/run\n";
  return files;
}

std::string UnitDir(bool system) {
  if (system) {
    const char* dir = std::getenv("ZYNWATCH_SYSTEM_UNITS");
    return dir && *dir ? dir : "/etc/systemd/system";
  }
  return zyn::remote::ConfigHome() + "/systemd/user";
}

bool SystemdInstalled() {
  return IsDir("/etc/systemd") || IsDir("/usr/lib/systemd") || IsDir("/lib/systemd");
}

bool SystemdRunning() {
  return IsDir("/run/systemd/system");
}

bool RunSystemctl(bool system, const std::vector<std::string>& args, std::string* error) {
  std::vector<std::string> words{"systemctl"};
  if (!system) words.push_back("--user");
  words.push_back("--quiet");
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words)
    argv.push_back(w.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, "systemctl", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  std::string command;
  for (std::size_t i = 0; i + 1 < argv.size(); ++i)
    command += (i ? " " : "") + words[i];
  if (rc != 0) {
    *error = command + ": " + std::strerror(rc);
    return false;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *error = command + " failed";
    return false;
  }
  return true;
}

}  // namespace zyn::server
