// The tray on a private X display and a private session bus, with a stand-in tray host and
// notification service.
#include "platform/tray/tray.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "platform/tray/testing/fake_desktop_bus.h"
#include "platform/tray/tray_text.h"
#include "tests/support/session_env.h"

namespace zyn::tray {
namespace {

using namespace std::chrono_literals;
using zyn::testing::FakeDesktopBus;
using zyn::testing::RecordedNotification;

// Runs the GUI thread's events until `done` holds or the limit passes.
template <class Pred>
bool ProcessUntil(Pred done, std::chrono::milliseconds limit = 5000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class TrayTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!zyn::testing::XvfbDisplay::Available() || !zyn::testing::PrivateSessionBus::Available())
      return;
    display = new zyn::testing::XvfbDisplay();
    bus = new zyn::testing::PrivateSessionBus();
    if (!display->ok() || !bus->ok()) return;
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    static int argc = 1;
    static char name[] = "tray_test";
    static char* argv[] = {name, nullptr};
    app = new QApplication(argc, argv);
    // The toolkit asks for a tray host once per process, when the first icon is made.
    host = new FakeDesktopBus({.trayHost = true, .notifications = false});
  }
  static void TearDownTestSuite() {
    delete host;
    delete app;
    delete bus;
    delete display;
  }
  void SetUp() override {
    if (!zyn::testing::XvfbDisplay::Available()) GTEST_SKIP() << "Xvfb is not installed";
    if (!zyn::testing::PrivateSessionBus::Available()) GTEST_SKIP() << "dbus-daemon is missing";
    ASSERT_TRUE(display->ok()) << display->error();
    ASSERT_TRUE(bus->ok()) << bus->error();
    ASSERT_TRUE(host->ok());
  }

  static inline zyn::testing::XvfbDisplay* display = nullptr;
  static inline zyn::testing::PrivateSessionBus* bus = nullptr;
  static inline QApplication* app = nullptr;
  static inline FakeDesktopBus* host = nullptr;
};

TEST_F(TrayTest, IconTooltipAndBalloonsFollowTheNotifications) {
  FakeDesktopBus service({.trayHost = false, .notifications = true});
  ASSERT_TRUE(service.ok());
  const std::size_t itemsBefore = host->TrayItems().size();
  {
    Tray tray;
    EXPECT_TRUE(tray.CanShowMessages());
    const QIcon icon = Tray::ServerIcon();
    tray.Notify(TrayMessage::kAdd, &icon, "ZYN Server Running", kTipStatus);
    EXPECT_TRUE(tray.IconVisible());
    EXPECT_EQ(tray.Tooltip(), "ZYN Server Running");
    ASSERT_TRUE(ProcessUntil([&] { return host->TrayItems().size() > itemsBefore; }));
    const std::string item = host->TrayItems().back();
    EXPECT_TRUE(host->NameHasOwner(item));

    ASSERT_TRUE(ProcessUntil([&] { return service.Notifications().size() >= 1; }));
    RecordedNotification first = service.Notifications()[0];
    EXPECT_EQ(first.summary, "ZYN Server");
    EXPECT_EQ(first.body, "ZYN Server Running");
    EXPECT_EQ(first.icon, "dialog-information");
    EXPECT_EQ(first.replacesId, 0u);
    EXPECT_GE(first.timeoutMs, 1000);

    // A client list change: the tooltip lists the client, the balloon leaves out the first
    // line and replaces the previous balloon (once the service has told which one that is:
    // its answer arrives through the event loop, which a loaded machine may hold up a while).
    ProcessUntil([] { return false; }, 2000ms);
    tray.Notify(TrayMessage::kModify, nullptr,
                "ZYN Server Running\r\nConnected Clients:\r\nOBSERVER1", kTipStatus);
    EXPECT_EQ(tray.Tooltip(), "ZYN Server Running\nConnected Clients:\nOBSERVER1");
    ASSERT_TRUE(ProcessUntil([&] { return service.Notifications().size() >= 2; }));
    RecordedNotification second = service.Notifications()[1];
    EXPECT_EQ(second.body, "Connected Clients:\nOBSERVER1");
    EXPECT_NE(second.replacesId, 0u);

    // A warning tip from another thread: a balloon of its own kind; the tooltip stays.
    std::thread([&] {
      tray.Notify(TrayMessage::kModify, nullptr, "Disk almost full", kTipWarning);
    }).join();
    ASSERT_TRUE(ProcessUntil([&] { return service.Notifications().size() >= 3; }));
    EXPECT_EQ(service.Notifications()[2].icon, "dialog-warning");
    EXPECT_EQ(service.Notifications()[2].body, "Disk almost full");
    EXPECT_EQ(tray.Tooltip(), "ZYN Server Running\nConnected Clients:\nOBSERVER1");

    // A long client list is cut to the tooltip's 127 characters.
    std::string longList = "ZYN Server Running\r\nConnected Clients:";
    for (int i = 0; i < 30; ++i)
      longList += "\r\nOBSERVER" + std::to_string(i);
    tray.Notify(TrayMessage::kModify, nullptr, longList, kTipStatus);
    EXPECT_EQ(tray.Tooltip().toStdString(),
              UnixLineBreaks(CutToCharacters(longList, kTooltipLimit)));

    tray.Notify(TrayMessage::kDelete, nullptr, "", kTipStatus);
    EXPECT_FALSE(tray.IconVisible());
    EXPECT_TRUE(ProcessUntil([&] { return !host->NameHasOwner(item); }));
    // Deleting shows no balloon.
    QCoreApplication::processEvents();
    EXPECT_EQ(service.Notifications().size(), 4u);
  }
}

TEST_F(TrayTest, WithoutNotificationServiceTheIconStillWorks) {
  Tray tray;
  EXPECT_FALSE(tray.CanShowMessages());
  const QIcon icon = Tray::ServerIcon();
  tray.Notify(TrayMessage::kAdd, &icon, "ZYN Server Running\r\nNo Clients Connected", kTipStatus);
  EXPECT_TRUE(tray.IconVisible());
  EXPECT_EQ(tray.Tooltip(), "ZYN Server Running\nNo Clients Connected");
}

TEST_F(TrayTest, MarkupReadingServiceGetsEscapedNames) {
  FakeDesktopBus service({.trayHost = false, .notifications = true, .bodyMarkup = true});
  ASSERT_TRUE(service.ok());
  Tray tray;
  tray.Notify(TrayMessage::kModify, nullptr,
              "ZYN Server Running\r\nConnected Clients:\r\n<b>R&D</b>", kTipStatus);
  ASSERT_TRUE(ProcessUntil([&] { return service.Notifications().size() >= 1; }));
  EXPECT_EQ(service.Notifications()[0].body, "Connected Clients:\n&lt;b&gt;R&amp;D&lt;/b&gt;");
}

}  // namespace
}  // namespace zyn::tray
