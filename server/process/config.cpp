#include "server/process/config.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/remote/paths.h"

namespace zyn::server {
namespace {

std::string_view Trim(std::string_view text) {
  const char* space = " \t\r\n";
  const std::size_t first = text.find_first_not_of(space);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool ParseBool(std::string_view text, bool* value) {
  const std::string word = Lower(text);
  if (word == "yes" || word == "true" || word == "on" || word == "1") {
    *value = true;
  } else if (word == "no" || word == "false" || word == "off" || word == "0") {
    *value = false;
  } else {
    return false;
  }
  return true;
}

bool ParsePort(std::string_view text, unsigned* port) {
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || value > 65535)
    return false;
  *port = value;
  return true;
}

// One listen address as written; *withPort says whether it carried its own port. The host
// part must be present: "*" for every address.
bool ParseAddress(std::string_view text, std::string* host, bool* withPort, unsigned* port) {
  *withPort = false;
  if (text.empty()) return false;
  if (text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos || close == 1) return false;
    *host = std::string(text.substr(0, close + 1));
    std::string_view rest = text.substr(close + 1);
    if (rest.empty()) return true;
    if (rest.front() != ':') return false;
    *withPort = true;
    return ParsePort(rest.substr(1), port);
  }
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) {
    *host = std::string(text);
    return true;
  }
  if (colon == 0 || text.find(':') != colon) return false;  // bare IPv6 needs brackets
  *host = std::string(text.substr(0, colon));
  *withPort = true;
  return ParsePort(text.substr(colon + 1), port);
}

}  // namespace

bool ParseConfig(std::string_view text, const std::string& fileName, ServerConfig* out,
                 std::vector<std::string>* warnings, std::string* error) {
  *out = ServerConfig{};
  std::string section = "server";
  bool sectionKnown = true;
  std::vector<std::string> addresses;
  std::vector<bool> addressHasPort;
  unsigned defaultPort = zyn::remote::kDefaultPort;
  int lineNumber = 0;
  auto where = [&]() { return fileName + ":" + std::to_string(lineNumber) + ": "; };

  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    if (const std::size_t hash = line.find('#'); hash != std::string_view::npos)
      line = line.substr(0, hash);
    line = Trim(line);
    if (line.empty()) {
      if (end == text.size()) break;
      continue;
    }
    if (line.front() == '[') {
      if (line.back() != ']') {
        *error = where() + "malformed section header \"" + std::string(line) + "\"";
        return false;
      }
      section = Lower(Trim(line.substr(1, line.size() - 2)));
      sectionKnown = section == "server" || section == "permissions";
      if (!sectionKnown) warnings->push_back(where() + "unknown section [" + section + "] ignored");
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      *error = where() + "expected \"key = value\", found \"" + std::string(line) + "\"";
      return false;
    }
    const std::string key = Lower(Trim(line.substr(0, equals)));
    const std::string_view value = Trim(line.substr(equals + 1));
    if (!sectionKnown) continue;

    if (section == "permissions") {
      bool* flag = key == "message"      ? &out->permissions.message
                   : key == "tip"        ? &out->permissions.tip
                   : key == "screenshot" ? &out->permissions.screenShot
                   : key == "lock"       ? &out->permissions.lock
                   : key == "execute"    ? &out->permissions.execute
                                         : nullptr;
      if (!flag) {
        warnings->push_back(where() + "unknown key \"" + key + "\" in [permissions] ignored");
      } else if (!ParseBool(value, flag)) {
        *error = where() + "\"" + key + "\" must be yes or no, not \"" + std::string(value) + "\"";
        return false;
      }
      continue;
    }
    if (key == "listen") {
      addresses.clear();
      addressHasPort.clear();
      std::string list(value);
      for (char& c : list)
        if (c == ',') c = ' ';
      std::istringstream words(list);
      for (std::string word; words >> word;) {
        std::string host;
        bool withPort = false;
        unsigned port = 0;
        if (!ParseAddress(word, &host, &withPort, &port)) {
          *error = where() + "malformed listen address \"" + word +
                   "\" (expected host:port, [v6]:port or *:port)";
          return false;
        }
        addresses.push_back(withPort ? host + ":" + std::to_string(port) : host);
        addressHasPort.push_back(withPort);
      }
    } else if (key == "port") {
      if (!ParsePort(value, &defaultPort)) {
        *error = where() + "malformed port \"" + std::string(value) + "\"";
        return false;
      }
    } else if (key == "credentials") {
      if (value.empty() || value.front() != '/') {
        *error =
            where() + "credentials must be an absolute folder, not \"" + std::string(value) + "\"";
        return false;
      }
      out->credentialsDir = std::string(value);
    } else {
      warnings->push_back(where() + "unknown key \"" + key + "\" ignored");
    }
  }
  // The port applies wherever it stands in the file.
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    out->listen.push_back(addressHasPort[i] ? addresses[i]
                                            : addresses[i] + ":" + std::to_string(defaultPort));
  }
  return true;
}

bool LoadConfig(const std::string& path, bool mustExist, ServerConfig* out,
                std::vector<std::string>* warnings, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (errno == ENOENT && !mustExist) {
      *out = ServerConfig{};
      return true;
    }
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return ParseConfig(text.str(), path, out, warnings, error);
}

namespace {

// Root's server is the machine's: its files live under /etc, since a system service may have
// no home. An explicit XDG_CONFIG_HOME still wins, so a test (or a second installation) run as
// root keeps its files to itself, as every other path of the program does.
bool UsesSystemFolder() {
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  return geteuid() == 0 && (configHome == nullptr || *configHome == '\0');
}

}  // namespace

std::string DefaultConfigPath() {
  if (UsesSystemFolder()) return "/etc/zynwatch/zynserver.conf";
  return zyn::remote::ConfigHome() + "/zynwatch/zynserver.conf";
}

std::string DefaultCredentialsDir() {
  if (UsesSystemFolder()) return "/etc/zynwatch/endpoint";
  return zyn::remote::EndpointDir();
}

std::string ConfigTemplate() {
  return "# zynserver configuration\n"
         "\n"
         "[server]\n"
         "# TCP addresses observers on other machines connect to (TLS, then the access key),\n"
         "# separated by commas or spaces: host:port, [v6]:port or *:port (every address).\n"
         "# An address without a port takes `port`. Empty: this machine's Unix socket only.\n"
         "listen = *\n"
         "port = " +
         std::to_string(zyn::remote::kDefaultPort) +
         "\n"
         "# Where access.key, cert.pem and key.pem live (default shown by zynserver --help).\n"
         "# credentials = /path/to/folder\n"
         "\n"
         "[permissions]\n"
         "# Remote-administration functions authenticated observers may use.\n"
         "message = yes\n"
         "tip = yes\n"
         "screenshot = yes\n"
         "lock = yes\n"
         "execute = yes\n";
}

}  // namespace zyn::server
