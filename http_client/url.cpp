#include "http_client/url.h"

#include <algorithm>

#include "base/system_text.h"
#include "text/textconv.h"

namespace velmora {

namespace {

bool isAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
bool isAsciiDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

constexpr char kHexDigits[] = "0123456789ABCDEF";

void appendEscaped(std::string& out, unsigned char byte) {
  out += '%';
  out += kHexDigits[byte >> 4];
  out += kHexDigits[byte & 0xF];
}

// Whether the URL's scheme is one of those whose "\" browsers read as "/".
bool isWebScheme(ustring_view url) {
  const size_t end = url.find(u"://");
  const ustring scheme = asciiUpper(ustring(url.substr(0, end)));
  return scheme == u"HTTP" || scheme == u"HTTPS";
}

// The byte of a "%XX" at text[i], or -1.
int escapedByte(ustring_view text, size_t i) {
  if (text.size() - i < 3 || text[i] != u'%') return -1;
  int high = hexDigitValue(text[i + 1]), low = hexDigitValue(text[i + 2]);
  return high < 0 || low < 0 ? -1 : high * 16 + low;
}

}  // namespace

// A scheme is a letter followed by letters, digits, "+", "-" or "."
// (RFC 3986); only such a name right at the start, followed by "://", makes
// the URL absolute.
ustring WithDefaultScheme(const ustring& URL) {
  size_t i = 0;
  if (!URL.empty() && isAsciiLetter(URL[0])) {
    i = 1;
    while (i < URL.size() && (isAsciiLetter(URL[i]) || isAsciiDigit(URL[i]) || URL[i] == u'+' ||
                              URL[i] == u'-' || URL[i] == u'.'))
      ++i;
    if (URL.compare(i, 3, u"://") == 0) return URL;
  }
  return u"http://" + URL;
}

ustring DecodeURLEscapes(ustring_view text) {
  ustring out;
  out.reserve(text.size());
  std::string bytes;
  for (size_t i = 0; i < text.size();) {
    int byte = escapedByte(text, i);
    if (byte < 0) {
      out += text[i++];
      continue;
    }
    bytes.clear();
    for (; byte >= 0; byte = escapedByte(text, i)) {
      bytes += static_cast<char>(byte);
      i += 3;
    }
    out += DecodeUtf8OrAnsi(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  return out;
}

std::string URLEncodeAnsi(std::string_view Text) {
  std::string out;
  out.reserve(Text.size() * 3);
  for (char ch : Text) {
    auto c = static_cast<unsigned char>(ch);
    if (c == 0) break;
    bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    switch (c) {
      case '!': case '$': case '\'': case '(': case ')': case '*': case '-': case '.': case '@':
      case '_':
        kept = true;
    }
    if (kept) {
      out += ch;
    } else if (c == ' ') {
      out += '+';
    } else {
      appendEscaped(out, c);
    }
  }
  return out;
}

bool HasControlCharacter(ustring_view text) {
  for (char16_t c : text)
    if (c < u' ' || c == 0x7F) return true;
  return false;
}

bool ParseAuthority(ustring_view URL, ustring& Host, uint32_t& Port) {
  const size_t schemeEnd = URL.find(u"://");
  if (schemeEnd == ustring_view::npos) return false;
  const size_t start = schemeEnd + 3;
  ustring_view authority = URL.substr(start, URL.find_first_of(u"/?#\\", start) - start);
  const size_t at = authority.rfind(u'@');
  if (at != ustring_view::npos) authority.remove_prefix(at + 1);
  size_t hostEnd = 0;
  if (!authority.empty() && authority[0] == u'[') {
    hostEnd = authority.find(u']');
    if (hostEnd == ustring_view::npos) return false;
    ++hostEnd;
  } else {
    hostEnd = std::min(authority.find(u':'), authority.size());
    if (authority.substr(0, hostEnd).find_first_of(u"[]") != ustring_view::npos) return false;
  }
  if (hostEnd == 0) return false;
  const ustring_view rest = authority.substr(hostEnd);
  uint32_t port = 0;
  if (!rest.empty()) {
    if (rest[0] != u':' || rest.size() == 1) return false;
    for (char16_t c : rest.substr(1)) {
      if (!isAsciiDigit(c) || (port = port * 10 + (c - u'0')) > 65535) return false;
    }
    if (port == 0) return false;
  }
  Host = ustring(authority.substr(0, hostEnd));
  Port = port;
  return true;
}

bool PrepareURL(const ustring& URL, ustring& Prepared) {
  if (HasControlCharacter(URL)) return false;
  ustring url = WithDefaultScheme(URL.substr(0, URL.find(u'#')));
  // One reading of the address for the checks and the request: a browser's,
  // where "\" before the query is a "/" (so "http://good\@evil/" goes to
  // "good").
  if (isWebScheme(url))
    std::replace(url.begin(), url.begin() + std::min(url.find(u'?'), url.size()), u'\\', u'/');
  ustring host;
  uint32_t port = 0;
  if (!ParseAuthority(url, host, port)) return false;
  std::string out;
  for (size_t i = 0; i < url.size();) {
    if (url[i] > u' ' && url[i] < 0x80) {
      out += static_cast<char>(url[i++]);
      continue;
    }
    // A run at a time, so that a surrogate pair makes one character's bytes.
    size_t end = i;
    while (end < url.size() && (url[end] == u' ' || url[end] >= 0x80)) ++end;
    for (char byte : systext::unicodeToUtf8(ustring_view(url).substr(i, end - i)))
      appendEscaped(out, static_cast<unsigned char>(byte));
    i = end;
  }
  Prepared = fromLatin1(out);
  return true;
}

ustring EncodeFormVariables(const TFormVariables& FormVariables) {
  std::string text;
  for (int i = 0; i < FormVariables.count(); ++i) {
    if (i > 0) text += '&';
    text += URLEncodeAnsi(systext::unicodeToAnsi(FormVariables.name(i)));
    text += '=';
    text += URLEncodeAnsi(systext::unicodeToAnsi(FormVariables.sentValue(i)));
  }
  return fromLatin1(text);
}

}  // namespace velmora
