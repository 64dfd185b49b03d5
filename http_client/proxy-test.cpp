// The choice of proxy from the system's settings, as WinInet writes them.
#include <gtest/gtest.h>

#include <string>

#include "base/ustring.h"
#include "http_client/proxy.h"

using namespace velmora;

TEST(Proxy, ChosenByScheme_BypassedByPattern) {
  struct Case {
    const char16_t* proxies;
    const char16_t* bypass;
    bool secure;
    const char16_t* host;
    const char* expected;  // "host:port", or "" for none
  } cases[] = {
      {u"", u"", false, u"example.com", ""},
      // One server for every scheme; the port is 80 when none is named.
      {u"proxy:8080", u"", false, u"example.com", "proxy:8080"},
      {u"proxy:8080", u"", true, u"example.com", "proxy:8080"},
      {u"proxy", u"", false, u"example.com", "proxy:80"},
      {u"http://proxy:3128/", u"", false, u"example.com", "proxy:3128"},
      {u"[::1]:3128", u"", false, u"example.com", "[::1]:3128"},
      // Servers by scheme, separated by ";" or blanks; the first that
      // serves the scheme wins; a scheme with none goes direct.
      {u"http=a:1;https=b:2", u"", false, u"example.com", "a:1"},
      {u"http=a:1 https=b:2", u"", true, u"example.com", "b:2"},
      {u"HTTPS=https://b:2", u"", true, u"example.com", "b:2"},
      {u"http=a:1", u"", true, u"example.com", ""},
      {u"ftp=f:21 c:3", u"", false, u"example.com", "c:3"},
      // Unusable entries are passed over.
      {u"a:0;b:65536;c:x;d:2", u"", false, u"example.com", "d:2"},
      // Bypass patterns, any case, "*" for any run of characters.
      {u"p:1", u"*.example.com", false, u"WWW.Example.COM", ""},
      {u"p:1", u"*.example.com", false, u"example.com", "p:1"},
      {u"p:1", u"intra*; other", false, u"intranet.corp", ""},
      {u"p:1", u"http://intra*", false, u"intranet.corp", ""},
      {u"p:1", u"<local>", false, u"server", ""},
      {u"p:1", u"<local>", false, u"server.corp", "p:1"},
      // Loopback never goes through the proxy, unless asked for.
      {u"p:1", u"", false, u"127.0.0.1", ""},
      {u"p:1", u"", false, u"localhost", ""},
      {u"p:1", u"", false, u"[::1]", ""},
      {u"p:1", u"<-loopback>", false, u"127.0.0.1", "p:1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(toUtf8(ustring(c.proxies)) + " | " + toUtf8(ustring(c.bypass)) + " | " +
                 toUtf8(ustring(c.host)));
    const auto proxy = ChooseProxy(c.proxies, c.bypass, c.secure, c.host);
    EXPECT_EQ(proxy ? toUtf8(proxy->Host) + ":" + std::to_string(proxy->Port) : "", c.expected);
  }
}
