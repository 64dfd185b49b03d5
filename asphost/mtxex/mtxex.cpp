// mtxex.dll of the ASP stand-in. On Windows NT 4 components found the page's
// object context through this module's GetObjectContext; here the page is
// whatever the host (or the control object) made current on the calling
// thread. The module is also the COM server of Velmora32Test.Host, so that
// creating the control object loads it into the script host.
#include "asphost/mtxex/mtxex.h"

#include <initguid.h>
#include <olectl.h>

#include "asphost/intrinsics/comobject.h"
#include "asphost/mtxex/testhost.h"

namespace asphost {

namespace {

HINSTANCE thisModule;
DWORD pageSlot = TLS_OUT_OF_INDEXES;

// What a thread's slot points to while a page is current.
struct ThreadPage {
  IObjectContext* context;
  std::shared_ptr<HostProbe> probe;
};

const wchar_t kProgId[] = L"Velmora32Test.Host";
const wchar_t kDescription[] = L"Velmora32 ASP test host";

class ClassFactory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // The factory is static, like the module (see DllCanUnloadNow).
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return CreateAspTestHost(riid, out);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

ClassFactory factory;

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40];
  StringFromGUID2(guid, text, 40);
  return text;
}

LONG SetKey(const std::wstring& path, const wchar_t* name, const std::wstring& value) {
  HKEY key;
  LONG error = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  if (error != ERROR_SUCCESS) return error;
  error = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return error;
}

}  // namespace


HRESULT SetThreadPage(IObjectContext* context, std::shared_ptr<HostProbe> probe) {
  return Guarded([&]() -> HRESULT {
    if (pageSlot == TLS_OUT_OF_INDEXES) return E_UNEXPECTED;
    auto* page = static_cast<ThreadPage*>(TlsGetValue(pageSlot));
    if (page) {
      if (page->context) page->context->Release();
      delete page;
      TlsSetValue(pageSlot, nullptr);
    }
    if (context) {
      context->AddRef();
      TlsSetValue(pageSlot, new ThreadPage{context, std::move(probe)});
    }
    return S_OK;
  });
}

}  // namespace asphost

using namespace asphost;

extern "C" {

// The calling thread's page context, with a reference for the caller, or
// CONTEXT_E_NOCONTEXT outside a page.
HRESULT WINAPI GetObjectContext(IObjectContext** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (pageSlot == TLS_OUT_OF_INDEXES) return CONTEXT_E_NOCONTEXT;
  auto* page = static_cast<ThreadPage*>(TlsGetValue(pageSlot));
  if (!page) return CONTEXT_E_NOCONTEXT;
  if (page->probe) {
    HRESULT hr = page->probe->Check(L"GetObjectContext", IID_IObjectContext, L"mtxex");
    if (FAILED(hr)) return hr;
  }
  page->context->AddRef();
  *out = page->context;
  return S_OK;
}

// For hosts: makes context the calling thread's page (nullptr: none).
HRESULT WINAPI SetObjectContext(IObjectContext* context) { return SetThreadPage(context, nullptr); }

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_AspTestHost)) return CLASS_E_CLASSNOTAVAILABLE;
  return factory.QueryInterface(riid, out);
}

// Never: components keep the address of GetObjectContext for the life of the
// process, threads keep their page in this module's slot, and a script may
// hold the page's objects after the control object is gone.
HRESULT WINAPI DllCanUnloadNow() { return S_FALSE; }

HRESULT WINAPI DllRegisterServer() {
  return Guarded([]() -> HRESULT {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(thisModule, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return SELFREG_E_CLASS;
    std::wstring clsidKey = L"CLSID\\" + GuidText(CLSID_AspTestHost);
    std::wstring clsid = GuidText(CLSID_AspTestHost);
    LONG error = SetKey(clsidKey, nullptr, kDescription);
    if (!error) error = SetKey(clsidKey + L"\\InprocServer32", nullptr, path);
    if (!error) error = SetKey(clsidKey + L"\\InprocServer32", L"ThreadingModel", L"Both");
    if (!error) error = SetKey(clsidKey + L"\\ProgID", nullptr, kProgId);
    if (!error) error = SetKey(kProgId, nullptr, kDescription);
    if (!error) error = SetKey(std::wstring(kProgId) + L"\\CLSID", nullptr, clsid);
    return error ? SELFREG_E_CLASS : S_OK;
  });
}

HRESULT WINAPI DllUnregisterServer() {
  return Guarded([]() -> HRESULT {
    std::wstring clsidKey = L"CLSID\\" + GuidText(CLSID_AspTestHost);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, clsidKey.c_str());
    RegDeleteTreeW(HKEY_CLASSES_ROOT, kProgId);
    return S_OK;
  });
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    thisModule = instance;
    pageSlot = TlsAlloc();
    DisableThreadLibraryCalls(instance);
    return pageSlot != TLS_OUT_OF_INDEXES;
  }
  if (reason == DLL_PROCESS_DETACH && pageSlot != TLS_OUT_OF_INDEXES) TlsFree(pageSlot);
  return TRUE;
}

}  // extern "C"
