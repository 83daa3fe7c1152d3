#include "server/process/command_line.h"

#include <algorithm>

namespace zyn::server {
namespace {

bool SameWord(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

// The word after the switch character: "/RegServer", "-regserver" and "--RegServer" all give
// "RegServer"; an argument that is no switch gives "".
std::string_view SwitchWord(std::string_view arg) {
  if (arg.size() < 2) return {};
  if (arg[0] == '/') return arg.substr(1);
  if (arg[0] != '-') return {};
  return arg.substr(arg[1] == '-' ? 2 : 1);
}

// "--name=value" or "--name value"; *consumed says whether the next argument was the value.
bool OptionValue(std::string_view arg, std::string_view name, std::span<const std::string> rest,
                 std::string* value, bool* consumed, bool* missing) {
  *consumed = false;
  *missing = false;
  const std::string prefix = "--" + std::string(name);
  if (arg == prefix) {
    if (rest.empty()) {
      *missing = true;
      return true;
    }
    *value = rest.front();
    *consumed = true;
    return true;
  }
  if (arg.size() > prefix.size() && arg.substr(0, prefix.size()) == prefix &&
      arg[prefix.size()] == '=') {
    *value = std::string(arg.substr(prefix.size() + 1));
    *missing = value->empty();
    return true;
  }
  return false;
}

}  // namespace

bool ParseCommandLine(std::span<const std::string> args, CommandLine* out, std::string* error) {
  *out = CommandLine{};
  bool decided = false;  // RegServer or UnregServer seen: the first one acts
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string value;
    bool consumed = false, missing = false;
    const auto rest = args.subspan(i + 1);
    if (OptionValue(arg, "listen", rest, &value, &consumed, &missing) ||
        OptionValue(arg, "config", rest, &value, &consumed, &missing)) {
      const bool listen = arg.rfind("--listen", 0) == 0;
      if (missing) {
        *error = std::string(listen ? "--listen needs an address" : "--config needs a file");
        return false;
      }
      if (listen) {
        out->listen.push_back(value);
      } else {
        out->configFile = value;
      }
      if (consumed) ++i;
      continue;
    }
    const std::string_view word = SwitchWord(arg);
    Action named;
    if (arg == "--help" || arg == "-h" || arg == "-?" || arg == "/?") {
      named = Action::kHelp;
    } else if (SameWord(word, "RegServer")) {
      named = Action::kRegister;
    } else if (SameWord(word, "UnregServer")) {
      named = Action::kUnregister;
    } else {
      out->skipped.push_back(arg);
      continue;
    }
    if (!decided) out->action = named;
    decided = true;
  }
  return true;
}

std::string HelpText(std::string_view program) {
  std::string p(program);
  return "Usage: " + p +
         " [--listen ADDRESS]... [--config FILE]\n"
         "       " +
         p +
         " /RegServer | /UnregServer [--config FILE]\n"
         "\n"
         "Publishes the performance counters of this machine as an OPC Data Access 2.0 server\n"
         "and offers remote administration (messages, balloon tips, screen shots, locking the\n"
         "session, starting programs, a system report) to authenticated observers.\n"
         "\n"
         "Serving:\n"
         "  Without a switch the program serves on the Unix socket of this machine (its user\n"
         "  only) and on the TCP addresses of the configuration file. Started so - by a client\n"
         "  on demand or by systemd - it ends about one second after its last client has gone,\n"
         "  and 10 seconds after its start when no client ever came.\n"
         "  --listen ADDRESS   serve on this TCP address too (TLS, then the access key);\n"
         "                     \"host:port\", \"[v6]:port\" or \"*:port\"; port 0 picks a free\n"
         "                     one; may be repeated. A server started with --listen stays up\n"
         "                     until SIGTERM or SIGINT (no idle exit).\n"
         "  --config FILE      the configuration file (default: /etc/zynwatch/zynserver.conf\n"
         "                     as root, $XDG_CONFIG_HOME/zynwatch/zynserver.conf otherwise)\n"
         "  Once every listener is up it prints \"listening on unix:PATH\" and\n"
         "  \"listening on tcp:HOST:PORT\" lines. SIGTERM and SIGINT tell every connected\n"
         "  client \"Server is shutting down\" and end the program.\n"
         "\n"
         "Registration (\"-\" or \"/\", any case):\n"
         "  /RegServer         register the server class for on-demand start, install the\n"
         "                     systemd socket and service units where systemd is present,\n"
         "                     write the configuration file when there is none, make the\n"
         "                     access key and TLS certificate when missing, and print the key\n"
         "  /UnregServer       remove what /RegServer wrote (the key, the certificate and an\n"
         "                     edited configuration file stay)\n"
         "  A user's registration is for that user; root's is system-wide.\n"
         "\n"
         "Configuration file (\"key = value\" lines, \"# comments\", [sections]):\n"
         "  [server]\n"
         "  listen = *:24837          TCP addresses, separated by commas or spaces; empty: the\n"
         "                            Unix socket only; an address without a port takes `port`\n"
         "  port = 24837              the port of addresses given without one\n"
         "  credentials = DIR         where access.key, cert.pem and key.pem live\n"
         "  [permissions]             remote-administration functions clients may use\n"
         "  message = yes             (yes/no, true/false, on/off, 1/0; all yes by default)\n"
         "  tip = yes\n"
         "  screenshot = yes\n"
         "  lock = yes\n"
         "  execute = yes\n"
         "\n"
         "Exit status: 0 on success (also when another instance already serves), 1 on failure.\n";
}

}  // namespace zyn::server
