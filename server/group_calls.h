// Small pieces the group's interface methods share.
#pragma once

#include "platform/com/hresult.h"
#include "platform/com/types.h"
#include "platform/com/variant.h"
#include "server/huv_exception.h"

// Runs an interface method's body: an HUVException gives its code, anything else thrown E_FAIL.
template <class Body>
HRESULT GuardGroupCall(Body&& body) noexcept {
  try {
    return body();
  } catch (const HUVException& e) {
    return e.Result();
  } catch (...) {
    return E_FAIL;
  }
}

// Whether values could be offered as `requested`: converts a VT_BOOL FALSE to that type in the
// server's locale, accepting the words for true and false. The conversion's failure (such as
// DISP_E_TYPEMISMATCH or DISP_E_BADVARTYPE) refuses the type.
inline HRESULT TestRequestedType(VARTYPE requested, LCID locale) {
  VARIANT from;
  VariantInit(&from);
  from.vt = VT_BOOL;
  from.boolVal = VARIANT_FALSE;
  VARIANT to;
  VariantInit(&to);
  HRESULT hr =
      VariantChangeTypeEx(&to, &from, locale, VARIANT_ALPHABOOL | VARIANT_LOCALBOOL, requested);
  VariantClear(&to);
  return hr;
}
