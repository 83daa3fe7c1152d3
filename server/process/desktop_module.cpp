#include "server/process/desktop_module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace zyn::server {

std::unique_ptr<DesktopModule> DesktopModule::Load(const std::vector<std::string>& paths,
                                                   std::string* error) {
  std::string errors;
  auto note = [&errors](const std::string& text) {
    if (!errors.empty()) errors += "; ";
    errors += text;
  };
  for (const std::string& path : paths) {
    // NODELETE: the module is never really unloaded. The toolkit leaves threads (the D-Bus
    // connection's) and exit-time handlers behind that run its code after the application
    // object is gone; unmapping it under them would crash the program as it ends. Closing the
    // handle only drops the reference.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
      const char* text = dlerror();
      note(text ? text : path + ": cannot be loaded");
      continue;
    }
    void* symbol = dlsym(handle, kMakeDesktopSessionSymbol);
    if (!symbol) {
      const char* text = dlerror();
      note(text ? text : path + ": no entry point");
      dlclose(handle);
      continue;
    }
    return std::make_unique<DesktopModule>(Key(), handle,
                                           reinterpret_cast<MakeDesktopSessionFunction*>(symbol));
  }
  if (error) *error = errors.empty() ? std::string("no module to load") : errors;
  return nullptr;
}

DesktopModule::~DesktopModule() {
  dlclose(handle_);
}

std::unique_ptr<DesktopSession> DesktopModule::MakeSession(int& argc, char** argv,
                                                           std::string* error) {
  std::unique_ptr<DesktopSession> session;
  if (!make_(kDesktopSessionVersion, &argc, argv, &session) || !session) {
    if (error) *error = "the desktop module belongs to another build of the program";
    return nullptr;
  }
  return session;
}

std::vector<std::string> DesktopModulePaths() {
  std::vector<std::string> paths;
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string folder(self, static_cast<std::size_t>(n));
    folder.erase(folder.rfind('/') + 1);
    paths.push_back(folder + kDesktopModuleFile);
  }
#ifdef ZYN_DESKTOP_MODULE_DIR
  const std::string installed = std::string(ZYN_DESKTOP_MODULE_DIR) + "/" + kDesktopModuleFile;
  if (std::find(paths.begin(), paths.end(), installed) == paths.end()) paths.push_back(installed);
#endif
  return paths;
}

}  // namespace zyn::server
