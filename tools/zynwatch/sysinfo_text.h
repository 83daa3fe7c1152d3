// The system-information report as text: each category's caption, its description's lines
// indented below it, and its usage figure when it has one.
#pragma once

#include <string>
#include <vector>

#include "platform/com/hresult.h"
#include "platform/com/variant.h"

struct SysInfoEntry {
  std::string caption;
  std::string description;
  LONG usage = -1;  // percent; -1: none
};

// Reads the three arrays GetSysInfo returns (captions and descriptions as texts, usages as
// 4-byte integers, one entry per category). DISP_E_TYPEMISMATCH when they are not such arrays
// of one length.
HRESULT ReadSysInfo(const VARIANT& captions, const VARIANT& descriptions, const VARIANT& usages,
                    std::vector<SysInfoEntry>* entries);

std::string FormatSysInfo(const std::vector<SysInfoEntry>& entries);
