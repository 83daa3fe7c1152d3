// Wire forms of the OPC records and of arrays of VARIANTs, for the group and callback
// families. Read* on the stub side gives owned storage for the call; Read* on the proxy side
// gives task-allocated arrays the caller frees, as from a local object.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "interfaces/opc_da.h"
#include "platform/remote/opc.capnp.h"

namespace zyn::remote {

// Item definitions a client passed in, owned for the duration of the call.
struct ItemDefs {
  std::vector<std::optional<std::string>> accessPaths, itemIds;
  std::vector<std::vector<BYTE>> blobs;
  std::vector<OPCITEMDEF> defs;  // points into the members above
  bool Read(capnp::List<wire::ItemDef>::Reader list);
  OPCITEMDEF* data() { return defs.empty() ? nullptr : defs.data(); }
};
void WriteItemDefs(const OPCITEMDEF* defs, DWORD count, capnp::List<wire::ItemDef>::Builder out);

// n results of AddItems or ValidateItems.
void WriteItemResults(const OPCITEMRESULT* results, DWORD n,
                      capnp::List<wire::ItemResult>::Builder out);
HRESULT ReadItemResults(capnp::List<wire::ItemResult>::Reader list, DWORD n, OPCITEMRESULT** out);
void FreeItemResults(OPCITEMRESULT* results, DWORD n);

// n item states of a synchronous read.
HRESULT WriteItemStates(const OPCITEMSTATE* states, DWORD n,
                        capnp::List<wire::ItemState>::Builder out);
HRESULT ReadItemStates(capnp::List<wire::ItemState>::Reader list, DWORD n, OPCITEMSTATE** out);
void FreeItemStates(OPCITEMSTATE* states, DWORD n);

// An owned array of VARIANTs, cleared when it goes.
struct VariantArray {
  std::vector<VARIANT> values;
  VariantArray() = default;
  VariantArray(const VariantArray&) = delete;
  VariantArray& operator=(const VariantArray&) = delete;
  ~VariantArray();
  HRESULT Read(capnp::List<wire::Variant>::Reader list);
  VARIANT* data() { return values.empty() ? nullptr : values.data(); }
};
HRESULT WriteVariants(const VARIANT* values, DWORD n, capnp::List<wire::Variant>::Builder out);

// A callback's values, owned (the stub side of OnDataChange and OnReadComplete).
struct DataChangeCopy {
  DWORD transid = 0;
  OPCHANDLE group = 0;
  HRESULT masterQuality = S_OK, masterError = S_OK;
  DWORD count = 0;
  std::vector<OPCHANDLE> clientItems;
  VariantArray values;
  std::vector<WORD> qualities;
  std::vector<FILETIME> timeStamps;
  std::vector<HRESULT> errors;
  // False when the lists are shorter than count (a malformed callback).
  bool Read(wire::DataChange::Reader in);
};
HRESULT WriteDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                        HRESULT hrMastererror, DWORD dwCount, const OPCHANDLE* phClientItems,
                        const VARIANT* pvValues, const WORD* pwQualities,
                        const FILETIME* pftTimeStamps, const HRESULT* pErrors,
                        wire::DataChange::Builder out);

}  // namespace zyn::remote
