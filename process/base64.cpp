#include "process/base64.h"

namespace velmora {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kLineLength = 76;

}  // namespace

ustring EncodeBase64Lines(const uint8_t* bytes, size_t count) {
  size_t characters = (count + 2) / 3 * 4;
  ustring out;
  out.reserve(characters + characters / kLineLength * 2);

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
