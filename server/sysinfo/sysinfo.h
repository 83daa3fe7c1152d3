// The system-information report of the observed machine: six categories (General, Processor,
// Memory, Hard Drive, System Components, Installed Software), each a caption, a description
// and a usage figure, as the remote-admin messenger hands them to the manager.
//
// Everything is read from the machine's files below a root folder, so tests run on a captured
// tree. Nothing that cannot be read is an error: the text that depends on it is left out, and
// the report always has its six entries.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/com/hresult.h"
#include "platform/com/types.h"
#include "platform/com/variant.h"

struct SysInfoEntry {
  std::string caption;
  std::string description;  // lines separated by "\r\n" (Installed Software: entries by '|')
  LONG usage = -1;          // a percentage, or -1 where the category has none
};

// Size of one filesystem, both in bytes: all of its blocks, and all of its free blocks
// including those only the superuser may use (the disk's free space, not a caller's quota).
struct FilesystemSpace {
  ULONGLONG totalBytes = 0;
  ULONGLONG freeBytes = 0;
};

struct SysInfoSources {
  std::string root = "/";     // where /proc, /sys, /etc, /var/lib/dpkg are read from
  std::string displayServer;  // "vendor release" of the X server, "" when none is reachable
  // The GNU C library's version. Unset: the running library's when root is the live machine
  // ("/"), none for any other root (the running library is not the captured tree's). "" or
  // none leaves the line out.
  std::optional<std::string> libcVersion;
  // Size of the filesystem mounted at `mountPoint`, the path as the mount table names it
  // (relative to root). nullopt when it cannot be asked; the filesystem is then not counted.
  // Empty: statvfs on the mount point below root.
  std::function<std::optional<FilesystemSpace>(const std::string& mountPoint)> filesystemSpace;
};

// The six entries, always: General, Processor, Memory, Hard Drive, System Components, Installed
// Software.
std::vector<SysInfoEntry> CollectSysInfo(const SysInfoSources& sources);

// Packs them as the messenger returns them: each VARIANT of type exactly VT_ARRAY holding a 1-D
// array, lower bound 0, one element per entry: captions and descriptions as BSTR, usage as
// VT_I4. The VARIANTs are out-parameters (what they held is not freed). E_INVALIDARG for a null
// VARIANT; E_OUTOFMEMORY when memory runs out, with nothing leaked and the VARIANTs left empty.
HRESULT PackSysInfo(const std::vector<SysInfoEntry>& entries, VARIANT* captions,
                    VARIANT* descriptions, VARIANT* usage);
