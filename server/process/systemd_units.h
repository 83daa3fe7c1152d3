// The systemd units that start the server when a client connects: a socket unit holding the
// Unix socket of this machine and the TCP ports, and the service it starts.
//
// A user's registration writes user units ($XDG_CONFIG_HOME/systemd/user), root's writes system
// units (/etc/systemd/system; ZYNWATCH_SYSTEM_UNITS names another folder, for tests). The
// socket path in the units is the one clients dial (paths.h), so a client's connection starts
// the service, which takes the sockets over from systemd and ends when idle; systemd keeps
// listening in between.
#pragma once

#include <string>
#include <vector>

namespace zyn::server {

inline constexpr char kSocketUnitName[] = "zynserver.socket";
inline constexpr char kServiceUnitName[] = "zynserver.service";

struct UnitOptions {
  bool system = false;                 // system units, else user units
  std::string program;                 // the program's absolute path
  std::vector<std::string> tcpListen;  // "host:port", "[v6]:port" or "*:port"
};

struct UnitFiles {
  std::string socket;
  std::string service;
  std::vector<std::string> warnings;  // addresses a socket unit cannot hold (port 0)
};

UnitFiles MakeUnitFiles(const UnitOptions& options);

// The folder of the units for this scope.
std::string UnitDir(bool system);
// Whether systemd is installed (its configuration folder exists): units are written then.
bool SystemdInstalled();
// Whether systemd manages this machine now (as sd_booted decides): systemctl is run then.
bool SystemdRunning();

// Runs systemctl (with --user for user units) and waits; false with *error when it failed.
bool RunSystemctl(bool system, const std::vector<std::string>& args, std::string* error);

}  // namespace zyn::server
