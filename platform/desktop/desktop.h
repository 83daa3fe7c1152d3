// The desktop of the session a program runs in: message boxes, screen capture, locking the
// session, starting programs and opening documents.
//
// This header is the whole interface and needs no GUI library, so code that only calls it
// (and its tests, with a fake) stays free of Qt and X. MakeSystemDesktop builds the real one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zyn::desktop {

// A message box on screen. Destroying the handle closes the box if it is still shown.
class MessageBoxHandle {
 public:
  virtual ~MessageBoxHandle() = default;
  virtual bool IsShown() const = 0;
};

enum class CaptureTarget { kDesktop, kForeground };

// A captured picture as a device-independent bitmap: rows bottom-up, each padded to 4 bytes.
struct DibImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint16_t bitsPerPixel = 0;
  std::vector<std::uint8_t> bits;  // height * (((bitsPerPixel * width + 31) / 32) * 4) bytes
};

class Desktop {
 public:
  virtual ~Desktop() = default;

  // Whether a display is reachable; without one, message boxes and capture fail.
  virtual bool HasDisplay() const = 0;
  // Shows a warning box on top of other windows; it closes itself after timeoutMs. Null when
  // it cannot be shown.
  virtual std::unique_ptr<MessageBoxHandle> ShowMessageBox(const std::string& text,
                                                           const std::string& caption,
                                                           int timeoutMs) = 0;
  // Captures the whole screen or the active window (frame included), stretched to the given
  // size when one is given. False with *error when it cannot.
  virtual bool Capture(CaptureTarget target, std::optional<std::uint32_t> width,
                       std::optional<std::uint32_t> height, DibImage* out, std::string* error) = 0;
  // Asks the session manager or the screen saver to lock the session; true when accepted.
  virtual bool LockSession(std::string* error) = 0;
  // Starts `name` directly when it is an executable (a path, or found on PATH) with `params`
  // split into arguments as a shell would split them, without a shell; otherwise opens it as a
  // document or URL with the desktop's default handler. True when something started.
  virtual bool ExecuteOrOpen(const std::string& name, const std::string& params,
                             std::string* error) = 0;
  // "vendor release" of the display server, e.g. "The X.Org Foundation 12101007"; empty
  // without a display.
  virtual std::string DisplayServerDescription() = 0;
};

// The desktop of this session: the X display in DISPLAY, the session bus, the system bus.
// Call on the main thread after the Qt application object exists (a QApplication when a
// display is reachable, else a QCoreApplication). Never null: without a display HasDisplay()
// is false and the display functions fail.
std::unique_ptr<Desktop> MakeSystemDesktop();

}  // namespace zyn::desktop
