#include "server/messenger.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/safearray.h"
#include "platform/com/taskmem.h"
#include "platform/com/variant.h"
#include "platform/desktop/desktop.h"
#include "server/messenger_environment.h"
#include "server/module_lock.h"
#include "server/opc_server.h"
#include "server/snapshot_fixture.h"

namespace {

using zyn::desktop::CaptureTarget;
using zyn::desktop::DibImage;
using zyn::desktop::MessageBoxHandle;

// A desktop that records what it is asked and answers as the test sets it up.
class FakeDesktop final : public zyn::desktop::Desktop {
 public:
  struct Box {
    std::string text;
    std::string caption;
    int timeoutMs;
    bool open = true;
  };
  struct CaptureCall {
    CaptureTarget target;
    std::optional<std::uint32_t> width, height;
  };

  bool HasDisplay() const override { return display; }

  std::unique_ptr<MessageBoxHandle> ShowMessageBox(const std::string& text,
                                                   const std::string& caption,
                                                   int timeoutMs) override {
    if (!canShowBoxes) return nullptr;
    boxes.push_back(std::make_shared<Box>(Box{text, caption, timeoutMs}));
    return std::make_unique<Handle>(boxes.back());
  }

  bool Capture(CaptureTarget target, std::optional<std::uint32_t> width,
               std::optional<std::uint32_t> height, DibImage* out, std::string* error) override {
    captures.push_back({target, width, height});
    if (!canCapture) {
      *error = "refused";
      return false;
    }
    out->width = width.value_or(screenWidth);
    out->height = height.value_or(screenHeight);
    out->bitsPerPixel = bitsPerPixel;
    const std::size_t row = (std::size_t{bitsPerPixel} * out->width + 31) / 32 * 4;
    out->bits.resize(row * out->height + extraBytes);
    for (std::size_t i = 0; i < out->bits.size(); ++i)
      out->bits[i] = static_cast<std::uint8_t>(i * 7);
    return true;
  }

  bool LockSession(std::string*) override {
    ++locks;
    return lockAccepted;
  }

  bool ExecuteOrOpen(const std::string& name, const std::string& params, std::string*) override {
    executed.push_back({name, params});
    return executeWorks;
  }

  std::string DisplayServerDescription() override { return display ? "Fake X 1" : ""; }

  std::size_t OpenBoxes() const {
    std::size_t n = 0;
    for (const auto& b : boxes)
      n += b->open;
    return n;
  }

  bool display = true;
  bool canShowBoxes = true;
  bool canCapture = true;
  std::uint32_t screenWidth = 1024, screenHeight = 768;
  std::uint16_t bitsPerPixel = 32;
  std::size_t extraBytes = 0;  // a faulty desktop's buffer that does not match its size
  bool lockAccepted = true;
  bool executeWorks = true;
  std::vector<std::shared_ptr<Box>> boxes;
  std::vector<CaptureCall> captures;
  int locks = 0;
  std::vector<std::pair<std::string, std::string>> executed;

 private:
  class Handle final : public MessageBoxHandle {
   public:
    explicit Handle(std::shared_ptr<Box> box) : box_(std::move(box)) {}
    ~Handle() override { box_->open = false; }
    bool IsShown() const override { return box_->open; }

   private:
    std::shared_ptr<Box> box_;
  };
};

// The messenger of a real server object, reached as a client reaches it.
class MessengerTest : public SnapshotTest {
 protected:
  void SetUp() override {
    SnapshotTest::SetUp();
    Install();
    server_ = OpcServer::Create();
    ASSERT_TRUE(server_);
    ASSERT_EQ(server_->QueryInterface(IID_IZYNMessenger, messenger_.ReleaseAndGetVoidAddressOf()),
              S_OK);
  }
  void TearDown() override {
    messenger_ = nullptr;
    server_ = nullptr;
    EXPECT_EQ(ModuleLock::Count(), 0);
    SetMessengerEnvironment({});
    SnapshotTest::TearDown();
  }
  // Puts the fake desktop, the recording tray and the permissions into the environment.
  void Install(bool withDesktop = true) {
    MessengerEnvironment environment;
    environment.desktop = withDesktop ? &desktop_ : nullptr;
    if (trayPresent_) {
      environment.showTip = [this](const std::string& text, int type) {
        tips_.push_back({text, type});
        return trayWorks_;
      };
    }
    environment.permissions = permissions_;
    SetMessengerEnvironment(std::move(environment));
  }

  struct Shot {
    HRESULT hr;
    BYTE* data = nullptr;
    DWORD size = 0;
    tagZYNMBITMAPINFO* info = nullptr;
    ~Shot() {
      CoTaskMemFree(data);
      CoTaskMemFree(info);
    }
  };
  std::unique_ptr<Shot> ScreenShot(const DWORD* width, const DWORD* height,
                                   tagZYNMBITMAPINFO** infoOut = nullptr) {
    auto shot = std::make_unique<Shot>();
    shot->data = reinterpret_cast<BYTE*>(0x1);  // must be reset even on failure
    shot->info = nullptr;
    shot->hr =
        messenger_->GetScreenShot(&shot->data, &shot->size, &shot->info, width, height, WT_DESKTOP);
    if (infoOut) *infoOut = shot->info;
    return shot;
  }

  FakeDesktop desktop_;
  MessengerPermissions permissions_;
  bool trayPresent_ = true;
  bool trayWorks_ = true;
  std::vector<std::pair<std::string, int>> tips_;
  com::ComPtr<OpcServer> server_;
  com::ComPtr<IZYNMessenger> messenger_;
};

TEST_F(MessengerTest, MessageBoxesReplaceEachOtherAndEndWithTheObject) {
  ASSERT_EQ(messenger_->ShowMessage("first"), S_OK);
  ASSERT_EQ(desktop_.boxes.size(), 1u);
  EXPECT_EQ(desktop_.boxes[0]->text, "first");
  EXPECT_EQ(desktop_.boxes[0]->caption, "ZYN Server Messenger");
  EXPECT_EQ(desktop_.boxes[0]->timeoutMs, 10000);  // an unattended box closes after 10 s

  ASSERT_EQ(messenger_->ShowMessage("second"), S_OK);
  EXPECT_EQ(desktop_.OpenBoxes(), 1u);
  EXPECT_FALSE(desktop_.boxes[0]->open);
  EXPECT_TRUE(desktop_.boxes[1]->open);

  // Another server object's box is its own.
  com::ComPtr<OpcServer> other = OpcServer::Create();
  ASSERT_EQ(other->ShowMessage("other"), S_OK);
  EXPECT_EQ(desktop_.OpenBoxes(), 2u);
  other = nullptr;
  EXPECT_EQ(desktop_.OpenBoxes(), 1u);

  messenger_ = nullptr;
  server_ = nullptr;
  EXPECT_EQ(desktop_.OpenBoxes(), 0u);
}

TEST_F(MessengerTest, MessagesNobodyCanSeeAreNotReportedAsShown) {
  EXPECT_EQ(messenger_->ShowMessage(nullptr), E_INVALIDARG);
  desktop_.display = false;
  EXPECT_EQ(messenger_->ShowMessage("hello"), E_ACCESSDENIED);
  desktop_.display = true;
  desktop_.canShowBoxes = false;
  EXPECT_EQ(messenger_->ShowMessage("hello"), E_FAIL);
  Install(/*withDesktop=*/false);
  EXPECT_EQ(messenger_->ShowMessage("hello"), E_ACCESSDENIED);
  EXPECT_TRUE(desktop_.boxes.empty());
}

TEST_F(MessengerTest, TipsGoToTheTrayWithTheirType) {
  EXPECT_EQ(messenger_->ShowTipMessage("Disk almost full", ttWarnMessage), S_OK);
  EXPECT_EQ(messenger_->ShowTipMessage("Ünïcödé status", ttStatus), S_OK);
  EXPECT_EQ(messenger_->ShowTipMessage("odd", static_cast<tagTipType>(9)), S_OK);
  EXPECT_EQ(tips_, (std::vector<std::pair<std::string, int>>{
                       {"Disk almost full", 2}, {"Ünïcödé status", 1}, {"odd", 9}}));
  EXPECT_EQ(messenger_->ShowTipMessage(nullptr, ttStatus), E_INVALIDARG);

  trayWorks_ = false;
  Install();
  EXPECT_EQ(messenger_->ShowTipMessage("x", ttInfoMessage), E_NOTIMPL);
  trayPresent_ = false;
  Install();
  EXPECT_EQ(messenger_->ShowTipMessage("x", ttInfoMessage), E_NOTIMPL);
}

TEST_F(MessengerTest, ScreenShotHeaderAndBufferDescribeEachOther) {
  std::unique_ptr<Shot> shot = ScreenShot(nullptr, nullptr);
  ASSERT_EQ(shot->hr, S_OK);
  ASSERT_NE(shot->info, nullptr);
  const tagZYNMBITMAPINFOHEADER& h = shot->info->bmiHeader;
  EXPECT_EQ(h.biSize, 40u);
  EXPECT_EQ(h.biWidth, 1024);
  EXPECT_EQ(h.biHeight, 768);
  EXPECT_EQ(h.biPlanes, 1);
  EXPECT_EQ(h.biBitCount, 32);
  EXPECT_EQ(h.biCompression, 0u);
  EXPECT_EQ(h.biSizeImage, 0u);
  EXPECT_EQ(h.biXPelsPerMeter, 0);
  EXPECT_EQ(h.biYPelsPerMeter, 0);
  EXPECT_EQ(h.biClrUsed, 0u);
  EXPECT_EQ(h.biClrImportant, 0u);
  const tagZYNMRGBQUAD zero{};
  EXPECT_EQ(std::memcmp(&shot->info->bmiColors[0], &zero, sizeof zero), 0);
  EXPECT_EQ(shot->size, 3145728u);
  EXPECT_EQ(shot->data[1], 7);
  EXPECT_EQ(shot->data[3145727], static_cast<BYTE>(3145727u * 7));

  // A wanted size reaches the desktop, and the size formula pads the rows.
  desktop_.bitsPerPixel = 16;
  const DWORD width = 201, height = 150;
  shot = ScreenShot(&width, &height);
  ASSERT_EQ(shot->hr, S_OK);
  EXPECT_EQ(shot->info->bmiHeader.biWidth, 201);
  EXPECT_EQ(shot->info->bmiHeader.biBitCount, 16);
  EXPECT_EQ(shot->size, 150u * 404);
  ASSERT_EQ(desktop_.captures.size(), 2u);
  EXPECT_EQ(desktop_.captures[1].width, 201u);
  EXPECT_EQ(desktop_.captures[1].height, 150u);
  EXPECT_EQ(desktop_.captures[0].width, std::nullopt);

  BYTE* data = nullptr;
  DWORD size = 0;
  tagZYNMBITMAPINFO* info = nullptr;
  EXPECT_EQ(messenger_->GetScreenShot(&data, &size, &info, nullptr, nullptr, WT_FOREGROUND), S_OK);
  EXPECT_EQ(desktop_.captures.back().target, CaptureTarget::kForeground);
  CoTaskMemFree(data);
  CoTaskMemFree(info);
}

TEST_F(MessengerTest, ScreenShotChecksComeInOrder) {
  BYTE* data = nullptr;
  DWORD size = 0;
  tagZYNMBITMAPINFO* info = nullptr;
  // Missing outputs first, even where no desktop is reachable.
  Install(/*withDesktop=*/false);
  EXPECT_EQ(messenger_->GetScreenShot(nullptr, &size, &info, nullptr, nullptr, WT_DESKTOP),
            E_INVALIDARG);
  EXPECT_EQ(messenger_->GetScreenShot(&data, nullptr, &info, nullptr, nullptr, WT_DESKTOP),
            E_INVALIDARG);
  EXPECT_EQ(messenger_->GetScreenShot(&data, &size, nullptr, nullptr, nullptr, WT_DESKTOP),
            E_INVALIDARG);
  // Then the desktop, before the window type.
  EXPECT_EQ(messenger_->GetScreenShot(&data, &size, &info, nullptr, nullptr,
                                      static_cast<tagZYNWINDOWTYPE>(0)),
            E_ACCESSDENIED);
  Install();
  desktop_.display = false;
  EXPECT_EQ(messenger_->GetScreenShot(&data, &size, &info, nullptr, nullptr, WT_DESKTOP),
            E_ACCESSDENIED);
  desktop_.display = true;
  for (DWORD type : {0u, 3u})
    EXPECT_EQ(messenger_->GetScreenShot(&data, &size, &info, nullptr, nullptr,
                                        static_cast<tagZYNWINDOWTYPE>(type)),
              E_INVALIDARG);
  // Sizes no picture can have are refused before anything is captured.
  for (DWORD bad : {DWORD{0}, DWORD{40000}, DWORD{0xFFFFFFFF}})
    EXPECT_EQ(ScreenShot(&bad, nullptr)->hr, E_INVALIDARG) << bad;
  EXPECT_TRUE(desktop_.captures.empty());
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(info, nullptr);
}

TEST_F(MessengerTest, FailedScreenShotsHandOutNothing) {
  desktop_.canCapture = false;
  std::unique_ptr<Shot> shot = ScreenShot(nullptr, nullptr);
  EXPECT_EQ(shot->hr, E_FAIL);
  EXPECT_EQ(shot->data, nullptr);
  EXPECT_EQ(shot->info, nullptr);
  EXPECT_EQ(shot->size, 0u);

  // A picture whose buffer does not match its size, or that needs a colour table the header
  // cannot hold, is never handed out.
  desktop_.canCapture = true;
  desktop_.extraBytes = 3;
  EXPECT_EQ(ScreenShot(nullptr, nullptr)->hr, E_FAIL);
  desktop_.extraBytes = 0;
  desktop_.bitsPerPixel = 8;
  EXPECT_EQ(ScreenShot(nullptr, nullptr)->hr, E_FAIL);
}

TEST_F(MessengerTest, LockAndExecuteReportWhatTheDesktopDid) {
  EXPECT_EQ(messenger_->LockComputer(), S_OK);
  desktop_.lockAccepted = false;
  EXPECT_EQ(messenger_->LockComputer(), E_FAIL);
  EXPECT_EQ(desktop_.locks, 2);

  EXPECT_EQ(messenger_->Execute("/usr/bin/editor", "-n 'a b'"), S_OK);
  EXPECT_EQ(messenger_->Execute("notes.txt", nullptr), S_OK);
  desktop_.executeWorks = false;
  EXPECT_EQ(messenger_->Execute("missing.txt", ""), E_FAIL);
  EXPECT_EQ(messenger_->Execute(nullptr, "x"), E_INVALIDARG);
  EXPECT_EQ(desktop_.executed,
            (std::vector<std::pair<std::string, std::string>>{
                {"/usr/bin/editor", "-n 'a b'"}, {"notes.txt", ""}, {"missing.txt", ""}}));

  Install(/*withDesktop=*/false);
  EXPECT_EQ(messenger_->LockComputer(), E_FAIL);
  EXPECT_EQ(messenger_->Execute("x", ""), E_FAIL);
}

TEST_F(MessengerTest, SwitchedOffFunctionsAreDenied) {
  permissions_ = {false, false, false, false, false};
  Install();
  BYTE* data = nullptr;
  DWORD size = 0;
  tagZYNMBITMAPINFO* info = nullptr;
  EXPECT_EQ(messenger_->ShowMessage("m"), E_ACCESSDENIED);
  EXPECT_EQ(messenger_->ShowTipMessage("t", ttStatus), E_ACCESSDENIED);
  EXPECT_EQ(messenger_->GetScreenShot(&data, &size, &info, nullptr, nullptr, WT_DESKTOP),
            E_ACCESSDENIED);
  EXPECT_EQ(messenger_->LockComputer(), E_ACCESSDENIED);
  EXPECT_EQ(messenger_->Execute("x", ""), E_ACCESSDENIED);
  EXPECT_TRUE(desktop_.boxes.empty());
  EXPECT_TRUE(tips_.empty());
  EXPECT_TRUE(desktop_.captures.empty());
  EXPECT_EQ(desktop_.locks, 0);
  EXPECT_TRUE(desktop_.executed.empty());

  // Each switch is its own.
  permissions_.lock = true;
  Install();
  EXPECT_EQ(messenger_->LockComputer(), S_OK);
  EXPECT_EQ(messenger_->ShowMessage("m"), E_ACCESSDENIED);
}

// The strings of a VT_ARRAY of BSTR, or the numbers of one of VT_I4 as text.
std::vector<std::string> Elements(const VARIANT& v) {
  std::vector<std::string> out;
  if (v.vt != VT_ARRAY || v.parray == nullptr || SafeArrayGetDim(v.parray) != 1) return out;
  LONG lower = -1, upper = -1;
  SafeArrayGetLBound(v.parray, 1, &lower);
  SafeArrayGetUBound(v.parray, 1, &upper);
  if (lower != 0) return out;
  VARTYPE type = VT_EMPTY;
  SafeArrayGetVartype(v.parray, &type);
  for (LONG i = lower; i <= upper; ++i) {
    if (type == VT_BSTR) {
      BSTR text = nullptr;
      SafeArrayGetElement(v.parray, &i, &text);
      out.emplace_back(text ? text : "");
      SysFreeString(text);
    } else if (type == VT_I4) {
      LONG n = 0;
      SafeArrayGetElement(v.parray, &i, &n);
      out.push_back(std::to_string(n));
    }
  }
  return out;
}

TEST_F(MessengerTest, SystemInformationNamesTheDisplayServerWhenThereIsOne) {
  com::Variant captions, descriptions, usage;
  ASSERT_EQ(messenger_->GetSysInfo(captions.get(), descriptions.get(), usage.get()), S_OK);
  EXPECT_EQ(Elements(*captions.get()),
            (std::vector<std::string>{"General", "Processor", "Memory", "Hard Drive",
                                      "System Components", "Installed Software"}));
  std::vector<std::string> texts = Elements(*descriptions.get());
  ASSERT_EQ(texts.size(), 6u);
  EXPECT_NE(texts[4].find("X server Fake X 1"), std::string::npos) << texts[4];
  EXPECT_EQ(Elements(*usage.get()).size(), 6u);

  // Without a display, and with every function switched off, the report still comes.
  desktop_.display = false;
  permissions_ = {false, false, false, false, false};
  Install();
  com::Variant c2, d2, u2;
  ASSERT_EQ(messenger_->GetSysInfo(c2.get(), d2.get(), u2.get()), S_OK);
  texts = Elements(*d2.get());
  ASSERT_EQ(texts.size(), 6u);
  EXPECT_EQ(texts[4].find("X server"), std::string::npos) << texts[4];
}

TEST_F(MessengerTest, SystemInformationNeedsAllThreeOutputs) {
  com::Variant a, b, c;
  EXPECT_EQ(messenger_->GetSysInfo(nullptr, b.get(), c.get()), E_INVALIDARG);
  EXPECT_EQ(messenger_->GetSysInfo(a.get(), nullptr, c.get()), E_INVALIDARG);
  EXPECT_EQ(messenger_->GetSysInfo(a.get(), b.get(), nullptr), E_INVALIDARG);
  EXPECT_EQ(a.get()->vt, VT_EMPTY);
}

}  // namespace
