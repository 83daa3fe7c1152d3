// Status codes of the Performance Data Helper library, with the values PDH gives them.
//
// Codes 0x8xxxxxxx are warnings ("worked, but"), 0xCxxxxxxx errors; PDH_CSTATUS_* codes are
// also stored in the CStatus field of a counter value.
#pragma once

#include "platform/com/types.h"

inline constexpr DWORD PDH_CSTATUS_VALID_DATA = 0x00000000;
inline constexpr DWORD PDH_CSTATUS_NEW_DATA = 0x00000001;
inline constexpr DWORD PDH_CSTATUS_NO_MACHINE = 0x800007D0;
inline constexpr DWORD PDH_CSTATUS_NO_INSTANCE = 0x800007D1;
inline constexpr DWORD PDH_MORE_DATA = 0x800007D2;
inline constexpr DWORD PDH_CSTATUS_ITEM_NOT_VALIDATED = 0x800007D3;
inline constexpr DWORD PDH_RETRY = 0x800007D4;
inline constexpr DWORD PDH_NO_DATA = 0x800007D5;
inline constexpr DWORD PDH_CALC_NEGATIVE_DENOMINATOR = 0x800007D6;
inline constexpr DWORD PDH_CALC_NEGATIVE_TIMEBASE = 0x800007D7;
inline constexpr DWORD PDH_CALC_NEGATIVE_VALUE = 0x800007D8;
inline constexpr DWORD PDH_DIALOG_CANCELLED = 0x800007D9;
inline constexpr DWORD PDH_END_OF_LOG_FILE = 0x800007DA;
inline constexpr DWORD PDH_CSTATUS_NO_OBJECT = 0xC0000BB8;
inline constexpr DWORD PDH_CSTATUS_NO_COUNTER = 0xC0000BB9;
inline constexpr DWORD PDH_CSTATUS_INVALID_DATA = 0xC0000BBA;
inline constexpr DWORD PDH_MEMORY_ALLOCATION_FAILURE = 0xC0000BBB;
inline constexpr DWORD PDH_INVALID_HANDLE = 0xC0000BBC;
inline constexpr DWORD PDH_INVALID_ARGUMENT = 0xC0000BBD;
inline constexpr DWORD PDH_FUNCTION_NOT_FOUND = 0xC0000BBE;
inline constexpr DWORD PDH_CSTATUS_NO_COUNTERNAME = 0xC0000BBF;
inline constexpr DWORD PDH_CSTATUS_BAD_COUNTERNAME = 0xC0000BC0;
inline constexpr DWORD PDH_INVALID_BUFFER = 0xC0000BC1;
inline constexpr DWORD PDH_INSUFFICIENT_BUFFER = 0xC0000BC2;
inline constexpr DWORD PDH_CANNOT_CONNECT_MACHINE = 0xC0000BC3;
inline constexpr DWORD PDH_INVALID_PATH = 0xC0000BC4;
inline constexpr DWORD PDH_INVALID_INSTANCE = 0xC0000BC5;
inline constexpr DWORD PDH_INVALID_DATA = 0xC0000BC6;
inline constexpr DWORD PDH_NO_DIALOG_DATA = 0xC0000BC7;
inline constexpr DWORD PDH_CANNOT_READ_NAME_STRINGS = 0xC0000BC8;
inline constexpr DWORD PDH_NO_MORE_DATA = 0xC0000BCC;
inline constexpr DWORD PDH_FILE_NOT_FOUND = 0xC0000BD1;
inline constexpr DWORD PDH_NOT_IMPLEMENTED = 0xC0000BD3;
inline constexpr DWORD PDH_STRING_NOT_FOUND = 0xC0000BD4;

// True for PDH_CSTATUS_VALID_DATA and PDH_CSTATUS_NEW_DATA, the two statuses of a usable value.
constexpr bool IsSuccessSeverity(DWORD status) {
  return (status >> 30) == 0;
}
