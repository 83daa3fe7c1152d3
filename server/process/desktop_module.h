// Loading the desktop module, the one part of the program that maps the GUI toolkit.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "server/process/desktop_session.h"

namespace zyn::server {

class DesktopModule {
  struct Key {
    explicit Key() = default;
  };

 public:
  // Loads the module from the first of `paths` that holds a loadable one with the entry
  // point; null with *error (the loader's message for every path tried) otherwise.
  static std::unique_ptr<DesktopModule> Load(const std::vector<std::string>& paths,
                                             std::string* error);
  ~DesktopModule();
  DesktopModule(const DesktopModule&) = delete;
  DesktopModule& operator=(const DesktopModule&) = delete;

  // Makes the desktop session (the GUI application); null with *error when the module is of
  // another build. `argc` must outlive the session, and the module object must too.
  std::unique_ptr<DesktopSession> MakeSession(int& argc, char** argv, std::string* error);

  // Only Load makes one (Key is its own).
  DesktopModule(Key, void* handle, MakeDesktopSessionFunction* make)
      : handle_(handle), make_(make) {}

 private:
  void* handle_;
  MakeDesktopSessionFunction* make_;
};

// Where the program looks for the module, in order: the folder of the running executable
// (the build tree, or an installation that keeps both together), then the library folder the
// build installs it to.
std::vector<std::string> DesktopModulePaths();

}  // namespace zyn::server
