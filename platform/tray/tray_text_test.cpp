#include "platform/tray/tray_text.h"

#include <gtest/gtest.h>

#include <string>

namespace zyn::tray {
namespace {

TEST(TrayText, CutsByCharactersWithoutSplittingOne) {
  EXPECT_EQ(CutToCharacters("abcdef", 3), "abc");
  EXPECT_EQ(CutToCharacters("abc", 10), "abc");
  EXPECT_EQ(CutToCharacters("", 5), "");
  // "ä" and "€" are two and three bytes: the limit counts them once each.
  EXPECT_EQ(CutToCharacters("äb€dé", 3), "äb€");
  EXPECT_EQ(CutToCharacters("€€€", 0), "");
  // A tooltip of 127 characters from a text of 200 two-byte characters.
  std::string wide;
  for (int i = 0; i < 200; ++i)
    wide += "é";
  EXPECT_EQ(CutToCharacters(wide, kTooltipLimit).size(), 2 * kTooltipLimit);
}

TEST(TrayText, StatusBalloonLeavesOutTheFirstLine) {
  const std::string tooltip = "ZYN Server Running\r\nConnected Clients:\r\nOBSERVER1";
  EXPECT_EQ(BalloonText(tooltip, kTipStatus), "Connected Clients:\r\nOBSERVER1");
  EXPECT_EQ(BalloonText("ZYN Server Running\r\nNo Clients Connected", kTipStatus),
            "No Clients Connected");
  // Twenty characters or fewer stay whole.
  EXPECT_EQ(BalloonText("ZYN Server Running", kTipStatus), "ZYN Server Running");
  EXPECT_EQ(BalloonText("12345678901234567890", kTipStatus), "12345678901234567890");
  EXPECT_EQ(BalloonText("123456789012345678901", kTipStatus), "1");
  // The 21st character is counted in characters, not bytes.
  EXPECT_EQ(BalloonText("ééééééééééééééééééééX", kTipStatus), "X");
  EXPECT_EQ(BalloonText("", kTipStatus), "");
  // Other tips show their whole text.
  EXPECT_EQ(BalloonText(tooltip, kTipWarning), tooltip);
  EXPECT_EQ(BalloonText(tooltip, kTipInformation), tooltip);
  EXPECT_EQ(BalloonText(tooltip, kTipError), tooltip);
}

TEST(TrayText, BalloonIsCutToItsLimit) {
  const std::string longText(400, 'x');
  EXPECT_EQ(BalloonText(longText, kTipWarning), std::string(kBalloonLimit, 'x'));
  EXPECT_EQ(BalloonText(longText, kTipStatus), std::string(kBalloonLimit, 'x'));
}

TEST(TrayText, IconNamesByType) {
  EXPECT_STREQ(BalloonIconName(kTipStatus), "dialog-information");
  EXPECT_STREQ(BalloonIconName(kTipInformation), "dialog-information");
  EXPECT_STREQ(BalloonIconName(kTipWarning), "dialog-warning");
  EXPECT_STREQ(BalloonIconName(kTipError), "dialog-error");
}

TEST(TrayText, LineBreaksAndMarkup) {
  EXPECT_EQ(UnixLineBreaks("a\r\nb\r\n"), "a\nb\n");
  EXPECT_EQ(UnixLineBreaks("a\rb\n"), "a\rb\n");
  EXPECT_EQ(EscapeMarkup("<b>R&D</b>"), "&lt;b&gt;R&amp;D&lt;/b&gt;");
}

}  // namespace
}  // namespace zyn::tray
