// Application and Session: the shared store, the objects over it, and the
// Contents dictionary with its enumerator.
#include <initguid.h>  // the IIDs of asptlb.h are defined once, here

#include "asphost/intrinsics/comobject.h"
#include "asphost/intrinsics/internal.h"
#include "asphost/intrinsics/intrinsics.h"
#include "asphost/intrinsics/variants.h"

#include <utility>

namespace asphost {

// ---------------------------------------------------------------------------
// ApplicationStore

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

// The global interface table's class, as cguid.h declares it. Not taken from
// libuuid: its object that defines it defines every IID of the headers too,
// which this module's <initguid.h> already does.
const CLSID kStdGlobalInterfaceTable = {0x00000323, 0, 0, {0xc0, 0, 0, 0, 0, 0, 0, 0x46}};

// The class that unmarshals in-process what the free-threaded marshaler
// marshals, as the system answers for a marshaler of our own (headers and
// systems do not agree on its identifier).
const CLSID& FreeThreadedUnmarshaler() {
  static const CLSID unmarshaler = [] {
    CLSID clsid = {};
    IUnknown* marshaler = nullptr;
    if (FAILED(CoCreateFreeThreadedMarshaler(nullptr, &marshaler))) return clsid;
    IMarshal* marshal = nullptr;
    if (SUCCEEDED(marshaler->QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&marshal)))) {
      marshal->GetUnmarshalClass(IID_IUnknown, marshaler, MSHCTX_INPROC, nullptr, MSHLFLAGS_NORMAL,
                                 &clsid);
      marshal->Release();
    }
    marshaler->Release();
    return clsid;
  }();
  return unmarshaler;
}

bool IsObject(VARTYPE type) { return type == VT_DISPATCH || type == VT_UNKNOWN; }

// An object that any apartment may call directly: it aggregates the
// free-threaded marshaler, which unmarshals in-process to the object itself.
bool IsAgile(IUnknown* object) {
  IMarshal* marshal = nullptr;
  if (FAILED(object->QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&marshal))))
    return false;
  CLSID unmarshaler = {};
  const HRESULT hr = marshal->GetUnmarshalClass(IID_IUnknown, object, MSHCTX_INPROC, nullptr,
                                                MSHLFLAGS_NORMAL, &unmarshaler);
  marshal->Release();
  return SUCCEEDED(hr) && IsEqualCLSID(unmarshaler, FreeThreadedUnmarshaler());
}

// An object, or an array holding one, that is not agile.
bool HoldsApartmentObject(const VARIANT& value) {
  const VARTYPE type = V_VT(&value);
  if (IsObject(type)) return V_UNKNOWN(&value) && !IsAgile(V_UNKNOWN(&value));
  const VARTYPE element = type & ~VT_ARRAY;
  if (!(type & VT_ARRAY) || !V_ARRAY(&value) || (element != VT_VARIANT && !IsObject(element))) return false;
  SAFEARRAY* array = V_ARRAY(&value);
  size_t count = 1;
  for (UINT d = 0; d < array->cDims; ++d) count *= array->rgsabound[d].cElements;
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(array, &data))) return true;  // not to be looked into: not taken
  bool found = false;
  for (size_t i = 0; i < count && !found; ++i) {
    if (element == VT_VARIANT) {
      found = HoldsApartmentObject(static_cast<const VARIANT*>(data)[i]);
    } else {
      IUnknown* object = static_cast<IUnknown* const*>(data)[i];
      found = object && !IsAgile(object);
    }
  }
  SafeArrayUnaccessData(array);
  return found;
}

HRESULT GlobalInterfaceTable(IGlobalInterfaceTable** out) {
  return CoCreateInstance(kStdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                          IID_IGlobalInterfaceTable, reinterpret_cast<void**>(out));
}

std::wstring TextForLog(const VARIANT& value) {
  if (IsObject(V_VT(&value))) return L"[object]";
  if (V_VT(&value) & VT_ARRAY) return L"[array]";
  std::wstring text;
  if (FAILED(VariantText(value, &text))) return L"[value]";
  return text;
}

}  // namespace

// A value as the store keeps it. Pages run in apartments of their own, so an
// object that is not agile is kept in the global interface table, and each
// page gets it for its own apartment: the object itself in the apartment that
// stored it, a proxy to that apartment elsewhere. Plain values and agile
// objects are kept as they are. Releasing it releases the object, which may
// call back into the store: the store lets go of its locks first.
class ApplicationStore::Value {
 public:
  Value() { VariantInit(&value_); }
  ~Value() {
    if (cookie_) {
      IGlobalInterfaceTable* table = nullptr;
      if (SUCCEEDED(GlobalInterfaceTable(&table))) {
        table->RevokeInterfaceFromGlobal(cookie_);
        table->Release();
      }
    }
    VariantClear(&value_);
  }
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;

  static HRESULT Make(const VARIANT& value, Objects objects, std::shared_ptr<const Value>* out) {
    auto made = std::make_shared<Value>();
    HRESULT hr = VariantCopyInd(&made->value_, const_cast<VARIANT*>(Unwrap(&value)));
    if (FAILED(hr)) return hr;
    if (objects == Objects::kAgileOnly && HoldsApartmentObject(made->value_)) return kApartmentObject;
    const VARTYPE type = V_VT(&made->value_);
    IUnknown* object = IsObject(type) ? V_UNKNOWN(&made->value_) : nullptr;
    if (object && !IsAgile(object)) {
      IGlobalInterfaceTable* table = nullptr;
      hr = GlobalInterfaceTable(&table);
      if (SUCCEEDED(hr)) {
        hr = table->RegisterInterfaceInGlobal(object, ObjectIid(type), &made->cookie_);
        table->Release();
      }
      if (FAILED(hr)) return hr;
      made->objectType_ = type;
      VariantClear(&made->value_);
    }
    *out = std::move(made);
    return S_OK;
  }

  // A copy for the calling apartment.
  HRESULT CopyTo(VARIANT* out) const {
    if (!cookie_) return VariantCopy(out, const_cast<VARIANT*>(&value_));
    IGlobalInterfaceTable* table = nullptr;
    HRESULT hr = GlobalInterfaceTable(&table);
    if (FAILED(hr)) return hr;
    void* object = nullptr;
    hr = table->GetInterfaceFromGlobal(cookie_, ObjectIid(objectType_), &object);
    table->Release();
    if (FAILED(hr)) return hr;
    V_VT(out) = objectType_;
    V_UNKNOWN(out) = static_cast<IUnknown*>(object);
    return S_OK;
  }

  std::wstring LogText() const { return cookie_ ? L"[object]" : TextForLog(value_); }

 private:
  static REFIID ObjectIid(VARTYPE type) {
    return type == VT_DISPATCH ? IID_IDispatch : IID_IUnknown;
  }

  VARIANT value_;
  DWORD cookie_ = 0;               // the object's entry in the global interface table, or 0
  VARTYPE objectType_ = VT_EMPTY;  // VT_DISPATCH or VT_UNKNOWN: how the entry's object was given
};

struct ApplicationStore::Item {
  std::wstring key;
  std::shared_ptr<const Value> value;
};

ApplicationStore::ApplicationStore(Objects objects) : objects_(objects) {
  InitializeCriticalSection(&data_);
  InitializeCriticalSection(&pageLock_);
}

ApplicationStore::~ApplicationStore() {
  RemoveAll();  // as everywhere, the values are released outside the locks
  DeleteCriticalSection(&pageLock_);
  DeleteCriticalSection(&data_);
}

HRESULT ApplicationStore::Get(const std::wstring& key, VARIANT* out) const {
  VariantInit(out);
  std::shared_ptr<const Value> value;
  {
    Hold hold(&data_);
    for (const Item& item : items_) {
      if (SameName(item.key, key)) {
        value = item.value;
        break;
      }
    }
  }
  return value ? value->CopyTo(out) : S_OK;
}

bool ApplicationStore::GetAt(size_t position, std::wstring* key, VARIANT* out) const {
  if (out) VariantInit(out);
  std::shared_ptr<const Value> value;
  {
    Hold hold(&data_);
    if (position < 1 || position > items_.size()) return false;
    const Item& item = items_[position - 1];
    if (key) *key = item.key;
    value = item.value;
  }
  if (out) value->CopyTo(out);
  return true;
}

// Every change below takes what leaves the store out of it under the locks
// and releases it after them (the holder is declared before the locks), so a
// release that calls back into the store finds it whole and unlocked.

HRESULT ApplicationStore::Set(const std::wstring& key, const VARIANT& value) {
  std::shared_ptr<const Value> stored;
  HRESULT hr = Value::Make(value, objects_, &stored);
  if (FAILED(hr)) return hr;
  std::wstring entry = L"set " + key + L"=" + stored->LogText();
  std::shared_ptr<const Value> replaced;
  Hold page(&pageLock_);
  Hold hold(&data_);
  Record(std::move(entry));
  for (Item& item : items_) {
    if (SameName(item.key, key)) {
      replaced = std::exchange(item.value, std::move(stored));
      return S_OK;
    }
  }
  items_.push_back(Item{key, std::move(stored)});
  return S_OK;
}

void ApplicationStore::Remove(const std::wstring& key) {
  std::shared_ptr<const Value> removed;
  Hold page(&pageLock_);
  Hold hold(&data_);
  Record(L"remove " + key);
  for (auto item = items_.begin(); item != items_.end(); ++item) {
    if (SameName(item->key, key)) {
      removed = std::move(item->value);
      items_.erase(item);
      return;
    }
  }
}

void ApplicationStore::RemoveAt(size_t position) {
  std::shared_ptr<const Value> removed;
  Hold page(&pageLock_);
  Hold hold(&data_);
  if (position < 1 || position > items_.size()) return;
  auto item = items_.begin() + static_cast<ptrdiff_t>(position - 1);
  Record(L"remove " + item->key);
  removed = std::move(item->value);
  items_.erase(item);
}

void ApplicationStore::RemoveAll() {
  std::vector<Item> removed;
  Hold page(&pageLock_);
  Hold hold(&data_);
  Record(L"removeall");
  removed.swap(items_);
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

// What a script is told when Application refuses an object, as ASP words it.
const wchar_t kApartmentObjectRefused[] =
    L"ASP 0197: Cannot add object with apartment model behavior to the application intrinsic object";

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
  HRESULT Stored(HRESULT hr) {
    return hr == ApplicationStore::kApartmentObject ? Fail(E_FAIL, kApplicationSource, kApartmentObjectRefused) : hr;
  }
  HRESULT SetItem(const VARIANT& varKey, const VARIANT& value) {
    return Guarded([&]() -> HRESULT {
      if (HRESULT hr = Check(L"Contents.Item"); FAILED(hr)) return hr;
      DictionaryKey key;
      if (HRESULT hr = ReadKey(varKey, &key); FAILED(hr)) return hr;
      if (key.isPosition && !store_->GetAt(key.position, &key.name, nullptr))
        return Fail(DISP_E_BADINDEX, kApplicationSource, L"No item at this position.");
      return Stored(store_->Set(key.name, value));
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
    if (StackRunningOut()) return kOutOfStackSpace;
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
      const HRESULT hr = store_->Set(Text(key), value);
      return hr == ApplicationStore::kApartmentObject ? Fail(E_FAIL, kApplicationSource, kApartmentObjectRefused) : hr;
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
  SessionObject(std::shared_ptr<ApplicationStore> store, std::wstring id, bool pageOnly)
      : store_(std::move(store)), id_(std::move(id)), pageOnly_(pageOnly) {}

  void EndPage() {
    if (pageOnly_) store_->RemoveAll();
  }

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
  const bool pageOnly_;  // the store was made for this page
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
    const bool pageOnly = !setup.session;
    auto store = pageOnly ? std::make_shared<ApplicationStore>(ApplicationStore::Objects::kAny) : setup.session;
    *out = new SessionObject(std::move(store), setup.sessionId, pageOnly);
    return S_OK;
  });
}

void ReleaseApplicationLocks(IApplicationObject* application) {
  if (auto* object = dynamic_cast<ApplicationObject*>(application)) object->ReleaseLocks();
}

void EndPageSession(ISessionObject* session) {
  if (auto* object = dynamic_cast<SessionObject*>(session)) object->EndPage();
}

}  // namespace asphost
