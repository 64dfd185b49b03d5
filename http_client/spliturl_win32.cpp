// URL splitting on the system's parser, InternetCrackUrlW. Always without
// ICU_ESCAPE: Windows decodes %XX with it and Wine does not, and the parts are
// wanted as written anyway.
#include <windows.h>
#include <wininet.h>

#include "http_client/url.h"

namespace velmora {

namespace {

// A part's buffer, its capacity counting the terminating null.
struct PartBuffer {
  explicit PartBuffer(DWORD capacity) : text(capacity, L'\0') {}
  std::wstring text;
  ustring value(DWORD length) const { return fromWide(text.data(), length); }
};

}  // namespace

bool SplitURL(const ustring& URL, TURLParts& parts) {
  const ustring url = WithDefaultScheme(URL);
  PartBuffer scheme(33), host(257), user(129), password(129), path(2049), extra(2049);

  URL_COMPONENTSW c = {};
  c.dwStructSize = sizeof c;
  c.lpszScheme = scheme.text.data();
  c.dwSchemeLength = static_cast<DWORD>(scheme.text.size());
  c.lpszHostName = host.text.data();
  c.dwHostNameLength = static_cast<DWORD>(host.text.size());
  c.lpszUserName = user.text.data();
  c.dwUserNameLength = static_cast<DWORD>(user.text.size());
  c.lpszPassword = password.text.data();
  c.dwPasswordLength = static_cast<DWORD>(password.text.size());
  c.lpszUrlPath = path.text.data();
  c.dwUrlPathLength = static_cast<DWORD>(path.text.size());
  c.lpszExtraInfo = extra.text.data();
  c.dwExtraInfoLength = static_cast<DWORD>(extra.text.size());
  if (!InternetCrackUrlW(wstr(url), static_cast<DWORD>(url.size()), 0, &c)) return false;

  // On success each length field holds its part's length without the null.
  parts.Scheme = scheme.value(c.dwSchemeLength);
  parts.HostName = host.value(c.dwHostNameLength);
  parts.Port = c.nPort;
  parts.UserName = user.value(c.dwUserNameLength);
  parts.Password = password.value(c.dwPasswordLength);
  parts.UrlPath = path.value(c.dwUrlPathLength);
  parts.ExtraInfo = extra.value(c.dwExtraInfoLength);
  return true;
}

}  // namespace velmora
