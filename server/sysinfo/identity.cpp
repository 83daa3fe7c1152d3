// General, Processor and System Components: what the machine is and what runs on it.

#include <gnu/libc-version.h>
#include <sys/utsname.h>

#include <charconv>
#include <cstdint>

#include "server/sysinfo/categories.h"

namespace sysinfo {
namespace {

// The kernel release ("6.1.0-18-amd64"), from the sysctl or else the third word of
// /proc/version ("Linux version 6.1.0-18-amd64 ...").
std::optional<std::string> KernelRelease(const RootTree& tree) {
  if (auto release = tree.ReadLine("/proc/sys/kernel/osrelease")) return release;
  auto version = tree.ReadLine("/proc/version");
  if (!version) return std::nullopt;
  std::string_view rest(*version);
  for (int word = 0; word < 2; ++word) {
    std::size_t space = rest.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    rest = Trim(rest.substr(space + 1));
  }
  rest = rest.substr(0, rest.find(' '));
  if (rest.empty()) return std::nullopt;
  return std::string(rest);
}

// The machine architecture ("x86_64", "aarch64"). Older kernels lack the sysctl; the live
// machine then answers through uname.
std::optional<std::string> MachineArchitecture(const RootTree& tree) {
  if (auto arch = tree.ReadLine("/proc/sys/kernel/arch")) return arch;
  if (!tree.IsLive()) return std::nullopt;
  utsname names{};
  if (uname(&names) != 0 || names.machine[0] == '\0') return std::nullopt;
  return std::string(names.machine);
}

// The number of processors in a kernel CPU list such as "0-3,5" (five); nullopt when the list
// is malformed.
std::optional<std::uint64_t> CountCpuList(std::string_view list) {
  list = Trim(list);
  if (list.empty()) return std::nullopt;
  std::uint64_t count = 0;
  while (!list.empty()) {
    std::string_view item = list.substr(0, list.find(','));
    list.remove_prefix(std::min(list.size(), item.size() + 1));
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    const char* end = item.data() + item.size();
    auto [p, ec] = std::from_chars(item.data(), end, first);
    if (ec != std::errc()) return std::nullopt;
    last = first;
    if (p != end) {
      if (*p != '-') return std::nullopt;
      auto [q, ec2] = std::from_chars(p + 1, end, last);
      if (ec2 != std::errc() || q != end || last < first) return std::nullopt;
    }
    count += last - first + 1;
  }
  return count;
}

// Online processors; where the list cannot be read, the processors cpuinfo describes.
std::optional<std::uint64_t> ProcessorCount(const RootTree& tree,
                                            const std::optional<std::string>& cpuinfo) {
  if (auto online = tree.Read("/sys/devices/system/cpu/online")) {
    if (auto count = CountCpuList(*online)) return count;
  }
  if (!cpuinfo) return std::nullopt;
  std::uint64_t count = 0;
  std::string_view text(*cpuinfo);
  for (std::size_t pos = 0; pos < text.size();) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && Trim(line.substr(0, colon)) == "processor") ++count;
    pos = end + 1;
  }
  if (count == 0) return std::nullopt;
  return count;
}

const std::string* Field(const std::map<std::string, std::string, std::less<>>& fields,
                         std::string_view key) {
  auto it = fields.find(key);
  if (it == fields.end() || it->second.empty()) return nullptr;
  return &it->second;
}

}  // namespace

SysInfoEntry General(const RootTree& tree) {
  // A Linux host name is not cut: it may be up to 64 characters, and a shortened name would
  // name no machine at all.
  std::string text = "Computer " + tree.ReadLine("/proc/sys/kernel/hostname").value_or("");
  text += "\r\n";

  std::map<std::string, std::string, std::less<>> release;
  if (auto file = tree.Read("/etc/os-release")) {
    release = ParseOsRelease(*file);
  } else if (auto fallback = tree.Read("/usr/lib/os-release")) {
    release = ParseOsRelease(*fallback);
  }
  // os-release's own rule: a system that does not name itself is "Linux".
  const std::string* name = Field(release, "NAME");
  text += name ? *name : "Linux";
  const std::string* version = Field(release, "VERSION");
  if (version) text += " " + *version;
  // The edition, unless the version already says it ("39 (Workstation Edition)").
  if (const std::string* variant = Field(release, "VARIANT");
      variant && (!version || version->find(*variant) == std::string::npos)) {
    text += " " + *variant;
  }
  if (auto kernel = KernelRelease(tree)) text += " build " + *kernel;
  if (auto id = tree.ReadLine("/etc/machine-id")) text += "\r\nOS Product ID: " + *id;
  return {"General", std::move(text), -1};
}

SysInfoEntry Processor(const RootTree& tree) {
  std::optional<std::string> cpuinfo = tree.Read("/proc/cpuinfo");
  std::string text;
  if (auto count = ProcessorCount(tree, cpuinfo))
    text += std::to_string(*count) + " processor(s)\r\n";

  // The first processor's description stands for all of them.
  auto fields = cpuinfo ? ParseColonFields(*cpuinfo, true)
                        : std::map<std::string, std::string, std::less<>>();
  // The identifier: architecture, family, model and stepping, each where known (ARM's cpuinfo
  // has none of the last three).
  std::string identifier = MachineArchitecture(tree).value_or("");
  for (auto [key, label] : {std::pair{"cpu family", "Family"}, std::pair{"model", "Model"},
                            std::pair{"stepping", "Stepping"}}) {
    if (const std::string* value = Field(fields, key)) {
      if (!identifier.empty()) identifier += ' ';
      identifier += std::string(label) + " " + *value;
    }
  }
  text += identifier;
  text += ' ';
  if (const std::string* vendor = Field(fields, "vendor_id")) text += *vendor;
  if (const std::string* model = Field(fields, "model name")) text += " " + *model;
  if (const std::string* mhz = Field(fields, "cpu MHz")) {
    // Whole megahertz: the fraction is cut off.
    std::string_view whole = std::string_view(*mhz).substr(0, mhz->find('.'));
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(whole.data(), whole.data() + whole.size(), value);
    if (ec == std::errc() && end == whole.data() + whole.size())
      text += "\r\n" + std::to_string(value) + " MHz";
  }
  return {"Processor", std::move(text), -1};
}

SysInfoEntry SystemComponents(const RootTree& tree, const SysInfoSources& sources) {
  std::string kernel;
  if (auto release = KernelRelease(tree)) kernel = "Linux kernel " + *release;

  std::string libcVersion;
  if (sources.libcVersion) {
    libcVersion = *sources.libcVersion;
  } else if (tree.IsLive()) {
    libcVersion = gnu_get_libc_version();
  }
  std::string libc = libcVersion.empty() ? "" : "GNU C Library " + libcVersion;
  std::string display = sources.displayServer.empty() ? "" : "X server " + sources.displayServer;

  // The first line stands even when empty; later lines only when they have text.
  std::string text = kernel;
  for (const std::string* line : {&libc, &display}) {
    if (!line->empty()) text += "\r\n" + *line;
  }
  return {"System Components", std::move(text), -1};
}

}  // namespace sysinfo
