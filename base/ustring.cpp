#include "base/ustring.h"

#include "base/system_text.h"

namespace velmora {

std::string toUtf8(ustring_view text) { return systext::unicodeToUtf8(text); }

ustring fromUtf8(std::string_view utf8) {
  ustring out;
  if (!systext::utf8ToUnicode(reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size(), out))
    out = fromLatin1(utf8);
  return out;
}

ustring fromLatin1(std::string_view bytes) {
  ustring out(bytes.size(), u'\0');
  for (size_t i = 0; i < bytes.size(); ++i) out[i] = static_cast<unsigned char>(bytes[i]);
  return out;
}

ustring toDecimal(int64_t value) {
  std::string digits = std::to_string(value);
  return ustring(digits.begin(), digits.end());
}

ustring asciiUpper(ustring_view text) {
  ustring out(text);
  for (char16_t& c : out) c = asciiUpper(c);
  return out;
}

bool sameTextAsciiFolded(ustring_view a, ustring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (asciiUpper(a[i]) != asciiUpper(b[i])) return false;
  return true;
}

}  // namespace velmora
