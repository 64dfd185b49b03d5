#include "process/base64.h"

#include <new>

namespace velmora {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kLineLength = 76;

}  // namespace

ustring Base64TextFor(size_t count) {
  ustring text;
  // Four characters per group of three bytes, and two after every line;
  // computed in groups so that nothing wraps.
  const size_t groups = count / 3 + (count % 3 != 0);
  constexpr size_t kGroupsPerLine = kLineLength / 4;
  if (groups > (text.max_size() - 2) / 4) throw std::bad_alloc();
  const size_t characters = groups * 4;
  if (groups / kGroupsPerLine * 2 > text.max_size() - characters) throw std::bad_alloc();
  text.reserve(characters + groups / kGroupsPerLine * 2);
  return text;
}

ustring EncodeBase64Lines(const uint8_t* bytes, size_t count) {
  ustring out = Base64TextFor(count);

  // The line count advances with whole groups only: a padded last group
  // never earns a CR LF, even when it fills its line.
  size_t onLine = 0;
  auto put = [&](uint32_t group, size_t characters) {
    for (size_t k = 0; k < 4; ++k)
      out += static_cast<char16_t>(k < characters ? kAlphabet[group >> (18 - 6 * k) & 63] : '=');
  };

  size_t i = 0;
  for (; i + 3 <= count; i += 3) {
    put(uint32_t{bytes[i]} << 16 | uint32_t{bytes[i + 1]} << 8 | bytes[i + 2], 4);
    if ((onLine += 4) == kLineLength) {
      out += u"\r\n";
      onLine = 0;
    }
  }
  if (size_t rest = count - i)
    put(uint32_t{bytes[i]} << 16 | (rest == 2 ? uint32_t{bytes[i + 1]} << 8 : 0), rest + 1);
  return out;
}

}  // namespace velmora
