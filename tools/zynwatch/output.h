// How watched values are printed: the CSV of command-line counter loggers ("(PDH-CSV 4.0)"
// header, quoted fields, local time stamps), or aligned columns for a person.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/com/filetime.h"

// "\\MACHINE\Object(Instance)\Counter" for a path without a machine part.
std::string FullPath(const std::string& machine, const std::string& path);

std::string CsvHeader(const std::string& machine, const std::vector<std::string>& paths);
// An empty field for a counter the callback did not carry.
std::string CsvRow(const SYSTEMTIME& local, const std::vector<std::optional<double>>& values);

// Columns as wide as the longest of the counter's last path element and a value.
class TableFormat {
 public:
  explicit TableFormat(const std::vector<std::string>& paths);
  std::string Header() const;
  std::string Row(const SYSTEMTIME& local, const std::vector<std::optional<double>>& values) const;

 private:
  std::vector<std::string> titles_;
  std::vector<std::size_t> widths_;
};

// "MM/DD/YYYY HH:MM:SS.mmm"
std::string FormatLocalTime(const SYSTEMTIME& local);
