#include "platform/tray/tray_text.h"

namespace zyn::tray {
namespace {

constexpr bool IsContinuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The byte offset of character number `index` (text.size() when there are fewer).
std::size_t OffsetOfCharacter(std::string_view text, std::size_t index) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (IsContinuation(text[i])) continue;
    if (seen == index) return i;
    ++seen;
  }
  return text.size();
}

}  // namespace

std::string CutToCharacters(std::string_view text, std::size_t limit) {
  return std::string(text.substr(0, OffsetOfCharacter(text, limit)));
}

std::string BalloonText(std::string_view text, int type) {
  constexpr std::size_t kFirstLine = 20;  // "ZYN Server Running\r\n"
  if (type == kTipStatus) {
    const std::size_t from = OffsetOfCharacter(text, kFirstLine);
    if (from < text.size()) text = text.substr(from);
  }
  return CutToCharacters(text, kBalloonLimit);
}

const char* BalloonIconName(int type) {
  switch (type) {
    case kTipWarning:
      return "dialog-warning";
    case kTipError:
      return "dialog-error";
    default:
      return "dialog-information";
  }
}

std::string UnixLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

std::string EscapeMarkup(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace zyn::tray
