// The conversions at the automation boundary and the error conversion in
// both directions.
#include <climits>
#include <cstdio>
#include <cstring>

#include "server/server.h"
#include "textutils/fileutils.h"

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

// A new byte array of size elements in out, its data filled by fill.
template <class Fill>
void NewByteArray(size_t size, VARIANT* out, Fill&& fill) {
  // A script's array counts its bytes from 1 to a LONG upper bound. 64-bit
  // memory can hold more, which a narrowed count would cut short.
  if (size > static_cast<size_t>(LONG_MAX)) throw std::bad_alloc();
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 1, static_cast<ULONG>(size));
  if (!array) throw std::bad_alloc();
  if (size > 0) {
    void* data = nullptr;
    SafeArrayAccessData(array, &data);
    fill(data);
    SafeArrayUnaccessData(array);
  }
  V_VT(out) = VT_ARRAY | VT_UI1;
  V_ARRAY(out) = array;
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

TArrayBytes::TArrayBytes(const VARIANT& v) {
  SAFEARRAY* array = HeldArray(v);
  // Only arrays of bytes carry bytes: the elements of wider arrays (variants,
  // strings, integers) are no bytes of the caller's data.
  if (!array || SafeArrayGetDim(array) != 1 || SafeArrayGetElemsize(array) != 1) {
    throw EVariantInvalidArgError();
  }
  LONG lower = 0, upper = -1;
  void* data = nullptr;
  if (FAILED(SafeArrayGetLBound(array, 1, &lower)) ||
      FAILED(SafeArrayGetUBound(array, 1, &upper)) ||
      FAILED(SafeArrayAccessData(array, &data))) {
    throw EVariantInvalidArgError();
  }
  array_ = array;
  const int64_t count = static_cast<int64_t>(upper) - lower + 1;
  bytes_ = {static_cast<const uint8_t*>(data), count > 0 ? static_cast<size_t>(count) : 0};
}

TArrayBytes::~TArrayBytes() { SafeArrayUnaccessData(array_); }

HRESULT SafeCallException(const TComClass& cls, const Exception& e) {
  HRESULT hr = E_UNEXPECTED;
  if (auto* ole = dynamic_cast<const EOleSysError*>(&e); ole && ole->errorCode() < 0) {
    hr = ole->errorCode();
  }
  ICreateErrorInfo* create = nullptr;
  if (FAILED(CreateErrorInfo(&create))) return E_UNEXPECTED;
  create->SetGUID(*cls.iid);
  if (!cls.progId.empty()) create->SetSource(const_cast<LPOLESTR>(wstr(cls.progId)));
  if (!e.message().empty()) create->SetDescription(const_cast<LPOLESTR>(wstr(e.message())));
  if (e.helpContext() != 0) create->SetHelpContext(static_cast<DWORD>(e.helpContext()));
  IErrorInfo* info = nullptr;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
    SetErrorInfo(0, info);
    info->Release();
  }
  create->Release();
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
  ustring source, description, helpFile;
  DWORD helpContext = 0;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info) {
    BSTR b = nullptr;
    if (SUCCEEDED(info->GetSource(&b))) source = Take(b);
    b = nullptr;
    if (SUCCEEDED(info->GetDescription(&b))) description = Take(b);
    b = nullptr;
    if (SUCCEEDED(info->GetHelpFile(&b))) helpFile = Take(b);
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
  throw EOleException(std::move(message), hr, std::move(source), std::move(helpFile),
                      static_cast<int>(helpContext));
}

}  // namespace velmora
