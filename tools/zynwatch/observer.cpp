#include "tools/zynwatch/observer.h"

#include <algorithm>

#include "platform/com/connpoint.h"
#include "platform/com/enum.h"
#include "platform/com/object.h"
#include "platform/com/taskmem.h"
#include "platform/com/variant.h"
#include "server/opc_server.h"

namespace {

// Turns each OnDataChange into a Sample of the watched counters (client handle = index).
class SampleSink final : public com::ComObject<IOPCDataCallback> {
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
  HRESULT OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                         FILETIME*, HRESULT*) override {
    return S_OK;
  }
  HRESULT OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
    return S_OK;
  }
  HRESULT OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

 private:
  std::function<void(const Sample&)> onSample_;
  std::size_t count_;
};

// Drains a string enumerator.
std::vector<std::string> Names(IEnumString* names) {
  std::vector<std::string> out;
  if (names == nullptr) return out;
  LPOLESTR name = nullptr;
  ULONG fetched = 0;
  while (names->Next(1, &name, &fetched) == S_OK && fetched == 1) {
    out.emplace_back(name);
    CoTaskMemFree(name);
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

}  // namespace

HRESULT Observer::Open() {
  com::ComPtr<OpcServer> server = OpcServer::Create();
  if (!server) return E_OUTOFMEMORY;
  HRESULT hr = server.As(&server_);
  if (FAILED(hr)) return hr;
  com::ComPtr<IOPCCommon> common;
  if (SUCCEEDED(server.As(&common))) common->SetClientName("zynwatch");
  return S_OK;
}

HRESULT Observer::List(const std::string& path, std::vector<std::string>* names, bool* leaves) {
  com::ComPtr<IOPCBrowseServerAddressSpace> browse;
  HRESULT hr = server_.As(&browse);
  if (FAILED(hr)) return hr;
  if (FAILED(hr = browse->ChangeBrowsePosition(OPC_BROWSE_TO, ""))) return hr;
  *leaves = false;
  std::string object, instance;
  SplitPath(path, &object, &instance);
  if (object.empty()) return Browse(browse.Get(), OPC_BRANCH, names);

  std::vector<std::string> objects;
  if (FAILED(hr = Browse(browse.Get(), OPC_BRANCH, &objects))) return hr;
  if (std::find(objects.begin(), objects.end(), object) == objects.end())
    return OPC_E_UNKNOWNITEMID;
  if (FAILED(hr = browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, object.c_str()))) return hr;
  if (FAILED(hr = Browse(browse.Get(), OPC_BRANCH, names))) return hr;
  if (!names->empty() && instance.empty()) return S_OK;  // the object's instances
  if (!instance.empty()) {
    hr = browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, instance.c_str());
    if (FAILED(hr)) return hr == E_INVALIDARG ? OPC_E_UNKNOWNITEMID : hr;
  }
  *leaves = true;
  return Browse(browse.Get(), OPC_LEAF, names);
}

HRESULT Observer::ListAll(std::vector<std::string>* paths) {
  std::vector<std::string> objects;
  bool leaves = false;
  HRESULT hr = List("", &objects, &leaves);
  if (FAILED(hr)) return hr;
  for (const std::string& object : objects) {
    std::vector<std::string> children;
    // An object whose data this machine lacks (no swap, no pressure information) lists nothing.
    if (FAILED(List("\\" + object, &children, &leaves))) continue;
    if (leaves) {
      for (const std::string& counter : children)
        paths->push_back("\\" + object + "\\" + counter);
      continue;
    }
    for (const std::string& instance : children) {
      std::string prefix = "\\" + object + "(" + instance + ")";
      std::vector<std::string> counters;
      if (FAILED(List(prefix, &counters, &leaves))) continue;  // the instance went away
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
