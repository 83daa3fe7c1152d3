// The server program's command line.
//
//   zynserver                      serve (as started on demand, or by systemd)
//   zynserver /RegServer           register the server and exit ("-regserver", any case)
//   zynserver /UnregServer         unregister it and exit
//   zynserver --listen ADDR ...    serve on these TCP addresses too, until SIGTERM or SIGINT
//   zynserver --config FILE        use another configuration file
//   zynserver --help
//
// A word after '-' or '/' (or "--") that names RegServer or UnregServer, in any case, acts; the
// first one found wins. Any other switch is skipped, so a launcher's own switches do no harm.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zyn::server {

enum class Action { kServe, kRegister, kUnregister, kHelp };

struct CommandLine {
  Action action = Action::kServe;
  std::vector<std::string> listen;   // TCP addresses given with --listen
  std::string configFile;            // empty: the default file
  std::vector<std::string> skipped;  // arguments that meant nothing to us
};

// Parses the arguments after the program's name. False with *error only for our own options
// used wrongly (--listen or --config without a value).
bool ParseCommandLine(std::span<const std::string> args, CommandLine* out, std::string* error);

// The text of --help.
std::string HelpText(std::string_view program);

}  // namespace zyn::server
