// Reading a machine's files below a root folder, and the small text parsers the report needs.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace sysinfo {

class RootTree {
 public:
  explicit RootTree(std::string root);

  // True when the root is the running machine's own "/": only then may the report also ask the
  // running system (uname, the C library, statvfs on the mount points as they are).
  bool IsLive() const noexcept { return live_; }

  // `path` is absolute on the machine ("/proc/meminfo"). The whole file, or nullopt when it
  // cannot be read.
  std::optional<std::string> Read(std::string_view path) const;
  // The first line of the file without surrounding white space; nullopt when the file cannot
  // be read or that line is empty.
  std::optional<std::string> ReadLine(std::string_view path) const;
  // Where `path` lies on this process's filesystem.
  std::string Locate(std::string_view path) const;

 private:
  std::string root_;  // without a trailing '/'; empty for the live root
  bool live_;
};

std::string_view Trim(std::string_view text);

// Lines of "key: value" (cpuinfo, meminfo), keys and values trimmed; the first occurrence of a
// key wins. Stops at the first empty line when `firstBlockOnly`.
std::map<std::string, std::string, std::less<>> ParseColonFields(std::string_view text,
                                                                 bool firstBlockOnly);

// The assignments of an os-release file (KEY=value, values possibly in shell quotes with
// backslash escapes inside double quotes); comments and malformed lines are skipped.
std::map<std::string, std::string, std::less<>> ParseOsRelease(std::string_view text);

}  // namespace sysinfo
