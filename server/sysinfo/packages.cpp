// Installed Software: the packages of dpkg's database.

#include <strings.h>

#include "server/sysinfo/categories.h"

namespace sysinfo {
namespace {

// Field names of a control file are case-insensitive.
bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The fields of one stanza that the list needs.
struct Stanza {
  std::string_view package;
  std::string_view version;
  std::string_view status;
};

// A Status field is "want flag state". The package is on the machine when its state is
// "installed", whatever is wanted of it: a package on hold ("hold ok installed") or one
// selected for removal that is still there ("deinstall ok installed") is installed software.
bool IsInstalled(std::string_view status) {
  std::size_t last = status.find_last_of(" \t");
  return last != std::string_view::npos && status.substr(last + 1) == "installed";
}

}  // namespace

SysInfoEntry InstalledSoftware(const RootTree& tree) {
  std::string list;
  auto status = tree.Read("/var/lib/dpkg/status");
  if (!status) return {"Installed Software", "", -1};

  Stanza stanza;
  auto finish = [&] {
    if (!stanza.package.empty() && IsInstalled(stanza.status)) {
      if (!list.empty()) list += '|';
      list += stanza.package;
      if (!stanza.version.empty()) {
        list += " (";
        list += stanza.version;
        list += ')';
      }
    }
    stanza = {};
  };

  std::string_view text(*status);
  while (!text.empty()) {
    std::string_view line = text.substr(0, text.find('\n'));
    text.remove_prefix(std::min(text.size(), line.size() + 1));
    if (Trim(line).empty()) {
      finish();
      continue;
    }
    // Continuation lines of multi-line fields (Description, Conffiles) start with white space.
    if (line.front() == ' ' || line.front() == '\t') continue;
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = line.substr(0, colon);
    std::string_view value = Trim(line.substr(colon + 1));
    if (EqualsIgnoringCase(name, "Package")) {
      stanza.package = value;
    } else if (EqualsIgnoringCase(name, "Version")) {
      stanza.version = value;
    } else if (EqualsIgnoringCase(name, "Status")) {
      stanza.status = value;
    }
  }
  finish();
  return {"Installed Software", std::move(list), -1};
}

}  // namespace sysinfo
