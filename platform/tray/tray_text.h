// The texts of the tray: how a notification's text becomes a tooltip and a balloon.
//
// Texts are UTF-8; every limit counts characters and never splits one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zyn::tray {

// Tip types, as the messenger's callers give them.
inline constexpr int kTipStatus = 1;
inline constexpr int kTipWarning = 2;
inline constexpr int kTipInformation = 3;
inline constexpr int kTipError = 4;

inline constexpr std::size_t kTooltipLimit = 127;
inline constexpr std::size_t kBalloonLimit = 255;
inline constexpr std::size_t kTitleLimit = 63;
inline constexpr char kBalloonTitle[] = "ZYN Server";

// The first `limit` characters of `text`.
std::string CutToCharacters(std::string_view text, std::size_t limit);

// The balloon's text for `text` of tip type `type`: a status text longer than 20 characters
// shows from its 21st character on, so the first line "ZYN Server Running" and its line break,
// which the balloon's title already says, are not repeated. Cut to the balloon's limit.
std::string BalloonText(std::string_view text, int type);

// The freedesktop icon name of a balloon: information for status and information tips,
// warning and error for theirs.
const char* BalloonIconName(int type);

// "\r\n" as "\n", for displays that break lines on "\n" alone.
std::string UnixLineBreaks(std::string_view text);

// &, < and > as entities, for a notification service that reads its body as markup (a
// client's name must not be able to change the display, or break it).
std::string EscapeMarkup(std::string_view text);

}  // namespace zyn::tray
