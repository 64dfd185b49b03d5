// Velmora32Test.Host: the control object through which test scripts drive the
// stand-in. One object owns a body, a probe, an Application store and at most
// one current page.
#include <initguid.h>

#include "asphost/mtxex/testhost.h"  // generated from testhost.idl

#include <psapi.h>

#include <cstdio>
#include <memory>
#include <optional>

#include "asphost/intrinsics/comobject.h"
#include "asphost/intrinsics/variants.h"
#include "asphost/mtxex/mtxex.h"
#include "asphost/mtxex/multipart_body.h"

namespace asphost {

namespace {

constexpr int kTestHostTypeLib = 1;
const wchar_t kSource[] = L"Velmora32Test.Host";

std::wstring Text(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

// One byte per character; false when a character does not fit in a byte.
bool LowBytes(const std::wstring& text, std::string* bytes) {
  bytes->clear();
  bytes->reserve(text.size());
  for (wchar_t c : text) {
    if (c > 0xFF) return false;
    *bytes += static_cast<char>(c);
  }
  return true;
}

std::wstring Widened(const std::string& bytes) {
  std::wstring text;
  text.reserve(bytes.size());
  for (unsigned char byte : bytes) text += static_cast<wchar_t>(byte);
  return text;
}

// The bytes of a file, or the HRESULT of the failure.
HRESULT ReadWholeFile(const std::wstring& path, std::string* bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
  HRESULT hr = S_OK;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size))
    hr = HRESULT_FROM_WIN32(GetLastError());
  else if (size.QuadPart >= MAXLONG)
    hr = E_OUTOFMEMORY;
  if (SUCCEEDED(hr)) {
    bytes->resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!bytes->empty() && !ReadFile(file, &(*bytes)[0], static_cast<DWORD>(bytes->size()), &got, nullptr))
      hr = HRESULT_FROM_WIN32(GetLastError());
    else if (got != bytes->size())
      hr = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);  // the file shrank while read
  }
  CloseHandle(file);
  return hr;
}

const wchar_t* TypeName(VARTYPE type) {
  switch (type) {
    case VT_I1:
      return L"I1";
    case VT_UI1:
      return L"UI1";
    case VT_I2:
      return L"I2";
    case VT_UI2:
      return L"UI2";
    case VT_I4:
      return L"I4";
    case VT_UI4:
      return L"UI4";
    case VT_INT:
      return L"INT";
    case VT_UINT:
      return L"UINT";
    case VT_I8:
      return L"I8";
    case VT_UI8:
      return L"UI8";
    default:
      return L"?";
  }
}

class AspTestHost final : public DispatchObject<IAspTestHost, IID_IAspTestHost, kTestHostTypeLib> {
 public:
  AspTestHost()
      : body_(std::make_shared<MemoryBody>()),
        sink_(std::make_shared<MemorySink>()),
        application_(std::make_shared<ApplicationStore>()),
        probe_(std::make_shared<HostProbe>()) {
    application_->SetLogging(true);
  }

  // --- the request body

  STDMETHODIMP LoadBodyFromFile(BSTR path, LONG* length) override {
    return Guarded([&]() -> HRESULT {
      std::string bytes;
      if (HRESULT hr = ReadWholeFile(Text(path), &bytes); FAILED(hr))
        return Fail(hr, L"Cannot read the file " + Text(path) + L".");
      return LoadBody(std::move(bytes), length);
    });
  }
  STDMETHODIMP LoadBodyFromString(BSTR text, LONG* length) override {
    return Guarded([&]() -> HRESULT {
      std::string bytes;
      if (!LowBytes(Text(text), &bytes)) return Fail(E_INVALIDARG, L"Every character of the body must be below 256.");
      return LoadBody(std::move(bytes), length);
    });
  }
  STDMETHODIMP MultipartBegin(VARIANT boundary) override {
    return Guarded([&]() -> HRESULT {
      std::wstring text;
      if (V_VT(Unwrap(&boundary)) != VT_ERROR) {  // VT_ERROR: left out
        if (HRESULT hr = VariantText(boundary, &text); FAILED(hr)) return hr;
      }
      multipart_.emplace(Utf8(text));
      return S_OK;
    });
  }
  STDMETHODIMP AddField(BSTR name, BSTR value) override {
    return Guarded([&]() -> HRESULT {
      if (HRESULT hr = NeedMultipart(); FAILED(hr)) return hr;
      multipart_->AddField(Utf8(Text(name)), Utf8(Text(value)));
      return S_OK;
    });
  }
  STDMETHODIMP AddFile(BSTR fieldName, BSTR fileName, BSTR contentType, BSTR content) override {
    return Guarded([&]() -> HRESULT {
      if (HRESULT hr = NeedMultipart(); FAILED(hr)) return hr;
      std::string bytes;
      if (!LowBytes(Text(content), &bytes))
        return Fail(E_INVALIDARG, L"Every character of the content must be below 256.");
      multipart_->AddFile(Utf8(Text(fieldName)), Utf8(Text(fileName)), Utf8(Text(contentType)), bytes);
      return S_OK;
    });
  }
  STDMETHODIMP AddFileFromPath(BSTR fieldName, BSTR fileName, BSTR contentType, BSTR path) override {
    return Guarded([&]() -> HRESULT {
      if (HRESULT hr = NeedMultipart(); FAILED(hr)) return hr;
      std::string bytes;
      if (HRESULT hr = ReadWholeFile(Text(path), &bytes); FAILED(hr))
        return Fail(hr, L"Cannot read the file " + Text(path) + L".");
      multipart_->AddFile(Utf8(Text(fieldName)), Utf8(Text(fileName)), Utf8(Text(contentType)), bytes);
      return S_OK;
    });
  }
  STDMETHODIMP MultipartEnd(LONG* length) override {
    return Guarded([&]() -> HRESULT {
      if (HRESULT hr = NeedMultipart(); FAILED(hr)) return hr;
      contentType_ = FromUtf8(multipart_->contentType());
      boundary_ = FromUtf8(multipart_->boundary());
      std::string bytes = multipart_->Finish();
      multipart_.reset();
      return LoadBody(std::move(bytes), length);
    });
  }
  STDMETHODIMP get_Boundary(BSTR* value) override { return ReturnString(boundary_, value); }
  STDMETHODIMP get_ContentType(BSTR* value) override { return ReturnString(contentType_, value); }
  STDMETHODIMP put_ContentType(BSTR value) override { return Store(Text(value), &contentType_); }
  STDMETHODIMP get_BodyText(BSTR* value) override { return ReturnString(Widened(bodyBytes_), value); }
  STDMETHODIMP get_QueryString(BSTR* value) override { return ReturnString(queryString_, value); }
  STDMETHODIMP put_QueryString(BSTR value) override { return Store(Text(value), &queryString_); }

  // --- how the client and the host behave

  STDMETHODIMP get_DeclaredLength(LONG* value) override { return Return(declared_, value); }
  STDMETHODIMP put_DeclaredLength(LONG value) override {
    declared_ = value < 0 ? -1 : value;
    body_->SetDeclaredLength(declared_);
    return S_OK;
  }
  STDMETHODIMP get_MaxRead(LONG* value) override { return Return(maxRead_, value); }
  STDMETHODIMP put_MaxRead(LONG value) override {
    if (value < 0) return Fail(E_INVALIDARG, L"MaxRead must be 0 (no limit) or more.");
    maxRead_ = value;
    body_->SetMaxRead(static_cast<size_t>(value));
    return S_OK;
  }
  STDMETHODIMP EmptyReads(LONG fromRead, LONG count) override {
    body_->SetEmptyReads(fromRead, count);
    return S_OK;
  }
  STDMETHODIMP get_DisconnectAfter(LONG* value) override { return Return(disconnectAfter_, value); }
  STDMETHODIMP put_DisconnectAfter(LONG value) override {
    disconnectAfter_ = value < 0 ? -1 : value;
    body_->SetDisconnectAfter(disconnectAfter_);
    return S_OK;
  }
  STDMETHODIMP FailCall(BSTR name, LONG hr, BSTR description, LONG afterCalls) override {
    return Guarded([&] {
      probe_->FailCall(Text(name), hr, Text(description), afterCalls);
      return S_OK;
    });
  }
  STDMETHODIMP ClearFaults() override {
    probe_->ClearFaults();
    return S_OK;
  }
  STDMETHODIMP get_MapPathRoot(BSTR* value) override { return ReturnString(root_, value); }
  STDMETHODIMP put_MapPathRoot(BSTR value) override { return Store(Text(value), &root_); }
  STDMETHODIMP get_PagePath(BSTR* value) override { return ReturnString(pagePath_, value); }
  STDMETHODIMP put_PagePath(BSTR value) override {
    std::wstring path = Text(value);
    if (path.empty() || path[0] != L'/') return Fail(E_INVALIDARG, L"A page path is virtual and starts with \"/\".");
    return Store(path, &pagePath_);
  }

  // --- the page

  STDMETHODIMP BeginPage() override {
    return Guarded([&]() -> HRESULT {
      EndPage();
      PageSetup setup;
      setup.body = body_;
      setup.sink = sink_;
      setup.application = application_;
      setup.probe = probe_;
      setup.root = root_;
      setup.pagePath = pagePath_;
      setup.method = L"POST";
      setup.queryString = queryString_;
      setup.contentType = contentType_;
      sink_->Clear();
      probe_->ClearReads();
      page_ = std::make_unique<Page>(std::move(setup));
      HRESULT hr = SetThreadPage(page_->context(), probe_);
      if (FAILED(hr)) page_.reset();
      return hr;
    });
  }
  STDMETHODIMP EndPage() override {
    return Guarded([&]() -> HRESULT {
      if (!page_) return S_OK;
      SetThreadPage(nullptr, nullptr);
      HRESULT hr = page_->Finish();
      page_.reset();
      return hr;
    });
  }
  STDMETHODIMP get_InPage(VARIANT_BOOL* value) override {
    if (!value) return E_POINTER;
    *value = page_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }

  // The way a component on Windows NT 4 reaches the page's objects: mtxex.dll
  // found by name, its GetObjectContext, then GetProperty.
  STDMETHODIMP get_Intrinsic(BSTR name, IDispatch** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    return Guarded([&]() -> HRESULT {
      using GetObjectContextFunction = HRESULT(WINAPI*)(IObjectContext**);
      HMODULE mtxex = GetModuleHandleW(L"mtxex.dll");
      auto getContext = mtxex ? reinterpret_cast<GetObjectContextFunction>(
                                    reinterpret_cast<void*>(GetProcAddress(mtxex, "GetObjectContext")))
                              : nullptr;
      if (!getContext) return Fail(E_UNEXPECTED, L"mtxex.dll offers no GetObjectContext.");
      IObjectContext* context;
      HRESULT hr = getContext(&context);
      if (hr == CONTEXT_E_NOCONTEXT) return Fail(hr, L"No page: call BeginPage first.");
      if (FAILED(hr)) return hr;  // a planned failure, with its error information
      IGetContextProperties* properties;
      hr = context->QueryInterface(IID_IGetContextProperties, reinterpret_cast<void**>(&properties));
      context->Release();
      if (FAILED(hr)) return hr;
      Variant value;
      hr = properties->GetProperty(name, value.get());
      properties->Release();
      if (FAILED(hr)) return hr;
      if (V_VT(value.get()) != VT_DISPATCH || !V_DISPATCH(value.get()))
        return Fail(E_INVALIDARG, L"The page has no object named " + Text(name) + L".");
      *object = V_DISPATCH(value.get());
      (*object)->AddRef();
      return S_OK;
    });
  }
  STDMETHODIMP get_WindowsVersion(BSTR* value) override {
    return Guarded([&] {
      OSVERSIONINFOW version = {};
      version.dwOSVersionInfoSize = sizeof version;
      GetVersionExW(&version);
      return ReturnString(std::to_wstring(version.dwMajorVersion) + L"." + std::to_wstring(version.dwMinorVersion),
                          value);
    });
  }

  // --- what the page did

  STDMETHODIMP get_ReadCount(LONG* value) override {
    return Guarded([&] { return Return(static_cast<LONG>(probe_->Reads().size()), value); });
  }
  STDMETHODIMP get_ReadLog(BSTR* value) override {
    return Guarded([&] {
      std::wstring log;
      for (const HostProbe::Read& read : probe_->Reads()) {
        if (!log.empty()) log += L' ';
        log += std::wstring(TypeName(read.countType)) + L":" + std::to_wstring(read.asked) + L":" +
               std::to_wstring(read.delivered);
      }
      return ReturnString(log, value);
    });
  }
  STDMETHODIMP get_Application(BSTR key, VARIANT* value) override {
    if (!value) return E_POINTER;
    return Guarded([&] { return application_->Get(Text(key), value); });
  }
  STDMETHODIMP get_ApplicationCount(LONG* value) override {
    return Return(static_cast<LONG>(application_->Count()), value);
  }
  STDMETHODIMP get_ApplicationLog(BSTR* value) override {
    return Guarded([&] {
      std::wstring log;
      for (const std::wstring& entry : application_->Log()) log += (log.empty() ? L"" : L"; ") + entry;
      return ReturnString(log, value);
    });
  }
  STDMETHODIMP ClearApplication() override {
    return Guarded([&] {
      application_->RemoveAll();
      application_->ClearLog();
      return S_OK;
    });
  }
  STDMETHODIMP SetApplication(BSTR key, VARIANT value) override {
    return Guarded([&] { return application_->Set(Text(key), value); });
  }
  STDMETHODIMP ClearApplicationLog() override {
    application_->ClearLog();
    return S_OK;
  }
  STDMETHODIMP get_ResponseText(BSTR* value) override {
    return Guarded([&] { return ReturnString(FromUtf8(sink_->body()), value); });
  }
  STDMETHODIMP get_ResponseStatus(BSTR* value) override {
    return Guarded([&] { return ReturnString(FromUtf8(sink_->head().status), value); });
  }

  // --- the process

  // Under Wine on Linux the working set is VmRSS, which Wine's ntdll reads
  // from /proc/self/status inside this process. (A file opened through drive
  // Z: would not do: Wine opens files in the wineserver, whose /proc/self is
  // the server.)
  STDMETHODIMP get_ResidentKB(LONG* value) override {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
      return Fail(HRESULT_FROM_WIN32(GetLastError()), L"The process's memory counters cannot be read.");
    return Return(static_cast<LONG>(counters.WorkingSetSize / 1024), value);
  }
  STDMETHODIMP get_LiveContexts(LONG* value) override { return Return(LiveObjectContexts(), value); }

  // --- byte arrays

  STDMETHODIMP ByteCount(VARIANT bytes, LONG* count) override {
    ByteArrayView view(bytes);
    return Return(view.valid() ? static_cast<LONG>(view.size()) : -1, count);
  }
  STDMETHODIMP LowerBound(VARIANT bytes, LONG* bound) override {
    ByteArrayView view(bytes);
    if (!view.valid()) return Fail(E_INVALIDARG, L"Not an array of bytes.");
    return Return(view.lowerBound(), bound);
  }
  STDMETHODIMP UpperBound(VARIANT bytes, LONG* bound) override {
    ByteArrayView view(bytes);
    if (!view.valid()) return Fail(E_INVALIDARG, L"Not an array of bytes.");
    return Return(view.lowerBound() + static_cast<LONG>(view.size()) - 1, bound);
  }
  STDMETHODIMP BytesToHex(VARIANT bytes, BSTR* hex) override {
    return Guarded([&]() -> HRESULT {
      ByteArrayView view(bytes);
      if (!view.valid()) return Fail(E_INVALIDARG, L"Not an array of bytes.");
      const wchar_t* digits = L"0123456789ABCDEF";
      std::wstring text;
      text.reserve(view.size() * 2);
      for (size_t i = 0; i < view.size(); ++i) {
        text += digits[view.data()[i] >> 4];
        text += digits[view.data()[i] & 15];
      }
      return ReturnString(text, hex);
    });
  }
  STDMETHODIMP BytesToText(VARIANT bytes, BSTR* text) override {
    return Guarded([&]() -> HRESULT {
      ByteArrayView view(bytes);
      if (!view.valid()) return Fail(E_INVALIDARG, L"Not an array of bytes.");
      return ReturnString(Widened(std::string(reinterpret_cast<const char*>(view.data()), view.size())), text);
    });
  }
  STDMETHODIMP TextToBytes(BSTR text, VARIANT* bytes) override {
    if (!bytes) return E_POINTER;
    VariantInit(bytes);
    return Guarded([&]() -> HRESULT {
      std::string raw;
      if (!LowBytes(Text(text), &raw)) return Fail(E_INVALIDARG, L"Every character must be below 256.");
      return MakeByteArray(reinterpret_cast<const uint8_t*>(raw.data()), raw.size(), 0, bytes);
    });
  }
  STDMETHODIMP FileBytes(BSTR path, VARIANT* bytes) override {
    if (!bytes) return E_POINTER;
    VariantInit(bytes);
    return Guarded([&]() -> HRESULT {
      std::string raw;
      if (HRESULT hr = ReadWholeFile(Text(path), &raw); FAILED(hr))
        return Fail(hr, L"Cannot read the file " + Text(path) + L".");
      return MakeByteArray(reinterpret_cast<const uint8_t*>(raw.data()), raw.size(), 0, bytes);
    });
  }

 private:
  ~AspTestHost() override { EndPage(); }

  HRESULT Fail(HRESULT hr, const std::wstring& description) { return DispatchObject::Fail(hr, kSource, description); }
  static HRESULT Return(LONG value, LONG* out) {
    if (!out) return E_POINTER;
    *out = value;
    return S_OK;
  }
  static HRESULT Store(const std::wstring& value, std::wstring* field) {
    return Guarded([&] {
      *field = value;
      return S_OK;
    });
  }
  HRESULT NeedMultipart() { return multipart_ ? S_OK : Fail(E_UNEXPECTED, L"Call MultipartBegin first."); }
  HRESULT LoadBody(std::string bytes, LONG* length) {
    if (length) *length = static_cast<LONG>(bytes.size());
    bodyBytes_ = bytes;
    body_->SetBytes(std::move(bytes));
    return S_OK;
  }

  std::shared_ptr<MemoryBody> body_;
  std::shared_ptr<MemorySink> sink_;
  std::shared_ptr<ApplicationStore> application_;
  std::shared_ptr<HostProbe> probe_;
  std::unique_ptr<Page> page_;
  std::optional<MultipartBody> multipart_;
  std::string bodyBytes_;
  std::wstring contentType_, boundary_, queryString_;
  std::wstring root_ = L"C:\\inetpub\\wwwroot";
  std::wstring pagePath_ = L"/default.asp";
  LONG declared_ = -1, maxRead_ = 0, disconnectAfter_ = -1;
};

}  // namespace

HRESULT CreateAspTestHost(REFIID riid, void** out) {
  return Guarded([&] {
    auto* host = new AspTestHost();
    HRESULT hr = host->QueryInterface(riid, out);
    host->Release();
    return hr;
  });
}

}  // namespace asphost
