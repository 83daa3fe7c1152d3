#include "tools/zynwatch/observer.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "interfaces/data_change_sink.h"
#include "interfaces/opc_common.h"
#include "interfaces/zyn_ids.h"
#include "platform/com/connpoint.h"
#include "platform/com/enum.h"
#include "platform/com/object.h"
#include "platform/com/taskmem.h"
#include "platform/com/variant.h"
#include "platform/remote/activation.h"

namespace {

// Turns each OnDataChange into a Sample of the watched counters (client handle = index).
class SampleSink final : public DataChangeSink {
 public:
  SampleSink(std::function<void(const Sample&)> onSample, std::size_t count)
      : onSample_(std::move(onSample)), count_(count) {}

  HRESULT OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE* phClientItems,
                       VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                       HRESULT*) override {
    Sample sample;
    sample.values.resize(count_);
    for (DWORD i = 0; i < dwCount; ++i) {
      if (phClientItems[i] >= count_ || pwQualities[i] != OPC_QUALITY_GOOD) continue;
      if (pvValues[i].vt != VT_R8) continue;
      sample.values[phClientItems[i]] = pvValues[i].dblVal;
      if (com::FileTimeToU64(pftTimeStamps[i]) > com::FileTimeToU64(sample.timeStamp))
        sample.timeStamp = pftTimeStamps[i];
    }
    if (dwCount > 0) onSample_(sample);
    return S_OK;
  }

 private:
  std::function<void(const Sample&)> onSample_;
  std::size_t count_;
};

// Drains a string enumerator, many names per call: over the network each call is a round
// trip, and an object can have hundreds of instances.
std::vector<std::string> Names(IEnumString* names) {
  std::vector<std::string> out;
  if (names == nullptr) return out;
  constexpr ULONG kBatch = 256;
  LPOLESTR batch[kBatch];
  for (;;) {
    ULONG fetched = 0;
    HRESULT hr = names->Next(kBatch, batch, &fetched);
    if (FAILED(hr)) break;
    for (ULONG i = 0; i < fetched && i < kBatch; ++i) {
      out.emplace_back(batch[i] ? batch[i] : "");
      CoTaskMemFree(batch[i]);
    }
    if (hr != S_OK || fetched < kBatch) break;
  }
  return out;
}

HRESULT Browse(IOPCBrowseServerAddressSpace* browse, OPCBROWSETYPE type,
               std::vector<std::string>* names) {
  com::ComPtr<IEnumString> list;
  HRESULT hr = browse->BrowseOPCItemIDs(type, "", VT_EMPTY, 0, list.ReleaseAndGetAddressOf());
  if (FAILED(hr)) return hr;
  *names = Names(list.Get());
  return S_OK;
}

// Splits "\Object(Instance)\Counter" (leading backslash optional) into its parts.
void SplitPath(const std::string& path, std::string* object, std::string* instance) {
  std::string rest = !path.empty() && path[0] == '\\' ? path.substr(1) : path;
  if (auto slash = rest.find('\\'); slash != std::string::npos) rest.resize(slash);
  auto open = rest.find('(');
  if (open != std::string::npos && rest.back() == ')') {
    *object = rest.substr(0, open);
    *instance = rest.substr(open + 1, rest.size() - open - 2);
  } else {
    *object = rest;
    instance->clear();
  }
}

// The value of an integer VARIANT; empty for any other type.
std::optional<long long> IntegerValue(const VARIANT& v) {
  switch (v.vt) {
    case VT_I1:
      return v.cVal;
    case VT_UI1:
      return v.bVal;
    case VT_I2:
      return v.iVal;
    case VT_UI2:
      return v.uiVal;
    case VT_I4:
    case VT_INT:
      return v.lVal;
    case VT_UI4:
    case VT_UINT:
      return v.ulVal;
    case VT_I8:
      return v.llVal;
    default:
      return std::nullopt;
  }
}

// Records the reason a server gives when it is about to go away.
class ShutdownSink final : public com::ComObject<IOPCShutdown> {
 public:
  using Notice = Observer::ShutdownNotice;
  explicit ShutdownSink(std::shared_ptr<Notice> notice) : notice_(std::move(notice)) {}

  HRESULT ShutdownRequest(LPCWSTR szReason) override {
    std::lock_guard lock(notice_->mutex);
    notice_->requested = true;
    notice_->reason = szReason ? szReason : "";
    return S_OK;
  }

 private:
  std::shared_ptr<Notice> notice_;
};

// How the server's tray lists this client: the command, its user and its machine.
std::string ClientName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  const char* user = std::getenv("USER");
  std::string name = "zynwatch";
  if (user && *user)
    name += std::string(" ") + user + (host[0] ? "@" : "");
  else if (host[0])
    name += " ";
  return name + host;
}

}  // namespace

Observer::~Observer() {
  Close();
}

HRESULT Observer::Connect(const std::string& machine, DWORD timeLimitMs) {
  com::ComPtr<IOPCServer> server;
  HRESULT hr = zyn::remote::ActivateWithTimeLimit(machine, CLSID_ZYNServer, IID_IOPCServer,
                                                  timeLimitMs, CO_E_SERVER_START_TIMEOUT,
                                                  server.ReleaseAndGetVoidAddressOf());
  if (FAILED(hr)) return hr;
  return Attach(std::move(server));
}

HRESULT Observer::Attach(com::ComPtr<IOPCServer> server) {
  Close();
  if (!server) return E_POINTER;
  server_ = std::move(server);
  com::ComPtr<IOPCCommon> common;
  if (SUCCEEDED(server_.As(&common))) common->SetClientName(ClientName().c_str());
  AdviseShutdown();
  return S_OK;
}

void Observer::AdviseShutdown() {
  com::ComPtr<IConnectionPointContainer> container;
  if (FAILED(server_.As(&container))) return;
  if (FAILED(container->FindConnectionPoint(IID_IOPCShutdown,
                                            shutdownPoint_.ReleaseAndGetAddressOf())))
    return;
  auto sink = com::MakeObject<ShutdownSink>(shutdown_);
  if (!sink ||
      FAILED(shutdownPoint_->Advise(static_cast<IOPCShutdown*>(sink.Get()), &shutdownCookie_))) {
    shutdownPoint_ = nullptr;
    shutdownCookie_ = 0;
  }
}

bool Observer::ShutdownRequested(std::string* reason) const {
  std::lock_guard lock(shutdown_->mutex);
  if (shutdown_->requested && reason) *reason = shutdown_->reason;
  return shutdown_->requested;
}

void Observer::Close() {
  Stop();
  if (shutdownPoint_ && shutdownCookie_ != 0) shutdownPoint_->Unadvise(shutdownCookie_);
  shutdownCookie_ = 0;
  shutdownPoint_ = nullptr;
  server_ = nullptr;
}

HRESULT Observer::List(const std::string& path, std::vector<std::string>* names, bool* leaves) {
  *leaves = false;
  names->clear();
  std::string object, instance;
  SplitPath(path, &object, &instance);
  if (object.empty()) return ListAt("", "", names, leaves);
  // An unknown object is told apart from other failures by the root's list.
  std::vector<std::string> objects;
  HRESULT hr = ListAt("", "", &objects, leaves);
  if (FAILED(hr)) return hr;
  if (std::find(objects.begin(), objects.end(), object) == objects.end())
    return OPC_E_UNKNOWNITEMID;
  return ListAt(object, instance, names, leaves);
}

HRESULT Observer::ListAt(const std::string& object, const std::string& instance,
                         std::vector<std::string>* names, bool* leaves) {
  *leaves = false;
  names->clear();
  com::ComPtr<IOPCBrowseServerAddressSpace> browse;
  HRESULT hr = server_.As(&browse);
  if (FAILED(hr)) return hr;
  if (FAILED(hr = browse->ChangeBrowsePosition(OPC_BROWSE_TO, ""))) return hr;
  if (object.empty()) return Browse(browse.Get(), OPC_BRANCH, names);
  hr = browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, object.c_str());
  if (FAILED(hr)) return hr == E_INVALIDARG ? OPC_E_UNKNOWNITEMID : hr;
  if (instance.empty()) {
    if (FAILED(hr = Browse(browse.Get(), OPC_BRANCH, names))) return hr;
    if (!names->empty()) return S_OK;  // the object's instances
  } else {
    hr = browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, instance.c_str());
    if (FAILED(hr)) return hr == E_INVALIDARG ? OPC_E_UNKNOWNITEMID : hr;
  }
  *leaves = true;
  return Browse(browse.Get(), OPC_LEAF, names);
}

HRESULT Observer::ListAll(std::vector<std::string>* paths) {
  paths->clear();
  std::vector<std::string> objects;
  bool leaves = false;
  HRESULT hr = ListAt("", "", &objects, &leaves);
  if (FAILED(hr)) return hr;
  for (const std::string& object : objects) {
    std::vector<std::string> children;
    // An object whose data this machine lacks (no swap, no pressure information) lists nothing.
    if (FAILED(ListAt(object, "", &children, &leaves))) continue;
    if (leaves) {
      for (const std::string& counter : children)
        paths->push_back("\\" + object + "\\" + counter);
      continue;
    }
    // Counters belong to the object: every instance has the same ones, so they are asked for
    // once (from an instance that still exists), not once per process or thread.
    std::vector<std::string> counters;
    for (const std::string& instance : children)
      if (SUCCEEDED(ListAt(object, instance, &counters, &leaves))) break;
    for (const std::string& instance : children) {
      std::string prefix = "\\" + object + "(" + instance + ")";
      for (const std::string& counter : counters)
        paths->push_back(prefix + "\\" + counter);
    }
  }
  return S_OK;
}

HRESULT Observer::AddGroupWithSink(DWORD rate, float deadband,
                                   std::function<void(const Sample&)> onSample, std::size_t count,
                                   DWORD* revisedRate) {
  HRESULT hr = server_->AddGroup("", TRUE, rate, 0, nullptr, &deadband, 0, &groupHandle_,
                                 revisedRate, IID_IUnknown, group_.ReleaseAndGetAddressOf());
  if (FAILED(hr)) return hr;
  com::ComPtr<IConnectionPointContainer> container;
  if (FAILED(hr = group_.As(&container))) return hr;
  hr = container->FindConnectionPoint(IID_IOPCDataCallback, point_.ReleaseAndGetAddressOf());
  if (FAILED(hr)) return hr;
  auto sink = com::MakeObject<SampleSink>(std::move(onSample), count);
  if (!sink) return E_OUTOFMEMORY;
  return point_->Advise(sink->Identity(), &cookie_);
}

HRESULT Observer::AddItems(const std::vector<std::string>& paths,
                           std::vector<OPCHANDLE>* serverHandles, std::vector<Rejected>* rejected) {
  com::ComPtr<IOPCItemMgt> items;
  HRESULT hr = group_.As(&items);
  if (FAILED(hr)) return hr;
  std::vector<OPCITEMDEF> defs(paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i)
    defs[i] = OPCITEMDEF{nullptr,  const_cast<LPWSTR>(paths[i].c_str()),
                         TRUE,     static_cast<OPCHANDLE>(i),
                         0,        nullptr,
                         VT_EMPTY, 0};
  OPCITEMRESULT* results = nullptr;
  HRESULT* errors = nullptr;
  hr = items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors);
  if (FAILED(hr)) return hr;
  com::TaskMem<OPCITEMRESULT[]> ownedResults(results);
  com::TaskMem<HRESULT[]> ownedErrors(errors);
  serverHandles->assign(paths.size(), 0);
  bool any = false;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (FAILED(errors[i])) {
      rejected->push_back({paths[i], errors[i]});
    } else {
      (*serverHandles)[i] = results[i].hServer;
      any = true;
    }
  }
  return any ? S_OK : errors[0];
}

HRESULT Observer::Read(const std::vector<std::string>& paths,
                       std::vector<std::optional<double>>* values,
                       std::vector<Rejected>* rejected) {
  DWORD revised = 0;
  // An inactive group: the read needs items, and items need a sink, but no sampling.
  HRESULT hr = AddGroupWithSink(
      60000, 0, [](const Sample&) {}, paths.size(), &revised);
  std::vector<OPCHANDLE> handles;
  if (SUCCEEDED(hr)) hr = AddItems(paths, &handles, rejected);
  com::ComPtr<IOPCSyncIO> io;
  if (SUCCEEDED(hr)) hr = group_.As(&io);
  std::vector<OPCHANDLE> known;
  std::vector<std::size_t> index;
  for (std::size_t i = 0; SUCCEEDED(hr) && i < handles.size(); ++i)
    if (handles[i] != 0) {
      known.push_back(handles[i]);
      index.push_back(i);
    }
  OPCITEMSTATE* states = nullptr;
  HRESULT* errors = nullptr;
  if (SUCCEEDED(hr))
    hr = io->Read(OPC_DS_DEVICE, static_cast<DWORD>(known.size()), known.data(), &states, &errors);
  values->assign(paths.size(), std::nullopt);
  if (SUCCEEDED(hr)) {
    for (std::size_t k = 0; k < known.size(); ++k) {
      if (SUCCEEDED(errors[k]) && states[k].wQuality == OPC_QUALITY_GOOD &&
          states[k].vDataValue.vt == VT_R8)
        (*values)[index[k]] = states[k].vDataValue.dblVal;
      VariantClear(&states[k].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
  }
  Stop();
  return hr;
}

HRESULT Observer::Properties(const std::string& path, std::vector<ItemProperty>* properties) {
  properties->clear();
  com::ComPtr<IOPCItemProperties> items;
  HRESULT hr = server_.As(&items);
  if (FAILED(hr)) return hr;
  LPWSTR item = const_cast<LPWSTR>(path.c_str());
  DWORD count = 0;
  DWORD* ids = nullptr;
  LPWSTR* descriptions = nullptr;
  VARTYPE* types = nullptr;
  hr = items->QueryAvailableProperties(item, &count, &ids, &descriptions, &types);
  if (FAILED(hr)) return hr;
  com::TaskMem<DWORD[]> ownedIds(ids);
  com::TaskMem<LPWSTR[]> ownedDescriptions(descriptions);
  com::TaskMem<VARTYPE[]> ownedTypes(types);
  for (DWORD i = 0; i < count; ++i) {
    ItemProperty p;
    p.id = ids[i];
    p.description = descriptions[i] ? descriptions[i] : "";
    p.type = types[i];
    CoTaskMemFree(descriptions[i]);
    properties->push_back(std::move(p));
  }
  if (count == 0) return S_OK;
  VARIANT* values = nullptr;
  HRESULT* errors = nullptr;
  hr = items->GetItemProperties(item, count, ids, &values, &errors);
  if (FAILED(hr)) return hr;
  com::TaskMem<VARIANT[]> ownedValues(values);
  com::TaskMem<HRESULT[]> ownedErrors(errors);
  for (DWORD i = 0; i < count; ++i) {
    ItemProperty& p = (*properties)[i];
    p.error = errors[i];
    if (SUCCEEDED(errors[i])) p.value = IntegerValue(values[i]);
    VariantClear(&values[i]);
  }
  return S_OK;
}

HRESULT Observer::GetStatus(Status* status) {
  OPCSERVERSTATUS* record = nullptr;
  HRESULT hr = server_->GetStatus(&record);
  if (FAILED(hr)) return hr;
  if (record == nullptr) return E_POINTER;
  status->record = *record;
  status->vendor = record->szVendorInfo ? record->szVendorInfo : "";
  status->record.szVendorInfo = nullptr;
  CoTaskMemFree(record->szVendorInfo);
  CoTaskMemFree(record);
  return S_OK;
}

HRESULT Observer::Watch(const std::vector<std::string>& paths, DWORD rate, float deadband,
                        std::function<void(const Sample&)> onSample, DWORD* revisedRate,
                        std::vector<Rejected>* rejected) {
  HRESULT hr = AddGroupWithSink(rate, deadband, std::move(onSample), paths.size(), revisedRate);
  std::vector<OPCHANDLE> handles;
  if (SUCCEEDED(hr)) hr = AddItems(paths, &handles, rejected);
  if (FAILED(hr)) Stop();
  return hr;
}

void Observer::Stop() {
  if (point_ && cookie_ != 0) point_->Unadvise(cookie_);
  cookie_ = 0;
  point_ = nullptr;
  group_ = nullptr;
  if (groupHandle_ != 0 && server_) server_->RemoveGroup(groupHandle_, TRUE);
  groupHandle_ = 0;
}
