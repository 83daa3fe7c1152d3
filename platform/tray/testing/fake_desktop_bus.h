// Stand-ins for a desktop's session-bus services, for tests: a tray host (the status-notifier
// watcher that tray icons register with) and a notification service that records every
// notification. They serve the bus in DBUS_SESSION_BUS_ADDRESS (a private one, see
// tests/support/session_env.h) from a thread of their own, so a test may block while the code
// under test, in this process or another, talks to them. A QCoreApplication must exist.
#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QThread;

namespace zyn::testing {

struct RecordedNotification {
  std::string appName;
  unsigned replacesId = 0;
  std::string icon;
  std::string summary;
  std::string body;
  int timeoutMs = 0;
};

class FakeDesktopBus {
 public:
  struct Options {
    bool trayHost = true;
    bool notifications = true;
    bool bodyMarkup = false;  // the notification service claims to read markup
  };

  explicit FakeDesktopBus(Options options);
  ~FakeDesktopBus();
  FakeDesktopBus(const FakeDesktopBus&) = delete;
  FakeDesktopBus& operator=(const FakeDesktopBus&) = delete;

  // Whether every requested service got its name on the bus.
  bool ok() const { return ok_; }

  std::vector<RecordedNotification> Notifications() const;
  bool WaitForNotifications(std::size_t count, std::chrono::milliseconds limit) const;
  // The bus names tray icons registered under, in order.
  std::vector<std::string> TrayItems() const;
  bool WaitForTrayItems(std::size_t count, std::chrono::milliseconds limit) const;
  // Whether some connection owns `name` on the bus now.
  bool NameHasOwner(const std::string& name) const;

  // What the services record, shared with their thread.
  struct Record {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<RecordedNotification> notifications;
    std::vector<std::string> trayItems;
  };

 private:
  std::shared_ptr<Record> record_ = std::make_shared<Record>();
  std::unique_ptr<QThread> thread_;
  std::unique_ptr<QObject> watcher_;
  std::unique_ptr<QObject> notifications_;
  QString connectionName_;
  bool ok_ = false;
};

}  // namespace zyn::testing
