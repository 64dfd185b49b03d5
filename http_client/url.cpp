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
  static constexpr char kHex[] = "0123456789ABCDEF";
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
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

ustring EncodeFormVariables(const TStringList& FormVariables) {
  std::string text;
  for (int i = 0; i < FormVariables.count(); ++i) {
    ustring_view name = lineName(FormVariables[i]);
    if (i > 0) text += '&';
    text += URLEncodeAnsi(systext::unicodeToAnsi(name));
    text += '=';
    text += URLEncodeAnsi(systext::unicodeToAnsi(FormVariables.valueOf(name)));
  }
  return fromLatin1(text);
}

}  // namespace velmora
