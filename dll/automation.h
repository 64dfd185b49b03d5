// TAutoObject: the component's objects on the shared automation base (an
// aggregatable one, served from the type information the module loaded),
// with IProvideClassInfo, error information on every interface, and the
// module's object count. The derived class implements the dual interface's
// members, each through one of the Call helpers below, which run the body
// under the one error handler of the member boundary and the object's lock.
//
// Pages keep objects in Application and call them from their own threads.
// The objects aggregate the free-threaded marshaler, so a call from any
// apartment runs directly on the caller's thread, where the object context
// is that caller's page (a proxy would run it on the creator's thread, in
// the page that created it, or in none once that page is over); the lock
// makes those calls take turns.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <type_traits>
#include <utility>

#include "com/dispatch.h"
#include "dll/call_lock.h"
#include "dll/module.h"

namespace velmora {

template <class Iface>
class TAutoObject : public com::DispatchObject<Iface, com::Aggregatable>, public IProvideClassInfo {
  using Base = com::DispatchObject<Iface, com::Aggregatable>;

 public:
  TAutoObject(const TComClass& cls, IUnknown* outer) : Base(outer), class_(cls) {
    if (FAILED(CoCreateFreeThreadedMarshaler(this->ControllingUnknown(), &marshaler_))) {
      throw Exception(u"Cannot create the free-threaded marshaler");
    }
    ServerObjectCountUp();
  }
  ~TAutoObject() override {
    marshaler_->Release();
    ServerObjectCountDown();
  }

  // IUnknown of every interface, IProvideClassInfo's included, goes to the
  // outer unknown when aggregated (which is the inner one otherwise).
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override { return Base::QueryInterface(iid, out); }
  STDMETHODIMP_(ULONG) AddRef() override { return Base::AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return Base::Release(); }

  // ISupportErrorInfo: every interface of the object reports errors.
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override {
    return IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
                   IsEqualIID(iid, *class_.iid) || IsEqualIID(iid, IID_ISupportErrorInfo) ||
                   IsEqualIID(iid, IID_IProvideClassInfo)
               ? S_OK
               : S_FALSE;
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
  // The member boundary. body runs under the object's lock and one handler:
  // success gives S_OK; a C++ exception becomes its HRESULT plus error
  // information; a processor fault or other system exception gives
  // E_UNEXPECTED and no error information. The lock is taken outside the
  // fault guard, whose unwinding skips the destructors inside it.
  template <class Body>
  HRESULT Call(Body&& body) {
    return Locked(std::forward<Body>(body), false);
  }

  // Call for a member that reads the request body: while it runs, calls from
  // other threads fail at once instead of waiting (see TCallLock).
  template <class Body>
  HRESULT CallReading(Body&& body) {
    return Locked(std::forward<Body>(body), true);
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
  template <class Body>
  HRESULT Locked(Body&& body, bool reading) {
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
    bool completed;
    try {
      auto run = [&] { return RunGuarded(guarded, &context, &code); };
      completed = reading ? lock_.RunReading(run) : lock_.Run(run);
    } catch (const Exception& busy) {
      return SafeCallException(class_, busy);
    }
    if (!completed) {
      SetErrorInfo(0, nullptr);  // nothing stale may stand for this failure
      return E_UNEXPECTED;
    }
    return context.hr;
  }

  // The type information was loaded with the module's classes.
  const IID& DualIid() const override { return *class_.iid; }
  HRESULT DualTypeInfo(ITypeInfo** borrowed) override {
    *borrowed = class_.dualInfo;
    return class_.dualInfo ? S_OK : E_UNEXPECTED;
  }
  void* OwnInterface(REFIID iid) override {
    return IsEqualIID(iid, IID_IProvideClassInfo) ? static_cast<IProvideClassInfo*>(this) : nullptr;
  }
  HRESULT QueryAggregated(REFIID iid, void** out) override {
    return marshaler_->QueryInterface(iid, out);
  }
  // The release steps run under the same containment as the members.
  void Destroy() override {
    DWORD code = 0;
    RunGuarded([](void* object) { delete static_cast<TAutoObject*>(object); }, this, &code);
  }

  const TComClass& class_;
  IUnknown* marshaler_ = nullptr;  // the free-threaded marshaler's own unknown
  TCallLock lock_;
};

// Creates an object of class T (a TAutoObject) for a factory: built fully, or
// the half-built one released on the way out.
template <class T>
IUnknown* CreateAutoObject(const TComClass& cls, IUnknown* outer) {
  T* object = new T(cls, outer);
  IUnknown* inner = object->InnerUnknown();
  try {
    object->Initialize();
  } catch (...) {
    inner->Release();
    throw;
  }
  return inner;
}

}  // namespace velmora
