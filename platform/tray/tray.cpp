#include "platform/tray/tray.h"

#include <QCoreApplication>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QThread>

#include "platform/tray/notifications.h"
#include "platform/tray/tray_text.h"

namespace zyn::tray {

Tray::Tray(TrayOptions options)
    : options_(options),
      icon_(std::make_unique<QSystemTrayIcon>()),
      notifications_(std::make_unique<DesktopNotifications>()) {
  canShowMessages_.store(notifications_->Available());
}

Tray::~Tray() {
  icon_->hide();
}

void Tray::Notify(TrayMessage message, const QIcon* icon, const std::string& text, int type) {
  QIcon copy = icon ? *icon : QIcon();
  if (QThread::currentThread() == thread()) {
    Apply(message, copy, text, type);
    return;
  }
  QMetaObject::invokeMethod(
      this, [this, message, copy, text, type]() { Apply(message, copy, text, type); },
      Qt::QueuedConnection);
}

void Tray::Apply(TrayMessage message, const QIcon& icon, const std::string& text, int type) {
  if (message == TrayMessage::kDelete) {
    icon_->hide();
    return;
  }
  if (!icon.isNull()) icon_->setIcon(icon);
  if (type == kTipStatus && !text.empty()) {
    icon_->setToolTip(QString::fromStdString(UnixLineBreaks(CutToCharacters(text, kTooltipLimit))));
  }
  if (message == TrayMessage::kAdd) icon_->show();
  if (CanShowMessages()) {
    notifications_->Show(QString::fromStdString(CutToCharacters(kBalloonTitle, kTitleLimit)),
                         QString::fromStdString(UnixLineBreaks(BalloonText(text, type))),
                         QString::fromLatin1(BalloonIconName(type)), options_.balloonTimeoutMs);
  }
}

bool Tray::IconVisible() const {
  return icon_->isVisible();
}

QString Tray::Tooltip() const {
  return icon_->toolTip();
}

QIcon Tray::ServerIcon() {
  // A small gauge: a dark dial with a green needle, readable at 16 x 16 on light and dark
  // panels alike.
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(0x20, 0x30, 0x40), 1.2));
  painter.setBrush(QColor(0x34, 0x4a, 0x5e));
  painter.drawEllipse(QRectF(1, 1, 14, 14));
  painter.setPen(QPen(QColor(0x4c, 0xd9, 0x64), 2.0, Qt::SolidLine, Qt::RoundCap));
  painter.drawLine(QPointF(8, 9), QPointF(12, 4.5));
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0xe6, 0xe6, 0xe6));
  painter.drawEllipse(QRectF(6.5, 7.5, 3, 3));
  painter.end();
  return QIcon(pixmap);
}

}  // namespace zyn::tray
