// Application and Session: the shared store, the objects over it, and the
// Contents dictionary with its enumerator.
#include <initguid.h>  // the IIDs of asptlb.h are defined once, here

#include "asphost/intrinsics/comobject.h"
#include "asphost/intrinsics/internal.h"
#include "asphost/intrinsics/intrinsics.h"
#include "asphost/intrinsics/variants.h"

namespace asphost {

// ---------------------------------------------------------------------------
// ApplicationStore

struct ApplicationStore::Item {
  std::wstring key;
  VARIANT value;  // owned; cleared when the item goes
};

namespace {

class Hold {
 public:
  explicit Hold(CRITICAL_SECTION* section) : section_(section) { EnterCriticalSection(section_); }
  ~Hold() { LeaveCriticalSection(section_); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  CRITICAL_SECTION* section_;
};

std::wstring LogText(const VARIANT& value) {
  VARTYPE type = V_VT(&value) & ~VT_BYREF;
  if (type == VT_DISPATCH || type == VT_UNKNOWN) return L"[object]";
  if (V_VT(&value) & VT_ARRAY) return L"[array]";
  std::wstring text;
  if (FAILED(VariantText(value, &text))) return L"[value]";
  return text;
}

}  // namespace

ApplicationStore::ApplicationStore() {
  InitializeCriticalSection(&data_);
  InitializeCriticalSection(&pageLock_);
}

ApplicationStore::~ApplicationStore() {
  for (Item& item : items_) VariantClear(&item.value);
  DeleteCriticalSection(&pageLock_);
  DeleteCriticalSection(&data_);
}

HRESULT ApplicationStore::Get(const std::wstring& key, VARIANT* out) const {
  VariantInit(out);
  Hold hold(&data_);
  for (const Item& item : items_)
    if (SameName(item.key, key)) return VariantCopy(out, const_cast<VARIANT*>(&item.value));
  return S_OK;
}

bool ApplicationStore::GetAt(size_t position, std::wstring* key, VARIANT* out) const {
  if (out) VariantInit(out);
  Hold hold(&data_);
  if (position < 1 || position > items_.size()) return false;
  const Item& item = items_[position - 1];
  if (key) *key = item.key;
  if (out) VariantCopy(out, const_cast<VARIANT*>(&item.value));
  return true;
}

HRESULT ApplicationStore::Set(const std::wstring& key, const VARIANT& value) {
  VARIANT copy;
  VariantInit(&copy);
  HRESULT hr = VariantCopyInd(&copy, const_cast<VARIANT*>(Unwrap(&value)));
  if (FAILED(hr)) return hr;
  Hold page(&pageLock_);
  Hold hold(&data_);
  std::wstring entry = L"set " + key + L"=" + LogText(copy);
  for (Item& item : items_) {
    if (SameName(item.key, key)) {
      VariantClear(&item.value);
      item.value = copy;
      Record(std::move(entry));
      return S_OK;
    }
  }
  try {
    items_.push_back(Item{key, copy});
  } catch (...) {
    VariantClear(&copy);
    throw;
  }
  Record(std::move(entry));
  return S_OK;
}

void ApplicationStore::Remove(const std::wstring& key) {
  Hold page(&pageLock_);
  Hold hold(&data_);
  Record(L"remove " + key);
  for (auto item = items_.begin(); item != items_.end(); ++item) {
    if (SameName(item->key, key)) {
      VariantClear(&item->value);
      items_.erase(item);
      return;
    }
  }
}

void ApplicationStore::RemoveAt(size_t position) {
  Hold page(&pageLock_);
  Hold hold(&data_);
  if (position < 1 || position > items_.size()) return;
  auto item = items_.begin() + static_cast<ptrdiff_t>(position - 1);
  Record(L"remove " + item->key);
  VariantClear(&item->value);
  items_.erase(item);
}

void ApplicationStore::RemoveAll() {
  Hold page(&pageLock_);
  Hold hold(&data_);
  Record(L"removeall");
  for (Item& item : items_) VariantClear(&item.value);
  items_.clear();
}

size_t ApplicationStore::Count() const {
  Hold hold(&data_);
  return items_.size();
}

std::vector<std::wstring> ApplicationStore::Keys() const {
  Hold hold(&data_);
  std::vector<std::wstring> keys;
  for (const Item& item : items_) keys.push_back(item.key);
  return keys;
}

void ApplicationStore::Lock() { EnterCriticalSection(&pageLock_); }
void ApplicationStore::Unlock() { LeaveCriticalSection(&pageLock_); }

void ApplicationStore::SetLogging(bool on) {
  Hold hold(&data_);
  logging_ = on;
}

std::vector<std::wstring> ApplicationStore::Log() const {
  Hold hold(&data_);
  return log_;
}

void ApplicationStore::ClearLog() {
  Hold hold(&data_);
  log_.clear();
}

void ApplicationStore::Record(std::wstring entry) {
  if (logging_) log_.push_back(std::move(entry));
}

// ---------------------------------------------------------------------------
// Contents: IVariantDictionary over a store, and its key enumerator.

namespace {

// A key given by a script: a 1-based position when it is an integer,
// otherwise its text.
struct DictionaryKey {
  bool isPosition = false;
  size_t position = 0;
  std::wstring name;
};

HRESULT ReadKey(const VARIANT& v, DictionaryKey* key) {
  int64_t position;
  if (IntegerValue(v, &position)) {
    key->isPosition = true;
    key->position = position > 0 ? static_cast<size_t>(position) : 0;
    return S_OK;
  }
  return VariantText(v, &key->name);
}

const wchar_t kApplicationSource[] = L"Application object";

class VariantDictionary final : public DispatchObject<IVariantDictionary, IID_IVariantDictionary> {
 public:
  VariantDictionary(std::shared_ptr<ApplicationStore> store, std::shared_ptr<HostProbe> probe)
      : store_(std::move(store)), probe_(std::move(probe)) {}

  STDMETHODIMP get_Item(VARIANT varKey, VARIANT* value) override {
    if (!value) return E_POINTER;
    VariantInit(value);
    return Guarded([&]() -> HRESULT {
      if (HRESULT hr = Check(L"Contents.Item"); FAILED(hr)) return hr;
      DictionaryKey key;
      if (HRESULT hr = ReadKey(varKey, &key); FAILED(hr)) return hr;
      if (key.isPosition) {
        store_->GetAt(key.position, nullptr, value);
        return S_OK;
      }
      return store_->Get(key.name, value);
    });
  }
  STDMETHODIMP put_Item(VARIANT varKey, VARIANT value) override { return SetItem(varKey, value); }
  STDMETHODIMP putref_Item(VARIANT varKey, VARIANT value) override { return SetItem(varKey, value); }

  STDMETHODIMP get_Key(VARIANT varKey, VARIANT* out) override {
    if (!out) return E_POINTER;
    VariantInit(out);
    return Guarded([&]() -> HRESULT {
      DictionaryKey key;
      if (HRESULT hr = ReadKey(varKey, &key); FAILED(hr)) return hr;
      std::wstring name;
      if (key.isPosition) {
        if (!store_->GetAt(key.position, &name, nullptr)) return S_OK;
      } else {
        for (const std::wstring& stored : store_->Keys())
          if (SameName(stored, key.name)) name = stored;
        if (name.empty()) return S_OK;
      }
      V_VT(out) = VT_BSTR;
      return ReturnString(name, &V_BSTR(out));
    });
  }
  STDMETHODIMP get_Count(int* count) override {
    if (!count) return E_POINTER;
    *count = static_cast<int>(store_->Count());
    return S_OK;
  }
  STDMETHODIMP get__NewEnum(IUnknown** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Guarded([&] {
      return CreateTextEnumerator(store_->Keys(), out);
    });
  }
  STDMETHODIMP Remove(VARIANT varKey) override {
    return Guarded([&]() -> HRESULT {
      if (HRESULT hr = Check(L"Contents.Remove"); FAILED(hr)) return hr;
      DictionaryKey key;
      if (HRESULT hr = ReadKey(varKey, &key); FAILED(hr)) return hr;
      if (key.isPosition)
        store_->RemoveAt(key.position);
      else
        store_->Remove(key.name);
      return S_OK;
    });
  }
  STDMETHODIMP RemoveAll() override {
    return Guarded([&]() -> HRESULT {
      if (HRESULT hr = Check(L"Contents.RemoveAll"); FAILED(hr)) return hr;
      store_->RemoveAll();
      return S_OK;
    });
  }

 private:
  HRESULT Check(const wchar_t* name) {
    return probe_ ? probe_->Check(name, IID_IVariantDictionary, kApplicationSource) : S_OK;
  }
  HRESULT SetItem(const VARIANT& varKey, const VARIANT& value) {
    return Guarded([&]() -> HRESULT {
      if (HRESULT hr = Check(L"Contents.Item"); FAILED(hr)) return hr;
      DictionaryKey key;
      if (HRESULT hr = ReadKey(varKey, &key); FAILED(hr)) return hr;
      if (key.isPosition && !store_->GetAt(key.position, &key.name, nullptr))
        return Fail(DISP_E_BADINDEX, kApplicationSource, L"No item at this position.");
      return store_->Set(key.name, value);
    });
  }

  std::shared_ptr<ApplicationStore> store_;
  std::shared_ptr<HostProbe> probe_;
};

// ---------------------------------------------------------------------------
// Application

class ApplicationObject final : public DispatchObject<IApplicationObject, IID_IApplicationObject> {
 public:
  ApplicationObject(std::shared_ptr<ApplicationStore> store, std::shared_ptr<HostProbe> probe)
      : store_(std::move(store)), probe_(std::move(probe)) {}

  STDMETHODIMP get_Value(BSTR key, VARIANT* value) override {
    if (!value) return E_POINTER;
    VariantInit(value);
    return Guarded([&]() -> HRESULT {
      if (HRESULT hr = Check(L"Application.Value"); FAILED(hr)) return hr;
      return store_->Get(Text(key), value);
    });
  }
  STDMETHODIMP put_Value(BSTR key, VARIANT value) override { return SetValue(key, value); }
  STDMETHODIMP putref_Value(BSTR key, VARIANT value) override { return SetValue(key, value); }

  STDMETHODIMP Lock() override {
    store_->Lock();
    InterlockedIncrement(&locks_);
    return S_OK;
  }
  STDMETHODIMP UnLock() override {
    // Only what this page locked; an extra UnLock is harmless, as in ASP.
    if (InterlockedDecrement(&locks_) < 0) {
      InterlockedIncrement(&locks_);
      return S_OK;
    }
    store_->Unlock();
    return S_OK;
  }
  STDMETHODIMP get_StaticObjects(IVariantDictionary** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP get_Contents(IVariantDictionary** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Guarded([&]() -> HRESULT {
      if (HRESULT hr = Check(L"Application.Contents"); FAILED(hr)) return hr;
      return CreateVariantDictionary(store_, probe_, out);
    });
  }

  void ReleaseLocks() {
    while (locks_ > 0) UnLock();
  }

 private:
  ~ApplicationObject() override { ReleaseLocks(); }

  static std::wstring Text(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }
  HRESULT Check(const wchar_t* name) {
    return probe_ ? probe_->Check(name, IID_IApplicationObject, kApplicationSource) : S_OK;
  }
  HRESULT SetValue(BSTR key, const VARIANT& value) {
    return Guarded([&]() -> HRESULT {
      if (HRESULT hr = Check(L"Application.Value"); FAILED(hr)) return hr;
      return store_->Set(Text(key), value);
    });
  }

  std::shared_ptr<ApplicationStore> store_;
  std::shared_ptr<HostProbe> probe_;
  LONG locks_ = 0;
};

// ---------------------------------------------------------------------------
// Session: the same store behind ISessionObject, one per page unless the host
// keeps sessions.

const wchar_t kSessionSource[] = L"Session object";

class SessionObject final : public DispatchObject<ISessionObject, IID_ISessionObject> {
 public:
  SessionObject(std::shared_ptr<ApplicationStore> store, std::wstring id)
      : store_(std::move(store)), id_(std::move(id)) {}

  STDMETHODIMP get_SessionID(BSTR* out) override { return ReturnString(id_, out); }
  STDMETHODIMP get_Value(BSTR key, VARIANT* value) override {
    if (!value) return E_POINTER;
    return Guarded([&] { return store_->Get(Text(key), value); });
  }
  STDMETHODIMP put_Value(BSTR key, VARIANT value) override {
    return Guarded([&] { return store_->Set(Text(key), value); });
  }
  STDMETHODIMP putref_Value(BSTR key, VARIANT value) override { return put_Value(key, value); }
  STDMETHODIMP get_Timeout(LONG* minutes) override { return Return(timeout_, minutes); }
  STDMETHODIMP put_Timeout(LONG minutes) override {
    if (minutes <= 0) return Fail(E_INVALIDARG, kSessionSource, L"The timeout must be a positive number of minutes.");
    timeout_ = minutes;
    return S_OK;
  }
  STDMETHODIMP Abandon() override {
    return Guarded([&] {
      store_->RemoveAll();
      return S_OK;
    });
  }
  STDMETHODIMP get_CodePage(LONG* codePage) override { return Return(codePage_, codePage); }
  STDMETHODIMP put_CodePage(LONG codePage) override {
    codePage_ = codePage;
    return S_OK;
  }
  STDMETHODIMP get_LCID(LONG* lcid) override { return Return(lcid_, lcid); }
  STDMETHODIMP put_LCID(LONG lcid) override {
    lcid_ = lcid;
    return S_OK;
  }
  STDMETHODIMP get_StaticObjects(IVariantDictionary** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP get_Contents(IVariantDictionary** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Guarded([&] { return CreateVariantDictionary(store_, nullptr, out); });
  }

 private:
  static std::wstring Text(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }
  static HRESULT Return(LONG value, LONG* out) {
    if (!out) return E_POINTER;
    *out = value;
    return S_OK;
  }

  std::shared_ptr<ApplicationStore> store_;
  std::wstring id_;
  LONG timeout_ = 20;
  LONG codePage_ = CP_UTF8;
  LONG lcid_ = 0x409;
};

}  // namespace

HRESULT CreateVariantDictionary(std::shared_ptr<ApplicationStore> store, std::shared_ptr<HostProbe> probe,
                                IVariantDictionary** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return Guarded([&] {
    *out = new VariantDictionary(std::move(store), std::move(probe));
    return S_OK;
  });
}

HRESULT CreateApplication(const PageSetup& setup, IApplicationObject** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!setup.application) return E_INVALIDARG;
  return Guarded([&] {
    *out = new ApplicationObject(setup.application, setup.probe);
    return S_OK;
  });
}

HRESULT CreateSession(const PageSetup& setup, ISessionObject** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return Guarded([&] {
    auto store = setup.session ? setup.session : std::make_shared<ApplicationStore>();
    *out = new SessionObject(std::move(store), setup.sessionId);
    return S_OK;
  });
}

void ReleaseApplicationLocks(IApplicationObject* application) {
  if (auto* object = dynamic_cast<ApplicationObject*>(application)) object->ReleaseLocks();
}

}  // namespace asphost
