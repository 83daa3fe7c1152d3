// OpcServer: the object a client gets when it activates the server class, one per client
// connection.
//
// It holds the client's groups, reports status and error texts, lets the client browse the
// counter catalogue and read three properties of a counter, and tells the client's
// IOPCShutdown sinks when it goes away. Next to OPC it offers IZYNMessenger, the remote
// administration of the machine, which its Messenger member handles. Every object is listed
// in the process's ClientList under its client's name and holds one process lock while it
// lives.
//
// Calls arrive on the server's apartment thread. The one lock guards the object's state all
// the same, because groups call back into their host (name checks, catalogue refresh) and the
// program's end reaches the object from another thread; it is recursive since a group's name
// check arrives while AddGroup holds it. Waits for group threads (removal, destruction) happen
// outside it.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "interfaces/messenger.h"
#include "interfaces/opc_common.h"
#include "interfaces/opc_da.h"
#include "platform/com/connpoint.h"
#include "platform/com/object.h"
#include "server/client_list.h"
#include "server/counter_browser.h"
#include "server/group_host.h"
#include "server/messenger.h"
#include "server/module_lock.h"
#include "server/opc_group.h"

class GroupEnumerator;

class OpcServer final
    : public com::ComObject<IOPCServer, IOPCCommon, IOPCItemProperties,
                            IOPCBrowseServerAddressSpace, IConnectionPointContainer, IZYNMessenger>,
      public GroupHost,
      public ListedServer {
 public:
  static constexpr WORD kMajorVersion = 3;
  static constexpr WORD kMinorVersion = 5;
  static constexpr WORD kBuildNumber = 63;
  static constexpr std::string_view kVendorInfo = "Corvane";

  // A new server object holding the first reference; null when it cannot be made.
  static com::ComPtr<OpcServer> Create();

  // Use Create; public only for com::MakeObject.
  OpcServer();

  // IOPCServer
  HRESULT AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                   OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID,
                   OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate, REFIID riid,
                   IUnknown** ppUnk) override;
  HRESULT GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override;
  HRESULT GetGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) override;
  HRESULT GetStatus(OPCSERVERSTATUS** ppServerStatus) override;
  HRESULT RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
  HRESULT CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, IUnknown** ppUnk) override;

  // IOPCCommon
  HRESULT SetLocaleID(LCID dwLcid) override;
  HRESULT GetLocaleID(LCID* pdwLcid) override;
  HRESULT QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override;
  HRESULT GetErrorString(HRESULT dwError, LPWSTR* ppString) override;
  HRESULT SetClientName(LPCWSTR szName) override;

  // IOPCItemProperties
  HRESULT QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                   LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) override;
  HRESULT GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                            VARIANT** ppvData, HRESULT** ppErrors) override;
  HRESULT LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                        LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) override;

  // IOPCBrowseServerAddressSpace
  HRESULT QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override;
  HRESULT ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override;
  HRESULT BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                           VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                           IEnumString** ppIEnumString) override;
  HRESULT GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override;
  HRESULT BrowseAccessPaths(LPCWSTR szItemID, IEnumString** ppIEnumString) override;

  // IConnectionPointContainer: one point, for IOPCShutdown.
  HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

  // IZYNMessenger: remote administration of the machine, handled by the object's Messenger.
  HRESULT ShowMessage(LPCWSTR szMessage) override;
  HRESULT ShowTipMessage(LPCWSTR szMessage, tagTipType tt) override;
  HRESULT GetScreenShot(BYTE** ppData, DWORD* pdwSize, tagZYNMBITMAPINFO** ppbiData,
                        const DWORD* pdwWidth, const DWORD* pdwHeight,
                        tagZYNWINDOWTYPE wtShow) override;
  HRESULT LockComputer() override;
  HRESULT Execute(LPCWSTR szName, LPCWSTR szParams) override;
  HRESULT GetSysInfo(VARIANT* pCaptionArray, VARIANT* pDescArray, VARIANT* pUsageArray) override;

  // GroupHost
  bool IsGroupNameInTable(std::string_view name) override;
  void RefreshCatalogue() override;

  // ListedServer: tells the connected IOPCShutdown sinks that the server goes away. Each
  // object sends this once: the program's end and the object's own end do not both notify.
  void SendShutdownRequest(std::string_view reason = kShutdownReason) override;

  // The client name given by SetClientName, "UNKNOWN" until then.
  std::string ClientName() const;
  std::size_t GroupCount() const;

 protected:
  ~OpcServer() override;

 private:
  friend class GroupEnumerator;

  using GroupTable = std::map<OPCHANDLE, com::ComPtr<OpcGroup>>;

  // For GroupEnumerator, whose position is the next handle to look at (64 bits wide, so the
  // position past the highest handle exists).
  //
  // The first group at or after `from` that is not marked removed and whose kind the scope
  // admits, with its handle in *handle; null when there is none. Its reference is the caller's.
  com::ComPtr<OpcGroup> NextGroup(std::uint64_t from, OPCENUMSCOPE scope, OPCHANDLE* handle) const;
  // The position `count` table entries on from `from`, whatever the groups are; *skipped says
  // how many entries there were to pass.
  std::uint64_t SkipGroups(std::uint64_t from, ULONG count, ULONG* skipped) const;

  const ModuleLockHolder processLock_;
  mutable std::recursive_mutex mutex_;
  OPCSERVERSTATUS status_{};
  GroupTable groups_;
  OPCHANDLE lastGroupHandle_ = 0;
  CounterBrowser browser_;
  std::string clientName_{kUnknownClientName};
  std::atomic<bool> shutdownSent_{false};
  com::ConnectionPoint shutdown_{this, IID_IOPCShutdown};
  Messenger messenger_;
};
