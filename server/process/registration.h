// Registering the server on this machine (RegServer) and removing it again (UnregServer).
//
// Registration writes the class registration file (so clients find the class by its ProgID
// and on-demand activation finds the program), the configuration file when there is none, the
// systemd units where systemd is installed (enabled at once where it runs), and makes the
// endpoint's access key and certificate when missing. Unregistration removes what registration
// wrote: the class file, the units, and the configuration file as long as it is still the one
// registration wrote. The key and certificate stay, so observers that hold the key keep working
// after a re-registration.
#pragma once

#include <string>
#include <vector>

namespace zyn::server {

struct RegistrationSetup {
  bool system = false;         // for every user (root) or for the calling user
  std::string program;         // the program's absolute path
  std::string classDir;        // where the class file goes
  std::string configFile;      // the configuration file
  std::string credentialsDir;  // the key's folder when the configuration names none
  std::string unitDir;         // empty: no systemd units
  bool runSystemctl = false;   // tell a running systemd about the units
};

// The setup of the calling user (root: system-wide), with `configFile` or the default one.
RegistrationSetup DefaultRegistrationSetup(const std::string& configFile);

struct RegistrationReport {
  std::string text;                   // what the user is told on standard output
  std::vector<std::string> warnings;  // what went wrong without failing the registration
};

// False with *error when the server could not be (un)registered.
bool RegisterServer(const RegistrationSetup& setup, RegistrationReport* report, std::string* error);
bool UnregisterServer(const RegistrationSetup& setup, RegistrationReport* report,
                      std::string* error);

}  // namespace zyn::server
