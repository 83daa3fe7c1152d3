// Class registration files: how a machine knows, across processes, which classes exist, by
// which names, in which categories, and which program serves each.
//
// One file per class, named "<CLSID>.class", in the system folder and in the user's folder
// (paths.h); a user's file wins over a system file for the same class. Lines are "key=value":
//
//   CLSID={7C52E373-38F3-4579-951A-84ECCD6340B3}
//   ProgID=ZYNServer.OPCServer.1
//   VersionIndependentProgID=ZYNServer.OPCServer
//   Description=ZYN Server
//   Program=/usr/bin/zynserver
//   AppID={86BC93EE-4ABC-4E4F-8CFA-CBB461B0607B}
//   Category={63D5F432-CFE4-11D1-B2C8-0060083BA1FB}      (one line per category)
//
// Unknown keys and lines without '=' are ignored; a file without a valid CLSID is skipped.
#pragma once

#include <string>
#include <vector>

#include "platform/com/classreg.h"
#include "platform/com/guid.h"

namespace zyn::remote {

struct ClassFile {
  com::ClassRegistration registration;
  std::string program;  // the program that serves the class; may be empty
  GUID appId{};
};

bool ParseClassFile(const std::string& text, ClassFile* out);
std::string FormatClassFile(const ClassFile& file);

// Every class registered in the given folders (later folders win for the same CLSID); the
// default is the system folder, then the user's.
std::vector<ClassFile> ReadClassFiles(const std::vector<std::string>& dirs);
std::vector<ClassFile> ReadClassFiles();

// Writes or removes the file of one class in dir.
bool WriteClassFile(const std::string& dir, const ClassFile& file, std::string* error);
bool RemoveClassFile(const std::string& dir, REFCLSID clsid);

// Records every registered class (names and categories) in a class registry.
void LoadClassFiles(com::ClassRegistry& registry, const std::vector<ClassFile>& files);

}  // namespace zyn::remote
