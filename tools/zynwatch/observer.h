// An observer of one machine's counters through the server's OPC interfaces: browsing, one-shot
// reads, item properties, the server's status and a watched group. The server object may be a
// proxy of one on any machine (Connect) or one in this process (Attach, as the tests do).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "interfaces/opc_common.h"
#include "interfaces/opc_da.h"
#include "platform/com/connpoint.h"
#include "platform/com/filetime.h"
#include "platform/com/unknown.h"

// One callback's worth of values: for each watched counter, its value when the callback
// carried one.
struct Sample {
  FILETIME timeStamp{};  // UTC, of the newest value in the callback
  std::vector<std::optional<double>> values;
};

// A counter the server refused, with its code.
struct Rejected {
  std::string path;
  HRESULT code;
};

// One item property as the server describes it.
struct ItemProperty {
  DWORD id = 0;
  std::string description;
  VARTYPE type = VT_EMPTY;
  std::optional<long long> value;  // the properties of counters are all integers
  HRESULT error = S_OK;
};

class Observer {
 public:
  Observer() = default;
  ~Observer();
  Observer(const Observer&) = delete;
  Observer& operator=(const Observer&) = delete;

  // Activates the server class on `machine` within timeLimitMs and names this client to it.
  // A failure is the returned code; the activation's reason is in LastActivationError().
  HRESULT Connect(const std::string& machine, DWORD timeLimitMs);
  // Uses a server object obtained elsewhere.
  HRESULT Attach(com::ComPtr<IOPCServer> server);
  IOPCServer* server() const { return server_.Get(); }

  // Objects at the root (path empty); an object's instances, or its counters when it has none;
  // an instance's counters. *leaves says whether the names are counters.
  HRESULT List(const std::string& path, std::vector<std::string>* names, bool* leaves);
  // Every counter path of the catalogue that this machine has data for.
  HRESULT ListAll(std::vector<std::string>* paths);

  // One synchronous read from the device; values[i] is empty when counter i gave none.
  HRESULT Read(const std::vector<std::string>& paths, std::vector<std::optional<double>>* values,
               std::vector<Rejected>* rejected);

  // The properties the server offers for a counter, with their values.
  HRESULT Properties(const std::string& path, std::vector<ItemProperty>* properties);

  // The server's status record, its texts copied out.
  struct Status {
    OPCSERVERSTATUS record{};
    std::string vendor;
  };
  HRESULT GetStatus(Status* status);

  // Watches `paths` in one group: `onSample` runs on the client's apartment for every
  // callback until Stop. *revisedRate receives the rate the server chose. Fails when no
  // counter is accepted.
  HRESULT Watch(const std::vector<std::string>& paths, DWORD rate, float deadband,
                std::function<void(const Sample&)> onSample, DWORD* revisedRate,
                std::vector<Rejected>* rejected);
  // Unadvises and removes the watched group.
  void Stop();

  // Set once the server announced that it is going away, with its reason.
  bool ShutdownRequested(std::string* reason) const;

  // Releases the server object (and a watched group).
  void Close();

  // What the server said when it announced its end; written by the shutdown sink.
  struct ShutdownNotice {
    std::mutex mutex;
    bool requested = false;
    std::string reason;
  };

 private:
  HRESULT AddGroupWithSink(DWORD rate, float deadband, std::function<void(const Sample&)> onSample,
                           std::size_t count, DWORD* revisedRate);
  HRESULT AddItems(const std::vector<std::string>& paths, std::vector<OPCHANDLE>* serverHandles,
                   std::vector<Rejected>* rejected);
  void AdviseShutdown();
  // List's walk for a known object (and instance), without checking that the object exists.
  HRESULT ListAt(const std::string& object, const std::string& instance,
                 std::vector<std::string>* names, bool* leaves);

  com::ComPtr<IOPCServer> server_;
  com::ComPtr<IUnknown> group_;
  OPCHANDLE groupHandle_ = 0;
  com::ComPtr<IConnectionPoint> point_;
  DWORD cookie_ = 0;
  com::ComPtr<IConnectionPoint> shutdownPoint_;
  DWORD shutdownCookie_ = 0;
  std::shared_ptr<ShutdownNotice> shutdown_ = std::make_shared<ShutdownNotice>();
};
