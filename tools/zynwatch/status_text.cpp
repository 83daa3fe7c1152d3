#include "tools/zynwatch/status_text.h"

#include <cstdio>

#include "platform/com/filetime.h"

std::string ServerStateText(DWORD state) {
  switch (state) {
    case OPC_STATUS_RUNNING:
      return "Server running";
    case OPC_STATUS_FAILED:
      return "Server failed";
    case OPC_STATUS_NOCONFIG:
      return "Server requires configuration";
    case OPC_STATUS_SUSPENDED:
      return "Server suspended";
    case OPC_STATUS_TEST:
      return "Server in test mode";
    default:
      return "Unknown";
  }
}

std::string StatusTimeText(const FILETIME& utc) {
  FILETIME local{};
  SYSTEMTIME t{};
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &t)) return "";
  char text[64];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u %02u.%02u.%u", t.wHour, t.wMinute, t.wSecond,
                t.wMonth, t.wDay, t.wYear);
  return text;
}

std::string FormatServerStatus(const OPCSERVERSTATUS& s, const std::string& vendor) {
  char line[128];
  std::string out = "State:         " + ServerStateText(s.dwServerState) + "\n";
  std::snprintf(line, sizeof line, "Group Count:   %u\n", s.dwGroupCount);
  out += line;
  if (s.dwBandWidth == 0xFFFFFFFF) {
    out += "BandWidth:     Unknown\n";
  } else {
    std::snprintf(line, sizeof line, "BandWidth:     %u\n", s.dwBandWidth);
    out += line;
  }
  out += "Manufacturer:  " + vendor + "\n";
  std::snprintf(line, sizeof line, "Version:       %u.%u, build %u\n", s.wMajorVersion,
                s.wMinorVersion, s.wBuildNumber);
  out += line;
  out += "Start:         " + StatusTimeText(s.ftStartTime) + "\n";
  out += "Current:       " + StatusTimeText(s.ftCurrentTime) + "\n";
  const bool noUpdate =
      s.ftLastUpdateTime.dwLowDateTime == 0 && s.ftLastUpdateTime.dwHighDateTime == 0;
  out += "Last Update:   " +
         (noUpdate ? std::string("No updates") : StatusTimeText(s.ftLastUpdateTime)) + "\n";
  return out;
}
