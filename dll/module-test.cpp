// velmora32.dll as COM clients meet it: the exports, class factories and
// counts, aggregation, IDispatch from the type library, error information,
// fault containment, the missing page context, and registration.
#include <windows.h>
#include <ole2.h>
#include <ocidl.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/testing/emulated_cpu.h"
#include "dll/velmora32_idl.h"

namespace {

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using NoArgFn = HRESULT(WINAPI*)();
using InstallFn = HRESULT(WINAPI*)(BOOL, LPCWSTR);

const CLSID kUnknownClass = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
void* const kSentinel = reinterpret_cast<void*>(0xdeadbeef);

// One loaded copy of the module and its exports.
struct Module {
  explicit Module(const wchar_t* path) : handle(LoadLibraryW(path)) {
    if (!handle) return;
    getClassObject = Proc<GetClassObjectFn>("DllGetClassObject");
    canUnloadNow = Proc<NoArgFn>("DllCanUnloadNow");
    registerServer = Proc<NoArgFn>("DllRegisterServer");
    unregisterServer = Proc<NoArgFn>("DllUnregisterServer");
    install = Proc<InstallFn>("DllInstall");
  }
  template <class Fn>
  Fn Proc(const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(handle, name)));
  }
  std::wstring Path() const {
    wchar_t buffer[MAX_PATH];
    GetModuleFileNameW(handle, buffer, MAX_PATH);
    return buffer;
  }

  HMODULE handle;
  GetClassObjectFn getClassObject = nullptr;
  NoArgFn canUnloadNow = nullptr, registerServer = nullptr, unregisterServer = nullptr;
  InstallFn install = nullptr;
};

Module& Product() {
  static Module module(L"velmora32.dll");
  return module;
}
Module& WithHooks() {
  static Module module(L"velmora32-testhooks.dll");
  return module;
}

std::string Narrow(const wchar_t* s) {
  std::string out;
  for (; s && *s; ++s) out += static_cast<char>(*s);
  return out;
}

std::string TakeBStr(BSTR s) {
  std::string out = Narrow(s);
  SysFreeString(s);
  return out;
}

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    ASSERT_NE(nullptr, Product().handle);
    ASSERT_NE(nullptr, Product().getClassObject);
  }
  void TearDown() override { CoUninitialize(); }

  static IClassFactory* Factory(Module& module, const CLSID& clsid) {
    IClassFactory* factory = nullptr;
    EXPECT_EQ(S_OK, module.getClassObject(clsid, IID_IClassFactory,
                                          reinterpret_cast<void**>(&factory)));
    return factory;
  }

  // A new object's interface.
  template <class I>
  static I* Create(Module& module, const CLSID& clsid, REFIID iid) {
    IClassFactory* factory = Factory(module, clsid);
    if (!factory) return nullptr;
    I* object = nullptr;
    const HRESULT hr = factory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(&object));
    factory->Release();
    EXPECT_EQ(S_OK, hr);
    return object;
  }
};

TEST_F(ModuleTest, UnknownClassIsNotAvailable) {
  void* out = kSentinel;
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
            Product().getClassObject(kUnknownClass, IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);
}

TEST_F(ModuleTest, FactoryAnswersIUnknownAndIClassFactoryOnly) {
  for (const CLSID* clsid : {&CLSID_Process, &CLSID_HTTP}) {
    void* out = kSentinel;
    EXPECT_EQ(S_OK, Product().getClassObject(*clsid, IID_IUnknown, &out));
    ASSERT_NE(nullptr, out);
    static_cast<IUnknown*>(out)->Release();
    out = kSentinel;
    EXPECT_EQ(E_NOINTERFACE, Product().getClassObject(*clsid, IID_IDispatch, &out));
    EXPECT_EQ(nullptr, out);
  }
}

TEST_F(ModuleTest, CanUnloadOnlyWithoutFactoriesLocksOrObjects) {
  EXPECT_EQ(S_OK, Product().canUnloadNow());

  IClassFactory* factory = Factory(Product(), CLSID_Process);
  ASSERT_NE(nullptr, factory);
  EXPECT_EQ(S_FALSE, Product().canUnloadNow());  // a factory reference is out

  EXPECT_EQ(S_OK, factory->LockServer(TRUE));
  factory->Release();
  EXPECT_EQ(S_FALSE, Product().canUnloadNow());  // the lock holds
  factory = Factory(Product(), CLSID_Process);
  EXPECT_EQ(S_OK, factory->LockServer(FALSE));
  factory->Release();
  EXPECT_EQ(S_OK, Product().canUnloadNow());

  IProcess* process = Create<IProcess>(Product(), CLSID_Process, IID_IProcess);
  ASSERT_NE(nullptr, process);
  EXPECT_EQ(S_FALSE, Product().canUnloadNow());  // an object lives
  process->Release();
  EXPECT_EQ(S_OK, Product().canUnloadNow());
}

TEST_F(ModuleTest, RefusedInterfaceLeavesNoObject) {
  IClassFactory* factory = Factory(Product(), CLSID_Process);
  ASSERT_NE(nullptr, factory);
  void* out = kSentinel;
  EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IUnknown, nullptr));
  factory->Release();
  EXPECT_EQ(S_OK, Product().canUnloadNow());
}

// An outer object that counts what its aggregated inner object delegates.
class Outer : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID, void** out) override {
    ++queries;
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  int queries = 0;
  ULONG refs = 1;
};

TEST_F(ModuleTest, Aggregation) {
  IClassFactory* factory = Factory(Product(), CLSID_Process);
  ASSERT_NE(nullptr, factory);
  Outer outer;
  void* out = kSentinel;
  EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_IDispatch, &out));
  EXPECT_EQ(nullptr, out);

  IUnknown* inner = nullptr;
  ASSERT_EQ(S_OK, factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)));
  factory->Release();
  ASSERT_NE(nullptr, inner);
  EXPECT_EQ(1, outer.refs);  // the inner unknown counts for itself

  IProcess* process = nullptr;
  ASSERT_EQ(S_OK, inner->QueryInterface(IID_IProcess, reinterpret_cast<void**>(&process)));
  EXPECT_EQ(2, outer.refs);  // the interface's AddRef went to the outer object
  IDispatch* dispatch = nullptr;
  EXPECT_EQ(E_NOINTERFACE, process->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)));
  EXPECT_EQ(1, outer.queries);  // asked the outer object, which refuses
  process->Release();
  EXPECT_EQ(1, outer.refs);

  IUnknown* self = nullptr;
  ASSERT_EQ(S_OK, inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&self)));
  EXPECT_EQ(inner, self);  // the inner unknown is its own
  self->Release();
  EXPECT_EQ(S_FALSE, Product().canUnloadNow());
  EXPECT_EQ(0u, inner->Release());
  EXPECT_EQ(S_OK, Product().canUnloadNow());
}

TEST_F(ModuleTest, ObjectInterfaces) {
  IProcess* process = Create<IProcess>(Product(), CLSID_Process, IID_IProcess);
  ASSERT_NE(nullptr, process);
  const IID* answered[] = {&IID_IUnknown, &IID_IDispatch, &IID_IProcess, &IID_ISupportErrorInfo,
                           &IID_IProvideClassInfo};
  for (const IID* iid : answered) {
    IUnknown* p = nullptr;
    EXPECT_EQ(S_OK, process->QueryInterface(*iid, reinterpret_cast<void**>(&p)));
    if (p) p->Release();
  }
  IUnknown* p = reinterpret_cast<IUnknown*>(kSentinel);
  EXPECT_EQ(E_NOINTERFACE, process->QueryInterface(IID_IHTTP, reinterpret_cast<void**>(&p)));
  EXPECT_EQ(nullptr, p);

  ISupportErrorInfo* support = nullptr;
  ASSERT_EQ(S_OK, process->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)));
  for (const IID* iid : answered) EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(*iid));
  EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IHTTP));
  EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IClassFactory));
  support->Release();

  IProvideClassInfo* provide = nullptr;
  ASSERT_EQ(S_OK, process->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&provide)));
  ITypeInfo* info = nullptr;
  ASSERT_EQ(S_OK, provide->GetClassInfo(&info));
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
  EXPECT_EQ(TKIND_COCLASS, attr->typekind);
  EXPECT_TRUE(IsEqualGUID(CLSID_Process, attr->guid));
  info->ReleaseTypeAttr(attr);
  info->Release();
  provide->Release();
  process->Release();
}

TEST_F(ModuleTest, DispatchFromTheTypeLibrary) {
  IDispatch* dispatch = Create<IDispatch>(Product(), CLSID_Process, IID_IDispatch);
  ASSERT_NE(nullptr, dispatch);
  UINT count = 0;
  EXPECT_EQ(S_OK, dispatch->GetTypeInfoCount(&count));
  EXPECT_EQ(1u, count);
  ITypeInfo* info = reinterpret_cast<ITypeInfo*>(kSentinel);
  EXPECT_EQ(DISP_E_BADINDEX, dispatch->GetTypeInfo(1, 0, &info));
  EXPECT_EQ(nullptr, info);
  ASSERT_EQ(S_OK, dispatch->GetTypeInfo(0, 0, &info));
  info->Release();

  struct {
    const wchar_t* name;
    HRESULT hr;
    DISPID id;
  } names[] = {{L"filesize", S_OK, 214}, {L"FILEQTY", S_OK, 203}, {L"Value", S_OK, 210},
               {L"NoSuchMember", DISP_E_UNKNOWNNAME, DISPID_UNKNOWN}};
  for (const auto& n : names) {
    LPOLESTR name = const_cast<LPOLESTR>(n.name);
    DISPID id = 12345;
    EXPECT_EQ(n.hr, dispatch->GetIDsOfNames(IID_NULL, &name, 1, 0, &id)) << Narrow(n.name);
    EXPECT_EQ(n.id, id) << Narrow(n.name);
  }

  // Assignment and by-reference assignment reach the same put member.
  for (WORD flags : {DISPATCH_PROPERTYPUT, DISPATCH_PROPERTYPUTREF}) {
    VARIANT value;
    V_VT(&value) = VT_I4;
    V_I4(&value) = flags == DISPATCH_PROPERTYPUT ? 7 : 9;
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS put = {&value, &named, 1, 1};
    EXPECT_EQ(S_OK, dispatch->Invoke(201, IID_NULL, 0, flags, &put, nullptr, nullptr, nullptr));
    VARIANT result;
    VariantInit(&result);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(S_OK, dispatch->Invoke(201, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result,
                                     nullptr, nullptr));
    EXPECT_EQ(VT_I4, V_VT(&result));
    EXPECT_EQ(V_I4(&value), V_I4(&result));
  }

  // JScript calls a property as a method (upload.MaxKB(), upload.Value("x")):
  // the property answers.
  {
    VARIANT result;
    VariantInit(&result);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(S_OK, dispatch->Invoke(201, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr,
                                     nullptr));
    EXPECT_EQ(VT_I4, V_VT(&result));
    EXPECT_EQ(9, V_I4(&result));  // the by-reference assignment's value above
  }

  // Booleans: any non-zero stores true, which reads back as -1.
  VARIANT two;
  V_VT(&two) = VT_BOOL;
  V_BOOL(&two) = 2;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS put = {&two, &named, 1, 1};
  EXPECT_EQ(S_OK, dispatch->Invoke(235, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr,
                                   nullptr));
  VARIANT result;
  VariantInit(&result);
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  EXPECT_EQ(S_OK, dispatch->Invoke(235, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr,
                                   nullptr));
  EXPECT_EQ(VT_BOOL, V_VT(&result));
  EXPECT_EQ(VARIANT_TRUE, V_BOOL(&result));

  // No default member.
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, dispatch->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET,
                                                    &none, &result, nullptr, nullptr));
  dispatch->Release();
}

// A string property as a thread sets and reads it.
std::string PutAndGet(HRESULT (*put)(void*, BSTR), HRESULT (*get)(void*, BSTR*), void* object,
                      const std::wstring& text) {
  BSTR in = SysAllocString(text.c_str());
  EXPECT_EQ(S_OK, put(object, in));
  SysFreeString(in);
  BSTR out = nullptr;
  EXPECT_EQ(S_OK, get(object, &out));
  return TakeBStr(out);
}

// Runs body(thread number) on threads of their own apartments, all at once.
void OnThreads(int threads, const std::function<void(int)>& body) {
  std::atomic<int> ready{0};
  std::vector<std::thread> running;
  for (int t = 0; t < threads; ++t) {
    running.emplace_back([&, t] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      ++ready;
      while (ready < threads) SwitchToThread();
      body(t);
      CoUninitialize();
    });
  }
  for (std::thread& thread : running) thread.join();
}

// What a value some thread set looks like: the prefix, then digits.
bool FromSomeThread(const std::string& value, const std::string& prefix) {
  return value.size() > prefix.size() && value.compare(0, prefix.size(), prefix) == 0 &&
         value.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
}

// One object of each class called by many threads at once, as pages call an
// object kept in Application: its members run one at a time, so every answer
// is one that some thread's call gave, and the object outlives it all.
TEST_F(ModuleTest, OneObjectCalledFromManyThreadsAtOnce) {
  constexpr int kThreads = 6, kCalls = 2000;
  IHTTP* http = Create<IHTTP>(Product(), CLSID_HTTP, IID_IHTTP);
  IProcess* process = Create<IProcess>(Product(), CLSID_Process, IID_IProcess);
  ASSERT_NE(nullptr, http);
  ASSERT_NE(nullptr, process);
  std::atomic<int> wrong{0};
  OnThreads(kThreads, [&](int t) {
    const std::wstring number = std::to_wstring(t);
    for (int i = 0; i < kCalls; ++i) {
      BSTR name = SysAllocString((L"field" + number + L"-" + std::to_wstring(i)).c_str());
      BSTR value = SysAllocString(std::wstring(16 + i % 200, L'v').c_str());
      if (http->AddFormVar(name, value) != S_OK) ++wrong;
      SysFreeString(name);
      SysFreeString(value);
      if (i % 50 == 0 && http->ClearFormVars() != S_OK) ++wrong;
      const std::string agent =
          PutAndGet([](void* o, BSTR v) { return static_cast<IHTTP*>(o)->put_UserAgent(v); },
                    [](void* o, BSTR* v) { return static_cast<IHTTP*>(o)->get_UserAgent(v); }, http,
                    L"agent-" + number);
      if (!FromSomeThread(agent, "agent-")) ++wrong;
      const std::string path = PutAndGet(
          [](void* o, BSTR v) { return static_cast<IProcess*>(o)->put_SaveDirectPath(v); },
          [](void* o, BSTR* v) { return static_cast<IProcess*>(o)->get_SaveDirectPath(v); },
          process, L"C:\\uploads\\" + std::wstring(i % 300, L'x') + number);
      if (path.compare(0, 11, "C:\\uploads\\") != 0) ++wrong;
      BSTR missing = SysAllocString(L"missing");
      BSTR found = nullptr;
      if (process->get_Value(missing, &found) != S_OK || SysStringLen(found) != 0) ++wrong;
      SysFreeString(found);
      SysFreeString(missing);
    }
  });
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ(S_OK, http->ClearFormVars());
  http->Release();
  process->Release();
  EXPECT_EQ(S_OK, Product().canUnloadNow());
}

// The class that unmarshals what object marshals in-process, or none.
CLSID UnmarshalClass(IUnknown* object) {
  CLSID clsid = {};
  IMarshal* marshal = nullptr;
  if (SUCCEEDED(object->QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&marshal)))) {
    marshal->GetUnmarshalClass(IID_IUnknown, object, MSHCTX_INPROC, nullptr, MSHLFLAGS_NORMAL,
                               &clsid);
    marshal->Release();
  }
  return clsid;
}

// That class for a free-threaded marshaler of the test's own.
CLSID FreeThreadedUnmarshaler() {
  IUnknown* marshaler = nullptr;
  EXPECT_EQ(S_OK, CoCreateFreeThreadedMarshaler(nullptr, &marshaler));
  const CLSID clsid = UnmarshalClass(marshaler);
  marshaler->Release();
  return clsid;
}

// The objects aggregate the free-threaded marshaler: another apartment gets
// the object itself, not a proxy to the apartment that created it, so its
// calls run on the caller's thread and find the caller's page.
TEST_F(ModuleTest, ObjectsAreHandedToOtherApartmentsUnmarshaled) {
  const CLSID freeThreaded = FreeThreadedUnmarshaler();
  ASSERT_FALSE(IsEqualCLSID(CLSID{}, freeThreaded));
  for (const CLSID* clsid : {&CLSID_Process, &CLSID_HTTP}) {
    IUnknown* object = Create<IUnknown>(Product(), *clsid, IID_IUnknown);
    ASSERT_NE(nullptr, object);
    EXPECT_TRUE(IsEqualCLSID(freeThreaded, UnmarshalClass(object)));

    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(IID_IDispatch, object, &stream));
    IDispatch* there = nullptr;
    std::thread other([&] {
      CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
      EXPECT_EQ(S_OK, CoGetInterfaceAndReleaseStream(stream, IID_IDispatch,
                                                     reinterpret_cast<void**>(&there)));
      CoUninitialize();
    });
    other.join();
    IDispatch* here = nullptr;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&here)));
    EXPECT_EQ(here, there);
    here->Release();
    if (there) there->Release();
    object->Release();
  }
  EXPECT_EQ(S_OK, Product().canUnloadNow());
}

// The error information a failing member leaves, as a field-by-field record.
struct ErrorInfo {
  bool present = false;
  GUID guid = {};
  std::string source, description;
  DWORD helpContext = 0;
};

ErrorInfo TakeErrorInfo() {
  ErrorInfo result;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) return result;
  result.present = true;
  info->GetGUID(&result.guid);
  BSTR b = nullptr;
  info->GetSource(&b);
  result.source = TakeBStr(b);
  b = nullptr;
  info->GetDescription(&b);
  result.description = TakeBStr(b);
  info->GetHelpContext(&result.helpContext);
  info->Release();
  return result;
}

TEST_F(ModuleTest, ExceptionBecomesErrorInformation) {
  IProcess* process = Create<IProcess>(Product(), CLSID_Process, IID_IProcess);
  ASSERT_NE(nullptr, process);
  BSTR name = reinterpret_cast<BSTR>(kSentinel);
  EXPECT_EQ(static_cast<HRESULT>(0x8000FFFF), process->get_FileName(5, &name));
  EXPECT_EQ(nullptr, name);  // a failed string read returns NULL
  ErrorInfo error = TakeErrorInfo();
  ASSERT_TRUE(error.present);
  EXPECT_TRUE(IsEqualGUID(IID_IProcess, error.guid));
  EXPECT_EQ("Velmora32.Process", error.source);
  EXPECT_EQ("Index out of range or no file uploaded.", error.description);
  EXPECT_EQ(0u, error.helpContext);

  VARIANT data;
  V_VT(&data) = VT_I4;
  EXPECT_EQ(static_cast<HRESULT>(0x8000FFFF), process->get_FileData(0, &data));
  EXPECT_EQ(VT_EMPTY, V_VT(&data));  // a failed VARIANT read returns VT_EMPTY
  TakeErrorInfo();

  // Late-bound, the same failure arrives as an exception record.
  IDispatch* dispatch = nullptr;
  ASSERT_EQ(S_OK, process->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)));
  VARIANT index;
  V_VT(&index) = VT_I4;
  V_I4(&index) = 5;
  DISPPARAMS params = {&index, nullptr, 1, 0};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO excep = {};
  EXPECT_EQ(DISP_E_EXCEPTION, dispatch->Invoke(205, IID_NULL, 0, DISPATCH_PROPERTYGET, &params,
                                               &result, &excep, nullptr));
  EXPECT_EQ(static_cast<HRESULT>(0x8000FFFF), excep.scode);
  EXPECT_EQ("Velmora32.Process", TakeBStr(excep.bstrSource));
  EXPECT_EQ("Index out of range or no file uploaded.", TakeBStr(excep.bstrDescription));
  SysFreeString(excep.bstrHelpFile);
  dispatch->Release();
  process->Release();
}

// Outside an ASP page there is no object context (Wine's CoGetObjectContext
// offers no IObjectContext): members that need the host fail and say why.
TEST_F(ModuleTest, NoPageContext) {
  IProcess* process = Create<IProcess>(Product(), CLSID_Process, IID_IProcess);
  ASSERT_NE(nullptr, process);
  BSTR dir = reinterpret_cast<BSTR>(kSentinel);
  EXPECT_EQ(static_cast<HRESULT>(0x8000FFFF), process->get_CurrentDir(&dir));
  EXPECT_EQ(nullptr, dir);
  ErrorInfo error = TakeErrorInfo();
  EXPECT_EQ("Velmora32.Process", error.source);
  EXPECT_EQ("The ASP Server object cannot be reached: the object is not running inside an ASP page.",
            error.description);

  EXPECT_EQ(static_cast<HRESULT>(0x8000FFFF), process->Read());
  EXPECT_EQ("Velmora Error: Error finding size of upload. (#1)", TakeErrorInfo().description);

  // Releasing with ShowProgress on cannot remove the progress value, and
  // goes on quietly.
  EXPECT_EQ(S_OK, process->put_ShowProgress(VARIANT_TRUE));
  EXPECT_EQ(0u, process->Release());
  EXPECT_EQ(S_OK, Product().canUnloadNow());
}

class HookTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ASSERT_NE(nullptr, WithHooks().handle);
    process_ = Create<IProcess>(WithHooks(), CLSID_Process, IID_IProcess);
    ASSERT_NE(nullptr, process_);
  }
  void TearDown() override {
    if (process_) process_->Release();
    ModuleTest::TearDown();
  }
  HRESULT Delete(const wchar_t* name) {
    BSTR b = SysAllocString(name);
    const HRESULT hr = process_->Delete(b);
    SysFreeString(b);
    return hr;
  }
  IProcess* process_ = nullptr;
};

TEST_F(HookTest, EmptyMessageGivesNoDescription) {
  EXPECT_EQ(static_cast<HRESULT>(0x8000FFFF), Delete(L"velmora:empty-message"));
  ErrorInfo error = TakeErrorInfo();
  ASSERT_TRUE(error.present);
  EXPECT_EQ("Velmora32.Process", error.source);
  EXPECT_EQ("", error.description);
}

TEST_F(HookTest, ErrorWithHResultKeepsIt) {
  EXPECT_EQ(static_cast<HRESULT>(0x80070005), Delete(L"velmora:ole-error"));
  ErrorInfo error = TakeErrorInfo();
  EXPECT_EQ("Velmora32.Process", error.source);
  EXPECT_EQ("Access is denied.", error.description);
  EXPECT_EQ(42u, error.helpContext);
}

TEST_F(HookTest, ProcessorFaultReturnsUnexpectedAndTheHostLives) {
  for (int round = 0; round < 3; ++round) {  // the containment re-arms
    EXPECT_EQ(static_cast<HRESULT>(0x8000FFFF), Delete(L"velmora:fault"));
    EXPECT_FALSE(TakeErrorInfo().present);
  }
  // The object still answers.
  EXPECT_EQ(S_OK, process_->put_MaxKB(5));
  LONG value = 0;
  EXPECT_EQ(S_OK, process_->get_MaxKB(&value));
  EXPECT_EQ(5, value);

  // Late-bound through the system's ITypeInfo::Invoke as well.
  IDispatch* dispatch = nullptr;
  ASSERT_EQ(S_OK, process_->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)));
  VARIANT name;
  V_VT(&name) = VT_BSTR;
  V_BSTR(&name) = SysAllocString(L"velmora:fault");
  DISPPARAMS params = {&name, nullptr, 1, 0};
  EXCEPINFO excep = {};
  const HRESULT hr = dispatch->Invoke(223, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, &excep,
                                      nullptr);
  EXPECT_TRUE(hr == static_cast<HRESULT>(0x8000FFFF) ||
              (hr == DISP_E_EXCEPTION && excep.scode == static_cast<HRESULT>(0x8000FFFF)))
      << std::hex << hr;
  VariantClear(&name);
  dispatch->Release();
}

// A fault ends the call that made it, not the object's service to others.
TEST_F(HookTest, AFaultingCallLeavesTheObjectToOtherThreads) {
  EXPECT_EQ(static_cast<HRESULT>(0x8000FFFF), Delete(L"velmora:fault"));
  HRESULT other = E_FAIL;
  HANDLE answered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread call([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    other = process_->put_MaxKB(7);
    CoUninitialize();
    SetEvent(answered);
  });
  if (WaitForSingleObject(answered, 10000) != WAIT_OBJECT_0) {
    call.detach();  // it waits for a lock that the fault never released
    FAIL() << "another thread's call never ran";
  }
  call.join();
  CloseHandle(answered);
  EXPECT_EQ(S_OK, other);
}

TEST_F(HookTest, StackOverflowReturnsUnexpected) {
  if (velmora::testing::StackOverflowKillsTheProcess()) {
    GTEST_SKIP() << velmora::testing::kStackOverflowEmulated;
  }
  for (int round = 0; round < 2; ++round) {  // the stack's guard page came back
    EXPECT_EQ(static_cast<HRESULT>(0x8000FFFF), Delete(L"velmora:stack-overflow"));
  }
  LONG value = -1;
  EXPECT_EQ(S_OK, process_->get_MaxKB(&value));
  EXPECT_EQ(0, value);
}

// UploadData and VariantToString take the bytes of a one-dimensional array of
// one-byte elements, held directly or by reference; anything else is
// "Invalid argument".
TEST_F(ModuleTest, ByteArrayArguments) {
  IHTTP* http = Create<IHTTP>(Product(), CLSID_HTTP, IID_IHTTP);
  ASSERT_NE(nullptr, http);

  SAFEARRAYBOUND bound = {3, 0};  // lower bound 0: any lower bound will do
  SAFEARRAY* bytes = SafeArrayCreate(VT_UI1, 1, &bound);
  void* data = nullptr;
  SafeArrayAccessData(bytes, &data);
  memcpy(data, "caf", 3);
  SafeArrayUnaccessData(bytes);
  SAFEARRAY* words = SafeArrayCreate(VT_I2, 1, &bound);
  SAFEARRAYBOUND square[2] = {{2, 1}, {2, 1}};
  SAFEARRAY* matrix = SafeArrayCreate(VT_UI1, 2, square);

  VARIANT direct, byRef, variantRef, wide, twoDims, text;
  V_VT(&direct) = VT_ARRAY | VT_UI1;
  V_ARRAY(&direct) = bytes;
  V_VT(&byRef) = VT_ARRAY | VT_UI1 | VT_BYREF;
  V_ARRAYREF(&byRef) = &bytes;
  V_VT(&variantRef) = VT_VARIANT | VT_BYREF;
  V_VARIANTREF(&variantRef) = &direct;
  V_VT(&wide) = VT_ARRAY | VT_I2;
  V_ARRAY(&wide) = words;
  V_VT(&twoDims) = VT_ARRAY | VT_UI1;
  V_ARRAY(&twoDims) = matrix;
  V_VT(&text) = VT_BSTR;
  V_BSTR(&text) = SysAllocString(L"caf");

  const struct {
    const char* name;
    VARIANT* value;
    HRESULT hr;
    const char* result;
  } cases[] = {{"direct", &direct, S_OK, "caf"},
               {"array by reference", &byRef, S_OK, "caf"},
               {"variant by reference", &variantRef, S_OK, "caf"},
               {"two-byte elements", &wide, static_cast<HRESULT>(0x8000FFFF), nullptr},
               {"two dimensions", &twoDims, static_cast<HRESULT>(0x8000FFFF), nullptr},
               {"a string", &text, static_cast<HRESULT>(0x8000FFFF), nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BSTR out = reinterpret_cast<BSTR>(kSentinel);
    EXPECT_EQ(c.hr, http->VariantToString(*c.value, &out));
    if (c.result) {
      EXPECT_EQ(c.result, TakeBStr(out));
    } else {
      EXPECT_EQ(nullptr, out);
      EXPECT_EQ("Invalid argument", TakeErrorInfo().description);
      VARIANT_BOOL ok = 7;
      BSTR url = SysAllocString(L"http://127.0.0.1:1/");
      EXPECT_EQ(c.hr, http->UploadData(url, *c.value, nullptr, &ok));
      SysFreeString(url);
      EXPECT_EQ(7, ok);  // untouched on failure
      ErrorInfo error = TakeErrorInfo();
      EXPECT_EQ("Velmora32.HTTP", error.source);
      EXPECT_TRUE(IsEqualGUID(IID_IHTTP, error.guid));
      EXPECT_EQ("Invalid argument", error.description);
    }
  }
  SafeArrayDestroy(bytes);
  SafeArrayDestroy(words);
  SafeArrayDestroy(matrix);
  VariantClear(&text);
  http->Release();
}

TEST_F(HookTest, FaultInsideTheHTTPObject) {
  IHTTP* http = Create<IHTTP>(WithHooks(), CLSID_HTTP, IID_IHTTP);
  ASSERT_NE(nullptr, http);
  BSTR name = SysAllocString(L"velmora:fault");
  EXPECT_EQ(static_cast<HRESULT>(0x8000FFFF), http->AddFormVar(name, nullptr));
  EXPECT_FALSE(TakeErrorInfo().present);
  SysFreeString(name);
  name = SysAllocString(L"velmora:empty-message");
  EXPECT_EQ(static_cast<HRESULT>(0x8000FFFF), http->AddFormVar(name, nullptr));
  ErrorInfo error = TakeErrorInfo();
  EXPECT_EQ("Velmora32.HTTP", error.source);
  EXPECT_EQ("", error.description);
  SysFreeString(name);
  http->Release();
}

// --- Registration ---

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40];
  StringFromGUID2(guid, text, 40);
  return text;
}

// The default (or named) value of a key, or "<none>".
std::string Value(HKEY root, const std::wstring& key, const wchar_t* name = nullptr) {
  wchar_t data[1024];
  DWORD size = sizeof data, type = 0;
  if (RegGetValueW(root, key.c_str(), name, RRF_RT_ANY, &type, data, &size) != ERROR_SUCCESS) {
    return "<none>";
  }
  if (type != REG_SZ) return "<not REG_SZ>";
  return Narrow(data);
}

struct Registration {
  const CLSID* clsid;
  const char* progId;
  const char* description;
};
const Registration kClasses[] = {{&CLSID_Process, "Velmora32.Process", "Process Object"},
                                 {&CLSID_HTTP, "Velmora32.HTTP", "HTTP Object"}};

void ExpectRegistered(HKEY root, const std::wstring& prefix, const std::wstring& modulePath) {
  for (const Registration& r : kClasses) {
    SCOPED_TRACE(r.progId);
    const std::wstring clsid = GuidText(*r.clsid);
    const std::wstring key = prefix + L"CLSID\\" + clsid;
    const std::wstring progId(r.progId, r.progId + strlen(r.progId));
    EXPECT_EQ(r.description, Value(root, key));
    EXPECT_EQ(Narrow(modulePath.c_str()), Value(root, key + L"\\InprocServer32"));
    EXPECT_EQ("Both", Value(root, key + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_EQ(r.description, Value(root, prefix + progId));
    EXPECT_EQ(Narrow(clsid.c_str()), Value(root, prefix + progId + L"\\Clsid"));
    EXPECT_EQ(r.progId, Value(root, key + L"\\ProgID"));
    EXPECT_EQ("3.0", Value(root, key + L"\\Version"));
    EXPECT_EQ(Narrow(GuidText(LIBID_Velmora32).c_str()), Value(root, key + L"\\TypeLib"));
    EXPECT_EQ("<none>", Value(root, key + L"\\VersionIndependentProgID"));
  }
}

void ExpectUnregistered(HKEY root, const std::wstring& prefix) {
  for (const Registration& r : kClasses) {
    SCOPED_TRACE(r.progId);
    HKEY key = nullptr;
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(root, (prefix + L"CLSID\\" + GuidText(*r.clsid)).c_str(),
                                           0, KEY_READ, &key));
    const std::wstring progId(r.progId, r.progId + strlen(r.progId));
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(root, (prefix + progId).c_str(), 0, KEY_READ, &key));
  }
}

const std::wstring kMachine = L"Software\\Classes\\";

TEST_F(ModuleTest, RegistersMachineWideAndUnregistersTwice) {
  ASSERT_EQ(S_OK, Product().registerServer());
  ExpectRegistered(HKEY_LOCAL_MACHINE, kMachine, Product().Path());
  // The type library too, pointing at the module.
  const std::wstring typeLibKey = kMachine + L"TypeLib\\" + GuidText(LIBID_Velmora32) + L"\\3.0";
  EXPECT_EQ("Velmora", Value(HKEY_LOCAL_MACHINE, typeLibKey));
  const wchar_t* platform = sizeof(void*) == 8 ? L"\\409\\win64" : L"\\409\\win32";
  EXPECT_EQ(Narrow(Product().Path().c_str()), Value(HKEY_LOCAL_MACHINE, typeLibKey + platform));

  EXPECT_EQ(S_OK, Product().unregisterServer());
  ExpectUnregistered(HKEY_LOCAL_MACHINE, kMachine);
  EXPECT_EQ("<none>", Value(HKEY_LOCAL_MACHINE, typeLibKey));
  EXPECT_EQ(S_OK, Product().unregisterServer());
}

TEST_F(ModuleTest, RegistersPerUserThroughDllInstall) {
  const std::wstring user = L"Software\\Classes\\";
  ASSERT_EQ(S_OK, Product().install(TRUE, L"USER"));
  ExpectRegistered(HKEY_CURRENT_USER, user, Product().Path());
  ExpectUnregistered(HKEY_LOCAL_MACHINE, kMachine);

  // The per-user choice lasted for that call only.
  ASSERT_EQ(S_OK, Product().registerServer());
  ExpectRegistered(HKEY_LOCAL_MACHINE, kMachine, Product().Path());
  ASSERT_EQ(S_OK, Product().unregisterServer());

  EXPECT_EQ(S_OK, Product().install(FALSE, L"user"));
  ExpectUnregistered(HKEY_CURRENT_USER, user);
  EXPECT_EQ(S_OK, Product().install(FALSE, L"user"));

  // Any other command line means machine-wide.
  ASSERT_EQ(S_OK, Product().install(TRUE, L"users"));
  ExpectRegistered(HKEY_LOCAL_MACHINE, kMachine, Product().Path());
  EXPECT_EQ(S_OK, Product().install(FALSE, nullptr));
  ExpectUnregistered(HKEY_LOCAL_MACHINE, kMachine);
}

// From a folder with a space, InprocServer32 names the module by its short
// path, which has none.
TEST_F(ModuleTest, RegistersTheShortPathWhenThePathHasASpace) {
  wchar_t temp[MAX_PATH];
  ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
  const std::wstring dir = std::wstring(temp) + L"velmora module test";
  CreateDirectoryW(dir.c_str(), nullptr);
  const std::wstring copy = dir + L"\\velmora32.dll";
  ASSERT_TRUE(CopyFileW(Product().Path().c_str(), copy.c_str(), FALSE));
  {
    Module moved(copy.c_str());
    ASSERT_NE(nullptr, moved.handle);
    ASSERT_NE(Product().handle, moved.handle);
    ASSERT_EQ(S_OK, moved.registerServer());
    wchar_t shortPath[MAX_PATH];
    ASSERT_NE(0u, GetShortPathNameW(moved.Path().c_str(), shortPath, MAX_PATH));
    EXPECT_EQ(std::wstring::npos, std::wstring(shortPath).find(L' '));
    ExpectRegistered(HKEY_LOCAL_MACHINE, kMachine, shortPath);
    EXPECT_EQ(S_OK, moved.unregisterServer());
    FreeLibrary(moved.handle);
  }
  DeleteFileW(copy.c_str());
  RemoveDirectoryW(dir.c_str());
}

}  // namespace
