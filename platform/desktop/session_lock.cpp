#include "platform/desktop/session_lock.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QString>
#include <atomic>
#include <cstdlib>

namespace zyn::desktop {

namespace {

// A lock request is answered at once by a working service; a hung one must not hold the
// server's apartment for long.
constexpr int kCallTimeoutMs = 5000;

// A private connection to one bus, closed when the object goes.
class BusConnection {
 public:
  BusConnection(QDBusConnection::BusType type, const char* addressVariable)
      : name_(QStringLiteral("zyn-lock-%1").arg(counter_.fetch_add(1))),
        connection_(Connect(type, addressVariable, name_)) {}
  ~BusConnection() { QDBusConnection::disconnectFromBus(name_); }
  BusConnection(const BusConnection&) = delete;
  BusConnection& operator=(const BusConnection&) = delete;

  // Calls a method without arguments; true on a reply, false with *error on an error.
  bool Call(const QString& service, const QString& path, const QString& interface,
            const QString& method, QString* error) {
    if (!connection_.isConnected()) {
      *error = connection_.lastError().message();
      if (error->isEmpty()) *error = QStringLiteral("the bus is not reachable");
      return false;
    }
    QDBusMessage reply =
        connection_.call(QDBusMessage::createMethodCall(service, path, interface, method),
                         QDBus::Block, kCallTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage) return true;
    *error = reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
    return false;
  }

 private:
  // The address variable is read now rather than once per process, as libdbus would.
  static QDBusConnection Connect(QDBusConnection::BusType type, const char* addressVariable,
                                 const QString& name) {
    const char* address = std::getenv(addressVariable);
    if (address && *address) return QDBusConnection::connectToBus(QString::fromUtf8(address), name);
    return QDBusConnection::connectToBus(type, name);
  }

  static inline std::atomic<int> counter_{0};
  QString name_;
  QDBusConnection connection_;
};

}  // namespace

bool LockSessionOverDBus(std::string* error) {
  QString loginError;
  {
    BusConnection system(QDBusConnection::SystemBus, "DBUS_SYSTEM_BUS_ADDRESS");
    if (system.Call(QStringLiteral("org.freedesktop.login1"),
                    QStringLiteral("/org/freedesktop/login1/session/auto"),
                    QStringLiteral("org.freedesktop.login1.Session"), QStringLiteral("Lock"),
                    &loginError))
      return true;
  }
  QString saverError;
  BusConnection session(QDBusConnection::SessionBus, "DBUS_SESSION_BUS_ADDRESS");
  for (const QString& path :
       {QStringLiteral("/org/freedesktop/ScreenSaver"), QStringLiteral("/ScreenSaver")}) {
    if (session.Call(QStringLiteral("org.freedesktop.ScreenSaver"), path,
                     QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("Lock"),
                     &saverError))
      return true;
  }
  if (error) {
    *error = "logind: " + loginError.toStdString() + "; screen saver: " + saverError.toStdString();
  }
  return false;
}

}  // namespace zyn::desktop
