// TAutoObject: the COM plumbing both objects share, written once. It holds
// the reference count and the outer unknown of aggregation, answers
// QueryInterface, serves IDispatch from the type library, and offers
// ISupportErrorInfo and IProvideClassInfo. The derived class implements the
// dual interface's members, each through one of the Call helpers below, which
// run the body under the one error handler of the member boundary.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <type_traits>

#include "server/fault_guard.h"
#include "server/server.h"

namespace velmora {

template <class Iface>
class TAutoObject : public Iface, public ISupportErrorInfo, public IProvideClassInfo {
 public:
  TAutoObject(const TComClass& cls, IUnknown* outer)
      : inner_(this), outer_(outer ? outer : &inner_), class_(cls) {
    ServerObjectCountUp();
  }
  virtual ~TAutoObject() { ServerObjectCountDown(); }
  TAutoObject(const TAutoObject&) = delete;
  TAutoObject& operator=(const TAutoObject&) = delete;

  // The object's own IUnknown: never delegated.
  IUnknown* innerUnknown() { return &inner_; }

  // IUnknown of every other interface goes to the outer unknown when
  // aggregated (which is the inner one otherwise).
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    return outer_->QueryInterface(iid, out);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return outer_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return outer_->Release(); }

  // IDispatch, always through the dual interface's type information.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    class_.dualInfo->AddRef();
    *info = class_.dualInfo;
    return S_OK;
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    return DispGetIDsOfNames(class_.dualInfo, names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excepInfo, UINT* argErr) override {
    // An assignment and a by-reference assignment (Set in a script) reach
    // the same put member.
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
      flags |= DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF;
    }
    return class_.dualInfo->Invoke(static_cast<Iface*>(this), id, flags, params, result,
                                   excepInfo, argErr);
  }

  // ISupportErrorInfo: every interface of the object reports errors.
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override {
    return IsOwnInterface(iid) ? S_OK : S_FALSE;
  }

  // IProvideClassInfo (GetClassInfo is a macro of winuser.h, here and in
  // the interface's declaration alike).
  STDMETHODIMP GetClassInfo(ITypeInfo** info) override {
    if (!info) return E_POINTER;
    class_.classInfo->AddRef();
    *info = class_.classInfo;
    return S_OK;
  }

 protected:
  const TComClass& comClass() const { return class_; }

  // The member boundary. body runs under one handler: success gives S_OK; a
  // C++ exception becomes its HRESULT plus error information; a processor
  // fault or other system exception gives E_UNEXPECTED and no error
  // information.
  template <class Body>
  HRESULT Call(Body&& body) {
    struct Context {
      std::remove_reference_t<Body>* body;
      const TComClass* cls;
      HRESULT hr;
    } context{&body, &class_, E_UNEXPECTED};
    auto guarded = [](void* p) {
      auto* c = static_cast<Context*>(p);
      try {
        (*c->body)();
        c->hr = S_OK;
      } catch (const Exception& e) {
        c->hr = SafeCallException(*c->cls, e);
      } catch (const std::bad_alloc&) {
        c->hr = SafeCallException(*c->cls, Exception(u"Out of memory"));
      } catch (const std::exception& e) {
        c->hr = SafeCallException(*c->cls, Exception(fromUtf8(e.what())));
      } catch (...) {
        c->hr = E_UNEXPECTED;
      }
    };
    DWORD code = 0;
    if (!RunGuarded(guarded, &context, &code)) {
      SetErrorInfo(0, nullptr);  // nothing stale may stand for this failure
      return E_UNEXPECTED;
    }
    return context.hr;
  }

  // Getters: the retval is cleared (BSTR null, VARIANT empty) before the body
  // runs; other retvals are written only when the body succeeds.
  template <class Body>
  HRESULT CallBStr(BSTR* out, Body&& body) {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Call([&] { *out = AllocBStr(body()); });
  }
  template <class Body>
  HRESULT CallLong(LONG* out, Body&& body) {
    if (!out) return E_POINTER;
    return Call([&] { *out = static_cast<LONG>(body()); });
  }
  template <class Body>
  HRESULT CallBool(VARIANT_BOOL* out, Body&& body) {
    if (!out) return E_POINTER;
    return Call([&] { *out = ToVariantBool(body()); });
  }
  template <class Body>
  HRESULT CallVariant(VARIANT* out, Body&& body) {
    if (!out) return E_POINTER;
    VariantInit(out);
    return Call([&] { body(out); });
  }

 private:
  bool IsOwnInterface(REFIID iid) const {
    return IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
           IsEqualIID(iid, *class_.iid) || IsEqualIID(iid, IID_ISupportErrorInfo) ||
           IsEqualIID(iid, IID_IProvideClassInfo);
  }

  // The non-delegating IUnknown that owns the reference count.
  class TInnerUnknown : public IUnknown {
   public:
    explicit TInnerUnknown(TAutoObject* owner) : owner_(owner) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
      if (!out) return E_POINTER;
      *out = nullptr;
      if (IsEqualIID(iid, IID_IUnknown)) {
        *out = static_cast<IUnknown*>(this);
      } else if (IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, *owner_->class_.iid)) {
        *out = static_cast<Iface*>(owner_);
      } else if (IsEqualIID(iid, IID_ISupportErrorInfo)) {
        *out = static_cast<ISupportErrorInfo*>(owner_);
      } else if (IsEqualIID(iid, IID_IProvideClassInfo)) {
        *out = static_cast<IProvideClassInfo*>(owner_);
      } else {
        return E_NOINTERFACE;
      }
      static_cast<IUnknown*>(*out)->AddRef();
      return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override {
      const LONG refs = InterlockedDecrement(&refs_);
      if (refs == 0) {
        // The release steps run under the same containment as the members.
        DWORD code = 0;
        RunGuarded([](void* owner) { delete static_cast<TAutoObject*>(owner); }, owner_, &code);
      }
      return refs;
    }

   private:
    TAutoObject* owner_;
    LONG refs_ = 1;  // the creator's, until it hands the object out
  };

  TInnerUnknown inner_;
  IUnknown* outer_;
  const TComClass& class_;
};

// Creates an object of class T (a TAutoObject) for a factory: built fully, or
// the half-built one released on the way out.
template <class T>
IUnknown* CreateAutoObject(const TComClass& cls, IUnknown* outer) {
  T* object = new T(cls, outer);
  IUnknown* inner = object->innerUnknown();
  try {
    object->Initialize();
  } catch (...) {
    inner->Release();
    throw;
  }
  return inner;
}

}  // namespace velmora
