// The system's proxy settings, through WinInet: the same as the user's
// browser and other WinInet programs take.
#include <windows.h>
#include <wininet.h>

#include <vector>

#include "base/wide.h"
#include "http_client/proxy.h"

namespace velmora {

void SystemProxySettings(ustring& ProxyList, ustring& BypassList) {
  ProxyList.clear();
  BypassList.clear();
  DWORD size = 0;
  if (InternetQueryOptionW(nullptr, INTERNET_OPTION_PROXY, nullptr, &size) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER || size < sizeof(INTERNET_PROXY_INFO))
    return;
  std::vector<BYTE> buffer(size);
  if (!InternetQueryOptionW(nullptr, INTERNET_OPTION_PROXY, buffer.data(), &size)) return;
  const auto* info = reinterpret_cast<const INTERNET_PROXY_INFO*>(buffer.data());
  if (info->dwAccessType != INTERNET_OPEN_TYPE_PROXY) return;
  // The W query fills the structure's strings with wide text.
  if (info->lpszProxy) ProxyList = fromWide(reinterpret_cast<const wchar_t*>(info->lpszProxy));
  if (info->lpszProxyBypass)
    BypassList = fromWide(reinterpret_cast<const wchar_t*>(info->lpszProxyBypass));
}

}  // namespace velmora
