// HUVException: how a failure travels inside the server, from wherever it is found up to the
// interface method that returns it as an HRESULT.
#pragma once

#include <exception>
#include <new>

#include "platform/com/hresult.h"

class HUVException : public std::exception {
 public:
  explicit HUVException(HRESULT hr) noexcept : hr_(hr) {}
  HRESULT Result() const noexcept { return hr_; }
  const char* what() const noexcept override { return "HUVException"; }

 private:
  HRESULT hr_;
};

// Raises hr as an HUVException when it is a failure; passes success codes through.
inline HRESULT ThrowIfFailed(HRESULT hr) {
  if (FAILED(hr)) throw HUVException(hr);
  return hr;
}

// Runs body and turns what it throws into the method's result: an HUVException gives its
// code, running out of memory E_OUTOFMEMORY, anything else E_FAIL. Interface methods wrap their
// bodies in this so no exception ever crosses an interface boundary.
template <class Body>
HRESULT GuardHResult(Body&& body) noexcept {
  try {
    return body();
  } catch (const HUVException& e) {
    return e.Result();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}
