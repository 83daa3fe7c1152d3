// OpcGroup: one OPC group of a server object. A group holds items (counters chosen by counter
// path), samples them on its own update thread at the group's rate, filters changes by a percent
// deadband and pushes the values to the client's IOPCDataCallback sinks; it also answers
// synchronous device reads and queued asynchronous reads and refreshes. Writes are refused.
//
// Everything the update thread touches lives in a GroupEngine that the group and the thread
// own together, so a thread that has to be abandoned (see Shutdown) can finish on its own
// without reaching a group that is gone.
//
// Interface methods arrive on the server's apartment thread. The server object creates groups
// with Create and drives their life with MarkRemoved and Shutdown; clients reach the rest.
//
// The update thread calls the sinks while it holds the group lock and the lock of its sink
// list, so a method waits for a running cycle and an Unadvise that returned means the sink is
// not called again. A sink must therefore not call back into its group (Unadvise included)
// from inside a callback; a remote client's callbacks are queued to its own thread and answered
// at once, so they never do.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "interfaces/opc_da.h"
#include "platform/com/connpoint.h"
#include "platform/com/object.h"
#include "server/group_host.h"

class GroupEngine;

class OpcGroup final : public com::ComObject<IOPCItemMgt, IOPCGroupStateMgt, IOPCSyncIO,
                                             IOPCAsyncIO2, IConnectionPointContainer> {
  struct Key {
    explicit Key() = default;
  };

 public:
  // A new group with its own sampling query, active, with an infinite rate until SetState
  // gives one. `host` is the server that keeps the group in its table (may be null). Null when
  // the query cannot be opened or memory runs out.
  static com::ComPtr<OpcGroup> Create(GroupHost* host, OPCHANDLE hServerGroup, LCID locale);

  // Only Create can call this (Key is private); it is public for com::MakeObject.
  OpcGroup(Key, GroupHost* host, OPCHANDLE hServerGroup, LCID locale,
           std::shared_ptr<GroupEngine> engine);

  std::string Name() const;
  // Groups of this server are always private.
  bool IsPublic() const { return false; }
  // RemoveGroup without force: the group leaves the server's table but goes on working for the
  // client that still holds it; enumerators of the server skip it.
  void MarkRemoved();
  bool IsRemoved() const;
  // Forgets the host without stopping anything: a group that left its server's table keeps
  // working for the client that holds it, but must never reach the server again, which may
  // end first. Called on the host's apartment thread, as every call that uses the host is.
  void DetachHost() { host_ = nullptr; }
  // Stops the update thread and forgets the host; idempotent. The thread is asked to stop and
  // given 5000 ms. A C++ thread cannot be killed safely, so one that does not end in time
  // (stuck in a client's callback, say) is detached: it holds the GroupEngine and its sink
  // references itself and ends on its own once the call returns, touching nothing that was
  // freed. After Shutdown the group still answers calls from a client that holds it, but no
  // longer samples: AddItems, asynchronous requests and new sinks are refused with E_FAIL.
  void Shutdown();

  // IOPCItemMgt
  HRESULT AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                   HRESULT** ppErrors) override;
  HRESULT ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                        OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) override;
  HRESULT RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
  HRESULT SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                         HRESULT** ppErrors) override;
  HRESULT SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                           HRESULT** ppErrors) override;
  HRESULT SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                       HRESULT** ppErrors) override;
  HRESULT CreateEnumerator(REFIID riid, IUnknown** ppUnk) override;

  // IOPCGroupStateMgt
  HRESULT GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                   FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                   OPCHANDLE* phServerGroup) override;
  HRESULT SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                   LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                   OPCHANDLE* phClientGroup) override;
  HRESULT SetName(LPCWSTR szName) override;
  HRESULT CloneGroup(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) override;

  // IOPCSyncIO (Read and Write overload those of IOPCAsyncIO2)
  HRESULT Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
               OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) override;
  HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                HRESULT** ppErrors) override;

  // IOPCAsyncIO2
  HRESULT Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
               HRESULT** ppErrors) override;
  HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                DWORD* pdwCancelID, HRESULT** ppErrors) override;
  HRESULT Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) override;
  HRESULT Cancel2(DWORD dwCancelID) override;
  HRESULT SetEnable(BOOL bEnable) override;
  HRESULT GetEnable(BOOL* pbEnable) override;

  // IConnectionPointContainer: one point, for IOPCDataCallback.
  HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

  // The state the update thread shares; for the group's own enumerator.
  const std::shared_ptr<GroupEngine>& Engine() const { return engine_; }

 protected:
  void OnFinalRelease() override;

 private:
  // Hooks of the connection point.
  HRESULT OnSinkAdvised(DWORD cookie, IUnknown* sink);
  void OnSinkUnadvised(DWORD cookie);
  // CONNECT_E_NOCONNECTION when no sink is connected, else S_OK.
  HRESULT RequireSink() const;
  // True once the first sink started the update thread and until Shutdown stops it.
  bool Sampling() const { return threadStarted_ && !shutDown_; }

  const std::shared_ptr<GroupEngine> engine_;
  const LCID locale_;
  std::atomic<GroupHost*> host_;
  std::atomic<bool> removed_{false};
  // Serialises Shutdown and the thread's start (Advise), which may run on different threads.
  std::mutex lifeMutex_;
  std::atomic<bool> shutDown_{false};  // written under lifeMutex_
  std::thread thread_;
  // Set once the first sink started the thread; items can be added from then on.
  std::atomic<bool> threadStarted_{false};
  com::ConnectionPoint dataCallback_;
};
