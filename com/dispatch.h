// The one base of every automation object in the tree: reference counting,
// IDispatch served from the dual interface's type information, and
// ISupportErrorInfo. Whether an object may be aggregated is a policy of the
// base: the component's objects may, the host's may not.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

namespace com {

// Type information loaded on first use and kept for the process's life.
// Threads that race to load it keep the first one; the others release theirs.
class CachedTypeInfo {
 public:
  // A borrowed pointer (no reference) in *out; load(ITypeInfo**) runs only
  // while nothing is cached, and its failure is returned.
  template <class Load>
  HRESULT Get(Load&& load, ITypeInfo** out) {
    void* cached = InterlockedCompareExchangePointer(&info_, nullptr, nullptr);
    if (!cached) {
      ITypeInfo* loaded = nullptr;
      const HRESULT hr = load(&loaded);
      if (FAILED(hr)) return hr;
      cached = InterlockedCompareExchangePointer(&info_, loaded, nullptr);
      if (cached) {
        loaded->Release();
      } else {
        cached = loaded;
      }
    }
    *out = static_cast<ITypeInfo*>(cached);
    return S_OK;
  }

 private:
  void* volatile info_ = nullptr;
};

// Aggregation policies of DispatchObject. An aggregatable object keeps its
// identity and count in a separate inner unknown and delegates the IUnknown
// of its other interfaces to the outer object; a standalone one answers
// IUnknown with its dual interface.
struct Standalone {
  static constexpr bool kAggregatable = false;
};
struct Aggregatable {
  static constexpr bool kAggregatable = true;
};

// When the caller's flags find no member, the flags to try instead.
inline WORD AlternativeInvokeFlags(WORD flags) {
  // JScript calls a property with arguments as a method (Request.Form("x")):
  // the property answers, as ASP's own objects do.
  if (flags == DISPATCH_METHOD) return DISPATCH_PROPERTYGET;
  // An assignment (Let) and a by-reference one (Set) reach whichever put
  // member the interface has when it has only one of them.
  if (flags == DISPATCH_PROPERTYPUT) return DISPATCH_PROPERTYPUTREF;
  if (flags == DISPATCH_PROPERTYPUTREF) return DISPATCH_PROPERTYPUT;
  return 0;
}

// Iface is the object's dual interface. The derived class names its IID and
// type information, implements Iface's members, and may answer further
// interfaces (OwnInterface) or end its life its own way (Destroy). Objects
// start with one reference, owned by their creator.
template <class Iface, class Aggregation = Standalone>
class DispatchObject : public Iface, public ISupportErrorInfo {
 public:
  DispatchObject(const DispatchObject&) = delete;
  DispatchObject& operator=(const DispatchObject&) = delete;

  // The object's own IUnknown, never delegated: what a factory hands out.
  IUnknown* InnerUnknown() { return &inner_; }

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override { return outer_->QueryInterface(iid, out); }
  STDMETHODIMP_(ULONG) AddRef() override { return outer_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return outer_->Release(); }

  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    ITypeInfo* info = nullptr;
    const HRESULT hr = DualTypeInfo(&info);
    if (FAILED(hr)) return hr;
    info->AddRef();
    *out = info;
    return S_OK;
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    ITypeInfo* info = nullptr;
    const HRESULT hr = DualTypeInfo(&info);
    return FAILED(hr) ? hr : info->GetIDsOfNames(names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excepInfo, UINT* argErr) override {
    ITypeInfo* info = nullptr;
    HRESULT hr = DualTypeInfo(&info);
    if (FAILED(hr)) return hr;
    Iface* self = this;
    hr = info->Invoke(self, id, flags, params, result, excepInfo, argErr);
    if (hr == DISP_E_MEMBERNOTFOUND) {
      if (const WORD other = AlternativeInvokeFlags(flags))
        hr = info->Invoke(self, id, other, params, result, excepInfo, argErr);
    }
    return hr;
  }

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override {
    return IsEqualIID(iid, DualIid()) ? S_OK : S_FALSE;
  }

 protected:
  DispatchObject() = default;
  // outer: the controlling unknown when the object is aggregated, or null.
  explicit DispatchObject(IUnknown* outer) : outer_(outer ? outer : &inner_) {
    static_assert(Aggregation::kAggregatable, "this object cannot be aggregated");
  }
  virtual ~DispatchObject() = default;

  // The dual interface, and its type information as a borrowed pointer that
  // stays valid for the object's life.
  virtual const IID& DualIid() const = 0;
  virtual HRESULT DualTypeInfo(ITypeInfo** borrowed) = 0;
  // Another interface the object answers itself, or null.
  virtual void* OwnInterface(REFIID) { return nullptr; }
  // An interface of an object this one aggregates (the free-threaded
  // marshaler), handed out with its reference; asked last.
  virtual HRESULT QueryAggregated(REFIID, void**) { return E_NOINTERFACE; }
  // The unknown that controls the object's identity and count: the outer
  // object's when aggregated, what an object aggregated by this one gets.
  IUnknown* ControllingUnknown() const { return outer_; }
  // Runs when the last reference goes; an object whose end needs more than
  // the delete (the component's, under fault containment) overrides it.
  virtual void Destroy() { delete this; }

 private:
  // The non-delegating IUnknown that owns the identity and the count.
  class Inner : public IUnknown {
   public:
    explicit Inner(DispatchObject* object) : object_(object) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
      if (!out) return E_POINTER;
      *out = nullptr;
      DispatchObject* object = object_;
      if (IsEqualIID(iid, IID_IUnknown)) {
        *out = Aggregation::kAggregatable ? static_cast<IUnknown*>(this)
                                          : static_cast<IUnknown*>(static_cast<Iface*>(object));
      } else if (IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, object->DualIid())) {
        *out = static_cast<Iface*>(object);
      } else if (IsEqualIID(iid, IID_ISupportErrorInfo)) {
        *out = static_cast<ISupportErrorInfo*>(object);
      } else {
        *out = object->OwnInterface(iid);
        if (!*out) return object->QueryAggregated(iid, out);
      }
      if (!*out) return E_NOINTERFACE;
      static_cast<IUnknown*>(*out)->AddRef();
      return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override {
      const LONG refs = InterlockedDecrement(&refs_);
      if (refs == 0) object_->Destroy();
      return refs;
    }

   private:
    DispatchObject* object_;
    LONG refs_ = 1;
  };

  Inner inner_{this};
  IUnknown* outer_ = &inner_;
};

}  // namespace com
