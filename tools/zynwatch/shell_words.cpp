#include "tools/zynwatch/shell_words.h"

#include <cstring>

std::string QuoteShellWord(const std::string& word) {
  static constexpr const char* kPlain =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_@%+=:,./-";
  bool plain = !word.empty();
  for (char c : word)
    plain = plain && c != '\0' && std::strchr(kPlain, c) != nullptr;
  if (plain) return word;
  // Inside single quotes nothing is special but the quote itself, which ends the quoting,
  // appears escaped and starts it again.
  std::string out = "'";
  for (char c : word) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

std::string JoinShellWords(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& word : words) {
    if (!out.empty()) out += ' ';
    out += QuoteShellWord(word);
  }
  return out;
}
