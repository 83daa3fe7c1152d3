#include "platform/remote/registration.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>

#include "platform/remote/paths.h"

namespace zyn::remote {
namespace {

std::string Trim(std::string s) {
  auto space = [](unsigned char c) { return std::isspace(c) != 0; };
  while (!s.empty() && space(s.back()))
    s.pop_back();
  std::size_t start = 0;
  while (start < s.size() && space(s[start]))
    ++start;
  return s.substr(start);
}

}  // namespace

bool ParseClassFile(const std::string& text, ClassFile* out) {
  *out = ClassFile{};
  bool haveClsid = false;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = Trim(line.substr(0, eq));
    std::string value = Trim(line.substr(eq + 1));
    if (key == "CLSID") {
      auto g = com::ParseGuid(value);
      haveClsid = g.has_value() && *g != GUID{};
      if (haveClsid) out->registration.clsid = *g;
    } else if (key == "ProgID") {
      out->registration.progId = value;
    } else if (key == "VersionIndependentProgID") {
      out->registration.versionIndependentProgId = value;
    } else if (key == "Description") {
      out->registration.description = value;
    } else if (key == "Program") {
      out->program = value;
    } else if (key == "AppID") {
      if (auto g = com::ParseGuid(value)) out->appId = *g;
    } else if (key == "Category") {
      if (auto g = com::ParseGuid(value)) out->registration.implementedCategories.push_back(*g);
    }
  }
  return haveClsid;
}

std::string FormatClassFile(const ClassFile& file) {
  const com::ClassRegistration& r = file.registration;
  std::string text = "CLSID=" + com::GuidToString(r.clsid) + "\n";
  if (!r.progId.empty()) text += "ProgID=" + r.progId + "\n";
  if (!r.versionIndependentProgId.empty())
    text += "VersionIndependentProgID=" + r.versionIndependentProgId + "\n";
  if (!r.description.empty()) text += "Description=" + r.description + "\n";
  if (!file.program.empty()) text += "Program=" + file.program + "\n";
  if (file.appId != GUID{}) text += "AppID=" + com::GuidToString(file.appId) + "\n";
  for (const CATID& catid : r.implementedCategories)
    text += "Category=" + com::GuidToString(catid) + "\n";
  return text;
}

std::vector<ClassFile> ReadClassFiles(const std::vector<std::string>& dirs) {
  std::map<CLSID, ClassFile> found;
  for (const std::string& dir : dirs) {
    std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(dir.c_str()), closedir);
    if (!listing) continue;
    std::vector<std::string> names;
    while (dirent* entry = readdir(listing.get())) {
      std::string name = entry->d_name;
      if (name.size() > 6 && name.ends_with(".class")) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      std::string text;
      ClassFile file;
      if (ReadFile(dir + "/" + name, &text) && ParseClassFile(text, &file))
        found[file.registration.clsid] = std::move(file);
    }
  }
  std::vector<ClassFile> out;
  for (auto& [clsid, file] : found)
    out.push_back(std::move(file));
  return out;
}

std::vector<ClassFile> ReadClassFiles() {
  return ReadClassFiles({SystemClassDir(), UserClassDir()});
}

bool WriteClassFile(const std::string& dir, const ClassFile& file, std::string* error) {
  if (!MakeDirs(dir, 0755)) {
    *error = "cannot create " + dir;
    return false;
  }
  std::string path = dir + "/" + com::GuidToString(file.registration.clsid) + ".class";
  if (!WriteFile(path, FormatClassFile(file), 0644)) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

bool RemoveClassFile(const std::string& dir, REFCLSID clsid) {
  std::string path = dir + "/" + com::GuidToString(clsid) + ".class";
  return unlink(path.c_str()) == 0;
}

void LoadClassFiles(com::ClassRegistry& registry, const std::vector<ClassFile>& files) {
  for (const ClassFile& file : files)
    registry.RegisterClass(file.registration);
}

}  // namespace zyn::remote
