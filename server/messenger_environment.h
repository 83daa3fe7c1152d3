// What the messengers of this process may use: the desktop of the session the server runs in,
// the tray for balloons, and which remote-administration functions clients may call at all.
//
// The program sets it once at start, before the first server object exists, and clears it
// after the last one is gone; server objects read it on every call.
#pragma once

#include <functional>
#include <string>

namespace zyn::desktop {
class Desktop;
}

// Which remote-administration functions authenticated clients may use; all by default. A
// function that is switched off answers E_ACCESSDENIED.
struct MessengerPermissions {
  bool message = true;
  bool tip = true;
  bool screenShot = true;
  bool lock = true;
  bool execute = true;
};

struct MessengerEnvironment {
  // The session's desktop; null when no desktop is reachable (message boxes and screen shots
  // then answer E_ACCESSDENIED).
  zyn::desktop::Desktop* desktop = nullptr;
  // Shows `text` as a tray balloon of tip type `tipType` (1 status, 2 warning, 3 information,
  // 4 error); the status type also makes it the tooltip. False when the tray cannot show
  // messages (then the call answers E_NOTIMPL). Empty: there is no tray.
  std::function<bool(const std::string& text, int tipType)> showTip;
  MessengerPermissions permissions;
};

void SetMessengerEnvironment(MessengerEnvironment environment);
// A copy, so a caller never races the program replacing it.
MessengerEnvironment CurrentMessengerEnvironment();
