// URL splitting on the system's parser, InternetCrackUrlW. Always without
// ICU_ESCAPE: Windows decodes %XX with it and Wine does not, and the parts are
// wanted as written anyway.
#include <windows.h>
#include <wininet.h>

#include "base/wide.h"
#include "http_client/url.h"

namespace velmora {

namespace {

// A part's buffer: room for the longest such part WinInet gives and its
// terminating null.
struct PartBuffer {
  explicit PartBuffer(DWORD maxLength) : text(maxLength + 1, L'\0') {}
  std::wstring text;
  ustring value(DWORD length) const { return fromWide(text.data(), length); }
};

}  // namespace

bool SplitURL(const ustring& URL, TURLParts& parts) {
  const ustring url = WithDefaultScheme(URL);
  PartBuffer scheme(INTERNET_MAX_SCHEME_LENGTH), host(INTERNET_MAX_HOST_NAME_LENGTH),
      user(INTERNET_MAX_USER_NAME_LENGTH), password(INTERNET_MAX_PASSWORD_LENGTH),
      path(INTERNET_MAX_PATH_LENGTH),
      extra(INTERNET_MAX_PATH_LENGTH);  // the query has no limit of its own

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
