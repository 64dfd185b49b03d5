// The page's object context, as MTS and COM+ hand it to components: the
// intrinsic objects are its properties.
#include <atomic>

#include "asphost/intrinsics/comobject.h"
#include "asphost/intrinsics/internal.h"
#include "asphost/intrinsics/variants.h"

namespace asphost {

namespace {

const wchar_t kContextSource[] = L"Object context";

std::atomic<long> liveContexts{0};

class ObjectContext final : public IObjectContext, public IGetContextProperties {
 public:
  ObjectContext(const std::vector<std::pair<std::wstring, IDispatch*>>& items, std::shared_ptr<HostProbe> probe)
      : probe_(std::move(probe)) {
    for (const auto& [name, object] : items) {
      items_.emplace_back(name, object);
      if (object) object->AddRef();
    }
    ++liveContexts;  // last: a constructor that throws makes no object
  }

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IObjectContext)) {
      *out = static_cast<IObjectContext*>(this);
    } else if (IsEqualIID(riid, IID_IGetContextProperties)) {
      *out = static_cast<IGetContextProperties*>(this);
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

  // IObjectContext: a page without transactions or role-based security.
  STDMETHODIMP CreateInstance(REFCLSID clsid, REFIID riid, LPVOID* out) override {
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, riid, out);
  }
  STDMETHODIMP SetComplete() override { return S_OK; }
  STDMETHODIMP SetAbort() override { return S_OK; }
  STDMETHODIMP EnableCommit() override { return S_OK; }
  STDMETHODIMP DisableCommit() override { return S_OK; }
  STDMETHODIMP_(WINBOOL) IsInTransaction() override { return FALSE; }
  STDMETHODIMP_(WINBOOL) IsSecurityEnabled() override { return FALSE; }
  STDMETHODIMP IsCallerInRole(BSTR, WINBOOL* inRole) override {
    if (!inRole) return E_POINTER;
    *inRole = TRUE;  // what MTS answers when security is off
    return S_OK;
  }

  // IGetContextProperties
  STDMETHODIMP Count(LONG* count) override {
    if (!count) return E_POINTER;
    *count = static_cast<LONG>(items_.size());
    return S_OK;
  }
  STDMETHODIMP GetProperty(BSTR name, VARIANT* value) override {
    if (!value) return E_POINTER;
    VariantInit(value);
    return Guarded([&]() -> HRESULT {
      if (probe_) {
        HRESULT hr = probe_->Check(L"Context.GetProperty", IID_IGetContextProperties, kContextSource);
        if (FAILED(hr)) return hr;
      }
      std::wstring wanted = BstrText(name);
      for (const auto& [itemName, object] : items_) {
        if (object && SameName(itemName, wanted)) {
          V_VT(value) = VT_DISPATCH;
          V_DISPATCH(value) = object;
          object->AddRef();
          return S_OK;
        }
      }
      return S_OK;  // an unknown name: an empty value, as COM+ answers
    });
  }
  STDMETHODIMP EnumNames(IEnumNames** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }

 private:
  ~ObjectContext() {
    for (auto& item : items_)
      if (item.second) item.second->Release();
    --liveContexts;
  }

  LONG refs_ = 1;
  std::vector<std::pair<std::wstring, IDispatch*>> items_;  // each holds a reference
  std::shared_ptr<HostProbe> probe_;
};

using SetObjectContextFunction = HRESULT(WINAPI*)(IObjectContext*);

}  // namespace

long LiveObjectContexts() { return liveContexts; }

HRESULT CreateObjectContext(const std::vector<std::pair<std::wstring, IDispatch*>>& items,
                            std::shared_ptr<HostProbe> probe, IObjectContext** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return Guarded([&] {
    *out = static_cast<IObjectContext*>(new ObjectContext(items, std::move(probe)));
    return S_OK;
  });
}

HRESULT SetThreadObjectContext(IObjectContext* context) {
  // Loaded once and kept: components look the module up by name.
  static HMODULE mtxex = LoadLibraryW(L"mtxex.dll");
  if (!mtxex) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
  auto set =
      reinterpret_cast<SetObjectContextFunction>(reinterpret_cast<void*>(GetProcAddress(mtxex, "SetObjectContext")));
  if (!set) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  return set(context);
}

}  // namespace asphost
