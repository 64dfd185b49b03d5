// The conversions at the automation boundary and the error conversion in
// both directions.
#include <cstdio>
#include <cstring>

#include "base/wide.h"
#include "com/error_info.h"
#include "com/values.h"
#include "dll/module.h"
#include "io/fileutils.h"
#include "process/host.h"

namespace velmora {

ustring FromBStr(BSTR s) {
  return s ? fromWide(s, SysStringLen(s)) : ustring();
}

BSTR AllocBStr(const ustring& s) {
  BSTR b = SysAllocStringLen(wstr(s), static_cast<UINT>(s.size()));
  if (!b) throw std::bad_alloc();
  return b;
}

namespace {

// A script's array counts its bytes from 1.
constexpr LONG kByteArrayLowerBound = 1;

template <class Fill>
void NewByteArray(size_t size, VARIANT* out, Fill&& fill) {
  if (FAILED(com::NewByteArray(size, kByteArrayLowerBound, out, fill))) throw std::bad_alloc();
}

}  // namespace

void ToByteArray(ByteSpan bytes, VARIANT* out) {
  NewByteArray(bytes.size, out, [&](void* data) { std::memcpy(data, bytes.data, bytes.size); });
}

void ToByteArray(const TChunkedMemoryStream& bytes, VARIANT* out) {
  const size_t size = static_cast<size_t>(bytes.size());
  NewByteArray(size, out, [&](void* data) { bytes.readAt(0, data, size); });
}

namespace {

// The array a variant holds, directly or by reference, or null.
SAFEARRAY* HeldArray(const VARIANT& v) {
  const VARIANT* value = &v;
  if (V_VT(value) == (VT_VARIANT | VT_BYREF)) {  // a script variable passed by reference
    value = V_VARIANTREF(value);
    if (!value) return nullptr;
  }
  const VARTYPE vt = V_VT(value);
  if (!(vt & VT_ARRAY)) return nullptr;
  if (vt & VT_BYREF) return V_ARRAYREF(value) ? *V_ARRAYREF(value) : nullptr;
  return V_ARRAY(value);
}

}  // namespace

EVariantInvalidArgError::EVariantInvalidArgError() : Exception(u"Invalid argument") {}

TArrayBytes::TArrayBytes(const VARIANT& v) : array_(HeldArray(v)) {
  // Only arrays of bytes carry bytes: the elements of wider arrays (variants,
  // strings, integers) are no bytes of the caller's data.
  if (!array_.valid()) throw EVariantInvalidArgError();
  bytes_ = {array_.data(), array_.size()};
}

HRESULT SafeCallException(const TComClass& cls, const Exception& e) {
  HRESULT hr = E_UNEXPECTED;
  if (auto* system = dynamic_cast<const ESystemError*>(&e); system && system->errorCode() < 0) {
    hr = system->errorCode();
  }
  if (!com::SetErrorInfoFor(*cls.iid, wstr(cls.progId), wstr(e.message()),
                            static_cast<DWORD>(e.helpContext()))) {
    return E_UNEXPECTED;
  }
  return hr;
}

namespace {

// Trailing control characters, spaces and dots go: hosts end descriptions
// with ".\r\n", and the message is a sentence in its own right.
ustring TrimTail(ustring s) {
  while (!s.empty() && (s.back() <= u' ' || s.back() == u'.')) s.pop_back();
  return s;
}

ustring Take(BSTR s) {
  ustring text = FromBStr(s);
  SysFreeString(s);
  return text;
}

}  // namespace

void OleCheck(HRESULT hr) {
  if (hr >= 0) return;
  ustring description;
  DWORD helpContext = 0;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info) {
    BSTR b = nullptr;
    if (SUCCEEDED(info->GetDescription(&b))) description = Take(b);
    info->GetHelpContext(&helpContext);
    info->Release();
  }
  ustring message = TrimTail(description);
  if (message.empty()) message = SysErrorMessage(static_cast<uint32_t>(hr));
  if (message.empty()) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "OLE error %.8lX", static_cast<unsigned long>(hr));
    message = fromLatin1(buffer);
  }
  throw EHostCallError(std::move(message), hr, static_cast<int>(helpContext));
}

}  // namespace velmora
