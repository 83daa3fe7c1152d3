#include "server/process/registration.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "interfaces/opc_da.h"
#include "interfaces/zyn_ids.h"
#include "platform/remote/credentials.h"
#include "platform/remote/paths.h"
#include "platform/remote/registration.h"
#include "server/process/config.h"
#include "server/process/systemd_units.h"

namespace zyn::server {
namespace {

bool Exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

std::string Parent(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

std::string SelfPath() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

zyn::remote::ClassFile ServerClassFile(const std::string& program) {
  zyn::remote::ClassFile file;
  file.registration.clsid = CLSID_ZYNServer;
  file.registration.progId = zyn::kServerProgId;
  file.registration.versionIndependentProgId = zyn::kServerVersionIndependentProgId;
  file.registration.description = zyn::kServerClassName;
  file.registration.implementedCategories = {CATID_OPCDAServer20};
  file.program = program;
  file.appId = APPID_ZYNServer;
  return file;
}

// Removes a unit file of ours; a missing one is no failure.
void RemoveIfPresent(const std::string& path, RegistrationReport* report) {
  if (unlink(path.c_str()) != 0 && errno != ENOENT)
    report->warnings.push_back("cannot remove " + path + ": " + std::strerror(errno));
}

}  // namespace

RegistrationSetup DefaultRegistrationSetup(const std::string& configFile) {
  RegistrationSetup setup;
  setup.system = geteuid() == 0;
  setup.program = SelfPath();
  setup.classDir = setup.system ? zyn::remote::SystemClassDir() : zyn::remote::UserClassDir();
  setup.configFile = configFile.empty() ? DefaultConfigPath() : configFile;
  setup.credentialsDir = DefaultCredentialsDir();
  if (SystemdInstalled()) setup.unitDir = UnitDir(setup.system);
  // Units in a folder systemd does not read (a test's) must not be enabled on the real system.
  const bool standardPlace = !setup.system || UnitDir(true) == "/etc/systemd/system";
  setup.runSystemctl = !setup.unitDir.empty() && SystemdRunning() && standardPlace;
  return setup;
}

bool RegisterServer(const RegistrationSetup& setup, RegistrationReport* report,
                    std::string* error) {
  if (setup.program.empty() || setup.program.front() != '/') {
    *error = "cannot tell the program's own path";
    return false;
  }
  if (!zyn::remote::WriteClassFile(setup.classDir, ServerClassFile(setup.program), error))
    return false;

  bool wroteConfig = false;
  if (!Exists(setup.configFile)) {
    if (!zyn::remote::MakeDirs(Parent(setup.configFile), 0755) ||
        !zyn::remote::WriteFile(setup.configFile, ConfigTemplate(), 0644)) {
      *error = "cannot write " + setup.configFile;
      return false;
    }
    wroteConfig = true;
  }
  ServerConfig config;
  if (!LoadConfig(setup.configFile, true, &config, &report->warnings, error)) return false;

  const std::string credentialsDir =
      config.credentialsDir.empty() ? setup.credentialsDir : config.credentialsDir;
  zyn::remote::EndpointCredentials credentials;
  if (!zyn::remote::LoadOrCreateEndpointCredentials(credentialsDir, &credentials, error))
    return false;

  std::string unitsLine;
  if (!setup.unitDir.empty()) {
    UnitFiles units = MakeUnitFiles({setup.system, setup.program, config.listen});
    report->warnings.insert(report->warnings.end(), units.warnings.begin(), units.warnings.end());
    const std::string socketPath = setup.unitDir + "/" + kSocketUnitName;
    const std::string servicePath = setup.unitDir + "/" + kServiceUnitName;
    if (!zyn::remote::MakeDirs(setup.unitDir, 0755) ||
        !zyn::remote::WriteFile(servicePath, units.service, 0644) ||
        !zyn::remote::WriteFile(socketPath, units.socket, 0644)) {
      // Registration stands without them: clients start the program themselves.
      report->warnings.push_back("cannot write the systemd units in " + setup.unitDir);
    } else {
      unitsLine = "systemd units: " + socketPath + ", " + servicePath;
      std::string why;
      if (setup.runSystemctl) {
        if (RunSystemctl(setup.system, {"daemon-reload"}, &why) &&
            RunSystemctl(setup.system, {"enable", "--now", kSocketUnitName}, &why)) {
          unitsLine += " (enabled)";
        } else {
          report->warnings.push_back(why);
        }
      } else {
        unitsLine += " (systemd does not run here: clients start the server themselves)";
      }
    }
  }

  std::string& t = report->text;
  t += std::string("Registered ") + zyn::kServerClassName + " (" + zyn::kServerProgId + ") " +
       (setup.system ? "for every user" : "for this user") + ": " + setup.classDir + "\n";
  if (!unitsLine.empty()) t += unitsLine + "\n";
  t += "Configuration: " + setup.configFile + (wroteConfig ? " (written)" : "") + "\n";
  if (config.listen.empty()) {
    t += "Observers on other machines: none (no listen address in the configuration)\n";
  } else {
    t += "Observers on other machines connect to:";
    for (const std::string& address : config.listen)
      t += " " + address;
    t += "\n";
  }
  t += "Access key (in " + credentialsDir + "/access.key):\n  " + credentials.accessKey + "\n";
  t += "An observer needs it to connect: either\n"
       "  zynwatch -m HOST --key " +
       credentials.accessKey +
       " list\n"
       "or copy it into the observer's ~/.config/zynwatch/machines/HOST/access.key\n"
       "(HOST is this machine's name or address, with :PORT when not the default port).\n";
  return true;
}

bool UnregisterServer(const RegistrationSetup& setup, RegistrationReport* report,
                      std::string* error) {
  if (!setup.unitDir.empty()) {
    const std::string socketPath = setup.unitDir + "/" + kSocketUnitName;
    const std::string servicePath = setup.unitDir + "/" + kServiceUnitName;
    std::string why;
    if (setup.runSystemctl && Exists(socketPath) &&
        !RunSystemctl(setup.system, {"disable", "--now", kSocketUnitName, kServiceUnitName},
                      &why)) {
      report->warnings.push_back(why);
    }
    RemoveIfPresent(socketPath, report);
    RemoveIfPresent(servicePath, report);
    if (setup.runSystemctl && !RunSystemctl(setup.system, {"daemon-reload"}, &why))
      report->warnings.push_back(why);
  }

  const std::string classFile =
      setup.classDir + "/" + com::GuidToString(CLSID_ZYNServer) + ".class";
  const bool registered = Exists(classFile);
  if (registered && !zyn::remote::RemoveClassFile(setup.classDir, CLSID_ZYNServer)) {
    *error = "cannot remove " + classFile + ": " + std::strerror(errno);
    return false;
  }
  rmdir(setup.classDir.c_str());  // only when empty: other classes may live there

  // The configuration goes only while it is the text registration wrote: edits are the
  // administrator's and stay.
  std::string text;
  bool configKept = false;
  if (zyn::remote::ReadFile(setup.configFile, &text)) {
    if (text == ConfigTemplate()) {
      RemoveIfPresent(setup.configFile, report);
    } else {
      configKept = true;
    }
  }

  std::string& t = report->text;
  t += std::string(registered ? "Unregistered " : "Was not registered: ") + zyn::kServerClassName +
       " (" + zyn::kServerProgId + ")\n";
  if (configKept) t += "The edited configuration " + setup.configFile + " stays.\n";
  t += "The access key and certificate stay (remove their folder by hand if no observer "
       "should connect again).\n";
  return true;
}

}  // namespace zyn::server
