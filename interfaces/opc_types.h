// The handles, enumerations, constants and records of OPC Data Access 2.0.
//
// Field names and order are those of the published custom interface definitions, so code reads
// the same as any other OPC server or client. Every record is a plain aggregate: servers hand
// arrays of them out through the task allocator (com::TaskAllocArray), which zeroes them and
// frees them without running destructors.
//
// Ownership of what a record points to follows the direction it travels: a record a client
// passes in (OPCITEMDEF) stays the client's; a record the server hands out (OPCITEMRESULT,
// OPCITEMSTATE, OPCITEMATTRIBUTES, OPCSERVERSTATUS) belongs to the receiver together with its
// task-allocated strings and blobs, and its VARIANTs are cleared by the receiver.
#pragma once

#include <type_traits>

#include "platform/com/filetime.h"
#include "platform/com/types.h"
#include "platform/com/variant.h"

// A server's or client's name for a group or an item; chosen by whoever hands it out and
// meaningful only to that side.
using OPCHANDLE = DWORD;

// The enumerations are 32 bits wide on every side of a call; the fixed underlying type also
// makes any 32-bit value a valid object of the type, so a server can reject an unknown value
// instead of meeting undefined behaviour.

// Where a read takes its values from.
enum tagOPCDATASOURCE : DWORD {
  OPC_DS_CACHE = 1,
  OPC_DS_DEVICE = 2,
};
using OPCDATASOURCE = tagOPCDATASOURCE;

// What BrowseOPCItemIDs lists at the current position.
enum tagOPCBROWSETYPE : DWORD {
  OPC_BRANCH = 1,
  OPC_LEAF = 2,
  OPC_FLAT = 3,
};
using OPCBROWSETYPE = tagOPCBROWSETYPE;

// The shape of a server's address space (the misspelling is the standard's own name).
enum tagOPCNAMESPACETYPE : DWORD {
  OPC_NS_HIERARCHIAL = 1,
  OPC_NS_FLAT = 2,
};
using OPCNAMESPACETYPE = tagOPCNAMESPACETYPE;

// How ChangeBrowsePosition moves the browse position.
enum tagOPCBROWSEDIRECTION : DWORD {
  OPC_BROWSE_UP = 1,
  OPC_BROWSE_DOWN = 2,
  OPC_BROWSE_TO = 3,
};
using OPCBROWSEDIRECTION = tagOPCBROWSEDIRECTION;

// What an item's engineering-unit information (vEUInfo) holds.
enum tagOPCEUTYPE : DWORD {
  OPC_NOENUM = 0,
  OPC_ANALOG = 1,
  OPC_ENUMERATED = 2,
};
using OPCEUTYPE = tagOPCEUTYPE;

// The state a server reports in its status record.
enum tagOPCSERVERSTATE : DWORD {
  OPC_STATUS_RUNNING = 1,
  OPC_STATUS_FAILED = 2,
  OPC_STATUS_NOCONFIG = 3,
  OPC_STATUS_SUSPENDED = 4,
  OPC_STATUS_TEST = 5,
};
using OPCSERVERSTATE = tagOPCSERVERSTATE;

// Which groups CreateGroupEnumerator walks.
enum tagOPCENUMSCOPE : DWORD {
  OPC_ENUM_PRIVATE_CONNECTIONS = 1,
  OPC_ENUM_PUBLIC_CONNECTIONS = 2,
  OPC_ENUM_ALL_CONNECTIONS = 3,
  OPC_ENUM_PRIVATE = 4,
  OPC_ENUM_PUBLIC = 5,
  OPC_ENUM_ALL = 6,
};
using OPCENUMSCOPE = tagOPCENUMSCOPE;

// Access-rights bits of an item.
inline constexpr DWORD OPC_READABLE = 0x1;
inline constexpr DWORD OPC_WRITEABLE = 0x2;

// Quality word of a value: bits 7-6 the quality, 5-2 the substatus, 1-0 the limit.
inline constexpr WORD OPC_QUALITY_MASK = 0xC0;
inline constexpr WORD OPC_STATUS_MASK = 0xFC;
inline constexpr WORD OPC_LIMIT_MASK = 0x03;

inline constexpr WORD OPC_QUALITY_BAD = 0x00;
inline constexpr WORD OPC_QUALITY_UNCERTAIN = 0x40;
inline constexpr WORD OPC_QUALITY_GOOD = 0xC0;

inline constexpr WORD OPC_QUALITY_CONFIG_ERROR = 0x04;
inline constexpr WORD OPC_QUALITY_NOT_CONNECTED = 0x08;
inline constexpr WORD OPC_QUALITY_DEVICE_FAILURE = 0x0C;
inline constexpr WORD OPC_QUALITY_SENSOR_FAILURE = 0x10;
inline constexpr WORD OPC_QUALITY_LAST_KNOWN = 0x14;
inline constexpr WORD OPC_QUALITY_COMM_FAILURE = 0x18;
inline constexpr WORD OPC_QUALITY_OUT_OF_SERVICE = 0x1C;

inline constexpr WORD OPC_QUALITY_LAST_USABLE = 0x44;
inline constexpr WORD OPC_QUALITY_SENSOR_CAL = 0x50;
inline constexpr WORD OPC_QUALITY_EGU_EXCEEDED = 0x54;
inline constexpr WORD OPC_QUALITY_SUB_NORMAL = 0x58;

inline constexpr WORD OPC_QUALITY_LOCAL_OVERRIDE = 0xD8;

inline constexpr WORD OPC_LIMIT_OK = 0x00;
inline constexpr WORD OPC_LIMIT_LOW = 0x01;
inline constexpr WORD OPC_LIMIT_HIGH = 0x02;
inline constexpr WORD OPC_LIMIT_CONST = 0x03;

// Identifiers of the standard item properties (IOPCItemProperties).
inline constexpr DWORD OPC_PROP_CDT = 1;  // canonical data type
inline constexpr DWORD OPC_PROP_VALUE = 2;
inline constexpr DWORD OPC_PROP_QUALITY = 3;
inline constexpr DWORD OPC_PROP_TIME = 4;
inline constexpr DWORD OPC_PROP_RIGHTS = 5;  // access rights
inline constexpr DWORD OPC_PROP_SCANRATE = 6;
inline constexpr DWORD OPC_PROP_UNIT = 100;
inline constexpr DWORD OPC_PROP_DESC = 101;
inline constexpr DWORD OPC_PROP_HIEU = 102;
inline constexpr DWORD OPC_PROP_LOEU = 103;
inline constexpr DWORD OPC_PROP_HIRANGE = 104;
inline constexpr DWORD OPC_PROP_LORANGE = 105;
inline constexpr DWORD OPC_PROP_CLOSE = 106;
inline constexpr DWORD OPC_PROP_OPEN = 107;
inline constexpr DWORD OPC_PROP_TIMEZONE = 108;

// One item a client asks a group to add or validate. Owned by the client; the server copies
// what it keeps.
struct tagOPCITEMDEF {
  LPWSTR szAccessPath;  // may be null or empty: no access path
  LPWSTR szItemID;
  BOOL bActive;
  OPCHANDLE hClient;
  DWORD dwBlobSize;
  BYTE* pBlob;
  VARTYPE vtRequestedDataType;  // VT_EMPTY: the canonical type
  WORD wReserved;
};
using OPCITEMDEF = tagOPCITEMDEF;

// What the server made of one item definition (AddItems, ValidateItems). pBlob, when not
// null, is task-allocated and freed by the receiver.
struct tagOPCITEMRESULT {
  OPCHANDLE hServer;
  VARTYPE vtCanonicalDataType;
  WORD wReserved;
  DWORD dwAccessRights;
  DWORD dwBlobSize;
  BYTE* pBlob;
};
using OPCITEMRESULT = tagOPCITEMRESULT;

// One value of a synchronous read. The receiver clears vDataValue.
struct tagOPCITEMSTATE {
  OPCHANDLE hClient;
  FILETIME ftTimeStamp;  // UTC
  WORD wQuality;
  WORD wReserved;
  VARIANT vDataValue;
};
using OPCITEMSTATE = tagOPCITEMSTATE;

// Everything a group knows of one item, as its item enumerator hands it out. The strings and
// the blob are task-allocated and vEUInfo is cleared by the receiver.
struct tagOPCITEMATTRIBUTES {
  LPWSTR szAccessPath;
  LPWSTR szItemID;
  BOOL bActive;
  OPCHANDLE hClient;
  OPCHANDLE hServer;
  DWORD dwAccessRights;
  DWORD dwBlobSize;
  BYTE* pBlob;
  VARTYPE vtRequestedDataType;
  VARTYPE vtCanonicalDataType;
  OPCEUTYPE dwEUType;
  VARIANT vEUInfo;
};
using OPCITEMATTRIBUTES = tagOPCITEMATTRIBUTES;

// A server's status (GetStatus). The record and szVendorInfo are two task-allocated blocks,
// both freed by the receiver.
struct tagOPCSERVERSTATUS {
  FILETIME ftStartTime;  // all three times UTC
  FILETIME ftCurrentTime;
  FILETIME ftLastUpdateTime;
  OPCSERVERSTATE dwServerState;
  DWORD dwGroupCount;
  DWORD dwBandWidth;
  WORD wMajorVersion;
  WORD wMinorVersion;
  WORD wBuildNumber;
  WORD wReserved;
  LPWSTR szVendorInfo;
};
using OPCSERVERSTATUS = tagOPCSERVERSTATUS;

// The records cross the task allocator, which zeroes and frees them without constructors or
// destructors.
static_assert(std::is_trivial_v<OPCITEMDEF> && std::is_trivial_v<OPCITEMRESULT> &&
              std::is_trivial_v<OPCITEMSTATE> && std::is_trivial_v<OPCITEMATTRIBUTES> &&
              std::is_trivial_v<OPCSERVERSTATUS>);
static_assert(sizeof(OPCDATASOURCE) == 4 && sizeof(OPCENUMSCOPE) == 4 &&
              sizeof(OPCSERVERSTATE) == 4);
