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

  size_t onLine = 0;
  auto put = [&](char c) {
    out += static_cast<char16_t>(c);
    if (++onLine == kLineLength) {
      out += u"\r\n";
      onLine = 0;
    }
  };

  size_t i = 0;
  for (; i + 3 <= count; i += 3) {
    uint32_t group = uint32_t{bytes[i]} << 16 | uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
    put(kAlphabet[group >> 18]);
    put(kAlphabet[group >> 12 & 63]);
    put(kAlphabet[group >> 6 & 63]);
    put(kAlphabet[group & 63]);
  }
  if (size_t rest = count - i) {
    uint32_t group = uint32_t{bytes[i]} << 16 | (rest == 2 ? uint32_t{bytes[i + 1]} << 8 : 0);
    put(kAlphabet[group >> 18]);
    put(kAlphabet[group >> 12 & 63]);
    put(rest == 2 ? kAlphabet[group >> 6 & 63] : '=');
    put('=');
  }
  return out;
}

}  // namespace velmora
