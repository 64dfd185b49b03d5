// Response: a buffered body and a head, delivered to the page's sink.
#include "asphost/intrinsics/comobject.h"
#include "asphost/intrinsics/internal.h"
#include "asphost/intrinsics/variants.h"

namespace asphost {

namespace {

const wchar_t kResponseSource[] = L"Response object";
const wchar_t kHeadersSent[] =
    L"The HTTP headers are already written to the client browser. Any HTTP header modifications must be made "
    L"before writing page content.";

// Header text must not smuggle in a line of its own.
bool IsHeaderText(const std::wstring& text) { return text.find_first_of(L"\r\n") == std::wstring::npos; }

// "404 Not Found": three digits, then nothing or a space and a reason.
bool IsStatusText(const std::wstring& text) {
  if (text.size() < 3 || !IsHeaderText(text)) return false;
  for (int i = 0; i < 3; ++i)
    if (text[i] < L'0' || text[i] > L'9') return false;
  return text.size() == 3 || text[3] == L' ';
}

// Text placed inside an HTML attribute.
std::string HtmlEscaped(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

class Response final : public DispatchObject<IResponse, IID_IResponse> {
 public:
  explicit Response(const PageSetup& setup) : setup_(setup) {}

  STDMETHODIMP get_Buffer(VARIANT_BOOL* buffering) override {
    if (!buffering) return E_POINTER;
    *buffering = buffering_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  STDMETHODIMP put_Buffer(VARIANT_BOOL buffering) override {
    return Guarded([&]() -> HRESULT {
      buffering_ = buffering != VARIANT_FALSE;
      return buffering_ ? S_OK : Deliver();
    });
  }
  STDMETHODIMP get_ContentType(BSTR* type) override { return ReturnString(FromUtf8(head_.contentType), type); }
  STDMETHODIMP put_ContentType(BSTR type) override { return SetHead(type, &head_.contentType); }
  STDMETHODIMP get_Expires(VARIANT* minutes) override {
    if (minutes) VariantInit(minutes);
    return E_NOTIMPL;
  }
  STDMETHODIMP put_Expires(LONG) override { return E_NOTIMPL; }
  STDMETHODIMP get_ExpiresAbsolute(VARIANT* when) override {
    if (when) VariantInit(when);
    return E_NOTIMPL;
  }
  STDMETHODIMP put_ExpiresAbsolute(DATE) override { return E_NOTIMPL; }
  STDMETHODIMP get_Cookies(IRequestDictionary** cookies) override {
    if (cookies) *cookies = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP get_Status(BSTR* status) override { return ReturnString(FromUtf8(head_.status), status); }
  STDMETHODIMP put_Status(BSTR status) override {
    if (!IsStatusText(BstrText(status)))
      return Fail(E_INVALIDARG, kResponseSource,
                  L"Invalid status string: three digits and a reason, as \"404 Not Found\".");
    return SetHead(status, &head_.status);
  }
  STDMETHODIMP Add(BSTR value, BSTR name) override { return AddHeader(name, value); }
  STDMETHODIMP AddHeader(BSTR name, BSTR value) override {
    return Guarded([&]() -> HRESULT {
      std::wstring headerName = BstrText(name), headerValue = BstrText(value);
      if (headerName.empty() || !IsHeaderText(headerName) || headerName.find(L':') != std::wstring::npos ||
          !IsHeaderText(headerValue))
        return Fail(E_INVALIDARG, kResponseSource, L"Invalid header name or value.");
      if (headSent_) return Fail(E_FAIL, kResponseSource, kHeadersSent);
      head_.headers.emplace_back(Utf8(headerName), Utf8(headerValue));
      return S_OK;
    });
  }
  STDMETHODIMP AppendToLog(BSTR) override { return S_OK; }
  STDMETHODIMP BinaryWrite(VARIANT input) override {
    return Guarded([&]() -> HRESULT {
      if (HRESULT hr = Check(L"Response.BinaryWrite"); FAILED(hr)) return hr;
      ByteArrayView bytes(input);
      if (!bytes.valid()) return Fail(E_INVALIDARG, kResponseSource, L"BinaryWrite takes an array of bytes.");
      return Append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    });
  }
  STDMETHODIMP Clear() override {
    buffer_.clear();
    return S_OK;
  }
  STDMETHODIMP End() override {
    return Guarded([&]() -> HRESULT {
      if (ended_) return S_OK;
      HRESULT hr = Deliver();
      ended_ = true;
      return FAILED(hr) ? hr : setup_.sink->End();
    });
  }
  STDMETHODIMP Flush() override {
    return Guarded([&] { return Deliver(); });
  }
  STDMETHODIMP Redirect(BSTR url) override {
    return Guarded([&]() -> HRESULT {
      std::wstring location = BstrText(url);
      if (!IsHeaderText(location)) return Fail(E_INVALIDARG, kResponseSource, L"Invalid URL.");
      if (headSent_) return Fail(E_FAIL, kResponseSource, kHeadersSent);
      head_.status = "302 Object moved";
      head_.headers.emplace_back("Location", Utf8(location));
      buffer_ =
          "<head><title>Object moved</title></head><body><h1>Object Moved</h1>This object may be found <a HREF=\"" +
          HtmlEscaped(Utf8(location)) + "\">here</a>.</body>";
      return End();
    });
  }
  STDMETHODIMP Write(VARIANT text) override {
    return Guarded([&]() -> HRESULT {
      if (HRESULT hr = Check(L"Response.Write"); FAILED(hr)) return hr;
      std::wstring value;
      if (HRESULT hr = VariantText(text, &value); FAILED(hr)) return hr;
      std::string bytes = Utf8(value);
      return Append(bytes.data(), bytes.size());
    });
  }
  STDMETHODIMP WriteBlock(short) override { return E_NOTIMPL; }
  STDMETHODIMP IsClientConnected(VARIANT_BOOL* connected) override {
    if (!connected) return E_POINTER;
    return Guarded([&]() -> HRESULT {
      if (HRESULT hr = Check(L"Response.IsClientConnected"); FAILED(hr)) return hr;
      *connected = setup_.body->ClientConnected() ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    });
  }
  STDMETHODIMP get_CharSet(BSTR* charset) override { return ReturnString(FromUtf8(head_.charset), charset); }
  STDMETHODIMP put_CharSet(BSTR charset) override { return SetHead(charset, &head_.charset); }
  STDMETHODIMP Pics(BSTR value) override {
    BSTR name = SysAllocString(L"PICS-Label");
    HRESULT hr = name ? AddHeader(name, value) : E_OUTOFMEMORY;
    SysFreeString(name);
    return hr;
  }
  STDMETHODIMP get_CacheControl(BSTR* value) override { return ReturnString(FromUtf8(cacheControl_), value); }
  STDMETHODIMP put_CacheControl(BSTR value) override {
    HRESULT hr = SetHead(value, &cacheControl_);
    if (SUCCEEDED(hr)) {
      auto& headers = head_.headers;
      for (auto it = headers.begin(); it != headers.end();)
        it = it->first == "Cache-Control" ? headers.erase(it) : it + 1;
      headers.emplace_back("Cache-Control", cacheControl_);
    }
    return hr;
  }

  // The end of the page: whatever is still buffered, and the head at least.
  HRESULT Finish() {
    if (finished_) return S_OK;
    finished_ = true;
    if (!buffer_.empty() || !headSent_) return Deliver();
    return S_OK;
  }

 private:
  HRESULT Check(const wchar_t* name) {
    return setup_.probe ? setup_.probe->Check(name, IID_IResponse, kResponseSource) : S_OK;
  }
  HRESULT SetHead(BSTR value, std::string* field) {
    return Guarded([&]() -> HRESULT {
      std::wstring text = BstrText(value);
      if (!IsHeaderText(text)) return Fail(E_INVALIDARG, kResponseSource, L"Invalid header value.");
      if (headSent_) return Fail(E_FAIL, kResponseSource, kHeadersSent);
      *field = Utf8(text);
      return S_OK;
    });
  }
  HRESULT Append(const char* data, size_t size) {
    if (ended_) return S_OK;  // after End the page writes nothing more
    buffer_.append(data, size);
    return buffering_ ? S_OK : Deliver();
  }
  HRESULT Deliver() {
    std::string bytes;
    bytes.swap(buffer_);
    headSent_ = true;
    return setup_.sink->Send(head_, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }

  PageSetup setup_;
  ResponseHead head_;
  std::string cacheControl_;
  std::string buffer_;
  bool buffering_ = true, headSent_ = false, ended_ = false, finished_ = false;
};

}  // namespace

HRESULT CreateResponse(const PageSetup& setup, IResponse** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!setup.body || !setup.sink) return E_INVALIDARG;
  return Guarded([&] {
    *out = new Response(setup);
    return S_OK;
  });
}

HRESULT FinishResponse(IResponse* response) {
  auto* object = dynamic_cast<Response*>(response);
  return object ? Guarded([&] { return object->Finish(); }) : E_INVALIDARG;
}

}  // namespace asphost
