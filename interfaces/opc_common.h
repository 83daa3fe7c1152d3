// The interfaces OPC servers of every kind share: locale and error texts (IOPCCommon), the
// shutdown notice a server sends its clients (IOPCShutdown), and the per-machine list of
// installed servers (IOPCServerList).
//
// Strings a method hands out are task-allocated and freed by the caller with CoTaskMemFree;
// strings passed in stay the caller's.
#pragma once

#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/types.h"
#include "platform/com/unknown.h"

struct IEnumGUID;

inline constexpr IID IID_IOPCCommon = com::Guid("F31DFDE2-07B6-11D2-B2D8-0060083BA1FB");
inline constexpr IID IID_IOPCShutdown = com::Guid("F31DFDE1-07B6-11D2-B2D8-0060083BA1FB");
inline constexpr IID IID_IOPCServerList = com::Guid("13486D50-4821-11D2-A494-3CB306C10000");

// The class every machine offers to list its OPC servers by category.
inline constexpr CLSID CLSID_OPCServerList = com::Guid("13486D51-4821-11D2-A494-3CB306C10000");

// Locale and error texts of a server object, and the name its client goes by.
struct IOPCCommon : IUnknown {
  static constexpr const IID& kIID = IID_IOPCCommon;

  virtual HRESULT SetLocaleID(LCID dwLcid) = 0;
  virtual HRESULT GetLocaleID(LCID* pdwLcid) = 0;
  // *pdwLcid: a task-allocated array of *pdwCount locales.
  virtual HRESULT QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) = 0;
  // *ppString: a task-allocated text.
  virtual HRESULT GetErrorString(HRESULT dwError, LPWSTR* ppString) = 0;
  virtual HRESULT SetClientName(LPCWSTR szName) = 0;

 protected:
  ~IOPCCommon() = default;
};

// Implemented by a client and advised on the server's connection point; the server calls it
// once when it is about to go away, and the client should then release everything it holds.
struct IOPCShutdown : IUnknown {
  static constexpr const IID& kIID = IID_IOPCShutdown;

  virtual HRESULT ShutdownRequest(LPCWSTR szReason) = 0;

 protected:
  ~IOPCShutdown() = default;
};

// Lists the OPC server classes registered on a machine.
struct IOPCServerList : IUnknown {
  static constexpr const IID& kIID = IID_IOPCServerList;

  // Classes that implement all of rgcatidImpl and require nothing outside rgcatidReq.
  virtual HRESULT EnumClassesOfCategories(ULONG cImplemented, CATID rgcatidImpl[], ULONG cRequired,
                                          CATID rgcatidReq[], IEnumGUID** ppenumClsid) = 0;
  // *ppszProgID and *ppszUserType: task-allocated texts.
  virtual HRESULT GetClassDetails(REFCLSID clsid, LPOLESTR* ppszProgID, LPOLESTR* ppszUserType) = 0;
  virtual HRESULT CLSIDFromProgID(LPCOLESTR szProgId, CLSID* clsid) = 0;

 protected:
  ~IOPCServerList() = default;
};
