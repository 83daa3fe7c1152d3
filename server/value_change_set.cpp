#include "server/value_change_set.h"

#include <new>

#include "server/huv_exception.h"

std::size_t ValueChangeSet::Append(OPCHANDLE clientHandle, OPCHANDLE serverHandle,
                                   const PDH_FMT_COUNTERVALUE& value, DWORD format,
                                   ValueChangeSet* second) {
  VARIANT v;
  VariantInit(&v);
  if (format & PDH_FMT_LONG) {
    v.vt = VT_I4;
    v.lVal = value.longValue;
  } else if (format & PDH_FMT_LARGE) {
    v.vt = VT_R8;
    v.dblVal = static_cast<double>(value.largeValue);
  } else {
    v.vt = VT_R8;
    v.dblVal = value.doubleValue;
  }
  FILETIME now;
  GetSystemTimeAsFileTime(&now);

  std::size_t index;
  {
    std::lock_guard lock(mutex_);
    index = PushLocked(clientHandle, serverHandle, v, OPC_QUALITY_GOOD, now, S_OK);
  }
  if (second != nullptr && second != this) second->UpdateValue(serverHandle, index, v);
  return index;
}

std::size_t ValueChangeSet::AppendFrom(const ValueChangeSet& from, std::size_t index) {
  OPCHANDLE clientHandle, serverHandle;
  VARIANT value;  // a number: copied as it is
  WORD quality;
  FILETIME timestamp;
  HRESULT error;
  {
    std::lock_guard lock(from.mutex_);
    clientHandle = from.clientHandles_.at(index);
    serverHandle = from.serverHandles_[index];
    value = from.values_[index];
    quality = from.qualities_[index];
    timestamp = from.timestamps_[index];
    error = from.errors_[index];
  }
  std::lock_guard lock(mutex_);
  return PushLocked(clientHandle, serverHandle, value, quality, timestamp, error);
}

std::size_t ValueChangeSet::PushLocked(OPCHANDLE clientHandle, OPCHANDLE serverHandle,
                                       const VARIANT& value, WORD quality,
                                       const FILETIME& timestamp, HRESULT error) {
  const std::size_t index = clientHandles_.size();
  // All six arrays grow by one entry or none does, so they stay parallel.
  try {
    clientHandles_.push_back(clientHandle);
    serverHandles_.push_back(serverHandle);
    values_.push_back(value);
    qualities_.push_back(quality);
    timestamps_.push_back(timestamp);
    errors_.push_back(error);
  } catch (const std::bad_alloc&) {
    clientHandles_.resize(index);
    serverHandles_.resize(index);
    values_.resize(index);
    qualities_.resize(index);
    timestamps_.resize(index);
    errors_.resize(index);
    throw HUVException(E_OUTOFMEMORY);
  }
  return index;
}

void ValueChangeSet::UpdateValue(OPCHANDLE serverHandle, std::size_t hint, const VARIANT& from) {
  std::lock_guard lock(mutex_);
  std::size_t i = FindLocked(serverHandle, hint);
  if (i == npos) return;
  VARIANT& to = values_[i];
  double d = from.vt == VT_I4 ? from.lVal : from.dblVal;
  if (to.vt == VT_I4) {
    to.lVal = static_cast<LONG>(d);
  } else {
    to.vt = VT_R8;
    to.dblVal = d;
  }
}

std::size_t ValueChangeSet::Size() const {
  std::lock_guard lock(mutex_);
  return clientHandles_.size();
}

void ValueChangeSet::Clear() {
  std::lock_guard lock(mutex_);
  // Append makes numbers only (VT_R8, VT_I4), which own nothing: the values need no clearing.
  clientHandles_.clear();
  serverHandles_.clear();
  values_.clear();
  qualities_.clear();
  timestamps_.clear();
  errors_.clear();
}

std::size_t ValueChangeSet::Find(OPCHANDLE serverHandle, std::size_t hint) const {
  std::lock_guard lock(mutex_);
  return FindLocked(serverHandle, hint);
}

std::size_t ValueChangeSet::FindLocked(OPCHANDLE serverHandle, std::size_t hint) const {
  const std::size_t n = serverHandles_.size();
  if (hint < n && serverHandles_[hint] == serverHandle) return hint;
  for (std::size_t i = 0; i < n; ++i) {
    if (serverHandles_[i] == serverHandle) return i;
  }
  return npos;
}

OPCHANDLE ValueChangeSet::ClientHandle(std::size_t index) const {
  std::lock_guard lock(mutex_);
  return clientHandles_.at(index);
}

OPCHANDLE ValueChangeSet::ServerHandle(std::size_t index) const {
  std::lock_guard lock(mutex_);
  return serverHandles_.at(index);
}

VARIANT ValueChangeSet::Value(std::size_t index) const {
  std::lock_guard lock(mutex_);
  return values_.at(index);
}

WORD ValueChangeSet::Quality(std::size_t index) const {
  std::lock_guard lock(mutex_);
  return qualities_.at(index);
}

FILETIME ValueChangeSet::Timestamp(std::size_t index) const {
  std::lock_guard lock(mutex_);
  return timestamps_.at(index);
}

HRESULT ValueChangeSet::Error(std::size_t index) const {
  std::lock_guard lock(mutex_);
  return errors_.at(index);
}
