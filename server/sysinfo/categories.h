// The report's six categories, each built on its own from the machine's tree.
#pragma once

#include "server/sysinfo/root_tree.h"
#include "server/sysinfo/sysinfo.h"

namespace sysinfo {

// Machine identity (identity.cpp).
SysInfoEntry General(const RootTree& tree);
SysInfoEntry Processor(const RootTree& tree);
SysInfoEntry SystemComponents(const RootTree& tree, const SysInfoSources& sources);

// Capacity (capacity.cpp).
SysInfoEntry Memory(const RootTree& tree);
SysInfoEntry HardDrive(const RootTree& tree, const SysInfoSources& sources);

// Software (packages.cpp).
SysInfoEntry InstalledSoftware(const RootTree& tree);

}  // namespace sysinfo
