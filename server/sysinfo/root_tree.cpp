#include "server/sysinfo/root_tree.h"

#include <fstream>
#include <sstream>

namespace sysinfo {

RootTree::RootTree(std::string root) {
  while (!root.empty() && root.back() == '/')
    root.pop_back();
  live_ = root.empty();
  root_ = std::move(root);
}

std::string RootTree::Locate(std::string_view path) const {
  std::string located = root_;
  located += path;
  return located;
}

std::optional<std::string> RootTree::Read(std::string_view path) const {
  // Files under /proc report a size of 0, so read until the end rather than by size.
  std::ifstream in(Locate(path), std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(text).str();
}

std::optional<std::string> RootTree::ReadLine(std::string_view path) const {
  auto text = Read(path);
  if (!text) return std::nullopt;
  std::string_view view(*text);
  std::string_view line = Trim(view.substr(0, view.find('\n')));
  if (line.empty()) return std::nullopt;
  return std::string(line);
}

std::string_view Trim(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n\f\v";
  std::size_t begin = text.find_first_not_of(kSpace);
  if (begin == std::string_view::npos) return {};
  std::size_t end = text.find_last_not_of(kSpace);
  return text.substr(begin, end - begin + 1);
}

namespace {

// Calls `f` with each line of `text` (without its '\n'); stops when `f` returns false.
template <class F>
void ForEachLine(std::string_view text, F&& f) {
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!f(line)) return;
    if (end == std::string_view::npos) return;
    text.remove_prefix(end + 1);
  }
}

// The value of an os-release assignment: quoted parts are joined as the shell would.
std::optional<std::string> ShellValue(std::string_view raw) {
  std::string value;
  std::size_t i = 0;
  while (i < raw.size()) {
    char c = raw[i];
    if (c == '\'') {
      std::size_t close = raw.find('\'', i + 1);
      if (close == std::string_view::npos) return std::nullopt;
      value.append(raw.substr(i + 1, close - i - 1));
      i = close + 1;
    } else if (c == '"') {
      ++i;
      bool closed = false;
      while (i < raw.size()) {
        char d = raw[i++];
        if (d == '"') {
          closed = true;
          break;
        }
        // Inside double quotes only these characters are escaped by a backslash.
        if (d == '\\' && i < raw.size() &&
            std::string_view("\"\\$`").find(raw[i]) != std::string_view::npos)
          d = raw[i++];
        value.push_back(d);
      }
      if (!closed) return std::nullopt;
    } else if (c == '\\' && i + 1 < raw.size()) {
      value.push_back(raw[i + 1]);
      i += 2;
    } else {
      value.push_back(c);
      ++i;
    }
  }
  return value;
}

}  // namespace

std::map<std::string, std::string, std::less<>> ParseColonFields(std::string_view text,
                                                                 bool firstBlockOnly) {
  std::map<std::string, std::string, std::less<>> fields;
  ForEachLine(text, [&](std::string_view line) {
    if (Trim(line).empty()) return !firstBlockOnly;
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return true;
    std::string_view key = Trim(line.substr(0, colon));
    if (!key.empty()) fields.emplace(std::string(key), std::string(Trim(line.substr(colon + 1))));
    return true;
  });
  return fields;
}

std::map<std::string, std::string, std::less<>> ParseOsRelease(std::string_view text) {
  std::map<std::string, std::string, std::less<>> fields;
  ForEachLine(text, [&](std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() == '#') return true;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos || eq == 0) return true;
    if (auto value = ShellValue(line.substr(eq + 1)))
      fields.insert_or_assign(std::string(line.substr(0, eq)), std::move(*value));
    return true;
  });
  return fields;
}

}  // namespace sysinfo
