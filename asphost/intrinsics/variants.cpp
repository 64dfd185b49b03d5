#include "asphost/intrinsics/variants.h"

#include "base/ustring.h"
#include "base/wide.h"

namespace asphost {

const VARIANT* Unwrap(const VARIANT* v) {
  while (v && V_VT(v) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(v)) v = V_VARIANTREF(v);
  return v;
}

bool IntegerValue(const VARIANT& variant, int64_t* out) {
  const VARIANT& v = *Unwrap(&variant);
  const bool ref = (V_VT(&v) & VT_BYREF) != 0;
  if (ref && !V_BYREF(&v)) return false;
  switch (V_VT(&v) & ~VT_BYREF) {
    case VT_I1:
      *out = ref ? *V_I1REF(&v) : V_I1(&v);
      return true;
    case VT_UI1:
      *out = ref ? *V_UI1REF(&v) : V_UI1(&v);
      return true;
    case VT_I2:
      *out = ref ? *V_I2REF(&v) : V_I2(&v);
      return true;
    case VT_UI2:
      *out = ref ? *V_UI2REF(&v) : V_UI2(&v);
      return true;
    case VT_I4:
      *out = ref ? *V_I4REF(&v) : V_I4(&v);
      return true;
    case VT_UI4:
      *out = ref ? *V_UI4REF(&v) : V_UI4(&v);
      return true;
    case VT_INT:
      *out = ref ? *V_INTREF(&v) : V_INT(&v);
      return true;
    case VT_UINT:
      *out = ref ? *V_UINTREF(&v) : V_UINT(&v);
      return true;
    case VT_I8:
      *out = ref ? *V_I8REF(&v) : V_I8(&v);
      return true;
    case VT_UI8: {
      ULONGLONG value = ref ? *V_UI8REF(&v) : V_UI8(&v);
      if (value > static_cast<ULONGLONG>(INT64_MAX)) return false;
      *out = static_cast<int64_t>(value);
      return true;
    }
    default:
      return false;
  }
}

void SetIntegerValue(VARIANT* variant, int64_t value) {
  VARIANT* v = const_cast<VARIANT*>(Unwrap(variant));
  const bool ref = (V_VT(v) & VT_BYREF) != 0;
  if (ref && !V_BYREF(v)) return;
  switch (V_VT(v) & ~VT_BYREF) {
    case VT_I1:
      (ref ? *V_I1REF(v) : V_I1(v)) = static_cast<CHAR>(value);
      break;
    case VT_UI1:
      (ref ? *V_UI1REF(v) : V_UI1(v)) = static_cast<BYTE>(value);
      break;
    case VT_I2:
      (ref ? *V_I2REF(v) : V_I2(v)) = static_cast<SHORT>(value);
      break;
    case VT_UI2:
      (ref ? *V_UI2REF(v) : V_UI2(v)) = static_cast<USHORT>(value);
      break;
    case VT_I4:
      (ref ? *V_I4REF(v) : V_I4(v)) = static_cast<LONG>(value);
      break;
    case VT_UI4:
      (ref ? *V_UI4REF(v) : V_UI4(v)) = static_cast<ULONG>(value);
      break;
    case VT_INT:
      (ref ? *V_INTREF(v) : V_INT(v)) = static_cast<INT>(value);
      break;
    case VT_UINT:
      (ref ? *V_UINTREF(v) : V_UINT(v)) = static_cast<UINT>(value);
      break;
    case VT_I8:
      (ref ? *V_I8REF(v) : V_I8(v)) = value;
      break;
    case VT_UI8:
      (ref ? *V_UI8REF(v) : V_UI8(v)) = static_cast<ULONGLONG>(value);
      break;
    default:
      break;
  }
}

namespace {

// The byte array a variant holds: only VT_UI1 arrays count.
SAFEARRAY* HeldByteArray(const VARIANT& variant) {
  const VARIANT& v = *Unwrap(&variant);
  if (V_VT(&v) == (VT_ARRAY | VT_UI1)) return V_ARRAY(&v);
  if (V_VT(&v) == (VT_BYREF | VT_ARRAY | VT_UI1) && V_ARRAYREF(&v)) return *V_ARRAYREF(&v);
  return nullptr;
}

}  // namespace

ByteArrayView::ByteArrayView(const VARIANT& v) : ArrayBytes(HeldByteArray(v)) {}

HRESULT MakeByteArray(const uint8_t* data, size_t size, LONG lowerBound, VARIANT* out) {
  return com::NewByteArray(size, lowerBound, out, [&](void* target) { memcpy(target, data, size); });
}

HRESULT VariantText(const VARIANT& variant, std::wstring* out) {
  const VARIANT& v = *Unwrap(&variant);
  out->clear();
  VARTYPE type = V_VT(&v) & ~VT_BYREF;
  if (type == VT_EMPTY || type == VT_NULL) return S_OK;
  VARIANT text;
  VariantInit(&text);
  HRESULT hr = VariantChangeType(&text, const_cast<VARIANT*>(&v), 0, VT_BSTR);
  if (FAILED(hr)) return hr;
  if (V_BSTR(&text)) out->assign(V_BSTR(&text), SysStringLen(V_BSTR(&text)));
  VariantClear(&text);
  return S_OK;
}

std::string Utf8(const std::wstring& text) {
  return velmora::toUtf8(velmora::ustring_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

std::wstring FromUtf8(const std::string& bytes) {
  velmora::ustring text = velmora::fromUtf8(bytes);
  return std::wstring(velmora::wstr(text), text.size());
}

bool SameName(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

}  // namespace asphost
