// The form's text: how header lines and values are decoded from the body's
// bytes, by the character set the object is set to.
#pragma once

#include <string_view>

#include "base/ustring.h"
#include "io/stream.h"

namespace velmora {

// UTF-8 (bytes that are not UTF-8 as ANSI), or the system's ANSI code page.
enum class TFormCharset { Utf8, Ansi };

// The text of bytes read from the body.
ustring DecodeFormText(const TMemoryStream& bytes, TFormCharset charset);

// Header lines and values are mostly ASCII, which as UTF-8 decodes to one
// character per byte: the text is then the bytes themselves (asChars).
bool IsUtf8Ascii(const TMemoryStream& bytes, TFormCharset charset);
inline std::string_view asChars(const TMemoryStream& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), static_cast<size_t>(bytes.size())};
}

}  // namespace velmora
