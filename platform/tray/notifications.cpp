#include "platform/tray/notifications.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include "platform/tray/tray_text.h"

namespace zyn::tray {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
// How long the start-up questions to the bus may take; a bus that does not answer means no
// balloons rather than a server that hangs.
constexpr int kQueryTimeoutMs = 2000;

}  // namespace

DesktopNotifications::DesktopNotifications() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  QDBusConnectionInterface* names = bus.interface();
  if (!names) return;
  available_ = names->isServiceRegistered(kService).value();
  if (!available_) {
    QDBusMessage list = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ListActivatableNames"));
    QDBusMessage reply = bus.call(list, QDBus::Block, kQueryTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
      available_ = reply.arguments().first().toStringList().contains(kService);
  }
  if (!available_) return;
  QDBusMessage capabilities =
      QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("GetCapabilities"));
  QDBusMessage reply = bus.call(capabilities, QDBus::Block, kQueryTimeoutMs);
  if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
    markup_ = reply.arguments().first().toStringList().contains(QStringLiteral("body-markup"));
}

void DesktopNotifications::Show(const QString& title, const QString& body, const QString& iconName,
                                int timeoutMs) {
  if (!available_) return;
  const QString text = markup_ ? QString::fromStdString(EscapeMarkup(body.toStdString())) : body;
  QDBusMessage notify =
      QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
  notify << QString::fromUtf8(kBalloonTitle) << lastId_.load() << iconName << title << text
         << QStringList() << QVariantMap() << timeoutMs;
  auto* watcher =
      new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(notify), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
    QDBusPendingReply<unsigned> reply = *call;
    if (reply.isValid()) lastId_.store(reply.value());
    call->deleteLater();
  });
}

}  // namespace zyn::tray
