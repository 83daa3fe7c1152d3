// What the program uses of a desktop session, free of any GUI library.
//
// The implementation lives in the desktop module (zynserver-desktop.so), which the program
// loads only when an X display answers, so a server without a display never maps the GUI
// toolkit, its fonts, its GL and its X libraries. The module and the program are built
// together from this header; kDesktopSessionVersion guards against a module of another build
// whose classes would not match.
#pragma once

#include <memory>
#include <string>

#include "server/process/main_loop.h"

namespace zyn::desktop {
class Desktop;
}

namespace zyn::server {

// The server's icon in the desktop's notification area: the tray's add, modify and delete
// with the server's own icon. See platform/tray/tray.h for what each does with text and type.
class TrayIcon {
 public:
  // Removes the icon.
  virtual ~TrayIcon() = default;

  // Shows the icon with the server's icon picture; the loop's thread (the picture is drawn).
  virtual void Add(const std::string& text, int type) = 0;
  // Any thread.
  virtual void Modify(const std::string& text, int type) = 0;
  virtual void Delete() = 0;
  // Whether the desktop shows balloons; any thread.
  virtual bool CanShowMessages() const = 0;
};

// The desktop session of the program: the GUI application object and its event loop.
class DesktopSession {
 public:
  // Ends the GUI application; everything made from the session must be gone before.
  virtual ~DesktopSession() = default;

  // The toolkit's event loop as the program's main loop.
  virtual MainLoop& Loop() = 0;
  virtual std::unique_ptr<TrayIcon> MakeTrayIcon() = 0;
  // The session's desktop for the messenger (message boxes, capture, lock, starting programs).
  virtual std::unique_ptr<zyn::desktop::Desktop> MakeDesktop() = 0;
  // Shows a critical message box with an OK button and waits until it is closed.
  virtual void ShowCriticalMessage(const std::string& caption, const std::string& text) = 0;
};

// Bumped whenever a class above changes.
inline constexpr int kDesktopSessionVersion = 1;

// The module's one exported function: makes the session into *out, or leaves it empty and
// returns false when `version` is not the module's. `argc` and `argv` are the program's; argc
// must outlive the session (the application object keeps a reference to it). Call on the main
// thread, once per process.
using MakeDesktopSessionFunction = bool(int version, int* argc, char** argv,
                                        std::unique_ptr<DesktopSession>* out);
inline constexpr char kMakeDesktopSessionSymbol[] = "zyn_make_desktop_session";
inline constexpr char kDesktopModuleFile[] = "zynserver-desktop.so";

}  // namespace zyn::server
