#include "platform/desktop/session_lock.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "tests/support/session_env.h"

namespace zyn::desktop {
namespace {

using testing::PrivateSessionBus;

// A D-Bus object that records the calls it gets and answers each with an empty reply, or with
// an error when told to.
class FakeService final : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    calls.push_back(message.path() + " " + message.interface() + "." + message.member());
    connection.send(refuse ? message.createErrorReply(QDBusError::AccessDenied, "not now")
                           : message.createReply());
    return true;
  }
  std::vector<QString> calls;
  bool refuse = false;
};

// A service name with objects, on its own connection to a bus.
class Service {
 public:
  Service(const std::string& address, const QString& name) : name_(name) {
    static int count = 0;
    connectionName_ = QStringLiteral("fake-service-%1").arg(++count);
    connection_ = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(QString::fromStdString(address), connectionName_));
    EXPECT_TRUE(connection_->isConnected());
    EXPECT_TRUE(connection_->registerService(name));
  }
  ~Service() {
    connection_.reset();
    QDBusConnection::disconnectFromBus(connectionName_);
  }
  void Add(const QString& path, FakeService* object) {
    EXPECT_TRUE(connection_->registerVirtualObject(path, object));
  }

 private:
  QString name_;
  QString connectionName_;
  std::unique_ptr<QDBusConnection> connection_;
};

class SessionLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!PrivateSessionBus::Available()) GTEST_SKIP() << "dbus-daemon is not installed";
    // A "system" bus of our own first, then the session bus: the real ones are never asked.
    system_ = std::make_unique<PrivateSessionBus>();
    ASSERT_TRUE(system_->ok()) << system_->error();
    systemAddress_.Set("DBUS_SYSTEM_BUS_ADDRESS", system_->address());
    session_ = std::make_unique<PrivateSessionBus>();
    ASSERT_TRUE(session_->ok()) << session_->error();
  }
  void TearDown() override {
    session_.reset();
    systemAddress_.Restore();
    system_.reset();
  }

  // Locks from another thread while this one runs the event loop the fake services answer on.
  bool Lock(std::string* error) {
    std::atomic<bool> done{false};
    bool result = false;
    std::thread caller([&] {
      result = LockSessionOverDBus(error);
      done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(12);
    while (!done && std::chrono::steady_clock::now() < deadline)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    caller.join();
    return result;
  }

  static inline int argc_ = 1;
  static inline char arg0_[] = "desktop_lock_test";
  static inline char* argv_[] = {arg0_, nullptr};
  QCoreApplication app_{argc_, argv_};
  std::unique_ptr<PrivateSessionBus> system_;
  testing::session_env_detail::ScopedEnv systemAddress_;
  std::unique_ptr<PrivateSessionBus> session_;
};

TEST_F(SessionLockTest, AsksLogindForThisProcesssSession) {
  FakeService session, saver;
  Service login(system_->address(), "org.freedesktop.login1");
  login.Add("/org/freedesktop/login1/session/auto", &session);
  Service screenSaver(session_->address(), "org.freedesktop.ScreenSaver");
  screenSaver.Add("/org/freedesktop/ScreenSaver", &saver);
  std::string error;
  EXPECT_TRUE(Lock(&error)) << error;
  EXPECT_EQ(session.calls, std::vector<QString>{"/org/freedesktop/login1/session/auto "
                                                "org.freedesktop.login1.Session.Lock"});
  EXPECT_TRUE(saver.calls.empty());
}

TEST_F(SessionLockTest, FallsBackToTheScreenSaverAtEitherPath) {
  FakeService saver;
  {
    Service screenSaver(session_->address(), "org.freedesktop.ScreenSaver");
    screenSaver.Add("/org/freedesktop/ScreenSaver", &saver);
    std::string error;
    EXPECT_TRUE(Lock(&error)) << error;
    EXPECT_EQ(saver.calls, std::vector<QString>{"/org/freedesktop/ScreenSaver "
                                                "org.freedesktop.ScreenSaver.Lock"});
  }
  saver.calls.clear();
  Service older(session_->address(), "org.freedesktop.ScreenSaver");
  older.Add("/ScreenSaver", &saver);
  std::string error;
  EXPECT_TRUE(Lock(&error)) << error;
  EXPECT_EQ(saver.calls, std::vector<QString>{"/ScreenSaver org.freedesktop.ScreenSaver.Lock"});
}

TEST_F(SessionLockTest, FailsWhenNobodyAccepts) {
  std::string error;
  EXPECT_FALSE(Lock(&error));
  EXPECT_NE(error.find("logind"), std::string::npos) << error;

  // A refusal is a failure too, not a lock.
  FakeService session;
  session.refuse = true;
  Service login(system_->address(), "org.freedesktop.login1");
  login.Add("/org/freedesktop/login1/session/auto", &session);
  EXPECT_FALSE(Lock(&error));
  EXPECT_EQ(session.calls.size(), 1u);
}

}  // namespace
}  // namespace zyn::desktop
