#include "platform/desktop/shell_words.h"

namespace zyn::desktop {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n';
}

// Characters a backslash escapes inside double quotes; before any other one it stays.
bool EscapableInDoubleQuotes(char c) {
  return c == '$' || c == '`' || c == '"' || c == '\\' || c == '\n';
}

std::nullopt_t Fail(std::string* error, const char* message) {
  if (error) *error = message;
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<std::string>> SplitShellWords(std::string_view text, std::string* error) {
  std::vector<std::string> words;
  std::string word;
  // A word exists once any part of it was seen, even an empty quoted one ('' is a word).
  bool inWord = false;
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    char c = text[i];
    if (IsBlank(c)) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
      ++i;
    } else if (c == '\'') {
      std::size_t close = text.find('\'', i + 1);
      if (close == std::string_view::npos) return Fail(error, "a single quote is not closed");
      word.append(text.substr(i + 1, close - i - 1));
      inWord = true;
      i = close + 1;
    } else if (c == '"') {
      ++i;
      bool closed = false;
      while (i < n) {
        char d = text[i];
        if (d == '"') {
          closed = true;
          ++i;
          break;
        }
        if (d == '\\' && i + 1 < n && EscapableInDoubleQuotes(text[i + 1])) {
          if (text[i + 1] != '\n') word.push_back(text[i + 1]);
          i += 2;
          continue;
        }
        word.push_back(d);
        ++i;
      }
      if (!closed) return Fail(error, "a double quote is not closed");
      inWord = true;
    } else if (c == '\\') {
      if (i + 1 >= n) return Fail(error, "the parameters end in a backslash");
      if (text[i + 1] == '\n') {
        // A line continuation joins the lines; it adds nothing to the word.
        i += 2;
        continue;
      }
      word.push_back(text[i + 1]);
      inWord = true;
      i += 2;
    } else {
      word.push_back(c);
      inWord = true;
      ++i;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

}  // namespace zyn::desktop
