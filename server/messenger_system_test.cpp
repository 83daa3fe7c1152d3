// The messenger of a server object over the real desktop of a private X display.
#include <gtest/gtest.h>

#include <memory>

#include "platform/com/bstr.h"
#include "platform/com/safearray.h"
#include "platform/com/taskmem.h"
#include "platform/com/variant.h"
#include "platform/desktop/desktop.h"
#include "server/messenger_environment.h"
#include "server/opc_server.h"
#include "server/snapshot_fixture.h"
#include "tests/support/session_env.h"

namespace {

using zyn::testing::XvfbDisplay;

class MessengerSystemTest : public SnapshotTest {
 protected:
  void SetUp() override {
    if (!XvfbDisplay::Available()) GTEST_SKIP() << "Xvfb is not installed";
    SnapshotTest::SetUp();
    display_ = std::make_unique<XvfbDisplay>(1024, 768, 24);
    ASSERT_TRUE(display_->ok()) << display_->error();
    desktop_ = zyn::desktop::MakeSystemDesktop();
    MessengerEnvironment environment;
    environment.desktop = desktop_.get();
    SetMessengerEnvironment(std::move(environment));
    server_ = OpcServer::Create();
    ASSERT_TRUE(server_);
    ASSERT_EQ(server_->QueryInterface(IID_IZYNMessenger, messenger_.ReleaseAndGetVoidAddressOf()),
              S_OK);
  }
  void TearDown() override {
    messenger_ = nullptr;
    server_ = nullptr;
    SetMessengerEnvironment({});
    desktop_.reset();
    display_.reset();
    if (!IsSkipped()) SnapshotTest::TearDown();
  }

  std::unique_ptr<XvfbDisplay> display_;
  std::unique_ptr<zyn::desktop::Desktop> desktop_;
  com::ComPtr<OpcServer> server_;
  com::ComPtr<IZYNMessenger> messenger_;
};

TEST_F(MessengerSystemTest, ScreenShotOfTheWholeScreen) {
  BYTE* data = nullptr;
  DWORD size = 0;
  tagZYNMBITMAPINFO* info = nullptr;
  ASSERT_EQ(messenger_->GetScreenShot(&data, &size, &info, nullptr, nullptr, WT_DESKTOP), S_OK);
  com::TaskMem<BYTE> ownData(data);
  com::TaskMem<tagZYNMBITMAPINFO> ownInfo(info);
  EXPECT_EQ(info->bmiHeader.biWidth, 1024);
  EXPECT_EQ(info->bmiHeader.biHeight, 768);
  EXPECT_EQ(info->bmiHeader.biBitCount, 32);
  EXPECT_EQ(size, 3145728u);

  const DWORD width = 200, height = 150;
  BYTE* small = nullptr;
  tagZYNMBITMAPINFO* smallInfo = nullptr;
  ASSERT_EQ(messenger_->GetScreenShot(&small, &size, &smallInfo, &width, &height, WT_FOREGROUND),
            S_OK);
  com::TaskMem<BYTE> ownSmall(small);
  com::TaskMem<tagZYNMBITMAPINFO> ownSmallInfo(smallInfo);
  EXPECT_EQ(size, 150u * 800);

  EXPECT_EQ(messenger_->GetScreenShot(&small, &size, &smallInfo, nullptr, nullptr,
                                      static_cast<tagZYNWINDOWTYPE>(0)),
            E_INVALIDARG);
}

TEST_F(MessengerSystemTest, SystemInformationNamesTheXServer) {
  com::Variant captions, descriptions, usage;
  ASSERT_EQ(messenger_->GetSysInfo(captions.put(), descriptions.put(), usage.put()), S_OK);
  const std::string server = desktop_->DisplayServerDescription();
  EXPECT_FALSE(server.empty());
  LONG index = 4;
  BSTR components = nullptr;
  ASSERT_EQ(SafeArrayGetElement(descriptions.get()->parray, &index, &components), S_OK);
  EXPECT_NE(std::string(components).find("X server " + server), std::string::npos) << components;
  SysFreeString(components);
}

}  // namespace
