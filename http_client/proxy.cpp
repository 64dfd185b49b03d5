#include "http_client/proxy.h"

#include <vector>

namespace velmora {

namespace {

bool isSeparator(char16_t c) { return c == u';' || c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

std::vector<ustring_view> entries(ustring_view list) {
  std::vector<ustring_view> found;
  size_t i = 0;
  while (i < list.size()) {
    while (i < list.size() && isSeparator(list[i])) ++i;
    const size_t start = i;
    while (i < list.size() && !isSeparator(list[i])) ++i;
    if (i > start) found.push_back(list.substr(start, i - start));
  }
  return found;
}

// text without a leading "scheme://".
ustring_view withoutScheme(ustring_view text) {
  const size_t mark = text.find(u"://");
  return mark == ustring_view::npos ? text : text.substr(mark + 3);
}

// "*" stands for any run of characters; letters match in any case.
bool matches(ustring_view pattern, ustring_view text) {
  size_t p = 0, t = 0, starP = ustring_view::npos, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      starP = p++;
      starT = t;
    } else if (p < pattern.size() && asciiUpper(pattern[p]) == asciiUpper(text[t])) {
      ++p;
      ++t;
    } else if (starP != ustring_view::npos) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

bool isLoopback(ustring_view host) {
  const ustring upper = asciiUpper(host);
  return upper == u"LOCALHOST" || upper == u"[::1]" || upper == u"::1" || upper.rfind(u"127.", 0) == 0;
}

bool bypassed(ustring_view bypassList, ustring_view host) {
  bool loopbackBypassed = true;
  for (ustring_view pattern : entries(bypassList)) {
    if (pattern == u"<-loopback>") {
      loopbackBypassed = false;
    } else if (pattern == u"<local>") {
      if (host.find(u'.') == ustring_view::npos && host.find(u':') == ustring_view::npos) return true;
    } else if (matches(withoutScheme(pattern), host)) {
      return true;
    }
  }
  return loopbackBypassed && isLoopback(host);
}

// "host[:port][/...]" read; false when the port is not a number from 1 to 65535.
bool readServer(ustring_view text, TProxyServer& server) {
  text = withoutScheme(text);
  text = text.substr(0, text.find(u'/'));
  size_t colon = text.rfind(u':');
  // An IPv6 address's own colons are inside its brackets.
  if (colon != ustring_view::npos && text.find(u']', colon) != ustring_view::npos) colon = ustring_view::npos;
  server.Host = ustring(text.substr(0, colon));
  server.Port = 80;
  if (server.Host.empty()) return false;
  if (colon == ustring_view::npos) return true;
  const ustring_view digits = text.substr(colon + 1);
  uint32_t port = 0;
  if (digits.empty() || digits.size() > 5) return false;
  for (char16_t c : digits) {
    if (c < u'0' || c > u'9') return false;
    port = port * 10 + (c - u'0');
  }
  if (port == 0 || port > 65535) return false;
  server.Port = static_cast<uint16_t>(port);
  return true;
}

}  // namespace

std::optional<TProxyServer> ChooseProxy(ustring_view ProxyList, ustring_view BypassList,
                                        bool Secure, ustring_view Host) {
  if (bypassed(BypassList, Host)) return std::nullopt;
  const ustring_view scheme = Secure ? u"HTTPS" : u"HTTP";
  for (ustring_view entry : entries(ProxyList)) {
    const size_t equals = entry.find(u'=');
    if (equals != ustring_view::npos) {
      if (asciiUpper(entry.substr(0, equals)) != scheme) continue;
      entry = entry.substr(equals + 1);
    }
    TProxyServer server;
    if (readServer(entry, server)) return server;
  }
  return std::nullopt;
}

}  // namespace velmora
