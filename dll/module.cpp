// velmora32.dll: the in-process COM server. The class table, the class
// factories and the module's counts, the exports, and registration.
#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "base/wide.h"
#include "dll/automation.h"
#include "dll/module.h"
#include "dll/velmora32_idl.h"
#include "io/paths.h"
#include "io/stream.h"

namespace velmora {
namespace {

// The module's own failures at start-up and registration: a type library
// that does not describe a class as the module serves it, a registry entry
// that cannot be written.
VELMORA_DECLARE_EXCEPTION(EOleError, Exception);
VELMORA_DECLARE_EXCEPTION(EOleRegistrationError, EOleError);

HMODULE gModule = nullptr;
LONG gObjectCount = 0;   // live objects plus LockServer locks
LONG gFactoryCount = 0;  // outstanding references to class factories
bool gPerUser = false;   // registration goes to HKEY_CURRENT_USER\Software\Classes

TComClass gClasses[] = {
    {&CLSID_Process, &IID_IProcess, u"Process", CreateProcessObject, {}, {}, {}},
    {&CLSID_HTTP, &IID_IHTTP, u"HTTP", CreateHTTPObject, {}, {}, {}},
};

// A class factory: one per class, as long-lived as the module. Its references
// are the module's factory count; it is never freed by them.
class TClassFactory : public IClassFactory {
 public:
  explicit TClassFactory(const TComClass& cls) : class_(cls) {}

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) {
      return E_NOINTERFACE;
    }
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&gFactoryCount); }
  STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&gFactoryCount); }

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    IUnknown* object = nullptr;
    try {
      object = class_.create(class_, outer);
    } catch (...) {
      return E_UNEXPECTED;
    }
    // The query takes the object's one reference over; a refused query
    // leaves none, and the object goes at once.
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
  }

  STDMETHODIMP LockServer(BOOL lock) override {
    const HRESULT hr = CoLockObjectExternal(this, lock, TRUE);
    if (lock) {
      ServerObjectCountUp();
    } else {
      ServerObjectCountDown();
    }
    return hr;
  }

  const TComClass& ComClass() const { return class_; }

 private:
  const TComClass& class_;
};

TClassFactory gFactories[] = {TClassFactory(gClasses[0]), TClassFactory(gClasses[1])};

// The server object: the type library and the classes' type information,
// set up on first use. The loader lock of DllMain is no place to load a type
// library, so the start waits for the first call that needs it; once done,
// the class table is only read, and needs no lock.
struct TServer {
  INIT_ONCE once = INIT_ONCE_STATIC_INIT;
  bool started = false;
  ITypeLib* typeLib = nullptr;
  ustring name;        // "Velmora32"
  ustring startError;  // why the start failed; empty when it did not
};
TServer gServer;

ustring ModuleFileName() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(gModule, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) throw ESystemError(u"Cannot find the module's file name", HRESULT_FROM_WIN32(GetLastError()));
    if (n < buffer.size()) return fromWide(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

ustring Documentation(ITypeInfo* info, bool helpString) {
  BSTR name = nullptr, doc = nullptr;
  if (FAILED(info->GetDocumentation(MEMBERID_NIL, &name, &doc, nullptr, nullptr))) return {};
  ustring text = FromBStr(helpString ? doc : name);
  SysFreeString(name);
  SysFreeString(doc);
  return text;
}

// The type attributes of info, released on scope exit.
class TTypeAttr {
 public:
  explicit TTypeAttr(ITypeInfo* info) : info_(info) {
    if (FAILED(info->GetTypeAttr(&attr_))) attr_ = nullptr;
  }
  ~TTypeAttr() {
    if (attr_) info_->ReleaseTypeAttr(attr_);
  }
  TTypeAttr(const TTypeAttr&) = delete;
  TTypeAttr& operator=(const TTypeAttr&) = delete;
  const TYPEATTR* operator->() const { return attr_; }
  explicit operator bool() const { return attr_ != nullptr; }

 private:
  ITypeInfo* info_;
  TYPEATTR* attr_ = nullptr;
};

// The dual interface behind a coclass's default interface, as a vtable
// interface (what ITypeInfo::Invoke needs), or null.
ITypeInfo* DefaultDualInterface(ITypeInfo* classInfo, const IID& iid) {
  TTypeAttr classAttr(classInfo);
  if (!classAttr) return nullptr;
  for (UINT i = 0; i < classAttr->cImplTypes; ++i) {
    INT flags = 0;
    HREFTYPE ref = 0;
    ITypeInfo* info = nullptr;
    if (FAILED(classInfo->GetImplTypeFlags(i, &flags)) || !(flags & IMPLTYPEFLAG_FDEFAULT) ||
        (flags & IMPLTYPEFLAG_FSOURCE) || FAILED(classInfo->GetRefTypeOfImplType(i, &ref)) ||
        FAILED(classInfo->GetRefTypeInfo(ref, &info))) {
      continue;
    }
    {
      TTypeAttr attr(info);
      if (attr && attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL)) {
        ITypeInfo* dual = nullptr;
        if (SUCCEEDED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)) &&
            SUCCEEDED(info->GetRefTypeInfo(ref, &dual))) {
          info->Release();
          info = dual;
        }
      }
    }
    TTypeAttr attr(info);
    if (attr && attr->typekind == TKIND_INTERFACE && (attr->wTypeFlags & TYPEFLAG_FDUAL) &&
        IsEqualGUID(attr->guid, iid)) {
      return info;
    }
    info->Release();
  }
  return nullptr;
}

ustring Substitute(const char16_t* format, const ustring& name) {
  ustring text = format;
  text.replace(text.find(u"%s"), 2, name);
  return text;
}

void FindClassInfo(TComClass& cls) {
  ITypeInfo* classInfo = nullptr;
  if (FAILED(gServer.typeLib->GetTypeInfoOfGuid(*cls.clsid, &classInfo))) {
    throw EOleError(Substitute(u"Type information missing for class %s", cls.codeName));
  }
  cls.classInfo = classInfo;
  {
    TTypeAttr attr(classInfo);
    if (!attr || attr->typekind != TKIND_COCLASS) {
      throw EOleError(Substitute(u"Incorrect type information for class %s", cls.codeName));
    }
  }
  cls.className = Documentation(classInfo, false);
  cls.description = Documentation(classInfo, true);
  cls.progId = gServer.name + u"." + cls.className;
  cls.dualInfo = DefaultDualInterface(classInfo, *cls.iid);
  if (!cls.dualInfo) {
    throw EOleError(Substitute(u"Dispatch interface missing from class %s", cls.className));
  }
}

// -REGSERVER and -UNREGSERVER on the host's command line choose machine-wide
// registration, -REGSERVERPERUSER and -UNREGSERVERPERUSER per user.
void ScanCommandLine() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) return;
  for (int i = 1; i < argc; ++i) {
    const wchar_t* arg = argv[i];
    if (arg[0] != L'-' && arg[0] != L'/') continue;
    const ustring option = asciiUpper(fromWide(arg + 1));
    if (option == u"REGSERVER" || option == u"UNREGSERVER") gPerUser = false;
    if (option == u"REGSERVERPERUSER" || option == u"UNREGSERVERPERUSER") gPerUser = true;
  }
  LocalFree(argv);
}

void Start() {
  ScanCommandLine();
  const ustring path = ModuleFileName();
  ITypeLib* typeLib = nullptr;
  const HRESULT hr = LoadTypeLibEx(wstr(path), REGKIND_NONE, &typeLib);
  if (FAILED(hr)) throw ESystemError(u"Cannot load the type library of " + path, hr);
  gServer.typeLib = typeLib;
  BSTR name = nullptr;
  if (SUCCEEDED(typeLib->GetDocumentation(-1, &name, nullptr, nullptr, nullptr))) {
    gServer.name = FromBStr(name);
    SysFreeString(name);
  }
  for (TComClass& cls : gClasses) FindClassInfo(cls);
}

BOOL CALLBACK StartOnce(PINIT_ONCE, PVOID, PVOID*) {
  try {
    Start();
  } catch (const Exception& e) {
    gServer.startError = e.message();
  } catch (...) {
    gServer.startError = u"Out of memory";
  }
  gServer.started = true;
  return TRUE;
}

void StartServer() { InitOnceExecuteOnce(&gServer.once, StartOnce, nullptr, nullptr); }

// Starts the server once; raises the start's failure on every later use.
void EnsureStarted() {
  StartServer();
  if (!gServer.startError.empty()) {
    OutputDebugStringW(wstr(gServer.startError));
    throw EOleError(gServer.startError);
  }
}

// --- Registration ---

const ustring kCLSIDKey = u"CLSID\\";

ustring GuidText(const GUID& guid) {
  wchar_t text[40];
  StringFromGUID2(guid, text, 40);
  return fromWide(text);
}

// The module path that InprocServer32 names: the long form, or the short
// form when the long one has a space.
ustring RegisteredModulePath() {
  ustring path = ModuleFileName();
  using GetLongPathNameFn = DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD);
  auto getLongPathName = reinterpret_cast<GetLongPathNameFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetLongPathNameW")));
  wchar_t buffer[MAX_PATH * 2];
  if (getLongPathName) {
    const DWORD n = getLongPathName(wstr(path), buffer, MAX_PATH * 2);
    if (n > 0 && n < MAX_PATH * 2) path = fromWide(buffer, n);
  }
  if (path.find(u' ') != ustring::npos) {
    const DWORD n = GetShortPathNameW(wstr(path), buffer, MAX_PATH * 2);
    if (n > 0 && n < MAX_PATH * 2) path = fromWide(buffer, n);
  }
  return path;
}

// 64-bit Windows keeps the CLSID keys of 32-bit and 64-bit registrations in
// two views of the registry, while ProgIDs and the type library key are
// shared: the 32-bit and 64-bit builds of this module register side by side.
// The other bitness's view, or 0 where there is none (32-bit Windows).
REGSAM OtherRegistryView() {
#ifdef _WIN64
  return KEY_WOW64_32KEY;
#else
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64 ? KEY_WOW64_64KEY : 0;
#endif
}

class TRegistry {
 public:
  explicit TRegistry(bool perUser)
      : root_(perUser ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT),
        prefix_(perUser ? u"Software\\Classes\\" : u"") {}

  void Write(const ustring& key, const wchar_t* valueName, const ustring& data) const {
    HKEY handle = nullptr;
    const ustring fullKey = prefix_ + key;
    LONG status = RegCreateKeyExW(root_, wstr(fullKey), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_READ | KEY_WRITE, nullptr, &handle, nullptr);
    if (status == ERROR_SUCCESS) {
      status = RegSetValueExW(handle, valueName, 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(data.c_str()),
                              static_cast<DWORD>((data.size() + 1) * sizeof(char16_t)));
      RegCloseKey(handle);
    }
    if (status != ERROR_SUCCESS) throw EOleRegistrationError(u"Error creating system registry entry");
  }

  // Removes one key without subkeys; a key that is not there is no failure.
  void Delete(const ustring& key) const { RegDeleteKeyW(root_, wstr(prefix_ + key)); }

  // True when the registry view of the other bitness has the key.
  bool OtherViewHas(const ustring& key) const {
    const REGSAM view = OtherRegistryView();
    HKEY handle = nullptr;
    if (view == 0 ||
        RegOpenKeyExW(root_, wstr(prefix_ + key), 0, KEY_READ | view, &handle) != ERROR_SUCCESS) {
      return false;
    }
    RegCloseKey(handle);
    return true;
  }

 private:
  HKEY root_;
  ustring prefix_;
};

// What unregistering names the loaded type library by: its GUID, version,
// locale and system kind (its win32 or win64 entry).
struct TLibInfo {
  GUID libid;
  WORD major, minor;
  LCID lcid;
  SYSKIND syskind;
};

TLibInfo LibInfo() {
  TLIBATTR* attr = nullptr;
  HRESULT hr = gServer.typeLib->GetLibAttr(&attr);
  if (FAILED(hr)) throw ESystemError(u"Cannot read the type library's attributes", hr);
  TLibInfo info{attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind};
  gServer.typeLib->ReleaseTLibAttr(attr);
  return info;
}

template <class Fn>
Fn OleAutFunction(const char* name) {
  return reinterpret_cast<Fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"oleaut32.dll"), name)));
}

void Register(bool perUser) {
  EnsureStarted();
  const ustring modulePath = ModuleFileName();
  const ustring helpDir = FolderOf(modulePath, kBackslash);
  using RegisterFn = HRESULT(WINAPI*)(ITypeLib*, LPOLESTR, LPOLESTR);
  auto registerForUser = perUser ? OleAutFunction<RegisterFn>("RegisterTypeLibForUser") : nullptr;
  ustring pathArg = modulePath, helpArg = helpDir;
  LPOLESTR path = const_cast<LPOLESTR>(wstr(pathArg));
  LPOLESTR help = const_cast<LPOLESTR>(wstr(helpArg));
  const HRESULT hr = registerForUser ? registerForUser(gServer.typeLib, path, help)
                                     : RegisterTypeLib(gServer.typeLib, path, help);
  if (FAILED(hr)) throw ESystemError(u"Cannot register the type library", hr);

  const TLibInfo lib = LibInfo();
  const ustring version = toDecimal(lib.major) + u"." + toDecimal(lib.minor);
  const ustring serverPath = RegisteredModulePath();
  const TRegistry registry(perUser);
  for (const TComClass& cls : gClasses) {
    const ustring clsid = GuidText(*cls.clsid);
    const ustring classKey = kCLSIDKey + clsid;
    registry.Write(classKey, nullptr, cls.description);
    registry.Write(classKey + u"\\InprocServer32", nullptr, serverPath);
    registry.Write(classKey + u"\\InprocServer32", L"ThreadingModel", u"Both");
    registry.Write(cls.progId, nullptr, cls.description);
    registry.Write(cls.progId + u"\\Clsid", nullptr, clsid);
    registry.Write(classKey + u"\\ProgID", nullptr, cls.progId);
    registry.Write(classKey + u"\\Version", nullptr, version);
    registry.Write(classKey + u"\\TypeLib", nullptr, GuidText(lib.libid));
  }
}

void Unregister(bool perUser) {
  EnsureStarted();
  const TLibInfo lib = LibInfo();
  using UnRegisterFn = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
  auto unregisterForUser =
      perUser ? OleAutFunction<UnRegisterFn>("UnRegisterTypeLibForUser") : nullptr;
  if (unregisterForUser) {
    unregisterForUser(lib.libid, lib.major, lib.minor, lib.lcid, lib.syskind);
  } else {
    UnRegisterTypeLib(lib.libid, lib.major, lib.minor, lib.lcid, lib.syskind);
  }
  const TRegistry registry(perUser);
  for (const TComClass& cls : gClasses) {
    const ustring classKey = kCLSIDKey + GuidText(*cls.clsid);
    registry.Delete(classKey + u"\\TypeLib");
    registry.Delete(classKey + u"\\Version");
    registry.Delete(classKey + u"\\ProgID");
    registry.Delete(classKey + u"\\InprocServer32");
    registry.Delete(classKey);
    // The ProgID stays while the other bitness still serves the class. Asked
    // once our own keys are gone: a registry without separate views (Wine's
    // per-user classes) would otherwise answer with ours.
    if (!registry.OtherViewHas(classKey + u"\\InprocServer32")) {
      registry.Delete(cls.progId + u"\\Clsid");
      registry.Delete(cls.progId);
    }
  }
}

// Releases what the start took, when the module is unloaded by FreeLibrary.
void Stop() {
  if (!gServer.started) return;
  for (TComClass& cls : gClasses) {
    if (cls.dualInfo) cls.dualInfo->Release();
    if (cls.classInfo) cls.classInfo->Release();
    cls.dualInfo = cls.classInfo = nullptr;
  }
  if (gServer.typeLib) gServer.typeLib->Release();
  gServer.typeLib = nullptr;
}

}  // namespace

void ServerObjectCountUp() { InterlockedIncrement(&gObjectCount); }
void ServerObjectCountDown() { InterlockedDecrement(&gObjectCount); }

}  // namespace velmora

using namespace velmora;

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    gModule = instance;
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // At process exit (reserved set) other modules may be gone: touch nothing.
    Stop();
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  try {
    EnsureStarted();
  } catch (const Exception& e) {
    TComClass none{&clsid, &IID_NULL, u"", nullptr, {}, {}, {}};
    return SafeCallException(none, e);
  }
  for (TClassFactory& factory : gFactories) {
    if (IsEqualCLSID(clsid, *factory.ComClass().clsid)) return factory.QueryInterface(iid, out);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

// Memory kept for the uploads to come keeps the module too: unloaded, it
// would go with the module, and the next upload would pay for fresh pages.
STDAPI DllCanUnloadNow() {
  if (!gServer.started) return S_OK;
  return gObjectCount == 0 && gFactoryCount == 0 && TChunkPool::keptBytes() == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
  try {
    Register(gPerUser);
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

STDAPI DllUnregisterServer() {
  try {
    Unregister(gPerUser);
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

STDAPI DllInstall(BOOL install, LPCWSTR commandLine) {
  StartServer();  // its scan of the command line must not override this choice
  const bool saved = gPerUser;
  gPerUser = commandLine && asciiUpper(fromWide(commandLine)) == u"USER";
  HRESULT hr;
  if (install) {
    hr = DllRegisterServer();
    if (hr == E_FAIL) DllUnregisterServer();
  } else {
    hr = DllUnregisterServer();
  }
  gPerUser = saved;
  return hr;
}

}  // extern "C"
