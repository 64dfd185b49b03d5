// The intrinsic objects and the page context through their COM interfaces,
// as a component and a script engine call them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <thread>

#include "asphost/intrinsics/comobject.h"
#include "asphost/intrinsics/intrinsics.h"
#include "asphost/intrinsics/variants.h"

namespace asphost {
namespace {

// Releases a COM pointer at the end of a scope.
template <class T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* p) : p_(p) {}
  ~Ref() {
    if (p_) p_->Release();
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  T** put() { return &p_; }
  T* operator->() const { return p_; }
  T* get() const { return p_; }

 private:
  T* p_ = nullptr;
};

class Bstr {
 public:
  explicit Bstr(const wchar_t* text) : b_(SysAllocString(text)) {}
  Bstr() = default;
  ~Bstr() { SysFreeString(b_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  operator BSTR() const { return b_; }
  BSTR* put() { return &b_; }
  std::wstring text() const { return b_ ? std::wstring(b_, SysStringLen(b_)) : std::wstring(); }

 private:
  BSTR b_ = nullptr;
};

std::string Bytes(const VARIANT& v) {
  ByteArrayView view(v);
  EXPECT_TRUE(view.valid());
  return std::string(reinterpret_cast<const char*>(view.data()), view.size());
}

class IntrinsicsTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    body = std::make_shared<MemoryBody>();
    sink = std::make_shared<MemorySink>();
    store = std::make_shared<ApplicationStore>();
    probe = std::make_shared<HostProbe>();
  }
  void TearDown() override {
    page.reset();
    CoUninitialize();
  }

  Page& Begin() {
    PageSetup setup;
    setup.body = body;
    setup.sink = sink;
    setup.application = store;
    setup.probe = probe;
    setup.root = L"C:\\site";
    setup.pagePath = L"/app/page.asp";
    setup.contentType = contentType;
    setup.queryString = queryString;
    page = std::make_unique<Page>(setup);
    return *page;
  }

  std::shared_ptr<MemoryBody> body;
  std::shared_ptr<MemorySink> sink;
  std::shared_ptr<ApplicationStore> store;
  std::shared_ptr<HostProbe> probe;
  std::wstring contentType, queryString;
  std::unique_ptr<Page> page;
};

// --- Request

TEST_F(IntrinsicsTest, BinaryReadRewritesTheCountInTheTypeItWasGiven) {
  body->SetBytes("0123456789");
  IRequest* request = Begin().request();
  LONG total = 0;
  ASSERT_EQ(request->get_TotalBytes(&total), S_OK);
  EXPECT_EQ(total, 10);

  Variant count, data;
  V_VT(count.get()) = VT_I4;
  V_I4(count.get()) = 4;
  ASSERT_EQ(request->BinaryRead(count.get(), data.get()), S_OK);
  EXPECT_EQ(V_VT(count.get()), VT_I4);
  EXPECT_EQ(V_I4(count.get()), 4);
  EXPECT_EQ(V_VT(data.get()), VT_ARRAY | VT_UI1);
  EXPECT_EQ(Bytes(*data), "0123");

  // The shorter last block comes as a 64-bit count asking for more than is left.
  Variant last, rest;
  V_VT(last.get()) = VT_I8;
  V_I8(last.get()) = 100;
  ASSERT_EQ(request->BinaryRead(last.get(), rest.get()), S_OK);
  EXPECT_EQ(V_VT(last.get()), VT_I8);
  EXPECT_EQ(V_I8(last.get()), 6);
  EXPECT_EQ(Bytes(*rest), "456789");

  // A count by reference is written through the reference.
  LONG byRef = 5;
  Variant ref, empty;
  V_VT(ref.get()) = VT_I4 | VT_BYREF;
  V_I4REF(ref.get()) = &byRef;
  ASSERT_EQ(request->BinaryRead(ref.get(), empty.get()), S_OK);
  EXPECT_EQ(byRef, 0);
  EXPECT_EQ(Bytes(*empty), "");

  auto reads = probe->Reads();
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[0].countType, VT_I4);
  EXPECT_EQ(reads[1].countType, VT_I8);
  EXPECT_EQ(reads[1].asked, 100);
  EXPECT_EQ(reads[1].delivered, 6);
}

TEST_F(IntrinsicsTest, BinaryReadRefusesCountsThatAreNotNonNegativeIntegers) {
  body->SetBytes("abc");
  IRequest* request = Begin().request();
  struct Case {
    VARTYPE type;
    double number;
  } cases[] = {{VT_I4, -1}, {VT_I8, -5}, {VT_R8, 2.0}, {VT_R8, 1.5}, {VT_BSTR, 0}, {VT_EMPTY, 0}};
  for (const Case& c : cases) {
    Variant count, data;
    V_VT(count.get()) = c.type;
    if (c.type == VT_I4) V_I4(count.get()) = static_cast<LONG>(c.number);
    if (c.type == VT_I8) V_I8(count.get()) = static_cast<LONGLONG>(c.number);
    if (c.type == VT_R8) V_R8(count.get()) = c.number;
    if (c.type == VT_BSTR) V_BSTR(count.get()) = SysAllocString(L"2");
    EXPECT_EQ(request->BinaryRead(count.get(), data.get()), E_INVALIDARG) << "type " << c.type << " " << c.number;
    EXPECT_EQ(V_VT(data.get()), VT_EMPTY);
  }
  EXPECT_TRUE(probe->Reads().empty());
}

TEST_F(IntrinsicsTest, ShortEmptyAndDisconnectedReads) {
  body->SetBytes("abcdefghij");
  body->SetMaxRead(3);
  body->SetEmptyReads(2, 1);
  body->SetDisconnectAfter(3);
  Page& p = Begin();
  std::string got;
  std::vector<LONG> delivered;
  VARIANT_BOOL connected = VARIANT_TRUE;
  while (p.response()->IsClientConnected(&connected) == S_OK && connected) {
    Variant count, data;
    V_VT(count.get()) = VT_I4;
    V_I4(count.get()) = 102400;
    ASSERT_EQ(p.request()->BinaryRead(count.get(), data.get()), S_OK);
    delivered.push_back(V_I4(count.get()));
    got += Bytes(*data);
  }
  EXPECT_EQ(delivered, (std::vector<LONG>{3, 0, 3}));
  EXPECT_EQ(got, "abcdef");
}

TEST_F(IntrinsicsTest, ReadsStopAtTheDeclaredLength) {
  body->SetBytes("0123456789NEXT-REQUEST");
  body->SetDeclaredLength(10);
  IRequest* request = Begin().request();
  Variant count, data;
  V_VT(count.get()) = VT_I4;
  V_I4(count.get()) = 1000;
  ASSERT_EQ(request->BinaryRead(count.get(), data.get()), S_OK);
  EXPECT_EQ(Bytes(*data), "0123456789");

  // Declared longer than what arrives: reads deliver nothing once the bytes end.
  body->SetBytes("abc");
  body->SetDeclaredLength(uint64_t{5} << 30 >> 0);
  Begin();
  LONG total = 0;
  ASSERT_EQ(page->request()->get_TotalBytes(&total), S_OK);
  EXPECT_EQ(static_cast<ULONG>(total), 0xFFFFFFFFu) << "5 GB does not fit the 32-bit property";
  Variant more, moreData;
  V_VT(more.get()) = VT_I4;
  V_I4(more.get()) = 10;
  ASSERT_EQ(page->request()->BinaryRead(more.get(), moreData.get()), S_OK);
  EXPECT_EQ(V_I4(more.get()), 3);
  ASSERT_EQ(page->request()->BinaryRead(more.get(), moreData.get()), S_OK);
  EXPECT_EQ(V_I4(more.get()), 0);
}

TEST_F(IntrinsicsTest, PlannedFailureCarriesHResultAndDescription) {
  body->SetBytes("abc");
  probe->FailCall(L"Request.BinaryRead", E_ACCESSDENIED, L"Denied on purpose.", 1);
  IRequest* request = Begin().request();
  Variant count, data;
  V_VT(count.get()) = VT_I4;
  V_I4(count.get()) = 1;
  EXPECT_EQ(request->BinaryRead(count.get(), data.get()), S_OK);
  EXPECT_EQ(request->BinaryRead(count.get(), data.get()), E_ACCESSDENIED);

  Ref<ISupportErrorInfo> support;
  ASSERT_EQ(request->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(support.put())), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IRequest), S_OK);
  Ref<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.put()), S_OK);
  Bstr description, source;
  info->GetDescription(description.put());
  info->GetSource(source.put());
  EXPECT_EQ(description.text(), L"Denied on purpose.");
  EXPECT_EQ(source.text(), L"Request object");
}

TEST_F(IntrinsicsTest, ServerVariablesFromTheSetupAndTheHost) {
  PageSetup setup;
  setup.body = body;
  setup.sink = sink;
  setup.application = store;
  setup.root = L"C:\\site\\";
  setup.pagePath = L"/a/b.asp";
  setup.method = L"POST";
  setup.serverVariables = {{L"REMOTE_ADDR", L"127.0.0.1"}, {L"request_method", L"PUT"}};
  Page own(setup);
  Ref<IRequestDictionary> variables;
  ASSERT_EQ(own.request()->get_ServerVariables(variables.put()), S_OK);
  int count = 0;
  variables->get_Count(&count);
  EXPECT_EQ(count, 10) << "nine standard names and REMOTE_ADDR, none twice";
  for (auto [name, expected] :
       {std::pair{L"REQUEST_METHOD", L"PUT"}, std::pair{L"PATH_TRANSLATED", L"C:\\site\\a\\b.asp"},
        std::pair{L"APPL_PHYSICAL_PATH", L"C:\\site\\"}, std::pair{L"remote_addr", L"127.0.0.1"}}) {
    Variant key, item, text;
    V_VT(key.get()) = VT_BSTR;
    V_BSTR(key.get()) = SysAllocString(name);
    ASSERT_EQ(variables->get_Item(*key, item.get()), S_OK) << name;
    ASSERT_EQ(VariantChangeType(text.get(), item.get(), 0, VT_BSTR), S_OK) << name;
    EXPECT_STREQ(V_BSTR(text.get()), expected) << name;
  }
}

TEST_F(IntrinsicsTest, FormQueryStringAndItem) {
  body->SetBytes("name=J%C3%BCrgen&tag=a&tag=b+c");
  contentType = L"application/x-www-form-urlencoded; charset=UTF-8";
  queryString = L"id=7&name=query";
  IRequest* request = Begin().request();

  Ref<IRequestDictionary> form;
  ASSERT_EQ(request->get_Form(form.put()), S_OK);
  int count = 0;
  form->get_Count(&count);
  EXPECT_EQ(count, 2);
  Variant key, value, text;
  V_VT(key.get()) = VT_BSTR;
  V_BSTR(key.get()) = SysAllocString(L"TAG");
  ASSERT_EQ(form->get_Item(*key, value.get()), S_OK);
  ASSERT_EQ(V_VT(value.get()), VT_DISPATCH);
  ASSERT_EQ(VariantChangeType(text.get(), value.get(), 0, VT_BSTR), S_OK) << "default value of the item";
  EXPECT_STREQ(V_BSTR(text.get()), L"a, b c");

  // Request(name) looks in the query string first.
  Ref<IDispatch> item;
  Bstr name(L"name");
  ASSERT_EQ(request->get_Item(name, item.put()), S_OK);
  Variant itemValue;
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  ASSERT_EQ(item->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, itemValue.get(), nullptr, nullptr),
            S_OK);
  EXPECT_STREQ(V_BSTR(itemValue.get()), L"query");

  // The form took the body; BinaryRead cannot have it too.
  Variant readCount, data;
  V_VT(readCount.get()) = VT_I4;
  V_I4(readCount.get()) = 1;
  EXPECT_EQ(request->BinaryRead(readCount.get(), data.get()), E_FAIL);
}

// --- Application and its Contents

TEST_F(IntrinsicsTest, ApplicationValueAndContents) {
  store->SetLogging(true);
  IApplicationObject* application = Begin().application();
  Bstr key(L"Progress");
  Variant percent;
  V_VT(percent.get()) = VT_I4;
  V_I4(percent.get()) = 41;
  ASSERT_EQ(application->putref_Value(key, *percent), S_OK);

  // A script's Application("progress") = 82: the default member, put.
  DISPID put = DISPID_PROPERTYPUT;
  VARIANT args[2];
  VariantInit(&args[0]);
  VariantInit(&args[1]);
  V_VT(&args[0]) = VT_I4;  // arguments run right to left: the value first
  V_I4(&args[0]) = 82;
  V_VT(&args[1]) = VT_BSTR;
  V_BSTR(&args[1]) = SysAllocString(L"progress");
  DISPPARAMS params = {args, &put, 2, 1};
  ASSERT_EQ(application->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr),
            S_OK);
  VariantClear(&args[1]);

  Variant stored;
  ASSERT_EQ(store->Get(L"PROGRESS", stored.get()), S_OK);
  EXPECT_EQ(V_I4(stored.get()), 82);

  Ref<IVariantDictionary> contents;
  ASSERT_EQ(application->get_Contents(contents.put()), S_OK);
  Variant other;
  V_VT(other.get()) = VT_BSTR;
  V_BSTR(other.get()) = SysAllocString(L"other");
  Variant otherKey;
  VariantCopy(otherKey.get(), other.get());
  ASSERT_EQ(contents->put_Item(*otherKey, *other), S_OK);
  int count = 0;
  contents->get_Count(&count);
  EXPECT_EQ(count, 2);

  Variant second, keyAt;
  V_VT(second.get()) = VT_I4;
  V_I4(second.get()) = 2;
  ASSERT_EQ(contents->get_Key(*second, keyAt.get()), S_OK);
  EXPECT_STREQ(V_BSTR(keyAt.get()), L"other");

  Ref<IUnknown> enumUnknown;
  ASSERT_EQ(contents->get__NewEnum(enumUnknown.put()), S_OK);
  Ref<IEnumVARIANT> keys;
  ASSERT_EQ(enumUnknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(keys.put())), S_OK);
  ASSERT_EQ(contents->RemoveAll(), S_OK);  // the enumeration keeps its snapshot
  VARIANT got[3];
  ULONG fetched = 0;
  EXPECT_EQ(keys->Next(3, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_STREQ(V_BSTR(&got[0]), L"Progress");
  EXPECT_STREQ(V_BSTR(&got[1]), L"other");
  VariantClear(&got[0]);
  VariantClear(&got[1]);

  Variant missing;
  V_VT(missing.get()) = VT_BSTR;
  V_BSTR(missing.get()) = SysAllocString(L"missing");
  EXPECT_EQ(contents->Remove(*missing), S_OK) << "removing what is not there is no error";
  EXPECT_EQ(store->Log(), (std::vector<std::wstring>{L"set Progress=41", L"set progress=82", L"set other=other",
                                                     L"removeall", L"remove missing"}));
}

TEST_F(IntrinsicsTest, ApplicationLockSerializesPagesOnThreads) {
  constexpr int kThreads = 4, kRounds = 300;
  Variant zero;
  V_VT(zero.get()) = VT_I4;
  V_I4(zero.get()) = 0;
  store->Set(L"counter", *zero);
  std::vector<std::thread> pages;
  std::atomic<int> ready{0};
  for (int t = 0; t < kThreads; ++t) {
    pages.emplace_back([this, &ready] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      ++ready;
      while (ready < kThreads) SwitchToThread();
      PageSetup setup;
      setup.body = body;
      setup.sink = std::make_shared<MemorySink>();
      setup.application = store;
      {
        Page own(setup);
        Bstr key(L"counter");
        for (int i = 0; i < kRounds; ++i) {
          own.application()->Lock();
          Variant value;
          own.application()->get_Value(key, value.get());
          V_I4(value.get()) += 1;
          SwitchToThread();  // other pages get every chance to interleave here
          own.application()->put_Value(key, *value);
          if (i % 2 == 0)
            own.application()->UnLock();
          else
            own.Finish();                               // the end of a page releases what it still holds...
          if (i % 2 == 1) own.application()->UnLock();  // ...and a later UnLock is harmless
        }
      }
      CoUninitialize();
    });
  }
  for (auto& thread : pages) thread.join();
  Variant total;
  store->Get(L"counter", total.get());
  EXPECT_EQ(V_I4(total.get()), kThreads * kRounds);
}

// --- Objects in the store

// An object that calls back into the store when its last reference goes, as
// an upload object removes its progress item; agile (aggregating the
// free-threaded marshaler) or not.
class StoredObject final : public IUnknown {
 public:
  explicit StoredObject(bool agile, std::function<void()> onRelease = {})
      : onRelease_(std::move(onRelease)) {
    if (agile) {
      EXPECT_EQ(CoCreateFreeThreadedMarshaler(this, &marshaler_), S_OK);
    }
  }
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown)) {
      *out = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    return marshaler_ ? marshaler_->QueryInterface(iid, out) : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG refs = InterlockedDecrement(&refs_);
    if (refs == 0) {
      if (onRelease_) onRelease_();
      if (marshaler_) marshaler_->Release();
      delete this;
    }
    return refs;
  }

 private:
  LONG refs_ = 1;
  IUnknown* marshaler_ = nullptr;
  std::function<void()> onRelease_;
};

// Variants that hold an object (a reference of their own) or text.
struct ObjectValue : Variant {
  explicit ObjectValue(IUnknown* object) {
    V_VT(get()) = VT_UNKNOWN;
    V_UNKNOWN(get()) = object;
    object->AddRef();
  }
};
struct TextValue : Variant {
  explicit TextValue(const wchar_t* text) {
    V_VT(get()) = VT_BSTR;
    V_BSTR(get()) = SysAllocString(text);
  }
};

// True when another thread gets through a call on the store within seconds:
// the store holds no lock of its own at that moment.
bool StoreFreeForOtherThreads(ApplicationStore& store) {
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread other([&store, done] {
    store.Count();
    SetEvent(done);
  });
  if (WaitForSingleObject(done, 5000) != WAIT_OBJECT_0) {
    other.detach();  // stuck behind the store's lock for good: the test fails
    return false;
  }
  other.join();
  CloseHandle(done);
  return true;
}

TEST_F(IntrinsicsTest, AValueReleasedByTheStoreMayChangeTheStore) {
  // How the item "p", holding the object, leaves the store; then how the
  // object's release changes the store; then the keys left, in order.
  struct Case {
    const char* leaves;
    const char* callback;
    std::vector<std::wstring> keys;
  };
  const Case cases[] = {
      {"remove", "remove progress", {L"a", L"z"}},
      {"remove", "set another", {L"a", L"progress", L"z", L"new"}},
      {"set empty", "remove progress", {L"a", L"p", L"z"}},
      {"set empty", "remove itself", {L"a", L"progress", L"z"}},
      {"set text", "set itself", {L"a", L"p", L"progress", L"z"}},
      {"remove at", "remove progress", {L"a", L"z"}},
      {"remove all", "set another", {L"new"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.leaves) + ", then the release does: " + c.callback);
    auto store = std::make_shared<ApplicationStore>(ApplicationStore::Objects::kAny);
    const std::string callback = c.callback;
    bool storeWasFree = false;
    auto* object = new StoredObject(false, [&] {
      storeWasFree = StoreFreeForOtherThreads(*store);
      if (callback == "remove progress") store->Remove(L"progress");
      if (callback == "set another") store->Set(L"new", *TextValue(L"new"));
      if (callback == "remove itself") store->Remove(L"p");
      if (callback == "set itself") store->Set(L"p", *TextValue(L"set by the release"));
    });
    store->Set(L"a", *TextValue(L"first"));
    store->Set(L"p", *ObjectValue(object));
    store->Set(L"progress", *TextValue(L"100"));
    store->Set(L"z", *TextValue(L"kept"));
    object->Release();  // the store holds the only reference now

    const std::string leaves = c.leaves;
    if (leaves == "remove") store->Remove(L"p");
    if (leaves == "set empty") store->Set(L"p", *Variant());
    if (leaves == "set text") store->Set(L"p", *TextValue(L"replaced"));
    if (leaves == "remove at") store->RemoveAt(2);
    if (leaves == "remove all") store->RemoveAll();

    EXPECT_TRUE(storeWasFree) << "the store held its lock while releasing a value";
    EXPECT_EQ(store->Keys(), c.keys);
    if (leaves != "remove all") {
      Variant z;
      ASSERT_EQ(store->Get(L"z", z.get()), S_OK);
      ASSERT_EQ(V_VT(z.get()), VT_BSTR);
      EXPECT_STREQ(V_BSTR(z.get()), L"kept");
    }
    if (callback == "set itself") {
      Variant p;
      ASSERT_EQ(store->Get(L"p", p.get()), S_OK);
      ASSERT_EQ(V_VT(p.get()), VT_BSTR);
      EXPECT_STREQ(V_BSTR(p.get()), L"set by the release")
          << "the release follows the page's assignment";
    }
  }
}

// Pages run in apartments of their own: an object kept by one page reaches a
// page on another thread directly only when it is agile; any other object
// (a store that takes them: a Session's) through the global interface table,
// as a proxy of that apartment.
TEST_F(IntrinsicsTest, TheStoreHandsObjectsToOtherApartmentsAsComRequires) {
  store = std::make_shared<ApplicationStore>(ApplicationStore::Objects::kAny);
  for (bool agile : {true, false}) {
    SCOPED_TRACE(agile ? "agile" : "apartment-bound");
    auto* object = new StoredObject(agile);
    ASSERT_EQ(store->Set(L"shared", *ObjectValue(object)), S_OK);
    Variant here;
    ASSERT_EQ(store->Get(L"shared", here.get()), S_OK);
    ASSERT_EQ(V_VT(here.get()), VT_UNKNOWN);
    EXPECT_EQ(V_UNKNOWN(here.get()), static_cast<IUnknown*>(object))
        << "the same apartment gets the object";

    HRESULT got = E_FAIL;
    VARTYPE type = VT_EMPTY;
    IUnknown* there = nullptr;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread page([&] {
      CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
      Variant value;
      got = store->Get(L"shared", value.get());
      type = V_VT(value.get());
      if (type == VT_UNKNOWN) there = V_UNKNOWN(value.get());
      VariantClear(value.get());  // a proxy goes before its apartment does
      CoUninitialize();
      SetEvent(done);
    });
    // The proxy's calls come back to this apartment: serve them meanwhile.
    DWORD index = 0;
    CoWaitForMultipleHandles(0, 20000, 1, &done, &index);
    page.join();
    CloseHandle(done);
    EXPECT_EQ(got, S_OK);
    EXPECT_EQ(type, VT_UNKNOWN);
    if (agile) {
      EXPECT_EQ(there, static_cast<IUnknown*>(object));
    } else {
      EXPECT_NE(there, static_cast<IUnknown*>(object))
          << "an apartment-bound object must not leave its apartment";
    }
    VariantClear(here.get());
    object->Release();
    store->Remove(L"shared");
  }
}

// The description of the thread's error information, which it takes.
std::wstring ErrorDescription() {
  Ref<IErrorInfo> info;
  if (GetErrorInfo(0, info.put()) != S_OK) return L"(no error information)";
  Bstr description;
  info->GetDescription(description.put());
  return description.text();
}

using GetObjectContextFunction = HRESULT(WINAPI*)(IObjectContext**);

// Application takes only agile objects, as IIS does: a page thread never
// serves calls into its apartment, so another page calling an object of it
// would wait for ever. Session (one page's, on its own thread) takes any.
TEST_F(IntrinsicsTest, ApplicationRefusesObjectsBoundToAnApartment) {
  Page& p = Begin();
  Ref<IVariantDictionary> contents;
  ASSERT_EQ(p.application()->get_Contents(contents.put()), S_OK);
  Ref<IVariantDictionary> sessionContents;
  ASSERT_EQ(p.session()->get_Contents(sessionContents.put()), S_OK);

  const auto objectHolding = [](IUnknown* object) {
    auto value = std::make_unique<Variant>();
    V_VT(value->get()) = VT_UNKNOWN;
    V_UNKNOWN(value->get()) = object;
    object->AddRef();
    return value;
  };
  // An array of variants holding an object, as VBScript's Array(1, object).
  const auto arrayHolding = [](IUnknown* object) {
    auto value = std::make_unique<Variant>();
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    VARIANT* items = nullptr;
    SafeArrayAccessData(array, reinterpret_cast<void**>(&items));
    V_VT(&items[0]) = VT_I4;
    V_I4(&items[0]) = 1;
    V_VT(&items[1]) = VT_UNKNOWN;
    V_UNKNOWN(&items[1]) = object;
    object->AddRef();
    SafeArrayUnaccessData(array);
    V_VT(value->get()) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(value->get()) = array;
    return value;
  };
  struct Way {
    const char* name;
    std::function<HRESULT(const VARIANT&)> set;
  };
  Bstr key(L"kept");
  Variant keyVariant;
  V_VT(keyVariant.get()) = VT_BSTR;
  V_BSTR(keyVariant.get()) = SysAllocString(L"kept");
  const Way ways[] = {
      {"Application(k) =", [&](const VARIANT& v) { return p.application()->put_Value(key, v); }},
      {"Set Application(k) =", [&](const VARIANT& v) { return p.application()->putref_Value(key, v); }},
      {"Application.Contents(k) =", [&](const VARIANT& v) { return contents->put_Item(*keyVariant, v); }},
      {"Set Application.Contents(k) =", [&](const VARIANT& v) { return contents->putref_Item(*keyVariant, v); }},
  };
  for (bool inArray : {false, true}) {
    for (const Way& way : ways) {
      SCOPED_TRACE(std::string(way.name) + (inArray ? " an array holding an object" : " an object"));
      auto* bound = new StoredObject(false);
      auto* agile = new StoredObject(true);
      std::unique_ptr<Variant> boundValue = inArray ? arrayHolding(bound) : objectHolding(bound);
      std::unique_ptr<Variant> agileValue = inArray ? arrayHolding(agile) : objectHolding(agile);
      SetErrorInfo(0, nullptr);
      EXPECT_EQ(way.set(*boundValue->get()), E_FAIL);
      EXPECT_EQ(ErrorDescription(),
                L"ASP 0197: Cannot add object with apartment model behavior to the application intrinsic object");
      EXPECT_EQ(store->Count(), 0u) << "nothing stored";

      EXPECT_EQ(way.set(*agileValue->get()), S_OK);
      EXPECT_EQ(store->Count(), 1u);
      store->RemoveAll();

      EXPECT_EQ(p.session()->putref_Value(key, *boundValue->get()), S_OK) << "Session keeps it";
      EXPECT_EQ(sessionContents->put_Item(*keyVariant, *boundValue->get()), S_OK);
      Variant back;
      ASSERT_EQ(p.session()->get_Value(key, back.get()), S_OK);
      EXPECT_EQ(V_VT(back.get()), V_VT(boundValue->get()));
      ASSERT_EQ(sessionContents->RemoveAll(), S_OK);
      bound->Release();
      agile->Release();
    }
  }
}

// A Session made for one page ends with it: what it keeps is released in
// Finish, with the page's context current, so that an upload object kept
// there still reaches Application to take its progress away.
TEST_F(IntrinsicsTest, FinishReleasesThePagesSessionWhileItsContextIsCurrent) {
  ASSERT_EQ(SetThreadObjectContext(nullptr), S_OK) << "loads mtxex.dll";
  auto getContext = reinterpret_cast<GetObjectContextFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"mtxex.dll"), "GetObjectContext")));
  ASSERT_NE(getContext, nullptr);
  Page& p = Begin();
  IObjectContext* const pageContext = p.context();
  int released = 0;
  IObjectContext* contextAtRelease = nullptr;
  auto* object = new StoredObject(false, [&] {
    ++released;
    Ref<IObjectContext> current;
    if (SUCCEEDED(getContext(current.put()))) contextAtRelease = current.get();
  });
  Bstr key(L"upload");
  ASSERT_EQ(p.session()->putref_Value(key, *ObjectValue(object)), S_OK);
  object->Release();  // the Session holds the only reference now
  EXPECT_EQ(released, 0);

  EXPECT_EQ(p.Finish(), S_OK);
  EXPECT_EQ(released, 1) << "released at the end of the page";
  EXPECT_EQ(contextAtRelease, pageContext) << "while the page's context was current";
  Ref<IObjectContext> after;
  EXPECT_EQ(getContext(after.put()), CONTEXT_E_NOCONTEXT) << "and no longer after";
}

// --- Server

TEST_F(IntrinsicsTest, MapPath) {
  struct Case {
    const wchar_t* path;
    HRESULT hr;
    const wchar_t* physical;
  } cases[] = {
      {L".", S_OK, L"C:\\site\\app"},
      {L"", S_OK, L"C:\\site\\app"},
      {L"/", S_OK, L"C:\\site"},
      {L"/img/a.png", S_OK, L"C:\\site\\img\\a.png"},
      {L"files\\b.txt", S_OK, L"C:\\site\\app\\files\\b.txt"},
      {L"../x", S_OK, L"C:\\site\\x"},
      {L"./a/./b/../c", S_OK, L"C:\\site\\app\\a\\c"},
      {L"../../x", E_INVALIDARG, nullptr},
      {L"/..", E_INVALIDARG, nullptr},
  };
  IServer* server = Begin().server();
  for (const Case& c : cases) {
    Bstr path(c.path), physical;
    EXPECT_EQ(server->MapPath(path, physical.put()), c.hr) << c.path;
    if (c.physical) {
      EXPECT_EQ(physical.text(), c.physical) << c.path;
    }
  }
}

TEST_F(IntrinsicsTest, Encoders) {
  IServer* server = Begin().server();
  Bstr html(L"<b class=\"x\">Caf\u00e9 & \u20ac</b>"), htmlOut;
  ASSERT_EQ(server->HTMLEncode(html, htmlOut.put()), S_OK);
  EXPECT_EQ(htmlOut.text(), L"&lt;b class=&quot;x&quot;&gt;Caf&#233; &amp; \u20ac&lt;/b&gt;");
  Bstr url(L"a b/\u00e9?x=1"), urlOut;
  ASSERT_EQ(server->URLEncode(url, urlOut.put()), S_OK);
  EXPECT_EQ(urlOut.text(), L"a+b%2F%C3%A9%3Fx%3D1");
}

// --- Response

TEST_F(IntrinsicsTest, ResponseBuffersUntilFlushAndRefusesLateHeaders) {
  IResponse* response = Begin().response();
  Bstr type(L"text/plain"), status(L"201 Created"), bad(L"201\r\nX-Evil: 1"), name(L"X-Id"), value(L"7");
  ASSERT_EQ(response->put_ContentType(type), S_OK);
  ASSERT_EQ(response->put_Status(status), S_OK);
  EXPECT_EQ(response->put_Status(bad), E_INVALIDARG);
  ASSERT_EQ(response->AddHeader(name, value), S_OK);
  Variant text;
  V_VT(text.get()) = VT_BSTR;
  V_BSTR(text.get()) = SysAllocString(L"h\u00e9");
  ASSERT_EQ(response->Write(*text), S_OK);
  EXPECT_EQ(sink->sends(), 0);
  ASSERT_EQ(response->Flush(), S_OK);
  EXPECT_EQ(sink->body(), "h\xC3\xA9");
  EXPECT_EQ(sink->head().status, "201 Created");
  EXPECT_EQ(sink->head().contentType, "text/plain");
  EXPECT_EQ(sink->head().headers, (std::vector<std::pair<std::string, std::string>>{{"X-Id", "7"}}));
  EXPECT_EQ(response->AddHeader(name, value), E_FAIL) << "the head is gone";

  Variant bytes;
  const uint8_t raw[] = {0, 1, 255};
  MakeByteArray(raw, 3, 0, bytes.get());
  ASSERT_EQ(response->BinaryWrite(*bytes), S_OK);
  ASSERT_EQ(response->End(), S_OK);
  EXPECT_TRUE(sink->ended());
  ASSERT_EQ(response->Write(*text), S_OK);  // ignored after End
  ASSERT_EQ(page->Finish(), S_OK);
  EXPECT_EQ(sink->body(), std::string("h\xC3\xA9") + std::string("\0\1\xFF", 3));
}

// Scripts reach members through IDispatch: Let and Set assignments reach a
// property that has only a put, and a property called as a method (JScript's
// Response.ContentType()) answers with its value.
TEST_F(IntrinsicsTest, DispatchCallsReachTheMemberTheInterfaceHas) {
  IResponse* response = Begin().response();
  DISPID contentType = 0;
  LPOLESTR name = const_cast<LPOLESTR>(L"ContentType");
  ASSERT_EQ(response->GetIDsOfNames(IID_NULL, &name, 1, 0, &contentType), S_OK);
  const struct {
    WORD flags;
    const wchar_t* type;
  } puts[] = {{DISPATCH_PROPERTYPUT, L"text/let"}, {DISPATCH_PROPERTYPUTREF, L"text/set"}};
  for (const auto& c : puts) {
    Variant value;
    V_VT(value.get()) = VT_BSTR;
    V_BSTR(value.get()) = SysAllocString(c.type);
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params = {value.get(), &named, 1, 1};
    ASSERT_EQ(response->Invoke(contentType, IID_NULL, 0, c.flags, &params, nullptr, nullptr, nullptr), S_OK)
        << c.flags;
    Bstr stored;
    ASSERT_EQ(response->get_ContentType(stored.put()), S_OK);
    EXPECT_EQ(stored.text(), c.type) << c.flags;

    Variant called;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    ASSERT_EQ(response->Invoke(contentType, IID_NULL, 0, DISPATCH_METHOD, &none, called.get(), nullptr, nullptr),
              S_OK);
    ASSERT_EQ(V_VT(called.get()), VT_BSTR);
    EXPECT_EQ(std::wstring(V_BSTR(called.get())), c.type);
  }
}

TEST_F(IntrinsicsTest, RedirectSendsAnEmptiedPageWithLocationAndEnds) {
  IResponse* response = Begin().response();
  Variant text;
  V_VT(text.get()) = VT_BSTR;
  V_BSTR(text.get()) = SysAllocString(L"dropped");
  ASSERT_EQ(response->Write(*text), S_OK);
  Bstr url(L"/done.asp?id=1&a=\"<b>"), injected(L"/x\r\nSet-Cookie: a=b");
  EXPECT_EQ(response->Redirect(injected), E_INVALIDARG);
  ASSERT_EQ(response->Redirect(url), S_OK);
  EXPECT_TRUE(sink->ended());
  EXPECT_EQ(sink->head().status, "302 Object moved");
  EXPECT_EQ(sink->head().headers,
            (std::vector<std::pair<std::string, std::string>>{{"Location", "/done.asp?id=1&a=\"<b>"}}));
  EXPECT_EQ(sink->body().find("dropped"), std::string::npos);
  EXPECT_NE(sink->body().find("HREF=\"/done.asp?id=1&amp;a=&quot;&lt;b&gt;\""), std::string::npos) << sink->body();
  EXPECT_EQ(response->Redirect(url), E_FAIL) << "the head is gone";
}

// --- the object context and mtxex.dll

TEST_F(IntrinsicsTest, ContextProperties) {
  Page& p = Begin();
  Ref<IGetContextProperties> properties;
  ASSERT_EQ(p.context()->QueryInterface(IID_IGetContextProperties, reinterpret_cast<void**>(properties.put())), S_OK);
  LONG count = 0;
  properties->Count(&count);
  EXPECT_EQ(count, 5);
  struct Case {
    const wchar_t* name;
    IUnknown* expected;
  } cases[] = {{L"Request", p.request()},         {L"response", p.response()}, {L"SERVER", p.server()},
               {L"Application", p.application()}, {L"Session", p.session()},   {L"ObjectContext", nullptr}};
  for (const Case& c : cases) {
    Bstr name(c.name);
    Variant value;
    ASSERT_EQ(properties->GetProperty(name, value.get()), S_OK) << c.name;
    if (!c.expected) {
      EXPECT_EQ(V_VT(value.get()), VT_EMPTY) << c.name;
      continue;
    }
    ASSERT_EQ(V_VT(value.get()), VT_DISPATCH) << c.name;
    EXPECT_EQ(static_cast<IUnknown*>(V_DISPATCH(value.get())), c.expected) << c.name;
  }

  probe->FailCall(L"Context.GetProperty", E_OUTOFMEMORY, L"No room.");
  Bstr request(L"Request");
  Variant value;
  EXPECT_EQ(properties->GetProperty(request, value.get()), E_OUTOFMEMORY);
}

TEST_F(IntrinsicsTest, ContextCountsAsLiveUntilItsLastReference) {
  const long before = LiveObjectContexts();
  Page& p = Begin();
  EXPECT_EQ(LiveObjectContexts(), before + 1);
  IObjectContext* kept = p.context();
  kept->AddRef();  // as a component that forgot its Release would
  page.reset();
  EXPECT_EQ(LiveObjectContexts(), before + 1) << "the page ended, a reference is left";
  kept->Release();
  EXPECT_EQ(LiveObjectContexts(), before);
}

TEST_F(IntrinsicsTest, GetObjectContextHandsOutTheThreadsPage) {
  // The way a component finds it: mtxex.dll already in the process, by name.
  ASSERT_EQ(SetThreadObjectContext(nullptr), S_OK) << "loads mtxex.dll";
  HMODULE mtxex = GetModuleHandleW(L"mtxex.dll");
  ASSERT_NE(mtxex, nullptr);
  auto getContext =
      reinterpret_cast<GetObjectContextFunction>(reinterpret_cast<void*>(GetProcAddress(mtxex, "GetObjectContext")));
  ASSERT_NE(getContext, nullptr);

  IObjectContext* context = reinterpret_cast<IObjectContext*>(1);
  EXPECT_EQ(getContext(&context), CONTEXT_E_NOCONTEXT);
  EXPECT_EQ(context, nullptr);

  Page& p = Begin();
  {
    ScopedObjectContext scope(p.context());
    ASSERT_EQ(scope.result(), S_OK);
    Ref<IObjectContext> got;
    ASSERT_EQ(getContext(got.put()), S_OK);
    EXPECT_EQ(got.get(), p.context());

    // Another thread runs no page.
    HRESULT elsewhere = S_OK;
    std::thread([&] {
      IObjectContext* none = nullptr;
      elsewhere = getContext(&none);
    }).join();
    EXPECT_EQ(elsewhere, CONTEXT_E_NOCONTEXT);
  }
  Ref<IObjectContext> after;
  EXPECT_EQ(getContext(after.put()), CONTEXT_E_NOCONTEXT) << "the page ended";
  EXPECT_EQ(getContext(nullptr), E_POINTER);
}

// --- the type library against asptlb.h

// The vtable slot of a virtual member function, from its pointer-to-member
// (GCC's ABI stores 1 + the byte offset into the vtable).
template <class Method>
int SlotOf(Method method) {
  uintptr_t raw;
  static_assert(sizeof(Method) >= sizeof raw, "a pointer to member holds the offset first");
  memcpy(&raw, &method, sizeof raw);
  return static_cast<int>((raw - 1) / sizeof(void*));
}

struct SlotRow {
  const IID* iid;
  const char* method;  // the C++ name: get_X, put_X, putref_X or a method
  int slot;
};

// Every member that asptlb.h declares must sit in the type library at the
// same slot under its script name, or IDispatch would call the wrong method.
TEST(AspTypeLibrary, EverySlotMatchesAsptlbH) {
  // clang-format off
#define M(Interface, Method) SlotRow{&IID_##Interface, #Method, SlotOf(&Interface::Method)}
  const SlotRow rows[] = {
      M(IStringList, get_Item), M(IStringList, get_Count), M(IStringList, get__NewEnum),
      M(IRequestDictionary, get_Item), M(IRequestDictionary, get__NewEnum), M(IRequestDictionary, get_Count),
      M(IRequestDictionary, get_Key),
      M(IRequest, get_Item), M(IRequest, get_QueryString), M(IRequest, get_Form), M(IRequest, get_Body),
      M(IRequest, get_ServerVariables), M(IRequest, get_ClientCertificate), M(IRequest, get_Cookies),
      M(IRequest, get_TotalBytes), M(IRequest, BinaryRead),
      M(IResponse, get_Buffer), M(IResponse, put_Buffer), M(IResponse, get_ContentType),
      M(IResponse, put_ContentType), M(IResponse, get_Expires), M(IResponse, put_Expires),
      M(IResponse, get_ExpiresAbsolute), M(IResponse, put_ExpiresAbsolute), M(IResponse, get_Cookies),
      M(IResponse, get_Status), M(IResponse, put_Status), M(IResponse, Add), M(IResponse, AddHeader),
      M(IResponse, AppendToLog), M(IResponse, BinaryWrite), M(IResponse, Clear), M(IResponse, End),
      M(IResponse, Flush), M(IResponse, Redirect), M(IResponse, Write), M(IResponse, WriteBlock),
      M(IResponse, IsClientConnected), M(IResponse, get_CharSet), M(IResponse, put_CharSet), M(IResponse, Pics),
      M(IResponse, get_CacheControl), M(IResponse, put_CacheControl),
      M(IVariantDictionary, get_Item), M(IVariantDictionary, put_Item), M(IVariantDictionary, putref_Item),
      M(IVariantDictionary, get_Key), M(IVariantDictionary, get_Count), M(IVariantDictionary, get__NewEnum),
      M(IVariantDictionary, Remove), M(IVariantDictionary, RemoveAll),
      M(ISessionObject, get_SessionID), M(ISessionObject, get_Value), M(ISessionObject, put_Value),
      M(ISessionObject, putref_Value), M(ISessionObject, get_Timeout), M(ISessionObject, put_Timeout),
      M(ISessionObject, Abandon), M(ISessionObject, get_CodePage), M(ISessionObject, put_CodePage),
      M(ISessionObject, get_LCID), M(ISessionObject, put_LCID), M(ISessionObject, get_StaticObjects),
      M(ISessionObject, get_Contents),
      M(IApplicationObject, get_Value), M(IApplicationObject, put_Value), M(IApplicationObject, putref_Value),
      M(IApplicationObject, Lock), M(IApplicationObject, UnLock), M(IApplicationObject, get_StaticObjects),
      M(IApplicationObject, get_Contents),
      M(IServer, get_ScriptTimeout), M(IServer, put_ScriptTimeout), M(IServer, CreateObject), M(IServer, HTMLEncode),
      M(IServer, MapPath), M(IServer, URLEncode), M(IServer, URLPathEncode), M(IServer, Execute),
      M(IServer, Transfer), M(IServer, GetLastError),
  };
#undef M
  // clang-format on
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  std::map<const IID*, std::pair<int, int>> membersPerInterface;  // functions in the library, rows here
  for (const SlotRow& row : rows) {
    std::string method = row.method;
    INVOKEKIND kind = INVOKE_FUNC;
    for (auto [prefix, prefixKind] :
         {std::pair{"get_", INVOKE_PROPERTYGET}, std::pair{"putref_", INVOKE_PROPERTYPUTREF},
          std::pair{"put_", INVOKE_PROPERTYPUT}}) {
      if (method.rfind(prefix, 0) == 0) {
        method = method.substr(strlen(prefix));
        kind = prefixKind;
        break;
      }
    }
    ITypeInfo* raw = nullptr;
    ASSERT_EQ(GetEmbeddedTypeInfo(kAspTypeLibResource, *row.iid, &raw), S_OK) << row.method;
    Ref<ITypeInfo> info(raw);
    Ref<ITypeComp> comp;
    ASSERT_EQ(info->GetTypeComp(comp.put()), S_OK);
    std::wstring wide(method.begin(), method.end());
    ITypeInfo* found = nullptr;
    DESCKIND descKind;
    BINDPTR bind;
    ASSERT_EQ(comp->Bind(&wide[0], LHashValOfNameSys(SYS_WIN32, 0, wide.c_str()), static_cast<WORD>(kind), &found,
                         &descKind, &bind),
              S_OK)
        << row.method;
    ASSERT_EQ(descKind, DESCKIND_FUNCDESC) << row.method << " is not in the type library";
    EXPECT_EQ(bind.lpfuncdesc->invkind, kind) << row.method;
    EXPECT_EQ(bind.lpfuncdesc->oVft / static_cast<int>(sizeof(void*)), row.slot) << row.method;
    found->ReleaseFuncDesc(bind.lpfuncdesc);
    found->Release();

    TYPEATTR* attributes;
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    auto& [declared, listed] = membersPerInterface[row.iid];
    declared = attributes->cFuncs;
    ++listed;
    info->ReleaseTypeAttr(attributes);
  }
  // Nothing more in the library than asptlb.h declares (the dispatch view
  // also lists the seven members of IUnknown and IDispatch).
  for (const auto& [iid, counts] : membersPerInterface) EXPECT_EQ(counts.first - 7, counts.second);
  CoUninitialize();
}

}  // namespace
}  // namespace asphost
