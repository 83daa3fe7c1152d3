// The OPC Data Access 2.0 custom interfaces: the server object, its groups, the client's data
// callback and the item enumerator. Including this header gives the shared OPC interfaces
// (opc_common.h) and the records (opc_types.h) too.
//
// Memory rules across these calls: every array or string a method hands out through an
// out-parameter is task-allocated (CoTaskMemAlloc) by the callee and freed by the caller with
// CoTaskMemFree, records with their strings and VARIANTs; a method that fails leaves its
// out-arrays null. Arrays and strings passed in stay the caller's. Interfaces returned through
// `IUnknown** ppUnk` carry one reference for the caller.
#pragma once

#include "interfaces/opc_common.h"
#include "interfaces/opc_types.h"
#include "platform/com/filetime.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/types.h"
#include "platform/com/unknown.h"
#include "platform/com/variant.h"

struct IEnumString;

inline constexpr IID IID_IOPCServer = com::Guid("39C13A4D-011E-11D0-9675-0020AFD8ADB3");
inline constexpr IID IID_IOPCBrowseServerAddressSpace =
    com::Guid("39C13A4F-011E-11D0-9675-0020AFD8ADB3");
inline constexpr IID IID_IOPCGroupStateMgt = com::Guid("39C13A50-011E-11D0-9675-0020AFD8ADB3");
inline constexpr IID IID_IOPCSyncIO = com::Guid("39C13A52-011E-11D0-9675-0020AFD8ADB3");
inline constexpr IID IID_IOPCItemMgt = com::Guid("39C13A54-011E-11D0-9675-0020AFD8ADB3");
inline constexpr IID IID_IEnumOPCItemAttributes = com::Guid("39C13A55-011E-11D0-9675-0020AFD8ADB3");
inline constexpr IID IID_IOPCDataCallback = com::Guid("39C13A70-011E-11D0-9675-0020AFD8ADB3");
inline constexpr IID IID_IOPCAsyncIO2 = com::Guid("39C13A71-011E-11D0-9675-0020AFD8ADB3");
inline constexpr IID IID_IOPCItemProperties = com::Guid("39C13A72-011E-11D0-9675-0020AFD8ADB3");

// Interfaces of public groups and of the older data-object transfer. Our objects do not
// implement them; the identifiers are here so that code and tests can name what is refused.
inline constexpr IID IID_IOPCServerPublicGroups = com::Guid("39C13A4E-011E-11D0-9675-0020AFD8ADB3");
inline constexpr IID IID_IOPCPublicGroupStateMgt =
    com::Guid("39C13A51-011E-11D0-9675-0020AFD8ADB3");
inline constexpr IID IID_IOPCAsyncIO = com::Guid("39C13A53-011E-11D0-9675-0020AFD8ADB3");

// Component categories a server class registers under, so that IOPCServerList finds it.
inline constexpr CATID CATID_OPCDAServer10 = com::Guid("63D5F430-CFE4-11D1-B2C8-0060083BA1FB");
inline constexpr CATID CATID_OPCDAServer20 = com::Guid("63D5F432-CFE4-11D1-B2C8-0060083BA1FB");

// The server object: creates, finds and removes groups and reports its status.
struct IOPCServer : IUnknown {
  static constexpr const IID& kIID = IID_IOPCServer;

  // pTimeBias and pPercentDeadband may be null (the server's defaults).
  virtual HRESULT AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                           OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                           DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                           REFIID riid, IUnknown** ppUnk) = 0;
  // *ppString: a task-allocated text.
  virtual HRESULT GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) = 0;
  virtual HRESULT GetGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) = 0;
  // *ppServerStatus: a task-allocated record whose szVendorInfo is a second block.
  virtual HRESULT GetStatus(OPCSERVERSTATUS** ppServerStatus) = 0;
  virtual HRESULT RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) = 0;
  // riid names the enumerator wanted: IEnumUnknown for the groups' objects, IEnumString for
  // their names.
  virtual HRESULT CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, IUnknown** ppUnk) = 0;

 protected:
  ~IOPCServer() = default;
};

// Item properties: values of an item that are not its data (type, rights, units, ...).
struct IOPCItemProperties : IUnknown {
  static constexpr const IID& kIID = IID_IOPCItemProperties;

  // Three task-allocated arrays of *pdwCount entries; the descriptions are task-allocated too.
  virtual HRESULT QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                           LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) = 0;
  // Two task-allocated arrays of dwCount entries; the receiver clears the VARIANTs.
  virtual HRESULT GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                    VARIANT** ppvData, HRESULT** ppErrors) = 0;
  // Two task-allocated arrays of dwCount entries; the item IDs are task-allocated too.
  virtual HRESULT LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) = 0;

 protected:
  ~IOPCItemProperties() = default;
};

// Walking the server's item IDs with a browse position kept per server object.
struct IOPCBrowseServerAddressSpace : IUnknown {
  static constexpr const IID& kIID = IID_IOPCBrowseServerAddressSpace;

  virtual HRESULT QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) = 0;
  virtual HRESULT ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) = 0;
  // *ppIEnumString: an enumerator (one reference) over the names at the current position.
  virtual HRESULT BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                   VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                   IEnumString** ppIEnumString) = 0;
  // *szItemID: a task-allocated text, the full item ID of szItemDataID at the current position.
  virtual HRESULT GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) = 0;
  virtual HRESULT BrowseAccessPaths(LPCWSTR szItemID, IEnumString** ppIEnumString) = 0;

 protected:
  ~IOPCBrowseServerAddressSpace() = default;
};

// A group's own settings.
struct IOPCGroupStateMgt : IUnknown {
  static constexpr const IID& kIID = IID_IOPCGroupStateMgt;

  // *ppName: a task-allocated text.
  virtual HRESULT GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                           FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                           OPCHANDLE* phServerGroup) = 0;
  // Every input pointer may be null: that setting stays as it is.
  virtual HRESULT SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                           LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                           OPCHANDLE* phClientGroup) = 0;
  virtual HRESULT SetName(LPCWSTR szName) = 0;
  virtual HRESULT CloneGroup(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) = 0;

 protected:
  ~IOPCGroupStateMgt() = default;
};

// A group's items. Every method works on dwCount items and answers with task-allocated
// arrays of dwCount entries: one HRESULT per item and, where named, one result record.
struct IOPCItemMgt : IUnknown {
  static constexpr const IID& kIID = IID_IOPCItemMgt;

  virtual HRESULT AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                           HRESULT** ppErrors) = 0;
  virtual HRESULT ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) = 0;
  virtual HRESULT RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) = 0;
  virtual HRESULT SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                 HRESULT** ppErrors) = 0;
  virtual HRESULT SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                   HRESULT** ppErrors) = 0;
  virtual HRESULT SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                               HRESULT** ppErrors) = 0;
  // riid must be IID_IEnumOPCItemAttributes.
  virtual HRESULT CreateEnumerator(REFIID riid, IUnknown** ppUnk) = 0;

 protected:
  ~IOPCItemMgt() = default;
};

// Reads and writes that finish before the call returns.
struct IOPCSyncIO : IUnknown {
  static constexpr const IID& kIID = IID_IOPCSyncIO;

  // Two task-allocated arrays of dwCount entries; the receiver clears each vDataValue.
  virtual HRESULT Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                       OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) = 0;
  virtual HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                        HRESULT** ppErrors) = 0;

 protected:
  ~IOPCSyncIO() = default;
};

// Reads, writes and refreshes whose results arrive later through the group's
// IOPCDataCallback connection point. *ppErrors: a task-allocated array of dwCount entries.
struct IOPCAsyncIO2 : IUnknown {
  static constexpr const IID& kIID = IID_IOPCAsyncIO2;

  virtual HRESULT Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID,
                       DWORD* pdwCancelID, HRESULT** ppErrors) = 0;
  virtual HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                        DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors) = 0;
  virtual HRESULT Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) = 0;
  virtual HRESULT Cancel2(DWORD dwCancelID) = 0;
  // Switches the periodic OnDataChange calls on and off; refreshes are answered either way.
  virtual HRESULT SetEnable(BOOL bEnable) = 0;
  virtual HRESULT GetEnable(BOOL* pbEnable) = 0;

 protected:
  ~IOPCAsyncIO2() = default;
};

// Implemented by a client and advised on a group. The arrays passed in belong to the caller
// and live only for the call: a sink copies what it keeps.
struct IOPCDataCallback : IUnknown {
  static constexpr const IID& kIID = IID_IOPCDataCallback;

  // dwTransid is 0 for a periodic update, the client's transaction ID for a refresh.
  virtual HRESULT OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                               HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                               VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                               HRESULT* pErrors) = 0;
  virtual HRESULT OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                 HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                                 VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                                 HRESULT* pErrors) = 0;
  virtual HRESULT OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr,
                                  DWORD dwCount, OPCHANDLE* pClienthandles, HRESULT* pErrors) = 0;
  virtual HRESULT OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) = 0;

 protected:
  ~IOPCDataCallback() = default;
};

// Walks a group's items.
struct IEnumOPCItemAttributes : IUnknown {
  static constexpr const IID& kIID = IID_IEnumOPCItemAttributes;

  // *ppItemArray: a task-allocated array of *pceltFetched records, whose strings, blobs and
  // vEUInfo the receiver frees too. S_FALSE when fewer than celt were left.
  virtual HRESULT Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) = 0;
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) = 0;

 protected:
  ~IEnumOPCItemAttributes() = default;
};
