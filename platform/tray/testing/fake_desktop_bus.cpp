#include "platform/tray/testing/fake_desktop_bus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QStringList>
#include <QThread>
#include <QVariantMap>
#include <atomic>
#include <cstdlib>

namespace zyn::testing {
namespace {

std::atomic<int> gConnections{0};

}  // namespace

// The tray host: answers that a host is registered, so toolkits register their icons here.
class FakeStatusNotifierWatcher : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
  Q_PROPERTY(bool IsStatusNotifierHostRegistered READ IsStatusNotifierHostRegistered)
  Q_PROPERTY(int ProtocolVersion READ ProtocolVersion)
  Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ RegisteredStatusNotifierItems)

 public:
  explicit FakeStatusNotifierWatcher(std::shared_ptr<FakeDesktopBus::Record> record)
      : record_(std::move(record)) {}

  bool IsStatusNotifierHostRegistered() const { return true; }
  int ProtocolVersion() const { return 0; }
  QStringList RegisteredStatusNotifierItems() const {
    std::lock_guard lock(record_->mutex);
    QStringList out;
    for (const std::string& item : record_->trayItems)
      out << QString::fromStdString(item);
    return out;
  }

 public Q_SLOTS:
  void RegisterStatusNotifierItem(const QString& service) {
    {
      std::lock_guard lock(record_->mutex);
      record_->trayItems.push_back(service.toStdString());
    }
    record_->changed.notify_all();
  }
  void RegisterStatusNotifierHost(const QString&) {}

 private:
  std::shared_ptr<FakeDesktopBus::Record> record_;
};

class FakeNotificationService : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  FakeNotificationService(std::shared_ptr<FakeDesktopBus::Record> record, bool markup)
      : record_(std::move(record)), markup_(markup) {}

 public Q_SLOTS:
  QStringList GetCapabilities() {
    QStringList caps{QStringLiteral("body")};
    if (markup_) caps << QStringLiteral("body-markup");
    return caps;
  }
  unsigned Notify(const QString& appName, unsigned replacesId, const QString& icon,
                  const QString& summary, const QString& body, const QStringList&,
                  const QVariantMap&, int timeout) {
    RecordedNotification n{appName.toStdString(), replacesId,         icon.toStdString(),
                           summary.toStdString(), body.toStdString(), timeout};
    unsigned id;
    {
      std::lock_guard lock(record_->mutex);
      record_->notifications.push_back(n);
      id = replacesId ? replacesId : ++lastId_;
    }
    record_->changed.notify_all();
    return id;
  }
  void CloseNotification(unsigned) {}

 private:
  std::shared_ptr<FakeDesktopBus::Record> record_;
  bool markup_;
  unsigned lastId_ = 0;
};

FakeDesktopBus::FakeDesktopBus(Options options) {
  thread_ = std::make_unique<QThread>();
  thread_->start();
  connectionName_ = QStringLiteral("zyn-fake-desktop-%1").arg(gConnections.fetch_add(1));
  // The address is read now: the bus library remembers the session bus of a process's first
  // connection, and tests may start a new private bus for each case.
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  QDBusConnection bus =
      QDBusConnection::connectToBus(QString::fromUtf8(address ? address : ""), connectionName_);
  ok_ = bus.isConnected();
  if (options.trayHost && ok_) {
    watcher_ = std::make_unique<FakeStatusNotifierWatcher>(record_);
    watcher_->moveToThread(thread_.get());
    ok_ = bus.registerObject(
              QStringLiteral("/StatusNotifierWatcher"), watcher_.get(),
              QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties) &&
          bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
  }
  if (options.notifications && ok_) {
    notifications_ = std::make_unique<FakeNotificationService>(record_, options.bodyMarkup);
    notifications_->moveToThread(thread_.get());
    ok_ = bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), notifications_.get(),
                             QDBusConnection::ExportAllSlots) &&
          bus.registerService(QStringLiteral("org.freedesktop.Notifications"));
  }
}

FakeDesktopBus::~FakeDesktopBus() {
  QDBusConnection::disconnectFromBus(connectionName_);
  thread_->quit();
  thread_->wait();
  // The objects were moved to the thread that has ended; they are deleted here, unused.
  watcher_.reset();
  notifications_.reset();
}

std::vector<RecordedNotification> FakeDesktopBus::Notifications() const {
  std::lock_guard lock(record_->mutex);
  return record_->notifications;
}

bool FakeDesktopBus::WaitForNotifications(std::size_t count,
                                          std::chrono::milliseconds limit) const {
  std::unique_lock lock(record_->mutex);
  return record_->changed.wait_for(lock, limit,
                                   [&] { return record_->notifications.size() >= count; });
}

std::vector<std::string> FakeDesktopBus::TrayItems() const {
  std::lock_guard lock(record_->mutex);
  return record_->trayItems;
}

bool FakeDesktopBus::WaitForTrayItems(std::size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(record_->mutex);
  return record_->changed.wait_for(lock, limit, [&] { return record_->trayItems.size() >= count; });
}

bool FakeDesktopBus::NameHasOwner(const std::string& name) const {
  QDBusConnection bus(connectionName_);
  return bus.interface() && bus.interface()->isServiceRegistered(QString::fromStdString(name));
}

}  // namespace zyn::testing

#include "fake_desktop_bus.moc"
