// The data-callback sink of a client that takes only value changes: the completions of
// asynchronous reads, writes and cancels, which such a client never asks for, are accepted and
// ignored, so each client writes the one method it cares about.
#pragma once

#include "interfaces/opc_da.h"
#include "platform/com/object.h"

class DataChangeSink : public com::ComObject<IOPCDataCallback> {
 public:
  HRESULT OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                         FILETIME*, HRESULT*) override {
    return S_OK;
  }
  HRESULT OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
    return S_OK;
  }
  HRESULT OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
};
