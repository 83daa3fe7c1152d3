// The desktop module (zynserver-desktop.so): the desktop session on the GUI toolkit, loaded by
// the program only when a display answers.
#include <QApplication>
#include <QMessageBox>
#include <memory>
#include <string>
#include <type_traits>

#include "platform/desktop/desktop.h"
#include "platform/tray/tray.h"
#include "platform/tray/tray_text.h"
#include "server/process/desktop_session.h"
#include "server/process/qt_main_loop.h"

namespace zyn::server {
namespace {

class QtTrayIcon final : public TrayIcon {
 public:
  void Add(const std::string& text, int type) override {
    const QIcon icon = zyn::tray::Tray::ServerIcon();
    tray_.Notify(zyn::tray::TrayMessage::kAdd, &icon, text, type);
  }
  void Modify(const std::string& text, int type) override {
    tray_.Notify(zyn::tray::TrayMessage::kModify, nullptr, text, type);
  }
  void Delete() override {
    tray_.Notify(zyn::tray::TrayMessage::kDelete, nullptr, "", zyn::tray::kTipStatus);
  }
  bool CanShowMessages() const override { return tray_.CanShowMessages(); }

 private:
  zyn::tray::Tray tray_;
};

class QtDesktopSession final : public DesktopSession {
 public:
  QtDesktopSession(int& argc, char** argv) : app_(argc, argv), loop_(&app_) {
    // Message boxes of the messenger come and go; the last one closing must not end the server.
    QApplication::setQuitOnLastWindowClosed(false);
  }

  MainLoop& Loop() override { return loop_; }

  std::unique_ptr<TrayIcon> MakeTrayIcon() override { return std::make_unique<QtTrayIcon>(); }

  std::unique_ptr<zyn::desktop::Desktop> MakeDesktop() override {
    return zyn::desktop::MakeSystemDesktop();
  }

  void ShowCriticalMessage(const std::string& caption, const std::string& text) override {
    QMessageBox box(QMessageBox::Critical, QString::fromUtf8(caption), QString::fromUtf8(text),
                    QMessageBox::Ok);
    box.exec();
  }

 private:
  QApplication app_;
  QtMainLoop loop_;  // after the application: its notifiers go before it
};

}  // namespace
}  // namespace zyn::server

// Its name is kMakeDesktopSessionSymbol; the static_assert below keeps its type the header's.
extern "C" __attribute__((visibility("default"))) bool zyn_make_desktop_session(
    int version, int* argc, char** argv, std::unique_ptr<zyn::server::DesktopSession>* out) {
  if (version != zyn::server::kDesktopSessionVersion || !argc || !out) return false;
  *out = std::make_unique<zyn::server::QtDesktopSession>(*argc, argv);
  return true;
}

static_assert(
    std::is_same_v<decltype(zyn_make_desktop_session), zyn::server::MakeDesktopSessionFunction>);
