// Connection points: how an object calls back the sinks its clients hand it (a server's
// IOPCShutdown sinks, a group's IOPCDataCallback sinks).
//
// An object offering outgoing interfaces implements IConnectionPointContainer and owns one
// com::ConnectionPoint per outgoing interface as a member:
//
//   class Server final : public com::ComObject<IOPCServer, IConnectionPointContainer> {
//     HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** pp) override {
//       return com::FindConnectionPoint({&shutdown_}, riid, pp);
//     }
//     HRESULT EnumConnectionPoints(IEnumConnectionPoints** pp) override {
//       return com::EnumConnectionPoints({&shutdown_}, pp);
//     }
//     com::ConnectionPoint shutdown_{this, IID_IOPCShutdown};
//   };
//
// The point shares its container's reference count: a client holding the point keeps the
// container alive, and since the container never holds a reference on its own point no cycle
// forms. The sinks are released when they are unadvised or when the container ends.
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <limits>
#include <mutex>
#include <span>
#include <vector>

#include "platform/com/enum.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/types.h"
#include "platform/com/unknown.h"

inline constexpr IID IID_IConnectionPointContainer =
    com::Guid("B196B284-BAB4-101A-B69C-00AA00341D07");
inline constexpr IID IID_IEnumConnectionPoints = com::Guid("B196B285-BAB4-101A-B69C-00AA00341D07");
inline constexpr IID IID_IConnectionPoint = com::Guid("B196B286-BAB4-101A-B69C-00AA00341D07");
inline constexpr IID IID_IEnumConnections = com::Guid("B196B287-BAB4-101A-B69C-00AA00341D07");

// One connection: the sink (its outgoing-interface pointer) and the cookie that names it.
struct CONNECTDATA {
  IUnknown* pUnk;
  DWORD dwCookie;
};

struct IConnectionPointContainer;

struct IEnumConnections : IUnknown {
  static constexpr const IID& kIID = IID_IEnumConnections;

  // rgelt[i].pUnk carries one reference for the caller.
  virtual HRESULT Next(ULONG celt, CONNECTDATA* rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnections** ppenum) = 0;

 protected:
  ~IEnumConnections() = default;
};

struct IConnectionPoint : IUnknown {
  static constexpr const IID& kIID = IID_IConnectionPoint;

  virtual HRESULT GetConnectionInterface(IID* pIID) = 0;
  virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) = 0;
  virtual HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) = 0;
  virtual HRESULT Unadvise(DWORD dwCookie) = 0;
  virtual HRESULT EnumConnections(IEnumConnections** ppEnum) = 0;

 protected:
  ~IConnectionPoint() = default;
};

struct IEnumConnectionPoints : IUnknown {
  static constexpr const IID& kIID = IID_IEnumConnectionPoints;

  // rgelt[i] carries one reference for the caller.
  virtual HRESULT Next(ULONG celt, IConnectionPoint** rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnectionPoints** ppenum) = 0;

 protected:
  ~IEnumConnectionPoints() = default;
};

struct IConnectionPointContainer : IUnknown {
  static constexpr const IID& kIID = IID_IConnectionPointContainer;

  virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) = 0;
  virtual HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) = 0;

 protected:
  ~IConnectionPointContainer() = default;
};

namespace com {

// The connection point of one outgoing interface, a member of its container.
//
// Identity: the point is an object of its own as far as QueryInterface goes (IUnknown and
// IConnectionPoint give the point, anything else E_NOINTERFACE), so the identity rules hold
// on both sides; only AddRef and Release go to the container.
//
// Advise queries the sink for the outgoing interface and keeps that pointer, with one
// reference, under a cookie. Cookies start at 1 and are never handed out twice by one point,
// so a stale cookie cannot unadvise a later sink.
//
// Hooks let the owner act on changes of the list (a group registers each sink in the Global
// Interface Table and wakes its update thread). They run on the thread of the Advise or
// Unadvise, one change at a time per point, but outside the lock that Sinks() takes, so a
// thread that notifies while holding its owner's lock cannot deadlock against them. A hook
// must not call Advise or Unadvise of the same point.
class ConnectionPoint final : public IConnectionPoint {
 public:
  static constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

  // After a sink joined the list: a failure undoes the connection (the sink leaves the list
  // and is released, onUnadvised is not called) and is Advise's result.
  using AdvisedHook = std::function<HRESULT(DWORD cookie, IUnknown* sink)>;
  // After a sink left the list through Unadvise or DisconnectAll, while it is still held.
  using UnadvisedHook = std::function<void(DWORD cookie, IUnknown* sink)>;

  struct Options {
    std::size_t adviseLimit = kUnlimited;
    AdvisedHook onAdvised;
    UnadvisedHook onUnadvised;
  };

  // One connection as the point keeps it.
  struct Connection {
    DWORD cookie = 0;
    ComPtr<IUnknown> sink;  // the outgoing-interface pointer, typed as IUnknown
  };

  // `container` is the owner's container interface; its AddRef and Release are the point's.
  ConnectionPoint(IConnectionPointContainer* container, REFIID connectionIid);
  ConnectionPoint(IConnectionPointContainer* container, REFIID connectionIid, Options options);
  // Releases the sinks still connected, without calling hooks: the owner is already gone.
  ~ConnectionPoint();

  ConnectionPoint(const ConnectionPoint&) = delete;
  ConnectionPoint& operator=(const ConnectionPoint&) = delete;

  // IUnknown
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IConnectionPoint
  HRESULT GetConnectionInterface(IID* pIID) override;
  HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
  // Missing pointers give E_POINTER; a sink without the outgoing interface
  // CONNECT_E_CANNOTCONNECT; a full list CONNECT_E_ADVISELIMIT. *pdwCookie is 0 on failure.
  HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
  // An unknown cookie gives CONNECT_E_NOCONNECTION.
  HRESULT Unadvise(DWORD dwCookie) override;
  // A snapshot of the connections at the time of the call.
  HRESULT EnumConnections(IEnumConnections** ppEnum) override;

  // For the owner.
  const IID& ConnectionIid() const { return iid_; }
  void SetAdviseLimit(std::size_t limit);
  void SetHooks(AdvisedHook onAdvised, UnadvisedHook onUnadvised);
  // Unadvises every sink (hooks called); for the owner's shutdown while it is still whole.
  void DisconnectAll();

  // Snapshots for callers that notify; each pointer holds its own reference, so the sinks
  // stay valid while they are called even if they are unadvised meanwhile.
  std::size_t ConnectionCount() const;
  std::vector<Connection> Connections() const;
  std::vector<ComPtr<IUnknown>> Sinks() const;
  // The sinks typed as the outgoing interface I, which must be the point's interface (an
  // empty list otherwise).
  template <class I>
  std::vector<ComPtr<I>> SinksAs() const {
    std::vector<ComPtr<I>> out;
    if (IidOf<I>() != iid_) return out;
    for (ComPtr<IUnknown>& sink : Sinks())
      out.emplace_back(static_cast<I*>(sink.Get()));
    return out;
  }

 private:
  // Takes the connection out of the list; null sink when the cookie is unknown.
  Connection Take(DWORD cookie);

  IConnectionPointContainer* const container_;
  const IID iid_;
  // Serialises Advise, Unadvise and the hooks; taken before listMutex_.
  std::mutex changeMutex_;
  AdvisedHook onAdvised_;
  UnadvisedHook onUnadvised_;
  // Guards the list, the limit and the cookie counter.
  mutable std::mutex listMutex_;
  std::vector<Connection> connections_;
  std::size_t adviseLimit_;
  DWORD lastCookie_ = 0;
};

// The container's side: FindConnectionPoint (an unknown IID gives CONNECT_E_NOCONNECTION) and
// EnumConnectionPoints over the container's points.
HRESULT FindConnectionPoint(std::span<ConnectionPoint* const> points, REFIID riid,
                            IConnectionPoint** ppCP);
HRESULT EnumConnectionPoints(std::span<ConnectionPoint* const> points,
                             IEnumConnectionPoints** ppEnum);
inline HRESULT FindConnectionPoint(std::initializer_list<ConnectionPoint*> points, REFIID riid,
                                   IConnectionPoint** ppCP) {
  return FindConnectionPoint(std::span<ConnectionPoint* const>(points.begin(), points.size()), riid,
                             ppCP);
}
inline HRESULT EnumConnectionPoints(std::initializer_list<ConnectionPoint*> points,
                                    IEnumConnectionPoints** ppEnum) {
  return EnumConnectionPoints(std::span<ConnectionPoint* const>(points.begin(), points.size()),
                              ppEnum);
}

}  // namespace com
