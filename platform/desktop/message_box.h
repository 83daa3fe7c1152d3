// The message box of the system desktop: a Qt warning box that stays on top, does not block
// the program, and closes itself after a time-out.
#pragma once

#include <memory>
#include <string>

#include "platform/desktop/desktop.h"

namespace zyn::desktop {

// Shows the box on the QApplication's thread: directly when called there, otherwise by
// waiting for that thread (whose event loop must then be running). Null when there is no
// QApplication. Any thread may destroy the handle; the box then closes on the GUI thread.
std::unique_ptr<MessageBoxHandle> ShowQtMessageBox(const std::string& text,
                                                   const std::string& caption, int timeoutMs);

}  // namespace zyn::desktop
