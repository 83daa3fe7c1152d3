// Memory and Hard Drive: how much the machine has and how much of it is in use.

#include <sys/statvfs.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <set>
#include <system_error>

#include "server/sysinfo/categories.h"

namespace sysinfo {
namespace {

// A meminfo figure ("MemTotal:       16314560 kB") in kilobytes.
std::optional<std::uint64_t> MeminfoKilobytes(
    const std::map<std::string, std::string, std::less<>>& fields, std::string_view key) {
  auto it = fields.find(key);
  if (it == fields.end()) return std::nullopt;
  std::string_view value = it->second;
  std::uint64_t kb = 0;
  auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), kb);
  if (ec != std::errc() || Trim(std::string_view(end, value.data() + value.size() - end)) != "kB")
    return std::nullopt;
  return kb;
}

// One line of a mount table: "device mount-point type options dump pass".
struct Mount {
  std::string device;
  std::string mountPoint;
  std::string type;
};

// Mount tables write space, tab, newline and backslash in names as three octal digits.
std::string UnescapeMountField(std::string_view field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      std::string_view digits = field.substr(i + 1, 3);
      if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        out.push_back(static_cast<char>(((digits[0] - '0') << 6) | ((digits[1] - '0') << 3) |
                                        (digits[2] - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

std::vector<Mount> ParseMounts(std::string_view text) {
  std::vector<Mount> mounts;
  while (!text.empty()) {
    std::string_view line = text.substr(0, text.find('\n'));
    text.remove_prefix(std::min(text.size(), line.size() + 1));
    std::array<std::string_view, 3> fields;
    std::size_t found = 0;
    for (std::string_view rest = line; found < fields.size();) {
      rest = rest.substr(std::min(rest.size(), rest.find_first_not_of(" \t")));
      if (rest.empty()) break;
      std::size_t end = std::min(rest.size(), rest.find_first_of(" \t"));
      fields[found++] = rest.substr(0, end);
      rest.remove_prefix(end);
    }
    if (found < fields.size()) continue;
    mounts.push_back(
        {UnescapeMountField(fields[0]), UnescapeMountField(fields[1]), std::string(fields[2])});
  }
  return mounts;
}

// The filesystems that stand for the machine's fixed disks: those on a block device of its
// own. Memory-backed, pseudo, layered and network filesystems have no such device (or their
// type says so), optical media and images are not fixed disks, and a loop device's space is
// already counted on the disk that holds its backing file.
bool IsFixedDiskFilesystem(const Mount& mount) {
  static const std::set<std::string_view> kExcludedTypes = {
      "tmpfs",     "devtmpfs", "ramfs",      "overlay", "squashfs", "iso9660", "udf",
      "nfs",       "nfs4",     "cifs",       "smb3",    "smbfs",    "9p",      "ceph",
      "glusterfs", "afs",      "fuse.sshfs", "autofs",  "proc",     "sysfs"};
  static constexpr std::array<std::string_view, 6> kExcludedDevices = {
      "/dev/loop", "/dev/ram", "/dev/zram", "/dev/sr", "/dev/fd", "/dev/nbd"};
  if (!mount.device.starts_with("/dev/")) return false;
  if (kExcludedTypes.contains(mount.type)) return false;
  for (std::string_view prefix : kExcludedDevices) {
    if (mount.device.starts_with(prefix)) return false;
  }
  return true;
}

std::optional<FilesystemSpace> StatFilesystem(const RootTree& tree, const std::string& mountPoint) {
  struct statvfs fs {};
  if (statvfs(tree.Locate(mountPoint).c_str(), &fs) != 0) return std::nullopt;
  return FilesystemSpace{static_cast<ULONGLONG>(fs.f_blocks) * fs.f_frsize,
                         static_cast<ULONGLONG>(fs.f_bfree) * fs.f_frsize};
}

// "%.<precision>f" in the C locale whatever the process's locale is.
std::string FixedPoint(double value, int precision) {
  std::array<char, 64> buffer;
  auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                 std::chars_format::fixed, precision);
  if (ec != std::errc()) return "0";
  return std::string(buffer.data(), end);
}

}  // namespace

SysInfoEntry Memory(const RootTree& tree) {
  SysInfoEntry entry{"Memory", "", -1};
  auto meminfo = tree.Read("/proc/meminfo");
  if (!meminfo) return entry;
  auto fields = ParseColonFields(*meminfo, false);
  auto total = MeminfoKilobytes(fields, "MemTotal");
  // Kernels before 3.14 do not estimate the available memory; the free memory is the nearest
  // figure they have.
  auto available = MeminfoKilobytes(fields, "MemAvailable");
  if (!available) available = MeminfoKilobytes(fields, "MemFree");
  if (!total || *total == 0 || !available) return entry;
  std::uint64_t avail = std::min(*available, *total);
  // In use is what is not available; the fraction of a percent is cut off.
  auto load = static_cast<LONG>((*total - avail) * 100 / *total);
  // Kilobytes to megabytes is bytes / 1048576, cut.
  entry.description = std::to_string(*total / 1024) + " MB of physical memory\r\n" +
                      std::to_string(avail / 1024) + " MB of available physical memory\r\n" +
                      std::to_string(load) + "% of total physical memory in use";
  entry.usage = load;
  return entry;
}

SysInfoEntry HardDrive(const RootTree& tree, const SysInfoSources& sources) {
  std::optional<std::string> table = tree.Read("/proc/self/mounts");
  if (!table) table = tree.Read("/proc/mounts");

  ULONGLONG totalBytes = 0;
  ULONGLONG freeBytes = 0;
  // A device mounted more than once (bind mounts, subvolumes) is one filesystem.
  std::set<std::string> counted;
  for (const Mount& mount : table ? ParseMounts(*table) : std::vector<Mount>()) {
    if (!IsFixedDiskFilesystem(mount) || counted.contains(mount.device)) continue;
    std::optional<FilesystemSpace> space = sources.filesystemSpace
                                               ? sources.filesystemSpace(mount.mountPoint)
                                               : StatFilesystem(tree, mount.mountPoint);
    if (!space) continue;  // perhaps another mount of the same device answers
    counted.insert(mount.device);
    totalBytes += space->totalBytes;
    freeBytes += std::min(space->freeBytes, space->totalBytes);
  }

  constexpr double kGigabyte = 1073741824.0;
  double total = static_cast<double>(totalBytes) / kGigabyte;
  double free = static_cast<double>(freeBytes) / kGigabyte;
  // Without a disk nothing is in use: 0% rather than the not-a-number of 0 / 0.
  double inUse = totalBytes == 0 ? 0.0 : (total - free) / total * 100.0;
  std::string text = FixedPoint(total, 2) + " GB of total disk space\r\n" + FixedPoint(free, 2) +
                     " GB of free disk space\r\n" + FixedPoint(inUse, 0) +
                     "% of total disk space in use";
  return {"Hard Drive", std::move(text), static_cast<LONG>(inUse)};
}

}  // namespace sysinfo
