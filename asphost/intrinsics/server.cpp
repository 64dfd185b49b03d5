// Server: path mapping, object creation and the encoders.
#include "asphost/intrinsics/comobject.h"
#include "asphost/intrinsics/internal.h"
#include "asphost/intrinsics/variants.h"

namespace asphost {

namespace {

const wchar_t kServerSource[] = L"Server object";

std::wstring Percent(unsigned char byte) {
  const wchar_t* digits = L"0123456789ABCDEF";
  return {L'%', digits[byte >> 4], digits[byte & 15]};
}

bool IsAsciiAlnum(wchar_t c) {
  return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

class Server final : public DispatchObject<IServer, IID_IServer> {
 public:
  explicit Server(const PageSetup& setup) : setup_(setup) {}

  STDMETHODIMP get_ScriptTimeout(LONG* seconds) override {
    if (!seconds) return E_POINTER;
    *seconds = timeout_;
    return S_OK;
  }
  STDMETHODIMP put_ScriptTimeout(LONG seconds) override {
    timeout_ = seconds;
    return S_OK;
  }
  STDMETHODIMP CreateObject(BSTR progId, IDispatch** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Guarded([&]() -> HRESULT {
      if (HRESULT hr = Check(L"Server.CreateObject"); FAILED(hr)) return hr;
      CLSID clsid;
      HRESULT hr = CLSIDFromProgID(progId ? progId : L"", &clsid);
      if (FAILED(hr)) return Fail(hr, kServerSource, L"Invalid ProgID: " + BstrText(progId));
      hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                            reinterpret_cast<void**>(out));
      if (FAILED(hr)) return Fail(hr, kServerSource, L"Server.CreateObject failed for " + BstrText(progId) + L".");
      return S_OK;
    });
  }
  STDMETHODIMP HTMLEncode(BSTR text, BSTR* out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Guarded([&] {
      std::wstring encoded;
      for (wchar_t c : BstrText(text)) {
        switch (c) {
          case L'<':
            encoded += L"&lt;";
            break;
          case L'>':
            encoded += L"&gt;";
            break;
          case L'&':
            encoded += L"&amp;";
            break;
          case L'"':
            encoded += L"&quot;";
            break;
          default:
            // Like ASP: the upper half of Latin-1 as numeric references.
            if (c >= 0xA0 && c <= 0xFF)
              encoded += L"&#" + std::to_wstring(static_cast<int>(c)) + L";";
            else
              encoded += c;
        }
      }
      return ReturnString(encoded, out);
    });
  }
  STDMETHODIMP MapPath(BSTR path, BSTR* out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Guarded([&]() -> HRESULT {
      if (HRESULT hr = Check(L"Server.MapPath"); FAILED(hr)) return hr;
      std::wstring physical, reason;
      HRESULT hr = MapVirtualPath(setup_.root, setup_.pagePath, BstrText(path), &physical, &reason);
      if (FAILED(hr)) return Fail(hr, kServerSource, reason);
      return ReturnString(physical, out);
    });
  }
  STDMETHODIMP URLEncode(BSTR text, BSTR* out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Guarded([&] {
      // Letters and digits stay, a space becomes "+", every other byte of the
      // UTF-8 form is %XX.
      std::wstring encoded;
      for (unsigned char byte : Utf8(BstrText(text))) {
        if (byte < 0x80 && IsAsciiAlnum(byte))
          encoded += static_cast<wchar_t>(byte);
        else if (byte == ' ')
          encoded += L'+';
        else
          encoded += Percent(byte);
      }
      return ReturnString(encoded, out);
    });
  }
  STDMETHODIMP URLPathEncode(BSTR text, BSTR* out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Guarded([&] {
      // Paths keep their punctuation; spaces, controls and non-ASCII bytes are %XX.
      std::wstring encoded;
      for (unsigned char byte : Utf8(BstrText(text))) {
        if (byte > 0x20 && byte < 0x7F)
          encoded += static_cast<wchar_t>(byte);
        else
          encoded += Percent(byte);
      }
      return ReturnString(encoded, out);
    });
  }
  STDMETHODIMP Execute(BSTR) override { return E_NOTIMPL; }
  STDMETHODIMP Transfer(BSTR) override { return E_NOTIMPL; }
  STDMETHODIMP GetLastError(IASPError** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }

 private:
  HRESULT Check(const wchar_t* name) {
    return setup_.probe ? setup_.probe->Check(name, IID_IServer, kServerSource) : S_OK;
  }

  PageSetup setup_;
  LONG timeout_ = 90;
};

}  // namespace

HRESULT MapVirtualPath(const std::wstring& root, const std::wstring& pagePath, const std::wstring& path,
                       std::wstring* physical, std::wstring* reason) {
  physical->clear();
  if (root.empty()) {
    if (reason) *reason = L"The site has no root folder to map paths into.";
    return E_FAIL;
  }
  std::wstring slashed = path;
  for (wchar_t& c : slashed)
    if (c == L'\\') c = L'/';
  if (slashed.empty() || slashed[0] != L'/') {
    std::wstring folder = pagePath.substr(0, pagePath.rfind(L'/') + 1);
    slashed = (folder.empty() ? L"/" : folder) + slashed;
  }

  std::vector<std::wstring> segments;
  for (size_t start = 0; start <= slashed.size();) {
    size_t end = slashed.find(L'/', start);
    if (end == std::wstring::npos) end = slashed.size();
    std::wstring segment = slashed.substr(start, end - start);
    if (segment == L"..") {
      if (segments.empty()) {
        if (reason) *reason = L"The path '" + path + L"' leads out of the site's root.";
        return E_INVALIDARG;
      }
      segments.pop_back();
    } else if (!segment.empty() && segment != L".") {
      segments.push_back(segment);
    }
    start = end + 1;
  }

  std::wstring mapped = root;
  // The root without a trailing separator, except a drive's own root ("C:\").
  while (mapped.size() > 3 && (mapped.back() == L'\\' || mapped.back() == L'/')) mapped.pop_back();
  for (const std::wstring& segment : segments) {
    if (mapped.back() != L'\\') mapped += L'\\';
    mapped += segment;
  }
  *physical = mapped;
  return S_OK;
}

HRESULT CreateServer(const PageSetup& setup, IServer** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return Guarded([&] {
    *out = new Server(setup);
    return S_OK;
  });
}

}  // namespace asphost
