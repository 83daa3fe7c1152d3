// An observer of one machine's counters through the server's OPC interfaces: browsing, one-shot
// reads and a watched group. The server object is created in this process for now; once the
// network transport exists, the same calls go to a server on any machine.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

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

class Observer {
 public:
  // Creates the server object; a failure is the returned code.
  HRESULT Open();

  // Objects at the root (path empty); an object's instances, or its counters when it has none;
  // an instance's counters. *leaves says whether the names are counters.
  HRESULT List(const std::string& path, std::vector<std::string>* names, bool* leaves);
  // Every counter path of the catalogue that this machine has data for.
  HRESULT ListAll(std::vector<std::string>* paths);

  // One synchronous read from the device; values[i] is empty when counter i gave none.
  HRESULT Read(const std::vector<std::string>& paths, std::vector<std::optional<double>>* values,
               std::vector<Rejected>* rejected);

  // Watches `paths` in one group: `onSample` runs on the group's thread for every callback
  // until Stop. *revisedRate receives the rate the server chose. Fails when no counter is
  // accepted.
  HRESULT Watch(const std::vector<std::string>& paths, DWORD rate, float deadband,
                std::function<void(const Sample&)> onSample, DWORD* revisedRate,
                std::vector<Rejected>* rejected);
  // Unadvises and removes the watched group.
  void Stop();

 private:
  HRESULT AddGroupWithSink(DWORD rate, float deadband, std::function<void(const Sample&)> onSample,
                           std::size_t count, DWORD* revisedRate);
  HRESULT AddItems(const std::vector<std::string>& paths, std::vector<OPCHANDLE>* serverHandles,
                   std::vector<Rejected>* rejected);

  com::ComPtr<IOPCServer> server_;
  com::ComPtr<IUnknown> group_;
  OPCHANDLE groupHandle_ = 0;
  com::ComPtr<IConnectionPoint> point_;
  DWORD cookie_ = 0;
};
