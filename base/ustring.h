// UTF-16 text, as the component holds all text, and the few conversions the
// code needs around it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora {

using ustring = std::u16string;
using ustring_view = std::u16string_view;

// UTF-8 for diagnostics (exception what(), test output) and test input.
std::string toUtf8(ustring_view text);
ustring fromUtf8(std::string_view utf8);

// Widening of ASCII or Latin-1 bytes, one character per byte.
ustring fromLatin1(std::string_view bytes);

ustring toDecimal(int64_t value);

// Letters a to z turned into A to Z; nothing else is folded.
inline char16_t asciiUpper(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - (u'a' - u'A')) : c;
}
ustring asciiUpper(ustring_view text);
// The value of a hexadecimal digit (0-9, a-f, A-F), or -1.
inline int hexDigitValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}
// Equal when only a to z are folded.
bool sameTextAsciiFolded(ustring_view a, ustring_view b);

// base/wide.h passes it to and from the system's wide strings on Windows.

}  // namespace velmora

