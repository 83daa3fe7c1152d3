#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

#include "platform/desktop/desktop.h"
#include "platform/desktop/dib.h"
#include "platform/desktop/x_connection.h"
#include "tests/support/session_env.h"

namespace zyn::desktop {
namespace {

using testing::XvfbDisplay;

// Draws on the test's display through a connection of its own, as another program would.
class Painter {
 public:
  Painter() { EXPECT_TRUE(x_.ok()); }

  // The display's pixel value for a colour (works on direct and indexed visuals).
  std::uint32_t Pixel(std::uint16_t r, std::uint16_t g, std::uint16_t b) {
    XReply<xcb_alloc_color_reply_t> c(xcb_alloc_color_reply(
        x_.get(), xcb_alloc_color(x_.get(), x_.screen()->default_colormap, r, g, b), nullptr));
    EXPECT_TRUE(c);
    return c ? c->pixel : 0;
  }

  // A window with a plain background, mapped at once.
  xcb_window_t Window(xcb_window_t parent, int x, int y, int w, int h, std::uint32_t background,
                      int border = 0) {
    xcb_window_t id = xcb_generate_id(x_.get());
    const std::uint32_t values[] = {background, background, 1};
    xcb_create_window(x_.get(), XCB_COPY_FROM_PARENT, id, parent, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), static_cast<std::uint16_t>(w),
                      static_cast<std::uint16_t>(h), static_cast<std::uint16_t>(border),
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, x_.screen()->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(x_.get(), id);
    Sync();
    return id;
  }

  void SetActiveWindow(xcb_window_t window) {
    static constexpr char kName[] = "_NET_ACTIVE_WINDOW";
    XReply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
        x_.get(), xcb_intern_atom(x_.get(), 0, sizeof kName - 1, kName), nullptr));
    ASSERT_TRUE(atom);
    xcb_change_property(x_.get(), XCB_PROP_MODE_REPLACE, x_.screen()->root, atom->atom,
                        XCB_ATOM_WINDOW, 32, 1, &window);
    Sync();
  }

  xcb_window_t root() const { return x_.screen()->root; }

 private:
  // A round trip: everything sent before is done when it returns.
  void Sync() {
    XReply<xcb_get_input_focus_reply_t> r(
        xcb_get_input_focus_reply(x_.get(), xcb_get_input_focus(x_.get()), nullptr));
  }
  XConnection x_;
};

// The colour at picture coordinates (x, y), y counted from the top, of a 32- or 16-bit DIB.
std::uint32_t RgbAt(const DibImage& dib, std::uint32_t x, std::uint32_t y) {
  const std::size_t row = DibRowBytes(dib.width, dib.bitsPerPixel) * (dib.height - 1 - y);
  const std::uint8_t* p = dib.bits.data() + row + x * (dib.bitsPerPixel / 8);
  if (dib.bitsPerPixel == 16) {
    const std::uint32_t v = p[0] | p[1] << 8;
    return ((v >> 10 & 31) << 3) << 16 | ((v >> 5 & 31) << 3) << 8 | (v & 31) << 3;
  }
  return std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
}

class CaptureTest : public ::testing::Test {
 protected:
  void StartDisplay(int w, int h, int depth) {
    if (!XvfbDisplay::Available()) GTEST_SKIP() << "Xvfb is not installed";
    display_ = std::make_unique<XvfbDisplay>(w, h, depth);
    ASSERT_TRUE(display_->ok()) << display_->error();
  }
  bool Capture(CaptureTarget target, std::optional<std::uint32_t> w, std::optional<std::uint32_t> h,
               DibImage* out) {
    std::string error;
    bool ok = desktop_->Capture(target, w, h, out, &error);
    EXPECT_TRUE(ok) << error;
    return ok;
  }

  std::unique_ptr<XvfbDisplay> display_;
  std::unique_ptr<Desktop> desktop_ = MakeSystemDesktop();
};

TEST_F(CaptureTest, WholeScreenAtTheDisplaysSize) {
  StartDisplay(1024, 768, 24);
  EXPECT_TRUE(desktop_->HasDisplay());
  EXPECT_NE(desktop_->DisplayServerDescription().find(' '), std::string::npos);
  DibImage dib;
  ASSERT_TRUE(Capture(CaptureTarget::kDesktop, std::nullopt, std::nullopt, &dib));
  EXPECT_EQ(dib.width, 1024u);
  EXPECT_EQ(dib.height, 768u);
  EXPECT_EQ(dib.bitsPerPixel, 32);  // a 24-bit deep screen keeps 32 bits per pixel
  EXPECT_EQ(dib.bits.size(), 3145728u);

  ASSERT_TRUE(Capture(CaptureTarget::kDesktop, 200, 150, &dib));
  EXPECT_EQ(dib.width, 200u);
  EXPECT_EQ(dib.height, 150u);
  EXPECT_EQ(dib.bits.size(), 150u * 800);
  // Only one dimension given: the other stays the screen's.
  ASSERT_TRUE(Capture(CaptureTarget::kDesktop, 7, std::nullopt, &dib));
  EXPECT_EQ(dib.width, 7u);
  EXPECT_EQ(dib.height, 768u);
  EXPECT_EQ(dib.bits.size(), 768u * 28);
}

TEST_F(CaptureTest, RowsRunBottomUpAndStretchingKeepsThePicture) {
  StartDisplay(640, 480, 24);
  Painter paint;
  // Red top half, blue bottom half at (100, 100), 200 x 100.
  xcb_window_t top = paint.Window(paint.root(), 100, 100, 200, 100, paint.Pixel(0xFFFF, 0, 0));
  paint.Window(top, 0, 50, 200, 50, paint.Pixel(0, 0, 0xFFFF));
  DibImage dib;
  ASSERT_TRUE(Capture(CaptureTarget::kDesktop, std::nullopt, std::nullopt, &dib));
  EXPECT_EQ(RgbAt(dib, 150, 110), 0xFF0000u);
  EXPECT_EQ(RgbAt(dib, 150, 190), 0x0000FFu);
  // The first row in memory is the screen's bottom row.
  EXPECT_EQ(dib.bits[DibRowBytes(640, 32) * (480 - 1 - 110) + 150 * 4 + 2], 0xFF);

  // Half the size: the window is at (50, 50), 100 x 50.
  ASSERT_TRUE(Capture(CaptureTarget::kDesktop, 320, 240, &dib));
  EXPECT_EQ(RgbAt(dib, 75, 55), 0xFF0000u);
  EXPECT_EQ(RgbAt(dib, 75, 95), 0x0000FFu);
}

TEST_F(CaptureTest, SixteenBitScreensGiveSixteenBitRows) {
  StartDisplay(320, 240, 16);
  Painter paint;
  paint.Window(paint.root(), 0, 0, 320, 120, paint.Pixel(0xFFFF, 0, 0));
  DibImage dib;
  ASSERT_TRUE(Capture(CaptureTarget::kDesktop, 200, 150, &dib));
  EXPECT_EQ(dib.bitsPerPixel, 16);
  EXPECT_EQ(dib.bits.size(), 60000u);  // 150 rows of 400 bytes
  EXPECT_EQ(RgbAt(dib, 100, 10), 0xF80000u);
}

TEST_F(CaptureTest, IndexedScreensAreCapturedInTrueColour) {
  StartDisplay(320, 240, 8);
  Painter paint;
  paint.Window(paint.root(), 0, 0, 320, 120, paint.Pixel(0, 0xFFFF, 0));
  DibImage dib;
  ASSERT_TRUE(Capture(CaptureTarget::kDesktop, std::nullopt, std::nullopt, &dib));
  EXPECT_EQ(dib.bitsPerPixel, 32);
  EXPECT_EQ(dib.bits.size(), 320u * 240 * 4);
  EXPECT_EQ(RgbAt(dib, 10, 10), 0x00FF00u);
}

TEST_F(CaptureTest, ForegroundWindowIncludesItsFrame) {
  StartDisplay(1024, 768, 24);
  Painter paint;
  // The test plays window manager: a green frame with a border, the client window inside it,
  // and the client named as the active window.
  xcb_window_t frame =
      paint.Window(paint.root(), 50, 60, 300, 200, paint.Pixel(0, 0xFFFF, 0), /*border=*/2);
  xcb_window_t client = paint.Window(frame, 10, 30, 280, 160, paint.Pixel(0xFFFF, 0, 0));
  paint.SetActiveWindow(client);
  DibImage dib;
  ASSERT_TRUE(Capture(CaptureTarget::kForeground, std::nullopt, std::nullopt, &dib));
  EXPECT_EQ(dib.width, 304u);
  EXPECT_EQ(dib.height, 204u);
  EXPECT_EQ(RgbAt(dib, 2 + 5, 2 + 5), 0x00FF00u);            // the frame
  EXPECT_EQ(RgbAt(dib, 2 + 10 + 5, 2 + 30 + 5), 0xFF0000u);  // the client

  // A window partly off the screen is clipped to it.
  xcb_window_t corner = paint.Window(paint.root(), 900, 700, 300, 200, paint.Pixel(0, 0, 0xFFFF));
  paint.SetActiveWindow(corner);
  ASSERT_TRUE(Capture(CaptureTarget::kForeground, std::nullopt, std::nullopt, &dib));
  EXPECT_EQ(dib.width, 124u);
  EXPECT_EQ(dib.height, 68u);

  // No active window: the whole screen is in front.
  paint.SetActiveWindow(XCB_WINDOW_NONE);
  ASSERT_TRUE(Capture(CaptureTarget::kForeground, std::nullopt, std::nullopt, &dib));
  EXPECT_EQ(dib.width, 1024u);
  EXPECT_EQ(dib.height, 768u);
}

TEST_F(CaptureTest, RefusesSizesItCannotMake) {
  StartDisplay(320, 240, 24);
  DibImage dib;
  std::string error;
  EXPECT_FALSE(desktop_->Capture(CaptureTarget::kDesktop, 0, 10, &dib, &error));
  EXPECT_FALSE(desktop_->Capture(CaptureTarget::kDesktop, 100000, 100000, &dib, &error));
  EXPECT_FALSE(error.empty());
}

TEST(CaptureWithoutDisplayTest, FailsCleanly) {
  testing::session_env_detail::ScopedEnv display;
  display.Set("DISPLAY", ":4097");  // no server answers there
  std::unique_ptr<Desktop> desktop = MakeSystemDesktop();
  EXPECT_FALSE(desktop->HasDisplay());
  EXPECT_EQ(desktop->DisplayServerDescription(), "");
  EXPECT_EQ(desktop->ShowMessageBox("text", "caption", 1000), nullptr);
  DibImage dib;
  std::string error;
  EXPECT_FALSE(desktop->Capture(CaptureTarget::kDesktop, std::nullopt, std::nullopt, &dib, &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace zyn::desktop
