// A client of the desktop's notification service (org.freedesktop.Notifications) on the
// session bus.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>

namespace zyn::tray {

class DesktopNotifications : public QObject {
  Q_OBJECT

 public:
  // Asks the session bus whether the service exists or can be started; GUI thread.
  DesktopNotifications();

  bool Available() const { return available_; }

  // Shows a notification without waiting for the service; each one replaces the previous
  // one of this object. The body is escaped when the service reads markup.
  void Show(const QString& title, const QString& body, const QString& iconName, int timeoutMs);

 private:
  bool available_ = false;
  bool markup_ = false;
  std::atomic<unsigned> lastId_{0};
};

}  // namespace zyn::tray
