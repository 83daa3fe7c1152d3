#include "tools/zynwatch/output.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string Number(double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6f", value);
  return buf;
}

// Doubles the quotes inside a CSV field.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

constexpr std::size_t kTimeWidth = 23;

}  // namespace

std::string FormatLocalTime(const SYSTEMTIME& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02u/%02u/%04u %02u:%02u:%02u.%03u", t.wMonth, t.wDay, t.wYear,
                t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  return buf;
}

std::string FullPath(const std::string& machine, const std::string& path) {
  if (path.rfind("\\\\", 0) == 0) return path;
  return "\\\\" + machine + (path.rfind('\\', 0) == 0 ? "" : "\\") + path;
}

std::string CsvHeader(const std::string& machine, const std::vector<std::string>& paths) {
  std::string out = Quoted("(PDH-CSV 4.0)");
  for (const std::string& path : paths)
    out += "," + Quoted(FullPath(machine, path));
  return out;
}

std::string CsvRow(const SYSTEMTIME& local, const std::vector<std::optional<double>>& values) {
  std::string out = Quoted(FormatLocalTime(local));
  for (const std::optional<double>& v : values)
    out += "," + (v ? Quoted(Number(*v)) : "");
  return out;
}

TableFormat::TableFormat(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    // The counter name alone, with the instance when there is one, keeps columns narrow.
    std::string title = path.substr(path.rfind('\\') + 1);
    auto open = path.find('('), close = path.find(')');
    if (open != std::string::npos && close != std::string::npos && close > open)
      title = path.substr(open + 1, close - open - 1) + " " + title;
    widths_.push_back(std::max<std::size_t>(title.size(), 14));
    titles_.push_back(std::move(title));
  }
}

std::string TableFormat::Header() const {
  std::string out = std::string(kTimeWidth, ' ');
  for (std::size_t i = 0; i < titles_.size(); ++i)
    out += "  " + std::string(widths_[i] - titles_[i].size(), ' ') + titles_[i];
  return out;
}

std::string TableFormat::Row(const SYSTEMTIME& local,
                             const std::vector<std::optional<double>>& values) const {
  std::string out = FormatLocalTime(local);
  for (std::size_t i = 0; i < widths_.size(); ++i) {
    std::string cell = i < values.size() && values[i] ? Number(*values[i]) : "-";
    out += "  " + std::string(widths_[i] > cell.size() ? widths_[i] - cell.size() : 0, ' ') + cell;
  }
  return out;
}
