#include "platform/desktop/message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QString>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <memory>

namespace zyn::desktop {

namespace {

// Widgets die on their own thread, after the events they may still be handling.
struct DeleteLater {
  void operator()(QObject* object) const { object->deleteLater(); }
};

// What the handle and the box's own signals share. `box` is touched only on the GUI thread;
// `shown` is read from any.
struct BoxState {
  std::unique_ptr<QMessageBox, DeleteLater> box;
  std::atomic<bool> shown{false};
};

bool OnGuiThread() {
  return QThread::currentThread() == qApp->thread();
}

// Hides and releases the box; safe to reach again from a signal the hiding emits.
void CloseBox(BoxState& state) {
  std::unique_ptr<QMessageBox, DeleteLater> box = std::move(state.box);
  state.shown = false;
  if (box) box->hide();
}

class QtMessageBoxHandle final : public MessageBoxHandle {
 public:
  explicit QtMessageBoxHandle(std::shared_ptr<BoxState> state) : state_(std::move(state)) {}
  ~QtMessageBoxHandle() override {
    if (!qApp) return;
    if (OnGuiThread()) {
      CloseBox(*state_);
    } else {
      // Not waited for: the GUI thread may itself be waiting for the thread that drops the
      // handle. The posted call holds the state, so the box is released either way.
      QMetaObject::invokeMethod(
          qApp, [state = state_] { CloseBox(*state); }, Qt::QueuedConnection);
    }
  }
  bool IsShown() const override { return state_->shown; }

 private:
  std::shared_ptr<BoxState> state_;
};

// Runs on the GUI thread.
std::shared_ptr<BoxState> Show(const QString& text, const QString& caption, int timeoutMs) {
  auto state = std::make_shared<BoxState>();
  state->box.reset(
      std::make_unique<QMessageBox>(QMessageBox::Warning, caption, text, QMessageBox::Ok)
          .release());
  QMessageBox* box = state->box.get();
  // The text comes from a remote client: shown as written, never interpreted as markup.
  box->setTextFormat(Qt::PlainText);
  // In this order: setting the modality resets the window flags.
  box->setWindowModality(Qt::NonModal);
  box->setWindowFlag(Qt::WindowStaysOnTopHint, true);
  std::weak_ptr<BoxState> weak = state;
  QObject::connect(box, &QDialog::finished, box, [weak] {
    if (auto s = weak.lock()) CloseBox(*s);
  });
  QTimer::singleShot(std::max(timeoutMs, 0), box, [weak] {
    if (auto s = weak.lock()) CloseBox(*s);
  });
  box->show();
  box->raise();
  box->activateWindow();
  state->shown = true;
  return state;
}

}  // namespace

std::unique_ptr<MessageBoxHandle> ShowQtMessageBox(const std::string& text,
                                                   const std::string& caption, int timeoutMs) {
  if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return nullptr;
  const QString qtext = QString::fromStdString(text);
  const QString qcaption = QString::fromStdString(caption);
  std::shared_ptr<BoxState> state;
  if (OnGuiThread()) {
    state = Show(qtext, qcaption, timeoutMs);
  } else {
    QMetaObject::invokeMethod(
        qApp, [&] { state = Show(qtext, qcaption, timeoutMs); }, Qt::BlockingQueuedConnection);
  }
  if (!state) return nullptr;
  return std::make_unique<QtMessageBoxHandle>(std::move(state));
}

}  // namespace zyn::desktop
