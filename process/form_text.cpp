#include "process/form_text.h"

#include "base/system_text.h"
#include "text/textconv.h"

namespace velmora {

bool IsUtf8Ascii(const TMemoryStream& bytes, TFormCharset charset) {
  if (charset != TFormCharset::Utf8) return false;
  uint8_t high = 0;
  for (size_t i = 0, n = static_cast<size_t>(bytes.size()); i < n; ++i) high |= bytes.data()[i];
  return high < 0x80;
}

// ANSI text converts once, straight from the bytes: the code page's round
// trip through UTF-16 and back gives those same characters.
ustring DecodeFormText(const TMemoryStream& bytes, TFormCharset charset) {
  const size_t size = static_cast<size_t>(bytes.size());
  if (IsUtf8Ascii(bytes, charset)) return fromLatin1(asChars(bytes));
  if (charset == TFormCharset::Utf8) return DecodeUtf8OrAnsi(bytes.data(), size);
  return systext::ansiToUnicode(bytes.data(), size);
}

}  // namespace velmora
