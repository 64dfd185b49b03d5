// The COM boilerplate every stand-in object shares, written once: reference
// counting, IDispatch answered from an embedded type library, error
// information, and the guard that keeps C++ exceptions inside the module.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <new>
#include <string>

namespace asphost {

// Resource numbers of the type libraries embedded as "TYPELIB" resources. The
// ASP library travels with the intrinsics library into every program or DLL
// that links it (see intrinsics/CMakeLists.txt).
constexpr int kAspTypeLibResource = 101;

// The type information of interface iid from the type library embedded as
// resource typeLibResource in the module that holds this code. Loaded once
// per process and kept; the caller gets its own reference.
HRESULT GetEmbeddedTypeInfo(int typeLibResource, REFIID iid, ITypeInfo** out);

// Sets the thread's error information (description, source, interface) and
// returns hr, so that a failing member reads "return ReportError(...)".
HRESULT ReportError(HRESULT hr, REFIID iid, const wchar_t* source, const std::wstring& description);

// Runs a member's body and turns an escaping C++ exception into an HRESULT:
// exceptions must never cross a COM boundary (and they cannot cross modules).
template <class Body>
HRESULT Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// A BSTR for *out, or E_OUTOFMEMORY.
HRESULT ReturnString(const std::wstring& text, BSTR* out);

// The shared base of the dispatch objects: IUnknown, IDispatch (forwarded to
// the interface's type information, so default members and put/putref work as
// scripts expect) and ISupportErrorInfo for one dual interface. Objects start
// with one reference, owned by their creator.
template <class Interface, const IID& Iid, int TypeLibResource = kAspTypeLibResource>
class DispatchObject : public Interface, public ISupportErrorInfo {
 public:
  DispatchObject(const DispatchObject&) = delete;
  DispatchObject& operator=(const DispatchObject&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, Iid)) {
      *out = static_cast<Interface*>(this);
    } else if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
      *out = static_cast<ISupportErrorInfo*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return left;
  }

  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return GetEmbeddedTypeInfo(TypeLibResource, Iid, out);
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    ITypeInfo* info;
    HRESULT hr = GetEmbeddedTypeInfo(TypeLibResource, Iid, &info);
    if (FAILED(hr)) return hr;
    hr = info->GetIDsOfNames(names, count, ids);
    info->Release();
    return hr;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                      UINT* argErr) override {
    ITypeInfo* info;
    HRESULT hr = GetEmbeddedTypeInfo(TypeLibResource, Iid, &info);
    if (FAILED(hr)) return hr;
    hr = info->Invoke(static_cast<Interface*>(this), id, flags, params, result, excepInfo, argErr);
    // JScript calls a property with arguments as a method (Request.Form("x"),
    // Request("x")); ASP's objects answer such calls with the property.
    if (hr == DISP_E_MEMBERNOTFOUND && flags == DISPATCH_METHOD)
      hr = info->Invoke(static_cast<Interface*>(this), id, DISPATCH_PROPERTYGET, params, result, excepInfo, argErr);
    info->Release();
    return hr;
  }

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override { return IsEqualIID(riid, Iid) ? S_OK : S_FALSE; }

 protected:
  DispatchObject() = default;
  virtual ~DispatchObject() = default;

  // Fails a member of this interface with a description for the caller.
  HRESULT Fail(HRESULT hr, const wchar_t* source, const std::wstring& description) {
    return ReportError(hr, Iid, source, description);
  }

 private:
  LONG refs_ = 1;
};

}  // namespace asphost
