#include "text/textconv.h"

#include "base/system_text.h"

namespace velmora {

void StringToStream(TStream& stream, ustring_view text) {
  std::string bytes = systext::unicodeToUtf8(text);
  stream.write(bytes.data(), bytes.size());
}

// The whole run is judged as one: a text with a stray non-UTF-8 byte anywhere
// decodes in the ANSI code page in full, so no character is ever dropped.
ustring DecodeUtf8OrAnsi(const uint8_t* bytes, size_t count) {
  static const uint8_t kBom[3] = {0xEF, 0xBB, 0xBF};
  size_t skip = (count >= 3 && bytes[0] == kBom[0] && bytes[1] == kBom[1] && bytes[2] == kBom[2])
                    ? 3
                    : 0;
  ustring text;
  if (systext::utf8ToUnicode(bytes + skip, count - skip, text) && !text.empty()) return text;
  return systext::ansiToUnicode(bytes, count);
}

namespace {

// Both readers first copy the bytes out: count from the source's position, or
// all of it from its start when count is 0 or less.
void copyBytes(TStream& source, int64_t count, TMemoryStream& bytes) {
  if (count > 0) bytes.reserve(static_cast<size_t>(count));
  bytes.copyFrom(source, count);
}

}  // namespace

ustring StreamToString(TStream& source, int64_t count) {
  TMemoryStream bytes;
  copyBytes(source, count, bytes);
  return DecodeUtf8OrAnsi(bytes.data(), static_cast<size_t>(bytes.size()));
}

std::string StreamToAnsiString(TStream& source, int64_t count) {
  TMemoryStream bytes;
  copyBytes(source, count, bytes);
  return systext::unicodeToAnsi(
      systext::ansiToUnicode(bytes.data(), static_cast<size_t>(bytes.size())));
}

}  // namespace velmora
