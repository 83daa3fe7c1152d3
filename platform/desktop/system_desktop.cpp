// The desktop of the session this program runs in, put together from its parts.
#include "platform/desktop/desktop.h"
#include "platform/desktop/launcher.h"
#include "platform/desktop/message_box.h"
#include "platform/desktop/session_lock.h"
#include "platform/desktop/x_capture.h"

namespace zyn::desktop {

namespace {

class SystemDesktop final : public Desktop {
 public:
  bool HasDisplay() const override { return XDisplayAnswers(); }

  std::unique_ptr<MessageBoxHandle> ShowMessageBox(const std::string& text,
                                                   const std::string& caption,
                                                   int timeoutMs) override {
    if (!XDisplayAnswers()) return nullptr;
    return ShowQtMessageBox(text, caption, timeoutMs);
  }

  bool Capture(CaptureTarget target, std::optional<std::uint32_t> width,
               std::optional<std::uint32_t> height, DibImage* out, std::string* error) override {
    return CaptureX(target, width, height, out, error);
  }

  bool LockSession(std::string* error) override { return LockSessionOverDBus(error); }

  bool ExecuteOrOpen(const std::string& name, const std::string& params,
                     std::string* error) override {
    return ExecuteOrOpenPath(name, params, error);
  }

  std::string DisplayServerDescription() override { return XServerDescription(); }
};

}  // namespace

std::unique_ptr<Desktop> MakeSystemDesktop() {
  return std::make_unique<SystemDesktop>();
}

}  // namespace zyn::desktop
