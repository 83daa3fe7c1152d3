#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "platform/desktop/desktop.h"
#include "tests/support/session_env.h"

namespace zyn::desktop {
namespace {

using testing::XvfbDisplay;

// One display and one QApplication for the suite: Qt keeps one per process.
class MessageBoxTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!XvfbDisplay::Available()) return;
    display_ = std::make_unique<XvfbDisplay>(800, 600, 24);
    if (!display_->ok()) return;
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    app_ = std::make_unique<QApplication>(argc_, argv_);
  }
  static void TearDownTestSuite() {
    app_.reset();
    display_.reset();
  }
  void SetUp() override {
    if (!XvfbDisplay::Available()) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(display_->ok()) << display_->error();
    desktop_ = MakeSystemDesktop();
  }
  void TearDown() override {
    // Nothing a test showed outlives it.
    if (app_) ProcessUntil([] { return VisibleBoxes().empty(); }, std::chrono::seconds(2));
  }

  static std::vector<QMessageBox*> VisibleBoxes() {
    std::vector<QMessageBox*> boxes;
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(w);
      if (box && box->isVisible()) boxes.push_back(box);
    }
    return boxes;
  }

  // Runs the event loop until `done` holds or the time is up; the result of `done`.
  static bool ProcessUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
  }

  static inline std::unique_ptr<XvfbDisplay> display_;
  static inline int argc_ = 1;
  static inline char arg0_[] = "desktop_display_test";
  static inline char* argv_[] = {arg0_, nullptr};
  static inline std::unique_ptr<QApplication> app_;
  std::unique_ptr<Desktop> desktop_;
};

TEST_F(MessageBoxTest, ShowsAWarningOnTopThatDoesNotBlock) {
  std::unique_ptr<MessageBoxHandle> handle =
      desktop_->ShowMessageBox("<b>not bold</b> & more", "ZYN Server Messenger", 10000);
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(handle->IsShown());
  std::vector<QMessageBox*> boxes = VisibleBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  QMessageBox* box = boxes[0];
  EXPECT_EQ(box->windowTitle(), "ZYN Server Messenger");
  EXPECT_EQ(box->text(), "<b>not bold</b> & more");
  EXPECT_EQ(box->textFormat(), Qt::PlainText);  // a client's text is never markup
  EXPECT_EQ(box->icon(), QMessageBox::Warning);
  EXPECT_TRUE(box->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_FALSE(box->isModal());

  // Destroying the handle closes the box.
  handle.reset();
  EXPECT_TRUE(ProcessUntil([] { return VisibleBoxes().empty(); }, std::chrono::seconds(2)));
}

TEST_F(MessageBoxTest, ClosesItselfAfterItsTimeOut) {
  const auto start = std::chrono::steady_clock::now();
  std::unique_ptr<MessageBoxHandle> handle = desktop_->ShowMessageBox("soon gone", "c", 300);
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(ProcessUntil([&] { return !handle->IsShown(); }, std::chrono::seconds(3)));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(280));
  EXPECT_TRUE(ProcessUntil([] { return VisibleBoxes().empty(); }, std::chrono::seconds(1)));
}

TEST_F(MessageBoxTest, ClosingByTheUserIsSeenByTheHandle) {
  std::unique_ptr<MessageBoxHandle> handle = desktop_->ShowMessageBox("click", "c", 10000);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(VisibleBoxes().size(), 1u);
  VisibleBoxes()[0]->button(QMessageBox::Ok)->click();
  EXPECT_TRUE(ProcessUntil([&] { return !handle->IsShown(); }, std::chrono::seconds(2)));
}

TEST_F(MessageBoxTest, WorksFromAnotherThread) {
  std::unique_ptr<MessageBoxHandle> handle;
  bool done = false;
  std::thread caller([&] {
    handle = desktop_->ShowMessageBox("from a thread", "c", 10000);
    done = true;
  });
  // The caller waits for this thread's event loop.
  std::atomic<bool> finished{false};
  std::thread watcher([&] {
    caller.join();
    finished = true;
  });
  EXPECT_TRUE(ProcessUntil([&] { return finished.load(); }, std::chrono::seconds(5)));
  watcher.join();
  ASSERT_TRUE(done);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(VisibleBoxes().size(), 1u);
  std::thread dropper([&] { handle.reset(); });
  dropper.join();
  EXPECT_TRUE(ProcessUntil([] { return VisibleBoxes().empty(); }, std::chrono::seconds(2)));
}

}  // namespace
}  // namespace zyn::desktop
