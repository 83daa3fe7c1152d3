// Helpers shared by the proxy/stub families.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/com/taskmem.h"
#include "platform/remote/proxy.h"
#include "platform/remote/stub.h"
#include "platform/remote/values.h"

namespace zyn::remote {

// Stub side: runs work(itf, result) on the apartment with the object as I (E_NOINTERFACE in
// result.hr when it has no I), then reply(result) on the I/O thread. Result is a plain struct
// with an `hr` member whose other members own whatever the call handed out.
template <class I, class Result, class Work, class Reply>
kj::Promise<void> Serve(Stub& stub, Work work, Reply reply) {
  auto result = std::make_shared<Result>();
  auto onApartment = [result, work = std::move(work)](I* itf) mutable {
    if (itf == nullptr) {
      result->hr = E_NOINTERFACE;
      return;
    }
    work(itf, *result);
  };
  return stub.OnApartment<I>(std::move(onApartment))
      .then([result, reply = std::move(reply)]() mutable { reply(*result); });
}

// The plain result of a call that hands out nothing.
struct HrOnly {
  HRESULT hr = E_FAIL;
};

// An interface pointer handed out by a call, released on the apartment it came from.
struct OutObject {
  IUnknown* object = nullptr;
  Apartment* apartment = nullptr;
  OutObject() = default;
  OutObject(const OutObject&) = delete;
  OutObject& operator=(const OutObject&) = delete;
  ~OutObject() {
    if (object) apartment->Post([o = object]() { o->Release(); });
  }
};

// The result of a call that hands out one object.
struct ObjectResult {
  HRESULT hr = E_FAIL;
  OutObject object;
};

// Stub side of a call whose one result is an object: call(itf, ppUnk) makes it on the apartment
// (passing ppUnk on, or null where the caller asked for no object) and the reply exports it in
// the Results' `object` field.
template <class I, class Results, class Call>
kj::Promise<void> ServeObject(Stub& stub, Context context, Call call) {
  Apartment& apartment = stub.apartment();
  return Serve<I, ObjectResult>(
      stub,
      [call = std::move(call), &apartment](I* itf, ObjectResult& r) mutable {
        IUnknown* object = nullptr;
        r.hr = call(itf, &object);
        r.object.object = object;
        r.object.apartment = &apartment;
      },
      [context, &apartment](ObjectResult& r) mutable {
        auto out = context.getResults().template initAs<Results>();
        out.setHr(r.hr);
        if (SUCCEEDED(r.hr) && r.object.object) out.setObject(Export(r.object.object, apartment));
      });
}

// Task-allocated memory a call handed out, freed with the result.
template <class T>
struct OutMem {
  T* p = nullptr;
  OutMem() = default;
  OutMem(const OutMem&) = delete;
  OutMem& operator=(const OutMem&) = delete;
  ~OutMem() { CoTaskMemFree(p); }
};

// Reads a list of n GUIDs; false when one is malformed.
template <class List>
bool ReadGuids(List list, std::vector<GUID>* out) {
  out->resize(list.size());
  for (unsigned i = 0; i < list.size(); ++i)
    if (!ReadGuid(list[i], &(*out)[i])) return false;
  return true;
}

template <class List, class T>
std::vector<T> ReadList(List list) {
  std::vector<T> out;
  out.reserve(list.size());
  for (auto v : list)
    out.push_back(static_cast<T>(v));
  return out;
}

// The first n entries of a wire list (which must have them), owned and shareable.
template <class T, class List>
std::shared_ptr<std::vector<T>> SharedCopy(List list, std::size_t n) {
  auto out = std::make_shared<std::vector<T>>(n);
  for (std::size_t i = 0; i < n; ++i)
    (*out)[i] = static_cast<T>(list[static_cast<unsigned>(i)]);
  return out;
}

// Proxy side: copies a wire list into a new task-allocated array of n entries; null and
// E_OUTOFMEMORY when memory runs out. The list must have at least n entries, else
// RPC_E_SERVERFAULT (a malformed answer).
template <class T, class List>
HRESULT TaskArrayFromList(List list, std::size_t n, T** out) {
  *out = nullptr;
  if (list.size() < n) return RPC_E_SERVERFAULT;
  auto array = com::TaskAllocArray<T>(n);
  if (!array) return E_OUTOFMEMORY;
  for (std::size_t i = 0; i < n; ++i)
    array[i] = static_cast<T>(list[static_cast<unsigned>(i)]);
  *out = array.release();
  return S_OK;
}

// Proxy side: a task-allocated copy of a Text field (null when unset).
inline HRESULT TaskStringFromText(bool has, capnp::Text::Reader text, LPWSTR* out) {
  *out = nullptr;
  if (!has) return S_OK;
  *out = com::TaskStrDup(std::string_view(text.cStr(), text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

// Proxy side: the object a call returned, as a proxy for riid (null when none came).
template <class Results>
HRESULT ImportObject(Results& r, REFIID riid, void** ppv) {
  *ppv = nullptr;
  if (!r.hasObject()) return S_OK;
  return Import(r.getObject(), riid, ppv);
}

}  // namespace zyn::remote
