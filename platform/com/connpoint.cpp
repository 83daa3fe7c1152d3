#include "platform/com/connpoint.h"

#include <algorithm>
#include <new>
#include <utility>

namespace com {
namespace {

struct ConnectionCopyPolicy {
  static HRESULT CopyOut(const ConnectionPoint::Connection& from, CONNECTDATA* to) {
    to->dwCookie = from.cookie;
    return from.sink.CopyTo(&to->pUnk);
  }
  static void Discard(CONNECTDATA* item) {
    if (item->pUnk) item->pUnk->Release();
    *item = CONNECTDATA{};
  }
};

}  // namespace

ConnectionPoint::ConnectionPoint(IConnectionPointContainer* container, REFIID connectionIid)
    : ConnectionPoint(container, connectionIid, Options{}) {}

ConnectionPoint::ConnectionPoint(IConnectionPointContainer* container, REFIID connectionIid,
                                 Options options)
    : container_(container),
      iid_(connectionIid),
      onAdvised_(std::move(options.onAdvised)),
      onUnadvised_(std::move(options.onUnadvised)),
      adviseLimit_(options.adviseLimit) {}

ConnectionPoint::~ConnectionPoint() {
  // The list is emptied before the sinks are released, so a sink whose end calls back into
  // the point finds a whole, empty list.
  std::vector<Connection> left;
  {
    std::lock_guard lock(listMutex_);
    left.swap(connections_);
  }
}

HRESULT ConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IConnectionPoint)
    return ReturnInterface<IConnectionPoint>(this, ppv);
  return E_NOINTERFACE;
}

ULONG ConnectionPoint::AddRef() {
  return container_->AddRef();
}

ULONG ConnectionPoint::Release() {
  return container_->Release();
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* pIID) {
  if (pIID == nullptr) return E_POINTER;
  *pIID = iid_;
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
  if (ppCPC == nullptr) return E_POINTER;
  container_->AddRef();
  *ppCPC = container_;
  return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
  if (pdwCookie) *pdwCookie = 0;
  if (pUnkSink == nullptr || pdwCookie == nullptr) return E_POINTER;
  {
    std::lock_guard lock(listMutex_);
    if (connections_.size() >= adviseLimit_) return CONNECT_E_ADVISELIMIT;
  }

  // The sink may be a proxy whose QueryInterface travels; no lock is held across it.
  ComPtr<IUnknown> sink;
  HRESULT hr = pUnkSink->QueryInterface(iid_, sink.ReleaseAndGetVoidAddressOf());
  if (hr == E_NOINTERFACE || (SUCCEEDED(hr) && !sink)) return CONNECT_E_CANNOTCONNECT;
  if (FAILED(hr)) return hr;

  Connection undone;  // released after the locks, as its release may call back into us
  {
    std::lock_guard change(changeMutex_);
    DWORD cookie;
    {
      std::lock_guard lock(listMutex_);
      // The cookie counter running out is treated as a full list: reusing a cookie could
      // let a stale Unadvise disconnect somebody else's sink.
      if (connections_.size() >= adviseLimit_ || lastCookie_ == 0xFFFFFFFFu)
        return CONNECT_E_ADVISELIMIT;
      try {
        connections_.push_back(Connection{lastCookie_ + 1, sink});
      } catch (const std::bad_alloc&) {
        return CONNECT_E_ADVISELIMIT;
      }
      cookie = ++lastCookie_;
    }
    if (onAdvised_) {
      try {
        hr = onAdvised_(cookie, sink.Get());
      } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
      }
      if (FAILED(hr)) {
        undone = Take(cookie);
        return hr;
      }
    }
    *pdwCookie = cookie;
  }
  return S_OK;
}

ConnectionPoint::Connection ConnectionPoint::Take(DWORD cookie) {
  std::lock_guard lock(listMutex_);
  auto it = std::find_if(connections_.begin(), connections_.end(),
                         [cookie](const Connection& c) { return c.cookie == cookie; });
  if (it == connections_.end()) return Connection{0, nullptr};
  Connection taken = std::move(*it);
  connections_.erase(it);
  return taken;
}

HRESULT ConnectionPoint::Unadvise(DWORD dwCookie) {
  Connection taken;  // released after the locks: the sink's end may call back into us
  {
    std::lock_guard change(changeMutex_);
    taken = Take(dwCookie);
    if (!taken.sink) return CONNECT_E_NOCONNECTION;
    if (onUnadvised_) onUnadvised_(taken.cookie, taken.sink.Get());
  }
  return S_OK;
}

void ConnectionPoint::DisconnectAll() {
  std::vector<Connection> taken;
  {
    std::lock_guard change(changeMutex_);
    {
      std::lock_guard lock(listMutex_);
      taken.swap(connections_);
    }
    if (onUnadvised_) {
      for (const Connection& c : taken)
        onUnadvised_(c.cookie, c.sink.Get());
    }
  }
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
  if (ppEnum == nullptr) return E_POINTER;
  *ppEnum = nullptr;
  std::vector<Connection> snapshot;
  try {
    snapshot = Connections();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  auto enumerator =
      MakeVectorEnumerator<IEnumConnections, CONNECTDATA, Connection, ConnectionCopyPolicy>(
          std::move(snapshot));
  if (!enumerator) return E_OUTOFMEMORY;
  *ppEnum = enumerator.Detach();
  return S_OK;
}

void ConnectionPoint::SetAdviseLimit(std::size_t limit) {
  std::lock_guard lock(listMutex_);
  adviseLimit_ = limit;
}

void ConnectionPoint::SetHooks(AdvisedHook onAdvised, UnadvisedHook onUnadvised) {
  std::lock_guard change(changeMutex_);
  onAdvised_ = std::move(onAdvised);
  onUnadvised_ = std::move(onUnadvised);
}

std::size_t ConnectionPoint::ConnectionCount() const {
  std::lock_guard lock(listMutex_);
  return connections_.size();
}

std::vector<ConnectionPoint::Connection> ConnectionPoint::Connections() const {
  std::lock_guard lock(listMutex_);
  return connections_;
}

std::vector<ComPtr<IUnknown>> ConnectionPoint::Sinks() const {
  std::vector<ComPtr<IUnknown>> sinks;
  std::lock_guard lock(listMutex_);
  sinks.reserve(connections_.size());
  for (const Connection& c : connections_)
    sinks.push_back(c.sink);
  return sinks;
}

HRESULT FindConnectionPoint(std::span<ConnectionPoint* const> points, REFIID riid,
                            IConnectionPoint** ppCP) {
  if (ppCP == nullptr) return E_POINTER;
  *ppCP = nullptr;
  for (ConnectionPoint* point : points) {
    if (point->ConnectionIid() == riid) {
      point->AddRef();
      *ppCP = point;
      return S_OK;
    }
  }
  return CONNECT_E_NOCONNECTION;
}

HRESULT EnumConnectionPoints(std::span<ConnectionPoint* const> points,
                             IEnumConnectionPoints** ppEnum) {
  if (ppEnum == nullptr) return E_POINTER;
  *ppEnum = nullptr;
  std::vector<ComPtr<IConnectionPoint>> held;
  try {
    held.assign(points.begin(), points.end());
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  auto enumerator =
      MakeVectorEnumerator<IEnumConnectionPoints, IConnectionPoint*, ComPtr<IConnectionPoint>,
                           InterfaceCopyPolicy<IConnectionPoint>>(std::move(held));
  if (!enumerator) return E_OUTOFMEMORY;
  *ppEnum = enumerator.Detach();
  return S_OK;
}

}  // namespace com
