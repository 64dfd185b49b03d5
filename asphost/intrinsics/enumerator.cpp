// IEnumVARIANT over texts, for For Each over the collections.
#include "asphost/intrinsics/comobject.h"
#include "asphost/intrinsics/internal.h"

namespace asphost {

namespace {

class TextEnumerator final : public IEnumVARIANT {
 public:
  TextEnumerator(std::vector<std::wstring> items, size_t next) : items_(std::move(items)), next_(next) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumVARIANT)) {
      *out = static_cast<IEnumVARIANT*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return left;
  }

  STDMETHODIMP Next(ULONG count, VARIANT* items, ULONG* fetched) override {
    if (!items) return E_POINTER;
    ULONG done = 0;
    for (; done < count && next_ < items_.size(); ++done, ++next_) {
      VariantInit(&items[done]);
      V_VT(&items[done]) = VT_BSTR;
      if (FAILED(ReturnString(items_[next_], &V_BSTR(&items[done])))) {
        V_VT(&items[done]) = VT_EMPTY;
        for (ULONG i = 0; i < done; ++i) VariantClear(&items[i]);
        return E_OUTOFMEMORY;
      }
    }
    if (fetched) *fetched = done;
    return done == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    size_t left = items_.size() - next_;
    next_ += count < left ? count : left;
    return count <= left ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    next_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumVARIANT** out) override {
    if (!out) return E_POINTER;
    return Guarded([&] {
      *out = new TextEnumerator(items_, next_);
      return S_OK;
    });
  }

 private:
  ~TextEnumerator() = default;
  LONG refs_ = 1;
  std::vector<std::wstring> items_;  // a snapshot: changes during a For Each do not disturb it
  size_t next_;
};

}  // namespace

HRESULT CreateTextEnumerator(std::vector<std::wstring> items, IUnknown** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return Guarded([&] {
    *out = new TextEnumerator(std::move(items), 0);
    return S_OK;
  });
}

}  // namespace asphost
