// What every stand-in object shares: the automation base over the type
// libraries embedded in the module, error information, and the guard that
// keeps C++ exceptions inside the module.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <new>
#include <string>

#include "com/dispatch.h"

namespace asphost {

// Resource numbers of the type libraries embedded as "TYPELIB" resources. The
// ASP library travels with the intrinsics library into every program or DLL
// that links it (see intrinsics/CMakeLists.txt).
constexpr int kAspTypeLibResource = 101;

// The type information of interface iid from the type library embedded as
// resource typeLibResource in the module that holds this code (the library
// is loaded once per process and kept); the caller gets its own reference.
HRESULT GetEmbeddedTypeInfo(int typeLibResource, REFIID iid, ITypeInfo** out);

// Sets the thread's error information (description, source, interface) and
// returns hr, so that a failing member reads "return ReportError(...)".
HRESULT ReportError(HRESULT hr, REFIID iid, const wchar_t* source, const std::wstring& description);

// VBScript's "Out of stack space".
constexpr HRESULT kOutOfStackSpace = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, 28);

// True when the calling thread has little stack left. A script's runaway
// recursion that calls the objects then fails in them cleanly, rather than
// overflowing inside them while they hold a lock (the host abandons the
// frames of an overflow, never unwinding them: a lock held there would be
// held for good).
bool StackRunningOut();

// Runs a member's body and turns an escaping C++ exception into an HRESULT:
// exceptions must never cross a COM boundary (and they cannot cross modules).
// Refused with kOutOfStackSpace when the stack runs out.
template <class Body>
HRESULT Guarded(Body&& body) noexcept {
  if (StackRunningOut()) return kOutOfStackSpace;
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

// The stand-in objects on the shared automation base: standalone (not
// aggregatable), IDispatch served from interface Iid's type information in the
// type library embedded as resource TypeLibResource, loaded once per process.
template <class Interface, const IID& Iid, int TypeLibResource = kAspTypeLibResource>
class DispatchObject : public com::DispatchObject<Interface> {
 protected:
  DispatchObject() = default;

  // Fails a member of this interface with a description for the caller.
  HRESULT Fail(HRESULT hr, const wchar_t* source, const std::wstring& description) {
    return ReportError(hr, Iid, source, description);
  }

 private:
  const IID& DualIid() const override { return Iid; }
  HRESULT DualTypeInfo(ITypeInfo** borrowed) override {
    static com::CachedTypeInfo cache;
    return cache.Get([](ITypeInfo** loaded) { return GetEmbeddedTypeInfo(TypeLibResource, Iid, loaded); },
                     borrowed);
  }
};

}  // namespace asphost
