#include "platform/remote/values.h"

#include <cstring>

#include "platform/com/bstr.h"
#include "platform/com/safearray.h"

namespace zyn::remote {
namespace {

void GuidToBytes(const GUID& g, kj::byte* b) {
  for (int i = 0; i < 4; ++i)
    b[i] = static_cast<kj::byte>(g.Data1 >> (8 * i));
  b[4] = static_cast<kj::byte>(g.Data2);
  b[5] = static_cast<kj::byte>(g.Data2 >> 8);
  b[6] = static_cast<kj::byte>(g.Data3);
  b[7] = static_cast<kj::byte>(g.Data3 >> 8);
  std::memcpy(b + 8, g.Data4, 8);
}

bool IsSigned(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_INT:
    case VT_BOOL:
    case VT_ERROR:
    case VT_CY:
      return true;
    default:
      return false;
  }
}

bool IsUnsigned(VARTYPE vt) {
  switch (vt) {
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

// Scalars sit in the union at the width of their type; integers are widened on the way out
// and narrowed back (with the type's own width) on the way in.
LONGLONG SignedOf(const VARIANT& v) {
  switch (v.vt) {
    case VT_I1:
      return v.cVal;
    case VT_I2:
      return v.iVal;
    case VT_BOOL:
      return v.boolVal;
    case VT_I8:
    case VT_CY:
      return v.llVal;
    default:
      return v.lVal;
  }
}

ULONGLONG UnsignedOf(const VARIANT& v) {
  switch (v.vt) {
    case VT_UI1:
      return v.bVal;
    case VT_UI2:
      return v.uiVal;
    case VT_UI8:
      return v.ullVal;
    default:
      return v.ulVal;
  }
}

void SetSigned(VARIANT* v, LONGLONG x) {
  switch (v->vt) {
    case VT_I1:
      v->cVal = static_cast<CHAR>(x);
      break;
    case VT_I2:
      v->iVal = static_cast<SHORT>(x);
      break;
    case VT_BOOL:
      v->boolVal = x ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case VT_I8:
    case VT_CY:
      v->llVal = x;
      break;
    default:
      v->lVal = static_cast<LONG>(x);
  }
}

void SetUnsigned(VARIANT* v, ULONGLONG x) {
  switch (v->vt) {
    case VT_UI1:
      v->bVal = static_cast<BYTE>(x);
      break;
    case VT_UI2:
      v->uiVal = static_cast<USHORT>(x);
      break;
    case VT_UI8:
      v->ullVal = x;
      break;
    default:
      v->ulVal = static_cast<ULONG>(x);
  }
}

HRESULT WriteArray(SAFEARRAY* psa, wire::SafeArray::Builder out) {
  if (psa == nullptr) return S_OK;  // a null array stays unset
  VARTYPE elementVt = VT_EMPTY;
  HRESULT hr = SafeArrayGetVartype(psa, &elementVt);
  if (FAILED(hr)) return hr;
  out.setElementVt(elementVt);
  out.setLowerBound(psa->rgsabound[0].lLbound);
  const ULONG count = psa->rgsabound[0].cElements;
  auto elements = out.initElements(count);
  for (ULONG i = 0; i < count; ++i) {
    LONG index = psa->rgsabound[0].lLbound + static_cast<LONG>(i);
    com::Variant element;
    VARIANT* slot = element.get();
    if (elementVt == VT_VARIANT) {
      hr = SafeArrayGetElement(psa, &index, slot);
    } else if (elementVt == VT_BSTR) {
      BSTR text = nullptr;
      hr = SafeArrayGetElement(psa, &index, &text);
      if (SUCCEEDED(hr)) {
        slot->vt = VT_BSTR;
        slot->bstrVal = text;
      }
    } else if (elementVt == VT_UNKNOWN) {
      return DISP_E_BADVARTYPE;
    } else {
      slot->vt = elementVt;
      slot->ullVal = 0;
      hr = SafeArrayGetElement(psa, &index, &slot->ullVal);
    }
    if (FAILED(hr)) return hr;
    hr = WriteVariant(*slot, elements[i]);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT ReadArray(wire::SafeArray::Reader in, SAFEARRAY** out) {
  *out = nullptr;
  auto elements = in.getElements();
  const VARTYPE elementVt = in.getElementVt();
  if (elementVt == VT_UNKNOWN) return DISP_E_BADVARTYPE;
  com::SafeArray array(SafeArrayCreateVector(elementVt, in.getLowerBound(), elements.size()));
  if (!array) return DISP_E_BADVARTYPE;
  for (unsigned i = 0; i < elements.size(); ++i) {
    com::Variant element;
    HRESULT hr = ReadVariant(elements[i], element.get());
    if (FAILED(hr)) return hr;
    LONG index = in.getLowerBound() + static_cast<LONG>(i);
    if (elementVt == VT_VARIANT) {
      hr = SafeArrayPutElement(array.get(), &index, element.get());
    } else {
      if (element.vt() != elementVt) return DISP_E_BADVARTYPE;
      if (elementVt == VT_BSTR)
        hr = SafeArrayPutElement(array.get(), &index, element.get()->bstrVal);
      else
        hr = SafeArrayPutElement(array.get(), &index, &element.get()->ullVal);
    }
    if (FAILED(hr)) return hr;
  }
  *out = array.release();
  return S_OK;
}

}  // namespace

void WriteGuid(const GUID& guid, capnp::Data::Builder out) {
  if (out.size() == 16) GuidToBytes(guid, out.begin());
}

capnp::Data::Reader GuidBytes(const GUID& guid, kj::ArrayPtr<kj::byte> scratch16) {
  GuidToBytes(guid, scratch16.begin());
  return capnp::Data::Reader(scratch16.begin(), 16);
}

bool ReadGuid(capnp::Data::Reader data, GUID* out) {
  *out = GUID{};
  if (data.size() != 16) return false;
  const kj::byte* b = data.begin();
  out->Data1 = DWORD{b[0]} | DWORD{b[1]} << 8 | DWORD{b[2]} << 16 | DWORD{b[3]} << 24;
  out->Data2 = static_cast<WORD>(b[4] | b[5] << 8);
  out->Data3 = static_cast<WORD>(b[6] | b[7] << 8);
  std::memcpy(out->Data4, b + 8, 8);
  return true;
}

std::optional<std::string> ReadOptionalText(bool has, capnp::Text::Reader text) {
  if (!has) return std::nullopt;
  return std::string(text.cStr(), text.size());
}

HRESULT WriteVariant(const VARIANT& v, wire::Variant::Builder out) {
  out.setVt(v.vt);
  if (v.vt & VT_ARRAY) {
    if (v.vt & VT_BYREF) return DISP_E_BADVARTYPE;
    return v.parray ? WriteArray(v.parray, out.initArray()) : S_OK;
  }
  if (IsSigned(v.vt)) {
    out.setInt(SignedOf(v));
  } else if (IsUnsigned(v.vt)) {
    out.setUint(UnsignedOf(v));
  } else {
    switch (v.vt) {
      case VT_EMPTY:
      case VT_NULL:
        break;
      case VT_R4:
        out.setReal(v.fltVal);
        break;
      case VT_R8:
        out.setReal(v.dblVal);
        break;
      case VT_DATE:
        out.setReal(v.date);
        break;
      case VT_BSTR:
        if (v.bstrVal) out.setText(capnp::Text::Reader(v.bstrVal, SysStringLen(v.bstrVal)));
        break;
      default:
        return DISP_E_BADVARTYPE;
    }
  }
  return S_OK;
}

HRESULT ReadVariant(wire::Variant::Reader in, VARIANT* out) {
  VariantInit(out);
  const VARTYPE vt = in.getVt();
  if (vt & VT_ARRAY) {
    if ((vt & VT_BYREF) || !in.hasArray()) {
      if (vt & VT_BYREF) return DISP_E_BADVARTYPE;
      out->vt = vt;
      out->parray = nullptr;
      return S_OK;
    }
    SAFEARRAY* array = nullptr;
    HRESULT hr = ReadArray(in.getArray(), &array);
    if (FAILED(hr)) return hr;
    out->vt = vt;
    out->parray = array;
    return S_OK;
  }
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  if (IsSigned(vt)) {
    SetSigned(&v, in.getInt());
  } else if (IsUnsigned(vt)) {
    SetUnsigned(&v, in.getUint());
  } else {
    switch (vt) {
      case VT_EMPTY:
      case VT_NULL:
        break;
      case VT_R4:
        v.fltVal = static_cast<FLOAT>(in.getReal());
        break;
      case VT_R8:
        v.dblVal = in.getReal();
        break;
      case VT_DATE:
        v.date = in.getReal();
        break;
      case VT_BSTR: {
        auto text = in.getText();
        v.bstrVal = in.hasText() ? SysAllocStringLen(text.cStr(), text.size()) : nullptr;
        if (in.hasText() && v.bstrVal == nullptr) return E_OUTOFMEMORY;
        break;
      }
      default:
        return DISP_E_BADVARTYPE;
    }
  }
  *out = v;
  return S_OK;
}

}  // namespace zyn::remote
