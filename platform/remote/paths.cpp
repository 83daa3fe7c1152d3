#include "platform/remote/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace zyn::remote {
namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::string(value) : fallback;
}

}  // namespace

std::string ConfigHome() {
  return EnvOr("XDG_CONFIG_HOME", EnvOr("HOME", "/tmp") + "/.config");
}

std::string EndpointDir() {
  return ConfigHome() + "/zynwatch/endpoint";
}

std::string MachineDir(std::string_view machine) {
  // A machine name becomes one path component: '/' cannot appear in it, and a leading dot
  // could reach outside the folder.
  std::string safe;
  for (char c : machine)
    safe += (c == '/' || c == '\0') ? '_' : c;
  if (safe.empty() || safe[0] == '.') safe = "_" + safe;
  return ConfigHome() + "/zynwatch/machines/" + safe;
}

std::string UserClassDir() {
  return ConfigHome() + "/zynwatch/classes";
}

std::string SystemClassDir() {
  return EnvOr("ZYNWATCH_SYSTEM_CLASSES", "/etc/zynwatch/classes");
}

std::string DefaultUnixSocketPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime) return std::string(runtime) + "/zynwatch/endpoint.sock";
  return "/tmp/zynwatch-" + std::to_string(getuid()) + "/endpoint.sock";
}

bool MakeDirs(const std::string& path, unsigned mode) {
  if (path.empty()) return false;
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string parent = path.substr(0, slash);
    if (mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return false;
  return chmod(path.c_str(), mode) == 0;
}

bool ReadFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  *text = all.str();
  return true;
}

bool WriteFile(const std::string& path, std::string_view text, unsigned mode) {
  std::string temp = path + ".tmp" + std::to_string(getpid());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  bool ok = fchmod(fd, mode) == 0;
  for (std::size_t done = 0; ok && done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = close(fd) == 0 && ok;
  if (ok) ok = rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) unlink(temp.c_str());
  return ok;
}

bool SplitHostPort(std::string_view machine, std::string* host, unsigned* port) {
  *port = kDefaultPort;
  std::string_view rest;
  if (!machine.empty() && machine.front() == '[') {
    std::size_t close = machine.find(']');
    if (close == std::string_view::npos) return false;
    *host = std::string(machine.substr(1, close - 1));
    rest = machine.substr(close + 1);
  } else {
    std::size_t colon = machine.find(':');
    if (colon != std::string_view::npos && machine.find(':', colon + 1) != std::string_view::npos) {
      *host = std::string(machine);  // a bare IPv6 address
      return !host->empty();
    }
    *host = std::string(machine.substr(0, colon));
    if (colon != std::string_view::npos) rest = machine.substr(colon);
  }
  if (host->empty()) return false;
  if (rest.empty()) return true;
  if (rest.front() != ':' || rest.size() < 2) return false;
  unsigned value = 0;
  auto [end, ec] = std::from_chars(rest.data() + 1, rest.data() + rest.size(), value);
  if (ec != std::errc() || end != rest.data() + rest.size() || value == 0 || value > 65535)
    return false;
  *port = value;
  return true;
}

}  // namespace zyn::remote
