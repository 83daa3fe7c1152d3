// The Performance Data Helper interface: queries, counters, paths and the catalogue.
//
// The names, structures, status codes and calling conventions are those of the Windows
// library, so that code written against it (the OPC layer of the server) reads the same here.
// Text is UTF-8 `char`. Buffer sizes follow PDH's conventions: character counts for names and
// multi-strings (terminating NULs included), byte counts for the structures that carry their
// strings behind them (PDH_COUNTER_PATH_ELEMENTS, PDH_COUNTER_INFO). A call with a null buffer
// or a size of 0 asks for the size: it returns PDH_MORE_DATA and stores the size needed.
//
// The item space is the catalogue of objects in platform/perf/objects: objects, their
// instances and counters, with names in the user-interface language (German when the UI
// language is German, else English). Paths must use those local names:
//     [\\machine]\object[(parent/instance#index)]\counter
// A machine part other than this machine's host name gives PDH_CSTATUS_NO_MACHINE. Wildcard
// paths ("*") are not supported: they are reported as a missing instance or object.
//
// Handles are opaque. Every handle is looked up in a registry of live handles, so a closed,
// removed or made-up handle gives PDH_INVALID_HANDLE and is never dereferenced. All functions
// may be called from any thread; calls on one query are serialised by the query.
#pragma once

#include <cstdint>

#include "platform/com/filetime.h"
#include "platform/com/types.h"
#include "platform/perf/pdhmsg.h"
#include "platform/perf/winperf.h"

using DWORD_PTR = std::uintptr_t;
using PDH_STATUS = DWORD;

struct PdhQueryTag;
struct PdhCounterTag;
using PDH_HQUERY = PdhQueryTag*;
using PDH_HCOUNTER = PdhCounterTag*;

inline constexpr PDH_STATUS ERROR_SUCCESS = 0;

// Format flags of PdhGetFormattedCounterValue.
inline constexpr DWORD PDH_FMT_RAW = 0x00000010;
inline constexpr DWORD PDH_FMT_ANSI = 0x00000020;
inline constexpr DWORD PDH_FMT_UNICODE = 0x00000040;
inline constexpr DWORD PDH_FMT_LONG = 0x00000100;
inline constexpr DWORD PDH_FMT_DOUBLE = 0x00000200;
inline constexpr DWORD PDH_FMT_LARGE = 0x00000400;
inline constexpr DWORD PDH_FMT_NOSCALE = 0x00001000;
inline constexpr DWORD PDH_FMT_1000 = 0x00002000;
inline constexpr DWORD PDH_FMT_NODATA = 0x00004000;
inline constexpr DWORD PDH_FMT_NOCAP100 = 0x00008000;

// Detail levels of the enumeration functions.
inline constexpr DWORD PERF_DETAIL_NOVICE = 100;
inline constexpr DWORD PERF_DETAIL_ADVANCED = 200;
inline constexpr DWORD PERF_DETAIL_EXPERT = 300;
inline constexpr DWORD PERF_DETAIL_WIZARD = 400;

// Flags of PdhMakeCounterPath / PdhParseCounterPath.
inline constexpr DWORD PDH_PATH_WBEM_RESULT = 0x00000001;
inline constexpr DWORD PDH_PATH_WBEM_INPUT = 0x00000002;

struct PDH_FMT_COUNTERVALUE {
  DWORD CStatus;
  union {
    LONG longValue;
    double doubleValue;
    LONGLONG largeValue;
    const char* AnsiStringValue;
    const char* WideStringValue;
  };
};

struct PDH_RAW_COUNTER {
  DWORD CStatus;
  FILETIME TimeStamp;
  LONGLONG FirstValue;
  LONGLONG SecondValue;
  DWORD MultiCount;
};

struct PDH_COUNTER_PATH_ELEMENTS {
  LPWSTR szMachineName;
  LPWSTR szObjectName;
  LPWSTR szInstanceName;
  LPWSTR szParentInstance;
  DWORD dwInstanceIndex;
  LPWSTR szCounterName;
};

struct PDH_COUNTER_INFO {
  DWORD dwLength;  // bytes used in the caller's buffer, strings included
  DWORD dwType;
  DWORD CVersion;
  DWORD CStatus;
  LONG lScale;
  LONG lDefaultScale;
  DWORD_PTR dwUserData;
  DWORD_PTR dwQueryUserData;
  LPWSTR szFullPath;
  union {
    PDH_COUNTER_PATH_ELEMENTS CounterPath;
    struct {
      LPWSTR szMachineName;
      LPWSTR szObjectName;
      LPWSTR szInstanceName;
      LPWSTR szParentInstance;
      DWORD dwInstanceIndex;
      LPWSTR szCounterName;
    };
  };
  LPWSTR szExplainText;
  DWORD DataBuffer[1];
};

// Queries and counters.
PDH_STATUS PdhOpenQuery(LPCWSTR szDataSource, DWORD_PTR dwUserData, PDH_HQUERY* phQuery);
PDH_STATUS PdhCloseQuery(PDH_HQUERY hQuery);
PDH_STATUS PdhAddCounter(PDH_HQUERY hQuery, LPCWSTR szFullCounterPath, DWORD_PTR dwUserData,
                         PDH_HCOUNTER* phCounter);
// As PdhAddCounter, with the object and counter names of the path in English whatever the UI
// language (instance names are not translated).
PDH_STATUS PdhAddEnglishCounter(PDH_HQUERY hQuery, LPCWSTR szFullCounterPath, DWORD_PTR dwUserData,
                                PDH_HCOUNTER* phCounter);
PDH_STATUS PdhRemoveCounter(PDH_HCOUNTER hCounter);
PDH_STATUS PdhCollectQueryData(PDH_HQUERY hQuery);
PDH_STATUS PdhGetFormattedCounterValue(PDH_HCOUNTER hCounter, DWORD dwFormat, DWORD* lpdwType,
                                       PDH_FMT_COUNTERVALUE* pValue);
PDH_STATUS PdhGetRawCounterValue(PDH_HCOUNTER hCounter, DWORD* lpdwType, PDH_RAW_COUNTER* pValue);
PDH_STATUS PdhSetCounterScaleFactor(PDH_HCOUNTER hCounter, LONG lFactor);
// *pdwBufferSize is in bytes; the strings follow the record in the same buffer.
PDH_STATUS PdhGetCounterInfo(PDH_HCOUNTER hCounter, BOOL bRetrieveExplainText, DWORD* pdwBufferSize,
                             PDH_COUNTER_INFO* lpBuffer);

// Paths.
PDH_STATUS PdhValidatePath(LPCWSTR szFullPathBuffer);
// *pdwBufferSize is in bytes; the strings follow the record in the same buffer.
PDH_STATUS PdhParseCounterPath(LPCWSTR szFullPathBuffer,
                               PDH_COUNTER_PATH_ELEMENTS* pCounterPathElements,
                               DWORD* pdwBufferSize, DWORD dwFlags);
// *pcchBufferSize is in characters, the terminating NUL included.
PDH_STATUS PdhMakeCounterPath(const PDH_COUNTER_PATH_ELEMENTS* pCounterPathElements,
                              LPWSTR szFullPathBuffer, DWORD* pcchBufferSize, DWORD dwFlags);

// Catalogue. A null or empty szDataSource is the default data source (the live machine unless
// perf::SetDefaultDataSource says otherwise); a null machine name is this machine.
PDH_STATUS PdhEnumObjects(LPCWSTR szDataSource, LPCWSTR szMachineName, LPWSTR mszObjectList,
                          DWORD* pcchBufferSize, DWORD dwDetailLevel, BOOL bRefresh);
PDH_STATUS PdhEnumObjectItems(LPCWSTR szDataSource, LPCWSTR szMachineName, LPCWSTR szObjectName,
                              LPWSTR mszCounterList, DWORD* pcchCounterListLength,
                              LPWSTR mszInstanceList, DWORD* pcchInstanceListLength,
                              DWORD dwDetailLevel, DWORD dwFlags);
PDH_STATUS PdhLookupPerfNameByIndex(LPCWSTR szMachineName, DWORD dwNameIndex, LPWSTR szNameBuffer,
                                    DWORD* pcchNameBufferSize);
PDH_STATUS PdhLookupPerfIndexByName(LPCWSTR szMachineName, LPCWSTR szNameBuffer, DWORD* pdwIndex);
