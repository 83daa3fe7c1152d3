// The server's icon in the desktop's notification area, its tooltip, and its balloons.
//
// The icon and tooltip are a QSystemTrayIcon; balloons go to the desktop's notification
// service (org.freedesktop.Notifications on the session bus). A desktop without that service
// has a tray that cannot show messages: the icon and tooltip work, balloons do not.
//
// Make the Tray on the GUI thread once the QApplication exists; Notify may be called from any
// thread (the work is queued to the GUI thread and never waits for it).
#pragma once

#include <QIcon>
#include <QObject>
#include <atomic>
#include <memory>
#include <string>

class QSystemTrayIcon;

namespace zyn::tray {

enum class TrayMessage { kAdd, kModify, kDelete };

class DesktopNotifications;

struct TrayOptions {
  // How long a balloon stays on screen.
  int balloonTimeoutMs = 5000;
};

class Tray : public QObject {
  Q_OBJECT

 public:
  explicit Tray(TrayOptions options = {});
  // Removes the icon.
  ~Tray() override;

  // add shows the icon (with `icon` when given), modify changes it, delete removes it. For a
  // status tip (type 1) with text the text becomes the tooltip. Unless deleting, a tray that
  // can show messages also shows the text in a balloon (see tray_text.h for its rules); the
  // balloon replaces the previous one rather than piling up. Any thread.
  void Notify(TrayMessage message, const QIcon* icon, const std::string& text, int type);

  // Whether the desktop can show balloons (it has a notification service); any thread.
  bool CanShowMessages() const { return canShowMessages_.load(); }

  // GUI thread: whether the icon is shown, and its tooltip.
  bool IconVisible() const;
  QString Tooltip() const;

  // The server's own 16 x 16 icon.
  static QIcon ServerIcon();

 private:
  void Apply(TrayMessage message, const QIcon& icon, const std::string& text, int type);

  const TrayOptions options_;
  std::unique_ptr<QSystemTrayIcon> icon_;
  std::unique_ptr<DesktopNotifications> notifications_;
  std::atomic<bool> canShowMessages_{false};
};

}  // namespace zyn::tray
