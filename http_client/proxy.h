// The proxy a request goes through, chosen from the system's proxy settings
// as WinInet reads them.
#pragma once

#include <cstdint>
#include <optional>

#include "base/ustring.h"

namespace velmora {

struct TProxyServer {
  ustring Host;
  uint16_t Port = 80;
};

// The proxy for a request to Host (as written in the URL) over http or
// https (Secure), or none.
// - ProxyList holds entries separated by ";" or blanks, each
//   "[scheme=][scheme://]host[:port]": an entry "http=" or "https=" serves
//   that scheme only, one without "scheme=" every scheme; the first that
//   serves the request's scheme wins. The port is 80 when none is named.
// - BypassList holds patterns separated by ";" or blanks: "<local>" for a
//   host name without a dot, or a host name with "*" for any run of
//   characters (any case). A loopback host (localhost, 127.x.x.x, ::1)
//   never goes through a proxy unless the list holds "<-loopback>".
std::optional<TProxyServer> ChooseProxy(ustring_view ProxyList, ustring_view BypassList,
                                        bool Secure, ustring_view Host);

// The system's proxy settings: ProxyList and BypassList as ChooseProxy
// takes them, both empty when requests go direct. (Windows only.)
void SystemProxySettings(ustring& ProxyList, ustring& BypassList);

}  // namespace velmora
