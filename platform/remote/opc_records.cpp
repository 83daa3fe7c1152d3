#include "platform/remote/opc_records.h"

#include <cstring>

#include "platform/com/taskmem.h"
#include "platform/remote/errors.h"
#include "platform/remote/values.h"

namespace zyn::remote {
namespace {

BYTE* TaskBlob(capnp::Data::Reader data) {
  if (data.size() == 0) return nullptr;
  auto* blob = static_cast<BYTE*>(CoTaskMemAlloc(data.size()));
  if (blob) std::memcpy(blob, data.begin(), data.size());
  return blob;
}

}  // namespace

bool ItemDefs::Read(capnp::List<wire::ItemDef>::Reader list) {
  const unsigned n = list.size();
  accessPaths.resize(n);
  itemIds.resize(n);
  blobs.resize(n);
  defs.assign(n, OPCITEMDEF{});
  for (unsigned i = 0; i < n; ++i) {
    auto in = list[i];
    accessPaths[i] = ReadOptionalText(in.hasAccessPath(), in.getAccessPath());
    itemIds[i] = ReadOptionalText(in.hasItemId(), in.getItemId());
    auto blob = in.getBlob();
    blobs[i].assign(blob.begin(), blob.end());
    OPCITEMDEF& d = defs[i];
    d.szAccessPath = accessPaths[i] ? accessPaths[i]->data() : nullptr;
    d.szItemID = itemIds[i] ? itemIds[i]->data() : nullptr;
    d.bActive = in.getActive();
    d.hClient = in.getClient();
    d.dwBlobSize = static_cast<DWORD>(blobs[i].size());
    d.pBlob = blobs[i].empty() ? nullptr : blobs[i].data();
    d.vtRequestedDataType = in.getRequestedDataType();
    d.wReserved = in.getReserved();
  }
  return true;
}

void WriteItemDefs(const OPCITEMDEF* defs, DWORD count, capnp::List<wire::ItemDef>::Builder out) {
  for (DWORD i = 0; i < count; ++i) {
    const OPCITEMDEF& d = defs[i];
    auto w = out[i];
    if (d.szAccessPath) w.setAccessPath(d.szAccessPath);
    if (d.szItemID) w.setItemId(d.szItemID);
    w.setActive(d.bActive);
    w.setClient(d.hClient);
    if (d.pBlob && d.dwBlobSize) w.setBlob(capnp::Data::Reader(d.pBlob, d.dwBlobSize));
    w.setRequestedDataType(d.vtRequestedDataType);
    w.setReserved(d.wReserved);
  }
}

void WriteItemResults(const OPCITEMRESULT* results, DWORD n,
                      capnp::List<wire::ItemResult>::Builder out) {
  for (DWORD i = 0; i < n; ++i) {
    const OPCITEMRESULT& r = results[i];
    auto w = out[i];
    w.setServer(r.hServer);
    w.setCanonicalDataType(r.vtCanonicalDataType);
    w.setReserved(r.wReserved);
    w.setAccessRights(r.dwAccessRights);
    if (r.pBlob && r.dwBlobSize) w.setBlob(capnp::Data::Reader(r.pBlob, r.dwBlobSize));
  }
}

HRESULT ReadItemResults(capnp::List<wire::ItemResult>::Reader list, DWORD n, OPCITEMRESULT** out) {
  *out = nullptr;
  if (list.size() < n) return RPC_E_SERVERFAULT;
  auto results = com::TaskAllocArray<OPCITEMRESULT>(n);
  if (!results) return E_OUTOFMEMORY;
  for (DWORD i = 0; i < n; ++i) {
    auto in = list[i];
    OPCITEMRESULT& r = results[i];
    r.hServer = in.getServer();
    r.vtCanonicalDataType = in.getCanonicalDataType();
    r.wReserved = in.getReserved();
    r.dwAccessRights = in.getAccessRights();
    r.pBlob = TaskBlob(in.getBlob());
    r.dwBlobSize = r.pBlob ? static_cast<DWORD>(in.getBlob().size()) : 0;
  }
  *out = results.release();
  return S_OK;
}

void FreeItemResults(OPCITEMRESULT* results, DWORD n) {
  if (results == nullptr) return;
  for (DWORD i = 0; i < n; ++i)
    CoTaskMemFree(results[i].pBlob);
  CoTaskMemFree(results);
}

HRESULT WriteItemStates(const OPCITEMSTATE* states, DWORD n,
                        capnp::List<wire::ItemState>::Builder out) {
  for (DWORD i = 0; i < n; ++i) {
    const OPCITEMSTATE& s = states[i];
    auto w = out[i];
    w.setClient(s.hClient);
    WriteFileTime(s.ftTimeStamp, w.initTimeStamp());
    w.setQuality(s.wQuality);
    w.setReserved(s.wReserved);
    HRESULT hr = WriteVariant(s.vDataValue, w.initValue());
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT ReadItemStates(capnp::List<wire::ItemState>::Reader list, DWORD n, OPCITEMSTATE** out) {
  *out = nullptr;
  if (list.size() < n) return RPC_E_SERVERFAULT;
  auto states = com::TaskAllocArray<OPCITEMSTATE>(n);
  if (!states) return E_OUTOFMEMORY;
  for (DWORD i = 0; i < n; ++i) {
    auto in = list[i];
    OPCITEMSTATE& s = states[i];
    s.hClient = in.getClient();
    s.ftTimeStamp = ReadFileTime(in.getTimeStamp());
    s.wQuality = in.getQuality();
    s.wReserved = in.getReserved();
    HRESULT hr = ReadVariant(in.getValue(), &s.vDataValue);
    if (FAILED(hr)) {
      FreeItemStates(states.release(), i);
      return RPC_E_SERVERFAULT;
    }
  }
  *out = states.release();
  return S_OK;
}

void FreeItemStates(OPCITEMSTATE* states, DWORD n) {
  if (states == nullptr) return;
  for (DWORD i = 0; i < n; ++i)
    VariantClear(&states[i].vDataValue);
  CoTaskMemFree(states);
}

VariantArray::~VariantArray() {
  for (VARIANT& v : values)
    VariantClear(&v);
}

HRESULT VariantArray::Read(capnp::List<wire::Variant>::Reader list) {
  values.resize(list.size());
  for (VARIANT& v : values)
    VariantInit(&v);
  for (unsigned i = 0; i < list.size(); ++i) {
    HRESULT hr = ReadVariant(list[i], &values[i]);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT WriteVariants(const VARIANT* values, DWORD n, capnp::List<wire::Variant>::Builder out) {
  for (DWORD i = 0; i < n; ++i) {
    HRESULT hr = WriteVariant(values[i], out[i]);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

bool DataChangeCopy::Read(wire::DataChange::Reader in) {
  transid = in.getTransid();
  group = in.getGroup();
  masterQuality = in.getMasterQuality();
  masterError = in.getMasterError();
  count = in.getCount();
  auto items = in.getClientItems();
  auto vals = in.getValues();
  auto quals = in.getQualities();
  auto times = in.getTimeStamps();
  auto errs = in.getErrors();
  if (items.size() < count || vals.size() < count || quals.size() < count || times.size() < count ||
      errs.size() < count) {
    return false;
  }
  clientItems.resize(count);
  qualities.resize(count);
  timeStamps.resize(count);
  errors.resize(count);
  for (DWORD i = 0; i < count; ++i) {
    clientItems[i] = items[i];
    qualities[i] = quals[i];
    timeStamps[i] = ReadFileTime(times[i]);
    errors[i] = errs[i];
  }
  return SUCCEEDED(values.Read(vals));
}

HRESULT WriteDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                        HRESULT hrMastererror, DWORD dwCount, const OPCHANDLE* phClientItems,
                        const VARIANT* pvValues, const WORD* pwQualities,
                        const FILETIME* pftTimeStamps, const HRESULT* pErrors,
                        wire::DataChange::Builder out) {
  out.setTransid(dwTransid);
  out.setGroup(hGroup);
  out.setMasterQuality(hrMasterquality);
  out.setMasterError(hrMastererror);
  // Arrays that are missing travel as empty lists: the sink then sees a count of 0.
  const bool whole = phClientItems && pvValues && pwQualities && pftTimeStamps && pErrors;
  const DWORD n = whole ? dwCount : 0;
  out.setCount(n);
  auto items = out.initClientItems(n);
  auto quals = out.initQualities(n);
  auto times = out.initTimeStamps(n);
  auto errs = out.initErrors(n);
  for (DWORD i = 0; i < n; ++i) {
    items.set(i, phClientItems[i]);
    quals.set(i, pwQualities[i]);
    WriteFileTime(pftTimeStamps[i], times[i]);
    errs.set(i, pErrors[i]);
  }
  return n ? WriteVariants(pvValues, n, out.initValues(n)) : S_OK;
}

}  // namespace zyn::remote
