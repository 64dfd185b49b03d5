#include "http_client/url.h"

#include "base/system_text.h"
#include "text/textconv.h"

namespace velmora {

namespace {

bool isAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
bool isAsciiDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

int hexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

void appendEscaped(std::string& out, unsigned char byte) {
  out += '%';
  out += kHexDigits[byte >> 4];
  out += kHexDigits[byte & 0xF];
}

// The port of an absolute URL, when it names one, is a number from 1 to
// 65535: the text after the last ":" of the authority (after any user
// information, outside an IPv6 "[...]"), which ends at "/", "?", "#" or "\".
bool portInRange(ustring_view url) {
  const size_t start = url.find(u"://") + 3;
  ustring_view authority = url.substr(start, url.find_first_of(u"/?#\\", start) - start);
  const size_t at = authority.rfind(u'@');
  if (at != ustring_view::npos) authority.remove_prefix(at + 1);
  const size_t colon = authority.rfind(u':'), bracket = authority.rfind(u']');
  if (colon == ustring_view::npos || (bracket != ustring_view::npos && colon < bracket))
    return true;
  const ustring_view digits = authority.substr(colon + 1);
  uint32_t port = 0;
  for (char16_t c : digits) {
    if (!isAsciiDigit(c) || (port = port * 10 + (c - u'0')) > 65535) return false;
  }
  return port >= 1;
}

// The byte of a "%XX" at text[i], or -1.
int escapedByte(ustring_view text, size_t i) {
  if (text.size() - i < 3 || text[i] != u'%') return -1;
  int high = hexValue(text[i + 1]), low = hexValue(text[i + 2]);
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

bool PrepareURL(const ustring& URL, ustring& Prepared) {
  if (HasControlCharacter(URL)) return false;
  const ustring url = WithDefaultScheme(URL.substr(0, URL.find(u'#')));
  if (!portInRange(url)) return false;
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
