// Locking the session over D-Bus: logind's Session.Lock for the session of this process on
// the system bus, else the desktop's screen saver on the session bus.
#pragma once

#include <string>

namespace zyn::desktop {

// True when one of them accepted the request; false with *error naming why neither did.
// Each call opens its own bus connections from DBUS_SYSTEM_BUS_ADDRESS and
// DBUS_SESSION_BUS_ADDRESS as they are at that moment (the usual buses when unset), so it
// may run on any thread.
bool LockSessionOverDBus(std::string* error);

}  // namespace zyn::desktop
