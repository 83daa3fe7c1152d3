// The server's status record as the manager's "Server Status" dialog shows it, one field per
// line: state, group count, bandwidth, manufacturer, version and the three times.
#pragma once

#include <string>

#include "interfaces/opc_da.h"

// "Server running", "Server failed", ... or "Unknown".
std::string ServerStateText(DWORD state);

// A UTC time as local time, "HH:MM:SS MM.DD.YYYY".
std::string StatusTimeText(const FILETIME& utc);

// The whole record; `vendor` stands for its szVendorInfo.
std::string FormatServerStatus(const OPCSERVERSTATUS& status, const std::string& vendor);
